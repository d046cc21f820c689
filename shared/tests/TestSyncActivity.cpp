#include "Clock.h"
#include "SettingsSuite.h"
#include "SyncActivity.h"
#include "SyncActivityState.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace pixavella;
using Kind = SyncActivityState::Kind;

Q_DECLARE_METATYPE(SyncActivity::Counters)
Q_DECLARE_METATYPE(Kind)

class TestSyncActivity : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsSuite> m_suite;
    const QString m_key = QString::fromLatin1(SyncActivityState::kSettingsKey);

    SyncActivityState stored() const { return SyncActivityState::read(*m_suite); }

private slots:
    void init()
    {
        m_suite = std::make_unique<SettingsSuite>(m_dir.filePath(QStringLiteral("prefs.sqlite")));
        m_suite->remove(m_key);
    }
    void cleanup() { m_suite.reset(); }

    void encodesWithReferenceDateSeconds()
    {
        SyncActivityState state;
        state.kind = Kind::uploading;
        state.done = 2;
        state.total = 5;
        state.currentFile = QStringLiteral("IMG_1.HEIC");
        state.updatedAt = QDateTime(QDate(2001, 1, 1), QTime(0, 0, 10, 500), Qt::UTC);
        const QJsonObject json = QJsonDocument::fromJson(state.encode()).object();
        QCOMPARE(json, (QJsonObject{{"kind", "uploading"},
                                    {"done", 2},
                                    {"total", 5},
                                    {"currentFile", "IMG_1.HEIC"},
                                    {"updatedAt", 10.5}}));
        QCOMPARE(SyncActivityState::decode(state.encode()), std::optional(state));

        state.currentFile.reset();
        QVERIFY(!QJsonDocument::fromJson(state.encode()).object().contains("currentFile"));
        QCOMPARE(SyncActivityState::decode(state.encode()), std::optional(state));
    }

    void unreadableRecordReadsIdle_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::newRow("not JSON") << QVariant(QByteArray("{"));
        QTest::newRow("unknown kind")
            << QVariant(QByteArray(R"({"kind":"busy","done":0,"total":0,"updatedAt":1})"));
        QTest::newRow("text instead of data") << QVariant(
            QStringLiteral(R"({"kind":"downloading","done":0,"total":0,"updatedAt":1})"));
    }
    void unreadableRecordReadsIdle()
    {
        QFETCH(QVariant, value);
        ManualClock clock;
        if (value.isValid())
            m_suite->setValue(m_key, value);
        QCOMPARE(stored(), SyncActivityState::idle(clock.now()));
        QCOMPARE(stored().total, qint64(0));
    }

    void recordFromCounters_data()
    {
        QTest::addColumn<SyncActivity::Counters>("counters");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<bool>("hasFile");
        const auto counters = [](qint64 up, qint64 down, bool offline) {
            SyncActivity::Counters c;
            c.inFlightUp = up;
            c.inFlightDown = down;
            c.offline = offline;
            c.burstDone = 1;
            c.burstTotal = 3;
            c.currentFile = QStringLiteral("f.jpg");
            return c;
        };
        QTest::newRow("upload wins") << counters(1, 1, true) << Kind::uploading << true;
        QTest::newRow("offline before download") << counters(0, 1, true) << Kind::offline << false;
        QTest::newRow("download") << counters(0, 2, false) << Kind::downloading << false;
        QTest::newRow("nothing") << counters(0, 0, false) << Kind::idle << false;
    }
    void recordFromCounters()
    {
        QFETCH(SyncActivity::Counters, counters);
        QFETCH(Kind, kind);
        QFETCH(bool, hasFile);
        const QDateTime now = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);
        const SyncActivityState state = SyncActivity::record(counters, now);
        QCOMPARE(state.kind, kind);
        QCOMPARE(state.currentFile.has_value(), hasFile);
        QCOMPARE(state.done, qint64(1));
        QCOMPARE(state.total, qint64(3));
        QCOMPARE(state.updatedAt, now);
    }

    void throttleAndHeartbeat()
    {
        ManualClock clock;
        const QDateTime start = clock.now();
        SyncActivity tracker(*m_suite, std::chrono::hours(1)); // ticks only when told

        tracker.downloadStarted(); // first of the burst: written at once
        QCOMPARE(stored().kind, Kind::downloading);
        QCOMPARE(stored().updatedAt, start);
        QVERIFY(tracker.isHeartbeatRunning());

        clock.advance(0.3);
        tracker.downloadStarted(); // within the throttle: skipped
        QCOMPARE(stored().updatedAt, start);

        clock.advance(1.2); // the heartbeat's first tick, 1.5 s after the start
        tracker.beat();
        QCOMPARE(stored().kind, Kind::downloading);
        QCOMPARE(stored().updatedAt, start.addMSecs(1500));

        clock.advance(0.2);
        tracker.downloadFinished(); // one still in flight; the tick counts as the last write
        QCOMPARE(stored().updatedAt, start.addMSecs(1500));
        clock.advance(0.3);
        tracker.downloadStarted(); // 0.5 s after the tick: written
        QCOMPARE(stored().updatedAt, start.addMSecs(2000));

        clock.advance(0.1);
        tracker.downloadFinished();
        QVERIFY(tracker.isHeartbeatRunning());
        tracker.downloadFinished(); // last of the burst: written at once despite the throttle
        QCOMPARE(stored().kind, Kind::idle);
        QCOMPARE(stored().updatedAt, start.addMSecs(2100));
        QVERIFY(!tracker.isHeartbeatRunning());
    }

    void finishWithoutDownloadStillPublishes()
    {
        ManualClock clock;
        SyncActivity tracker(*m_suite, std::chrono::hours(1)); // ticks only when told
        tracker.downloadFinished();
        QCOMPARE(stored().kind, Kind::idle);
        QVERIFY(m_suite->contains(m_key));

        // The counter stayed at 0: the next start is the first of a burst again.
        clock.advance(0.1);
        tracker.downloadStarted();
        QCOMPARE(stored().kind, Kind::downloading);
        QCOMPARE(stored().updatedAt, clock.now());
        tracker.downloadFinished();
        QVERIFY(!tracker.isHeartbeatRunning());
    }

    void sharedTrackerPublishesToSharedSuite()
    {
        SyncActivity::shared().downloadStarted();
        QCOMPARE(SyncActivityState::read(SettingsSuite::shared()).kind, Kind::downloading);
        // Left in flight on purpose: the process must end cleanly with the heartbeat running.
        QVERIFY(SyncActivity::shared().isHeartbeatRunning());
    }

    void heartbeatTimerKeepsRecordFresh()
    {
        ManualClock clock;
        SyncActivity tracker(*m_suite, std::chrono::milliseconds(20));
        tracker.downloadStarted();
        clock.advance(60);
        QTRY_COMPARE(stored().updatedAt, clock.now());
        QCOMPARE(stored().kind, Kind::downloading);
        tracker.downloadFinished();
        QVERIFY(!tracker.isHeartbeatRunning());
    }
};

QTEST_GUILESS_MAIN(TestSyncActivity)
#include "TestSyncActivity.moc"
