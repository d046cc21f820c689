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
using namespace Qt::StringLiterals;
using pixavella::testing::ImmichDoubleProcess;

namespace {

constexpr int kWaitMs = 20'000;
const QString kKey = u"demo-api-key"_s;

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
    // Where the first event `name` about asset `id` (the ids, or the asset itself) is; -1: none.
    qsizetype indexOf(const QString& name, const QString& id) const
    {
        for (qsizetype i = 0; i < events.size(); ++i) {
            const QJsonValue first =
                events[i].second.isEmpty() ? QJsonValue() : events[i].second[0];
            if (events[i].first == name && (first == QJsonArray{id} || first[u"id"] == id))
                return i;
        }
        return -1;
    }
    QList<bool> ups;
    QList<std::pair<QString, QJsonArray>> events;
};

} // namespace

class TestServerEventChannel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Pings every 300 ms: a channel that did not answer them would be closed in 0.9 s.
        QVERIFY(m_double.start({u"--ping-interval"_s, u"300"_s, u"--ping-timeout"_s, u"600"_s}));
    }
    void init()
    {
        m_double.reset();
        QTRY_COMPARE_WITH_TIMEOUT(connections(), 0, kWaitMs);
    }
    void upWithTheKeyAndReportsEvents()
    {
        ServerEventChannel channel(source(kKey));
        Recorder seen(channel);
        channel.start();
        QTRY_VERIFY_WITH_TIMEOUT(channel.isUp(), kWaitMs);
        QCOMPARE(seen.ups, QList<bool>{true});
        QTRY_VERIFY_WITH_TIMEOUT(!seen.events.isEmpty(), kWaitMs);
        QCOMPARE(seen.events.first().first, u"on_server_version"_s);

        // Another client's upload and trash, through the API.
        const QString id = m_double.addAsset({{u"originalFileName"_s, u"neige.jpg"_s}});
        QVERIFY(!id.isEmpty());
        httplib::Client http("127.0.0.1", m_double.port());
        const auto trashed = http.Delete(
            "/api/assets", {{"x-api-key", kKey.toStdString()}},
            QJsonDocument(QJsonObject{{u"ids"_s, QJsonArray{id}}}).toJson().toStdString(),
            "application/json");
        QVERIFY(trashed);
        QCOMPARE(trashed->status, 204);
        QTRY_VERIFY_WITH_TIMEOUT(seen.indexOf(u"on_asset_trash"_s, id) >= 0, kWaitMs);
        // The upload's event came before the trash's, as sent.
        const qsizetype uploaded = seen.indexOf(u"on_upload_success"_s, id);
        QVERIFY(uploaded >= 0 && uploaded < seen.indexOf(u"on_asset_trash"_s, id));
        QCOMPARE(seen.ups, QList<bool>{true});
    }
    // The upgrade succeeds, the server answers the connect with its "unauthorized" error: never
    // reported up, and tried again at growing intervals.
    void refusedKeyStaysDownAndBacksOff()
    {
        ServerEventChannel channel(source(u"not-a-key"_s));
        Recorder seen(channel);
        channel.start();
        QTRY_VERIFY_WITH_TIMEOUT(handshakes() >= 3, kWaitMs);
        QVERIFY(seen.ups.isEmpty());
        QVERIFY(seen.events.isEmpty());
        QVERIFY(!channel.isUp());
        QVERIFY(channel.retryDelay() >= 4 * ServerEventChannel::kFirstRetry);
        QVERIFY(channel.retryDelay() <= ServerEventChannel::kLongestRetry);
    }
    void refusingPathStaysDownUntilItOpens_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("older server, 404") << u"404"_s;
        QTest::newRow("proxy answering a page, 200") << u"200"_s;
    }
    void refusingPathStaysDownUntilItOpens()
    {
        QFETCH(QString, answer);
        setChannel(answer);
        ServerEventChannel channel(source(kKey));
        Recorder seen(channel);
        channel.start();
        QTRY_VERIFY_WITH_TIMEOUT(handshakes() >= 2, kWaitMs);
        QVERIFY(seen.ups.isEmpty());
        setChannel(u"open"_s);
        QTRY_VERIFY_WITH_TIMEOUT(channel.isUp(), kWaitMs);
        QCOMPARE(seen.ups, QList<bool>{true});
    }
    // Signed out, nothing is tried; the credentials are asked again at each attempt.
    void noCredentialsUntilSignedIn()
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
    void cutConnectionComesBack()
    {
        ServerEventChannel channel(source(kKey));
        Recorder seen(channel);
        channel.start();
        QTRY_VERIFY_WITH_TIMEOUT(channel.isUp(), kWaitMs);
        m_double.control("POST", u"/_double/events/drop"_s, QJsonDocument(QJsonObject{}));
        QTRY_COMPARE_WITH_TIMEOUT(seen.ups, (QList<bool>{true, false, true}), kWaitMs);
        // The new connection carries events.
        const QString id = m_double.addAsset({{u"originalFileName"_s, u"retour.jpg"_s}});
        QTRY_VERIFY_WITH_TIMEOUT(seen.indexOf(u"on_upload_success"_s, id) >= 0, kWaitMs);
    }
    // The double closes a connection whose pings go unanswered within 0.6 s: still up after many.
    void pingedConnectionStaysUp()
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
    void silentServerIsGivenUp()
    {
        QWebSocketServer server(u"silent"_s, QWebSocketServer::NonSecureMode);
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QList<QWebSocket*> accepted;
        QList<QByteArray> keys;
        connect(&server, &QWebSocketServer::newConnection, &server, [&] {
            QWebSocket* socket = server.nextPendingConnection();
            accepted.append(socket);
            keys.append(socket->request().rawHeader("x-api-key"));
            socket->sendTextMessage(QStringLiteral(
                R"(0{"sid":"s","upgrades":[],"pingInterval":200,"pingTimeout":200,"maxPayload":1000000})"));
            connect(
                socket, &QWebSocket::textMessageReceived, socket, [socket](const QString& text) {
                    if (text == SocketIo::connectDefault()) {
                        socket->sendTextMessage(QStringLiteral(R"(40{"sid":"t"})"));
                        socket->sendTextMessage(QStringLiteral(R"(42["on_server_version",{}])"));
                    }
                });
        });
        const QUrl url(u"http://127.0.0.1:%1"_s.arg(server.serverPort()));
        ServerEventChannel channel(
            [url] { return std::optional<ImmichClient>(ImmichClient(url, kKey)); });
        Recorder seen(channel);
        channel.start();
        QTRY_VERIFY_WITH_TIMEOUT(accepted.size() >= 2, kWaitMs);
        QCOMPARE(accepted.first()->request().url().path(), u"/api/socket.io/"_s);
        QCOMPARE(keys.first(), kKey.toUtf8());
        QVERIFY(seen.ups.size() >= 2);
        QCOMPARE(seen.ups.mid(0, 2), (QList<bool>{true, false}));
    }
    void stopClosesAndStaysDown()
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
        return m_double.control("GET", u"/_double/events"_s)[u"connections"].toInt();
    }
    void setChannel(const QString& answer)
    {
        m_double.control("POST", u"/_double/events"_s,
                         QJsonDocument(QJsonObject{{u"channel"_s, answer}}));
    }

    ImmichDoubleProcess m_double;
};

QTEST_GUILESS_MAIN(TestServerEventChannel)
#include "TestServerEventChannel.moc"
