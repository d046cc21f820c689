#include "Clock.h"
#include "SharedSettings.h"
#include "Signals.h"
#include "StoreFiles.h"
#include "UploadJournal.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <atomic>

using namespace pixavella;
using Event = UploadJournal::Event;
using Target = UploadJournal::Target;

namespace {

const QDateTime kNow = QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC);

Event makeEvent(const QString& id, qint64 enqueuedOffset = 0, qint64 resolvedOffset = 0,
                UploadJournal::Outcome outcome = UploadJournal::Outcome::uploaded)
{
    Event event;
    event.id = id;
    event.filename = id + QStringLiteral(".jpg");
    event.enqueuedAt = kNow.addSecs(enqueuedOffset);
    event.resolvedAt = kNow.addSecs(resolvedOffset);
    event.outcome = outcome;
    if (outcome == UploadJournal::Outcome::uploaded)
        event.assetId = QStringLiteral("asset-") + id;
    else
        event.error = QStringLiteral("refused");
    return event;
}

QStringList ids(const QList<Event>& events)
{
    QStringList result;
    for (const Event& event : events)
        result << event.id;
    return result;
}

const char* kValidEvent = R"({"id":"A","filename":"a.jpg","enqueuedAt":10,"resolvedAt":20,)"
                          R"("outcome":"uploaded","assetId":"x","target":)";

} // namespace

class TestUploadJournal : public QObject {
    Q_OBJECT

    QString path() const { return UploadJournal().fileURL().value_or(QString()); }
    QString corruptPath() const { return path() + QStringLiteral(".corrupt"); }

    static void writeFile(const QString& file, const QByteArray& bytes)
    {
        QVERIFY(StoreFiles::writeAtomically(file, bytes));
    }

    QJsonArray fileArray() const
    {
        return QJsonDocument::fromJson(StoreFiles::read(path()).value_or(QByteArray())).array();
    }

private slots:
    void init()
    {
        QFile::remove(path());
        QFile::remove(corruptPath());
    }

    void load_data()
    {
        QTest::addColumn<QByteArray>("content"); // null: no file
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("targetKind");
        const auto withTarget = [](const char* target) {
            return QByteArray("[") + kValidEvent + target + "}]";
        };
        QTest::newRow("missing file") << QByteArray() << 0 << -1;
        QTest::newRow("empty file") << QByteArray("") << 0 << -1;
        QTest::newRow("shared album") << withTarget(R"({"sharedAlbum":{"_0":"Été"}})") << 1 << 2;
        QTest::newRow("unknown case") << withTarget(R"({"trash":{}})") << 0 << -1;
        QTest::newRow("date as text")
            << QByteArray(R"([{"id":"A","filename":"a","enqueuedAt":"2024-01-01T00:00:00Z",)"
                          R"("resolvedAt":2,"outcome":"failed","target":{"library":{}}}])")
            << 0 << -1;
        QTest::newRow("one bad element spoils the file")
            << QByteArray("[") + kValidEvent + R"({"library":{}}}, {"id":"B"}])" << 0 << -1;
    }
    void load()
    {
        QFETCH(QByteArray, content);
        QFETCH(int, count);
        QFETCH(int, targetKind);
        if (!content.isNull())
            writeFile(path(), content);
        const QList<Event> events = UploadJournal().loadEvents();
        QCOMPARE(events.size(), count);
        if (count > 0) {
            QCOMPARE(int(events[0].target.kind), targetKind);
            QCOMPARE(events[0].assetId, QStringLiteral("x"));
        }
    }

    void fileFormat()
    {
        ManualClock clock(kNow);
        const QList<Target> targets{Target::library(), Target::album(QStringLiteral("Vacances")),
                                    Target::sharedAlbum(QStringLiteral("Famille"))};
        QList<Event> events;
        UploadJournal journal;
        for (const Target& target : targets) {
            events << makeEvent(QString::number(events.size()), 0, 0,
                                UploadJournal::Outcome::failed);
            events.last().target = target;
            // Instants count from 2001-01-01T00:00:00Z.
            events.last().enqueuedAt = QDateTime(QDate(2001, 1, 1), QTime(0, 0, 10), Qt::UTC);
            events.last().resolvedAt = kNow.addMSecs(250);
            journal.record(events.last());
        }

        const QJsonArray array = fileArray();
        QCOMPARE(array.size(), 3);
        QCOMPARE(array[0]["target"].toObject(), (QJsonObject{{"library", QJsonObject{}}}));
        QCOMPARE(array[1]["target"].toObject(),
                 (QJsonObject{{"album", QJsonObject{{"_0", "Vacances"}}}}));
        QCOMPARE(array[2]["target"].toObject(),
                 (QJsonObject{{"sharedAlbum", QJsonObject{{"_0", "Famille"}}}}));
        const QJsonObject object = array[0].toObject();
        QCOMPARE(object.value("enqueuedAt").toDouble(), 10.0);
        QCOMPARE(object.value("resolvedAt").toDouble(), 1'700'000'000.25 - 978'307'200.0);
        QCOMPARE(object.value("outcome").toString(), QStringLiteral("failed"));
        QCOMPARE(object.value("error").toString(), QStringLiteral("refused"));
        QVERIFY(!object.contains("assetId"));
        QCOMPARE(journal.loadEvents(), events);
    }

    void recordReplacesTheEventWithTheSameIdAndSignals()
    {
        std::atomic<int> posts = 0;
        const auto subscription =
            Signals::observe(QLatin1String(SignalName::journalChanged), [&posts] { ++posts; });
        ManualClock clock(kNow);
        UploadJournal journal;
        journal.record(makeEvent("A", 0, 0, UploadJournal::Outcome::failed));
        journal.record(makeEvent("B"));
        journal.record(makeEvent("A", 0, 5));
        const QList<Event> events = journal.loadEvents();
        QCOMPARE(ids(events), (QStringList{"B", "A"}));
        QCOMPARE(events.last().outcome, UploadJournal::Outcome::uploaded);
        QTRY_VERIFY_WITH_TIMEOUT(posts > 0, 10'000);
    }

    void recordTrimsByAge_data()
    {
        QTest::addColumn<qint64>("age");
        QTest::addColumn<bool>("kept");
        QTest::newRow("exactly 30 days") << qint64(2'592'000) << true;
        QTest::newRow("30 days and a second") << qint64(2'592'001) << false;
    }
    void recordTrimsByAge()
    {
        QFETCH(qint64, age);
        QFETCH(bool, kept);
        ManualClock clock(kNow);
        UploadJournal journal;
        journal.saveEvents({makeEvent("old", -age, -age)});
        journal.record(makeEvent("new"));
        QCOMPARE(ids(journal.loadEvents()),
                 (kept ? QStringList{"old", "new"} : QStringList{"new"}));
    }

    void recordKeepsTheNewest5000()
    {
        ManualClock clock(kNow);
        QList<Event> events;
        // Stored oldest first: the trimmed file must come back newest first.
        for (int i = 0; i < 5000; ++i)
            events << makeEvent(QString::number(i), 0, -100'000 + i);
        UploadJournal journal;
        journal.saveEvents(events);
        journal.record(makeEvent("latest"));
        const QList<Event> stored = journal.loadEvents();
        QCOMPARE(stored.size(), 5000);
        QCOMPARE(stored.first().id, QStringLiteral("latest"));
        QCOMPARE(stored[1].id, QStringLiteral("4999"));
        QCOMPARE(stored.last().id, QStringLiteral("1")); // "0", the oldest, is gone
    }

    void batches_data()
    {
        QTest::addColumn<QList<qint64>>("enqueued"); // seconds, in recording order
        QTest::addColumn<QList<QList<qint64>>>("expected");
        using L = QList<qint64>;
        using LL = QList<QList<qint64>>;
        QTest::newRow("neighbours within the gap")
            << L{0, 200, 450, 800} << LL{{800}, {0, 200, 450}};
        QTest::newRow("a second more") << L{0, 301} << LL{{301}, {0}};
        QTest::newRow("recorded out of order") << L{450, 0, 1000, 200} << LL{{1000}, {0, 200, 450}};
        QTest::newRow("steady stream")
            << L{0, 240, 480, 720, 960, 1200} << LL{{0, 240, 480, 720, 960, 1200}};
    }
    void batches()
    {
        QFETCH(QList<qint64>, enqueued);
        QFETCH(QList<QList<qint64>>, expected);
        QList<Event> events;
        for (qint64 offset : enqueued)
            events << makeEvent(QString::number(offset), offset);
        QList<QList<qint64>> actual;
        for (const UploadJournal::Batch& batch : UploadJournal::batches(events, 300)) {
            QList<qint64> offsets;
            for (const Event& event : batch.events)
                offsets << kNow.secsTo(event.enqueuedAt);
            actual << offsets;
        }
        QCOMPARE(actual, expected);
    }

    void summary_data()
    {
        QTest::addColumn<int>("uploaded");
        QTest::addColumn<int>("failed");
        QTest::addColumn<QString>("summary");
        QTest::newRow("all uploaded") << 3 << 0 << QStringLiteral("3 photos envoyées");
        QTest::newRow("all failed") << 0 << 2 << QStringLiteral("2 échecs");
        QTest::newRow("mixed") << 3 << 2 << QStringLiteral("3 envoyées · 2 échecs");
    }
    void summary()
    {
        QFETCH(int, uploaded);
        QFETCH(int, failed);
        QFETCH(QString, summary);
        UploadJournal::Batch batch;
        for (int i = 0; i < uploaded + failed; ++i)
            batch.events << makeEvent(QString::number(i), i, i,
                                      i < uploaded ? UploadJournal::Outcome::uploaded
                                                   : UploadJournal::Outcome::failed);
        QCOMPARE(batch.summary(), summary);
    }

    void batchIdentity()
    {
        ManualClock clock(QDateTime::fromMSecsSinceEpoch(1'700'000'000'250, Qt::UTC));
        QCOMPARE(UploadJournal::Batch().id(), QStringLiteral("1700000000.25"));
        QCOMPARE(UploadJournal::Batch().startedAt(), clock.now());
        clock.advance(-0.25);
        QCOMPARE(UploadJournal::Batch().id(), QStringLiteral("1700000000.0"));
        const UploadJournal::Batch batch{{makeEvent("first", 5), makeEvent("second", 9)}};
        QCOMPARE(batch.id(), QStringLiteral("first"));
        QCOMPARE(batch.startedAt(), kNow.addSecs(5));
    }

    void unreadableJournalIsKeptAsideBeforeRecord()
    {
        ManualClock clock(kNow);
        UploadJournal journal;
        writeFile(path(), "");
        journal.record(makeEvent("empty"));
        QVERIFY(!QFile::exists(corruptPath())); // an empty file is no loss
        writeFile(path(), "[{\"id\": truncated");
        QVERIFY(journal.loadEvents().isEmpty());
        journal.record(makeEvent("A"));
        QCOMPARE(ids(journal.loadEvents()), QStringList{"A"});
        QCOMPARE(StoreFiles::read(corruptPath()), QByteArray("[{\"id\": truncated"));

        // A readable journal is never put aside; the copy stays that of the last bad file.
        journal.record(makeEvent("B"));
        QCOMPARE(StoreFiles::read(corruptPath()), QByteArray("[{\"id\": truncated"));

        writeFile(path(), "{\"not\": \"an array\"}");
        journal.record(makeEvent("C"));
        QCOMPARE(ids(journal.loadEvents()), QStringList{"C"});
        QCOMPARE(StoreFiles::read(corruptPath()), QByteArray("{\"not\": \"an array\"}"));
    }
};

QTEST_GUILESS_MAIN(TestUploadJournal)
#include "TestUploadJournal.moc"
