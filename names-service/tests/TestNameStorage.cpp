// NameStorage on a SQLite file and on a private PostgreSQL server (every test runs once per
// backend).

#include "NameStorage.h"
#include "PostgresServer.h"

#include <QProcess> // PostgresServer holds one
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace pixavella::names;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;

class TestNameStorage : public QObject {
    Q_OBJECT

    QTemporaryDir m_files;
    std::unique_ptr<PostgresServer> m_postgres;
    QString m_postgresUnavailable;
    bool m_postgresDatabaseCreated = false;
    int m_databases = 0;

    // A new empty database of the current backend.
    DatabaseLocation freshDatabase()
    {
        QFETCH_GLOBAL(bool, postgres);
        QString text = m_files.filePath(u"names_%1/names.sqlite"_s.arg(++m_databases));
        if (postgres) {
            // One database, emptied for each test: creating a database takes PostgreSQL seconds.
            if (!m_postgresDatabaseCreated)
                m_postgresDatabaseCreated =
                    m_postgres->execute(u"postgres"_s, u"CREATE DATABASE names"_s);
            m_postgres->execute(u"names"_s, u"DROP TABLE IF EXISTS names"_s);
            text = m_postgres->url(u"names"_s);
        }
        return std::get<DatabaseLocation>(DatabaseLocation::parse(text));
    }

private slots:
    void initTestCase_data()
    {
        QTest::addColumn<bool>("postgres");
        QTest::newRow("sqlite") << false;
        QTest::newRow("postgresql") << true;
    }
    void initTestCase() { QVERIFY(m_files.isValid()); }
    void init()
    {
        QFETCH_GLOBAL(bool, postgres);
        if (!postgres)
            return;
        if (!m_postgres && m_postgresUnavailable.isEmpty()) {
            m_postgres = std::make_unique<PostgresServer>();
            m_postgresUnavailable = m_postgres->start();
        }
        if (!m_postgresUnavailable.isEmpty())
            QSKIP(qPrintable(u"PostgreSQL unavailable: "_s + m_postgresUnavailable));
    }

    // Instances started together on an empty database both create the table at the same moment;
    // a later one (the service restarted) finds what they wrote.
    void keepsOneNamePerUserAndAsset()
    {
        const DatabaseLocation location = freshDatabase();
        NameStorage first(location);
        NameStorage second(location);
        bool firstOpened = false;
        std::thread opening([&] { firstOpened = first.open(); });
        QVERIFY(second.open());
        opening.join();
        QVERIFY(firstOpened);
        QCOMPARE(second.names(u"a"_s), QJsonObject());
        QVERIFY(first.setName(u"a"_s, u"asset-1"_s, u"Vacances.jpg"_s));
        QVERIFY(first.setName(u"a"_s, u"asset-2"_s, u"Été 2023 😀.heic"_s));
        QVERIFY(second.setName(u"b"_s, u"asset-1"_s, u"Autre.jpg"_s));
        QVERIFY(second.setName(u"a"_s, u"asset-1"_s, u"Plage.jpg"_s));
        const QJsonObject namesOfA{{u"asset-1"_s, u"Plage.jpg"_s},
                                   {u"asset-2"_s, u"Été 2023 😀.heic"_s}};
        QCOMPARE(first.names(u"a"_s), namesOfA);
        QCOMPARE(first.names(u"b"_s), (QJsonObject{{u"asset-1"_s, u"Autre.jpg"_s}}));
        // Every thread reads on a connection of its own, as every worker does.
        NameStorage later(location);
        QVERIFY(later.open());
        std::optional<QJsonObject> fromThread;
        std::thread([&] { fromThread = later.names(u"a"_s); }).join();
        QCOMPARE(fromThread, namesOfA);
    }

    void reconnectsAfterTheServerRestarts()
    {
        QFETCH_GLOBAL(bool, postgres);
        if (!postgres)
            QSKIP("a SQLite file has no server to lose");
        NameStorage storage(freshDatabase());
        QVERIFY(storage.open());
        QCOMPARE(storage.names(u"a"_s), QJsonObject()); // this thread now holds a connection
        const QString failure = m_postgres->restart();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QVERIFY(storage.setName(u"a"_s, u"asset-1"_s, u"Après.jpg"_s));
        QCOMPARE(storage.names(u"a"_s), (QJsonObject{{u"asset-1"_s, u"Après.jpg"_s}}));
    }

    void failsWithoutTheDatabase()
    {
        QFETCH_GLOBAL(bool, postgres);
        DatabaseLocation location = freshDatabase();
        if (postgres) {
            location.databaseName = u"missing"_s;
        } else {
            // The folder cannot be made: a file is in its way.
            QFile blocker(m_files.filePath(u"blocker"_s));
            QVERIFY(blocker.open(QIODevice::WriteOnly));
            location.sqlitePath = blocker.fileName() + u"/names.sqlite"_s;
        }
        NameStorage storage(location);
        QVERIFY(!storage.open());
        QCOMPARE(storage.names(u"a"_s), std::nullopt);
        QVERIFY(!storage.setName(u"a"_s, u"asset-1"_s, u"x.jpg"_s));
    }
};

QTEST_GUILESS_MAIN(TestNameStorage)
#include "TestNameStorage.moc"
