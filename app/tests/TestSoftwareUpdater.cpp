#include "HttpSession.h"
#include "RecordingServer.h"
#include "ReleaseFeed.h"
#include "SoftwareUpdater.h"

#include <QSignalSpy>
#include <QTest>

using namespace pixavella;
using pixavella::testing::RecordingServer;

namespace {

// Newest release in the middle, one link only as an element, one address relative to the feed.
const QByteArray kThreeReleases =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
    "<channel><title>Pixavella</title>\n"
    "<item><title>Version 0.1.0</title><enclosure sparkle:version=\"0.1.0\" length=\"1\" "
    "url=\"https://downloads.example/pixavella-0.1.0.tar.gz\"/></item>\n"
    "<item><title>Version 0.10.2</title><enclosure sparkle:version=\"0.10.2\" length=\"1\" "
    "url=\"/pixavella-0.10.2.tar.gz\"/></item>\n"
    "<item><title>Version 0.9</title><sparkle:version>0.9</sparkle:version>"
    "<link>https://downloads.example/pixavella-0.9.tar.gz</link></item>\n"
    "</channel></rss>\n";

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

    RecordingServer m_feed;

private slots:
    // An older build, then the same version.
    void newestReleaseComparedWithThisBuild()
    {
        for (const auto& [current, available] : {std::pair{"0.10.1", true}, {"0.10.2", false}}) {
            m_feed.setScript([](const RecordingServer::Request&) {
                return RecordingServer::Answer{200, kThreeReleases, "application/rss+xml"};
            });
            QUrl feedUrl = m_feed.url();
            feedUrl.setPath(QStringLiteral("/appcast.xml"));
            SoftwareUpdater updater(HttpSession::shared(), feedUrl, QLatin1String(current));
            QSignalSpy can(&updater, &SoftwareUpdater::canCheckForUpdatesChanged);
            QSignalSpy finished(&updater, &SoftwareUpdater::checkFinished);
            const Result<SoftwareUpdater::UpdateCheck> result = check(updater);
            QVERIFY2(result, result ? "" : qPrintable(result.error().description));
            QCOMPARE(result.value().updateAvailable, available);
            QCOMPARE(result.value().newest.version, QStringLiteral("0.10.2"));
            QCOMPARE(result.value().newest.url, feedUrl.resolved(QUrl("/pixavella-0.10.2.tar.gz")));
            QCOMPARE(finished.size(), 1);
            QCOMPARE(finished[0][0].toBool(), available);
            // Disabled while the check ran, enabled again after.
            QCOMPARE(can.size(), 2);
            QCOMPARE(can[0][0].toBool(), false);
            QCOMPARE(can[1][0].toBool(), true);
        }
    }

    void withoutAFeedNothingIsAsked()
    {
        m_feed.clear();
        SoftwareUpdater updater(HttpSession::shared(), QUrl(), QStringLiteral("0.1.0"));
        QVERIFY(!updater.canCheckForUpdates());
        const Result<SoftwareUpdater::UpdateCheck> result = check(updater);
        QVERIFY(!result);
        QCOMPARE(result.error().code, int(ReleaseFeed::noFeed));
        QVERIFY(m_feed.requests().isEmpty());
    }

    void versionOrder()
    {
        const std::tuple<const char*, const char*, int> rows[] = {
            {"1.10", "1.9", 1},    // numbers, not text
            {"1.2", "1.2.0", 0},   // missing parts are zero
            {"2.0rc1", "2.0", -1}, // a candidate comes before its release
            {"2.0rc1", "2.0rc2", -1}};
        for (const auto& [a, b, order] : rows) {
            QCOMPARE(ReleaseFeed::compareVersions(a, b), order);
            QCOMPARE(ReleaseFeed::compareVersions(b, a), -order);
        }
    }
};

QTEST_MAIN(TestSoftwareUpdater)
#include "TestSoftwareUpdater.moc"
