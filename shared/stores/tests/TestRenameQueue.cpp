// The queue of renames the names service has not stored yet: one entry per asset, kept
// across processes and reopenings, and readable whatever was left in its file.
#include "Clock.h"
#include "RenameQueue.h"
#include "StoreFiles.h"

#include <QFile>
#include <QTest>

using namespace pixavella;

class TestRenameQueue : public QObject {
    Q_OBJECT

private:
    QString path() const { return *m_queue.fileURL(); }
    ManualClock m_clock;
    RenameQueue m_queue;

private slots:
    void init() { m_queue.clear(); }

    void theLastRenameOfAnAssetWins()
    {
        RenameQueue queue;
        queue.put("a", "Plage.jpg", std::nullopt);
        m_clock.advance(1);
        queue.put("b", "Mer.jpg", QString("mer.jpg"));
        m_clock.advance(1);
        queue.put("a", "Plage de Nice.jpg", QString("ignored: a rename is already queued"));

        const QList<RenameQueue::Entry> entries = queue.list();
        QCOMPARE(entries.size(), 2);
        QCOMPARE(entries[0].assetId, QString("b"));
        // The replaced entry's previous name is what the service still holds.
        QCOMPARE(entries[1],
                 (RenameQueue::Entry{"a", "Plage de Nice.jpg", std::nullopt, Clock::nowSeconds()}));

        // An answer for the replaced name leaves the newer one queued.
        QVERIFY(!queue.remove("a", "Plage.jpg"));
        QVERIFY(queue.find("a"));
        QVERIFY(queue.remove("a", "Plage de Nice.jpg"));
        QVERIFY(!queue.find("a"));
    }

    void aReopenedQueueHoldsWhatAnotherInstanceWrote()
    {
        RenameQueue().put("a", "Été.jpg", QString("été.jpg"));
        // Another process's view is the file alone.
        const std::optional<RenameQueue::Entry> entry = RenameQueue().find("a");
        QVERIFY(entry);
        QCOMPARE(entry->name, QString("Été.jpg"));
        QCOMPARE(entry->previousName, QString("été.jpg"));
        RenameQueue().clear();
        QVERIFY(!QFile::exists(path()));
        QVERIFY(RenameQueue().list().isEmpty());
    }

    void aDamagedFileCostsOnlyWhatIsDamaged_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QStringList>("kept");
        QTest::newRow("not JSON") << QByteArray("{\"renames\": [{\"assetId\"") << QStringList();
        QTest::newRow("not an object") << QByteArray("[1, 2]") << QStringList();
        QTest::newRow("renames not a list") << QByteArray("{\"renames\": 3}") << QStringList();
        QTest::newRow("bad entries skipped")
            << QByteArray(R"({"renames": [7, {"assetId": "x"}, {"assetId": "", "name": "e",
                          "queuedAt": 1}, {"assetId": "a", "name": 5, "queuedAt": 1},
                          {"assetId": "b", "name": "B.jpg", "queuedAt": 2,
                          "previousName": null}, {"assetId": "c", "name": "C.jpg",
                          "queuedAt": 3}]})")
            << QStringList{"c"};
    }
    void aDamagedFileCostsOnlyWhatIsDamaged()
    {
        QFETCH(QByteArray, content);
        QFETCH(QStringList, kept);
        QVERIFY(StoreFiles::writeAtomically(path(), content));
        QStringList ids;
        for (const RenameQueue::Entry& entry : m_queue.list())
            ids.append(entry.assetId);
        QCOMPARE(ids, kept);
        // A rename queued on top of it is kept, and the file readable again.
        m_queue.put("d", "D.jpg", std::nullopt);
        QCOMPARE(RenameQueue().list().size(), kept.size() + 1);
    }
};

QTEST_GUILESS_MAIN(TestRenameQueue)
#include "TestRenameQueue.moc"
