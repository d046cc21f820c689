// Downloads below HTTP: one that arrives in pieces is stored whole; each failure is reported as
// a network error, and a download left unfinished leaves no file behind.
#include "HttpSession.h"
#include "RawSocketServer.h"

#include <QFile>
#include <QNetworkReply>
#include <QSemaphore>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <optional>

using namespace pixavella;
using pixavella::testing::RawSocketServer;

namespace {

// The session's answer to `request`, or nothing when none came within 15 s.
std::optional<HttpReply> run(const HttpRequest& request)
{
    HttpReply reply;
    QSemaphore done;
    HttpSession::shared().start(request, [&](HttpReply r) {
        reply = std::move(r);
        done.release();
    });
    if (!done.tryAcquire(1, 15'000))
        return std::nullopt;
    return reply;
}

} // namespace

class TestHttpTransport : public QObject {
    Q_OBJECT

private slots:
    void downloadStoredWhole()
    {
        // Several write blocks of the session, sent in pieces of another size, ending inside
        // a block.
        QByteArray body(2 * 1024 * 1024 + 300'007, Qt::Uninitialized);
        for (qsizetype i = 0; i < body.size(); ++i)
            body[i] = char((i * 7 + i / 4099) % 256);
        RawSocketServer raw([&body](int fd) {
            RawSocketServer::readRequest(fd);
            RawSocketServer::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                              QByteArray::number(body.size()) + "\r\n\r\n");
            for (qsizetype at = 0; at < body.size(); at += 77'777)
                RawSocketServer::writeAll(fd, body.mid(at, 77'777));
        });
        QTemporaryDir dir;
        HttpRequest request;
        request.downloadFile = dir.filePath(QStringLiteral("original.bin"));
        request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(raw.port()));
        std::optional<HttpReply> answered = run(request);
        QVERIFY(answered);
        const HttpReply& reply = *answered;
        QVERIFY(reply.isSuccess());
        QCOMPARE(reply.downloadedFile, request.downloadFile);
        QFile file(request.downloadFile);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == body);
    }

    void failures_data()
    {
        QTest::addColumn<QString>("server"); // what the server does, or the URL to ask
        QTest::addColumn<int>("code");
        QTest::newRow("refused") << "refused" << int(QNetworkReply::ConnectionRefusedError);
        // Only HTTP: a file URL must never be read as if it were an answer.
        QTest::newRow("file scheme")
            << "file:///etc/hostname" << int(QNetworkReply::ProtocolUnknownError);
        QTest::newRow("dropped") << "drop" << int(QNetworkReply::RemoteHostClosedError);
        QTest::newRow("truncated") << "truncate" << int(QNetworkReply::RemoteHostClosedError);
        QTest::newRow("silent") << "silent" << int(QNetworkReply::TimeoutError);
    }
    void failures()
    {
        QFETCH(QString, server);
        QFETCH(int, code);
        QTemporaryDir dir;
        RawSocketServer raw([server](int fd) {
            RawSocketServer::readRequest(fd);
            if (server == QLatin1String("truncate"))
                RawSocketServer::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" +
                                                  QByteArray(1000, 'x'));
        });
        QTcpServer listener; // accepts connections in the kernel, never answers
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        HttpRequest request;
        request.method = "POST";
        request.body = "{}";
        request.downloadFile = dir.filePath(QStringLiteral("partial.bin"));
        request.url = QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(raw.port()));
        if (server == QLatin1String("refused") || server == QLatin1String("silent"))
            request.url.setPort(listener.serverPort());
        if (server == QLatin1String("silent"))
            request.timeoutMs = 300;
        if (server == QLatin1String("refused"))
            listener.close();
        else if (server.contains(':'))
            request.url = QUrl(server);

        std::optional<HttpReply> answered = run(request);
        QVERIFY(answered);
        const HttpReply& reply = *answered;
        QVERIFY(reply.transportError);
        QCOMPARE(reply.transportError->domain, ErrorDomain::Network);
        QCOMPARE(reply.transportError->code, code);
        QVERIFY(!reply.hasResponse());
        QVERIFY(!QFile::exists(request.downloadFile));
    }
};

QTEST_GUILESS_MAIN(TestHttpTransport)
#include "TestHttpTransport.moc"
