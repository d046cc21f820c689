#include "CancelledUploads.h"
#include "Clock.h"
#include "StoreFiles.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

using namespace pixavella;

class TestCancelledUploads : public QObject {
    Q_OBJECT

    QString filePath() const { return CancelledUploads().fileURL().value_or(QString()); }

    void writeFile(const QByteArray& bytes) const
    {
        QFile file(filePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    QJsonObject fileObject() const
    {
        return QJsonDocument::fromJson(StoreFiles::read(filePath()).value_or(QByteArray()))
            .object();
    }

private slots:
    void init() { QFile::remove(filePath()); }

    void fileHoldsIdsAndSecondsSince1970()
    {
        ManualClock clock(QDateTime::fromMSecsSinceEpoch(1'700'000'000'500, Qt::UTC));
        CancelledUploads store;
        store.add(QStringLiteral("ENTRY-1"));
        QCOMPARE(fileObject(), (QJsonObject{{"ENTRY-1", 1'700'000'000.5}}));
        QVERIFY(store.contains(QStringLiteral("ENTRY-1")));
        store.remove(QStringLiteral("ENTRY-1"));
        QVERIFY(!store.contains(QStringLiteral("ENTRY-1")));
        QCOMPARE(fileObject(), QJsonObject());
    }

    void pruneKeepsEntriesYoungerThanAnHour_data()
    {
        QTest::addColumn<double>("age");
        QTest::addColumn<bool>("kept");
        QTest::newRow("3599 s") << 3599.0 << true;
        QTest::newRow("3599.999 s") << 3599.999 << true;
        QTest::newRow("3600 s") << 3600.0 << false;
        QTest::newRow("a day") << 86400.0 << false;
    }
    void pruneKeepsEntriesYoungerThanAnHour()
    {
        QFETCH(double, age);
        QFETCH(bool, kept);
        ManualClock clock;
        CancelledUploads store;
        store.add(QStringLiteral("old"));
        clock.advance(age);
        store.add(QStringLiteral("new"));
        const CancelledUploads::Map map = store.pruneExpired();
        QCOMPARE(map.contains(QStringLiteral("old")), kept);
        QVERIFY(map.contains(QStringLiteral("new")));
        // The pass saves what it kept.
        QCOMPARE(fileObject().contains(QStringLiteral("old")), kept);
        QCOMPARE(store.load(), map);
    }

    void malformedFileReadsEmptyAndIsOverwritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("not JSON") << QByteArray("{\"A\": 1");
        QTest::newRow("array") << QByteArray("[1, 2]");
        QTest::newRow("text value") << QByteArray("{\"A\": 1, \"B\": \"yesterday\"}");
        QTest::newRow("empty") << QByteArray();
    }
    void malformedFileReadsEmptyAndIsOverwritten()
    {
        QFETCH(QByteArray, content);
        writeFile(content);
        ManualClock clock;
        CancelledUploads store;
        QVERIFY(store.load().isEmpty());
        store.add(QStringLiteral("C"));
        QCOMPARE(fileObject(), (QJsonObject{{"C", 1'700'000'000.0}}));
    }
};

QTEST_GUILESS_MAIN(TestCancelledUploads)
#include "TestCancelledUploads.moc"
