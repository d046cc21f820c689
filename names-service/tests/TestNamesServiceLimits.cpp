// What slow or numerous clients can take of the pixavella-names binary: raw TCP connections on
// 127.0.0.1 that send their requests slowly or not at all, next to ordinary requests.

#include "ImmichDoubleProcess.h"
#include "NamesServiceProcess.h"

#include <QDeadlineTimer>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pixavella::testing;
using namespace Qt::StringLiterals;

namespace {

const QByteArray keyA = QByteArrayLiteral("key-a");
// Every wait below ends far later than a working service needs; reaching one means a hang.
constexpr int hangMs = 60000;

const QByteArray listHead = "GET /pixavella-names/names HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                            "x-api-key: key-a\r\n";

// A socket the test drives byte by byte, which an HTTP client library would not do.
class RawConnection {
public:
    // `from`: the local address to connect from; any of 127.0.0.0/8 is this machine.
    explicit RawConnection(quint16 port, const char* from = "127.0.0.1")
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        sockaddr_in remote{};
        remote.sin_family = AF_INET;
        remote.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
        m_connected = m_fd >= 0 &&
                      ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                      ::connect(m_fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0;
    }
    ~RawConnection()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return m_connected; }
    bool send(const QByteArray& bytes) const
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    // Takes what arrived within `ms`; false once the service has closed the connection.
    bool read(int ms)
    {
        pollfd entry{m_fd, POLLIN, 0};
        if (m_closed || ::poll(&entry, 1, ms) <= 0)
            return !m_closed;
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0)
            m_received.append(buffer, n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            m_closed = true;
        return !m_closed;
    }
    bool waitUntilClosed()
    {
        const QDeadlineTimer deadline(hangMs);
        while (read(100) && !deadline.hasExpired()) {
        }
        return m_closed;
    }
    bool waitForAnswers(int count)
    {
        const QDeadlineTimer deadline(hangMs);
        while (statuses().size() < count && read(100) && !deadline.hasExpired()) {
        }
        return statuses().size() >= count;
    }
    // The status of every answer so far, in order.
    QList<int> statuses() const
    {
        static const QRegularExpression statusLine(QStringLiteral("HTTP/1\\.1 (\\d{3}) "));
        QList<int> found;
        for (const auto& match : statusLine.globalMatch(QString::fromLatin1(m_received)))
            found << match.captured(1).toInt();
        return found;
    }
    const QByteArray& received() const { return m_received; }

private:
    int m_fd;
    bool m_connected = false;
    bool m_closed = false;
    QByteArray m_received;
};

} // namespace

class TestNamesServiceLimits : public QObject {
    Q_OBJECT

    ImmichDoubleProcess m_immich;
    QTemporaryDir m_files;
    int m_databases = 0;

    std::unique_ptr<NamesServiceProcess> startService(const QStringList& args = {})
    {
        auto service = std::make_unique<NamesServiceProcess>();
        const QString database = m_files.filePath(u"names_%1/names.sqlite"_s.arg(++m_databases));
        service->launch(
            QStringList{u"--immich-url"_s, m_immich.url().toString(), u"--database"_s, database} +
            args);
        return service->waitUntilListening() ? std::move(service) : nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_files.isValid());
        QVERIFY(m_immich.start({u"--user"_s, u"a@example.org:pa:key-a"_s}));
    }

    void answersOthersWhileHundredClientsTrickle()
    {
        // Trickling heads are cut only after ten minutes here: were the others answered only
        // once those connections ended, every request below would hang.
        const auto service =
            startService({u"--max-connections-per-address=200"_s, u"--header-timeout=600"_s});
        QVERIFY(service);
        std::vector<std::unique_ptr<RawConnection>> slow;
        for (int i = 0; i < 100; ++i) {
            slow.push_back(std::make_unique<RawConnection>(service->port()));
            QVERIFY(slow.back()->connected());
            QVERIFY(slow.back()->send(listHead));
        }

        auto others = std::async(std::launch::async, [&service] {
            QList<int> statuses;
            // The first failure ends the loop: a hang costs one client time-out, not twenty.
            while (statuses.size() < 20 && (statuses.isEmpty() || statuses.constLast() == 200))
                statuses << service->list(keyA).status;
            return statuses;
        });
        int line = 0;
        while (others.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
            const QByteArray header = "X-Trickle: " + QByteArray::number(++line) + "\r\n";
            for (const auto& connection : slow)
                QVERIFY(connection->send(header));
        }
        QCOMPARE(others.get(), QList<int>(20, 200));

        // The slow ones were held all along, not refused or cut, and are answered once their
        // heads end.
        for (const auto& connection : slow) {
            QVERIFY(connection->read(0));
            QVERIFY(connection->received().isEmpty());
            QVERIFY(connection->send("\r\n"));
        }
        for (const auto& connection : slow) {
            QVERIFY(connection->waitForAnswers(1));
            QCOMPARE(connection->statuses(), QList<int>{200});
        }
    }

    // How addresses are counted is TestAddressLimiter's; here, that the limit reaches sockets.
    void refusesConnectionsPastTheLimitOfAnAddress()
    {
        const int limit = 2;
        // The held connections never end their heads; they must outlast the test.
        const auto service = startService(
            {u"--max-connections-per-address=%1"_s.arg(limit), u"--header-timeout=600"_s});
        QVERIFY(service);
        std::vector<std::unique_ptr<RawConnection>> held;
        for (int i = 0; i < limit; ++i) {
            held.push_back(std::make_unique<RawConnection>(service->port()));
            QVERIFY(held.back()->connected());
            QVERIFY(held.back()->send(listHead));
        }

        // Connections are taken in the order they came, so this one is past the limit. It
        // sends nothing: the refusal alone is read.
        RawConnection refused(service->port());
        QVERIFY(refused.connected());
        QVERIFY(refused.waitUntilClosed());
        QCOMPARE(refused.statuses(), QList<int>{503});
        QVERIFY2(refused.received().contains("\"statusCode\":503"), refused.received().constData());
        QVERIFY(service->list(keyA).status != 200);

        RawConnection elsewhere(service->port(), "127.0.0.2");
        QVERIFY(elsewhere.connected());
        QVERIFY(elsewhere.send(listHead + "Connection: close\r\n\r\n"));
        QVERIFY(elsewhere.waitUntilClosed());
        QCOMPARE(elsewhere.statuses(), QList<int>{200});

        // A closed connection gives its place back, once the service has seen it go.
        held.pop_back();
        const QDeadlineTimer deadline(hangMs);
        int status = 0;
        while ((status = service->list(keyA).status) != 200 && !deadline.hasExpired())
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        QCOMPARE(status, 200);
        for (const auto& connection : held)
            QVERIFY(connection->read(0));
    }

    void cutsRequestsThatDoNotArriveInTime_data()
    {
        QTest::addColumn<QByteArray>("start");
        QTest::addColumn<QByteArray>("trickle"); // sent every 2 s until the service closes
        QTest::addColumn<int>("status");         // 0: closed without an answer

        QTest::newRow("head, a line every 2 s") << listHead << QByteArray("X-Slow: 1\r\n") << 408;
        QTest::newRow("body, a byte every 2 s")
            << QByteArray("PUT /pixavella-names/names/asset-1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "x-api-key: key-a\r\nContent-Type: application/json\r\n"
                          "Content-Length: 100\r\n\r\n{\"name\":\"Lent.jpg\"")
            << QByteArray(" ") << 408;
        QTest::newRow("chunked body, a byte every 2 s")
            << QByteArray("PUT /pixavella-names/names/asset-1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "x-api-key: key-a\r\nContent-Type: application/json\r\n"
                          "Transfer-Encoding: chunked\r\n\r\n64\r\n{\"name\":\"Lent.jpg\"")
            << QByteArray(" ") << 408;
        QTest::newRow("nothing sent") << QByteArray() << QByteArray() << 0;
    }
    void cutsRequestsThatDoNotArriveInTime()
    {
        QFETCH(QByteArray, start);
        QFETCH(QByteArray, trickle);
        QFETCH(int, status);
        const auto service = startService();
        QVERIFY(service);
        RawConnection connection(service->port());
        QVERIFY(connection.connected());
        QVERIFY(start.isEmpty() || connection.send(start));

        const QDeadlineTimer deadline(hangMs);
        while (connection.read(2000) && !deadline.hasExpired()) {
            // Once the answer is there the service has closed its side; sending is moot.
            if (!trickle.isEmpty() && connection.received().isEmpty())
                connection.send(trickle);
        }
        QVERIFY2(!connection.read(0), "still open");
        QCOMPARE(connection.statuses(), status ? QList<int>{status} : QList<int>{});
        QCOMPARE(service->list(keyA).json().object(), QJsonObject());
    }

    void readsBodiesHoweverFramed_data()
    {
        QTest::addColumn<QByteArray>("framing"); // header lines
        QTest::addColumn<QByteArray>("body");    // sent after the head and any interim answer
        QTest::addColumn<QList<int>>("statuses");

        const QByteArray json = NamesServiceProcess::nameBody(u"Plage.jpg"_s);
        const QByteArray length = "Content-Length: " + QByteArray::number(json.size()) + "\r\n";
        const QByteArray chunked = "Transfer-Encoding: chunked\r\n";
        const QByteArray chunks = QByteArray::number(10, 16) + ";x=y\r\n" + json.left(10) + "\r\n" +
                                  QByteArray::number(json.size() - 10, 16) + "\r\n" + json.mid(10) +
                                  "\r\n0\r\n\r\n";
        const QByteArray expect = "Expect: 100-continue\r\n";
        QTest::newRow("length") << length << json << QList<int>{200};
        QTest::newRow("chunks with an extension") << chunked << chunks << QList<int>{200};
        QTest::newRow("length, after 100 Continue")
            << QByteArray(expect + length) << json << QList<int>{100, 200};
        QTest::newRow("chunks, after 100 Continue")
            << QByteArray(chunked + expect) << chunks << QList<int>{100, 200};
        // Read to the end of the stream, any of these would hold a worker thread.
        QTest::newRow("no length") << QByteArray() << json << QList<int>{400};
        QTest::newRow("two lengths") << QByteArray(length + length) << json << QList<int>{400};
        QTest::newRow("unknown coding")
            << QByteArray("Transfer-Encoding: gzip\r\n") << json << QList<int>{400};
        QTest::newRow("chunk over 64 KiB") << chunked << QByteArray("10001\r\n") << QList<int>{413};
        QTest::newRow("length over 64 KiB, before 100 Continue")
            << QByteArray(expect + "Content-Length: 65537\r\n") << QByteArray() << QList<int>{413};
    }
    void readsBodiesHoweverFramed()
    {
        QFETCH(QByteArray, framing);
        QFETCH(QByteArray, body);
        QFETCH(QList<int>, statuses);
        const auto service = startService();
        QVERIFY(service);
        RawConnection connection(service->port());
        QVERIFY(connection.connected());
        QVERIFY(connection.send("PUT /pixavella-names/names/asset-1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                "x-api-key: key-a\r\nContent-Type: application/json\r\n"
                                "Connection: close\r\n" +
                                framing + "\r\n"));
        // A client that asked to be told waits for the word before sending its body.
        if (framing.contains("Expect:"))
            QVERIFY(connection.waitForAnswers(1));
        if (connection.statuses().value(0, 100) == 100)
            QVERIFY(connection.send(body));
        QVERIFY(connection.waitUntilClosed());
        QCOMPARE(connection.statuses(), statuses);
        const QJsonObject stored = statuses.constLast() == 200
                                       ? QJsonObject{{u"asset-1"_s, u"Plage.jpg"_s}}
                                       : QJsonObject();
        QCOMPARE(service->list(keyA).json().object(), stored);
    }

    void keptAliveConnectionAnswersPipelinedRequests()
    {
        const auto service = startService();
        QVERIFY(service);
        RawConnection connection(service->port());
        QVERIFY(connection.connected());
        const QByteArray body = NamesServiceProcess::nameBody(u"Plage.jpg"_s);
        const QByteArray put = "PUT /pixavella-names/names/asset-1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               "x-api-key: key-a\r\nContent-Type: application/json\r\n"
                               "Content-Length: " +
                               QByteArray::number(body.size()) + "\r\n\r\n" + body;
        const QByteArray list = listHead + "\r\n";
        // Two requests in one write, the second's head split from the first's body.
        QVERIFY(connection.send(put + list.left(20)));
        QVERIFY(connection.send(list.mid(20)));
        QVERIFY(connection.waitForAnswers(2));
        QVERIFY(connection.send(listHead + "Connection: close\r\n\r\n"));
        QVERIFY(connection.waitUntilClosed());
        QCOMPARE(connection.statuses(), (QList<int>{200, 200, 200}));
        QVERIFY(connection.received().endsWith("{\"asset-1\":\"Plage.jpg\"}"));
    }
};

QTEST_GUILESS_MAIN(TestNamesServiceLimits)
#include "TestNamesServiceLimits.moc"
