#pragma once

#include "SyncActivityState.h"

#include <QDateTime>
#include <QMutex>
#include <QThread>

#include <chrono>
#include <optional>

class QObject;
class QTimer;

namespace pixavella {

class SettingsSuite;

// Counts the transfers of the extension and publishes what it is doing as a
// SyncActivityState under "sync.activity", followed by the signal "app.pixavella.syncActivity".
// Unforced publications are at most one per kThrottle; while a download lasts, a heartbeat on
// the tracker's own thread republishes the record every heartbeat interval so that it stays
// fresh for the application.
class SyncActivity {
public:
    static constexpr std::chrono::milliseconds kThrottle{500};
    static constexpr std::chrono::milliseconds kHeartbeat{1500};

    struct Counters {
        qint64 inFlightUp = 0;
        qint64 inFlightDown = 0;
        qint64 burstTotal = 0;
        qint64 burstDone = 0;
        bool offline = false;
        std::optional<QString> currentFile;
    };
    static SyncActivityState record(const Counters& counters, const QDateTime& now);

    explicit SyncActivity(SettingsSuite& suite, std::chrono::milliseconds heartbeat = kHeartbeat);
    ~SyncActivity();

    // A content fetch begins; the first of a burst publishes at once and starts the heartbeat.
    void downloadStarted();
    // A content fetch ended, whatever its outcome; the last of a burst publishes at once and
    // stops the heartbeat.
    void downloadFinished();

    // Returns once the heartbeat thread has run everything handed to it so far.
    void waitForQueue();
    bool isHeartbeatRunning();
    // Runs one heartbeat tick now, on the heartbeat thread, as the timer would.
    void beat();

    SyncActivity(const SyncActivity&) = delete;
    SyncActivity& operator=(const SyncActivity&) = delete;

private:
    void publish(bool forced);
    void store(const SyncActivityState& state);
    // Run on the heartbeat thread only.
    void startHeartbeat();
    void stopHeartbeatIfIdle();
    void tick();

    SettingsSuite& m_suite;
    QMutex m_lock; // guards m_counters and m_lastFlush
    Counters m_counters;
    std::optional<QDateTime> m_lastFlush; // none: never written
    const std::chrono::milliseconds m_heartbeatInterval;
    QThread m_queue;
    QObject* m_queueContext = nullptr; // lives on m_queue
    QTimer* m_heartbeat = nullptr;     // touched on m_queue only
};

} // namespace pixavella
