#include "ImmichRecords.h"

#include <QTimeZone>

namespace pixavella {

namespace {

// Reads `count` ASCII digits at `pos`; false when any is missing or not a digit.
bool readDigits(QStringView text, qsizetype pos, int count, int& value)
{
    if (pos + count > text.size())
        return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
        const char16_t c = text[pos + i].unicode();
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c - u'0');
    }
    return true;
}

bool isAt(QStringView text, qsizetype pos, char16_t c)
{
    return pos < text.size() && text[pos].unicode() == c;
}

// Internet date-time "YYYY-MM-DDTHH:MM:SS", then the fraction ".d+" when `withFraction`, then
// "Z" or "±HH:MM". Upper-case "T" and "Z" only; the fraction keeps its milliseconds.
std::optional<QDateTime> parseInternetDateTime(QStringView text, bool withFraction)
{
    int year, month, day, hour, minute, second;
    if (!readDigits(text, 0, 4, year) || !isAt(text, 4, u'-') || !readDigits(text, 5, 2, month) ||
        !isAt(text, 7, u'-') || !readDigits(text, 8, 2, day) || !isAt(text, 10, u'T') ||
        !readDigits(text, 11, 2, hour) || !isAt(text, 13, u':') ||
        !readDigits(text, 14, 2, minute) || !isAt(text, 16, u':') ||
        !readDigits(text, 17, 2, second))
        return std::nullopt;
    qsizetype pos = 19;

    int milliseconds = 0;
    if (withFraction) {
        if (!isAt(text, pos, u'.'))
            return std::nullopt;
        ++pos;
        const qsizetype start = pos;
        while (pos < text.size() && text[pos].unicode() >= u'0' && text[pos].unicode() <= u'9') {
            if (pos - start < 3)
                milliseconds = milliseconds * 10 + (text[pos].unicode() - u'0');
            ++pos;
        }
        const qsizetype length = pos - start;
        if (length == 0)
            return std::nullopt;
        for (qsizetype i = length; i < 3; ++i)
            milliseconds *= 10;
    }

    int offsetSeconds = 0;
    if (isAt(text, pos, u'Z')) {
        ++pos;
    } else if (isAt(text, pos, u'+') || isAt(text, pos, u'-')) {
        const int sign = isAt(text, pos, u'-') ? -1 : 1;
        int offsetHours, offsetMinutes;
        if (!readDigits(text, pos + 1, 2, offsetHours) || !isAt(text, pos + 3, u':') ||
            !readDigits(text, pos + 4, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;

    const QDate date(year, month, day);
    const QTime time(hour, minute, second, milliseconds);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, QTimeZone::utc()).addSecs(-offsetSeconds);
}

} // namespace

std::optional<QDateTime> parseImmichDate(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    if (auto withFraction = parseInternetDateTime(*text, true))
        return withFraction;
    return parseInternetDateTime(*text, false);
}

} // namespace pixavella
