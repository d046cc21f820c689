// Every client operation against a scripted server: the request it sends, and what it makes of
// each kind of answer.
#include "ClientAnswers.h"
#include "ClientTestSupport.h"
#include "RecordingServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QTest>
#include <QUuid>

using namespace pixavella;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(pixavella::Error)

namespace {

template <typename T, typename Start, typename Show> Result<QString> await(Start start, Show show)
{
    Awaited<T> awaited;
    start(awaited.completion());
    Result<T> result = awaited.wait();
    if (!result)
        return result.error();
    if constexpr (std::is_void_v<T>)
        return show();
    else
        return show(result.value());
}

// Runs one operation by name on album or asset `id` (asset lists: ["a","b"]) and gives its
// outcome as text, so that rows can name operations.
Result<QString> runOperation(const ImmichClient& c, const QString& op,
                             const QString& id = u"id-1"_s)
{
    const QStringList ids{u"a"_s, u"b"_s};
    const auto ok = [] { return u"ok"_s; };
    const auto text = [](const QString& s) { return s; };
    const auto assets = [](const QList<ImmichAsset>& l) { return assetIds(l).join(u','); };
    const auto asset = [](const ImmichAsset& a) { return "asset:" + a.id; };

    if (op == u"searchAssets")
        return await<QList<ImmichAsset>>([&](auto done) { c.searchAssets(done); }, assets);
    if (op == u"searchAlbumAssets")
        return await<QList<ImmichAsset>>([&](auto done) { c.searchAlbumAssets(id, done); }, assets);
    if (op == u"listAlbums" || op == u"listSharedAlbums") {
        CurrentUserIdCache users;
        return await<QList<ImmichAlbum>>(
            [&](auto done) { c.listAlbums(op == u"listSharedAlbums", users, done); },
            [](const QList<ImmichAlbum>& l) { return "albums:" + QString::number(l.size()); });
    }
    if (op == u"getAlbumMeta")
        return await<AlbumMeta>([&](auto done) { c.getAlbumMeta(id, done); },
                                [](const AlbumMeta& m) { return "meta:" + m.id; });
    if (op == u"fetchCurrentUser")
        return await<CurrentUser>(
            [&](auto done) { c.fetchCurrentUser(done); },
            [](const CurrentUser& u) { return "user:" + u.id + ',' + u.email; });
    if (op == u"getAsset")
        return await<ImmichAsset>([&](auto done) { c.getAsset(id, done); }, asset);
    if (op == u"downloadOriginal")
        return await<QString>([&](auto done) { c.downloadOriginal(id, done); }, text);
    if (op == u"fetchThumbnail")
        return await<QByteArray>(
            [&](auto done) { c.fetchThumbnail(id, done); },
            [](const QByteArray& b) { return "bytes:" + QString::fromLatin1(b); });
    if (op == u"createAlbum")
        return await<QString>([&](auto done) { c.createAlbum(u"Vacances"_s, done); }, text);
    if (op == u"renameAlbum")
        return await<void>([&](auto done) { c.renameAlbum(id, u"Été"_s, done); }, ok);
    if (op == u"deleteAlbum")
        return await<void>([&](auto done) { c.deleteAlbum(id, done); }, ok);
    if (op == u"addAssetsToAlbum")
        return await<void>([&](auto done) { c.addAssetsToAlbum(id, ids, done); }, ok);
    if (op == u"removeAssetsFromAlbum")
        return await<void>([&](auto done) { c.removeAssetsFromAlbum(id, ids, done); }, ok);
    if (op == u"removeAssetFromAlbum")
        return await<bool>([&](auto done) { c.removeAssetFromAlbum(id, u"a"_s, done); },
                           [](bool b) { return b ? u"true"_s : u"false"_s; });
    if (op == u"trashAssets")
        return await<void>([&](auto done) { c.trashAssets(ids, done); }, ok);
    if (op == u"restoreAssets")
        return await<void>([&](auto done) { c.restoreAssets(ids, done); }, ok);
    if (op == u"fetchStatistics")
        return await<ImmichAssetStatistics>(
            [&](auto done) { c.fetchStatistics(done); },
            [](const ImmichAssetStatistics& s) {
                return u"stats:%1,%2,%3"_s.arg(s.images).arg(s.videos).arg(s.total);
            });
    if (op == u"deleteApiKey")
        return await<void>([&](auto done) { c.deleteApiKey(u"key-1"_s, done); }, ok);
    if (op == u"login")
        return await<LoginResult>(
            [&](auto done) {
                ImmichClient::login(c.baseURL(), u"ana@example.org"_s, u"pw \"1\""_s, done);
            },
            [](const LoginResult& r) {
                return "login:" + r.accessToken + ',' + r.email + ',' + r.userId + ',' + r.name;
            });
    if (op == u"createApiKey")
        return await<CreatedApiKey>(
            [&](auto done) {
                ImmichClient::createApiKey(c.baseURL(), u"token-1"_s, u"Pixavella (host)"_s, done);
            },
            [](const CreatedApiKey& k) { return "key:" + k.secret + ',' + k.id; });
    qFatal("unknown operation %s", qPrintable(op));
}

// Answers that let every operation finish, so its request can be looked at.
RecordingServer::Answer plausibleAnswer(const RecordingServer::Request& r)
{
    if (r.path.endsWith("/search/metadata"))
        return {200, R"({"assets":{"items":[],"nextPage":null}})"};
    if (r.path.endsWith("/users/me"))
        return {200, R"({"id":"me","email":"ana@example.org"})"};
    if (r.path.endsWith("/albums") && r.method == "GET")
        return {200, "[]"};
    return {200, "{}"};
}

// "http(N)", "noData", "decoding", or the error's domain and code.
QString outcomeText(const Result<QString>& r)
{
    if (r.ok())
        return r.value();
    const Error& e = r.error();
    if (ClientError::isNoData(e))
        return u"noData"_s;
    if (e.domain == ErrorDomain::Client)
        return u"http(%1)"_s.arg(e.code);
    if (e.domain == ErrorDomain::Decoding)
        return u"decoding"_s;
    return e.domain + u' ' + QString::number(e.code);
}

// Headers expected: "k" x-api-key, "a" Accept JSON, "c" Content-Type JSON, "b" Bearer.
void shape(const char* op, const char* method, const char* target, const QByteArray& body,
           const char* headers)
{
    QTest::newRow(op) << QString::fromLatin1(op) << QByteArray(method) << QByteArray(target) << body
                      << QString::fromLatin1(headers);
}

void answer(const char* name, const char* op, int status, const QByteArray& body,
            const char* expected)
{
    QTest::newRow(name) << QString::fromLatin1(op) << status << body << QString::fromUtf8(expected);
}

} // namespace

class TestImmichClientCalls : public QObject {
    Q_OBJECT

    RecordingServer m_server;

    ImmichClient client(const QString& basePath = {}) const
    {
        QUrl base = m_server.url();
        base.setPath(basePath);
        return ImmichClient(base, u"key \"K\""_s);
    }

private slots:
    void init()
    {
        m_server.clear();
        m_server.setScript(plausibleAnswer);
    }

    void requestShapes_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<QByteArray>("body"); // JSON compared as a value; empty: no body
        QTest::addColumn<QString>("headers");
        const QByteArray search = R"({"page":1,"size":1000,"withExif":true,"order":"desc")";
        const QByteArray ab = R"({"ids":["a","b"]})";
        shape("searchAssets", "POST", "/api/search/metadata", search + "}", "kac");
        shape("searchAlbumAssets", "POST", "/api/search/metadata",
              search + R"(,"albumIds":["id-1"]})", "kac");
        shape("listAlbums", "GET", "/api/albums", {}, "ka");
        shape("listSharedAlbums", "GET", "/api/albums?shared=true", {}, "ka");
        shape("getAlbumMeta", "GET", "/api/albums/id-1", {}, "ka");
        shape("fetchCurrentUser", "GET", "/api/users/me", {}, "ka");
        shape("getAsset", "GET", "/api/assets/id-1", {}, "ka");
        shape("downloadOriginal", "GET", "/api/assets/id-1/original", {}, "ka");
        shape("fetchThumbnail", "GET", "/api/assets/id-1/thumbnail?size=thumbnail", {}, "k");
        shape("createAlbum", "POST", "/api/albums", R"({"albumName":"Vacances"})", "kac");
        shape("renameAlbum", "PATCH", "/api/albums/id-1", R"({"albumName":"Été"})", "kac");
        shape("deleteAlbum", "DELETE", "/api/albums/id-1", {}, "kac");
        shape("addAssetsToAlbum", "PUT", "/api/albums/id-1/assets", ab, "kac");
        shape("removeAssetsFromAlbum", "DELETE", "/api/albums/id-1/assets", ab, "kac");
        shape("removeAssetFromAlbum", "DELETE", "/api/albums/id-1/assets", R"({"ids":["a"]})",
              "kac");
        // Never deletes for good.
        shape("trashAssets", "DELETE", "/api/assets", R"({"ids":["a","b"],"force":false})", "kac");
        shape("restoreAssets", "POST", "/api/trash/restore/assets", ab, "kac");
        shape("fetchStatistics", "GET", "/api/assets/statistics", {}, "ka");
        shape("deleteApiKey", "DELETE", "/api/api-keys/key-1", {}, "kac");
        shape("login", "POST", "/api/auth/login",
              QJsonDocument(QJsonObject{{"email", "ana@example.org"}, {"password", "pw \"1\""}})
                  .toJson(),
              "ac");
        shape("createApiKey", "POST", "/api/api-keys",
              R"J({"name":"Pixavella (host)","permissions":["all"]})J", "acb");
    }
    void requestShapes()
    {
        QFETCH(QString, op);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, body);
        QFETCH(QString, headers);

        // Any outcome will do, as long as the operation finished.
        const Result<QString> outcome = runOperation(client(), op);
        QVERIFY2(outcome.ok() || outcome.error().domain != u"Test", describe(outcome));
        if (op == u"downloadOriginal" && outcome.ok())
            QFile::remove(outcome.value());

        // Listings may ask users/me first; the operation's own request is the last one.
        const QList<RecordingServer::Request> requests = m_server.requests();
        QVERIFY(!requests.isEmpty());
        const RecordingServer::Request& r = requests.last();
        QCOMPARE(r.method, method);
        QCOMPARE(r.target, target);
        QCOMPARE(QJsonDocument::fromJson(r.body), QJsonDocument::fromJson(body));
        QCOMPARE(r.body.isEmpty(), body.isEmpty());
        const auto expect = [&](char flag, const char* value) {
            return headers.contains(QLatin1Char(flag)) ? QByteArray(value) : QByteArray();
        };
        QCOMPARE(r.headers.value("x-api-key"), expect('k', "key \"K\""));
        QCOMPARE(r.headers.value("accept"), expect('a', "application/json"));
        QCOMPARE(r.headers.value("content-type"), expect('c', "application/json"));
        QCOMPARE(r.headers.value("authorization"), expect('b', "Bearer token-1"));
        QCOMPARE(r.headers.value("cookie"), QByteArray());
    }

    // Ids are sent as one path segment; those that would change the path are never sent.
    void idsArePathSegments_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<QString>("basePath");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QByteArray>("target"); // empty: refused without a request
        QTest::newRow("separators and escapes") << "getAsset" << QString() << u"a/b?c#d%e f"_s
                                                << QByteArray("/api/assets/a%2Fb%3Fc%23d%25e%20f");
        QTest::newRow("control and non-ASCII")
            << "getAsset" << QString() << u"x\ty\u00e9"_s << QByteArray("/api/assets/x%09y%C3%A9");
        QTest::newRow("server under a path")
            << "getAsset" << u"/immich/"_s << u"id:1"_s << QByteArray("/immich/api/assets/id:1");
        // DELETE albums/../assets would become DELETE assets: trashing instead of unfiling.
        QTest::newRow("parent") << "removeAssetsFromAlbum" << QString() << u".."_s << QByteArray();
        QTest::newRow("current") << "getAsset" << QString() << u"."_s << QByteArray();
        QTest::newRow("empty") << "deleteAlbum" << QString() << QString() << QByteArray();
    }
    void idsArePathSegments()
    {
        QFETCH(QString, op);
        QFETCH(QString, basePath);
        QFETCH(QString, id);
        QFETCH(QByteArray, target);
        m_server.answer(
            200,
            R"({"id":"x","type":"IMAGE","originalFileName":"a.jpg","fileCreatedAt":"2024-01-01T00:00:00Z"})");
        const Result<QString> outcome = runOperation(client(basePath), op, id);
        if (target.isEmpty()) {
            QCOMPARE(outcomeText(outcome), u"http(400)"_s);
            QCOMPARE(m_server.requests().size(), 0);
            return;
        }
        QVERIFY2(outcome.ok(), describe(outcome));
        QCOMPARE(m_server.requests().size(), 1);
        QCOMPARE(m_server.requests().first().target, target);
    }

    void downloadGoesToAFreshFileInTheTemporaryFolder()
    {
        m_server.answer(200, "original bytes");
        Awaited<QString> first;
        Awaited<QString> second;
        client().downloadOriginal(u"asset-1"_s, first.completion());
        client().downloadOriginal(u"asset-1"_s, second.completion());
        const Result<QString> a = first.wait();
        const Result<QString> b = second.wait();
        QVERIFY2(a.ok() && b.ok(), describe(a) + describe(b));
        QVERIFY(a.value() != b.value());
        for (const QString& path : {a.value(), b.value()}) {
            const QFileInfo info(path);
            QCOMPARE(info.absolutePath(), QDir::tempPath());
            QVERIFY2(!QUuid::fromString(info.fileName()).isNull(), qPrintable(info.fileName()));
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("original bytes"));
            QVERIFY(file.remove());
        }
    }

    void answers_data()
    {
        QTest::addColumn<QString>("op");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");

        // Status only (that the body is then never read is answerReaders').
        for (const char* op :
             {"renameAlbum", "deleteAlbum", "addAssetsToAlbum", "removeAssetsFromAlbum",
              "trashAssets", "restoreAssets", "deleteApiKey"}) {
            QTest::addRow("%s 401", op) << op << 401 << QByteArray("{}") << "http(401)";
            QTest::addRow("%s 204 empty", op) << op << 204 << QByteArray() << "ok";
        }
        // Decoded records.
        answer(
            "getAsset", "getAsset", 200,
            R"({"id":"x","type":"IMAGE","originalFileName":"a","fileCreatedAt":"2024-01-01T00:00:00Z"})",
            "asset:x");
        answer("getAsset 400", "getAsset", 400, R"({"message":"Not found"})", "http(400)");
        answer("getAsset not JSON", "getAsset", 200, "{", "decoding");
        answer("fetchStatistics", "fetchStatistics", 200, R"({"images":3,"videos":1,"total":4})",
               "stats:3,1,4");
        // Hand-read, status first.
        answer("fetchCurrentUser", "fetchCurrentUser", 200, R"({"id":"u1","email":"a@b"})",
               "user:u1,a@b");
        answer("fetchCurrentUser without email", "fetchCurrentUser", 200, R"({"id":"u1"})",
               "user:u1,");
        answer("fetchCurrentUser without id", "fetchCurrentUser", 200, R"({"email":"a"})",
               "noData");
        answer("fetchCurrentUser 401", "fetchCurrentUser", 401, "{}", "http(401)");
        answer("login", "login", 201,
               R"({"accessToken":"t","userId":"u","userEmail":"Ana@example.org","name":"Ana"})",
               "login:t,Ana@example.org,u,Ana");
        answer("login without e-mail: the typed one", "login", 201, R"({"accessToken":"t"})",
               "login:t,ana@example.org,,");
        answer("login without token", "login", 201, R"({"userId":"u"})", "noData");
        answer("login refused", "login", 401, R"({"message":"Incorrect"})", "http(401)");
        answer("createApiKey", "createApiKey", 201, R"({"secret":"s","apiKey":{"id":"k"}})",
               "key:s,k");
        answer("createApiKey without id", "createApiKey", 201, R"({"secret":"s","apiKey":{}})",
               "noData");
        // Body first: the id decides, whatever the status.
        answer("createAlbum", "createAlbum", 201, R"({"id":"al"})", "al");
        answer("createAlbum 201 without id", "createAlbum", 201, R"({"albumName":"x"})",
               "http(201)");
        answer("createAlbum 400 with id", "createAlbum", 400, R"({"id":"al"})", "al");
        answer("createAlbum 500 not JSON", "createAlbum", 500, "oops", "http(500)");
        // One asset's own result.
        answer("removeAssetFromAlbum removed", "removeAssetFromAlbum", 200,
               R"([{"id":"z","success":false},{"id":"a","success":true}])", "true");
        answer("removeAssetFromAlbum refused", "removeAssetFromAlbum", 200,
               R"([{"id":"a","success":false,"error":"not_found"}])", "false");
        answer("removeAssetFromAlbum success not boolean", "removeAssetFromAlbum", 200,
               R"([{"id":"a","success":"yes"}])", "false");
        answer("removeAssetFromAlbum other asset", "removeAssetFromAlbum", 200,
               R"([{"id":"b","success":true}])", "http(200)");
        answer("removeAssetFromAlbum viewer", "removeAssetFromAlbum", 400, "{}", "http(400)");
        // Bytes and files.
        answer("fetchThumbnail", "fetchThumbnail", 200, "RIFF", "bytes:RIFF");
        answer("fetchThumbnail empty", "fetchThumbnail", 200, {}, "http(200)");
        answer("downloadOriginal 404", "downloadOriginal", 404, "{}", "http(404)");
    }
    void answers()
    {
        QFETCH(QString, op);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        m_server.answer(status, body);
        QCOMPARE(outcomeText(runOperation(client(), op)), expected);
    }

    // The readers of an answer differ on purpose: a status alone ignores the body, a record
    // needs JSON, and an object read by hand needs an object.
    void answerReaders()
    {
        const auto text = [](const auto& result) {
            return outcomeText(result.ok() ? Result<QString>(u"ok"_s) : result.error());
        };
        const QList<std::tuple<int, QByteArray, QString>> rows{
            {204, "", "ok noData noData"},
            {200, "{", "ok decoding noData"},
            {200, "[1]", "ok ok noData"},
            {302, "{}", "http(302) http(302) http(302)"}};
        for (const auto& [status, body, expected] : rows) {
            HttpReply reply;
            reply.status = status;
            reply.body = body;
            QCOMPARE(text(client::statusOnly(reply)) + u' ' + text(client::recordBody(reply)) +
                         u' ' + text(client::statusFirstObject(reply)),
                     expected);
        }
    }

    void transientErrors_data()
    {
        QTest::addColumn<Error>("error");
        QTest::addColumn<bool>("transient");
        const auto net = [](QNetworkReply::NetworkError code) {
            return Error{ErrorDomain::Network, int(code), QString()};
        };
        QTest::newRow("http 500") << ClientError::http(500) << true;
        QTest::newRow("no HTTP answer") << ClientError::http(-1) << true;
        QTest::newRow("http 404") << ClientError::http(404) << false;
        QTest::newRow("http 600") << ClientError::http(600) << false;
        QTest::newRow("no data") << ClientError::noData() << false;
        QTest::newRow("decoding") << decodingError(u"x"_s) << false;
        QTest::newRow("timed out") << net(QNetworkReply::TimeoutError) << true;
        QTest::newRow("connection lost") << net(QNetworkReply::RemoteHostClosedError) << true;
        QTest::newRow("cancelled") << net(QNetworkReply::OperationCanceledError) << false;
        QTest::newRow("unknown scheme") << net(QNetworkReply::ProtocolUnknownError) << false;
    }
    void transientErrors()
    {
        QFETCH(Error, error);
        QFETCH(bool, transient);
        QCOMPARE(isTransientError(error), transient);
    }
};

QTEST_GUILESS_MAIN(TestImmichClientCalls)
#include "TestImmichClientCalls.moc"
