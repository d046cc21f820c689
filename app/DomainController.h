#pragma once

#include "Result.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace pixavella {

// What the domain controller needs from the platform's domain manager. The product's
// implementation talks to the drive's daemon (FileProviderDomainBackend); tests record calls.
// Completions run on the controller's thread.
class DomainBackend {
public:
    using Completion = std::function<void(Result<void>)>;

    virtual ~DomainBackend() = default;
    virtual void add(Completion completion) = 0;
    virtual void remove(Completion completion) = 0;
    // False when the domain's manager cannot be obtained: nothing can be signalled.
    virtual bool hasManager() const = 0;
    virtual void signalEnumerator(const QString& container, Completion completion) = 0;
    // The folder the file manager shows for the root item, when the manager knows one.
    virtual std::optional<QUrl> userVisibleURL() const = 0;
    // Removes the domain and blocks the calling thread until done or `timeout` passed; a
    // time-out is a failure.
    virtual Result<void> removeAndWait(std::chrono::milliseconds timeout) = 0;
};

// The life cycle of the one drive domain: added while a session exists, removed at sign-out
// and at every quit, re-listed after the library changed. Failures are logged, never reported.
// Main thread only.
class DomainController : public QObject {
    Q_OBJECT

public:
    using Opener = std::function<void(const QUrl&)>;

    // Item identifiers of the containers signalled after a change.
    static const QString kRootContainer;
    static const QString kWorkingSetContainer;
    static const QStringList kTopFolders; // "photos", "albums", "shared"
    static constexpr std::chrono::seconds kQuitRemovalTimeout{5};

    explicit DomainController(std::unique_ptr<DomainBackend> backend, QObject* parent = nullptr);
    ~DomainController() override;

    void registerDomain();
    // `done` runs once the removal answered, whatever its outcome.
    void removeDomain(std::function<void()> done = {});
    // Removes, then adds whatever the removal's outcome. `done` runs once the add answered.
    void resetDomain(std::function<void()> done = {});
    void removeDomainAndWait(std::chrono::milliseconds timeout);
    void signalTopFolders();
    // The working set first, then the root and the top folders, then `extraFolders`.
    void signalAllFolders(const QStringList& extraFolders = {});
    void openInFileManager();

    // The drive's folder under the home directory, opened when the manager gives no URL.
    static QUrl fallbackFolder();
    // Opens URLs in the file manager (QDesktopServices by default).
    void setOpener(Opener opener) { m_opener = std::move(opener); }

private:
    void signalContainers(const QStringList& containers);

    std::unique_ptr<DomainBackend> m_backend;
    Opener m_opener;
};

} // namespace pixavella
