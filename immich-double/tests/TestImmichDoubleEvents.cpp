// The double's event channel, tried with Qt's WebSocket client as a product would use it: the
// Engine.IO and socket.io handshake, the events that follow another client's changes (and the
// changes that send none), pings, refused keys, and the channel's fault switches. How the
// product's channel comes back after a drop, and stays up while it answers pings, is
// TestServerEventChannel's.
#include "DoubleHttp.h"
#include "ImmichDoubleProcess.h"
#include "SampleMedia.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QTest>
#include <QWebSocket>

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
    void unansweredPingsCloseTheConnection();
    void wrongKeyIsRefused();
    void refusingChannelsNeverUpgrade_data();
    void refusingChannelsNeverUpgrade();
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
}

void TestImmichDoubleEvents::changesSendTheirEvents_data()
{
    QTest::addColumn<QByteArray>("method"); // empty: an upload of this user; "theirs": another's
    QTest::addColumn<QString>("path");      // ID stands for the asset's id, in the body too
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("event");   // empty: none
    QTest::addColumn<QString>("carries"); // "asset", "ids" or "id"
    const auto row = [](const char* tag, const char* method, const char* path, const char* body,
                        const char* event, const char* carries) {
        QTest::newRow(tag) << QByteArray(method) << QString::fromUtf8(path) << QByteArray(body)
                           << QString::fromLatin1(event) << QString::fromLatin1(carries);
    };
    row("upload", "", "", "", "on_upload_success", "asset");
    row("trash", "DELETE", "/api/assets", R"({"ids":["ID"]})", "on_asset_trash", "ids");
    // The trash paths find the asset alone in the trash.
    row("restore", "POST", "/api/trash/restore/assets", R"({"ids":["ID"]})", "on_asset_restore",
        "ids");
    row("restore of the whole trash", "POST", "/api/trash/restore", "{}", "on_asset_restore",
        "ids");
    row("deleted for good", "DELETE", "/api/assets", R"({"ids":["ID"],"force":true})",
        "on_asset_delete", "id");
    row("trash emptied", "POST", "/api/trash/empty", "{}", "on_asset_delete", "id");
    row("capture date edited", "PUT", "/api/assets/ID",
        R"({"dateTimeOriginal":"2021-01-01T10:00:00.000Z"})", "on_asset_update", "asset");
    row("hidden", "PUT", "/api/assets/ID", R"({"visibility":"hidden"})", "on_asset_hidden", "id");
    row("favourite only", "PUT", "/api/assets/ID", R"({"isFavorite":true})", "", "");
    row("album change", "POST", "/api/albums", R"({"albumName":"Sans écho","assetIds":["ID"]})", "",
        "");
    row("someone else's upload", "theirs", "", "", "", "");
}

// Each change is made by another client over HTTP; the next event the connected client gets
// must be the change's, or, for a change that sends none, the trash of a marker asset trashed
// right after it.
void TestImmichDoubleEvents::changesSendTheirEvents()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QString, event);
    QFETCH(QString, carries);
    static int count = 0;
    const QByteArray label = "change " + QByteArray::number(++count);
    QString id;
    if (method.isEmpty() || method == "theirs") {
        id = upload(method.isEmpty() ? m_mine : m_theirs, label);
        QVERIFY(!id.isEmpty());
    } else {
        id = uploadSeen(label);
        QVERIFY(!id.isEmpty());
        if (path.startsWith("/api/trash/"_L1)) {
            QCOMPARE(m_mine.json("POST", u"/api/trash/empty"_s, {}).status, 200);
            QVERIFY(settle());
            QCOMPARE(m_mine.json("DELETE", u"/api/assets"_s, ids({id}, false)).status, 204);
            QCOMPARE(eventOf(m_client->next()).first, u"on_asset_trash"_s);
        }
        const Answer answer =
            m_mine.send(method, path.replace("ID"_L1, id), body.replace("ID", id.toLatin1()));
        QVERIFY2(answer.status >= 200 && answer.status < 300, answer.body.constData());
    }

    if (event.isEmpty()) {
        const QString marker = uploadSeen(label + " marker");
        QCOMPARE(m_mine.json("DELETE", u"/api/assets"_s, ids({marker})).status, 204);
        const auto [name, arguments] = eventOf(m_client->next());
        QCOMPARE(name, u"on_asset_trash"_s);
        QCOMPARE(arguments, QJsonArray{QJsonArray{marker}});
        return;
    }
    const auto [name, arguments] = eventOf(m_client->next());
    QCOMPARE(name, event);
    QCOMPARE(arguments.size(), 1);
    const QJsonValue argument = arguments[0];
    if (carries == "asset"_L1) {
        QCOMPARE(argument["id"_L1].toString(), id);
        QVERIFY(argument["exifInfo"_L1].isObject());
    } else if (carries == "ids"_L1) {
        QCOMPARE(argument, QJsonValue(QJsonArray{id}));
    } else {
        QCOMPARE(argument, QJsonValue(id));
    }
    if (method.isEmpty()) { // the upload's second event wraps the asset
        const auto [second, wrapped] = eventOf(m_client->next());
        QCOMPARE(second, u"AssetUploadReadyV2"_s);
        QCOMPARE(wrapped[0]["asset"_L1]["id"_L1].toString(), id);
    }
    if (body.contains("dateTimeOriginal"))
        QCOMPARE(argument["fileCreatedAt"_L1].toString(), u"2021-01-01T10:00:00.000Z"_s);
}

void TestImmichDoubleEvents::unansweredPingsCloseTheConnection()
{
    ImmichDoubleProcess server;
    QVERIFY(server.start({u"--ping-interval"_s, u"200"_s, u"--ping-timeout"_s, u"400"_s}));
    EventClient silent(false);
    silent.open(server.port(), "demo-api-key");
    const QJsonObject handshake = QJsonDocument::fromJson(silent.next().mid(1).toUtf8()).object();
    QCOMPARE(handshake["pingInterval"_L1].toInt(), 200);
    QCOMPARE(handshake["pingTimeout"_L1].toInt(), 400);
    QVERIFY(silent.waitClosed());
    QCOMPARE(silent.pings(), 1);
}

// The upgrade succeeds; the socket.io connect is then told "unauthorized" and disconnected.
void TestImmichDoubleEvents::wrongKeyIsRefused()
{
    EventClient client;
    client.open(m_double.port(), "not-a-key");
    QVERIFY(client.next().startsWith(u'0'));
    client.send(u"40"_s);
    QVERIFY(client.next().startsWith("40{"_L1));
    QCOMPARE(client.next(), u"42[\"error\",\"unauthorized\"]"_s);
    QCOMPARE(client.next(), u"41"_s);
    QVERIFY(client.waitClosed());
}

void TestImmichDoubleEvents::refusingChannelsNeverUpgrade_data()
{
    QTest::addColumn<QString>("channel");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::newRow("404") << u"404"_s << 404 << QByteArray("application/json; charset=utf-8");
    QTest::newRow("400") << u"400"_s << 400 << QByteArray("application/json");
    QTest::newRow("plain 200") << u"200"_s << 200 << QByteArray("text/html; charset=utf-8");
}

// The answer a raw upgrade request gets, until a reset opens the channel again.
void TestImmichDoubleEvents::refusingChannelsNeverUpgrade()
{
    QFETCH(QString, channel);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    ImmichDoubleProcess server;
    QVERIFY(server.start());
    server.control("POST", u"/_double/events"_s,
                   QJsonDocument(QJsonObject{{"channel"_L1, channel}}));
    const Answer answer = DoubleHttp(server.port())
                              .send("GET", u"/api/socket.io/?EIO=4&transport=websocket"_s, {}, {},
                                    {{"Upgrade", "websocket"},
                                     {"Connection", "Upgrade"},
                                     {"Sec-WebSocket-Version", "13"},
                                     {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="}});
    QCOMPARE(answer.status, status);
    QCOMPARE(answer.contentType, contentType);
    server.reset();
    EventClient after;
    QVERIFY(after.connectTo(server.port(), "demo-api-key"));
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
