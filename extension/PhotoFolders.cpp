#include "PhotoFolders.h"

#include <QSet>

#include <algorithm>

namespace pixavella::PhotoFolders {

namespace {

QStringList descending(const QSet<QString>& texts)
{
    QStringList sorted(texts.cbegin(), texts.cend());
    std::sort(sorted.begin(), sorted.end(), std::greater<QString>());
    return sorted;
}

} // namespace

std::optional<MonthKey> pendingLibraryKey(const UploadQuarantine::Entry& entry)
{
    if (entry.attempts >= kUploadAttemptLimit ||
        entry.target.kind != UploadQuarantine::Target::Kind::library)
        return std::nullopt;
    return monthKey(entry.capturedAt);
}

QStringList years(const QList<ImmichAsset>& assets, const QList<UploadQuarantine::Entry>& entries)
{
    QSet<QString> found;
    for (const ImmichAsset& asset : assets) {
        if (const std::optional<MonthKey> key = monthKey(asset))
            found.insert(key->year);
    }
    for (const UploadQuarantine::Entry& entry : entries) {
        if (const std::optional<MonthKey> key = pendingLibraryKey(entry))
            found.insert(key->year);
    }
    return descending(found);
}

QStringList months(const QString& year, const QList<ImmichAsset>& assets,
                   const QList<UploadQuarantine::Entry>& entries)
{
    QSet<QString> found;
    for (const ImmichAsset& asset : assets) {
        const std::optional<MonthKey> key = monthKey(asset);
        if (key && key->year == year)
            found.insert(key->month);
    }
    for (const UploadQuarantine::Entry& entry : entries) {
        const std::optional<MonthKey> key = pendingLibraryKey(entry);
        if (key && key->year == year)
            found.insert(key->month);
    }
    return descending(found);
}

bool hasGivenUpEntries(const QList<UploadQuarantine::Entry>& entries)
{
    return std::any_of(entries.cbegin(), entries.cend(), [](const UploadQuarantine::Entry& e) {
        return e.attempts >= kUploadAttemptLimit;
    });
}

ItemList pendingItemsIn(const FPNode& container, const QList<UploadQuarantine::Entry>& entries)
{
    ItemList items;
    const FileProviderItemIdentifier parent = container.identifier();
    for (const UploadQuarantine::Entry& entry : entries) {
        if (pendingParent(entry) == container)
            items.append(FileProviderItem::pending(entry, parent));
    }
    return items;
}

ItemList assetItemsOfMonth(const QString& year, const QString& month,
                           const QList<ImmichAsset>& assets)
{
    ItemList items;
    const FileProviderItemIdentifier parent = FPNode::month(year, month).identifier();
    const AssetNameStore& names = AssetNameStore::shared();
    for (const ImmichAsset& asset : assets) {
        const std::optional<MonthKey> key = monthKey(asset);
        if (key && key->year == year && key->month == month)
            items.append(FileProviderItem::asset(asset, FPNode::asset(asset.id).identifier(),
                                                 parent, ItemCaps::full, names));
    }
    return items;
}

} // namespace pixavella::PhotoFolders
