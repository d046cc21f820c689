// The event channel against the Immich double's socket.io server: it comes up with a good key
// and reports the events of other clients' changes, stays down (and keeps trying, less and
// less often) with a refused key or a server whose path does not upgrade, comes back when the
// connection is cut, and gives up a connection whose server stopped pinging.
#include "ImmichDoubleProcess.h"
#include "ServerEventChannel.h"
#include "SocketIoFrames.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

#include <httplib.h>

using namespace pixavella;
using pixavella::testing::ImmichDoubleProcess;

namespace {

constexpr int kWaitMs = 20'000;
const QString kKey = QStringLiteral("demo-api-key");

// Every up and down the channel reported, and every event, in order.
struct Recorder {
    explicit Recorder(ServerEventChannel& channel)
    {
        QObject::connect(&channel, &ServerEventChannel::upChanged, &channel,
                         [this](bool up) { ups.append(up); });
        QObject::connect(&channel, &ServerEventChannel::serverEvent, &channel,
                         [this](const QString& name, const QJsonArray& arguments) {
                             events.append({name, arguments});
                         });
    }
    bool sawEvent(const QString& name, const QJsonValue& argument) const
    {
        return std::any_of(events.begin(), events.end(), [&](const auto& e) {
            return e.first == name && !e.second.isEmpty() && e.second.first() == argument;
        });
    }
    QList<bool> ups;
    QList<std::pair<QString, QJsonArray>> events;
};

} // namespace

class TestServerEventChannel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void upWithTheKeyAndReportsEvents();
    void refusedKeyStaysDownAndBacksOff();
    void refusingPathStaysDownUntilItOpens_data();
    void refusingPathStaysDownUntilItOpens();
    void noCredentialsUntilSignedIn();
    void cutConnectionComesBack();
    void pingedConnectionStaysUp();
    void silentServerIsGivenUp();
    void stopClosesAndStaysDown();

private:
    ServerEventChannel::ClientSource source(const QString& key) const
    {
        const QUrl url = m_double.url();
        return [url, key] { return std::optional<ImmichClient>(ImmichClient(url, key)); };
    }
    int handshakes() const
    {
        int n = 0;
        for (const QJsonValue& r : m_double.requests())
            n += r[QLatin1String("path")].toString() == QLatin1String("/api/socket.io/");
        return n;
    }
    int connections() const
    {
        return m_double.control("GET", QStringLiteral("/_double/events"))[u"connections"].toInt();
    }
    void setChannel(const QString& answer)
    {
        m_double.control("POST", QStringLiteral("/_double/events"),
                         QJsonDocument(QJsonObject{{QStringLiteral("channel"), answer}}));
    }

    ImmichDoubleProcess m_double;
};

void TestServerEventChannel::initTestCase()
{
    // Pings every 300 ms: a channel that did not answer them would be closed in 0.9 s.
    QVERIFY(m_double.start({QStringLiteral("--ping-interval"), QStringLiteral("300"),
                            QStringLiteral("--ping-timeout"), QStringLiteral("600")}));
}

void TestServerEventChannel::init()
{
    m_double.reset();
    QTRY_COMPARE_WITH_TIMEOUT(connections(), 0, kWaitMs);
}

void TestServerEventChannel::upWithTheKeyAndReportsEvents()
{
    ServerEventChannel channel(source(kKey));
    Recorder seen(channel);
    channel.start();
    QTRY_VERIFY_WITH_TIMEOUT(channel.isUp(), kWaitMs);
    QCOMPARE(seen.ups, QList<bool>{true});
    QTRY_VERIFY_WITH_TIMEOUT(!seen.events.isEmpty(), kWaitMs);
    QCOMPARE(seen.events.first().first, QStringLiteral("on_server_version"));

    // Another client's upload and trash, through the API.
    const QString id = m_double.addAsset({{QStringLiteral("originalFileName"),
                                           QStringLiteral("neige.jpg")}});
    QVERIFY(!id.isEmpty());
    httplib::Client http("127.0.0.1", m_double.port());
    const auto trashed =
        http.Delete("/api/assets", {{"x-api-key", kKey.toStdString()}},
                    QJsonDocument(QJsonObject{{QStringLiteral("ids"), QJsonArray{id}}})
                        .toJson()
                        .toStdString(),
                    "application/json");
    QVERIFY(trashed);
    QCOMPARE(trashed->status, 204);
    QTRY_VERIFY_WITH_TIMEOUT(seen.sawEvent(QStringLiteral("on_asset_trash"), QJsonArray{id}),
                             kWaitMs);
    QVERIFY(std::any_of(seen.events.begin(), seen.events.end(), [&](const auto& e) {
        return e.first == u"on_upload_success" && e.second.first()[u"id"] == id;
    }));
    // The upload's events came before the trash's, as sent.
    const auto index = [&](const QString& name) {
        return std::find_if(seen.events.begin(), seen.events.end(),
                            [&](const auto& e) { return e.first == name; }) -
               seen.events.begin();
    };
    QVERIFY(index(QStringLiteral("on_upload_success")) < index(QStringLiteral("on_asset_trash")));
    QCOMPARE(seen.ups, QList<bool>{true});
}

// The upgrade succeeds, the server answers the connect with its "unauthorized" error: never
// reported up, and tried again at growing intervals.
void TestServerEventChannel::refusedKeyStaysDownAndBacksOff()
{
    ServerEventChannel channel(source(QStringLiteral("not-a-key")));
    Recorder seen(channel);
    channel.start();
    QTRY_VERIFY_WITH_TIMEOUT(handshakes() >= 3, kWaitMs);
    QVERIFY(seen.ups.isEmpty());
    QVERIFY(seen.events.isEmpty());
    QVERIFY(!channel.isUp());
    QVERIFY(channel.retryDelay() >= 4 * ServerEventChannel::kFirstRetry);
    QVERIFY(channel.retryDelay() <= ServerEventChannel::kLongestRetry);
}

void TestServerEventChannel::refusingPathStaysDownUntilItOpens_data()
{
    QTest::addColumn<QString>("answer");
    QTest::newRow("older server, 404") << QStringLiteral("404");
    QTest::newRow("proxy dropping the upgrade, 400") << QStringLiteral("400");
    QTest::newRow("proxy answering a page, 200") << QStringLiteral("200");
}

void TestServerEventChannel::refusingPathStaysDownUntilItOpens()
{
    QFETCH(QString, answer);
    setChannel(answer);
    ServerEventChannel channel(source(kKey));
    Recorder seen(channel);
    channel.start();
    QTRY_VERIFY_WITH_TIMEOUT(handshakes() >= 2, kWaitMs);
    QVERIFY(seen.ups.isEmpty());
    setChannel(QStringLiteral("open"));
    QTRY_VERIFY_WITH_TIMEOUT(channel.isUp(), kWaitMs);
    QCOMPARE(seen.ups, QList<bool>{true});
}

// Signed out, nothing is tried; the credentials are asked again at each attempt.
void TestServerEventChannel::noCredentialsUntilSignedIn()
{
    std::optional<ImmichClient> client;
    int asked = 0;
    ServerEventChannel channel([&] {
        ++asked;
        return client;
    });
    channel.start();
    QTRY_VERIFY_WITH_TIMEOUT(asked >= 2, kWaitMs);
    QCOMPARE(handshakes(), 0);
    QVERIFY(!channel.isUp());
    client = ImmichClient(m_double.url(), kKey);
    QTRY_VERIFY_WITH_TIMEOUT(channel.isUp(), kWaitMs);
}

void TestServerEventChannel::cutConnectionComesBack()
{
    ServerEventChannel channel(source(kKey));
    Recorder seen(channel);
    channel.start();
    QTRY_VERIFY_WITH_TIMEOUT(channel.isUp(), kWaitMs);
    m_double.control("POST", QStringLiteral("/_double/events/drop"), QJsonDocument(QJsonObject{}));
    QTRY_COMPARE_WITH_TIMEOUT(seen.ups, (QList<bool>{true, false, true}), kWaitMs);
    // The new connection carries events.
    const QString id =
        m_double.addAsset({{QStringLiteral("originalFileName"), QStringLiteral("retour.jpg")}});
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(seen.events.begin(), seen.events.end(),
                                         [&](const auto& e) {
                                             return e.first == u"on_upload_success" &&
                                                    e.second.first()[u"id"] == id;
                                         }),
                             kWaitMs);
}

// The double closes a connection whose pings go unanswered within 0.6 s: still up after many.
void TestServerEventChannel::pingedConnectionStaysUp()
{
    ServerEventChannel channel(source(kKey));
    Recorder seen(channel);
    channel.start();
    QTRY_VERIFY_WITH_TIMEOUT(channel.isUp(), kWaitMs);
    QTest::qWait(3000);
    QVERIFY(channel.isUp());
    QCOMPARE(seen.ups, QList<bool>{true});
    QCOMPARE(connections(), 1);
}

// A server that opens, accepts the connect and then never pings (a connection cut somewhere
// no packet says so): given up after its interval and time-out, and connected again.
void TestServerEventChannel::silentServerIsGivenUp()
{
    QWebSocketServer server(QStringLiteral("silent"), QWebSocketServer::NonSecureMode);
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QList<QWebSocket*> accepted;
    QList<QByteArray> keys;
    connect(&server, &QWebSocketServer::newConnection, &server, [&] {
        QWebSocket* socket = server.nextPendingConnection();
        accepted.append(socket);
        keys.append(socket->request().rawHeader("x-api-key"));
        socket->sendTextMessage(QStringLiteral(
            R"(0{"sid":"s","upgrades":[],"pingInterval":200,"pingTimeout":200,"maxPayload":1000000})"));
        connect(socket, &QWebSocket::textMessageReceived, socket, [socket](const QString& text) {
            if (text == SocketIo::connectDefault()) {
                socket->sendTextMessage(QStringLiteral(R"(40{"sid":"t"})"));
                socket->sendTextMessage(QStringLiteral(R"(42["on_server_version",{}])"));
            }
        });
    });
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(server.serverPort());
    ServerEventChannel channel([url] { return std::optional<ImmichClient>(ImmichClient(url, kKey)); });
    Recorder seen(channel);
    channel.start();
    QTRY_VERIFY_WITH_TIMEOUT(accepted.size() >= 2, kWaitMs);
    QCOMPARE(accepted.first()->request().url().path(), QStringLiteral("/api/socket.io/"));
    QCOMPARE(keys.first(), kKey.toUtf8());
    QVERIFY(seen.ups.size() >= 2);
    QCOMPARE(seen.ups.mid(0, 2), (QList<bool>{true, false}));
}

void TestServerEventChannel::stopClosesAndStaysDown()
{
    ServerEventChannel channel(source(kKey));
    Recorder seen(channel);
    channel.start();
    QTRY_VERIFY_WITH_TIMEOUT(channel.isUp(), kWaitMs);
    channel.stop();
    QCOMPARE(seen.ups, (QList<bool>{true, false}));
    QTRY_COMPARE_WITH_TIMEOUT(connections(), 0, kWaitMs);
    const int before = handshakes();
    QTest::qWait(2500);
    QCOMPARE(handshakes(), before);
}

QTEST_GUILESS_MAIN(TestServerEventChannel)
#include "TestServerEventChannel.moc"
