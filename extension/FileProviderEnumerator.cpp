#include "FileProviderEnumerator.h"

#include "Clock.h"
#include "ContainerListing.h"
#include "EnumerationSnapshots.h"
#include "ExtensionLog.h"
#include "Log.h"
#include "PromotedPendingList.h"

#include <QLocale>

namespace pixavella {

namespace {

QSet<QString> identifiersOf(const ItemList& items)
{
    QSet<QString> ids;
    ids.reserve(items.size());
    for (const FileProviderItemRef& item : items)
        ids.insert(item->itemIdentifier());
    return ids;
}

} // namespace

FileProviderEnumerator::FileProviderEnumerator(FileProviderItemIdentifier containerIdentifier,
                                               ExtensionStores stores)
    : m_container(std::move(containerIdentifier)), m_stores(stores)
{
}

FileProviderSyncAnchor FileProviderEnumerator::anchorForNow()
{
    return QByteArray::number(Clock::nowSeconds(), 'f', QLocale::FloatingPointShortest);
}

void FileProviderEnumerator::enumerateItems(
    std::shared_ptr<FileProviderEnumerationObserver> observer, const FileProviderPage&)
{
    qCDebug(lcFileProvider).noquote() << PIXAVELLA_LOG_PREFIX "enumerateItems" << m_container;
    ContainerListing::list(m_stores, m_container, FetchCache::Mode::normal,
                           [&snapshots = m_stores.snapshots, container = m_container,
                            observer = std::move(observer)](Result<ItemList> items) {
                               if (!items)
                                   return observer->finishEnumeratingWithError(items.error());
                               snapshots.save(container, identifiersOf(items.value()));
                               observer->didEnumerateItems(items.value());
                               observer->finishEnumeratingUpToPage(std::nullopt);
                           });
}

void FileProviderEnumerator::enumerateChanges(std::shared_ptr<FileProviderChangeObserver> observer,
                                              const FileProviderSyncAnchor& anchor)
{
    ContainerListing::list(
        m_stores, m_container, FetchCache::Mode::refresh,
        [&snapshots = m_stores.snapshots, &promoted = m_stores.promoted, container = m_container,
         anchor, observer = std::move(observer)](Result<ItemList> items) {
            if (!items)
                return observer->finishEnumeratingChangesUpToSyncAnchor(anchor, false);
            const QSet<QString> current = identifiersOf(items.value());
            QSet<QString> deleted = snapshots.load(container);
            deleted.subtract(current);
            deleted.unite(promoted.hiddenPendingIdentifiers());
            if (!items.value().isEmpty())
                observer->didUpdateItems(items.value());
            if (!deleted.isEmpty())
                observer->didDeleteItemsWithIdentifiers(
                    QList<QString>(deleted.cbegin(), deleted.cend()));
            snapshots.save(container, current);
            observer->finishEnumeratingChangesUpToSyncAnchor(anchorForNow(), false);
        });
}

void FileProviderEnumerator::currentSyncAnchor(
    std::function<void(std::optional<FileProviderSyncAnchor>)> completion)
{
    completion(anchorForNow());
}

} // namespace pixavella
