#pragma once

#include "ExtensionStores.h"
#include "FileProviderReplicatedExtension.h"

namespace pixavella {

// The extension the framework serves the drive through. It keeps nothing but its domain, the
// stores it was handed and the framework's temporary folder: every request reaches the
// server client and the stores through what it carries itself, so the framework may create
// and drop it at any time.
//
// Read requests (lookup, contents, thumbnails, enumerators) live in DriveExtension.cpp and
// DriveExtensionContents.cpp; the write requests (create, modify, delete) in
// DriveExtensionWrite.cpp.
class DriveExtension final : public FileProviderReplicatedExtension {
public:
    DriveExtension(FileProviderDomain domain, ExtensionStores stores);

    const FileProviderDomain& domain() const { return m_domain; }

    // Requests in flight complete on their own.
    void invalidate() override {}

    ProgressRef itemForIdentifier(const FileProviderItemIdentifier& identifier,
                                  ItemCompletion completion) override;
    ProgressRef fetchContents(const FileProviderItemIdentifier& identifier,
                              const std::optional<FileProviderItemVersion>& requestedVersion,
                              const FileProviderRequest& request,
                              FetchContentsCompletion completion) override;
    ProgressRef fetchThumbnails(const QList<FileProviderItemIdentifier>& identifiers,
                                const QSize& requestedSize, PerThumbnailCompletion perThumbnail,
                                ThumbnailsCompletion completion) override;
    // A new enumerator for any identifier; an unknown one lists nothing.
    Result<FileProviderEnumeratorRef>
    enumeratorForContainer(const FileProviderItemIdentifier& containerIdentifier) override;

    Result<void> checkFileCreation(const FileProviderItemProtocol& itemTemplate) override;
    // Set by the framework before its first request; read-only afterwards.
    void setTemporaryDirectory(const QString& directory) override
    {
        m_temporaryDirectory = directory;
    }
    // Where downloads and hand-over copies are written; the system's temporary folder until
    // the framework names one.
    QString temporaryDirectory() const;

    std::optional<VolumeSpace> volumeSpace() override;

    ProgressRef createItem(FileProviderItemRef itemTemplate, FileProviderItemFields fields,
                           const std::optional<QString>& contents,
                           FileProviderCreateOptions options,
                           ItemChangeCompletion completion) override;
    ProgressRef modifyItem(FileProviderItemRef item, const FileProviderItemVersion& baseVersion,
                           FileProviderItemFields changedFields,
                           const std::optional<QString>& contents,
                           ItemChangeCompletion completion) override;
    ProgressRef deleteItem(const FileProviderItemIdentifier& identifier,
                           const FileProviderItemVersion& baseVersion,
                           FileProviderDeleteOptions options, DeleteCompletion completion) override;

private:
    const FileProviderDomain m_domain;
    const ExtensionStores m_stores;
    QString m_temporaryDirectory;
};

} // namespace pixavella
