#pragma once

#include <QString>

#include <optional>

namespace immichdouble {

// The date styles the server writes, all in UTC; times are milliseconds since the epoch.
QString isoMillis(qint64 ms);       // 2024-03-20T08:00:00.000Z
QString isoOffset(qint64 ms);       // 2024-03-20T08:00:00+00:00 (EXIF dates)
QString isoMicrosOffset(qint64 ms); // 2024-03-20T08:00:00.000000+00:00 (user summaries)
QString isoDayStart(qint64 ms);     // 2024-03-20T00:00:00.000Z (album date ranges)
// ISO 8601 date-time with or without fraction, "Z" or an offset; no zone reads as UTC.
std::optional<qint64> parseIsoDate(const QString& text);

} // namespace immichdouble
