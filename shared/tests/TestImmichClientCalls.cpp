// Every client operation against a scripted server: the request it sends, and what it makes of
// each kind of answer.
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

Q_DECLARE_METATYPE(pixavella::Error)

namespace {

// Runs one operation by name with fixed arguments and gives its outcome as text, so that rows
// can name operations.
QString joinIds(const QList<ImmichAsset>& assets)
{
    QStringList ids;
    for (const ImmichAsset& a : assets)
        ids.append(a.id);
    return ids.join(u',');
}

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

// Arguments: album "album-1", asset "asset-1", asset lists ["a","b"], key "key-1".
Result<QString> runOperation(const ImmichClient& c, const QString& op)
{
    const QString album = QStringLiteral("album-1");
    const QString asset = QStringLiteral("asset-1");
    const QStringList ids{QStringLiteral("a"), QStringLiteral("b")};
    const auto ok = [] { return QStringLiteral("ok"); };
    const auto text = [](const QString& s) { return s; };
    const auto assets = [](const QList<ImmichAsset>& l) {
        return QStringLiteral("assets:") + joinIds(l);
    };

    if (op == u"searchAssets")
        return await<QList<ImmichAsset>>([&](auto done) { c.searchAssets(done); }, assets);
    if (op == u"searchAlbumAssets")
        return await<QList<ImmichAsset>>([&](auto done) { c.searchAlbumAssets(album, done); },
                                         assets);
    if (op == u"listAlbums" || op == u"listSharedAlbums")
        return await<QList<ImmichAlbum>>(
            [&](auto done) { c.listAlbums(op == u"listSharedAlbums", done); },
            [](const QList<ImmichAlbum>& l) {
                QStringList ids;
                for (const ImmichAlbum& a : l)
                    ids.append(a.id);
                return QStringLiteral("albums:") + ids.join(u',');
            });
    if (op == u"getAlbum")
        return await<ImmichAlbumDetail>([&](auto done) { c.getAlbum(album, done); },
                                        [](const ImmichAlbumDetail& d) {
                                            return QStringLiteral("album:") + d.id + u'/' +
                                                   joinIds(d.assets);
                                        });
    if (op == u"getAlbumMeta")
        return await<AlbumMeta>([&](auto done) { c.getAlbumMeta(album, done); },
                                [](const AlbumMeta& m) { return QStringLiteral("meta:") + m.id; });
    if (op == u"fetchCurrentUserId")
        return await<QString>([&](auto done) { c.fetchCurrentUserId(done); }, text);
    if (op == u"fetchCurrentUser")
        return await<CurrentUser>(
            [&](auto done) { c.fetchCurrentUser(done); },
            [](const CurrentUser& u) { return QStringLiteral("user:") + u.id + u',' + u.email; });
    if (op == u"getAsset")
        return await<ImmichAsset>(
            [&](auto done) { c.getAsset(asset, done); },
            [](const ImmichAsset& a) { return QStringLiteral("asset:") + a.id; });
    if (op == u"downloadOriginal")
        return await<QString>([&](auto done) { c.downloadOriginal(asset, done); }, text);
    if (op == u"fetchThumbnail")
        return await<QByteArray>(
            [&](auto done) { c.fetchThumbnail(asset, done); },
            [](const QByteArray& b) { return QStringLiteral("bytes:") + QString::fromLatin1(b); });
    if (op == u"createAlbum")
        return await<QString>([&](auto done) { c.createAlbum(QStringLiteral("Vacances"), done); },
                              text);
    if (op == u"renameAlbum")
        return await<void>([&](auto done) { c.renameAlbum(album, QStringLiteral("Été"), done); },
                           ok);
    if (op == u"deleteAlbum")
        return await<void>([&](auto done) { c.deleteAlbum(album, done); }, ok);
    if (op == u"addAssetsToAlbum")
        return await<void>([&](auto done) { c.addAssetsToAlbum(album, ids, done); }, ok);
    if (op == u"removeAssetsFromAlbum")
        return await<void>([&](auto done) { c.removeAssetsFromAlbum(album, ids, done); }, ok);
    if (op == u"removeAssetFromAlbum")
        return await<bool>(
            [&](auto done) { c.removeAssetFromAlbum(album, QStringLiteral("a"), done); },
            [](bool b) { return QString::fromLatin1(b ? "true" : "false"); });
    if (op == u"trashAssets")
        return await<void>([&](auto done) { c.trashAssets(ids, done); }, ok);
    if (op == u"restoreAssets")
        return await<void>([&](auto done) { c.restoreAssets(ids, done); }, ok);
    if (op == u"fetchStatistics")
        return await<ImmichAssetStatistics>(
            [&](auto done) { c.fetchStatistics(done); },
            [](const ImmichAssetStatistics& s) {
                return QStringLiteral("stats:%1,%2,%3").arg(s.images).arg(s.videos).arg(s.total);
            });
    if (op == u"deleteApiKey")
        return await<void>([&](auto done) { c.deleteApiKey(QStringLiteral("key-1"), done); }, ok);
    if (op == u"login")
        return await<LoginResult>(
            [&](auto done) {
                ImmichClient::login(c.baseURL(), QStringLiteral("ana@example.org"),
                                    QStringLiteral("pw \"1\""), done);
            },
            [](const LoginResult& r) {
                return QStringLiteral("login:") + r.accessToken + u',' + r.email + u',' + r.userId +
                       u',' + r.name;
            });
    if (op == u"createApiKey")
        return await<CreatedApiKey>(
            [&](auto done) {
                ImmichClient::createApiKey(c.baseURL(), QStringLiteral("token-1"),
                                           QStringLiteral("Pixavella (host)"), done);
            },
            [](const CreatedApiKey& k) { return QStringLiteral("key:") + k.secret + u',' + k.id; });
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

const QString kDecoding = QStringLiteral("decoding");
const QString kNoData = QStringLiteral("noData");

// "http(N)", "noData", "decoding", or the error's domain and code.
QString outcomeText(const Result<QString>& r)
{
    if (r.ok())
        return r.value();
    const Error& e = r.error();
    if (ClientError::isNoData(e))
        return kNoData;
    if (e.domain == ErrorDomain::Client)
        return QStringLiteral("http(%1)").arg(e.code);
    if (e.domain == ErrorDomain::Decoding)
        return kDecoding;
    return e.domain + u' ' + QString::number(e.code);
}

const QByteArray kAsset =
    R"({"id":"asset-1","type":"IMAGE","originalFileName":"a.jpg","fileCreatedAt":"2024-01-01T00:00:00.000Z"})";

} // namespace

class TestImmichClientCalls : public QObject {
    Q_OBJECT

    RecordingServer m_server;

    ImmichClient client(const QString& basePath = {}) const
    {
        QUrl base = m_server.url();
        base.setPath(basePath);
        return ImmichClient(base, QStringLiteral("key \"K\""));
    }

private slots:
    void init()
    {
        m_server.clear();
        m_server.setScript(plausibleAnswer);
    }
    void requestShapes_data();
    void requestShapes();
    void answers_data();
    void answers();
    void transientErrors_data();
    void transientErrors();
    void idsArePathSegments_data();
    void idsArePathSegments();
    void idsThatWouldChangeThePathAreNotSent_data();
    void idsThatWouldChangeThePathAreNotSent();
    void downloadGoesToAFreshFileInTheTemporaryFolder();
};

void TestImmichClientCalls::requestShapes_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body"); // JSON compared as a value; empty: no body
    // Headers expected: "k" x-api-key, "a" Accept JSON, "c" Content-Type JSON, "b" Bearer.
    QTest::addColumn<QString>("headers");

    const QByteArray search = R"({"page":1,"size":1000,"withExif":true,"order":"desc")";
    QTest::newRow("searchAssets") << "searchAssets" << QByteArray("POST")
                                  << QByteArray("/api/search/metadata") << search + "}"
                                  << "kac";
    QTest::newRow("searchAlbumAssets")
        << "searchAlbumAssets" << QByteArray("POST") << QByteArray("/api/search/metadata")
        << search + R"(,"albumIds":["album-1"]})"
        << "kac";
    QTest::newRow("listAlbums") << "listAlbums" << QByteArray("GET") << QByteArray("/api/albums")
                                << QByteArray() << "ka";
    QTest::newRow("listSharedAlbums")
        << "listSharedAlbums" << QByteArray("GET") << QByteArray("/api/albums?shared=true")
        << QByteArray() << "ka";
    QTest::newRow("getAlbum") << "getAlbumMeta" << QByteArray("GET")
                              << QByteArray("/api/albums/album-1") << QByteArray() << "ka";
    QTest::newRow("fetchCurrentUser") << "fetchCurrentUser" << QByteArray("GET")
                                      << QByteArray("/api/users/me") << QByteArray() << "ka";
    QTest::newRow("getAsset") << "getAsset" << QByteArray("GET")
                              << QByteArray("/api/assets/asset-1") << QByteArray() << "ka";
    QTest::newRow("downloadOriginal")
        << "downloadOriginal" << QByteArray("GET") << QByteArray("/api/assets/asset-1/original")
        << QByteArray() << "ka";
    QTest::newRow("fetchThumbnail")
        << "fetchThumbnail" << QByteArray("GET")
        << QByteArray("/api/assets/asset-1/thumbnail?size=thumbnail") << QByteArray() << "k";
    QTest::newRow("createAlbum") << "createAlbum" << QByteArray("POST") << QByteArray("/api/albums")
                                 << QByteArray(R"({"albumName":"Vacances"})") << "kac";
    QTest::newRow("renameAlbum") << "renameAlbum" << QByteArray("PATCH")
                                 << QByteArray("/api/albums/album-1")
                                 << QByteArray(R"({"albumName":"Été"})") << "kac";
    QTest::newRow("deleteAlbum") << "deleteAlbum" << QByteArray("DELETE")
                                 << QByteArray("/api/albums/album-1") << QByteArray() << "kac";
    QTest::newRow("addAssetsToAlbum")
        << "addAssetsToAlbum" << QByteArray("PUT") << QByteArray("/api/albums/album-1/assets")
        << QByteArray(R"({"ids":["a","b"]})") << "kac";
    QTest::newRow("removeAssetsFromAlbum")
        << "removeAssetsFromAlbum" << QByteArray("DELETE")
        << QByteArray("/api/albums/album-1/assets") << QByteArray(R"({"ids":["a","b"]})") << "kac";
    QTest::newRow("removeAssetFromAlbum")
        << "removeAssetFromAlbum" << QByteArray("DELETE")
        << QByteArray("/api/albums/album-1/assets") << QByteArray(R"({"ids":["a"]})") << "kac";
    QTest::newRow("trashAssets never deletes for good")
        << "trashAssets" << QByteArray("DELETE") << QByteArray("/api/assets")
        << QByteArray(R"({"ids":["a","b"],"force":false})") << "kac";
    QTest::newRow("restoreAssets")
        << "restoreAssets" << QByteArray("POST") << QByteArray("/api/trash/restore/assets")
        << QByteArray(R"({"ids":["a","b"]})") << "kac";
    QTest::newRow("fetchStatistics")
        << "fetchStatistics" << QByteArray("GET") << QByteArray("/api/assets/statistics")
        << QByteArray() << "ka";
    QTest::newRow("deleteApiKey") << "deleteApiKey" << QByteArray("DELETE")
                                  << QByteArray("/api/api-keys/key-1") << QByteArray() << "kac";
    QTest::newRow("login") << "login" << QByteArray("POST") << QByteArray("/api/auth/login")
                           << QByteArray(R"({"email":"ana@example.org","password":"pw \"1\""})")
                           << "ac";
    QTest::newRow("createApiKey") << "createApiKey" << QByteArray("POST")
                                  << QByteArray("/api/api-keys")
                                  << QByteArray(
                                         R"J({"name":"Pixavella (host)","permissions":["all"]})J")
                                  << "acb";
}

void TestImmichClientCalls::requestShapes()
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
    if (body.isEmpty()) {
        QCOMPARE(r.body, QByteArray());
    } else {
        QCOMPARE(QJsonDocument::fromJson(r.body), QJsonDocument::fromJson(body));
    }
    QCOMPARE(r.headers.value("x-api-key"),
             headers.contains(u'k') ? QByteArray("key \"K\"") : QByteArray());
    QCOMPARE(r.headers.value("accept"),
             headers.contains(u'a') ? QByteArray("application/json") : QByteArray());
    QCOMPARE(r.headers.value("content-type"),
             headers.contains(u'c') ? QByteArray("application/json") : QByteArray());
    QCOMPARE(r.headers.value("authorization"),
             headers.contains(u'b') ? QByteArray("Bearer token-1") : QByteArray());
    QCOMPARE(r.headers.value("cookie"), QByteArray());
}

void TestImmichClientCalls::idsArePathSegments_data()
{
    QTest::addColumn<QString>("basePath");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("uuid") << QString() << QStringLiteral("9b2f6c1e-0d4e-4c37-a3d2-5f1e8b7a6c90")
                          << QByteArray("/api/assets/9b2f6c1e-0d4e-4c37-a3d2-5f1e8b7a6c90");
    QTest::newRow("separators and escapes") << QString() << QStringLiteral("a/b?c#d%e f")
                                            << QByteArray("/api/assets/a%2Fb%3Fc%23d%25e%20f");
    QTest::newRow("control and non-ASCII")
        << QString() << QStringLiteral("x\ty\u00e9") << QByteArray("/api/assets/x%09y%C3%A9");
    QTest::newRow("server under a path") << QStringLiteral("/immich/") << QStringLiteral("id:1")
                                         << QByteArray("/immich/api/assets/id:1");
}

void TestImmichClientCalls::idsArePathSegments()
{
    QFETCH(QString, basePath);
    QFETCH(QString, id);
    QFETCH(QByteArray, target);
    m_server.answer(
        200,
        R"({"id":"x","type":"IMAGE","originalFileName":"a.jpg","fileCreatedAt":"2024-01-01T00:00:00Z"})");
    Awaited<ImmichAsset> asset;
    client(basePath).getAsset(id, asset.completion());
    const Result<ImmichAsset> result = asset.wait();
    QVERIFY2(result.ok(), describe(result));
    QCOMPARE(m_server.requests().size(), 1);
    QCOMPARE(m_server.requests().first().target, target);
}

void TestImmichClientCalls::idsThatWouldChangeThePathAreNotSent_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("id");
    // DELETE albums/../assets would become DELETE assets: trashing instead of unfiling.
    QTest::newRow("parent") << "removeAssetsFromAlbum" << QStringLiteral("..");
    QTest::newRow("current") << "getAsset" << QStringLiteral(".");
    QTest::newRow("empty") << "deleteAlbum" << QString();
}

void TestImmichClientCalls::idsThatWouldChangeThePathAreNotSent()
{
    QFETCH(QString, op);
    QFETCH(QString, id);
    Result<QString> outcome = QString();
    if (op == u"removeAssetsFromAlbum") {
        outcome = await<void>([&](auto done) { client().removeAssetsFromAlbum(id, {"a"}, done); },
                              [] { return QString(); });
    } else if (op == u"getAsset") {
        outcome = await<ImmichAsset>([&](auto done) { client().getAsset(id, done); },
                                     [](const ImmichAsset&) { return QString(); });
    } else {
        outcome = await<void>([&](auto done) { client().deleteAlbum(id, done); },
                              [] { return QString(); });
    }
    QVERIFY(!outcome.ok());
    QVERIFY(ClientError::isHttp(outcome.error(), 400));
    QCOMPARE(m_server.requests().size(), 0);
}

void TestImmichClientCalls::downloadGoesToAFreshFileInTheTemporaryFolder()
{
    m_server.answer(200, "original bytes");
    Awaited<QString> first;
    Awaited<QString> second;
    client().downloadOriginal(QStringLiteral("asset-1"), first.completion());
    client().downloadOriginal(QStringLiteral("asset-1"), second.completion());
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

void TestImmichClientCalls::answers_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected");

    // Status only: the body is never read.
    for (const char* op :
         {"renameAlbum", "deleteAlbum", "addAssetsToAlbum", "removeAssetsFromAlbum", "trashAssets",
          "restoreAssets", "deleteApiKey"}) {
        QTest::addRow("%s 401", op)
            << op << 401 << QByteArray(R"({"message":"Invalid API key"})") << "http(401)";
        QTest::addRow("%s 204 empty", op) << op << 204 << QByteArray() << "ok";
        QTest::addRow("%s 200 not JSON", op) << op << 200 << QByteArray("<html>") << "ok";
    }

    // Decoded records.
    QTest::newRow("getAsset") << "getAsset" << 200 << kAsset << "asset:asset-1";
    QTest::newRow("getAsset 400") << "getAsset" << 400 << QByteArray(R"({"message":"Not found"})")
                                  << "http(400)";
    QTest::newRow("getAsset not JSON") << "getAsset" << 200 << QByteArray("{") << kDecoding;
    QTest::newRow("getAsset without fileCreatedAt")
        << "getAsset" << 200 << QByteArray(R"({"id":"a","type":"IMAGE","originalFileName":"a"})")
        << kDecoding;
    QTest::newRow("fetchStatistics")
        << "fetchStatistics" << 200 << QByteArray(R"({"images":3,"videos":1,"total":4})")
        << "stats:3,1,4";
    QTest::newRow("fetchStatistics 500") << "fetchStatistics" << 500 << QByteArray() << "http(500)";

    // Hand-read, status first.
    QTest::newRow("fetchCurrentUser")
        << "fetchCurrentUser" << 200 << QByteArray(R"({"id":"u1","email":"ana@example.org"})")
        << "user:u1,ana@example.org";
    QTest::newRow("fetchCurrentUser without email")
        << "fetchCurrentUser" << 200 << QByteArray(R"({"id":"u1"})") << "user:u1,";
    QTest::newRow("fetchCurrentUser without id")
        << "fetchCurrentUser" << 200 << QByteArray(R"({"email":"a"})") << kNoData;
    QTest::newRow("fetchCurrentUser 401")
        << "fetchCurrentUser" << 401 << QByteArray("{}") << "http(401)";
    QTest::newRow("fetchCurrentUserId")
        << "fetchCurrentUserId" << 200 << QByteArray(R"({"id":"u1"})") << "u1";
    QTest::newRow("login")
        << "login" << 201
        << QByteArray(
               R"({"accessToken":"t","userId":"u","userEmail":"Ana@example.org","name":"Ana"})")
        << "login:t,Ana@example.org,u,Ana";
    QTest::newRow("login without e-mail: the typed one")
        << "login" << 201 << QByteArray(R"({"accessToken":"t"})") << "login:t,ana@example.org,,";
    QTest::newRow("login without token")
        << "login" << 201 << QByteArray(R"({"userId":"u"})") << kNoData;
    QTest::newRow("login refused")
        << "login" << 401 << QByteArray(R"({"message":"Incorrect email or password"})")
        << "http(401)";
    QTest::newRow("createApiKey") << "createApiKey" << 201
                                  << QByteArray(R"({"secret":"s","apiKey":{"id":"k","name":"n"}})")
                                  << "key:s,k";
    QTest::newRow("createApiKey without id")
        << "createApiKey" << 201 << QByteArray(R"({"secret":"s","apiKey":{}})") << kNoData;

    // Body first: the id decides, whatever the status.
    QTest::newRow("createAlbum") << "createAlbum" << 201 << QByteArray(R"({"id":"al"})") << "al";
    QTest::newRow("createAlbum 201 without id")
        << "createAlbum" << 201 << QByteArray(R"({"albumName":"x"})") << "http(201)";
    QTest::newRow("createAlbum 400 with id")
        << "createAlbum" << 400 << QByteArray(R"({"id":"al"})") << "al";
    QTest::newRow("createAlbum 500 not JSON")
        << "createAlbum" << 500 << QByteArray("oops") << "http(500)";

    // One asset's own result.
    QTest::newRow("removeAssetFromAlbum removed")
        << "removeAssetFromAlbum" << 200
        << QByteArray(R"([{"id":"z","success":false},{"id":"a","success":true}])") << "true";
    QTest::newRow("removeAssetFromAlbum refused")
        << "removeAssetFromAlbum" << 200
        << QByteArray(R"([{"id":"a","success":false,"error":"not_found"}])") << "false";
    QTest::newRow("removeAssetFromAlbum success not boolean")
        << "removeAssetFromAlbum" << 200 << QByteArray(R"([{"id":"a","success":"yes"}])")
        << "false";
    QTest::newRow("removeAssetFromAlbum other asset")
        << "removeAssetFromAlbum" << 200 << QByteArray(R"([{"id":"b","success":true}])")
        << "http(200)";
    QTest::newRow("removeAssetFromAlbum viewer")
        << "removeAssetFromAlbum" << 400 << QByteArray(R"({"message":"Not found"})") << "http(400)";

    // Bytes.
    QTest::newRow("fetchThumbnail")
        << "fetchThumbnail" << 200 << QByteArray("RIFF") << "bytes:RIFF";
    QTest::newRow("fetchThumbnail empty") << "fetchThumbnail" << 200 << QByteArray() << "http(200)";

    // File.
    QTest::newRow("downloadOriginal 404")
        << "downloadOriginal" << 404 << QByteArray("{}") << "http(404)";
}

void TestImmichClientCalls::answers()
{
    QFETCH(QString, op);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    m_server.answer(status, body);
    QCOMPARE(outcomeText(runOperation(client(), op)), expected);
}

void TestImmichClientCalls::transientErrors_data()
{
    QTest::addColumn<Error>("error");
    QTest::addColumn<bool>("transient");
    const auto net = [](QNetworkReply::NetworkError code) {
        return Error{ErrorDomain::Network, int(code), QString()};
    };
    QTest::newRow("http 500") << ClientError::http(500) << true;
    QTest::newRow("http 599") << ClientError::http(599) << true;
    QTest::newRow("no HTTP answer") << ClientError::http(-1) << true;
    QTest::newRow("http 404") << ClientError::http(404) << false;
    QTest::newRow("http 600") << ClientError::http(600) << false;
    QTest::newRow("no data") << ClientError::noData() << false;
    QTest::newRow("decoding") << decodingError(QStringLiteral("x")) << false;
    QTest::newRow("timed out") << net(QNetworkReply::TimeoutError) << true;
    QTest::newRow("refused") << net(QNetworkReply::ConnectionRefusedError) << true;
    QTest::newRow("connection lost") << net(QNetworkReply::RemoteHostClosedError) << true;
    QTest::newRow("TLS") << net(QNetworkReply::SslHandshakeFailedError) << true;
    QTest::newRow("cancelled") << net(QNetworkReply::OperationCanceledError) << false;
    QTest::newRow("unknown scheme") << net(QNetworkReply::ProtocolUnknownError) << false;
}

void TestImmichClientCalls::transientErrors()
{
    QFETCH(Error, error);
    QFETCH(bool, transient);
    QCOMPARE(isTransientError(error), transient);
}

QTEST_GUILESS_MAIN(TestImmichClientCalls)
#include "TestImmichClientCalls.moc"
