// Paths the double hands on to another server (as the reverse proxy in front of Immich hands on
// the names service): each header of the answer comes back once, and a compressed body comes
// back as it was sent, readable by a client that asked for it and by one that did not.
#include "ImmichDoubleProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

#include <httplib.h>

#include <thread>

using namespace Qt::StringLiterals;
using pixavella::testing::ImmichDoubleProcess;

namespace {

struct RawAnswer {
    QList<QPair<QByteArray, QByteArray>> headers; // lower-case names, in order
    QByteArray body;

    int count(const QByteArray& name) const
    {
        return int(std::count_if(headers.begin(), headers.end(),
                                 [&](const auto& header) { return header.first == name; }));
    }
    QByteArray value(const QByteArray& name) const
    {
        for (const auto& header : headers) {
            if (header.first == name)
                return header.second;
        }
        return {};
    }
};

// One request over a plain socket, so that the answer's headers are seen exactly as sent.
RawAnswer rawGet(quint16 port, const QByteArray& path, const QByteArray& extraHeaders)
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(10000))
        return {};
    socket.write("GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                 extraHeaders + "\r\n");
    QByteArray bytes;
    while (socket.waitForReadyRead(10000))
        bytes += socket.readAll();
    bytes += socket.readAll();
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    RawAnswer answer;
    if (end < 0)
        return answer;
    for (const QByteArray& line : bytes.left(end).split('\n').mid(1)) {
        const qsizetype colon = line.indexOf(':');
        answer.headers.append(
            {line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
    }
    answer.body = bytes.mid(end + 4);
    return answer;
}

} // namespace

class TestReverseProxy : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void answerHeadersComeOnce_data();
    void answerHeadersComeOnce();

private:
    httplib::Server m_upstream;
    std::thread m_thread;
    int m_upstreamPort = 0;
    ImmichDoubleProcess m_double;
    QByteArray m_json;
};

void TestReverseProxy::initTestCase()
{
    // Large enough for the library to compress it for a client that accepts gzip.
    QJsonObject names;
    for (int i = 0; i < 200; ++i)
        names.insert(u"asset-%1"_s.arg(i), u"IMG_%1.JPG"_s.arg(i, 4, 10, QChar(u'0')));
    m_json = QJsonDocument(names).toJson(QJsonDocument::Compact);
    m_upstream.Get("/pixavella-names/names",
                   [this](const httplib::Request&, httplib::Response& res) {
                       res.set_header("X-Names-Version", "7");
                       res.set_content(m_json.toStdString(), "application/json");
                   });
    m_upstreamPort = m_upstream.bind_to_any_port("127.0.0.1");
    QVERIFY(m_upstreamPort > 0);
    m_thread = std::thread([this] { m_upstream.listen_after_bind(); });

    QVERIFY(m_double.start());
    m_double.control(
        "POST", u"/_double/forward"_s,
        QJsonDocument(QJsonObject{{"prefix"_L1, "/pixavella-names"_L1},
                                  {"url"_L1, u"http://127.0.0.1:%1"_s.arg(m_upstreamPort)}}));
}

void TestReverseProxy::cleanupTestCase()
{
    m_upstream.stop();
    if (m_thread.joinable())
        m_thread.join();
}

void TestReverseProxy::answerHeadersComeOnce_data()
{
    QTest::addColumn<QByteArray>("acceptEncoding"); // empty: none sent
    QTest::addColumn<QByteArray>("contentEncoding");
    QTest::newRow("gzip accepted") << QByteArray("gzip, deflate") << QByteArray("gzip");
    QTest::newRow("nothing accepted") << QByteArray() << QByteArray();
}

void TestReverseProxy::answerHeadersComeOnce()
{
    QFETCH(QByteArray, acceptEncoding);
    QFETCH(QByteArray, contentEncoding);
    const RawAnswer answer = rawGet(
        m_double.port(), "/pixavella-names/names",
        acceptEncoding.isEmpty() ? QByteArray() : "Accept-Encoding: " + acceptEncoding + "\r\n");
    QVERIFY(!answer.headers.isEmpty());
    for (const auto& header : answer.headers)
        QVERIFY2(answer.count(header.first) == 1, header.first.constData());
    QCOMPARE(answer.value("x-names-version"), QByteArray("7"));
    QCOMPARE(answer.value("content-encoding"), contentEncoding);
    QCOMPARE(answer.value("content-length").toLongLong(), answer.body.size());
    if (contentEncoding.isEmpty()) {
        QCOMPARE(answer.body, m_json);
    } else {
        QVERIFY(answer.body.startsWith("\x1f\x8b")); // gzip, as the names service sent it
        httplib::Client client("127.0.0.1", m_double.port());
        const auto decoded = client.Get("/pixavella-names/names", {{"Accept-Encoding", "gzip"}});
        QVERIFY(decoded);
        QCOMPARE(QByteArray::fromStdString(decoded->body), m_json);
    }
}

QTEST_GUILESS_MAIN(TestReverseProxy)
#include "TestReverseProxy.moc"
