#pragma once

#include "DomainController.h"
#include "FileProviderManager.h"

namespace pixavella {

// The domain controller's backend on the drive's domain manager (the daemon `passerelle`).
class FileProviderDomainBackend : public DomainBackend {
public:
    // The product's domain, "app.pixavella.fileprovider" shown as "Pixavella".
    static FileProviderDomain productDomain();

    // The manager's defaults; when no daemon sits next to this program and it runs from the
    // build tree (app/program/pixavella), the daemon built beside it (passerelle/passerelle).
    static FileProviderManager::Options productOptions();

    explicit FileProviderDomainBackend(FileProviderManager::Options options = productOptions());
    ~FileProviderDomainBackend() override;

    void add(Completion completion) override;
    void remove(Completion completion) override;
    bool hasManager() const override { return true; }
    void signalEnumerator(const QString& container, Completion completion) override;
    std::optional<QUrl> userVisibleURL() const override;
    // Runs the removal on a thread of its own: the manager's completions need a running event
    // loop, and the calling (main) thread is the one that blocks.
    Result<void> removeAndWait(std::chrono::milliseconds timeout) override;

private:
    FileProviderManager::Options m_options;
    std::unique_ptr<FileProviderManager> m_manager;
};

} // namespace pixavella
