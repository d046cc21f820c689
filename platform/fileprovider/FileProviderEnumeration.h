#pragma once

#include "Error.h"
#include "FileProviderItemProtocol.h"

#include <QByteArray>
#include <QList>

#include <functional>
#include <memory>
#include <optional>

namespace pixavella {

// Where a listing starts or goes on; opaque to the framework except for the two initial pages.
using FileProviderPage = QByteArray;
namespace FileProviderInitialPage {
inline const FileProviderPage sortedByDate =
    QByteArrayLiteral("NSFileProviderInitialPageSortedByDate");
inline const FileProviderPage sortedByName =
    QByteArrayLiteral("NSFileProviderInitialPageSortedByName");
} // namespace FileProviderInitialPage

// Marks the state a change enumeration reached; stored by the framework and handed back as
// it was given, never interpreted.
using FileProviderSyncAnchor = QByteArray;

// Receives one listing of a container. Exactly one finish call ends it; items may arrive in
// several batches before that. Calls may come from any thread.
class FileProviderEnumerationObserver {
public:
    virtual ~FileProviderEnumerationObserver() = default;
    virtual void didEnumerateItems(const QList<FileProviderItemRef>& items) = 0;
    // No next page: the listing is complete.
    virtual void finishEnumeratingUpToPage(const std::optional<FileProviderPage>& nextPage) = 0;
    virtual void finishEnumeratingWithError(const Error& error) = 0;
};

// Receives the changes of a container since a sync anchor. Exactly one finish call ends it.
class FileProviderChangeObserver {
public:
    virtual ~FileProviderChangeObserver() = default;
    virtual void didUpdateItems(const QList<FileProviderItemRef>& items) = 0;
    virtual void didDeleteItemsWithIdentifiers(const QList<FileProviderItemIdentifier>& ids) = 0;
    virtual void finishEnumeratingChangesUpToSyncAnchor(const FileProviderSyncAnchor& anchor,
                                                        bool moreComing) = 0;
    virtual void finishEnumeratingWithError(const Error& error) = 0;
};

// Lists one container for the framework. The framework keeps the enumerator (and the
// observers it hands in) alive until each call has finished.
class FileProviderEnumeratorProtocol {
public:
    virtual ~FileProviderEnumeratorProtocol() = default;

    virtual void invalidate() = 0;
    virtual void enumerateItems(std::shared_ptr<FileProviderEnumerationObserver> observer,
                                const FileProviderPage& page) = 0;
    virtual void enumerateChanges(std::shared_ptr<FileProviderChangeObserver> observer,
                                  const FileProviderSyncAnchor& anchor) = 0;
    virtual void
    currentSyncAnchor(std::function<void(std::optional<FileProviderSyncAnchor>)> completion) = 0;
};

using FileProviderEnumeratorRef = std::shared_ptr<FileProviderEnumeratorProtocol>;

} // namespace pixavella
