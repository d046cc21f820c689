#pragma once

#include "DesktopNotifications.h"

#include <QDateTime>
#include <QObject>
#include <QString>

namespace pixavella {

class UploadQuarantine;

// Tells the user that dropped photos are not yet on the server: photos still retried but
// waiting too long ("stuck"), or photos given up after five failures ("failed"). At most one
// such notification is shown, saying how many photos it is about; it is replaced as soon as
// that number changes, repeated while the situation lasts and withdrawn once the upload queue
// is clear. Driven by the upload reconciler, which evaluates at every sweep. Main thread only.
class UploadIssueNotifier : public QObject {
    Q_OBJECT

public:
    enum class Kind { none, stuck, failed };

    static constexpr double kStuckThreshold = 150.0;   // seconds in the queue
    static constexpr double kReminderInterval = 600.0; // seconds between repeats
    static constexpr qint64 kFailedAttempts = 5;

    // Request identifiers, categories and actions of the two notifications.
    static inline const QString stuckID = QStringLiteral("upload-issue-stuck");
    static inline const QString failedID = QStringLiteral("upload-issue-failed");
    static inline const QString catStuck = QStringLiteral("PIXAVELLA_UPLOAD_STUCK");
    static inline const QString catFailed = QStringLiteral("PIXAVELLA_UPLOAD_FAILED");
    static inline const QString actView = QStringLiteral("VIEW");
    static inline const QString actRetry = QStringLiteral("RETRY");

    // Settings keys of the application's own settings, written at every posting.
    static constexpr const char* kLastKindKey = "lastUploadIssueKind";
    static constexpr const char* kLastCountKey = "lastUploadIssueCount";
    static constexpr const char* kLastAtKey = "lastUploadIssueAt";

    UploadIssueNotifier(DesktopNotifications& center, UploadQuarantine& quarantine,
                        QObject* parent = nullptr);

    // Reads the upload queue and posts, repeats or withdraws the notification.
    void evaluate();
    Kind notifiedKind() const { return m_notifiedKind; }

    // The user's answer to a notification of `category`.
    void handleResponse(const QString& category, const QString& action);

    // Where "Voir les fichiers" leads: the drive's folder of failed uploads while the drive is
    // mounted, else the upload queue's own folder; empty when neither exists.
    QString filesFolder() const;

signals:
    // "Réessayer": the given-up entries were re-armed; the reconciler should sweep now.
    void retryRequested();

private:
    void postNotification(Kind kind, qsizetype count);

    DesktopNotifications& m_center;
    UploadQuarantine& m_quarantine;
    Kind m_notifiedKind = Kind::none;
    qsizetype m_notifiedCount = 0;
    QDateTime m_lastNotifyAt; // invalid: the distant past
};

} // namespace pixavella
