#include "ImmichRecords.h"

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

struct DateFields {
    int year, month, day, hour, minute, second;
    int milliseconds = 0;
    int offsetSeconds = 0;

    bool valid() const
    {
        return QDate::isValid(year, month, day) &&
               QTime::isValid(hour, minute, second, milliseconds);
    }
};

// Internet date-time "YYYY-MM-DDTHH:MM:SS", then the fraction ".d+" when `withFraction`, then
// "Z" or "±HH:MM". Upper-case "T" and "Z" only; the fraction keeps its milliseconds. The
// calendar date and time of day are not checked here.
std::optional<DateFields> readInternetDateTime(QStringView text, bool withFraction)
{
    DateFields f;
    if (!readDigits(text, 0, 4, f.year) || !isAt(text, 4, u'-') ||
        !readDigits(text, 5, 2, f.month) || !isAt(text, 7, u'-') ||
        !readDigits(text, 8, 2, f.day) || !isAt(text, 10, u'T') ||
        !readDigits(text, 11, 2, f.hour) || !isAt(text, 13, u':') ||
        !readDigits(text, 14, 2, f.minute) || !isAt(text, 16, u':') ||
        !readDigits(text, 17, 2, f.second))
        return std::nullopt;
    qsizetype pos = 19;

    if (withFraction) {
        if (!isAt(text, pos, u'.'))
            return std::nullopt;
        ++pos;
        const qsizetype start = pos;
        while (pos < text.size() && text[pos].unicode() >= u'0' && text[pos].unicode() <= u'9') {
            if (pos - start < 3)
                f.milliseconds = f.milliseconds * 10 + (text[pos].unicode() - u'0');
            ++pos;
        }
        const qsizetype length = pos - start;
        if (length == 0)
            return std::nullopt;
        for (qsizetype i = length; i < 3; ++i)
            f.milliseconds *= 10;
    }

    if (isAt(text, pos, u'Z')) {
        ++pos;
    } else if (isAt(text, pos, u'+') || isAt(text, pos, u'-')) {
        const int sign = isAt(text, pos, u'-') ? -1 : 1;
        int offsetHours, offsetMinutes;
        if (!readDigits(text, pos + 1, 2, offsetHours) || !isAt(text, pos + 3, u':') ||
            !readDigits(text, pos + 4, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
            return std::nullopt;
        f.offsetSeconds = sign * (offsetHours * 3600 + offsetMinutes * 60);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;
    return f;
}

// The first reading that succeeds: with fractional seconds, then without.
std::optional<DateFields> readImmichDate(QStringView text)
{
    if (auto withFraction = readInternetDateTime(text, true))
        return withFraction;
    return readInternetDateTime(text, false);
}

} // namespace

std::optional<QDateTime> parseImmichDate(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    const std::optional<DateFields> f = readImmichDate(*text);
    if (!f || !f->valid())
        return std::nullopt;
    // Qt::UTC rather than the UTC time zone: the same instant, held in the value itself where a
    // time zone costs every date an allocation (a hundred thousand photos carry two each).
    return QDateTime(QDate(f->year, f->month, f->day),
                     QTime(f->hour, f->minute, f->second, f->milliseconds), Qt::UTC)
        .addSecs(-f->offsetSeconds);
}

std::optional<UtcMonth> immichDateUtcMonth(QStringView text)
{
    const std::optional<DateFields> f = readImmichDate(text);
    if (!f || !f->valid())
        return std::nullopt;
    // An offset is less than a day, so UTC is at most one month away; the two months at the
    // ends of the calendar are left to the full reading.
    const int secondsIntoMonth =
        (((f->day - 1) * 24 + f->hour) * 60 + f->minute) * 60 + f->second - f->offsetSeconds;
    UtcMonth month{f->year, f->month};
    if (secondsIntoMonth < 0) {
        if (--month.month == 0)
            month = UtcMonth{f->year - 1, 12};
    } else if (secondsIntoMonth >= QDate(f->year, f->month, 1).daysInMonth() * 86'400) {
        if (++month.month == 13)
            month = UtcMonth{f->year + 1, 1};
    }
    if (month.year >= 1 && month.year <= 9999)
        return month;
    const std::optional<QDateTime> date = parseImmichDate(text.toString());
    const QDate utc = date ? date->toUTC().date() : QDate();
    if (!utc.isValid())
        return std::nullopt;
    return UtcMonth{utc.year(), utc.month()};
}

} // namespace pixavella
