#include "ServerEventChannel.h"

#include "Log.h"
#include "SocketIoFrames.h"

#include <QNetworkRequest>
#include <QWebSocket>

#include <algorithm>

Q_LOGGING_CATEGORY(lcEvents, "app.pixavella.events")

namespace pixavella {

using SocketIo::Frame;

ServerEventChannel::ServerEventChannel(ClientSource source, QObject* parent)
    : QObject(parent), m_source(std::move(source))
{
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &ServerEventChannel::connectNow);
    m_openDeadline.setSingleShot(true);
    m_openDeadline.setInterval(kOpenTimeout);
    connect(&m_openDeadline, &QTimer::timeout, this,
            [this] { lost(QStringLiteral("no accepted connection within the time-out")); });
    m_silence.setSingleShot(true);
    connect(&m_silence, &QTimer::timeout, this,
            [this] { lost(QStringLiteral("the server fell silent (no ping)")); });
    m_confirm.setSingleShot(true);
    m_confirm.setInterval(kConfirmAfter);
    connect(&m_confirm, &QTimer::timeout, this, &ServerEventChannel::confirm);
    m_steady.setSingleShot(true);
    m_steady.setInterval(kSteadyAfter);
    connect(&m_steady, &QTimer::timeout, this, [this] { m_retry = kFirstRetry; });
}

ServerEventChannel::~ServerEventChannel()
{
    m_running = false;
    discardSocket();
}

void ServerEventChannel::start()
{
    if (m_running)
        return;
    m_running = true;
    m_retry = kFirstRetry;
    connectNow();
}

void ServerEventChannel::stop()
{
    m_running = false;
    m_reconnect.stop();
    discardSocket();
    setUp(false);
}

void ServerEventChannel::connectNow()
{
    if (!m_running || m_socket)
        return;
    const std::optional<ImmichClient> client = m_source ? m_source() : std::nullopt;
    if (!client)
        return lost(QStringLiteral("not signed in"));
    const QUrl url = SocketIo::channelUrl(client->baseURL());
    if (!url.isValid())
        return lost(QStringLiteral("no channel for the server address ") +
                    client->baseURL().toString());

    QNetworkRequest request(url);
    request.setRawHeader("x-api-key", client->apiKey().toUtf8());
    m_socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    QWebSocket* socket = m_socket;
    connect(socket, &QWebSocket::textMessageReceived, this, &ServerEventChannel::received);
    connect(socket, &QWebSocket::disconnected, this,
            [this] { lost(QStringLiteral("the connection closed")); });
    connect(socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), this,
            [this, socket] { lost(socket->errorString()); });
    m_connected = false;
    m_openDeadline.start();
    qCDebug(lcEvents).noquote() << PIXAVELLA_LOG_PREFIX "event channel: connecting to"
                                << url.toString(QUrl::RemoveUserInfo);
    socket->open(request);
}

void ServerEventChannel::received(const QString& text)
{
    if (m_silence.interval() > 0)
        m_silence.start();
    const Frame frame = SocketIo::decode(text);
    switch (frame.kind) {
    case Frame::Kind::open:
        // The server pings every interval and waits the time-out for the answer: a connection
        // without a ping for both is dead even if the socket does not say so.
        m_silence.setInterval(frame.pingInterval + frame.pingTimeout);
        m_silence.start();
        m_socket->sendTextMessage(SocketIo::connectDefault());
        return;
    case Frame::Kind::ping:
        m_socket->sendTextMessage(SocketIo::pong());
        return;
    case Frame::Kind::close:
        return lost(QStringLiteral("closed by the server"));
    case Frame::Kind::connected:
        m_connected = true;
        if (!m_up)
            m_confirm.start();
        return;
    case Frame::Kind::disconnected:
        return lost(QStringLiteral("disconnected by the server"));
    case Frame::Kind::connectError:
        return lost(QStringLiteral("refused by the server: ") + frame.message);
    case Frame::Kind::event:
        if (!m_connected)
            return;
        if (!m_up) {
            // The server answers a key it does not accept with this event, then disconnects.
            if (frame.name == u"error")
                return lost(QStringLiteral("refused by the server: ") +
                            frame.arguments.first().toString());
            confirm();
        }
        emit serverEvent(frame.name, frame.arguments);
        return;
    case Frame::Kind::ignored:
        return;
    case Frame::Kind::malformed:
        qCDebug(lcEvents).noquote() << PIXAVELLA_LOG_PREFIX "event channel: unreadable message"
                                    << text.left(200);
        return;
    }
}

void ServerEventChannel::confirm()
{
    m_confirm.stop();
    m_openDeadline.stop();
    m_steady.start();
    setUp(true);
}

void ServerEventChannel::lost(const QString& why)
{
    const bool wasUp = m_up;
    discardSocket();
    m_openDeadline.stop();
    m_silence.stop();
    m_silence.setInterval(0);
    m_confirm.stop();
    m_steady.stop();
    m_connected = false;
    setUp(false);
    if (!m_running)
        return;
    if (wasUp)
        qCInfo(lcEvents).noquote() << PIXAVELLA_LOG_PREFIX "event channel down (" + why +
                                          "), connecting again in"
                                   << m_retry.count() << "ms";
    else
        qCDebug(lcEvents).noquote() << PIXAVELLA_LOG_PREFIX "event channel not up (" + why +
                                           "), next attempt in"
                                    << m_retry.count() << "ms";
    m_reconnect.start(m_retry);
    m_retry = std::min(m_retry * 2, kLongestRetry);
}

void ServerEventChannel::setUp(bool up)
{
    if (up == m_up)
        return;
    m_up = up;
    if (up)
        qCInfo(lcEvents).noquote() << PIXAVELLA_LOG_PREFIX "event channel up";
    emit upChanged(up);
}

void ServerEventChannel::discardSocket()
{
    if (!m_socket)
        return;
    QWebSocket* socket = std::exchange(m_socket, nullptr);
    // Nothing more from this attempt: its closing signals would end the next one.
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
}

} // namespace pixavella
