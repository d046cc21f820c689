#include "HttpSession.h"
#include "RawSocketServer.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMutex>
#include <QNetworkReply>
#include <QSemaphore>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace pixavella;
using pixavella::testing::RawSocketServer;

namespace {

// Collects the completions of one request.
struct Outcome {
    QMutex mutex;
    QList<HttpReply> replies;
    QList<QThread*> threads;
    QList<QPair<qint64, qint64>> progress;
    QSemaphore done;

    HttpCompletion completion()
    {
        return [this](HttpReply reply) {
            {
                QMutexLocker lock(&mutex);
                replies.append(std::move(reply));
                threads.append(QThread::currentThread());
            }
            done.release();
        };
    }
    HttpProgress progressFn()
    {
        return [this](qint64 d, qint64 t) {
            QMutexLocker lock(&mutex);
            progress.append({d, t});
        };
    }
    bool wait(int ms = 15'000) { return done.tryAcquire(1, ms); }
    HttpReply reply()
    {
        QMutexLocker lock(&mutex);
        return replies.value(0);
    }
    int count()
    {
        QMutexLocker lock(&mutex);
        return int(replies.size());
    }
};

QByteArray pattern(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 2'463'534'242u;
    for (qsizetype i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x & 0xff);
    }
    return bytes;
}

} // namespace

class TestHttpSession : public QObject {
    Q_OBJECT

    httplib::Server m_server;
    std::thread m_serverThread;
    int m_port = 0;
    QTemporaryDir m_dir;

    std::mutex m_slowMutex;
    std::condition_variable m_slowCv;
    bool m_releaseSlow = false; // protected by m_slowMutex
    std::atomic<int> m_slowArrived{0};
    std::atomic<int> m_slowFinished{0};
    std::atomic<int> m_uploadHits{0};
    QByteArray m_uploadDigest; // written by the server thread before it answers
    qint64 m_uploadSize = 0;
    QByteArray m_lastCookieHeader;

    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();

    void answers_data();
    void answers();
    void sendsMethodHeadersAndBodyWithoutCookies();
    void uploadStreamsFile();
    void uploadOfMissingFileFailsBeforeSending();
    void downloadWritesFile();
    void downloadOfErrorAnswerKeepsNoFile();
    void truncatedDownloadIsTransportErrorAndRemovesFile();
    void droppedConnectionIsTransportError();
    void cancel_data();
    void cancel();
    void timeout();
    void callbacksRunOffMainAndNetworkThreads();
    void transportErrors_data();
    void transportErrors();
};

void TestHttpSession::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_server.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        res.status = std::stoi(req.matches[1]);
        if (res.status != 204)
            res.set_content("{\"answer\":" + std::string(req.matches[1]) + "}", "application/json");
    });
    auto echo = [this](const httplib::Request& req, httplib::Response& res) {
        m_lastCookieHeader = QByteArray::fromStdString(req.get_header_value("Cookie"));
        res.status = 201;
        res.set_header("Set-Cookie", "session=abc; Path=/");
        res.set_content(req.method + "|" + req.get_header_value("X-Test") + "|" +
                            req.get_header_value("Content-Type") + "|" + req.body,
                        "text/plain");
    };
    m_server.Post("/echo", echo);
    m_server.Patch("/echo", echo);
    m_server.Delete("/echo", echo);
    m_server.Post("/upload", [this](const httplib::Request&, httplib::Response& res,
                                    const httplib::ContentReader& reader) {
        QCryptographicHash hash(QCryptographicHash::Sha1);
        qint64 size = 0;
        reader([&](const char* data, size_t length) {
            hash.addData(QByteArrayView(data, qsizetype(length)));
            size += qint64(length);
            return true;
        });
        m_uploadDigest = hash.result();
        m_uploadSize = size;
        ++m_uploadHits;
        res.set_content(std::to_string(size), "text/plain");
    });
    m_server.Get("/download", [](const httplib::Request&, httplib::Response& res) {
        const QByteArray bytes = pattern(2 * 1024 * 1024 + 3);
        res.set_content(bytes.toStdString(), "application/octet-stream");
    });
    m_server.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
        ++m_slowArrived;
        std::unique_lock lock(m_slowMutex);
        m_slowCv.wait_for(lock, std::chrono::seconds(10), [this] { return m_releaseSlow; });
        res.set_content("late", "text/plain");
        ++m_slowFinished;
    });
    // Stopping waits for idle keep-alive connections to time out.
    m_server.set_keep_alive_timeout(1);
    m_port = m_server.bind_to_any_port("127.0.0.1");
    QVERIFY(m_port > 0);
    m_serverThread = std::thread([this] { m_server.listen_after_bind(); });
}

void TestHttpSession::cleanup()
{
    std::lock_guard lock(m_slowMutex);
    m_releaseSlow = true;
    m_slowCv.notify_all();
}

void TestHttpSession::cleanupTestCase()
{
    cleanup();
    m_server.stop();
    m_serverThread.join();
}

void TestHttpSession::answers_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("success");
    QTest::newRow("ok") << 200 << QByteArray("{\"answer\":200}") << true;
    QTest::newRow("no content") << 204 << QByteArray() << true;
    // Qt reports these as content or server errors; they are answers all the same.
    QTest::newRow("unauthorized") << 401 << QByteArray("{\"answer\":401}") << false;
    QTest::newRow("not found") << 404 << QByteArray("{\"answer\":404}") << false;
    QTest::newRow("bad request") << 400 << QByteArray("{\"answer\":400}") << false;
    QTest::newRow("unavailable") << 503 << QByteArray("{\"answer\":503}") << false;
}

void TestHttpSession::answers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, success);
    Outcome outcome;
    HttpRequest request;
    request.url = url(QStringLiteral("/status/%1").arg(status));
    HttpSession::shared().start(request, outcome.completion());
    QVERIFY(outcome.wait());
    const HttpReply reply = outcome.reply();
    QVERIFY(!reply.transportError);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.body, body);
    QCOMPARE(reply.isSuccess(), success);
    if (!body.isEmpty())
        QCOMPARE(reply.header("CONTENT-TYPE"), QByteArray("application/json"));
}

void TestHttpSession::sendsMethodHeadersAndBodyWithoutCookies()
{
    for (const QByteArray method : {"POST", "PATCH", "DELETE"}) {
        Outcome outcome;
        HttpRequest request;
        request.url = url(QStringLiteral("/echo"));
        request.method = method;
        request.setHeader("X-Test", "first");
        request.setHeader("x-test", "second");
        request.setHeader("Content-Type", "application/json");
        request.body = R"({"ids":["a"]})";
        HttpSession::shared().start(request, outcome.completion());
        QVERIFY(outcome.wait());
        const HttpReply reply = outcome.reply();
        QCOMPARE(reply.status, 201);
        QCOMPARE(reply.body, method + R"(|second|application/json|{"ids":["a"]})");
        // The previous answer set a cookie; it must never come back.
        QCOMPARE(m_lastCookieHeader, QByteArray());
    }
}

void TestHttpSession::uploadStreamsFile()
{
    const QByteArray content = pattern(3 * 1024 * 1024 + 17);
    const QString path = m_dir.filePath(QStringLiteral("upload.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), content.size());
    file.close();

    Outcome outcome;
    HttpRequest request;
    request.url = url(QStringLiteral("/upload"));
    request.method = "POST";
    request.setHeader("Content-Type", "application/octet-stream");
    request.uploadFile = path;
    request.body = "ignored when a file is given";
    HttpSession::shared().start(request, outcome.completion(), outcome.progressFn());
    QVERIFY(outcome.wait());
    const HttpReply reply = outcome.reply();
    QCOMPARE(reply.status, 200);
    QCOMPARE(m_uploadSize, content.size());
    QCOMPARE(m_uploadDigest, QCryptographicHash::hash(content, QCryptographicHash::Sha1));
    QMutexLocker lock(&outcome.mutex);
    QVERIFY(!outcome.progress.isEmpty());
    // Progress callbacks run before the completion, so the last one has been recorded.
    const auto sent = std::find_if(outcome.progress.cbegin(), outcome.progress.cend(),
                                   [&](const auto& p) { return p.first == content.size(); });
    QVERIFY(sent != outcome.progress.cend());
}

void TestHttpSession::uploadOfMissingFileFailsBeforeSending()
{
    const int hitsBefore = m_uploadHits;
    Outcome outcome;
    HttpRequest request;
    request.url = url(QStringLiteral("/upload"));
    request.method = "POST";
    request.uploadFile = m_dir.filePath(QStringLiteral("missing.bin"));
    HttpSession::shared().start(request, outcome.completion());
    QVERIFY(outcome.wait());
    const HttpReply reply = outcome.reply();
    QVERIFY(reply.transportError);
    QCOMPARE(reply.transportError->domain, ErrorDomain::File);
    QCOMPARE(reply.transportError->code, ENOENT);
    QCOMPARE(reply.status, -1);
    QCOMPARE(int(m_uploadHits), hitsBefore);
}

void TestHttpSession::downloadWritesFile()
{
    const QString path = m_dir.filePath(QStringLiteral("download.bin"));
    Outcome outcome;
    HttpRequest request;
    request.url = url(QStringLiteral("/download"));
    request.downloadFile = path;
    HttpSession::shared().start(request, outcome.completion(), outcome.progressFn());
    QVERIFY(outcome.wait());
    const HttpReply reply = outcome.reply();
    QVERIFY(reply.isSuccess());
    QVERIFY(reply.body.isEmpty());
    QCOMPARE(reply.downloadedFile, path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), pattern(2 * 1024 * 1024 + 3));
}

void TestHttpSession::downloadOfErrorAnswerKeepsNoFile()
{
    const QString path = m_dir.filePath(QStringLiteral("error.bin"));
    Outcome outcome;
    HttpRequest request;
    request.url = url(QStringLiteral("/status/404"));
    request.downloadFile = path;
    HttpSession::shared().start(request, outcome.completion());
    QVERIFY(outcome.wait());
    const HttpReply reply = outcome.reply();
    QCOMPARE(reply.status, 404);
    QCOMPARE(reply.body, QByteArray("{\"answer\":404}"));
    QVERIFY(reply.downloadedFile.isEmpty());
    QVERIFY(!QFile::exists(path));
}

void TestHttpSession::truncatedDownloadIsTransportErrorAndRemovesFile()
{
    RawSocketServer server([](int fd) {
        RawSocketServer::readRequest(fd);
        RawSocketServer::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" +
                                          QByteArray(1000, 'x'));
    });
    const QString path = m_dir.filePath(QStringLiteral("truncated.bin"));
    Outcome outcome;
    HttpRequest request;
    request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/file").arg(server.port()));
    request.downloadFile = path;
    HttpSession::shared().start(request, outcome.completion());
    QVERIFY(outcome.wait());
    const HttpReply reply = outcome.reply();
    QVERIFY(reply.transportError);
    QCOMPARE(reply.transportError->domain, ErrorDomain::Network);
    QCOMPARE(reply.transportError->code, int(QNetworkReply::RemoteHostClosedError));
    QVERIFY(!reply.isSuccess());
    QVERIFY(reply.downloadedFile.isEmpty());
    QVERIFY(!QFile::exists(path));
}

void TestHttpSession::droppedConnectionIsTransportError()
{
    RawSocketServer server([](int fd) { RawSocketServer::readRequest(fd); });
    for (const QByteArray method : {"GET", "POST"}) {
        Outcome outcome;
        HttpRequest request;
        request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(server.port()));
        request.method = method;
        request.body = method == "POST" ? QByteArray("{}") : QByteArray();
        HttpSession::shared().start(request, outcome.completion());
        QVERIFY(outcome.wait());
        const HttpReply reply = outcome.reply();
        QVERIFY(reply.transportError);
        QCOMPARE(reply.transportError->code, int(QNetworkReply::RemoteHostClosedError));
        QCOMPARE(reply.status, -1);
    }
}

void TestHttpSession::cancel_data()
{
    QTest::addColumn<bool>("waitForServer");
    QTest::newRow("before the request leaves") << false;
    QTest::newRow("while the server works") << true;
}

void TestHttpSession::cancel()
{
    QFETCH(bool, waitForServer);
    {
        std::lock_guard lock(m_slowMutex);
        m_releaseSlow = false;
    }
    const int arrivedBefore = m_slowArrived;
    Outcome outcome;
    HttpRequest request;
    request.url = url(QStringLiteral("/slow"));
    auto task = HttpSession::shared().start(request, outcome.completion());
    if (waitForServer)
        QTRY_VERIFY(m_slowArrived > arrivedBefore);
    task->cancel();
    QVERIFY(outcome.wait());
    const HttpReply reply = outcome.reply();
    QVERIFY(reply.transportError);
    QCOMPARE(reply.transportError->code, int(QNetworkReply::OperationCanceledError));
    task->cancel();

    // Let the server answer, then make sure nothing else arrives for the cancelled request.
    cleanup();
    Outcome after;
    HttpRequest probe;
    probe.url = url(QStringLiteral("/status/200"));
    HttpSession::shared().start(probe, after.completion());
    QVERIFY(after.wait());
    QCOMPARE(outcome.count(), 1);
}

void TestHttpSession::timeout()
{
    {
        std::lock_guard lock(m_slowMutex);
        m_releaseSlow = false;
    }
    Outcome outcome;
    HttpRequest request;
    request.url = url(QStringLiteral("/slow"));
    request.timeoutMs = 200;
    HttpSession::shared().start(request, outcome.completion());
    QVERIFY(outcome.wait());
    const HttpReply reply = outcome.reply();
    QVERIFY(reply.transportError);
    QCOMPARE(reply.transportError->domain, ErrorDomain::Network);
    QCOMPARE(reply.transportError->code, int(QNetworkReply::TimeoutError));
}

void TestHttpSession::callbacksRunOffMainAndNetworkThreads()
{
    // A completion that waits for another request's answer must not block that answer.
    Outcome inner;
    std::atomic<bool> innerArrived{false};
    QThread* outerThread = nullptr;
    QSemaphore outerDone;
    HttpRequest request;
    request.url = url(QStringLiteral("/status/200"));
    HttpSession::shared().start(request, [&](HttpReply) {
        outerThread = QThread::currentThread();
        HttpSession::shared().start(request, inner.completion());
        innerArrived = inner.wait(10'000);
        outerDone.release();
    });
    QVERIFY(outerDone.tryAcquire(1, 20'000));
    QVERIFY(innerArrived);
    QVERIFY(outerThread != QThread::currentThread());
    QVERIFY(outerThread->objectName() != QStringLiteral("HttpSession"));
    QMutexLocker lock(&inner.mutex);
    QVERIFY(inner.threads.value(0) != QThread::currentThread());
}

void TestHttpSession::transportErrors_data()
{
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<int>("code");
    QTest::newRow("connection refused")
        << QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(closedPort))
        << int(QNetworkReply::ConnectionRefusedError);
    // Only HTTP: a file URL must never be read as if it were an answer.
    QTest::newRow("file scheme") << QUrl(QStringLiteral("file:///etc/hostname"))
                                 << int(QNetworkReply::ProtocolUnknownError);
}

void TestHttpSession::transportErrors()
{
    QFETCH(QUrl, url);
    QFETCH(int, code);
    Outcome outcome;
    HttpRequest request;
    request.url = url;
    HttpSession::shared().start(request, outcome.completion());
    QVERIFY(outcome.wait());
    const HttpReply reply = outcome.reply();
    QVERIFY(reply.transportError);
    QCOMPARE(reply.transportError->domain, ErrorDomain::Network);
    QCOMPARE(reply.transportError->code, code);
    QCOMPARE(reply.status, -1);
    QVERIFY(!reply.hasResponse());
}

QTEST_GUILESS_MAIN(TestHttpSession)
#include "TestHttpSession.moc"
