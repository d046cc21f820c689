#include "SettingsSuite.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace pixavella;

namespace {

// Child modes of this executable, so that another process writes the same database:
//   --child set <database> <key> <text>
//   --child increment <database> <key> <count>
int runChild(const QStringList& args)
{
    if (args.size() != 4)
        return 2;
    SettingsSuite suite(args[1]);
    if (args[0] == QLatin1String("set")) {
        suite.setValue(args[2], args[3]);
        return 0;
    }
    if (args[0] == QLatin1String("increment")) {
        const int count = args[3].toInt();
        for (int i = 0; i < count; ++i)
            suite.update(args[2], [](const QVariant& v) { return QVariant(v.toLongLong() + 1); });
        return 0;
    }
    return 2;
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

        const QVariant bytes = QByteArray("\x00\xff\x10 raw", 8);
        QTest::newRow("text") << QVariant(QStringLiteral("été 🌄"))
                              << QVariant(QStringLiteral("été 🌄"));
        QTest::newRow("double") << QVariant(1733500000.25) << QVariant(1733500000.25);
        QTest::newRow("large integer")
            << QVariant(qint64(9007199254740993)) << QVariant(qint64(9007199254740993));
        QTest::newRow("int reads as qint64") << QVariant(-42) << QVariant(qint64(-42));
        QTest::newRow("data") << bytes << bytes;
        QTest::newRow("empty list") << QVariant(QVariantList()) << QVariant(QVariantList());
        const QVariantMap nested{
            {QStringLiteral("ids"), QVariantList{QStringLiteral("x"), qint64(2), 2.5, bytes}},
            {QStringLiteral("inner"), QVariantMap{{QStringLiteral("ok"), true}}},
        };
        QTest::newRow("nested map") << QVariant(nested) << QVariant(nested);
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

    void unopenableDatabaseReadsAbsentAndDropsWrites()
    {
        // A regular file where the database's folder should be.
        QFile blocker(databasePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        SettingsSuite suite(databasePath("blocker") + QStringLiteral("/Preferences.sqlite"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot open settings"));
        suite.setValue(QStringLiteral("k"), true);
        QVERIFY(!suite.value(QStringLiteral("k")).isValid());
        QVERIFY(!suite.update(QStringLiteral("k"), [](const QVariant&) { return QVariant(1); })
                     .isValid());
    }

    void writeOfAnotherProcessIsSeenAtNextRead()
    {
        const QString path = databasePath("shared.sqlite");
        SettingsSuite suite(path);
        // The connection is open before the other process writes.
        QVERIFY(!suite.value(QStringLiteral("immich.userEmail")).isValid());
        for (const QString& email : {QStringLiteral("a@example.org"), QStringLiteral("")}) {
            QProcess* child = startChild({"set", path, "immich.userEmail", email}, this);
            QVERIFY(finishedCleanly(child));
            QCOMPARE(suite.value(QStringLiteral("immich.userEmail")), QVariant(email));
        }
    }

    void updatesOfTwoProcessesAndThreadsAreNotLost()
    {
        const QString path = databasePath("counter.sqlite");
        QProcess* first = startChild({"increment", path, "counter", "500"}, this);
        QProcess* second = startChild({"increment", path, "counter", "500"}, this);
        // Meanwhile threads of this process share one instance.
        SettingsSuite suite(path);
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
