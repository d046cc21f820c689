#include "LibraryCalendar.h"

#include <QLocale>

#include <limits>

namespace pixavella {

namespace {

// Optional "+" or "-", then one or more ASCII digits, nothing else.
std::optional<int> decimalInteger(const QString& text)
{
    qsizetype pos = 0;
    bool negative = false;
    if (!text.isEmpty() && (text[0] == u'+' || text[0] == u'-')) {
        negative = text[0] == u'-';
        pos = 1;
    }
    if (pos == text.size())
        return std::nullopt;
    qint64 value = 0;
    for (; pos < text.size(); ++pos) {
        const char16_t c = text[pos].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > std::numeric_limits<int>::max())
            return std::nullopt;
    }
    return int(negative ? -value : value);
}

// Reads `count` ASCII digits at `pos`.
bool digitsAt(QStringView text, qsizetype pos, int count, int& value)
{
    value = 0;
    for (int i = 0; i < count; ++i) {
        const char16_t c = text[pos + i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c - u'0');
    }
    return true;
}

// The UTC year and month of an internet date-time "YYYY-MM-DDTHH:MM:SS[.d+](Z|±HH:MM)", read
// from the text; accepts exactly the texts parseImmichDate accepts (a valid calendar date, time
// of day and offset). Nothing for every other text, and for the two months at the ends of the
// calendar, which the full reading then decides.
std::optional<YearMonth> textMonthUtc(QStringView text)
{
    const qsizetype n = text.size();
    if (n < 20)
        return std::nullopt;
    int year, month, day, hour, minute, second;
    if (!digitsAt(text, 0, 4, year) || text[4] != u'-' || !digitsAt(text, 5, 2, month) ||
        text[7] != u'-' || !digitsAt(text, 8, 2, day) || text[10] != u'T' ||
        !digitsAt(text, 11, 2, hour) || text[13] != u':' || !digitsAt(text, 14, 2, minute) ||
        text[16] != u':' || !digitsAt(text, 17, 2, second))
        return std::nullopt;

    qsizetype zone = n - 1; // where the zone begins
    int offsetMinutes = 0;
    if (text[zone] != u'Z') {
        zone = n - 6;
        int hours, minutes;
        if (zone < 19 || (text[zone] != u'+' && text[zone] != u'-') ||
            !digitsAt(text, zone + 1, 2, hours) || text[zone + 3] != u':' ||
            !digitsAt(text, zone + 4, 2, minutes) || hours > 23 || minutes > 59)
            return std::nullopt;
        offsetMinutes = (text[zone] == u'-' ? -1 : 1) * (hours * 60 + minutes);
    }
    if (zone > 19) {
        int ignored;
        if (text[19] != u'.' || zone == 20)
            return std::nullopt;
        for (qsizetype pos = 20; pos < zone; ++pos) {
            if (!digitsAt(text, pos, 1, ignored))
                return std::nullopt;
        }
    }
    if (!QDate::isValid(year, month, day) || !QTime::isValid(hour, minute, second))
        return std::nullopt;

    // An offset is less than a day, so UTC is at most one month away.
    const int minutesIntoMonth = ((day - 1) * 24 + hour) * 60 + minute - offsetMinutes;
    if (minutesIntoMonth < 0) {
        if (month > 1)
            return YearMonth{year, month - 1};
        return year > 1 ? std::optional(YearMonth{year - 1, 12}) : std::nullopt;
    }
    if (minutesIntoMonth >= QDate(year, month, 1).daysInMonth() * 24 * 60) {
        if (month < 12)
            return YearMonth{year, month + 1};
        return year < 9999 ? std::optional(YearMonth{year + 1, 1}) : std::nullopt;
    }
    return YearMonth{year, month};
}

// First character upper-cased with the current locale's rules, the rest as it is.
QString capitalised(const QString& name)
{
    if (name.isEmpty())
        return name;
    const qsizetype first = name[0].isHighSurrogate() && name.size() > 1 ? 2 : 1;
    return QLocale().toUpper(name.left(first)) + name.mid(first);
}

QStringList buildMonthNameTable()
{
    const QLocale french(QLocale::French);
    const auto names = [&french](bool standalone) {
        QStringList list;
        for (int m = 1; m <= 12; ++m) {
            const QString n = standalone ? french.standaloneMonthName(m, QLocale::LongFormat)
                                         : french.monthName(m, QLocale::LongFormat);
            if (n.isEmpty())
                return QStringList();
            list.append(capitalised(n));
        }
        return list;
    };
    QStringList months = names(true);
    if (months.isEmpty())
        months = names(false);
    return QStringList{QString()} + months;
}

} // namespace

std::optional<QDateTime> itemDate(const std::optional<QString>& text)
{
    return parseImmichDate(text);
}

std::optional<QDateTime> captureDate(const ImmichAsset& asset)
{
    if (asset.exifInfo && asset.exifInfo->dateTimeOriginal)
        return itemDate(asset.exifInfo->dateTimeOriginal);
    return itemDate(asset.fileCreatedAt);
}

std::optional<MonthKey> monthKey(const std::optional<QDateTime>& date)
{
    if (!date || !date->isValid())
        return std::nullopt;
    const QDate utc = date->toUTC().date();
    if (!utc.isValid())
        return std::nullopt;
    return MonthKey{QString::number(utc.year()), QString::asprintf("%02d", utc.month())};
}

std::optional<YearMonth> captureMonth(const ImmichAsset& asset)
{
    const QString& text = asset.exifInfo && asset.exifInfo->dateTimeOriginal
                              ? *asset.exifInfo->dateTimeOriginal
                              : asset.fileCreatedAt;
    if (const std::optional<YearMonth> month = textMonthUtc(text))
        return month;
    const std::optional<QDateTime> date = captureDate(asset);
    if (!date || !date->isValid())
        return std::nullopt;
    const QDate utc = date->toUTC().date();
    if (!utc.isValid())
        return std::nullopt;
    return YearMonth{utc.year(), utc.month()};
}

MonthKey monthKey(const YearMonth& month)
{
    return MonthKey{QString::number(month.year), QString::asprintf("%02d", month.month)};
}

std::optional<MonthKey> monthKey(const ImmichAsset& asset)
{
    if (const std::optional<YearMonth> month = captureMonth(asset))
        return monthKey(*month);
    return std::nullopt;
}

std::optional<QDateTime> folderDate(const QString& year, const QString& month)
{
    const auto y = decimalInteger(year);
    const auto m = decimalInteger(month);
    if (!y || !m)
        return std::nullopt;
    const QDate first(*y, *m, 1);
    if (!first.isValid())
        return std::nullopt;
    return QDateTime(first, QTime(0, 0), Qt::UTC);
}

const QStringList& monthNameTable()
{
    static const QStringList table = buildMonthNameTable();
    return table;
}

QString monthFolderName(const QString& month)
{
    const auto m = decimalInteger(month);
    const QStringList& table = monthNameTable();
    if (m && *m >= 1 && *m <= 12 && *m < table.size())
        return table[*m];
    return month;
}

} // namespace pixavella
