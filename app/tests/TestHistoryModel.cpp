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
    void daySectionsAcrossMidnight()
    {
        // Each section as "label: batches", at 00:05.
        const auto sections = [](const QList<UploadJournal::Event>& events, double gap) {
            QStringList shown;
            const auto batches = UploadJournal::batches(events, gap);
            for (const DaySection& section : HistoryModel::daySections(batches, local(0, 0, 5)))
                shown << section.label + QStringLiteral(": %1").arg(section.batches.size());
            return shown;
        };
        const auto at = [](const char* id, int day, int hour, int minute) {
            return journalEvent(QLatin1String(id), local(day, hour, minute));
        };
        const double gap = HistoryModel::kBatchGap;
        // Two batches one either side of midnight (a short gap keeps them apart).
        QCOMPARE(sections({at("A", -1, 23, 59), at("B", 0, 0, 1)}, 60),
                 (QStringList{"Aujourd'hui: 1", "Hier: 1"}));
        QCOMPARE(sections({at("A", -1, 23, 58), at("B", 0, 0, 2)}, gap), QStringList{"Hier: 1"});
        QCOMPARE(sections({at("A", -8, 10, 0), at("B", -2, 9, 0), at("C", -2, 18, 0)}, gap),
                 (QStringList{"10 mars 2025: 2", "4 mars 2025: 1"}));
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
        retries.first()->click();
        QCOMPARE(retried, QStringList{"E4"});

        // Unfolded batches stay unfolded across reloads.
        model->reload();
        QCOMPARE(view.findChildren<QWidget*>("event").size(), 10);
    }
};

QTEST_MAIN(TestHistoryModel)
#include "TestHistoryModel.moc"
