#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace immichdouble {

// The date styles the server writes, all in UTC; times are milliseconds since the epoch.
enum class DateStyle {
    Millis,       // 2024-03-20T08:00:00.000Z
    Offset,       // 2024-03-20T08:00:00+00:00 (EXIF dates)
    MicrosOffset, // 2024-03-20T08:00:00.000000+00:00 (user summaries)
    DayStart,     // 2024-03-20T00:00:00.000Z (album date ranges)
};

QByteArray dateText(qint64 ms, DateStyle style);
inline QString isoMillis(qint64 ms)
{
    return QString::fromLatin1(dateText(ms, DateStyle::Millis));
}
inline QString isoOffset(qint64 ms)
{
    return QString::fromLatin1(dateText(ms, DateStyle::Offset));
}

// ISO 8601 date-time with or without fraction, "Z" or an offset; no zone reads as UTC.
std::optional<qint64> parseIsoDate(const QString& text);
// The offset from UTC an ISO 8601 date-time is written in ("+02:00": 120); 0 for "Z" or none.
int isoUtcOffsetMinutes(const QString& text);

} // namespace immichdouble
