#include "UploadIssueNotifier.h"

#include "Clock.h"
#include "ContainerPaths.h"
#include "UploadQuarantine.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QUrl>

namespace pixavella {

namespace {

QString kindText(UploadIssueNotifier::Kind kind)
{
    switch (kind) {
    case UploadIssueNotifier::Kind::none:
        return QStringLiteral("none");
    case UploadIssueNotifier::Kind::stuck:
        return QStringLiteral("stuck");
    case UploadIssueNotifier::Kind::failed:
        return QStringLiteral("failed");
    }
    return {};
}

} // namespace

UploadIssueNotifier::UploadIssueNotifier(DesktopNotifications& center, UploadQuarantine& quarantine,
                                         QObject* parent)
    : QObject(parent), m_center(center), m_quarantine(quarantine)
{
    connect(&m_center, &DesktopNotifications::actionInvoked, this,
            [this](const QString&, const QString& category, const QString& action) {
                handleResponse(category, action);
            });
}

void UploadIssueNotifier::evaluate()
{
    const QList<UploadQuarantine::Entry> entries = m_quarantine.list();
    const QDateTime now = Clock::now();

    qsizetype failed = 0;
    qsizetype stuck = 0;
    for (const UploadQuarantine::Entry& entry : entries) {
        if (entry.attempts >= kFailedAttempts)
            ++failed;
        else if (entry.enqueuedAt.msecsTo(now) > qint64(kStuckThreshold * 1000))
            ++stuck;
    }

    if (failed == 0 && stuck == 0) {
        if (m_notifiedKind != Kind::none) {
            m_center.withdraw({stuckID, failedID});
            m_notifiedKind = Kind::none;
            m_notifiedCount = 0;
        }
        return;
    }

    const Kind kind = failed > 0 ? Kind::failed : Kind::stuck;
    const qsizetype count = kind == Kind::failed ? failed : stuck;
    // A notification whose number is out of date is replaced at once, not at the reminder.
    if (kind == m_notifiedKind && count == m_notifiedCount && m_lastNotifyAt.isValid() &&
        m_lastNotifyAt.msecsTo(now) <= qint64(kReminderInterval * 1000))
        return;

    postNotification(kind, count);

    QSettings settings(QStringLiteral("Pixavella"), QStringLiteral("pixavella"));
    settings.setValue(QLatin1String(kLastKindKey), kindText(kind));
    settings.setValue(QLatin1String(kLastCountKey), qint64(count));
    settings.setValue(QLatin1String(kLastAtKey), double(now.toMSecsSinceEpoch()) / 1000.0);

    m_notifiedKind = kind;
    m_notifiedCount = count;
    m_lastNotifyAt = now;
}

void UploadIssueNotifier::postNotification(Kind kind, qsizetype count)
{
    const bool failed = kind == Kind::failed;
    // No translation file chooses the plural here: one photo takes the singular by hand.
    QString body;
    if (failed)
        body = count == 1 ? tr("1 photo n'a pas pu être sauvegardée.")
                          : tr("%1 photos n'ont pas pu être sauvegardées.").arg(qint64(count));
    else
        body = count == 1 ? tr("1 photo pas encore sauvegardée — nouvelle tentative en cours…")
                          : tr("%1 photos pas encore sauvegardées — nouvelle tentative en cours…")
                                .arg(qint64(count));
    QList<DesktopNotifications::Action> actions{
        {QString::fromLatin1(DesktopNotifications::kDefaultAction), QString()},
        {actView, tr("Voir les fichiers")}};
    if (failed)
        actions.append({actRetry, tr("Réessayer")});

    m_center.withdraw({failed ? stuckID : failedID});
    m_center.post(failed ? failedID : stuckID, failed ? catFailed : catStuck,
                  QStringLiteral("Pixavella"), body, actions);
}

void UploadIssueNotifier::handleResponse(const QString& category, const QString& action)
{
    if (category != catStuck && category != catFailed)
        return;
    if (action == actRetry) {
        const QList<UploadQuarantine::Entry> entries = m_quarantine.list();
        for (const UploadQuarantine::Entry& entry : entries) {
            if (entry.attempts >= kFailedAttempts)
                m_quarantine.resetAttempts(entry.id);
        }
        emit retryRequested();
    } else if (action == actView || action == QLatin1String(DesktopNotifications::kDefaultAction)) {
        const QString folder = filesFolder();
        if (!folder.isEmpty())
            QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    }
}

QString UploadIssueNotifier::filesFolder() const
{
    const QString failedFolder = ContainerPaths::mountPoint() + QLatin1Char('/') +
                                 tr("Mes photos") + QLatin1Char('/') + tr("Envois échoués");
    if (QFileInfo(failedFolder).isDir())
        return failedFolder;
    const std::optional<QString> queue = m_quarantine.directoryURL();
    if (queue && QFileInfo(*queue).isDir())
        return *queue;
    return {};
}

} // namespace pixavella
