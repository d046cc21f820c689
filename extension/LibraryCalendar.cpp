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
    // Read from the text when it can be, without building a date: every listing files the
    // whole library.
    if (const std::optional<UtcMonth> month = immichDateUtcMonth(text))
        return YearMonth{month->year, month->month};
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
