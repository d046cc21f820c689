#include "ClientTestSupport.h"
#include "Clock.h"
#include "ImmichClient.h"
#include "RawSocketServer.h"

#include <QFile>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

using namespace pixavella;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;

namespace {

QByteArray httpAnswer(int status, const QByteArray& body)
{
    return "HTTP/1.1 " + QByteArray::number(status) +
           " X\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray content(qsizetype size)
{
    // Bytes that look like multipart syntax, so a writer that scans or rewrites content fails.
    static const char raw[] = "\r\n--Boundary-\"x\"\r\n\0\xff\xfe";
    const QByteArray unit(raw, sizeof raw - 1);
    QByteArray bytes;
    bytes.reserve(size);
    while (bytes.size() < size)
        bytes += unit;
    bytes.truncate(size);
    return bytes;
}

} // namespace

class TestImmichUpload : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<RawSocketServer> m_server;
    QMutex m_mutex;
    QList<RawSocketServer::Request> m_seen; // protected by m_mutex
    // Answers the request, or returns nothing to drop the connection. Protected by m_mutex.
    std::function<std::optional<QByteArray>(const RawSocketServer::Request&)> m_respond;

    ImmichClient client() const
    {
        return ImmichClient(QUrl(u"http://127.0.0.1:%1"_s.arg(m_server->port())), u"secret-key"_s);
    }
    void respond(std::function<std::optional<QByteArray>(const RawSocketServer::Request&)> f)
    {
        QMutexLocker lock(&m_mutex);
        m_respond = std::move(f);
        m_seen.clear();
    }
    QList<RawSocketServer::Request> seen()
    {
        QMutexLocker lock(&m_mutex);
        return m_seen;
    }
    QString writeSource(const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(u"source.bin"_s);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size())
            qFatal("cannot write the source file");
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_server = std::make_unique<RawSocketServer>([this](int fd) {
            // A connection the client opened for a request cancelled before it was sent stays
            // idle; it must not hold the one-at-a-time server for ever.
            const timeval idle{5, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
            const RawSocketServer::Request request = RawSocketServer::readRequest(fd);
            if (request.head.isEmpty())
                return;
            std::function<std::optional<QByteArray>(const RawSocketServer::Request&)> respond;
            {
                QMutexLocker lock(&m_mutex);
                m_seen.append(request);
                respond = m_respond;
            }
            if (const std::optional<QByteArray> answer = respond(request))
                RawSocketServer::writeAll(fd, *answer);
        });
    }
    void cleanupTestCase() { m_server.reset(); }
    void bodyIsExact_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("announced"); // the name as it must appear in filename="…"
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QDateTime>("createdAt");
        QTest::addColumn<QByteArray>("dateText");

        const QDateTime may = QDateTime(QDate(2024, 5, 1), QTime(10, 11, 12, 345), Qt::UTC);
        QTest::newRow("offset date, several chunks")
            << u"clip.mp4"_s << QByteArray("clip.mp4") << content(2 * 1'048'576 + 77)
            << QDateTime(QDate(2024, 5, 1), QTime(12, 11, 12), QTimeZone(7200))
            << QByteArray("2024-05-01T10:11:12Z");
        QTest::newRow("empty file, no date: now")
            << u"empty.png"_s << QByteArray("empty.png") << QByteArray() << QDateTime()
            << QByteArray("2023-11-14T22:13:20Z");
        QTest::newRow("non-ASCII name") << u"Été à Paris.heic"_s << u"Été à Paris.heic"_s.toUtf8()
                                        << content(10) << may << QByteArray("2024-05-01T10:11:12Z");
        QTest::newRow("quote and line breaks")
            << u"a\"b\r\nc\nd%22.jpg"_s << QByteArray("a%22b%0D%0Ac%0Ad%22.jpg") << content(10)
            << may << QByteArray("2024-05-01T10:11:12Z");
        // The server would keep only what follows a backslash, however it were escaped.
        QTest::newRow("backslashes")
            << u"back\\slash\\\\2.jpg"_s << QByteArray("back%5Cslash%5C%5C2.jpg") << content(10)
            << may << QByteArray("2024-05-01T10:11:12Z");
    }
    void bodyIsExact()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, announced);
        QFETCH(QByteArray, bytes);
        QFETCH(QDateTime, createdAt);
        QFETCH(QByteArray, dateText);
        ManualClock clock; // 2023-11-14T22:13:20Z
        respond([](const RawSocketServer::Request&) {
            return httpAnswer(201, R"({"id":"new-asset","status":"created"})");
        });

        Awaited<UploadResult> upload;
        client().uploadAsset(writeSource(bytes), name,
                             createdAt.isValid() ? std::optional(createdAt) : std::nullopt,
                             upload.completion());
        const Result<UploadResult> result = upload.wait();
        QVERIFY2(result.ok(), describe(result));
        QCOMPARE(result.value().assetId, u"new-asset"_s);
        QCOMPARE(result.value().duplicate, false);

        const QList<RawSocketServer::Request> requests = seen();
        QCOMPARE(requests.size(), 1);
        const RawSocketServer::Request& request = requests.first();
        QCOMPARE(request.requestLine(), QByteArray("POST /api/assets HTTP/1.1"));
        QCOMPARE(request.header("x-api-key"), QByteArray("secret-key"));
        QCOMPARE(request.header("accept"), QByteArray("application/json"));

        const QRegularExpression contentType(QStringLiteral(
            "^multipart/form-data; boundary=(Boundary-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]"
            "{4}-[0-9A-F]{4}-[0-9A-F]{12})$"));
        const auto match = contentType.match(QString::fromLatin1(request.header("content-type")));
        QVERIFY2(match.hasMatch(), request.header("content-type"));
        const QByteArray boundary = match.captured(1).toLatin1();

        // The device asset id ends with a UUID of its own, read back from the body.
        const QByteArray idPrefix = "pixavella-" + name.toUtf8() + "-";
        const qsizetype at = request.body.indexOf(idPrefix);
        QVERIFY(at > 0);
        const QByteArray uuid = request.body.mid(at + idPrefix.size(), 36);
        QVERIFY2(QRegularExpression(u"^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"_s)
                     .match(QString::fromLatin1(uuid))
                     .hasMatch(),
                 uuid);
        QVERIFY(!boundary.contains(uuid));

        QByteArray expected;
        const auto field = [&](const QByteArray& fieldName, const QByteArray& value) {
            expected += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" +
                        fieldName + "\"\r\n\r\n" + value + "\r\n";
        };
        field("deviceAssetId", idPrefix + uuid);
        field("deviceId", "pixavella-finder");
        field("fileCreatedAt", dateText);
        field("fileModifiedAt", dateText);
        expected += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"assetData\"; " +
                    "filename=\"" + announced +
                    "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes + "\r\n--" +
                    boundary + "--\r\n";
        QCOMPARE(request.header("content-length"), QByteArray::number(expected.size()));
        QCOMPARE(request.body, expected);
    }
    void failures_data()
    {
        // 0: the connection dropped; -1: no source file, so nothing is sent.
        QTest::addColumn<int>("answerStatus");
        QTest::addColumn<QByteArray>("answerBody");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("code");
        QTest::newRow("server error")
            << 500 << QByteArray(R"({"message":"x"})") << ErrorDomain::Client << 500;
        QTest::newRow("created without id")
            << 201 << QByteArray(R"({"status":"created"})") << ErrorDomain::Client << 201;
        QTest::newRow("connection dropped") << 0 << QByteArray() << ErrorDomain::Network
                                            << int(QNetworkReply::RemoteHostClosedError);
        QTest::newRow("source missing") << -1 << QByteArray() << ErrorDomain::File << ENOENT;
    }
    void failures()
    {
        QFETCH(int, answerStatus);
        QFETCH(QByteArray, answerBody);
        QFETCH(QString, domain);
        QFETCH(int, code);
        respond([=](const RawSocketServer::Request&) -> std::optional<QByteArray> {
            if (answerStatus <= 0)
                return std::nullopt;
            return httpAnswer(answerStatus, answerBody);
        });
        const bool sent = answerStatus >= 0;
        const QString source = sent ? writeSource(content(3000)) : m_dir.filePath(u"missing.jpg"_s);

        Awaited<UploadResult> upload;
        client().uploadAsset(source, u"x.jpg"_s, std::nullopt, upload.completion());
        const Result<UploadResult> result = upload.wait();

        QVERIFY(!result.ok());
        QCOMPARE(result.error().domain, domain);
        QCOMPARE(result.error().code, code);
        QCOMPARE(!seen().isEmpty(), sent);
    }
    void cancelAnswersOnce()
    {
        auto release = std::make_shared<QSemaphore>();
        respond([release](const RawSocketServer::Request&) -> std::optional<QByteArray> {
            release->tryAcquire(1, 10'000);
            return httpAnswer(201, R"({"id":"late"})");
        });
        Awaited<UploadResult> upload;
        auto task = client().uploadAsset(writeSource(content(4 * 1'048'576)), u"x.jpg"_s,
                                         std::nullopt, upload.completion());
        task->cancel();
        const Result<UploadResult> result = upload.wait();
        release->release();
        QVERIFY(!result.ok());
        QCOMPARE(result.error().code, int(QNetworkReply::OperationCanceledError));
        QCOMPARE(upload.calls(), 1);
    }
};

QTEST_GUILESS_MAIN(TestImmichUpload)
#include "TestImmichUpload.moc"
