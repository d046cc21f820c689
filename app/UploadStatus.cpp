#include "UploadStatus.h"

#include "UploadJournal.h"

#include <QCoreApplication>
#include <QMutexLocker>

namespace pixavella {

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("UploadStatus", text);
}

QString pair(qint64 done, qint64 total)
{
    return QStringLiteral(" (%1/%2)").arg(done).arg(total);
}

} // namespace

UploadStatus UploadStatus::idle(std::optional<QDateTime> lastRefresh)
{
    UploadStatus status;
    status.lastRefresh = std::move(lastRefresh);
    return status;
}

UploadStatus UploadStatus::uploading(qint64 done, qint64 total)
{
    UploadStatus status;
    status.kind = Kind::uploading;
    status.done = done;
    status.total = total;
    return status;
}

UploadStatus UploadStatus::paused(qint64 done, qint64 total)
{
    UploadStatus status = uploading(done, total);
    status.kind = Kind::paused;
    return status;
}

UploadStatus UploadStatus::completed(qint64 count)
{
    UploadStatus status;
    status.kind = Kind::completed;
    status.count = count;
    return status;
}

UploadStatus UploadStatus::downloading()
{
    UploadStatus status;
    status.kind = Kind::downloading;
    return status;
}

QString relativeTime(const std::optional<QDateTime>& instant, const QDateTime& now)
{
    if (!instant || !instant->isValid())
        return tr("jamais");
    const qint64 s = instant->secsTo(now);
    if (s < 60)
        return tr("à l'instant");
    if (s < 3600)
        return tr("il y a ") + QString::number(s / 60) + tr(" min");
    if (s < 86400)
        return tr("il y a ") + QString::number(s / 3600) + tr(" h");
    return tr("il y a ") + QString::number(s / 86400) + tr(" j");
}

QString lastUploadLine(UploadJournal& journal, const QDateTime& now)
{
    std::optional<QDateTime> latest;
    {
        QMutexLocker locker(&journal.lock());
        const QList<UploadJournal::Event> events = journal.loadEvents();
        for (const UploadJournal::Event& event : events) {
            if (event.outcome == UploadJournal::Outcome::uploaded &&
                (!latest || event.resolvedAt > *latest))
                latest = event.resolvedAt;
        }
    }
    if (latest && latest->secsTo(now) < 86400)
        return tr("✓ À jour · dernier envoi ") + relativeTime(latest, now);
    return tr("✓ À jour");
}

QString statusLine(const UploadStatus& status, qint64 failedCount, ConnectionState connection,
                   const std::optional<QDateTime>& sessionLastRefresh, const QString& upToDateLine,
                   const QDateTime& now)
{
    const QString suffix =
        failedCount >= 1 ? tr(" · ⚠ ") + QString::number(failedCount) + tr(" en échec") : QString();
    switch (status.kind) {
    case UploadStatus::Kind::completed:
        return tr("✓ ") + QString::number(status.count) + tr(" photos envoyées");
    case UploadStatus::Kind::downloading:
        return tr("⬇ Téléchargement…");
    case UploadStatus::Kind::paused: {
        QString line = tr("⏸ En pause — réseau indisponible, reprise auto");
        if (status.total > 0)
            line += pair(status.done, status.total);
        return line + suffix;
    }
    case UploadStatus::Kind::uploading:
        if (status.total < 1)
            return tr("⬆ Envoi en cours…") + suffix;
        return tr("⬆ Envoi de ") + QString::number(status.total) + tr(" photos…") +
               pair(status.done, status.total) + suffix;
    case UploadStatus::Kind::idle:
        break;
    }
    if (failedCount >= 1)
        return tr("⚠ ") + QString::number(failedCount) + tr(" photos en échec");
    switch (connection) {
    case ConnectionState::ok:
        return upToDateLine;
    case ConnectionState::offline:
        return tr("⚠ Hors ligne · dernière sync ") + relativeTime(sessionLastRefresh, now);
    case ConnectionState::expired:
        return tr("Session expirée");
    }
    return upToDateLine;
}

QString statusIconPath(const UploadStatus& status, qint64 failedCount)
{
    switch (status.kind) {
    case UploadStatus::Kind::uploading:
        return QStringLiteral(":/icons/arrow-up-circle.svg");
    case UploadStatus::Kind::paused:
        return QStringLiteral(":/icons/pause-circle.svg");
    case UploadStatus::Kind::downloading:
        return QStringLiteral(":/icons/arrow-down-circle.svg");
    case UploadStatus::Kind::idle:
    case UploadStatus::Kind::completed:
        break;
    }
    return failedCount >= 1 ? QStringLiteral(":/icons/warning-fill.svg") : QString();
}

} // namespace pixavella
