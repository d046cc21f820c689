// The drive follows what other clients do on the server without anybody signalling it: told by
// the server's event channel while that is up, by its own polling while the channel is refused.
// Another client uploads and trashes through the double's HTTP API; `ls` of the month, as the
// user would look again, shows the change. An idle drive with the channel up asks the server
// for next to nothing: its requests over a minute are counted and printed.
#include "DriveHarness.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

const QString kMonth = QStringLiteral("Mes photos/2024/Novembre");
// Generous deadlines, never a measure: events bring a change within a second or two, polling
// within 30 s.
constexpr int kEventDeadlineMs = 15'000;
constexpr int kPollDeadlineMs = 45'000;
constexpr int kIdleMs = 60'000;

} // namespace

class TestDriveLiveUpdates : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void otherClientsChangesArriveByEvents();
    void datesRestoresAndDeletionsArriveWithoutAWholeListing();
    void failedChangeListingKeepsWhatWasShown();
    void idleDriveWithTheChannelUpAsksAlmostNothing();
    void refusedChannelFallsBackToPolling();

private:
    // Another client's upload, multipart as any uploader sends it; the new asset's id.
    QString uploadElsewhere(const QString& name, const QString& date)
    {
        const QString file = m_local.filePath(name);
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(name.toUtf8().repeated(1'000)) < 0)
            return {};
        out.close();
        const ToolRun run =
            m_drive.run("curl", {"-sf", "-H", "x-api-key: " + kMyKey, "-F", "assetData=@" + file,
                                 "-F", "deviceAssetId=" + name, "-F", "deviceId=autre-client", "-F",
                                 "fileCreatedAt=" + date, "-F", "fileModifiedAt=" + date,
                                 m_drive.server().url().toString() + "/api/assets"});
        return QJsonDocument::fromJson(run.out)[u"id"].toString();
    }
    void trashElsewhere(const QString& id, bool force = false)
    {
        m_drive.api("DELETE", "/api/assets", {{"ids", QJsonArray{id}}, {"force", force}});
    }
    // Listings of the library (search/metadata without albumIds) among the requests from
    // `from` on: whole ones, or those of the changes since a time (with updatedAfter).
    int listingsSince(qsizetype from, bool ofChanges = false)
    {
        const QJsonArray all = m_drive.server().requests();
        int count = 0;
        for (qsizetype i = from; i < all.size(); ++i) {
            if (all[i][u"path"].toString() != u"/api/search/metadata")
                continue;
            const QJsonObject body =
                QJsonDocument::fromJson(all[i][u"body"].toString().toUtf8()).object();
            count += !body.contains(u"albumIds") && body.contains(u"updatedAfter") == ofChanges;
        }
        return count;
    }
    int wholeListingsSince(qsizetype from) { return listingsSince(from); }
    int channelConnections()
    {
        return m_drive.server().control("GET", "/_double/events")[u"connections"].toInt();
    }

    DriveHarness m_drive;
    QTemporaryDir m_local;
};

void TestDriveLiveUpdates::initTestCase()
{
    QVERIFY(m_local.isValid());
    QVERIFY(m_drive.startServer());
    QVERIFY(!m_drive.addAsset(kMe, "nov02.jpg", "2024-11-02T10:00:00.000Z", "nov02").isEmpty());
    QVERIFY(!m_drive.addAsset(kMe, "mar05.jpg", "2024-03-05T10:00:00.000Z", "mar05").isEmpty());
    m_drive.signIn();
    QVERIFY(m_drive.mount());
}

void TestDriveLiveUpdates::cleanupTestCase()
{
    m_drive.stop();
}

void TestDriveLiveUpdates::otherClientsChangesArriveByEvents()
{
    QCOMPARE(m_drive.ls(kMonth), QStringList{"nov02.jpg"});
    QTRY_COMPARE_WITH_TIMEOUT(channelConnections(), 1, kEventDeadlineMs);

    const QString id = uploadElsewhere("ailleurs.jpg", "2024-11-20T10:00:00.000Z");
    QVERIFY(!id.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls(kMonth), (QStringList{"ailleurs.jpg", "nov02.jpg"}),
                              kEventDeadlineMs);
    // A month never shown before appears in its year as well.
    QVERIFY(!uploadElsewhere("juin.jpg", "2024-06-10T10:00:00.000Z").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls("Mes photos/2024"),
                              (QStringList{"Juin", "Mars", "Novembre"}), kEventDeadlineMs);

    trashElsewhere(id);
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls(kMonth), QStringList{"nov02.jpg"}, kEventDeadlineMs);
}

// A new capture date moves the photo to its month, a restore brings it back, a deletion for good
// takes it away: all told by the channel, none needing the whole library listed again.
void TestDriveLiveUpdates::datesRestoresAndDeletionsArriveWithoutAWholeListing()
{
    const QString id = uploadElsewhere("redate.jpg", "2024-11-21T10:00:00.000Z");
    QVERIFY(!id.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(m_drive.ls(kMonth).contains("redate.jpg"), kEventDeadlineMs);
    const qsizetype before = m_drive.server().requests().size();

    m_drive.api("PUT", "/api/assets/" + id, {{"dateTimeOriginal", "2024-03-15T10:00:00Z"}});
    QTRY_VERIFY_WITH_TIMEOUT(m_drive.ls("Mes photos/2024/Mars").contains("redate.jpg"),
                             kEventDeadlineMs);
    QVERIFY(!m_drive.ls(kMonth).contains("redate.jpg"));

    trashElsewhere(id);
    QTRY_VERIFY_WITH_TIMEOUT(!m_drive.ls("Mes photos/2024/Mars").contains("redate.jpg"),
                             kEventDeadlineMs);
    m_drive.api("POST", "/api/trash/restore/assets", {{"ids", QJsonArray{id}}});
    QTRY_VERIFY_WITH_TIMEOUT(m_drive.ls("Mes photos/2024/Mars").contains("redate.jpg"),
                             kEventDeadlineMs);
    QCOMPARE(wholeListingsSince(before), 0);

    trashElsewhere(id, true);
    QTRY_VERIFY_WITH_TIMEOUT(!m_drive.ls("Mes photos/2024/Mars").contains("redate.jpg"),
                             kEventDeadlineMs);
    QCOMPARE(wholeListingsSince(before), 0);
}

// A change listing the server breaks off applies nothing and keeps its starting point: what it
// missed comes with the next one.
void TestDriveLiveUpdates::failedChangeListingKeepsWhatWasShown()
{
    QCOMPARE(m_drive.ls(kMonth), QStringList{"nov02.jpg"});
    const qsizetype before = m_drive.server().requests().size();
    m_drive.server().fail(500, 1, QStringLiteral("/api/search/metadata"));
    QVERIFY(!uploadElsewhere("manque.jpg", "2024-11-22T10:00:00.000Z").isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(listingsSince(before, true) >= 1, kEventDeadlineMs); // the one refused
    QVERIFY(!uploadElsewhere("suivant.jpg", "2024-11-23T10:00:00.000Z").isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls(kMonth),
                              (QStringList{"manque.jpg", "nov02.jpg", "suivant.jpg"}),
                              kEventDeadlineMs);
    QCOMPARE(wholeListingsSince(before), 0);
    const QHash<QString, QString> ids = m_drive.assetIdsByName();
    trashElsewhere(ids.value("manque.jpg"));
    trashElsewhere(ids.value("suivant.jpg"));
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls(kMonth), QStringList{"nov02.jpg"}, kEventDeadlineMs);
}

void TestDriveLiveUpdates::idleDriveWithTheChannelUpAsksAlmostNothing()
{
    QCOMPARE(m_drive.ls(kMonth), QStringList{"nov02.jpg"});
    QCOMPARE(channelConnections(), 1);
    // What the last changes started has ended.
    QTest::qWait(5'000);
    const qsizetype before = m_drive.server().requests().size();
    QTest::qWait(kIdleMs);
    const QJsonArray all = m_drive.server().requests();
    QHash<QString, int> byPath;
    for (qsizetype i = before; i < all.size(); ++i)
        ++byPath[all[i][u"method"].toString() + u' ' + all[i][u"path"].toString()];
    qInfo().noquote() << "idle_drive_requests_60s =" << all.size() - before;
    for (auto it = byPath.cbegin(); it != byPath.cend(); ++it)
        qInfo().noquote() << "idle_drive_requests_60s[" + it.key() + "] =" << it.value();
    QCOMPARE(wholeListingsSince(before), 0);
    // Nothing changed and the channel is up: no polling either.
    QCOMPARE(listingsSince(before, true), 0);
    QCOMPARE(channelConnections(), 1);
}

// The channel's path answers 404 from now on (an older server, a proxy that does not pass it)
// and the connection is cut: the drive polls, and still shows the changes.
void TestDriveLiveUpdates::refusedChannelFallsBackToPolling()
{
    m_drive.server().control("POST", "/_double/events",
                             QJsonDocument(QJsonObject{{"channel", "404"}}));
    m_drive.server().control("POST", "/_double/events/drop", QJsonDocument(QJsonObject{}));
    QTRY_COMPARE_WITH_TIMEOUT(channelConnections(), 0, kEventDeadlineMs);
    QCOMPARE(m_drive.ls(kMonth), QStringList{"nov02.jpg"});

    const QString id = uploadElsewhere("sans-canal.jpg", "2024-11-25T10:00:00.000Z");
    QVERIFY(!id.isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls(kMonth), (QStringList{"nov02.jpg", "sans-canal.jpg"}),
                              kPollDeadlineMs);

    // A deletion for good is in no change listing: the server's counts disagree with what the
    // drive holds, and a whole listing puts it right.
    const QString gone = uploadElsewhere("supprime.jpg", "2024-11-26T10:00:00.000Z");
    QTRY_VERIFY_WITH_TIMEOUT(m_drive.ls(kMonth).contains("supprime.jpg"), kPollDeadlineMs);
    const qsizetype before = m_drive.server().requests().size();
    trashElsewhere(gone, true);
    QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls(kMonth), (QStringList{"nov02.jpg", "sans-canal.jpg"}),
                              kPollDeadlineMs);
    QVERIFY(wholeListingsSince(before) >= 1);
    // Still refused: it was polling, not a channel that came back.
    QCOMPARE(channelConnections(), 0);
}

QTEST_GUILESS_MAIN(TestDriveLiveUpdates)
#include "TestDriveLiveUpdates.moc"
