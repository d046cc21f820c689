#include "HistoryModel.h"

#include "Clock.h"
#include "SharedSettings.h"
#include "Signals.h"

#include <QCoreApplication>
#include <QLocale>
#include <QMutexLocker>
#include <QPointer>
#include <QTimer>

namespace pixavella {

namespace {

QLocale frenchLocale()
{
    return QLocale(QLocale::French, QLocale::France);
}

} // namespace

HistoryModel::HistoryModel(UploadJournal& journal, ClientFactory makeClient, RetryAction retry,
                           std::chrono::milliseconds statsDebounce, QObject* parent)
    : QObject(parent), m_journal(journal), m_makeClient(std::move(makeClient)),
      m_retry(std::move(retry)), m_statsDebounce(statsDebounce)
{
    reload();
    refreshStatistics();
}

HistoryModel::~HistoryModel() = default;

void HistoryModel::observeJournal()
{
    if (m_observer)
        return;
    QPointer<HistoryModel> self(this);
    m_observer = Signals::observe(QLatin1String(SignalName::journalChanged), [self] {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self] {
                if (self)
                    self->journalChanged();
            },
            Qt::QueuedConnection);
    });
}

void HistoryModel::reload()
{
    QList<UploadJournal::Event> events;
    {
        QMutexLocker locker(&m_journal.lock());
        events = m_journal.loadEvents();
    }
    m_sections = daySections(UploadJournal::batches(events, kBatchGap), Clock::now());
    emit sectionsChanged();
}

void HistoryModel::refreshStatistics()
{
    const std::optional<ImmichClient> client = m_makeClient ? m_makeClient() : std::nullopt;
    if (!client)
        return;
    QPointer<HistoryModel> self(this);
    client->fetchStatistics([self](const Result<ImmichAssetStatistics>& result) {
        if (!result)
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, stats = result.value()] {
                if (!self)
                    return;
                self->m_stats = stats;
                emit self->statsChanged();
            },
            Qt::QueuedConnection);
    });
}

void HistoryModel::journalChanged()
{
    reload();
    scheduleStatisticsRefresh();
}

void HistoryModel::scheduleStatisticsRefresh()
{
    if (m_statsRefreshScheduled)
        return;
    m_statsRefreshScheduled = true;
    QTimer::singleShot(m_statsDebounce, this, [this] {
        m_statsRefreshScheduled = false;
        refreshStatistics();
    });
}

void HistoryModel::toggle(const QString& batchId)
{
    if (!m_expanded.remove(batchId))
        m_expanded.insert(batchId);
    emit expandedChanged();
}

void HistoryModel::retry(const UploadJournal::Event& event)
{
    if (m_retry)
        m_retry(event.id);
}

QString HistoryModel::dayLabel(const QDate& day, const QDate& today)
{
    if (day == today)
        return tr("Aujourd'hui");
    if (day == today.addDays(-1))
        return tr("Hier");
    return frenchLocale().toString(day, tr("d MMMM yyyy"));
}

QList<DaySection> HistoryModel::daySections(const QList<UploadJournal::Batch>& batches,
                                            const QDateTime& now)
{
    const QDate today = now.toLocalTime().date();
    QList<DaySection> sections;
    for (const UploadJournal::Batch& batch : batches) {
        const QString label = dayLabel(batch.startedAt().toLocalTime().date(), today);
        auto section = std::find_if(sections.begin(), sections.end(),
                                    [&label](const DaySection& s) { return s.label == label; });
        if (section == sections.end()) {
            sections.append({label, label, {}});
            section = sections.end() - 1;
        }
        section->batches.append(batch);
    }
    return sections;
}

QString HistoryModel::statisticsText(const std::optional<ImmichAssetStatistics>& stats)
{
    if (!stats)
        return tr("Synchronisation…");
    if (stats->videos < 1)
        return tr("%1 photos synchronisées").arg(stats->images);
    return tr("%1 photos").arg(stats->images) + QStringLiteral(" · ") +
           tr("%1 vidéos").arg(stats->videos) + tr(" synchronisées");
}

QString HistoryModel::statusLine(const UploadStatus& status)
{
    const QString pair = QStringLiteral(" (%1/%2)").arg(status.done).arg(status.total);
    switch (status.kind) {
    case UploadStatus::Kind::uploading:
        return tr("En cours : ⬆ envoi de %1 photos…").arg(status.total) + pair;
    case UploadStatus::Kind::paused:
        return tr("En pause : ⏸ réseau indisponible, reprise auto") + pair;
    default:
        return {};
    }
}

QString HistoryModel::timeText(const QDateTime& instant)
{
    return frenchLocale().toString(instant.toLocalTime().time(), QLocale::ShortFormat);
}

QString HistoryModel::destination(const UploadJournal::Target& target)
{
    if (target.kind == UploadTargetKind::library)
        return tr("Mes photos", "Dossier racine de la bibliothèque (par date)");
    return target.albumName;
}

} // namespace pixavella
