#include "SocketIoFrames.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

namespace pixavella::SocketIo {

namespace {

using Kind = Frame::Kind;

Frame kindOnly(Kind kind)
{
    Frame frame;
    frame.kind = kind;
    return frame;
}

std::optional<QJsonValue> jsonOf(QStringView text)
{
    // QJsonDocument reads only objects and arrays; a bare value is wrapped to be read.
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson('[' + text.toUtf8() + ']', &error);
    if (error.error != QJsonParseError::NoError || document.array().size() != 1)
        return std::nullopt;
    return document.array().first();
}

std::optional<std::chrono::milliseconds> millisecondsOf(const QJsonValue& value)
{
    if (!value.isDouble() || value.toDouble() < 0 || value.toDouble() > 24 * 3600 * 1000.0)
        return std::nullopt;
    return std::chrono::milliseconds(qint64(value.toDouble()));
}

Frame decodeOpen(QStringView data)
{
    const std::optional<QJsonValue> json = jsonOf(data);
    if (!json || !json->isObject())
        return kindOnly(Kind::malformed);
    const QJsonObject handshake = json->toObject();
    const auto interval = millisecondsOf(handshake.value(QLatin1String("pingInterval")));
    const auto timeout = millisecondsOf(handshake.value(QLatin1String("pingTimeout")));
    const QJsonValue sid = handshake.value(QLatin1String("sid"));
    if (!interval || !timeout || !sid.isString())
        return kindOnly(Kind::malformed);
    Frame frame = kindOnly(Kind::open);
    frame.sid = sid.toString();
    frame.pingInterval = *interval;
    frame.pingTimeout = *timeout;
    return frame;
}

// A socket.io packet: <type>[<attachments>-][/<namespace>,][<ack id>][<JSON>].
Frame decodePacket(QStringView packet)
{
    if (packet.isEmpty() || packet[0] < u'0' || packet[0] > u'6')
        return kindOnly(Kind::malformed);
    const int type = packet[0].unicode() - u'0';
    qsizetype at = 1;
    // Binary events and acks: their attachments follow as binary messages, never read here.
    if (type == 5 || type == 6)
        return kindOnly(Kind::ignored);
    if (at < packet.size() && packet[at] == u'/') {
        const qsizetype comma = packet.indexOf(u',', at);
        const QStringView space = packet.mid(at, comma < 0 ? -1 : comma - at);
        if (space != u"/")
            return kindOnly(Kind::ignored);
        at = comma < 0 ? packet.size() : comma + 1;
    }
    while (at < packet.size() && packet[at].isDigit())
        ++at; // an ack id: the server asks for an answer nothing here gives
    const QStringView data = packet.mid(at);
    std::optional<QJsonValue> json;
    if (!data.isEmpty()) {
        json = jsonOf(data);
        if (!json)
            return kindOnly(Kind::malformed);
    }

    switch (type) {
    case 0:
        return kindOnly(Kind::connected);
    case 1:
        return kindOnly(Kind::disconnected);
    case 2: {
        const QJsonArray array = json ? json->toArray() : QJsonArray();
        if (array.isEmpty() || !array.first().isString())
            return kindOnly(Kind::malformed);
        Frame frame = kindOnly(Kind::event);
        frame.name = array.first().toString();
        frame.arguments = array;
        frame.arguments.removeFirst();
        return frame;
    }
    case 3:
        return kindOnly(Kind::ignored);
    case 4: {
        Frame frame = kindOnly(Kind::connectError);
        if (json && json->isObject())
            frame.message = json->toObject().value(QLatin1String("message")).toString();
        else if (json && json->isString())
            frame.message = json->toString();
        return frame;
    }
    }
    return kindOnly(Kind::malformed);
}

} // namespace

Frame decode(const QString& text)
{
    if (text.isEmpty())
        return kindOnly(Kind::malformed);
    const QStringView data = QStringView(text).mid(1);
    switch (text[0].unicode()) {
    case u'0':
        return decodeOpen(data);
    case u'1':
        return kindOnly(Kind::close);
    case u'2':
        // A ping may carry data ("2probe" during an upgrade); the answer is the same.
        return kindOnly(Kind::ping);
    case u'3':
    case u'5':
    case u'6':
        return kindOnly(Kind::ignored);
    case u'4':
        return decodePacket(data);
    }
    return kindOnly(Kind::malformed);
}

QString encodeEvent(const QString& name, const QJsonArray& arguments)
{
    QJsonArray array{name};
    for (const QJsonValue& argument : arguments)
        array.append(argument);
    return QStringLiteral("42") +
           QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QUrl channelUrl(const QUrl& server)
{
    const QString scheme = server.scheme().toLower();
    if ((scheme != u"http" && scheme != u"https") || server.host().isEmpty())
        return {};
    QUrl url = server;
    url.setScheme(scheme == u"https" ? QStringLiteral("wss") : QStringLiteral("ws"));
    QString path = server.path(QUrl::FullyEncoded);
    while (path.endsWith(u'/'))
        path.chop(1);
    url.setPath(path + QStringLiteral("/api/socket.io/"), QUrl::TolerantMode);
    url.setQuery(QStringLiteral("EIO=4&transport=websocket"));
    url.setFragment(QString());
    url.setUserInfo(QString());
    return url;
}

} // namespace pixavella::SocketIo
