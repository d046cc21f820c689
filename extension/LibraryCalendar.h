#pragma once

#include "ImmichRecords.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>

namespace pixavella {

// Year and month under which "Mes photos" files a date: the Gregorian calendar in UTC, the
// year in plain decimal, the month as two digits ("03").
struct MonthKey {
    QString year;
    QString month;
    bool operator==(const MonthKey&) const = default;
};

// The date of an item as the server writes it: internet date-time with, then without,
// fractional seconds.
std::optional<QDateTime> itemDate(const std::optional<QString>& text);

// exifInfo.dateTimeOriginal when the asset has one, else fileCreatedAt. A present but
// unreadable dateTimeOriginal gives no date: the server has no better knowledge of it.
std::optional<QDateTime> captureDate(const ImmichAsset& asset);

// The same filing as numbers: the year and month of the capture date in UTC.
struct YearMonth {
    int year = 0;
    int month = 0;
    bool operator==(const YearMonth&) const = default;
};
// Equal to the month of captureDate(asset) in UTC, read from the date's text without building
// dates: listings file every asset of the library on each call.
std::optional<YearMonth> captureMonth(const ImmichAsset& asset);

std::optional<MonthKey> monthKey(const std::optional<QDateTime>& date);
std::optional<MonthKey> monthKey(const ImmichAsset& asset);
MonthKey monthKey(const YearMonth& month);

// Midnight UTC of the first day of the month; the texts are decimal integers with an optional
// sign. Nothing for any other text or a month outside 1…12.
std::optional<QDateTime> folderDate(const QString& year, const QString& month);

// 13 names: entry 0 empty, then the French stand-alone month names, capitalised. Built once.
const QStringList& monthNameTable();

// The table's name for month texts "1" to "12" (any decimal spelling), else the text itself.
QString monthFolderName(const QString& month);

} // namespace pixavella
