#include "DateText.h"

#include <QDateTime>
#include <QTimeZone>

namespace immichdouble {

namespace {

QDateTime utc(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

} // namespace

QString isoMillis(qint64 ms)
{
    return utc(ms).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

QString isoOffset(qint64 ms)
{
    return utc(ms).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss+00:00"));
}

QString isoMicrosOffset(qint64 ms)
{
    return utc(ms).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz000+00:00"));
}

QString isoDayStart(qint64 ms)
{
    return utc(ms).toString(QStringLiteral("yyyy-MM-ddT00:00:00.000Z"));
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

} // namespace immichdouble
