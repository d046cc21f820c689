#include "Clock.h"
#include "HistoryModel.h"
#include "HistoryWindow.h"
#include "RecordingServer.h"

#include <QPushButton>
#include <QTest>

using namespace pixavella;
using pixavella::testing::RecordingServer;

namespace {

UploadJournal::Event journalEvent(const QString& id, const QDateTime& at,
                                  UploadJournal::Outcome outcome = UploadJournal::Outcome::uploaded,
                                  const UploadJournal::Target& target = {})
{
    UploadJournal::Event e;
    e.id = id;
    e.filename = id + QStringLiteral(".HEIC");
    e.target = target;
    e.enqueuedAt = at;
    e.resolvedAt = at.addSecs(30);
    e.outcome = outcome;
    return e;
}

QDateTime local(int dayOffset, int hour, int minute)
{
    const QDate today = QDate(2025, 3, 12);
    return QDateTime(today.addDays(dayOffset), QTime(hour, minute), Qt::LocalTime);
}

} // namespace

class TestHistoryModel : public QObject {
    Q_OBJECT

    UploadJournal m_journal;

    void writeJournal(const QList<UploadJournal::Event>& events)
    {
        QMutexLocker locker(&m_journal.lock());
        m_journal.saveEvents(events);
    }

private slots:
    void daySectionsAcrossMidnight_data()
    {
        QTest::addColumn<QList<UploadJournal::Event>>("events");
        QTest::addColumn<QStringList>("labels");
        QTest::addColumn<QList<int>>("batchesPerSection");
        QTest::addColumn<double>("gap");
        // Two batches one either side of midnight (a short gap keeps them apart).
        QTest::newRow("23:59 and 00:01")
            << QList{journalEvent("A", local(-1, 23, 59)), journalEvent("B", local(0, 0, 1))}
            << QStringList{"Aujourd'hui", "Hier"} << QList{1, 1} << 60.0;
        QTest::newRow("batch across midnight")
            << QList{journalEvent("A", local(-1, 23, 58)), journalEvent("B", local(0, 0, 2))}
            << QStringList{"Hier"} << QList{1} << HistoryModel::kBatchGap;
        QTest::newRow("older days in French")
            << QList{journalEvent("A", local(-8, 10, 0)), journalEvent("B", local(-2, 9, 0)),
                     journalEvent("C", local(-2, 18, 0))}
            << QStringList{"10 mars 2025", "4 mars 2025"} << QList{2, 1} << HistoryModel::kBatchGap;
    }

    void daySectionsAcrossMidnight()
    {
        QFETCH(QList<UploadJournal::Event>, events);
        QFETCH(QStringList, labels);
        QFETCH(QList<int>, batchesPerSection);
        QFETCH(double, gap);
        const auto sections =
            HistoryModel::daySections(UploadJournal::batches(events, gap), local(0, 0, 5));
        QStringList gotLabels;
        QList<int> gotCounts;
        for (const DaySection& section : sections) {
            gotLabels << section.label;
            gotCounts << int(section.batches.size());
        }
        QCOMPARE(gotLabels, labels);
        QCOMPARE(gotCounts, batchesPerSection);
    }

    void texts()
    {
        QCOMPARE(HistoryModel::statisticsText(std::nullopt), QStringLiteral("Synchronisation…"));
        QCOMPARE(HistoryModel::statisticsText(ImmichAssetStatistics{1200, 0, 1200}),
                 QStringLiteral("1200 photos synchronisées"));
        QCOMPARE(HistoryModel::statisticsText(ImmichAssetStatistics{1200, 3, 1203}),
                 QStringLiteral("1200 photos · 3 vidéos synchronisées"));
        QCOMPARE(HistoryModel::statusLine(UploadStatus::uploading(2, 5)),
                 QStringLiteral("En cours : ⬆ envoi de 5 photos… (2/5)"));
        QCOMPARE(HistoryModel::statusLine(UploadStatus::paused(0, 0)),
                 QStringLiteral("En pause : ⏸ réseau indisponible, reprise auto (0/0)"));
    }

    void burstOfJournalChangesFetchesStatisticsOnce()
    {
        RecordingServer server;
        server.answer(200, R"({"images":1200,"videos":3,"total":1203})");
        writeJournal({});
        HistoryModel model(
            m_journal, [&server] { return std::optional(ImmichClient(server.url(), "key")); }, {},
            std::chrono::milliseconds(300));
        QTRY_COMPARE(server.requests().size(), 1);
        QTRY_VERIFY(model.stats().has_value());
        QCOMPARE(model.stats()->videos, 3);

        writeJournal({journalEvent("A", Clock::now())});
        for (int i = 0; i < 10; ++i)
            model.journalChanged();
        QCOMPARE(model.sections().size(), 1);
        QTRY_COMPARE(server.requests().size(), 2);
        QTest::qWait(600);
        QCOMPARE(server.requests().size(), 2);
    }

    // The window as the tray opens it, on this test's journal and retry.
    void viewUnfoldsABatchWithRetryOnTheFailedRowOnly()
    {
        writeJournal({});
        QStringList retried;
        HistoryWindowController controller(
            m_journal, [&retried](const QString& id) { retried << id; }, nullptr);
        controller.show();
        auto* shown = qobject_cast<HistoryView*>(controller.window());
        QVERIFY(shown);
        HistoryView& view = *shown;
        HistoryModel* model = view.model();
        const QDateTime now = Clock::now();
        QList<UploadJournal::Event> events;
        for (int i = 0; i < 10; ++i)
            events << journalEvent(QStringLiteral("E%1").arg(i), now.addSecs(-100 + i),
                                   i == 4 ? UploadJournal::Outcome::failed
                                          : UploadJournal::Outcome::uploaded);
        writeJournal(events);
        model->reload();
        QCOMPARE(view.findChildren<QWidget*>("failedSymbol").size(), 1);
        QCOMPARE(view.findChildren<QWidget*>("event").size(), 0);

        auto batches = view.findChildren<QPushButton*>("batch");
        QCOMPARE(batches.size(), 1);
        batches.first()->click();
        QCOMPARE(view.findChildren<QWidget*>("event").size(), 10);
        const auto retries = view.findChildren<QPushButton*>("retry");
        QCOMPARE(retries.size(), 1);
        QCOMPARE(retries.first()->text(), QStringLiteral("Réessayer"));
        retries.first()->click();
        QCOMPARE(retried, QStringList{"E4"});

        // Unfolded batches stay unfolded across reloads.
        model->reload();
        QCOMPARE(view.findChildren<QWidget*>("event").size(), 10);
    }
};

QTEST_MAIN(TestHistoryModel)
#include "TestHistoryModel.moc"
