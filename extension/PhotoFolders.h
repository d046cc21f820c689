#pragma once

#include "FPNode.h"
#include "FileProviderItem.h"
#include "ImmichRecords.h"
#include "LibraryMirror.h"
#include "UploadQuarantine.h"

#include <QList>
#include <QSet>
#include <QStringList>

namespace pixavella {

using ItemList = QList<FileProviderItemRef>;

// What "Mes photos" holds, from the full asset list and the upload quarantine. Listings and
// item lookups both ask here, so a folder is described exactly when it is listed.
namespace PhotoFolders {

// Year texts, newest first (descending text order): those of the assets' month keys and those
// of the library uploads still being tried.
QStringList years(const QList<ImmichAsset>& assets, const QList<UploadQuarantine::Entry>& entries);
// Two-digit month texts of year `year`, "12" first, from the same two sources.
QStringList months(const QString& year, const QList<ImmichAsset>& assets,
                   const QList<UploadQuarantine::Entry>& entries);

// The same from the year numbers (and a year's month numbers) the library holds photos in.
QStringList years(const QSet<int>& assetYears, const QList<UploadQuarantine::Entry>& entries);
QStringList months(const QString& year, const QSet<int>& assetMonths,
                   const QList<UploadQuarantine::Entry>& entries);
// The numbers of a month folder's texts; nothing for texts no date files under ("3", "02024").
std::optional<YearMonth> folderMonth(const QString& year, const QString& month);
// The items of `assets`, all filed in month folder `month`, named by `names`.
ItemList assetItems(const FPNode& month, const QList<MirroredAsset>& assets,
                    const AssetNameStore& names);

// The month key of an upload still being tried for the library; nothing for album uploads,
// given-up uploads and uploads without a capture date.
std::optional<MonthKey> pendingLibraryKey(const UploadQuarantine::Entry& entry);

// True when some upload has been given up, which makes the "failed" folder exist.
bool hasGivenUpEntries(const QList<UploadQuarantine::Entry>& entries);

// The pending items of the uploads shown in `container`, in quarantine order.
ItemList pendingItemsIn(const FPNode& container, const QList<UploadQuarantine::Entry>& entries,
                        UploadQuarantine& quarantine);

// Asset items of month (year, month), in list order; texts are compared as they are, so
// "3" never matches "03".
ItemList assetItemsOfMonth(const QString& year, const QString& month,
                           const QList<ImmichAsset>& assets, const AssetNameStore& names);

} // namespace PhotoFolders

} // namespace pixavella
