#pragma once

#include "PedagogicalNotice.h"
#include "UploadStatus.h"

#include <QObject>
#include <QSet>
#include <QString>

#include <chrono>
#include <functional>
#include <optional>

class QTimer;

namespace pixavella {

class SessionModel;
class SettingsSuite;
class UploadJournal;
class UploadQuarantine;

// Turns the upload quarantine, the drive's activity record and the session into one status
// and a count of failed photos, and tells whether new photo names can be saved now. Counts the
// photos of the current batch (those dropped since the quarantine was last empty) in the
// application's own settings so that a restart resumes the count, shows `completed` for a few
// seconds when a batch ends, and presents the notices that belong to a new drop. Polls every
// second while anything moves, every 5 seconds else.
//
// Main thread only.
class UploadStatusModel : public QObject {
    Q_OBJECT

public:
    struct SessionState {
        ConnectionState connection = ConnectionState::ok;
        std::optional<QDateTime> lastRefresh;
    };
    using SessionSource = std::function<SessionState()>;
    using NoticePresenter = std::function<void(PedagogicalNotice)>;

    // The application's own settings: quarantine entries seen since it was last empty.
    static constexpr const char* kBatchTotalKey = "w3.batchTotal";
    // The ids of the batch already counted, so that a restart does not count them again.
    static constexpr const char* kBatchIdsKey = "w3.batch";
    static constexpr double kCompletedLatch = 4.0;
    static constexpr double kDownloadFreshness = 4.0;
    static constexpr std::chrono::milliseconds kBusyInterval{1000};
    static constexpr std::chrono::milliseconds kIdleInterval{5000};

    // The connection and last refresh of `session`, read at each call.
    static SessionSource sessionSource(const SessionModel& session);
    UploadStatusModel(UploadQuarantine& quarantine, SettingsSuite& suite, UploadJournal& journal,
                      SessionSource session, NoticePresenter presentNotice,
                      QObject* parent = nullptr);
    ~UploadStatusModel() override;

    // Recomputes the status; also what each timer tick runs.
    void refresh();
    // Queues refresh on the main thread. Callable from any thread.
    void requestRefresh();
    // Stops polling until the next refresh (sign-out).
    void stop();

    const UploadStatus& status() const { return m_status; }
    qint64 failedCount() const { return m_failedCount; }
    // Some entry still has retries left, or a download is fresh: a library refresh must wait.
    bool isBusy() const { return m_busy; }
    // A program could not reach the names service: renames wait in the queue until it answers.
    bool namesUnsaved() const { return m_namesUnsaved; }
    // The polling interval, absent when not polling.
    std::optional<std::chrono::milliseconds> timerInterval() const;

    QString statusLine() const;
    QString lastUploadLine() const;

    static qint64 batchTotal();

signals:
    void statusChanged();
    void failedCountChanged();
    void busyChanged();

private:
    void presentNotices(const QList<PedagogicalNotice>& notices);
    void schedule(std::chrono::milliseconds interval);

    UploadQuarantine& m_quarantine;
    SettingsSuite& m_suite;
    UploadJournal& m_journal;
    SessionSource m_session;
    NoticePresenter m_presentNotice;

    UploadStatus m_status;
    qint64 m_failedCount = 0;
    bool m_busy = false;
    bool m_namesUnsaved = false;
    QTimer* m_timer = nullptr;
    QSet<QString> m_lastQids;
    std::optional<QDateTime> m_completedLatchUntil;
    QSet<PedagogicalNotice> m_presentedThisBatch;
    qint64 m_lastCompletedCount = 0;
};

} // namespace pixavella
