#include "UploadStatusModel.h"

#include "Clock.h"
#include "NamesServiceHealth.h"
#include "SessionModel.h"
#include "SettingsSuite.h"
#include "SyncActivityState.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"

#include <QSettings>
#include <QTimer>

namespace pixavella {

namespace {

constexpr qint64 kGivenUpAttempts = 5;

QSettings appSettings()
{
    return QSettings(SessionModel::appSettingsOrganization(), SessionModel::appSettingsName());
}

void setBatchTotal(qint64 total)
{
    appSettings().setValue(QLatin1String(UploadStatusModel::kBatchTotalKey), total);
}

ConnectionState connectionState(SessionModel::Connection connection)
{
    switch (connection) {
    case SessionModel::Connection::online:
        return ConnectionState::ok;
    case SessionModel::Connection::offline:
        return ConnectionState::offline;
    case SessionModel::Connection::unauthorized:
        return ConnectionState::expired;
    }
    return ConnectionState::ok;
}

} // namespace

UploadStatusModel::SessionSource UploadStatusModel::sessionSource(const SessionModel& session)
{
    return [&session] {
        return SessionState{connectionState(session.connection()), session.lastRefresh()};
    };
}

UploadStatusModel::UploadStatusModel(UploadQuarantine& quarantine, SettingsSuite& suite,
                                     UploadJournal& journal, SessionSource session,
                                     NoticePresenter presentNotice, QObject* parent)
    : QObject(parent), m_quarantine(quarantine), m_suite(suite), m_journal(journal),
      m_session(std::move(session)), m_presentNotice(std::move(presentNotice)),
      m_timer(new QTimer(this))
{
    connect(m_timer, &QTimer::timeout, this, &UploadStatusModel::refresh);
}

UploadStatusModel::~UploadStatusModel() = default;

qint64 UploadStatusModel::batchTotal()
{
    return appSettings().value(QLatin1String(kBatchTotalKey), 0).toLongLong();
}

void UploadStatusModel::refresh()
{
    const QDateTime now = Clock::now();
    const QList<UploadQuarantine::Entry> entries = m_quarantine.list();
    QSet<QString> currentIds;
    for (const auto& entry : entries)
        currentIds.insert(entry.id);

    QSettings settings = appSettings();
    const QStringList counted = settings.value(QLatin1String(kBatchIdsKey)).toStringList();
    QSet<QString> newIds = currentIds - m_lastQids;
    for (const QString& id : counted)
        newIds.remove(id);
    if (!newIds.isEmpty()) {
        setBatchTotal(batchTotal() + newIds.size());
        // Only the ids still queued need remembering.
        QStringList kept;
        for (const QString& id : counted) {
            if (currentIds.contains(id))
                kept << id;
        }
        settings.setValue(QLatin1String(kBatchIdsKey), kept + newIds.values());
    }
    m_lastQids = currentIds;

    qint64 pending = 0;
    qint64 failed = 0;
    bool newInLibrary = false;
    bool newInShared = false;
    for (const auto& entry : entries) {
        if (entry.attempts < kGivenUpAttempts)
            ++pending;
        else
            ++failed;
        if (newIds.contains(entry.id)) {
            newInLibrary |= entry.target.kind == UploadTargetKind::library;
            newInShared |= entry.target.kind == UploadTargetKind::sharedAlbum;
        }
    }
    if (failed != m_failedCount) {
        m_failedCount = failed;
        emit failedCountChanged();
    }

    if (!newIds.isEmpty()) {
        QList<PedagogicalNotice> notices;
        if (newInLibrary)
            notices.append(PedagogicalNotice::library);
        if (newInShared)
            notices.append(PedagogicalNotice::shared);
        notices.append(PedagogicalNotice::move);
        presentNotices(notices);
    }

    if (entries.isEmpty()) {
        const qint64 total = batchTotal();
        if (total > 0) {
            m_lastCompletedCount = total;
            m_completedLatchUntil = now.addMSecs(qint64(kCompletedLatch * 1000));
        }
        setBatchTotal(0);
        settings.remove(QLatin1String(kBatchIdsKey));
        m_presentedThisBatch.clear();
    }

    const SyncActivityState activity = SyncActivityState::read(m_suite);
    const bool downloadFresh = activity.kind == SyncActivityState::Kind::downloading &&
                               activity.updatedAt.isValid() &&
                               activity.updatedAt.msecsTo(now) < qint64(kDownloadFreshness * 1000);
    const bool latchRunning = m_completedLatchUntil && now < *m_completedLatchUntil;

    UploadStatus next;
    if (pending == 0) {
        if (latchRunning)
            next = UploadStatus::completed(m_lastCompletedCount);
        else if (downloadFresh)
            next = UploadStatus::downloading();
        else
            next = UploadStatus::idle(m_session ? m_session().lastRefresh : std::nullopt);
    } else {
        const qint64 total = batchTotal();
        const qint64 done = std::max<qint64>(0, total - pending - failed);
        const bool online = !m_session || m_session().connection == ConnectionState::ok;
        next = online ? UploadStatus::uploading(done, total) : UploadStatus::paused(done, total);
    }
    const bool namesUnsaved = NamesServiceHealth::isMarkedUnreachable(m_suite);
    if (next != m_status || namesUnsaved != m_namesUnsaved) {
        m_status = next;
        m_namesUnsaved = namesUnsaved;
        emit statusChanged();
    }

    const bool busy = pending > 0 || downloadFresh;
    if (busy != m_busy) {
        m_busy = busy;
        emit busyChanged();
    }

    schedule(pending == 0 && !downloadFresh && !latchRunning ? kIdleInterval : kBusyInterval);
}

void UploadStatusModel::presentNotices(const QList<PedagogicalNotice>& notices)
{
    for (PedagogicalNotice notice : notices) {
        if (m_presentedThisBatch.contains(notice))
            continue;
        m_presentedThisBatch.insert(notice);
        if (m_presentNotice)
            m_presentNotice(notice);
    }
}

void UploadStatusModel::schedule(std::chrono::milliseconds interval)
{
    if (m_timer->isActive() && m_timer->intervalAsDuration() == interval)
        return;
    m_timer->start(interval);
}

void UploadStatusModel::requestRefresh()
{
    QMetaObject::invokeMethod(this, &UploadStatusModel::refresh, Qt::QueuedConnection);
}

void UploadStatusModel::stop()
{
    m_timer->stop();
}

std::optional<std::chrono::milliseconds> UploadStatusModel::timerInterval() const
{
    if (!m_timer->isActive())
        return std::nullopt;
    return m_timer->intervalAsDuration();
}

QString UploadStatusModel::lastUploadLine() const
{
    return pixavella::lastUploadLine(m_journal, Clock::now());
}

QString UploadStatusModel::statusLine() const
{
    const SessionState session = m_session ? m_session() : SessionState{};
    const bool needsUpToDate = m_status.kind == UploadStatus::Kind::idle && m_failedCount < 1 &&
                               session.connection == ConnectionState::ok;
    return pixavella::statusLine(m_status, m_failedCount, session.connection, session.lastRefresh,
                                 needsUpToDate ? lastUploadLine() : QString(), Clock::now());
}

} // namespace pixavella
