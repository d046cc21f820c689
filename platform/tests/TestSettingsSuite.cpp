#include "SettingsSuite.h"

#include <QCborValue>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace pixavella;

namespace {

// The child mode of this executable, so that other processes write the same database:
//   --child <database> <key> <count>: increments the value `count` times
int runChild(const QStringList& args)
{
    if (args.size() != 3)
        return 2;
    SettingsSuite suite(args[0]);
    for (int i = 0; i < args[2].toInt(); ++i)
        suite.update(args[1], [](const QVariant& v) { return QVariant(v.toLongLong() + 1); });
    return 0;
}

QProcess* startChild(const QStringList& args, QObject* parent)
{
    auto* process = new QProcess(parent);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(QCoreApplication::applicationFilePath(), QStringList{"--child"} + args);
    return process;
}

bool finishedCleanly(QProcess* process)
{
    return process->waitForFinished(60000) && process->exitStatus() == QProcess::NormalExit &&
           process->exitCode() == 0;
}

} // namespace

class TestSettingsSuite : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString databasePath(const char* name) const { return m_dir.filePath(QLatin1String(name)); }

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void valuesKeepTheirType_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QVariant>("expected");

        const auto same = [](const char* tag, const QVariant& v) { QTest::newRow(tag) << v << v; };
        const QVariant bytes = QByteArray("\x00\xff\x10 raw", 8);
        same("text", QStringLiteral("été 🌄"));
        same("large integer", qint64(9007199254740993));
        QTest::newRow("int reads as qint64") << QVariant(-42) << QVariant(qint64(-42));
        same("data", bytes);
        same("empty list", QVariantList());
        same("nested map", QVariantMap{{"ids", QVariantList{"x", qint64(2), 2.5, bytes}},
                                       {"inner", QVariantMap{{"ok", true}}}});
    }

    void valuesKeepTheirType()
    {
        QFETCH(QVariant, stored);
        QFETCH(QVariant, expected);
        SettingsSuite suite(databasePath("types.sqlite"));
        suite.setValue(QStringLiteral("key"), stored);
        // Read through another instance: nothing may come from memory.
        SettingsSuite reader(databasePath("types.sqlite"));
        const QVariant read = reader.value(QStringLiteral("key"));
        QCOMPARE(read.metaType(), expected.metaType());
        QCOMPARE(read, expected);
    }

    void encodedValuesAreStoredOnlyWhenWhole()
    {
        SettingsSuite suite(databasePath("encoded.sqlite"));
        const QString key = QStringLiteral("index");
        const QVariantMap map{{QStringLiteral("a"), QVariantList{QStringLiteral("x")}}};
        const QByteArray cbor = QCborValue::fromVariant(map).toCbor();
        QVERIFY(suite.setEncodedValue(key, cbor));
        QCOMPARE(suite.value(key), QVariant(map));
        // Cut short, followed by more bytes, or empty: the value stays as it was.
        for (const QByteArray& bad : {cbor.left(cbor.size() - 1), cbor + cbor, QByteArray()})
            QVERIFY(!suite.setEncodedValue(key, bad));
        QCOMPARE(suite.encodedValue(key), cbor);
    }

    void settingsOfTheOldLayoutAreKept()
    {
        // Files written by earlier versions hold their settings in a WITHOUT ROWID table; the
        // first opening moves them to the table of today without losing one.
        const QString path = databasePath("old-layout.sqlite");
        const QByteArray big(200'000, 'b'); // overflows its page, as folder listings do
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "old");
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(QStringLiteral("CREATE TABLE settings (key TEXT PRIMARY KEY NOT "
                                              "NULL, value BLOB NOT NULL) WITHOUT ROWID")));
            // Values as the suite stores them: CBOR.
            for (const auto& [key, value] :
                 {std::pair{QStringLiteral("serverURL"), QVariant(QStringLiteral("http://x"))},
                  std::pair{QStringLiteral("snap.month:2023-07"), QVariant(big)}}) {
                query.prepare(QStringLiteral("INSERT INTO settings VALUES (?, ?)"));
                query.addBindValue(key);
                query.addBindValue(QCborValue::fromVariant(value).toCbor());
                QVERIFY(query.exec());
            }
            db.close();
        }
        QSqlDatabase::removeDatabase("old");

        SettingsSuite suite(path);
        QCOMPARE(suite.value(QStringLiteral("serverURL")), QVariant(QStringLiteral("http://x")));
        QCOMPARE(suite.value(QStringLiteral("snap.month:2023-07")).toByteArray(), big);
        suite.setValue(QStringLiteral("apiKey"), QStringLiteral("k"));
        QCOMPARE(SettingsSuite(path).value(QStringLiteral("apiKey")),
                 QVariant(QStringLiteral("k")));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "check");
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(QStringLiteral("SELECT sql FROM sqlite_master WHERE name = "
                                              "'settings'")));
            QVERIFY(query.next());
            QVERIFY2(!query.value(0).toString().contains(QLatin1String("WITHOUT ROWID")),
                     qPrintable(query.value(0).toString()));
            query.finish();
            db.close();
        }
        QSqlDatabase::removeDatabase("check");
    }

    void unreadableValueReadsAsAbsent()
    {
        const QString path = databasePath("corrupt.sqlite");
        SettingsSuite suite(path);
        suite.setValue(QStringLiteral("sync.activity"), QByteArray("ok"));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "raw");
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec(
                QStringLiteral("UPDATE settings SET value = x'ff' WHERE key = 'sync.activity'")));
        }
        QSqlDatabase::removeDatabase("raw");
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("unreadable value for.*sync.activity"));
        QVERIFY(!suite.value(QStringLiteral("sync.activity")).isValid());
    }

    void updatesOfTwoProcessesAndThreadsAreNotLost()
    {
        const QString path = databasePath("counter.sqlite");
        // Open before the others write: their writes must be seen at the next read.
        SettingsSuite suite(path);
        QVERIFY(!suite.value(QStringLiteral("counter")).isValid());
        QProcess* first = startChild({path, "counter", "500"}, this);
        QProcess* second = startChild({path, "counter", "500"}, this);
        // Meanwhile threads of this process share one instance.
        QList<QThread*> threads;
        for (int t = 0; t < 3; ++t) {
            threads << QThread::create([&suite] {
                for (int i = 0; i < 100; ++i)
                    suite.update(QStringLiteral("counter"),
                                 [](const QVariant& v) { return QVariant(v.toLongLong() + 1); });
            });
            threads.last()->start();
        }
        for (QThread* thread : threads) {
            QVERIFY(thread->wait(60000));
            delete thread;
        }
        QVERIFY(finishedCleanly(first));
        QVERIFY(finishedCleanly(second));
        QCOMPARE(suite.value(QStringLiteral("counter")), QVariant(qint64(1300)));
    }
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], "--child") == 0)
        return runChild(app.arguments().mid(2));
    TestSettingsSuite test;
    return QTest::qExec(&test, argc, argv);
}

#include "TestSettingsSuite.moc"
