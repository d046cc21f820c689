#pragma once

#include "FileProviderEnumeration.h"
#include "FileProviderItemProtocol.h"
#include "Progress.h"
#include "Result.h"

#include <QByteArray>
#include <QList>
#include <QSize>
#include <QString>

#include <functional>
#include <optional>

namespace pixavella {

// The one domain the product registers, and where it is shown.
struct FileProviderDomain {
    QString identifier;
    QString displayName;
};

// Answer of fetchContents: a local file the framework takes over before the completion
// returns, and the item as it is now.
struct FileProviderFetchedContents {
    QString path;
    FileProviderItemRef item;
};

// Answer of createItem and modifyItem. A null item with success means "nothing created":
// the framework drops what the user made. remainingFields are the changed fields the
// extension did not apply; shouldFetchContent asks the framework to fetch the contents anew.
struct FileProviderItemChange {
    FileProviderItemRef item;
    FileProviderItemFields remainingFields = 0;
    bool shouldFetchContent = false;
};

using FileProviderCreateOptions = unsigned;
namespace FileProviderCreateOption {
inline constexpr FileProviderCreateOptions mayAlreadyExist = 1;
} // namespace FileProviderCreateOption

using FileProviderDeleteOptions = unsigned;
namespace FileProviderDeleteOption {
inline constexpr FileProviderDeleteOptions recursive = 1;
} // namespace FileProviderDeleteOption

// The interface the framework calls on the extension of a domain. Every request returns at
// once with its progress and ends with exactly one call of its completion, from any thread.
// Arguments are copied by the callee when it answers later.
class FileProviderReplicatedExtension {
public:
    using ItemCompletion = std::function<void(Result<FileProviderItemRef>)>;
    using FetchContentsCompletion = std::function<void(Result<FileProviderFetchedContents>)>;
    using ItemChangeCompletion = std::function<void(Result<FileProviderItemChange>)>;
    using DeleteCompletion = std::function<void(Result<void>)>;
    // Per identifier: image bytes, or empty bytes when the item has no thumbnail.
    using PerThumbnailCompletion =
        std::function<void(const FileProviderItemIdentifier&, Result<QByteArray>)>;
    using ThumbnailsCompletion = std::function<void(Result<void>)>;

    virtual ~FileProviderReplicatedExtension() = default;

    virtual void invalidate() = 0;

    virtual ProgressRef itemForIdentifier(const FileProviderItemIdentifier& identifier,
                                          ItemCompletion completion) = 0;

    // `requestedVersion` is the version the framework knows, when it knows one.
    virtual ProgressRef
    fetchContents(const FileProviderItemIdentifier& identifier,
                  const std::optional<FileProviderItemVersion>& requestedVersion,
                  FetchContentsCompletion completion) = 0;

    // `itemTemplate` carries the new item's parent, name and type; `contents` is the local file
    // holding the new contents (none for folders).
    virtual ProgressRef createItem(FileProviderItemRef itemTemplate, FileProviderItemFields fields,
                                   const std::optional<QString>& contents,
                                   FileProviderCreateOptions options,
                                   ItemChangeCompletion completion) = 0;

    // `item` carries the properties as the user left them; `changedFields` says which changed.
    virtual ProgressRef modifyItem(FileProviderItemRef item,
                                   const FileProviderItemVersion& baseVersion,
                                   FileProviderItemFields changedFields,
                                   const std::optional<QString>& contents,
                                   ItemChangeCompletion completion) = 0;

    virtual ProgressRef deleteItem(const FileProviderItemIdentifier& identifier,
                                   const FileProviderItemVersion& baseVersion,
                                   FileProviderDeleteOptions options,
                                   DeleteCompletion completion) = 0;

    virtual Result<FileProviderEnumeratorRef>
    enumeratorForContainer(const FileProviderItemIdentifier& containerIdentifier) = 0;

    virtual ProgressRef fetchThumbnails(const QList<FileProviderItemIdentifier>& identifiers,
                                        const QSize& requestedSize,
                                        PerThumbnailCompletion perThumbnail,
                                        ThumbnailsCompletion completion) = 0;
};

} // namespace pixavella
