#include "SyncActivity.h"

#include "Clock.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "Signals.h"

#include <QTimer>

namespace pixavella {

SyncActivityState SyncActivity::record(const Counters& counters, const QDateTime& now)
{
    SyncActivityState state;
    state.updatedAt = now;
    state.done = counters.burstDone;
    state.total = counters.burstTotal;
    if (counters.inFlightUp >= 1) {
        state.kind = SyncActivityState::Kind::uploading;
        state.currentFile = counters.currentFile;
    } else if (counters.offline) {
        state.kind = SyncActivityState::Kind::offline;
    } else if (counters.inFlightDown >= 1) {
        state.kind = SyncActivityState::Kind::downloading;
    } else {
        state.kind = SyncActivityState::Kind::idle;
    }
    return state;
}

SyncActivity::SyncActivity(SettingsSuite& suite, std::chrono::milliseconds heartbeat)
    : m_suite(suite), m_heartbeatInterval(heartbeat)
{
    m_queue.setObjectName(QStringLiteral("app.pixavella.syncActivity"));
    m_queueContext = new QObject;
    m_queueContext->moveToThread(&m_queue);
    m_queue.start();
}

SyncActivity::~SyncActivity()
{
    // The timer is stopped on its own thread, so no tick can run once this returns.
    QMetaObject::invokeMethod(
        m_queueContext,
        [this] {
            delete m_heartbeat;
            m_heartbeat = nullptr;
        },
        Qt::BlockingQueuedConnection);
    m_queue.quit();
    m_queue.wait();
    delete m_queueContext;
}

void SyncActivity::downloadStarted()
{
    bool first = false;
    {
        QMutexLocker lock(&m_lock);
        first = ++m_counters.inFlightDown == 1;
    }
    QMetaObject::invokeMethod(
        m_queueContext, [this] { startHeartbeat(); }, Qt::QueuedConnection);
    publish(first);
}

void SyncActivity::downloadFinished()
{
    bool last = false;
    {
        QMutexLocker lock(&m_lock);
        if (m_counters.inFlightDown >= 1)
            --m_counters.inFlightDown;
        last = m_counters.inFlightDown == 0;
        if (last && m_counters.inFlightUp == 0)
            m_counters.offline = false;
    }
    publish(last);
    if (last) {
        QMetaObject::invokeMethod(
            m_queueContext, [this] { stopHeartbeatIfIdle(); }, Qt::QueuedConnection);
    }
}

void SyncActivity::publish(bool forced)
{
    SyncActivityState state;
    {
        QMutexLocker lock(&m_lock);
        const QDateTime now = Clock::now();
        if (!forced && m_lastFlush &&
            m_lastFlush->msecsTo(now) < std::chrono::milliseconds(kThrottle).count()) {
            return;
        }
        m_lastFlush = now;
        state = record(m_counters, now);
    }
    store(state);
}

void SyncActivity::store(const SyncActivityState& state)
{
    m_suite.setValue(QString::fromLatin1(SyncActivityState::kSettingsKey), state.encode());
    Signals::post(QString::fromLatin1(SignalName::syncActivity));
}

void SyncActivity::startHeartbeat()
{
    if (m_heartbeat)
        return;
    m_heartbeat = new QTimer(m_queueContext);
    m_heartbeat->setTimerType(Qt::PreciseTimer);
    m_heartbeat->setInterval(m_heartbeatInterval);
    QObject::connect(m_heartbeat, &QTimer::timeout, m_queueContext, [this] { tick(); });
    m_heartbeat->start();
}

void SyncActivity::stopHeartbeatIfIdle()
{
    {
        QMutexLocker lock(&m_lock);
        if (m_counters.inFlightUp >= 1 || m_counters.inFlightDown >= 1)
            return;
    }
    delete m_heartbeat;
    m_heartbeat = nullptr;
}

void SyncActivity::tick()
{
    SyncActivityState state;
    {
        QMutexLocker lock(&m_lock);
        const QDateTime now = Clock::now();
        m_lastFlush = now;
        state = record(m_counters, now);
    }
    store(state);
}

void SyncActivity::waitForQueue()
{
    QMetaObject::invokeMethod(
        m_queueContext, [] {}, Qt::BlockingQueuedConnection);
}

bool SyncActivity::isHeartbeatRunning()
{
    bool running = false;
    QMetaObject::invokeMethod(
        m_queueContext, [this, &running] { running = m_heartbeat != nullptr; },
        Qt::BlockingQueuedConnection);
    return running;
}

void SyncActivity::beat()
{
    QMetaObject::invokeMethod(
        m_queueContext, [this] { tick(); }, Qt::BlockingQueuedConnection);
}

} // namespace pixavella
