#include "ReleaseFeed.h"
#include "SoftwareUpdater.h"

#include <QMutex>
#include <QSignalSpy>
#include <QTest>

#include <httplib.h>

#include <thread>

using namespace pixavella;

namespace {

// Serves one feed text at /appcast.xml on 127.0.0.1.
class FeedServer {
public:
    FeedServer()
    {
        m_server.Get("/appcast.xml", [this](const httplib::Request&, httplib::Response& res) {
            QMutexLocker locker(&m_mutex);
            res.status = m_status;
            res.set_content(m_feed.toStdString(), "application/rss+xml");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~FeedServer()
    {
        m_server.stop();
        m_thread.join();
    }
    void serve(const QByteArray& feed, int status = 200)
    {
        QMutexLocker locker(&m_mutex);
        m_feed = feed;
        m_status = status;
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(m_port)); }

private:
    httplib::Server m_server;
    int m_port = 0;
    std::thread m_thread;
    QMutex m_mutex;
    QByteArray m_feed;
    int m_status = 200;
};

QByteArray appcast(const QByteArray& items)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" "
           "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
           "  <channel>\n"
           "    <title>Pixavella</title>\n" +
           items +
           "\n"
           "  </channel>\n"
           "</rss>\n";
}

const QByteArray kTwoReleases = appcast(
    "\n"
    "    <item>\n"
    "      <title>Version 0.1.0</title>\n"
    "      <enclosure url=\"https://downloads.example/pixavella-0.1.0.tar.gz\" "
    "sparkle:version=\"0.1.0\" length=\"1\"/>\n"
    "    </item>\n"
    "    <item>\n"
    "      <title>Version 0.10.2</title>\n"
    "      <enclosure url=\"/pixavella-0.10.2.tar.gz\" sparkle:version=\"0.10.2\" length=\"1\"/>\n"
    "    </item>\n"
    "    <item>\n"
    "      <title>Version 0.9</title>\n"
    "      <sparkle:version>0.9</sparkle:version>\n"
    "      <link>https://downloads.example/pixavella-0.9.tar.gz</link>\n"
    "    </item>");

Result<SoftwareUpdater::UpdateCheck> check(SoftwareUpdater& updater)
{
    std::optional<Result<SoftwareUpdater::UpdateCheck>> answer;
    updater.checkForUpdates(
        [&answer](const Result<SoftwareUpdater::UpdateCheck>& result) { answer = result; });
    if (!QTest::qWaitFor([&answer] { return answer.has_value(); }, 30000))
        return Error{QStringLiteral("test"), 0, QStringLiteral("no answer")};
    return *answer;
}

} // namespace

class TestSoftwareUpdater : public QObject {
    Q_OBJECT

    FeedServer m_feed;

private slots:
    void newestReleaseComparedWithThisBuild_data()
    {
        QTest::addColumn<QString>("current");
        QTest::addColumn<bool>("available");
        QTest::newRow("older build") << "0.10.1" << true;
        QTest::newRow("same version") << "0.10.2" << false;
    }
    void newestReleaseComparedWithThisBuild()
    {
        QFETCH(QString, current);
        QFETCH(bool, available);
        m_feed.serve(kTwoReleases);
        SoftwareUpdater updater(m_feed.url(), current);
        QVERIFY(updater.canCheckForUpdates());
        QSignalSpy can(&updater, &SoftwareUpdater::canCheckForUpdatesChanged);
        QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
        const Result<SoftwareUpdater::UpdateCheck> result = check(updater);
        QVERIFY2(result, result ? "" : qPrintable(result.error().description));
        QCOMPARE(result.value().updateAvailable, available);
        QCOMPARE(result.value().newest.version, QStringLiteral("0.10.2"));
        QCOMPARE(result.value().newest.url,
                 QUrl(QStringLiteral("http://127.0.0.1:%1/pixavella-0.10.2.tar.gz")
                          .arg(m_feed.url().port())));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished[0][0].toBool(), available);
        // Disabled while the check ran, enabled again after.
        QCOMPARE(can.size(), 2);
        QCOMPARE(can[0][0].toBool(), false);
        QCOMPARE(can[1][0].toBool(), true);
    }

    void versionOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        QTest::newRow("numbers, not text") << "1.10"
                                           << "1.9" << 1;
        QTest::newRow("missing parts are zero") << "1.2"
                                                << "1.2.0" << 0;
        QTest::newRow("candidate before release") << "2.0rc1"
                                                  << "2.0" << -1;
        QTest::newRow("candidates in order") << "2.0rc1"
                                             << "2.0rc2" << -1;
    }
    void versionOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(ReleaseFeed::compareVersions(a, b), order);
        QCOMPARE(ReleaseFeed::compareVersions(b, a), -order);
    }
};

QTEST_MAIN(TestSoftwareUpdater)
#include "TestSoftwareUpdater.moc"
