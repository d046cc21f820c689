#include "DateText.h"

#include <QDateTime>

#include <cstdio>

namespace immichdouble {

namespace {

struct CivilTime {
    qint64 year;
    int month, day, hour, minute, second, millisecond;
};

// Gregorian calendar from days since 1970-01-01 (H. Hinnant's civil_from_days).
CivilTime civil(qint64 ms)
{
    qint64 days = ms / 86400000;
    qint64 rest = ms % 86400000;
    if (rest < 0) {
        rest += 86400000;
        --days;
    }
    days += 719468;
    const qint64 era = (days >= 0 ? days : days - 146096) / 146097;
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 mp = (5 * dayOfYear + 2) / 153;
    CivilTime time{};
    time.day = int(dayOfYear - (153 * mp + 2) / 5 + 1);
    time.month = int(mp < 10 ? mp + 3 : mp - 9);
    time.year = yearOfEra + era * 400 + (time.month <= 2 ? 1 : 0);
    time.hour = int(rest / 3600000);
    time.minute = int(rest / 60000 % 60);
    time.second = int(rest / 1000 % 60);
    time.millisecond = int(rest % 1000);
    return time;
}

} // namespace

QByteArray dateText(qint64 ms, DateStyle style)
{
    const CivilTime t = civil(ms);
    char text[40];
    int length = 0;
    switch (style) {
    case DateStyle::Millis:
        length = std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ",
                               static_cast<long long>(t.year), t.month, t.day, t.hour, t.minute,
                               t.second, t.millisecond);
        break;
    case DateStyle::Offset:
        length = std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d+00:00",
                               static_cast<long long>(t.year), t.month, t.day, t.hour, t.minute,
                               t.second);
        break;
    case DateStyle::MicrosOffset:
        length = std::snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02d.%03d000+00:00",
                               static_cast<long long>(t.year), t.month, t.day, t.hour, t.minute,
                               t.second, t.millisecond);
        break;
    case DateStyle::DayStart:
        length = std::snprintf(text, sizeof text, "%04lld-%02d-%02dT00:00:00.000Z",
                               static_cast<long long>(t.year), t.month, t.day);
        break;
    }
    return QByteArray(text, length);
}

std::optional<qint64> parseIsoDate(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.size() < 19 || trimmed[10] != QLatin1Char('T'))
        return std::nullopt;
    QDateTime parsed = QDateTime::fromString(trimmed, Qt::ISODateWithMs);
    if (!parsed.isValid())
        return std::nullopt;
    if (parsed.timeSpec() == Qt::LocalTime)
        parsed = QDateTime(parsed.date(), parsed.time(), Qt::UTC);
    return parsed.toMSecsSinceEpoch();
}

int isoUtcOffsetMinutes(const QString& text)
{
    const QDateTime parsed = QDateTime::fromString(text.trimmed(), Qt::ISODateWithMs);
    return parsed.isValid() && parsed.timeSpec() == Qt::OffsetFromUTC ? parsed.offsetFromUtc() / 60
                                                                      : 0;
}

} // namespace immichdouble
