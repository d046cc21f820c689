// The double's event channel, tried with Qt's WebSocket client as a product would use it: the
// Engine.IO and socket.io handshake, the events that follow another client's changes (and the
// changes that send none), pings, refused keys, and the channel's fault switches.
#include "DoubleHttp.h"
#include "ImmichDoubleProcess.h"
#include "SampleMedia.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QTest>
#include <QWebSocket>

#include <functional>
#include <memory>

using namespace immichdouble::testing;
using namespace Qt::StringLiterals;
using pixavella::testing::ImmichDoubleProcess;

namespace {

constexpr int kWaitMs = 10000;
// The shared server's, long enough for a client that only reads its socket between blocking
// HTTP calls of the test.
constexpr int kPingIntervalMs = 20000;
constexpr int kPingTimeoutMs = 15000;

// One socket.io client over a raw WebSocket: every text message kept in arrival order, and
// the server's pings answered unless told otherwise.
class EventClient : public QObject {
public:
    explicit EventClient(bool answerPings = true) : m_answerPings(answerPings)
    {
        connect(&m_socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
            if (text == "2"_L1) {
                ++m_pings;
                if (m_answerPings)
                    m_socket.sendTextMessage(u"3"_s);
                return;
            }
            m_messages << text;
        });
        connect(&m_socket, &QWebSocket::disconnected, this, [this] { m_closed = true; });
        connect(&m_socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
                [this] { m_closed = true; });
    }

    void open(quint16 port, const QByteArray& apiKey)
    {
        QNetworkRequest request(
            QUrl(u"ws://127.0.0.1:%1/api/socket.io/?EIO=4&transport=websocket"_s.arg(port)));
        if (!apiKey.isEmpty())
            request.setRawHeader("x-api-key", apiKey);
        m_socket.open(request);
    }

    // The next message, waited for; empty when none comes.
    QString next()
    {
        if (!QTest::qWaitFor([this] { return !m_messages.isEmpty() || m_closed; }, kWaitMs))
            return {};
        return m_messages.isEmpty() ? QString() : m_messages.takeFirst();
    }

    // Opens, reads the open packet, connects to the default namespace and reads the version.
    bool connectTo(quint16 port, const QByteArray& apiKey)
    {
        open(port, apiKey);
        if (!next().startsWith(u'0'))
            return false;
        send(u"40"_s);
        return next().startsWith("40{"_L1) && next().startsWith("42[\"on_server_version\""_L1);
    }

    void send(const QString& text) { m_socket.sendTextMessage(text); }
    bool waitClosed()
    {
        return QTest::qWaitFor([this] { return m_closed; }, kWaitMs);
    }
    bool closed() const { return m_closed; }
    int pings() const { return m_pings; }
    QWebSocket& socket() { return m_socket; }

private:
    QWebSocket m_socket;
    QStringList m_messages;
    bool m_answerPings;
    bool m_closed = false;
    int m_pings = 0;
};

// "42[name,args…]" split into the event's name and its arguments.
std::pair<QString, QJsonArray> eventOf(const QString& message)
{
    if (!message.startsWith("42"_L1))
        return {};
    QJsonArray array = QJsonDocument::fromJson(message.mid(2).toUtf8()).array();
    const QString name = array.isEmpty() ? QString() : array.takeAt(0).toString();
    return {name, array};
}

QJsonObject ids(const QStringList& list, std::optional<bool> force = std::nullopt)
{
    QJsonObject body{{"ids"_L1, QJsonArray::fromStringList(list)}};
    if (force)
        body.insert("force"_L1, *force);
    return body;
}

} // namespace

class TestImmichDoubleEvents : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void handshakeOpensTheChannel();
    void changesSendTheirEvents_data();
    void changesSendTheirEvents();
    void pingsAreAnsweredOrTheConnectionCloses();
    void webSocketPingIsAnswered();
    void wrongOrMissingKeyIsRefused_data();
    void wrongOrMissingKeyIsRefused();
    void channelPathWithoutUpgrade_data();
    void channelPathWithoutUpgrade();
    void refusingChannelsNeverUpgrade_data();
    void refusingChannelsNeverUpgrade();
    void droppedConnectionsCanReconnect();
    void silencedChannelSendsNothing();

private:
    QString upload(const DoubleHttp& http, const QByteArray& label)
    {
        const MultipartBody body =
            uploadBody(label + ".jpg", sampleJpeg({}, 16, 16, label), "2024-05-01T10:00:00Z");
        return http.send("POST", u"/api/assets"_s, body.body, body.contentType).id();
    }
    // Every event up to the upload of a marker asset: what earlier changes sent is read.
    bool settle()
    {
        const QString marker = upload(m_mine, "marker " + QByteArray::number(++m_markers));
        for (;;) {
            const auto [name, arguments] = eventOf(m_client->next());
            if (name.isEmpty())
                return false;
            if (name == "AssetUploadReadyV2"_L1 && arguments[0]["asset"_L1]["id"_L1] == marker)
                return true;
        }
    }
    // An upload of this client's own user, with its two events read.
    QString uploadSeen(const QByteArray& label)
    {
        const QString id = upload(m_mine, label);
        const auto first = eventOf(m_client->next());
        const auto second = eventOf(m_client->next());
        if (first.first != "on_upload_success"_L1 || second.first != "AssetUploadReadyV2"_L1)
            return {};
        return id;
    }

    ImmichDoubleProcess m_double;
    DoubleHttp m_mine{0};
    DoubleHttp m_theirs{0};
    std::unique_ptr<EventClient> m_client;
    int m_markers = 0;
};

void TestImmichDoubleEvents::initTestCase()
{
    QVERIFY(m_double.start({u"--user"_s, u"demo@pixavella.local:demo:demo-api-key"_s, u"--user"_s,
                            u"other@pixavella.local:pw:other-key"_s, u"--ping-interval"_s,
                            QString::number(kPingIntervalMs), u"--ping-timeout"_s,
                            QString::number(kPingTimeoutMs)}));
    m_mine = DoubleHttp(m_double.port(), "demo-api-key");
    m_theirs = DoubleHttp(m_double.port(), "other-key");
    m_client = std::make_unique<EventClient>();
    QVERIFY(m_client->connectTo(m_double.port(), "demo-api-key"));
}

void TestImmichDoubleEvents::handshakeOpensTheChannel()
{
    m_double.reset();
    EventClient client;
    client.open(m_double.port(), "demo-api-key");
    const QString open = client.next();
    QVERIFY2(open.startsWith(u'0'), qPrintable(open));
    const QJsonObject handshake = QJsonDocument::fromJson(open.mid(1).toUtf8()).object();
    QCOMPARE(handshake.keys(), (QStringList{u"maxPayload"_s, u"pingInterval"_s, u"pingTimeout"_s,
                                            u"sid"_s, u"upgrades"_s}));
    QCOMPARE(handshake["sid"_L1].toString().size(), 20);
    QCOMPARE(handshake["upgrades"_L1].toArray(), QJsonArray());
    QCOMPARE(handshake["pingInterval"_L1].toInt(), kPingIntervalMs);
    QCOMPARE(handshake["pingTimeout"_L1].toInt(), kPingTimeoutMs);
    QCOMPARE(handshake["maxPayload"_L1].toInt(), 1000000);

    client.send(u"40"_s);
    const QString connected = client.next();
    QVERIFY2(connected.startsWith("40"_L1), qPrintable(connected));
    const QString socketId =
        QJsonDocument::fromJson(connected.mid(2).toUtf8())["sid"_L1].toString();
    QCOMPARE(socketId.size(), 20);
    QVERIFY(socketId != handshake["sid"_L1].toString());
    QCOMPARE(client.next(), u"42[\"on_server_version\",{\"major\":3,\"minor\":0,\"patch\":3}]"_s);
    QCOMPARE(m_double.control("GET", u"/_double/events"_s)["connections"_L1].toInt(), 2);

    // The handshake is in the request log like any request.
    const QJsonArray requests = m_double.requests();
    QVERIFY(std::any_of(requests.begin(), requests.end(), [](const QJsonValue& entry) {
        return entry["path"_L1].toString() == "/api/socket.io/"_L1 &&
               entry["headers"_L1]["x-api-key"_L1].toString() == "demo-api-key"_L1;
    }));
}

void TestImmichDoubleEvents::changesSendTheirEvents_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("event");   // empty: none
    QTest::addColumn<QString>("carries"); // "asset", "wrapped asset", "ids" or "id"
    QTest::newRow("upload") << u"upload"_s << u"on_upload_success"_s << u"asset"_s;
    QTest::newRow("upload, second event")
        << u"upload"_s << u"AssetUploadReadyV2"_s << u"wrapped asset"_s;
    QTest::newRow("upload through /_double/")
        << u"control upload"_s << u"on_upload_success"_s << u"asset"_s;
    QTest::newRow("trash") << u"trash"_s << u"on_asset_trash"_s << u"ids"_s;
    QTest::newRow("restore") << u"restore"_s << u"on_asset_restore"_s << u"ids"_s;
    QTest::newRow("restore of the whole trash")
        << u"restore all"_s << u"on_asset_restore"_s << u"ids"_s;
    QTest::newRow("deleted for good") << u"delete"_s << u"on_asset_delete"_s << u"id"_s;
    QTest::newRow("trash emptied") << u"empty trash"_s << u"on_asset_delete"_s << u"id"_s;
    QTest::newRow("capture date edited") << u"date"_s << u"on_asset_update"_s << u"asset"_s;
    QTest::newRow("description edited") << u"description"_s << u"on_asset_update"_s << u"asset"_s;
    QTest::newRow("hidden") << u"hide"_s << u"on_asset_hidden"_s << u"id"_s;
    QTest::newRow("favourite only") << u"favourite"_s << QString() << QString();
    QTest::newRow("album change") << u"album"_s << QString() << QString();
    QTest::newRow("someone else's upload") << u"their upload"_s << QString() << QString();
}

// Each change is made by another client over HTTP; the next event the connected client gets
// must be the change's, or, for a change that sends none, the trash of a marker asset trashed
// right after it.
void TestImmichDoubleEvents::changesSendTheirEvents()
{
    QFETCH(QString, change);
    QFETCH(QString, event);
    QFETCH(QString, carries);
    static int count = 0;
    const QByteArray label = "change " + QByteArray::number(++count);
    QString id;
    if (change != "upload"_L1 && change != "control upload"_L1 && change != "their upload"_L1) {
        id = uploadSeen(label);
        QVERIFY(!id.isEmpty());
    }
    if (change.startsWith("restore"_L1) || change == "empty trash"_L1) {
        if (change != "restore"_L1) { // the whole trash: this asset alone in it
            QCOMPARE(m_mine.json("POST", u"/api/trash/empty"_s, {}).status, 200);
            QVERIFY(settle());
        }
        QCOMPARE(m_mine.json("DELETE", u"/api/assets"_s, ids({id}, false)).status, 204);
        QCOMPARE(eventOf(m_client->next()).first, u"on_asset_trash"_s);
    }

    const std::map<QString, std::function<int()>> changes = {
        {u"upload"_s, [&] { return (id = upload(m_mine, label)).isEmpty() ? 0 : 201; }},
        {u"control upload"_s,
         [&] {
             id = m_double.addAsset({{"originalFileName"_L1, "c.jpg"_L1},
                                     {"base64"_L1, QString::fromLatin1(label.toBase64())}});
             return id.isEmpty() ? 0 : 201;
         }},
        {u"their upload"_s, [&] { return upload(m_theirs, label).isEmpty() ? 0 : 201; }},
        {u"trash"_s, [&] { return m_mine.json("DELETE", u"/api/assets"_s, ids({id})).status; }},
        {u"restore"_s,
         [&] { return m_mine.json("POST", u"/api/trash/restore/assets"_s, ids({id})).status; }},
        {u"restore all"_s, [&] { return m_mine.json("POST", u"/api/trash/restore"_s, {}).status; }},
        {u"delete"_s,
         [&] { return m_mine.json("DELETE", u"/api/assets"_s, ids({id}, true)).status; }},
        {u"empty trash"_s, [&] { return m_mine.json("POST", u"/api/trash/empty"_s, {}).status; }},
        {u"date"_s,
         [&] {
             return m_mine
                 .json("PUT", u"/api/assets/"_s + id,
                       {{"dateTimeOriginal"_L1, "2021-01-01T10:00:00.000Z"_L1}})
                 .status;
         }},
        {u"description"_s,
         [&] {
             return m_mine.json("PUT", u"/api/assets/"_s + id, {{"description"_L1, "Neige"_L1}})
                 .status;
         }},
        {u"hide"_s,
         [&] {
             return m_mine.json("PUT", u"/api/assets/"_s + id, {{"visibility"_L1, "hidden"_L1}})
                 .status;
         }},
        {u"favourite"_s,
         [&] {
             return m_mine.json("PUT", u"/api/assets/"_s + id, {{"isFavorite"_L1, true}}).status;
         }},
        {u"album"_s,
         [&] {
             return m_mine
                 .json("POST", u"/api/albums"_s,
                       {{"albumName"_L1, "Sans écho"_L1}, {"assetIds"_L1, QJsonArray{id}}})
                 .status;
         }},
    };
    const int status = changes.at(change)();
    QVERIFY2(status >= 200 && status < 300, qPrintable(QString::number(status)));

    if (event.isEmpty()) {
        const QString marker = uploadSeen(label + " marker");
        QCOMPARE(m_mine.json("DELETE", u"/api/assets"_s, ids({marker})).status, 204);
        const auto [name, arguments] = eventOf(m_client->next());
        QCOMPARE(name, u"on_asset_trash"_s);
        QCOMPARE(arguments, QJsonArray{QJsonArray{marker}});
        return;
    }
    auto [name, arguments] = eventOf(m_client->next());
    if (event == "AssetUploadReadyV2"_L1) {
        QCOMPARE(name, u"on_upload_success"_s);
        std::tie(name, arguments) = eventOf(m_client->next());
    }
    QCOMPARE(name, event);
    QCOMPARE(arguments.size(), 1);
    const QJsonValue argument = arguments[0];
    if (carries == "asset"_L1) {
        QCOMPARE(argument["id"_L1].toString(), id);
        QVERIFY(argument["exifInfo"_L1].isObject());
    } else if (carries == "wrapped asset"_L1) {
        QCOMPARE(argument["asset"_L1]["id"_L1].toString(), id);
    } else if (carries == "ids"_L1) {
        QCOMPARE(argument, QJsonValue(QJsonArray{id}));
    } else {
        QCOMPARE(argument, QJsonValue(id));
    }
    if (change == "upload"_L1 && event == "on_upload_success"_L1)
        QCOMPARE(eventOf(m_client->next()).first, u"AssetUploadReadyV2"_s);
    if (change == "control upload"_L1)
        QCOMPARE(eventOf(m_client->next()).first, u"AssetUploadReadyV2"_s);
    if (change == "date"_L1)
        QCOMPARE(argument["fileCreatedAt"_L1].toString(), u"2021-01-01T10:00:00.000Z"_s);
}

void TestImmichDoubleEvents::pingsAreAnsweredOrTheConnectionCloses()
{
    ImmichDoubleProcess server;
    QVERIFY(server.start({u"--ping-interval"_s, u"200"_s, u"--ping-timeout"_s, u"400"_s}));
    EventClient answering;
    EventClient silent(false);
    QVERIFY(answering.connectTo(server.port(), "demo-api-key"));
    silent.open(server.port(), "demo-api-key");
    const QJsonObject handshake = QJsonDocument::fromJson(silent.next().mid(1).toUtf8()).object();
    QCOMPARE(handshake["pingInterval"_L1].toInt(), 200);
    QCOMPARE(handshake["pingTimeout"_L1].toInt(), 400);
    QVERIFY(silent.waitClosed());
    QCOMPARE(silent.pings(), 1);
    // Pinged again and again while it answers, long after the silent one was given up.
    const int before = answering.pings();
    QVERIFY(QTest::qWaitFor([&] { return answering.pings() >= before + 3; }, kWaitMs));
    QVERIFY(!answering.closed());
}

void TestImmichDoubleEvents::webSocketPingIsAnswered()
{
    EventClient client;
    QVERIFY(client.connectTo(m_double.port(), "demo-api-key"));
    QByteArray pong;
    connect(&client.socket(), &QWebSocket::pong, &client,
            [&pong](quint64, const QByteArray& payload) { pong = payload; });
    client.socket().ping("are you there");
    QTRY_COMPARE_WITH_TIMEOUT(pong, QByteArray("are you there"), kWaitMs);
}

void TestImmichDoubleEvents::wrongOrMissingKeyIsRefused_data()
{
    QTest::addColumn<QByteArray>("apiKey");
    QTest::newRow("wrong key") << QByteArray("not-a-key");
    QTest::newRow("no key") << QByteArray();
}

// The upgrade succeeds; the socket.io connect is then told "unauthorized" and disconnected.
void TestImmichDoubleEvents::wrongOrMissingKeyIsRefused()
{
    QFETCH(QByteArray, apiKey);
    EventClient client;
    client.open(m_double.port(), apiKey);
    QVERIFY(client.next().startsWith(u'0'));
    client.send(u"40"_s);
    QVERIFY(client.next().startsWith("40{"_L1));
    QCOMPARE(client.next(), u"42[\"error\",\"unauthorized\"]"_s);
    QCOMPARE(client.next(), u"41"_s);
    QVERIFY(client.waitClosed());
}

void TestImmichDoubleEvents::channelPathWithoutUpgrade_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<int>("code");
    QTest::newRow("polling") << u"EIO=4&transport=polling"_s << 0;
    QTest::newRow("websocket transport, no upgrade") << u"EIO=4&transport=websocket"_s << 3;
}

// What Engine.IO answers a plain GET of a WebSocket-only channel.
void TestImmichDoubleEvents::channelPathWithoutUpgrade()
{
    QFETCH(QString, query);
    QFETCH(int, code);
    const Answer answer = m_mine.get(u"/api/socket.io/?"_s + query);
    QCOMPARE(answer.status, 400);
    QCOMPARE(answer.json()["code"_L1].toInt(), code);
}

void TestImmichDoubleEvents::refusingChannelsNeverUpgrade_data()
{
    QTest::addColumn<QStringList>("startup"); // options; empty: switched by /_double/events
    QTest::addColumn<QString>("channel");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::newRow("404, switched")
        << QStringList() << u"404"_s << 404 << QByteArray("application/json; charset=utf-8");
    QTest::newRow("400, switched")
        << QStringList() << u"400"_s << 400 << QByteArray("application/json");
    QTest::newRow("plain 200, switched")
        << QStringList() << u"200"_s << 200 << QByteArray("text/html; charset=utf-8");
    QTest::newRow("404 from the start") << QStringList{u"--event-channel"_s, u"404"_s} << QString()
                                        << 404 << QByteArray("application/json; charset=utf-8");
}

void TestImmichDoubleEvents::refusingChannelsNeverUpgrade()
{
    QFETCH(QStringList, startup);
    QFETCH(QString, channel);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    ImmichDoubleProcess server;
    QVERIFY(server.start(startup));
    if (!channel.isEmpty())
        server.control("POST", u"/_double/events"_s,
                       QJsonDocument(QJsonObject{{"channel"_L1, channel}}));

    // The answer a raw upgrade request gets, then a WebSocket client's failure.
    const Answer answer = DoubleHttp(server.port())
                              .send("GET", u"/api/socket.io/?EIO=4&transport=websocket"_s, {}, {},
                                    {{"Upgrade", "websocket"},
                                     {"Connection", "Upgrade"},
                                     {"Sec-WebSocket-Version", "13"},
                                     {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}});
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.contentType, contentType);
    EventClient client;
    bool connected = false;
    connect(&client.socket(), &QWebSocket::connected, &client, [&connected] { connected = true; });
    client.open(server.port(), "demo-api-key");
    QVERIFY(client.waitClosed());
    QVERIFY(!connected);

    server.reset(); // back to the start-up switches
    const bool opens = startup.isEmpty();
    EventClient after;
    QCOMPARE(after.connectTo(server.port(), "demo-api-key"), opens);
}

void TestImmichDoubleEvents::droppedConnectionsCanReconnect()
{
    EventClient one;
    EventClient two;
    QVERIFY(one.connectTo(m_double.port(), "demo-api-key"));
    QVERIFY(two.connectTo(m_double.port(), "other-key"));
    m_double.control("POST", u"/_double/events/drop"_s, QJsonDocument(QJsonObject{}));
    QVERIFY(one.waitClosed());
    QVERIFY(two.waitClosed());
    QVERIFY(m_client->waitClosed());

    m_client = std::make_unique<EventClient>();
    QVERIFY(m_client->connectTo(m_double.port(), "demo-api-key"));
    QVERIFY(!uploadSeen("after the drop").isEmpty());
}

void TestImmichDoubleEvents::silencedChannelSendsNothing()
{
    const QString silenced = uploadSeen("silenced");
    const QString heard = uploadSeen("heard");
    m_double.control("POST", u"/_double/events"_s, QJsonDocument(QJsonObject{{"emit"_L1, false}}));
    QCOMPARE(m_mine.json("DELETE", u"/api/assets"_s, ids({silenced})).status, 204);
    m_double.control("POST", u"/_double/events"_s, QJsonDocument(QJsonObject{{"emit"_L1, true}}));
    QCOMPARE(m_mine.json("DELETE", u"/api/assets"_s, ids({heard})).status, 204);
    const auto [name, arguments] = eventOf(m_client->next());
    QCOMPARE(name, u"on_asset_trash"_s);
    QCOMPARE(arguments, QJsonArray{QJsonArray{heard}});
    QVERIFY(!m_client->closed()); // connections stay open while silenced
}

QTEST_GUILESS_MAIN(TestImmichDoubleEvents)
#include "TestImmichDoubleEvents.moc"
