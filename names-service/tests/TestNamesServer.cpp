// NamesServer served in this process on 127.0.0.1, over a SQLite file, asking the Immich double
// who owns each API key.

#include "ApiKeyVerifier.h"
#include "ImmichDoubleProcess.h"
#include "NameStorage.h"
#include "NamesServer.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <httplib.h>

#include <thread>

using namespace pixavella::names;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;

namespace {

// The server on a thread of its own, stopped on destruction.
class Running {
public:
    Running(NameStorage& storage, ApiKeyVerifier& verifier, const QString& prefix)
        : m_server(storage, verifier, prefix), m_port(m_server.bind(u"127.0.0.1"_s, 0).value_or(0))
    {
        m_thread = std::thread([this] { m_served = m_server.serve() ? 1 : 0; });
    }
    ~Running()
    {
        // A stop before serve() starts listening is not seen: asked until it is.
        while (m_served < 0) {
            m_server.stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_thread.join();
        if (m_served == 0)
            qCritical("NamesServer::serve() failed");
    }
    // `request` is "METHOD PATH"; `key` empty: no x-api-key header.
    httplib::Result send(const QByteArray& request, const QByteArray& key = "key-a",
                         const QByteArray& body = {}) const
    {
        httplib::Client client("127.0.0.1", m_port);
        httplib::Headers headers{{"Content-Type", "application/json"}};
        if (!key.isEmpty())
            headers.emplace("x-api-key", key.toStdString());
        httplib::Request sent;
        sent.method = request.left(request.indexOf(' ')).toStdString();
        sent.path = request.mid(request.indexOf(' ') + 1).toStdString();
        sent.headers = headers;
        sent.body = body.toStdString();
        return client.send(sent);
    }
    QJsonObject list(const QByteArray& key) const
    {
        return QJsonDocument::fromJson(QByteArray::fromStdString(send("GET /p/names", key)->body))
            .object();
    }
    int name(const QByteArray& asset, const QString& name, const QByteArray& key) const
    {
        const QJsonObject body{{u"name"_s, name}};
        return send("PUT /p/names/" + asset, key, QJsonDocument(body).toJson())->status;
    }

private:
    NamesServer m_server;
    const int m_port;
    std::thread m_thread;
    std::atomic<int> m_served = -1;
};

} // namespace

class TestNamesServer : public QObject {
    Q_OBJECT

    ImmichDoubleProcess m_immich;
    QTemporaryDir m_files;
    std::unique_ptr<NameStorage> m_storage;
    std::unique_ptr<ApiKeyVerifier> m_verifier;
    std::unique_ptr<Running> m_server;

private slots:
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        QVERIFY(m_immich.start(
            {u"--user"_s, u"a@example.org:pa:key-a"_s, u"--user"_s, u"b@example.org:pb:key-b"_s}));
    }
    void init()
    {
        m_storage = std::make_unique<NameStorage>(std::get<DatabaseLocation>(
            DatabaseLocation::parse(m_files.filePath(QTest::currentTestFunction()))));
        QVERIFY(m_storage->open());
        // A verifier per test: none trusts a key from an earlier one.
        m_verifier = std::make_unique<ApiKeyVerifier>(m_immich.url());
        m_server = std::make_unique<Running>(*m_storage, *m_verifier, u"/p"_s);
    }
    void cleanup()
    {
        m_server.reset();
        m_immich.reset();
    }

    // Every refusal is a JSON object with a message and the status, and changes nothing.
    void routesAndRefuses()
    {
        const auto row = [this](const char* name, const QByteArray& request, int status,
                                const char* allow = "", const char* body = "",
                                const char* key = "key-a") {
            const auto reply = m_server->send(request, key, body);
            QVERIFY2(reply && reply->status == status, name);
            QCOMPARE(reply->get_header_value("Allow"), allow);
            QCOMPARE(reply->get_header_value("Cache-Control"), "no-store");
            const QJsonObject json = QJsonDocument::fromJson(reply->body.c_str()).object();
            // A number in the body keeps an error from reading as a list of names.
            QVERIFY2(status == 200 || (!json[u"message"_s].toString().isEmpty() &&
                                       json[u"statusCode"_s].toInt() == status),
                     name);
        };
        const char* n = R"({"name":"x.jpg"})";
        row("list", "GET /p/names", 200);
        row("list, HEAD", "HEAD /p/names", 200);
        row("list, POST", "POST /p/names", 405, "GET, HEAD", n);
        row("name, GET", "GET /p/names/x", 405, "PUT");
        row("name, DELETE", "DELETE /p/names/x", 405, "PUT");
        row("below a name", "PUT /p/names/x/y", 404, "", n);
        row("outside the prefix", "GET /names", 404);
        row("longer word", "GET /p/namesake", 404);
        row("no key", "GET /p/names", 401, "", "", "");
        row("unknown key", "PUT /p/names/x", 401, "", n, "key-z");
        // The id is refused once the path is decoded; which ids and bodies are TestNameInput's.
        row("id not UTF-8", "PUT /p/names/x%FF", 400, "", n);
        row("body not JSON", "PUT /p/names/x", 400, "", "x");
        // httplib answers this one itself; the error handler gives it the service's body.
        row("address too long", "GET /p/names/" + QByteArray(9000, 'x'), 414);
        QCOMPARE(m_server->list("key-a"), QJsonObject());
    }

    void namesArePrivateToEachUser()
    {
        QCOMPARE(m_server->name("asset-1", u"Vacances.jpg"_s, "key-a"), 200);
        QCOMPARE(m_server->name("asset-1", u"Autre.jpg"_s, "key-b"), 200);
        QCOMPARE(m_server->list("key-a"), (QJsonObject{{u"asset-1"_s, u"Vacances.jpg"_s}}));
        QCOMPARE(m_server->list("key-b"), (QJsonObject{{u"asset-1"_s, u"Autre.jpg"_s}}));

        // Each sign-in makes a new key: names belong to the account, not to one of its keys.
        httplib::Client immich("127.0.0.1", m_immich.port());
        const auto created =
            immich.Post("/api/api-keys", {{"x-api-key", "key-a"}},
                        R"({"name":"second sign-in","permissions":["all"]})", "application/json");
        QVERIFY(created && created->status == 201);
        const QJsonObject key = QJsonDocument::fromJson(created->body.c_str()).object();
        QCOMPARE(m_server->list(key[u"secret"_s].toString().toUtf8()), m_server->list("key-a"));
    }

    void failuresOfImmichAndStorage()
    {
        m_immich.fail(500, 1, u"/api/users/me"_s);
        QCOMPARE(m_server->send("GET /p/names")->status, 502);
        QCOMPARE(m_server->name("asset-1", u"Avant.jpg"_s, "key-a"), 200);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"breaker"_s);
            db.setDatabaseName(m_files.filePath(QTest::currentTestFunction()));
            QVERIFY(db.open());
            QVERIFY(QSqlQuery(db).exec(u"DROP TABLE names"_s));
        }
        QSqlDatabase::removeDatabase(u"breaker"_s);
        QCOMPARE(m_server->send("GET /p/names")->status, 503);
        QCOMPARE(m_server->name("asset-1", u"Après.jpg"_s, "key-a"), 503);
    }

    void servesAtTheRoot()
    {
        const Running root(*m_storage, *m_verifier, QString());
        QCOMPARE(root.send("GET /names")->status, 200);
        QCOMPARE(root.send("GET /p/names")->status, 404);
    }
};

QTEST_GUILESS_MAIN(TestNamesServer)
#include "TestNamesServer.moc"
