#include "ClientOperations.h"
#include "RecordingServer.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QUuid>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

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

} // namespace

class TestImmichClientRequests : public QObject {
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
    void idsArePathSegments_data();
    void idsArePathSegments();
    void idsThatWouldChangeThePathAreNotSent_data();
    void idsThatWouldChangeThePathAreNotSent();
    void downloadGoesToAFreshFileInTheTemporaryFolder();
};

void TestImmichClientRequests::requestShapes_data()
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

void TestImmichClientRequests::requestShapes()
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

void TestImmichClientRequests::idsArePathSegments_data()
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

void TestImmichClientRequests::idsArePathSegments()
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

void TestImmichClientRequests::idsThatWouldChangeThePathAreNotSent_data()
{
    QTest::addColumn<QString>("op");
    QTest::addColumn<QString>("id");
    // DELETE albums/../assets would become DELETE assets: trashing instead of unfiling.
    QTest::newRow("parent") << "removeAssetsFromAlbum" << QStringLiteral("..");
    QTest::newRow("current") << "getAsset" << QStringLiteral(".");
    QTest::newRow("empty") << "deleteAlbum" << QString();
}

void TestImmichClientRequests::idsThatWouldChangeThePathAreNotSent()
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

void TestImmichClientRequests::downloadGoesToAFreshFileInTheTemporaryFolder()
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

QTEST_GUILESS_MAIN(TestImmichClientRequests)
#include "TestImmichClientRequests.moc"
