#include "ItemRedating.h"

#include "EnumerationSignals.h"
#include "ExtensionLog.h"
#include "FPNode.h"
#include "FileProviderItem.h"
#include "ItemRemoval.h"
#include "LibraryMirror.h"
#include "UploadQuarantine.h"

#include <QMutex>
#include <QSet>

#include <deque>

namespace pixavella::ItemRedating {

namespace {

// Times are set within moments of the close, so the entries of the last few hundred drops are
// all that is ever asked about; an entry not known here keeps its date.
constexpr size_t kRemembered = 512;

struct DatedByFileTime {
    QMutex mutex;
    QSet<QString> ids;
    std::deque<QString> order;
};

DatedByFileTime& dated()
{
    static DatedByFileTime d;
    return d;
}

bool isDatedByFileTime(const QString& entryId)
{
    DatedByFileTime& d = dated();
    QMutexLocker lock(&d.mutex);
    return d.ids.contains(entryId);
}

} // namespace

void noteDatedByFileTime(const QString& entryId)
{
    DatedByFileTime& d = dated();
    QMutexLocker lock(&d.mutex);
    if (d.ids.contains(entryId))
        return;
    d.ids.insert(entryId);
    d.order.push_back(entryId);
    if (d.order.size() > kRemembered) {
        d.ids.remove(d.order.front());
        d.order.pop_front();
    }
}

ProgressRef redate(const ExtensionStores& stores, const ImmichClient& client,
                   const FileProviderItemRef& item, ChangeCompletion done)
{
    ProgressRef progress = Progress::make(1);
    auto answer = [progress, done](Result<FileProviderItemChange> change) {
        progress->setCompletedUnitCount(1);
        done(std::move(change));
    };
    const std::optional<FPNode> node = FPNode::parse(item->itemIdentifier());
    const std::optional<QDateTime> date = item->contentModificationDate();
    if (!node || !node->is(FPNode::Kind::pending) || !date || !date->isValid() ||
        !isDatedByFileTime(node->entryId())) {
        answer(FileProviderItemChange{item});
        return progress;
    }
    const QString entryId = node->entryId();
    UploadQuarantine& quarantine = stores.quarantine;
    if (quarantine.setCaptureDate(entryId, *date)) {
        // The pending item moves to the month of its new date.
        if (const std::optional<UploadQuarantine::Entry> entry = quarantine.entry(entryId)) {
            answer(FileProviderItemChange{
                FileProviderItem::pending(*entry, pendingParent(*entry).identifier(),
                                          stores.quarantine)});
            return progress;
        }
    }
    const std::optional<QString> assetId = ItemRemoval::uploadedAsset(stores, entryId);
    if (!assetId) {
        answer(FileProviderItemChange{item});
        return progress;
    }
    client.setCaptureDate(
        *assetId, *date, [&library = stores.library, answer, item, assetId](Result<void> set) {
            if (!set)
                qCWarning(lcUpload).noquote()
                    << "capture date of" << *assetId << "not changed:" << set.error().description;
            // The asset leaves its month for the new one at the next listing.
            library.markStale();
            EnumerationSignals::signal(FileProviderContainer::workingSet);
            answer(FileProviderItemChange{item});
        });
    return progress;
}

} // namespace pixavella::ItemRedating
