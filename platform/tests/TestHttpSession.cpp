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
    QList<qint64> progress;
    QSemaphore done;

    HttpCompletion completion()
    {
        return [this](HttpReply reply) {
            {
                QMutexLocker lock(&mutex);
                replies.append(std::move(reply));
            }
            done.release();
        };
    }
    HttpProgress progressFn()
    {
        return [this](qint64 done, qint64) {
            QMutexLocker lock(&mutex);
            progress.append(done);
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

HttpReply run(HttpRequest request, Outcome& outcome)
{
    HttpSession::shared().start(std::move(request), outcome.completion(), outcome.progressFn());
    return outcome.wait() ? outcome.reply() : HttpReply{};
}

HttpReply run(HttpRequest request)
{
    Outcome outcome;
    return run(std::move(request), outcome);
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
    std::atomic<int> m_uploadHits{0};
    QByteArray m_uploadDigest; // written by the server thread before it answers
    QByteArray m_lastCookieHeader;

    QUrl url(const QString& path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
    }
    void holdSlowAnswers()
    {
        std::lock_guard lock(m_slowMutex);
        m_releaseSlow = false;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_server.Get(R"(/status/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
            res.status = std::stoi(req.matches[1]);
            if (res.status != 204)
                res.set_content("{\"answer\":" + std::string(req.matches[1]) + "}",
                                "application/json");
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
        m_server.Post("/upload", [this](const httplib::Request&, httplib::Response&,
                                        const httplib::ContentReader& reader) {
            QCryptographicHash hash(QCryptographicHash::Sha1);
            reader([&](const char* data, size_t length) {
                hash.addData(QByteArrayView(data, qsizetype(length)));
                return true;
            });
            m_uploadDigest = hash.result();
            ++m_uploadHits;
        });
        m_server.Get("/download", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(pattern(2 * 1024 * 1024 + 3).toStdString(), "application/octet-stream");
        });
        m_server.Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            ++m_slowArrived;
            std::unique_lock lock(m_slowMutex);
            m_slowCv.wait_for(lock, std::chrono::seconds(10), [this] { return m_releaseSlow; });
            res.set_content("late", "text/plain");
        });
        // Stopping waits for idle keep-alive connections to time out.
        m_server.set_keep_alive_timeout(1);
        m_port = m_server.bind_to_any_port("127.0.0.1");
        QVERIFY(m_port > 0);
        m_serverThread = std::thread([this] { m_server.listen_after_bind(); });
    }

    void cleanup()
    {
        std::lock_guard lock(m_slowMutex);
        m_releaseSlow = true;
        m_slowCv.notify_all();
    }

    void cleanupTestCase()
    {
        cleanup();
        m_server.stop();
        m_serverThread.join();
    }

    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("success");
        QTest::newRow("ok") << 200 << true;
        QTest::newRow("no content") << 204 << true;
        // Qt reports these as content or server errors; they are answers all the same.
        QTest::newRow("unauthorized") << 401 << false;
        QTest::newRow("unavailable") << 503 << false;
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(bool, success);
        HttpRequest request;
        request.url = url(QStringLiteral("/status/%1").arg(status));
        const HttpReply reply = run(request);
        QVERIFY(!reply.transportError);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.isSuccess(), success);
        if (status != 204) {
            QCOMPARE(reply.body, QByteArray("{\"answer\":") + QByteArray::number(status) + '}');
            QCOMPARE(reply.header("CONTENT-TYPE"), QByteArray("application/json"));
        }
    }

    void sendsMethodHeadersAndBodyWithoutCookies()
    {
        for (const QByteArray method : {"POST", "PATCH", "DELETE"}) {
            HttpRequest request;
            request.url = url(QStringLiteral("/echo"));
            request.method = method;
            request.setHeader("X-Test", "first");
            request.setHeader("x-test", "second");
            request.setHeader("Content-Type", "application/json");
            request.body = R"({"ids":["a"]})";
            const HttpReply reply = run(request);
            QCOMPARE(reply.status, 201);
            QCOMPARE(reply.body, method + R"(|second|application/json|{"ids":["a"]})");
            // The previous answer set a cookie; it must never come back.
            QCOMPARE(m_lastCookieHeader, QByteArray());
        }
    }

    void uploadStreamsTheFile()
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
        request.uploadFile = path;
        request.body = "ignored when a file is given";
        QCOMPARE(run(request, outcome).status, 200);
        QCOMPARE(m_uploadDigest, QCryptographicHash::hash(content, QCryptographicHash::Sha1));
        // Progress callbacks run before the completion, so the last one has been recorded.
        QVERIFY(outcome.progress.contains(content.size()));

        // A file that vanished fails before anything is sent.
        const int hitsBefore = m_uploadHits;
        request.uploadFile = m_dir.filePath(QStringLiteral("missing.bin"));
        const HttpReply missing = run(request);
        QVERIFY(missing.transportError);
        QCOMPARE(missing.transportError->domain, ErrorDomain::File);
        QCOMPARE(missing.transportError->code, ENOENT);
        QCOMPARE(int(m_uploadHits), hitsBefore);
    }

    void downloadWritesOnlySuccessfulBodiesToTheFile()
    {
        HttpRequest request;
        request.url = url(QStringLiteral("/download"));
        request.downloadFile = m_dir.filePath(QStringLiteral("download.bin"));
        HttpReply reply = run(request);
        QVERIFY(reply.isSuccess());
        QVERIFY(reply.body.isEmpty());
        QCOMPARE(reply.downloadedFile, request.downloadFile);
        QFile file(request.downloadFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), pattern(2 * 1024 * 1024 + 3));

        request.url = url(QStringLiteral("/status/404"));
        request.downloadFile = m_dir.filePath(QStringLiteral("error.bin"));
        reply = run(request);
        QCOMPARE(reply.status, 404);
        QCOMPARE(reply.body, QByteArray("{\"answer\":404}"));
        QVERIFY(reply.downloadedFile.isEmpty());
        QVERIFY(!QFile::exists(request.downloadFile));
    }

    void transportErrors_data()
    {
        QTest::addColumn<QString>("server"); // what a raw server does, or the URL to ask
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<int>("code");
        const int closed = int(QNetworkReply::RemoteHostClosedError);
        QTest::newRow("connection refused")
            << "refused" << QByteArray("GET") << int(QNetworkReply::ConnectionRefusedError);
        // Only HTTP: a file URL must never be read as if it were an answer.
        QTest::newRow("file scheme") << "file:///etc/hostname" << QByteArray("GET")
                                     << int(QNetworkReply::ProtocolUnknownError);
        QTest::newRow("dropped GET") << "drop" << QByteArray("GET") << closed;
        QTest::newRow("dropped POST") << "drop" << QByteArray("POST") << closed;
        QTest::newRow("truncated download") << "truncate" << QByteArray("GET") << closed;
    }

    void transportErrors()
    {
        QFETCH(QString, server);
        QFETCH(QByteArray, method);
        QFETCH(int, code);
        RawSocketServer raw([server](int fd) {
            RawSocketServer::readRequest(fd);
            if (server == QLatin1String("truncate"))
                RawSocketServer::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" +
                                                  QByteArray(1000, 'x'));
        });
        HttpRequest request;
        request.method = method;
        request.body = method == "POST" ? QByteArray("{}") : QByteArray();
        request.downloadFile = m_dir.filePath(QStringLiteral("partial.bin"));
        request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(raw.port()));
        if (server == QLatin1String("refused")) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost));
            request.url.setPort(probe.serverPort());
            probe.close();
        } else if (server.contains(':')) {
            request.url = QUrl(server);
        }
        const HttpReply reply = run(request);
        QVERIFY(reply.transportError);
        QCOMPARE(reply.transportError->domain, ErrorDomain::Network);
        QCOMPARE(reply.transportError->code, code);
        QVERIFY(!reply.hasResponse());
        QVERIFY(reply.downloadedFile.isEmpty());
        QVERIFY(!QFile::exists(request.downloadFile));
    }

    void cancel_data()
    {
        QTest::addColumn<bool>("waitForServer");
        QTest::newRow("before the request leaves") << false;
        QTest::newRow("while the server works") << true;
    }

    void cancel()
    {
        QFETCH(bool, waitForServer);
        holdSlowAnswers();
        const int arrivedBefore = m_slowArrived;
        Outcome outcome;
        HttpRequest request;
        request.url = url(QStringLiteral("/slow"));
        auto task = HttpSession::shared().start(request, outcome.completion());
        if (waitForServer)
            QTRY_VERIFY(m_slowArrived > arrivedBefore);
        task->cancel();
        QVERIFY(outcome.wait());
        QVERIFY(outcome.reply().transportError);
        QCOMPARE(outcome.reply().transportError->code, int(QNetworkReply::OperationCanceledError));
        task->cancel();

        // Let the server answer, then make sure nothing else arrives for the cancelled request.
        cleanup();
        HttpRequest probe;
        probe.url = url(QStringLiteral("/status/200"));
        QCOMPARE(run(probe).status, 200);
        QCOMPARE(outcome.count(), 1);
    }

    void silentServerTimesOut()
    {
        holdSlowAnswers();
        HttpRequest request;
        request.url = url(QStringLiteral("/slow"));
        request.timeoutMs = 200;
        const HttpReply reply = run(request);
        QVERIFY(reply.transportError);
        QCOMPARE(reply.transportError->code, int(QNetworkReply::TimeoutError));
    }

    void completionMayWaitForAnotherRequest()
    {
        // Completions run on a pool, neither on the main nor on the network thread, so one that
        // waits for another request's answer does not block that answer.
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
    }
};

QTEST_GUILESS_MAIN(TestHttpSession)
#include "TestHttpSession.moc"
