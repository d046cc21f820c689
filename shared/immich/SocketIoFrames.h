#pragma once

#include <QJsonArray>
#include <QString>
#include <QUrl>

#include <chrono>

namespace pixavella::SocketIo {

// The Immich server's event channel speaks socket.io 4 (Engine.IO protocol 4) over a WebSocket,
// one Engine.IO packet per text message: a digit for the packet type, then its data. Messages
// ("4") carry socket.io packets: a digit for their type, an optional "/namespace," and ack id,
// then JSON. Only what a client of the default namespace needs is read here.

// What one text message from the server means to the client.
struct Frame {
    enum class Kind {
        open,         // Engine.IO handshake: sid, pingInterval, pingTimeout
        ping,         // the server's heartbeat, to be answered with pong()
        close,        // Engine.IO close: the transport is over
        connected,    // socket.io connect of the default namespace accepted
        disconnected, // socket.io disconnect of the default namespace
        connectError, // socket.io connect refused, with `message`
        event,        // socket.io event: `name` and `arguments`
        ignored,      // well formed but of no use here (noop, acks, binary, other namespaces)
        malformed,    // not a packet of these protocols
    };
    Kind kind = Kind::malformed;
    QString sid;
    std::chrono::milliseconds pingInterval{0};
    std::chrono::milliseconds pingTimeout{0};
    QString name;
    QJsonArray arguments;
    QString message;
};

Frame decode(const QString& text);

// What the client sends: the answer to a ping, and the connect to the default namespace (the
// server authenticates the WebSocket's upgrade request, so the connect carries nothing).
inline QString pong()
{
    return QStringLiteral("3");
}
inline QString connectDefault()
{
    return QStringLiteral("40");
}
// An event as the server writes it, "42[name, arguments…]".
QString encodeEvent(const QString& name, const QJsonArray& arguments);

// The channel of an Immich server at `server` (the address the API lives under, "/api"
// appended as for every request): ws:// for http://, wss:// for https://, at
// <server path>/api/socket.io/ with the WebSocket transport of Engine.IO 4. Invalid for any
// other scheme.
QUrl channelUrl(const QUrl& server);

} // namespace pixavella::SocketIo
