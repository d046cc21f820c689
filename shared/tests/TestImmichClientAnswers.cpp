#include "ClientOperations.h"
#include "RecordingServer.h"

#include <QNetworkReply>
#include <QTcpServer>
#include <QTest>

using namespace pixavella;

Q_DECLARE_METATYPE(pixavella::Error)
using namespace pixavella::testing;

namespace {

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

class TestImmichClientAnswers : public QObject {
    Q_OBJECT

    RecordingServer m_server;

    ImmichClient client() const { return ImmichClient(m_server.url(), QStringLiteral("key")); }

private slots:
    void answers_data();
    void answers();
    void transientErrors_data();
    void transientErrors();
    void unreachableServerIsTransient();
};

void TestImmichClientAnswers::answers_data()
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

void TestImmichClientAnswers::answers()
{
    QFETCH(QString, op);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);
    m_server.answer(status, body);
    QCOMPARE(outcomeText(runOperation(client(), op)), expected);
}

void TestImmichClientAnswers::transientErrors_data()
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

void TestImmichClientAnswers::transientErrors()
{
    QFETCH(Error, error);
    QFETCH(bool, transient);
    QCOMPARE(isTransientError(error), transient);
}

void TestImmichClientAnswers::unreachableServerIsTransient()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const QUrl closed(QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()));
    probe.close();
    Awaited<void> trash;
    ImmichClient(closed, QStringLiteral("key"))
        .trashAssets({QStringLiteral("a")}, trash.completion());
    const Result<void> result = trash.wait();
    QVERIFY(!result.ok());
    QCOMPARE(result.error().domain, ErrorDomain::Network);
    QCOMPARE(result.error().code, int(QNetworkReply::ConnectionRefusedError));
    QVERIFY(isTransientError(result.error()));
}

QTEST_GUILESS_MAIN(TestImmichClientAnswers)
#include "TestImmichClientAnswers.moc"
