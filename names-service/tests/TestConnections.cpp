// What slow or numerous clients can take: ConnectionScheduler fed sockets this test accepts,
// and LimitedHttpServer, httplib on top of it. Raw TCP connections on 127.0.0.1 send their
// requests slowly or not at all, next to ordinary ones.

#include "ClientConnection.h"
#include "ConnectionScheduler.h"
#include "LimitedHttpServer.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTest>

#include <future>
#include <limits>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace pixavella::names;
using namespace std::chrono_literals;

namespace {

// Every wait below ends far later than working code needs; reaching one means a hang.
constexpr int hangMs = 60000;
const QByteArray getHead = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
const QByteArray putHead = "PUT /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";

sockaddr_in loopback(const char* address, quint16 port)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &in.sin_addr);
    return in;
}

// A socket the test drives byte by byte, which an HTTP client library would not do.
class RawConnection {
public:
    // `from`: the local address to connect from; any of 127.0.0.0/8 is this machine.
    explicit RawConnection(quint16 port, const char* from = "127.0.0.1")
        : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        const sockaddr_in local = loopback(from, 0);
        const sockaddr_in remote = loopback("127.0.0.1", port);
        m_connected =
            ::bind(m_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
            ::connect(m_fd, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0;
    }
    ~RawConnection() { ::close(m_fd); }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return m_connected; }
    bool send(const QByteArray& bytes) const
    {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    // Takes what arrived within `ms`; false once the other side has closed the connection.
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
    bool waitForAnswers(int count)
    {
        const QDeadlineTimer deadline(hangMs);
        while (statuses().size() < count && read(100) && !deadline.hasExpired()) {
        }
        return statuses().size() >= count;
    }
    bool waitUntilClosed()
    {
        waitForAnswers(std::numeric_limits<int>::max());
        return m_closed;
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
    const int m_fd;
    bool m_connected = false;
    bool m_closed = false;
    QByteArray m_received;
};

// A scheduler fed by a listening socket of the test's, its answers all 200 and closing.
class Scheduled {
public:
    explicit Scheduled(const ConnectionLimits& limits, std::function<void()> onServe = {})
        : m_listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
          m_scheduler(limits, 100, [this, onServe](ClientConnection& connection) {
              ++served;
              if (onServe)
                  onServe();
              const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
              connection.write(ok.data(), ok.size());
              return false;
          })
    {
        sockaddr_in address = loopback("127.0.0.1", 0);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length);
        ::listen(m_listener, SOMAXCONN);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~Scheduled() { ::close(m_listener); }

    // Connects from `from` and hands the accepted socket to the scheduler.
    std::unique_ptr<RawConnection> connect(const char* from = "127.0.0.1")
    {
        auto connection = std::make_unique<RawConnection>(m_port, from);
        const int accepted = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (!connection->connected() || accepted < 0)
            return nullptr;
        m_scheduler.admit(accepted);
        return connection;
    }
    ConnectionScheduler& scheduler() { return m_scheduler; }

    std::atomic<int> served = 0;

private:
    const int m_listener;
    quint16 m_port = 0;
    ConnectionScheduler m_scheduler;
};

// The server on a thread of its own: PUT /echo answers the body it read, GET / "ok".
class EchoServer {
public:
    explicit EchoServer(int keepAliveMaxCount = 5) : m_server(ConnectionLimits{})
    {
        m_server.set_keep_alive_max_count(size_t(keepAliveMaxCount));
        m_server.Put("/echo", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.body, "text/plain");
        });
        m_server.Get("/", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("ok", "text/plain");
        });
        port = quint16(m_server.bind("127.0.0.1", 0).value_or(0));
        m_thread = std::thread([this] {
            m_server.listen_after_bind();
            m_finished = true;
        });
    }
    ~EchoServer()
    {
        // A stop before listening has begun is not seen: asked until it is.
        while (!m_finished) {
            m_server.stop();
            std::this_thread::sleep_for(10ms);
        }
        m_thread.join();
    }

    quint16 port = 0;

private:
    LimitedHttpServer m_server;
    std::thread m_thread;
    std::atomic<bool> m_finished = false;
};

} // namespace

class TestConnections : public QObject {
    Q_OBJECT

private slots:
    // How addresses are counted is TestAddressLimiter's; here, that the limits reach sockets.
    void refusesConnectionsPastTheLimits()
    {
        ConnectionLimits limits;
        limits.total = 3;
        limits.perAddress = 2;
        limits.headerTimeout = 600s; // the held connections must outlast the test
        Scheduled scheduled(limits);
        std::vector<std::unique_ptr<RawConnection>> held;
        for (const char* from : {"127.0.0.1", "127.0.0.1", "127.0.0.2"}) {
            held.push_back(scheduled.connect(from));
            QVERIFY(held.back() && held.back()->send(getHead));
        }
        // Sending nothing, they read the refusal alone.
        for (const char* from : {"127.0.0.1", "127.0.0.3"}) {
            const auto refused = scheduled.connect(from);
            QVERIFY(refused && refused->waitUntilClosed());
            QCOMPARE(refused->statuses(), QList<int>{503});
            QVERIFY2(refused->received().contains("\"statusCode\":503"),
                     refused->received().constData());
        }

        // A closed connection gives its place back, once the scheduler has seen it go.
        held.front().reset();
        const QDeadlineTimer deadline(hangMs);
        QList<int> statuses;
        while (statuses != QList<int>{200} && !deadline.hasExpired()) {
            const auto again = scheduled.connect();
            QVERIFY(again && again->send(getHead + "\r\n") && again->waitUntilClosed());
            statuses = again->statuses();
        }
        QCOMPARE(statuses, QList<int>{200});
        for (const auto& connection : held)
            QVERIFY(!connection || connection->read(0));
    }

    // A request gets a worker only once it has wholly arrived: a hundred clients trickling
    // their heads hold no worker from the others.
    void answersOthersWhileHundredClientsTrickle()
    {
        ConnectionLimits limits;
        limits.workers = 2;
        limits.perAddress = 0;
        limits.headerTimeout = 600s;
        Scheduled scheduled(limits);
        std::vector<std::unique_ptr<RawConnection>> slow;
        for (int i = 0; i < 100; ++i) {
            slow.push_back(scheduled.connect());
            QVERIFY(slow.back() && slow.back()->send(getHead + "X-Trickle: 1\r\n"));
        }
        for (int i = 0; i < 20; ++i) {
            const auto other = scheduled.connect();
            QVERIFY(other && other->send(getHead + "\r\n") && other->waitUntilClosed());
            QCOMPARE(other->statuses(), QList<int>{200});
        }
        // The slow ones were held all along, not refused or cut, and are answered once their
        // heads end.
        for (const auto& connection : slow) {
            QVERIFY(connection->read(0) && connection->received().isEmpty());
            QVERIFY(connection->send("X-Trickle: 2\r\n\r\n"));
        }
        for (const auto& connection : slow) {
            QVERIFY(connection->waitUntilClosed());
            QCOMPARE(connection->statuses(), QList<int>{200});
        }
    }

    // Refused before any worker sees them; past its deadline a request is cut however it
    // trickles in.
    void refusesOrCutsRequests()
    {
        // `trickle`: sent every 300 ms until the scheduler closes; `status` 0: closed without
        // an answer.
        const auto row = [](const char* name, const QByteArray& start, int status,
                            const QByteArray& trickle = {}) {
            ConnectionLimits limits;
            limits.headerTimeout = limits.bodyTimeout = 1s;
            limits.maxHeadBytes = 1024;
            Scheduled scheduled(limits);
            const auto connection = scheduled.connect();
            QVERIFY(connection && (start.isEmpty() || connection->send(start)));
            const QDeadlineTimer deadline(hangMs);
            while (connection->read(300) && !deadline.hasExpired()) {
                // Once the answer is there the scheduler has closed its side; sending is moot.
                if (!trickle.isEmpty() && connection->received().isEmpty())
                    connection->send(trickle);
            }
            QVERIFY2(!connection->read(0), name);
            QCOMPARE(connection->statuses(), status ? QList<int>{status} : QList<int>{});
            QCOMPARE(scheduled.served.load(), 0);
        };
        const QByteArray put = "PUT /echo HTTP/1.1\r\nHost: h\r\n";
        row("head, a line every 300 ms", getHead, 408, "X-Slow: 1\r\n");
        row("body, a byte every 300 ms", put + "Content-Length: 50\r\n\r\n{", 408, " ");
        row("chunked body, a byte every 300 ms", put + "Transfer-Encoding: chunked\r\n\r\n32\r\n{",
            408, " ");
        row("nothing sent", {}, 0);
        row("head too large", getHead + QByteArray(2000, 'x'), 431);
        row("length too large", put + "Content-Length: 101\r\n\r\n", 413);
        row("length too large, before 100 Continue",
            put + "Expect: 100-continue\r\nContent-Length: 101\r\n\r\n", 413);
        row("chunk too large", put + "Transfer-Encoding: chunked\r\n\r\n65\r\n", 413);
        // Read to the end of the stream, any of these would hold a worker.
        row("two lengths", put + "Content-Length: 1\r\nContent-Length: 1\r\n\r\nx", 400);
        row("unknown coding", put + "Transfer-Encoding: gzip\r\n\r\nx", 400);
    }

    // Stopping closes the connections still waiting and answers those that arrived.
    void shutdownAnswersWhatArrived()
    {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        Scheduled scheduled(ConnectionLimits{},
                            [released] { released.wait_for(std::chrono::milliseconds(hangMs)); });
        // Given to the watching thread first: once the other is served, this one waits there.
        const auto waiting = scheduled.connect();
        QVERIFY(waiting && waiting->send(getHead));
        const auto arrived = scheduled.connect();
        QVERIFY(arrived && arrived->send(getHead + "\r\n"));
        QTRY_COMPARE(scheduled.served.load(), 1);
        auto stopped = std::async(std::launch::async, [&] { scheduled.scheduler().shutdown(); });
        QVERIFY(waiting->waitUntilClosed());
        QVERIFY(waiting->received().isEmpty());
        QCOMPARE(stopped.wait_for(100ms), std::future_status::timeout);
        release.set_value();
        QVERIFY(arrived->waitUntilClosed());
        QCOMPARE(arrived->statuses(), QList<int>{200});
        stopped.get();
    }

    // What reaches httplib is the request as sent, however its body was framed.
    void readsBodiesHoweverFramed()
    {
        // `framing`: header lines; `body`: sent after the head and any interim answer.
        const auto row = [](const QByteArray& framing, const QByteArray& body,
                            const QByteArray& echoed) {
            const EchoServer server;
            RawConnection connection(server.port);
            QVERIFY(connection.connected());
            QVERIFY(connection.send(putHead + framing + "\r\n"));
            // A client that asked to be told waits for the word before sending its body.
            const bool expects = framing.contains("Expect:");
            if (expects)
                QVERIFY(connection.waitForAnswers(1));
            QVERIFY(connection.send(body));
            QVERIFY(connection.waitUntilClosed());
            QCOMPARE(connection.statuses(), expects ? QList<int>({100, 200}) : QList<int>{200});
            QVERIFY2(connection.received().endsWith("\r\n\r\n" + echoed),
                     connection.received().constData());
        };
        const QByteArray json = R"({"name":"Plage.jpg"})";
        const QByteArray length = "Content-Length: " + QByteArray::number(json.size()) + "\r\n";
        const QByteArray chunked = "Transfer-Encoding: chunked\r\n";
        const QByteArray chunks = "a;x=y\r\n" + json.left(10) + "\r\n" +
                                  QByteArray::number(json.size() - 10, 16) + "\r\n" + json.mid(10) +
                                  "\r\n0\r\n\r\n";
        const QByteArray expect = "Expect: 100-continue\r\n";
        row(length, json, json);
        row(chunked, chunks, json); // with an extension
        row(expect + length, json, json);
        row(chunked + expect, chunks, json);
        // Read to the end of the stream, it would hold a worker; it is taken as empty.
        row({}, json, {});
    }

    // Requests may come in one write, split anywhere; past the keep-alive count it closes.
    void keptAliveConnectionAnswersPipelinedRequests()
    {
        const EchoServer server(3);
        RawConnection connection(server.port);
        QVERIFY(connection.connected());
        const QByteArray put = "PUT /echo HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nPlage";
        const QByteArray get = getHead + "\r\n";
        QVERIFY(connection.send(put + get.left(20)));
        QVERIFY(connection.send(get.mid(20)));
        QVERIFY(connection.waitForAnswers(2));
        QVERIFY(connection.received().contains("\r\n\r\nPlageHTTP/1.1 200"));
        QVERIFY(connection.send(get + get));
        QVERIFY(connection.waitUntilClosed());
        QCOMPARE(connection.statuses(), (QList<int>{200, 200, 200}));
    }
};

QTEST_GUILESS_MAIN(TestConnections)
#include "TestConnections.moc"
