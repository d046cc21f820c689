// The event channel's framing: what each message of an Immich server (or a proxy in front of
// it) means to the client, and where the channel of a server address is.
#include "SocketIoFrames.h"

#include <QJsonDocument>
#include <QTest>

using namespace pixavella;
using namespace pixavella::SocketIo;
using namespace Qt::StringLiterals;
using Kind = Frame::Kind;

Q_DECLARE_METATYPE(Frame::Kind)

class TestSocketIoFrames : public QObject {
    Q_OBJECT

private slots:
    void kinds_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<Kind>("kind");
        QTest::newRow("open without heartbeat") << R"(0{"sid":"a"})" << Kind::malformed;
        QTest::newRow("open, negative interval")
            << R"(0{"sid":"a","pingInterval":-1,"pingTimeout":1})" << Kind::malformed;
        QTest::newRow("open, not JSON") << "0<html>" << Kind::malformed;
        QTest::newRow("close") << "1" << Kind::close;
        QTest::newRow("probe ping") << "2probe" << Kind::ping;
        QTest::newRow("pong") << "3" << Kind::ignored;
        QTest::newRow("connected") << R"(40{"sid":"b"})" << Kind::connected;
        QTest::newRow("connected, bare") << "40" << Kind::connected;
        QTest::newRow("connected, default namespace named")
            << R"(40/,{"sid":"b"})" << Kind::connected;
        QTest::newRow("event of another namespace")
            << R"(42/admin,["on_asset_trash",["x"]])" << Kind::ignored;
        QTest::newRow("disconnected") << "41" << Kind::disconnected;
        QTest::newRow("connect error") << R"(44{"message":"unauthorized"})" << Kind::connectError;
        QTest::newRow("ack") << R"(431["ok"])" << Kind::ignored;
        QTest::newRow("binary event")
            << R"(451-["on_x",{"_placeholder":true,"num":0}])" << Kind::ignored;
        QTest::newRow("event without a name") << "42[]" << Kind::malformed;
        QTest::newRow("event named by a number") << "42[1,2]" << Kind::malformed;
        QTest::newRow("event, cut short") << R"(42["on_asset_trash",["x")" << Kind::malformed;
        QTest::newRow("unknown socket.io type") << "47" << Kind::malformed;
        QTest::newRow("message without packet") << "4" << Kind::malformed;
        QTest::newRow("empty") << "" << Kind::malformed;
        QTest::newRow("proxy page") << "<!DOCTYPE html>" << Kind::malformed;
    }
    void kinds()
    {
        QFETCH(QString, text);
        QFETCH(Kind, kind);
        QCOMPARE(decode(text).kind, kind);
    }
    void openCarriesTheHeartbeat()
    {
        const Frame frame = decode(
            R"(0{"sid":"lv_VI97HAXpY6yYWAAAC","upgrades":[],"pingInterval":25000,"pingTimeout":20000,"maxPayload":1000000})");
        QCOMPARE(frame.kind, Kind::open);
        QCOMPARE(frame.sid, u"lv_VI97HAXpY6yYWAAAC"_s);
        QCOMPARE(frame.pingInterval, std::chrono::milliseconds(25000));
        QCOMPARE(frame.pingTimeout, std::chrono::milliseconds(20000));
    }
    void events_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("arguments"); // as compact JSON
        const auto row = [](const char* tag, const char* text, const char* name,
                            const char* arguments) {
            QTest::newRow(tag) << QString(text) << QString(name) << QString(arguments);
        };
        row("trash of several", R"(42["on_asset_trash",["a","b"]])", "on_asset_trash",
            R"([["a","b"]])");
        row("asset", R"(42["on_upload_success",{"id":"a","exifInfo":{"fileSizeInByte":3}}])",
            "on_upload_success", R"([{"exifInfo":{"fileSizeInByte":3},"id":"a"}])");
        row("no argument", R"(42["AppRestartV1"])", "AppRestartV1", "[]");
        row("several arguments", R"(42["x",1,"two",null])", "x", R"([1,"two",null])");
        row("with an ack id", R"(4217["on_asset_hidden","a"])", "on_asset_hidden", R"(["a"])");
        row("default namespace named", R"(42/,["on_asset_restore",["a"]])", "on_asset_restore",
            R"([["a"]])");
        row("default namespace and ack id", R"(42/,3["on_asset_restore",["a"]])",
            "on_asset_restore", R"([["a"]])");
        row("non-ASCII", R"(42["on_asset_update",{"originalFileName":"été 🌞.jpg"}])",
            "on_asset_update", R"([{"originalFileName":"été 🌞.jpg"}])");
    }
    void events()
    {
        QFETCH(QString, text);
        QFETCH(QString, name);
        QFETCH(QString, arguments);
        const Frame frame = decode(text);
        QCOMPARE(frame.kind, Kind::event);
        QCOMPARE(frame.name, name);
        QCOMPARE(QString::fromUtf8(QJsonDocument(frame.arguments).toJson(QJsonDocument::Compact)),
                 arguments);
    }
    void connectErrorMessage_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("object") << R"(44{"message":"unauthorized","data":{}})"
                                << "unauthorized";
        QTest::newRow("text") << R"(44"Invalid namespace")"
                              << "Invalid namespace";
        QTest::newRow("nothing") << "44"
                                 << "";
    }
    void connectErrorMessage()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        const Frame frame = decode(text);
        QCOMPARE(frame.kind, Kind::connectError);
        QCOMPARE(frame.message, message);
    }
    void channelUrl_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("channel"); // empty: none
        // The channel is its base followed by the socket.io path and query.
        const auto row = [](const char* tag, const char* server, const char* base) {
            QTest::newRow(tag) << QString(server)
                               << (*base ? base + u"/api/socket.io/?EIO=4&transport=websocket"_s
                                         : QString());
        };
        row("plain", "http://127.0.0.1:2283", "ws://127.0.0.1:2283");
        row("TLS, under a path", "https://example.org/immich//", "wss://example.org/immich");
        row("upper-case scheme", "HTTPS://example.org", "wss://example.org");
        row("query, fragment and user dropped", "http://u:p@example.org/x?a=1#f",
            "ws://example.org/x");
        row("encoded path kept", "http://example.org/my%20photos", "ws://example.org/my%20photos");
        row("other scheme", "ftp://example.org", "");
        row("no host", "http:///x", "");
    }
    void channelUrl()
    {
        QFETCH(QString, server);
        QFETCH(QString, channel);
        const QUrl url = SocketIo::channelUrl(QUrl(server));
        QCOMPARE(url.isValid() ? url.toString(QUrl::FullyEncoded) : QString(), channel);
    }
};

QTEST_GUILESS_MAIN(TestSocketIoFrames)
#include "TestSocketIoFrames.moc"
