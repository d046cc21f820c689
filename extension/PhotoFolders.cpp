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

// The number whose month-key text `text` is (`width` 2 for months), or nothing when no date
// files under that text ("3" for March, "02024"). Lets the loops over the whole library
// compare numbers instead of building texts.
std::optional<int> keyNumber(const QString& text, int width)
{
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || QString::asprintf("%0*d", width, value) != text)
        return std::nullopt;
    return value;
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
    QSet<int> numbers;
    for (const ImmichAsset& asset : assets) {
        if (const std::optional<YearMonth> month = captureMonth(asset))
            numbers.insert(month->year);
    }
    QSet<QString> found;
    for (const int year : std::as_const(numbers))
        found.insert(QString::number(year));
    for (const UploadQuarantine::Entry& entry : entries) {
        if (const std::optional<MonthKey> key = pendingLibraryKey(entry))
            found.insert(key->year);
    }
    return descending(found);
}

QStringList months(const QString& year, const QList<ImmichAsset>& assets,
                   const QList<UploadQuarantine::Entry>& entries)
{
    QSet<int> numbers;
    if (const std::optional<int> wanted = keyNumber(year, 1)) {
        for (const ImmichAsset& asset : assets) {
            const std::optional<YearMonth> month = captureMonth(asset);
            if (month && month->year == *wanted)
                numbers.insert(month->month);
        }
    }
    QSet<QString> found;
    for (const int month : std::as_const(numbers))
        found.insert(monthKey(YearMonth{0, month}).month);
    for (const UploadQuarantine::Entry& entry : entries) {
        const std::optional<MonthKey> key = pendingLibraryKey(entry);
        if (key && key->year == year)
            found.insert(key->month);
    }
    return descending(found);
}

QStringList years(const QSet<int>& assetYears, const QList<UploadQuarantine::Entry>& entries)
{
    QSet<QString> found;
    for (const int year : assetYears)
        found.insert(QString::number(year));
    for (const UploadQuarantine::Entry& entry : entries) {
        if (const std::optional<MonthKey> key = pendingLibraryKey(entry))
            found.insert(key->year);
    }
    return descending(found);
}

QStringList months(const QString& year, const QSet<int>& assetMonths,
                   const QList<UploadQuarantine::Entry>& entries)
{
    QSet<QString> found;
    for (const int month : assetMonths)
        found.insert(monthKey(YearMonth{0, month}).month);
    for (const UploadQuarantine::Entry& entry : entries) {
        const std::optional<MonthKey> key = pendingLibraryKey(entry);
        if (key && key->year == year)
            found.insert(key->month);
    }
    return descending(found);
}

std::optional<YearMonth> folderMonth(const QString& year, const QString& month)
{
    const std::optional<int> y = keyNumber(year, 1);
    const std::optional<int> m = keyNumber(month, 2);
    if (!y || !m || *m < 1 || *m > 12)
        return std::nullopt;
    return YearMonth{*y, *m};
}

ItemList assetItems(const FPNode& month, const QList<MirroredAsset>& assets,
                    const AssetNameStore& names)
{
    ItemList items;
    items.reserve(assets.size());
    const FileProviderItemIdentifier parent = month.identifier();
    for (const MirroredAsset& mirrored : assets)
        items.append(FileProviderItem::asset(mirrored.asset, mirrored.identifier, parent,
                                             ItemCaps::full, names));
    return items;
}

bool hasGivenUpEntries(const QList<UploadQuarantine::Entry>& entries)
{
    return std::any_of(entries.cbegin(), entries.cend(), [](const UploadQuarantine::Entry& e) {
        return e.attempts >= kUploadAttemptLimit;
    });
}

ItemList pendingItemsIn(const FPNode& container, const QList<UploadQuarantine::Entry>& entries,
                        UploadQuarantine& quarantine)
{
    ItemList items;
    const FileProviderItemIdentifier parent = container.identifier();
    for (const UploadQuarantine::Entry& entry : entries) {
        if (pendingParent(entry) == container)
            items.append(FileProviderItem::pending(entry, parent, quarantine));
    }
    return items;
}

ItemList assetItemsOfMonth(const QString& year, const QString& month,
                           const QList<ImmichAsset>& assets, const AssetNameStore& names)
{
    ItemList items;
    const std::optional<int> y = keyNumber(year, 1);
    const std::optional<int> m = keyNumber(month, 2);
    if (!y || !m)
        return items;
    const YearMonth wanted{*y, *m};
    const FileProviderItemIdentifier parent = FPNode::month(year, month).identifier();
    for (const ImmichAsset& asset : assets) {
        if (captureMonth(asset) == wanted)
            items.append(FileProviderItem::asset(asset, FPNode::asset(asset.id).identifier(),
                                                 parent, ItemCaps::full, names));
    }
    return items;
}

} // namespace pixavella::PhotoFolders
