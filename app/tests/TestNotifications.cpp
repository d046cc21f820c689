// Upload-issue and deletion notifications, as a notification server on the session bus sees
// them.
#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "Clock.h"
#include "ContainerPaths.h"
#include "DeletionNotifier.h"
#include "DesktopNotifications.h"
#include "FakeNotificationServer.h"
#include "HttpSession.h"
#include "PedagogicalNoticeQueue.h"
#include "ProcessStores.h"
#include "PromotedPendingList.h"
#include "SettingsSuite.h"
#include "UploadIssueNotifier.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"
#include "UploadReconciler.h"
#include "UserNoticeQueue.h"

#include <QDesktopServices>
#include <QDir>
#include <QSettings>
#include <QTest>

using namespace pixavella;
using testing::appStores;
using testing::clearQuarantine;
using testing::enqueueFailed;
using testing::FakeNotificationServer;
using testing::NotifyCall;

namespace {

const QString kOneStuck =
    QStringLiteral("1 photo pas encore sauvegardée — nouvelle tentative en cours…");
const QString kStuckBody =
    QStringLiteral(" photos pas encore sauvegardées — nouvelle tentative en cours…");
const QString kOneFailed = QStringLiteral("1 photo n'a pas pu être sauvegardée.");
const QString kFailedBody = QStringLiteral(" photos n'ont pas pu être sauvegardées.");

QString failedFolder()
{
    return ContainerPaths::mountPoint() + QStringLiteral("/Mes photos/Envois échoués");
}

} // namespace

class TestNotifications : public QObject {
    Q_OBJECT

    FakeNotificationServer m_server;
    std::unique_ptr<ManualClock> m_clock;
    std::unique_ptr<DesktopNotifications> m_center;
    std::unique_ptr<UploadIssueNotifier> m_notifier;
    QList<QUrl> m_opened;

    // Waits until the server has seen what was sent and its answers are in.
    static void settle()
    {
        FakeNotificationServer::flush();
        QCoreApplication::processEvents();
    }
    // Evaluates `after` seconds later.
    void evaluate(double after = 0)
    {
        m_clock->advance(after);
        m_notifier->evaluate();
        settle();
    }

public slots:
    void openUrl(const QUrl& url) { m_opened.append(url); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.start());
        QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
    }

    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

    void init()
    {
        m_clock = std::make_unique<ManualClock>();
        clearQuarantine();
        appStores().userNotices.drain();
        m_server.recorder().setCapabilities({QStringLiteral("actions"), QStringLiteral("body")});
        m_center = std::make_unique<DesktopNotifications>(QDBusConnection::sessionBus());
        m_notifier = std::make_unique<UploadIssueNotifier>(*m_center, UploadQuarantine::shared());
        settle();
        m_server.recorder().clear();
        m_opened.clear();
    }

    void cleanup()
    {
        m_notifier.reset();
        m_center.reset();
        m_clock.reset();
        QDir(ContainerPaths::mountPoint()).removeRecursively();
    }

    // Stuck after 150 s, reminded 600 s after the last notification, replaced by the failure.
    void stuckThenRemindedThenFailed()
    {
        QVERIFY(!enqueueFailed(0).isEmpty());
        evaluate(150);
        QVERIFY(m_server.notifies().isEmpty());
        evaluate(1);
        QCOMPARE(m_server.notifies().size(), 1);
        const NotifyCall stuck = m_server.notifies()[0];
        QCOMPARE(stuck.body, kOneStuck);
        QCOMPARE(stuck.actions.value(0), QStringLiteral("default")); // key, title, key, title…
        QCOMPARE(stuck.actions.mid(2), QStringList({"VIEW", "Voir les fichiers"}));
        QSettings settings(QStringLiteral("Pixavella"), QStringLiteral("pixavella"));
        QCOMPARE(settings.value("lastUploadIssueKind").toString(), QStringLiteral("stuck"));
        QCOMPARE(settings.value("lastUploadIssueCount").toInt(), 1);
        QCOMPARE(settings.value("lastUploadIssueAt").toDouble(), Clock::nowSeconds());

        evaluate(300);
        evaluate(300);
        QCOMPARE(m_server.notifies().size(), 1); // exactly 600 s: not yet
        evaluate(1);
        QCOMPARE(m_server.notifies().size(), 2);
        QCOMPARE(m_server.notifies()[1].replacesId, stuck.id);
        QCOMPARE(m_server.notifies()[1].body, kOneStuck);
        QVERIFY(m_server.closes().isEmpty());

        enqueueFailed(5);
        evaluate();
        const QList<NotifyCall> calls = m_server.notifies();
        QCOMPARE(calls.size(), 3);
        QCOMPARE(calls[2].body, kOneFailed);
        QCOMPARE(calls[2].replacesId, 0u);
        QCOMPARE(calls[2].actions.mid(2),
                 QStringList({"VIEW", "Voir les fichiers", "RETRY", "Réessayer"}));
        // Closed once the answer to the reminder has named it.
        QTRY_COMPARE(m_server.closes(), QList<uint>{stuck.id});

        // Withdrawn once the queue is empty, and only once.
        clearQuarantine();
        evaluate();
        evaluate();
        QTRY_COMPARE(m_server.closes(), (QList<uint>{stuck.id, calls[2].id}));
        QCOMPARE(m_server.notifies().size(), 3);
    }

    // The server unreachable: the drops reach their fifth failure a few at a time, and the
    // one notification follows the count (photos that wait take the same road).
    void countChangesReplaceTheNotification()
    {
        const QString first = enqueueFailed(5);
        evaluate(200);
        QCOMPARE(m_server.notifies().size(), 1);
        const NotifyCall shown = m_server.notifies()[0];
        QCOMPARE(shown.body, kOneFailed);

        for (int i = 0; i < 9; ++i) {
            QVERIFY(!enqueueFailed(5).isEmpty());
            if (i == 2) {
                evaluate(200);
            }
        }
        evaluate(200);
        evaluate(); // no change: nothing more
        (void)UploadQuarantine::shared().remove(first);
        evaluate();

        const QList<NotifyCall> calls = m_server.notifies();
        QStringList bodies;
        for (const NotifyCall& call : calls) {
            bodies << call.body;
            QCOMPARE(call.id, shown.id);
        }
        QCOMPARE(bodies, (QStringList{kOneFailed, "4" + kFailedBody, "10" + kFailedBody,
                                      "9" + kFailedBody}));
        for (qsizetype i = 1; i < calls.size(); ++i)
            QCOMPARE(calls[i].replacesId, shown.id);
        QVERIFY(m_server.closes().isEmpty());
    }

    // "Réessayer" re-arms the given-up entries and sweeps at once; the sweep (without a
    // session, so it uploads nothing) evaluates again and the failed notification makes way
    // for a stuck one.
    void retryResetsAndSweeps()
    {
        UploadReconciler reconciler(appStores().forUploads(), m_notifier.get());
        const QString first = enqueueFailed(5);
        const QString second = enqueueFailed(7);
        const QString young = enqueueFailed(1);
        evaluate(200);
        QCOMPARE(m_server.notifies().size(), 1);
        const NotifyCall failed = m_server.notifies()[0];
        QCOMPARE(failed.body, QStringLiteral("2") + kFailedBody);

        m_server.invoke(failed.id, QStringLiteral("RETRY"));
        QTRY_COMPARE(UploadQuarantine::shared().entry(first)->attempts, 0);
        QCOMPARE(UploadQuarantine::shared().entry(second)->attempts, 0);
        QCOMPARE(UploadQuarantine::shared().entry(young)->attempts, 1);
        QTRY_COMPARE(m_server.notifies().size(), 2);
        QCOMPARE(m_server.notifies()[1].body, QStringLiteral("3") + kStuckBody);
        QTRY_COMPARE(m_server.closes(), QList<uint>{failed.id});
    }

    // "Voir" with the drive mounted opens its folder of failed uploads; a click without the
    // drive, the queue's own folder.
    void viewOpensFiles()
    {
        for (const auto& [mounted, action] : {std::pair{true, "VIEW"}, {false, "default"}}) {
            cleanup();
            init();
            if (mounted)
                QVERIFY(QDir().mkpath(failedFolder()));
            enqueueFailed(5);
            evaluate();
            m_server.invoke(m_server.notifies().value(0).id, QLatin1String(action));
            QTRY_COMPARE(m_opened.size(), 1);
            QCOMPARE(m_opened[0],
                     QUrl::fromLocalFile(mounted ? failedFolder()
                                                 : *UploadQuarantine::shared().directoryURL()));
        }
    }

    // Queued by the drive, also while the application was not running: shown in order, once.
    void deletionNoticesShownInOrderOnce()
    {
        UserNoticeQueue& queue = appStores().userNotices;
        queue.append(QStringLiteral("Photo A mise à la corbeille."));
        queue.append(QStringLiteral("Photo B retirée de l'album."));
        DeletionNotifier notifier(*m_center, queue);
        notifier.start();
        QTRY_COMPARE(m_server.notifies().size(), 2);
        notifier.start(); // a second start neither drains again nor observes twice
        queue.append(QStringLiteral("Photo C mise à la corbeille."));
        QTRY_COMPARE(m_server.notifies().size(), 3);
        settle();

        QStringList bodies;
        QSet<uint> ids;
        for (const NotifyCall& call : m_server.notifies()) {
            QCOMPARE(call.summary, QStringLiteral("Pixavella"));
            QCOMPARE(call.replacesId, 0u);
            bodies << call.body;
            ids.insert(call.id);
        }
        QCOMPARE(bodies, QStringList({"Photo A mise à la corbeille.", "Photo B retirée de l'album.",
                                      "Photo C mise à la corbeille."}));
        QCOMPARE(ids.size(), 3);
        QVERIFY(queue.drain().isEmpty());
    }

    // A server that reads bodies as markup must not lose part of a file name.
    void bodyEscapedForMarkupServers()
    {
        m_server.recorder().setCapabilities(
            {QStringLiteral("body"), QStringLiteral("body-markup")});
        DesktopNotifications center(QDBusConnection::sessionBus());
        settle(); // the capabilities are asked when the center is made
        DeletionNotifier notifier(center, appStores().userNotices);
        appStores().userNotices.append(QStringLiteral("Envoi de « a<b>&c.jpg » abandonné"));
        notifier.drain();
        QTRY_COMPARE(m_server.notifies().size(), 1);
        QCOMPARE(m_server.notifies()[0].body,
                 QStringLiteral("Envoi de « a&lt;b&gt;&amp;c.jpg » abandonné"));
    }
};

QTEST_MAIN(TestNotifications)
#include "TestNotifications.moc"
