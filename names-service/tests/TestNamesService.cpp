// The pixavella-names binary end to end: started as a process against the Immich double, with
// a SQLite file and with a private PostgreSQL server (every test runs once per backend).

#include "ImmichDoubleProcess.h"
#include "NamesServiceProcess.h"
#include "PostgresServer.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <httplib.h>

using namespace pixavella::testing;
using namespace Qt::StringLiterals;

namespace {

const QByteArray keyA = QByteArrayLiteral("key-a");
const QByteArray keyB = QByteArrayLiteral("key-b");

QJsonObject object(const NamesServiceProcess::Reply& reply)
{
    return reply.json().object();
}

} // namespace

class TestNamesService : public QObject {
    Q_OBJECT

    ImmichDoubleProcess m_immich;
    QTemporaryDir m_files;
    std::unique_ptr<PostgresServer> m_postgres;
    QString m_postgresUnavailable;
    bool m_postgresDatabaseCreated = false;
    int m_databases = 0;

    // A new empty database of the current backend, as a --database argument.
    QString freshDatabase()
    {
        QFETCH_GLOBAL(bool, postgres);
        if (postgres) {
            // One database, emptied for each test: creating a database takes PostgreSQL seconds.
            const QString database = u"names"_s;
            if (!m_postgresDatabaseCreated)
                m_postgresDatabaseCreated =
                    m_postgres->execute(u"postgres"_s, u"CREATE DATABASE names"_s);
            if (!m_postgresDatabaseCreated ||
                !m_postgres->execute(database, u"DROP TABLE IF EXISTS names"_s))
                return {};
            return m_postgres->url(database);
        }
        return m_files.filePath(u"names_%1/names.sqlite"_s.arg(++m_databases));
    }
    std::unique_ptr<NamesServiceProcess> startService(const QString& database)
    {
        auto service = std::make_unique<NamesServiceProcess>();
        service->launch({u"--immich-url"_s, m_immich.url().toString(), u"--database"_s, database});
        return service->waitUntilListening() ? std::move(service) : nullptr;
    }
    void expectMessage(const NamesServiceProcess::Reply& reply, int status)
    {
        QCOMPARE(reply.status, status);
        QVERIFY2(!reply.json().object().value(QLatin1String("message")).toString().isEmpty(),
                 reply.body.constData());
        // A number in the body keeps an error from reading as a list of names.
        QCOMPARE(reply.json().object().value(QLatin1String("statusCode")).toInt(), status);
    }
    // A further API key of the owner of `key`, made at Immich.
    QByteArray createApiKey(const QByteArray& key) const
    {
        httplib::Client client("127.0.0.1", m_immich.port());
        const auto result =
            client.Post("/api/api-keys", {{"x-api-key", key.toStdString()}},
                        R"({"name":"second sign-in","permissions":["all"]})", "application/json");
        if (!result || result->status != 201)
            return {};
        return QJsonDocument::fromJson(QByteArray::fromStdString(result->body))
            .object()
            .value(u"secret"_s)
            .toString()
            .toUtf8();
    }

private slots:
    void initTestCase_data()
    {
        QTest::addColumn<bool>("postgres");
        QTest::newRow("sqlite") << false;
        QTest::newRow("postgresql") << true;
    }
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        QVERIFY(
            m_immich.start({QStringLiteral("--user"), QStringLiteral("a@example.org:pa:key-a"),
                            QStringLiteral("--user"), QStringLiteral("b@example.org:pb:key-b")}));
    }
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
            QSKIP(qPrintable(QStringLiteral("PostgreSQL unavailable: ") + m_postgresUnavailable));
    }
    void cleanup() { m_immich.reset(); }

    void namesArePrivateToEachUser()
    {
        const auto service = startService(freshDatabase());
        QVERIFY(service);
        QCOMPARE(service->list(keyA).status, 200);
        QCOMPARE(object(service->list(keyA)), QJsonObject());

        QCOMPARE(service->name("asset-1", u"Vacances.jpg"_s, keyA), 200);
        QCOMPARE(service->name("asset-2", u"Été 2023 😀.heic"_s, keyA), 200);
        QCOMPARE(object(service->list(keyB)), QJsonObject());

        // The same asset id named by another account is another entry.
        QCOMPARE(service->name("asset-1", u"Autre.jpg"_s, keyB), 200);
        QCOMPARE(service->name("asset-1", u"Plage.jpg"_s, keyA), 200);
        QCOMPARE(object(service->list(keyA)), (QJsonObject{{u"asset-1"_s, u"Plage.jpg"_s},
                                                           {u"asset-2"_s, u"Été 2023 😀.heic"_s}}));
        QCOMPARE(object(service->list(keyB)), (QJsonObject{{u"asset-1"_s, u"Autre.jpg"_s}}));

        // Each sign-in makes a new key: names belong to the account, not to one of its keys.
        const QByteArray secondKeyA = createApiKey(keyA);
        QVERIFY(!secondKeyA.isEmpty());
        QCOMPARE(object(service->list(secondKeyA)), object(service->list(keyA)));

        const QByteArray unknown = "key-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        expectMessage(service->list(std::nullopt), 401);
        expectMessage(service->list(QByteArray("key-")), 401);
        expectMessage(service->put("asset-2", NamesServiceProcess::nameBody(u"x.jpg"_s), unknown),
                      401);
        QCOMPARE(object(service->list(keyA)).value(u"asset-2"_s), QJsonValue(u"Été 2023 😀.heic"_s));
    }

    // A refusal leaves the store as it was. Which inputs are refused is TestNameInput's, body
    // limits TestNamesServiceLimits'; here the id is refused once the path is decoded.
    void refusalKeepsTheStore()
    {
        const auto service = startService(freshDatabase());
        QVERIFY(service);
        QCOMPARE(service->name("asset-1", u"Avant.jpg"_s, keyA), 200);
        const QJsonObject before = object(service->list(keyA));
        expectMessage(service->put("asset%FF", NamesServiceProcess::nameBody(u"x.jpg"_s), keyA),
                      400);
        QCOMPARE(object(service->list(keyA)), before);
    }

    void sharedDatabaseSurvivesRestarts()
    {
        const QString database = freshDatabase();
        // Started together on an empty database: both create the table at the same moment.
        NamesServiceProcess first;
        NamesServiceProcess second;
        const QStringList args{u"--immich-url"_s, m_immich.url().toString(), u"--database"_s,
                               database};
        first.launch(args);
        second.launch(args);
        QVERIFY(first.waitUntilListening());
        QVERIFY(second.waitUntilListening());

        QCOMPARE(first.name("asset-1", u"Un.jpg"_s, keyA), 200);
        QCOMPARE(object(second.list(keyA)), (QJsonObject{{u"asset-1"_s, u"Un.jpg"_s}}));
        QCOMPARE(second.name("asset-1", u"Deux.jpg"_s, keyA), 200);
        QCOMPARE(object(first.list(keyA)), (QJsonObject{{u"asset-1"_s, u"Deux.jpg"_s}}));
        QCOMPARE(object(first.list(keyB)), QJsonObject());

        QCOMPARE(first.stop(), std::optional<int>(0));
        QCOMPARE(second.stop(), std::optional<int>(0));
        const auto restarted = startService(database);
        QVERIFY(restarted);
        QCOMPARE(object(restarted->list(keyA)), (QJsonObject{{u"asset-1"_s, u"Deux.jpg"_s}}));

        QFETCH_GLOBAL(bool, postgres);
        if (!postgres)
            return;
        // Requests first, so that a worker thread holds a connection to lose.
        for (int i = 0; i < 10; ++i)
            QCOMPARE(restarted->list(keyA).status, 200);
        const QString failure = m_postgres->restart();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        for (int i = 0; i < 10; ++i)
            QCOMPARE(restarted->name("asset-" + QByteArray::number(i), u"Après.jpg"_s, keyA), 200);
        QCOMPARE(object(restarted->list(keyA)).size(), 10);
    }
};

QTEST_GUILESS_MAIN(TestNamesService)
#include "TestNamesService.moc"
