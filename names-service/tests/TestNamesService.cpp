// The pixavella-names binary end to end: started as a process against the Immich double, with
// a SQLite file and with a private PostgreSQL server (every test runs once per backend).

#include "ImmichDoubleProcess.h"
#include "NamesServiceProcess.h"
#include "PostgresServer.h"

#include <QJsonObject>
#include <QTcpServer>
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

private:
    // A new empty database of the current backend, as a --database argument.
    QString freshDatabase();
    std::unique_ptr<NamesServiceProcess> startService(const QString& database,
                                                      const QString& immichUrl = {});
    void expectMessage(const NamesServiceProcess::Reply& reply, int status);
    // A further API key of the owner of `key`, made at Immich.
    QByteArray createApiKey(const QByteArray& key) const;

    ImmichDoubleProcess m_immich;
    QTemporaryDir m_files;
    std::unique_ptr<PostgresServer> m_postgres;
    QString m_postgresUnavailable;
    bool m_postgresDatabaseCreated = false;
    int m_databases = 0;

private slots:
    void initTestCase_data();
    void initTestCase();
    void init();
    void cleanup();

    void namesArePrivateToEachUser();
    void refusesMissingAndUnknownKeys_data();
    void refusesMissingAndUnknownKeys();
    void refusesBadInputAndKeepsTheStore_data();
    void refusesBadInputAndKeepsTheStore();
    void acceptsInputAtTheLimits_data();
    void acceptsInputAtTheLimits();
    void answersUnknownPathsAndMethods_data();
    void answersUnknownPathsAndMethods();
    void reportsImmichFailuresAs502_data();
    void reportsImmichFailuresAs502();
    void instancesShareOneDatabaseAcrossRestarts();
    void reconnectsAfterTheDatabaseRestarts();
};

void TestNamesService::initTestCase_data()
{
    QTest::addColumn<bool>("postgres");
    QTest::newRow("sqlite") << false;
    QTest::newRow("postgresql") << true;
}

void TestNamesService::initTestCase()
{
    QVERIFY(m_files.isValid());
    QVERIFY(m_immich.start({QStringLiteral("--user"), QStringLiteral("a@example.org:pa:key-a"),
                            QStringLiteral("--user"), QStringLiteral("b@example.org:pb:key-b")}));
}

void TestNamesService::init()
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

void TestNamesService::cleanup()
{
    m_immich.reset();
}

QString TestNamesService::freshDatabase()
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

std::unique_ptr<NamesServiceProcess> TestNamesService::startService(const QString& database,
                                                                    const QString& immichUrl)
{
    auto service = std::make_unique<NamesServiceProcess>();
    const bool started =
        service->start({QStringLiteral("--immich-url"),
                        immichUrl.isEmpty() ? m_immich.url().toString() : immichUrl,
                        QStringLiteral("--database"), database});
    return started ? std::move(service) : nullptr;
}

void TestNamesService::expectMessage(const NamesServiceProcess::Reply& reply, int status)
{
    QCOMPARE(reply.status, status);
    QVERIFY2(!reply.json().object().value(QLatin1String("message")).toString().isEmpty(),
             reply.body.constData());
    // A number in the body keeps an error from reading as a list of names.
    QCOMPARE(reply.json().object().value(QLatin1String("statusCode")).toInt(), status);
}

QByteArray TestNamesService::createApiKey(const QByteArray& key) const
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

void TestNamesService::namesArePrivateToEachUser()
{
    const auto service = startService(freshDatabase());
    QVERIFY(service);
    QCOMPARE(service->list(keyA).status, 200);
    QCOMPARE(object(service->list(keyA)), QJsonObject());

    QCOMPARE(service->put("asset-1", NamesServiceProcess::nameBody(u"Vacances.jpg"_s), keyA).status,
             200);
    QCOMPARE(
        service->put("asset-2", NamesServiceProcess::nameBody(u"Été 2023 😀.heic"_s), keyA).status,
        200);
    QCOMPARE(object(service->list(keyB)), QJsonObject());

    // The same asset id named by another account is another entry.
    QCOMPARE(service->put("asset-1", NamesServiceProcess::nameBody(u"Autre.jpg"_s), keyB).status,
             200);
    QCOMPARE(service->put("asset-1", NamesServiceProcess::nameBody(u"Plage.jpg"_s), keyA).status,
             200);
    QCOMPARE(object(service->list(keyA)),
             (QJsonObject{{u"asset-1"_s, u"Plage.jpg"_s}, {u"asset-2"_s, u"Été 2023 😀.heic"_s}}));
    QCOMPARE(object(service->list(keyB)), (QJsonObject{{u"asset-1"_s, u"Autre.jpg"_s}}));

    // Each sign-in makes a new key: names belong to the account, not to one of its keys.
    const QByteArray secondKeyA = createApiKey(keyA);
    QVERIFY(!secondKeyA.isEmpty());
    QCOMPARE(object(service->list(secondKeyA)), object(service->list(keyA)));
}

void TestNamesService::refusesMissingAndUnknownKeys_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<bool>("sendKey");
    QTest::addColumn<QByteArray>("key");
    // Never seen before, so no earlier answer can have been remembered for it.
    const QByteArray unknown = "key-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    QTest::newRow("list without key") << QByteArray("GET") << false << QByteArray();
    QTest::newRow("list with unknown key") << QByteArray("GET") << true << unknown;
    QTest::newRow("list with a key cut short") << QByteArray("GET") << true << QByteArray("key-");
    QTest::newRow("put with unknown key") << QByteArray("PUT") << true << unknown + "-2";
}

void TestNamesService::refusesMissingAndUnknownKeys()
{
    QFETCH(QByteArray, method);
    QFETCH(bool, sendKey);
    QFETCH(QByteArray, key);
    const auto service = startService(freshDatabase());
    QVERIFY(service);
    QCOMPARE(service->put("asset-1", NamesServiceProcess::nameBody(u"Avant.jpg"_s), keyA).status,
             200);

    const QByteArray path = NamesServiceProcess::prefix() +
                            (method == "GET" ? QByteArray("/names") : QByteArray("/names/asset-1"));
    expectMessage(service->send(method, path, sendKey ? std::optional(key) : std::nullopt,
                                NamesServiceProcess::nameBody(u"Après.jpg"_s)),
                  401);
    QCOMPARE(object(service->list(keyA)), (QJsonObject{{u"asset-1"_s, u"Avant.jpg"_s}}));
}

void TestNamesService::refusesBadInputAndKeepsTheStore_data()
{
    QTest::addColumn<QByteArray>("assetSegment");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    const QByteArray asset("asset-1");
    QTest::newRow("body over 64 KiB")
        << asset << QByteArray("{\"name\":\"x\"}" + QByteArray(64 * 1024, ' ')) << 413;
    QTest::newRow("not JSON") << asset << QByteArray("name=Nouveau.jpg") << 400;
    QTest::newRow("JSON array") << asset << QByteArray("[\"Nouveau.jpg\"]") << 400;
    QTest::newRow("name missing") << asset << QByteArray("{\"nom\":\"Nouveau.jpg\"}") << 400;
    QTest::newRow("name is a number") << asset << QByteArray("{\"name\":42}") << 400;
    QTest::newRow("name is empty") << asset << QByteArray("{\"name\":\"\"}") << 400;
    QTest::newRow("name of 1025 bytes")
        << asset << NamesServiceProcess::nameBody(QString(512, u'é') + u'x') << 400;
    QTest::newRow("stray byte") << asset << QByteArray("{\"name\":\"a\xff b.jpg\"}") << 400;
    QTest::newRow("overlong encoding") << asset << QByteArray("{\"name\":\"\xc0\xaf.jpg\"}") << 400;
    QTest::newRow("encoded surrogate")
        << asset << QByteArray("{\"name\":\"\xed\xa0\x80.jpg\"}") << 400;
    QTest::newRow("unpaired surrogate escape")
        << asset << QByteArray("{\"name\":\"\\ud800.jpg\"}") << 400;
    QTest::newRow("NUL character") << asset << QByteArray("{\"name\":\"a\\u0000.jpg\"}") << 400;
    const QByteArray good = NamesServiceProcess::nameBody(u"Nouveau.jpg"_s);
    QTest::newRow("empty asset id") << QByteArray() << good << 400;
    QTest::newRow("asset id not UTF-8") << QByteArray("asset%FF") << good << 400;
    QTest::newRow("asset id too long") << QByteArray(257, 'a') << good << 400;
}

void TestNamesService::refusesBadInputAndKeepsTheStore()
{
    QFETCH(QByteArray, assetSegment);
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    const auto service = startService(freshDatabase());
    QVERIFY(service);
    QCOMPARE(service->put("asset-1", NamesServiceProcess::nameBody(u"Avant.jpg"_s), keyA).status,
             200);
    const QJsonObject before = object(service->list(keyA));

    expectMessage(service->put(assetSegment, body, keyA), status);
    QCOMPARE(object(service->list(keyA)), before);
}

void TestNamesService::acceptsInputAtTheLimits_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("name");

    const QString longest = QString(511, u'é') + u"xy"_s; // 1024 bytes in UTF-8
    QTest::newRow("name of 1024 bytes") << NamesServiceProcess::nameBody(longest) << longest;
    QByteArray padded("{\"name\":\"Bord.jpg\"");
    padded += QByteArray(64 * 1024 - padded.size() - 1, ' ') + '}';
    QTest::newRow("body of 64 KiB") << padded << u"Bord.jpg"_s;
    QTest::newRow("quotes, slashes, escapes")
        << QByteArray("{\"name\":\"\\\"l\\u00e0\\\" \\\\ a/b\\ttab.jpg\",\"other\":1}")
        << u"\"là\" \\ a/b\ttab.jpg"_s;
}

void TestNamesService::acceptsInputAtTheLimits()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, name);
    const auto service = startService(freshDatabase());
    QVERIFY(service);
    QCOMPARE(service->put("asset-1", body, keyA).status, 200);
    QCOMPARE(object(service->list(keyA)), (QJsonObject{{u"asset-1"_s, name}}));
}

void TestNamesService::answersUnknownPathsAndMethods_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("status");
    const QByteArray prefix = NamesServiceProcess::prefix();
    QTest::newRow("root") << QByteArray("GET") << QByteArray("/") << 404;
    QTest::newRow("names outside the prefix") << QByteArray("GET") << QByteArray("/names") << 404;
    QTest::newRow("other path") << QByteArray("GET") << prefix + "/albums" << 404;
    QTest::newRow("nested asset path") << QByteArray("PUT") << prefix + "/names/a/b" << 404;
    QTest::newRow("POST names") << QByteArray("POST") << prefix + "/names" << 405;
    QTest::newRow("GET one name") << QByteArray("GET") << prefix + "/names/asset-1" << 405;
}

void TestNamesService::answersUnknownPathsAndMethods()
{
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, path);
    QFETCH(int, status);
    const auto service = startService(freshDatabase());
    QVERIFY(service);
    QCOMPARE(service->put("asset-1", NamesServiceProcess::nameBody(u"Avant.jpg"_s), keyA).status,
             200);

    expectMessage(service->send(method, path, keyA, NamesServiceProcess::nameBody(u"x.jpg"_s)),
                  status);
    QCOMPARE(object(service->list(keyA)), (QJsonObject{{u"asset-1"_s, u"Avant.jpg"_s}}));
}

void TestNamesService::reportsImmichFailuresAs502_data()
{
    QTest::addColumn<QString>("failure");
    QTest::newRow("connection dropped") << u"drop"_s;
    QTest::newRow("server error") << u"500"_s;
    QTest::newRow("nothing listening") << u"down"_s;
}

void TestNamesService::reportsImmichFailuresAs502()
{
    QFETCH(QString, failure);
    QString immichUrl;
    if (failure == u"down"_s) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        immichUrl = u"http://127.0.0.1:%1"_s.arg(probe.serverPort());
    }
    const auto service = startService(freshDatabase(), immichUrl);
    QVERIFY(service);
    if (failure == u"drop"_s)
        m_immich.drop(1, u"/api/users/me"_s);
    else if (failure == u"500"_s)
        m_immich.fail(500, 1, u"/api/users/me"_s);

    expectMessage(service->put("asset-1", NamesServiceProcess::nameBody(u"x.jpg"_s), keyA), 502);
    if (failure == u"down"_s)
        return;
    // A failure is not remembered: the next request is checked again and stored nothing before.
    QCOMPARE(object(service->list(keyA)), QJsonObject());
}

void TestNamesService::instancesShareOneDatabaseAcrossRestarts()
{
    const QString database = freshDatabase();
    // Started together on an empty database: both create the table at the same moment.
    NamesServiceProcess first;
    NamesServiceProcess second;
    const QStringList args{u"--immich-url"_s, m_immich.url().toString(), u"--database"_s, database};
    first.launch(args);
    second.launch(args);
    QVERIFY(first.waitUntilListening());
    QVERIFY(second.waitUntilListening());

    QCOMPARE(first.put("asset-1", NamesServiceProcess::nameBody(u"Un.jpg"_s), keyA).status, 200);
    QCOMPARE(object(second.list(keyA)), (QJsonObject{{u"asset-1"_s, u"Un.jpg"_s}}));
    QCOMPARE(second.put("asset-1", NamesServiceProcess::nameBody(u"Deux.jpg"_s), keyA).status, 200);
    QCOMPARE(object(first.list(keyA)), (QJsonObject{{u"asset-1"_s, u"Deux.jpg"_s}}));
    QCOMPARE(object(first.list(keyB)), QJsonObject());

    QCOMPARE(first.stop(), std::optional<int>(0));
    QCOMPARE(second.stop(), std::optional<int>(0));
    const auto restarted = startService(database);
    QVERIFY(restarted);
    QCOMPARE(object(restarted->list(keyA)), (QJsonObject{{u"asset-1"_s, u"Deux.jpg"_s}}));
}

void TestNamesService::reconnectsAfterTheDatabaseRestarts()
{
    QFETCH_GLOBAL(bool, postgres);
    if (!postgres)
        QSKIP("only a database server drops its connections");
    const auto service = startService(freshDatabase());
    QVERIFY(service);
    // Several requests, so that several worker threads hold a connection.
    for (int i = 0; i < 10; ++i)
        QCOMPARE(object(service->list(keyA)), QJsonObject());
    const QString failure = m_postgres->restart();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    for (int i = 0; i < 10; ++i) {
        const QByteArray asset = "asset-" + QByteArray::number(i);
        QCOMPARE(service->put(asset, NamesServiceProcess::nameBody(u"Après.jpg"_s), keyA).status,
                 200);
    }
    QCOMPARE(object(service->list(keyA)).size(), 10);
}

QTEST_GUILESS_MAIN(TestNamesService)
#include "TestNamesService.moc"
