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
    // Items the change took away besides the one answered under a new identifier (the entry
    // of an album a photo left): the framework forgets them at once instead of at the next
    // listing of their folder.
    QList<FileProviderItemIdentifier> removedIdentifiers = {};
};

// Who asked for a request, as far as the framework can tell.
struct FileProviderRequest {
    // The file name of the asking program's executable, when known.
    QString requestingExecutable;
    // Asked by the system on no one's direct behalf (a thumbnailer): nothing to tell the user.
    bool isSystemRequest = false;
};

using FileProviderCreateOptions = unsigned;
namespace FileProviderCreateOption {
inline constexpr FileProviderCreateOptions mayAlreadyExist = 1;
// The program that wrote the contents was ended by a signal while its file was open: the bytes
// may stop anywhere.
inline constexpr FileProviderCreateOptions contentsMayBeIncomplete = 2;
// The writing program asked for its bytes to be on the disk (fsync): so must the copy kept.
inline constexpr FileProviderCreateOptions contentsMustBeDurable = 4;
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
    // Per identifier: image bytes, or empty bytes when the item has no thumbnail (yet: the
    // framework asks again later).
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
                  const FileProviderRequest& request, FetchContentsCompletion completion) = 0;

    // `itemTemplate` carries the new item's parent, name and type; `contents` is the local file
    // holding the new contents (none for folders).
    virtual ProgressRef createItem(FileProviderItemRef itemTemplate, FileProviderItemFields fields,
                                   const std::optional<QString>& contents,
                                   FileProviderCreateOptions options,
                                   ItemChangeCompletion completion) = 0;

    // Asked, without waiting on anything, before a file is written under a new name, so that a
    // name or a place the extension never takes is refused to the writing program at once (its
    // create fails) instead of once all its bytes are written. Success promises nothing about
    // what createItem will answer.
    virtual Result<void> checkFileCreation(const FileProviderItemProtocol& itemTemplate)
    {
        Q_UNUSED(itemTemplate);
        return Result<void>::success();
    }

    // Where the files handed to the framework should be written (downloads): a folder on the
    // same file system as the framework's own copies, so that taking one over is a rename.
    // Called once, before the first request; empty means the system's temporary folder.
    virtual void setTemporaryDirectory(const QString& directory) { Q_UNUSED(directory); }

    // The size and free bytes of where the items live (a server's disk), as last known; asked
    // for every statfs, so it never waits. Nothing when unknown.
    struct VolumeSpace {
        qint64 size = 0;
        qint64 available = 0;
    };
    virtual std::optional<VolumeSpace> volumeSpace() { return std::nullopt; }

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
