#include "DeletionNotifier.h"
#include "DesktopNotifications.h"
#include "FakeNotificationServer.h"
#include "UserNoticeQueue.h"

#include <QTest>

using namespace pixavella;
using testing::FakeNotificationServer;
using testing::NotifyCall;

namespace {

QStringList bodies(const QList<NotifyCall>& calls)
{
    QStringList texts;
    for (const NotifyCall& call : calls)
        texts << call.body;
    return texts;
}

} // namespace

class TestDeletionNotifier : public QObject {
    Q_OBJECT

    FakeNotificationServer m_server;

    void settle()
    {
        FakeNotificationServer::flush();
        QCoreApplication::processEvents();
    }

private slots:
    void initTestCase() { QVERIFY(m_server.start()); }

    void init()
    {
        UserNoticeQueue::shared().drain();
        m_server.recorder().clear();
        m_server.recorder().setCapabilities({QStringLiteral("actions"), QStringLiteral("body")});
    }

    void noticesShownInOrderOnce()
    {
        UserNoticeQueue& queue = UserNoticeQueue::shared();
        // Queued while the application was not running.
        queue.append(QStringLiteral("Photo A mise à la corbeille."));
        queue.append(QStringLiteral("Photo B mise à la corbeille."));
        queue.append(QStringLiteral("Photo C retirée de l'album."));

        DesktopNotifications center(QDBusConnection::sessionBus());
        DeletionNotifier notifier(center);
        notifier.start();
        QTRY_COMPARE(m_server.notifies().size(), 3);
        notifier.start(); // a second start neither drains again nor observes twice

        queue.append(QStringLiteral("Photo D mise à la corbeille."));
        queue.append(QStringLiteral("Photo E mise à la corbeille."));
        QTRY_COMPARE(m_server.notifies().size(), 5);
        settle();

        const QList<NotifyCall> calls = m_server.notifies();
        QCOMPARE(bodies(calls),
                 QStringList({"Photo A mise à la corbeille.", "Photo B mise à la corbeille.",
                              "Photo C retirée de l'album.", "Photo D mise à la corbeille.",
                              "Photo E mise à la corbeille."}));
        QSet<uint> ids;
        for (const NotifyCall& call : calls) {
            QCOMPARE(call.summary, QStringLiteral("Pixavella"));
            QCOMPARE(call.replacesId, 0u);
            QVERIFY(call.actions.isEmpty());
            ids.insert(call.id);
        }
        QCOMPARE(ids.size(), 5);
        QVERIFY(queue.drain().isEmpty());
    }

    void emptyQueuePostsNothing()
    {
        DesktopNotifications center(QDBusConnection::sessionBus());
        DeletionNotifier notifier(center);
        notifier.start();
        notifier.drain();
        settle();
        QVERIFY(m_server.notifies().isEmpty());
    }

    // A server that reads bodies as markup must not lose part of a file name.
    void bodyEscapedForMarkupServers()
    {
        m_server.recorder().setCapabilities(
            {QStringLiteral("body"), QStringLiteral("body-markup")});
        DesktopNotifications center(QDBusConnection::sessionBus());
        settle(); // the capabilities are asked when the center is made
        DeletionNotifier notifier(center);
        UserNoticeQueue::shared().append(QStringLiteral("Envoi de « a<b>&c.jpg » abandonné"));
        notifier.drain();
        QTRY_COMPARE(m_server.notifies().size(), 1);
        QCOMPARE(m_server.notifies()[0].body,
                 QStringLiteral("Envoi de « a&lt;b&gt;&amp;c.jpg » abandonné"));
    }
};

QTEST_MAIN(TestDeletionNotifier)
#include "TestDeletionNotifier.moc"
