#include "EventSession.h"

#include "WebSocketFrames.h"

#include <QLoggingCategory>
#include <QRandomGenerator>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>

Q_LOGGING_CATEGORY(lcEvents, "immichdouble.events")

namespace immichdouble {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSendTimeoutSeconds = 10;
constexpr int kCloseWaitMs = 2000;

// 20 URL-safe characters, as Engine.IO and socket.io make their ids.
QByteArray randomId()
{
    std::array<quint32, 4> words;
    QRandomGenerator::system()->generate(words.begin(), words.end());
    return QByteArray(reinterpret_cast<const char*>(words.data()), 15)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

QByteArray plainAnswer(int status, const char* reason, const QByteArray& contentType,
                       const QByteArray& body)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
           "\r\nConnection: close\r\nContent-Type: " + contentType +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// Engine.IO's refusal of a handshake: 400 with its error code and message.
QByteArray engineError(int code, const char* message)
{
    return plainAnswer(400, "Bad Request", "application/json",
                       "{\"code\":" + QByteArray::number(code) + ",\"message\":\"" + message +
                           "\"}");
}

int remainingMs(Clock::time_point until)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    return int(std::max<qint64>(0, left));
}

} // namespace

EventSession::EventSession(int socket, qsizetype headLength, ApiRequest request, Settings settings,
                           Authenticate authenticate)
    : m_socket(socket), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_headLength(headLength),
      m_request(std::move(request)), m_settings(settings), m_authenticate(std::move(authenticate)),
      m_engineId(randomId()), m_socketId(randomId())
{
}

EventSession::~EventSession()
{
    if (m_wake >= 0)
        ::close(m_wake);
}

void EventSession::run()
{
    const timeval sendTimeout{kSendTimeoutSeconds, 0};
    ::setsockopt(m_socket, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
    if (handshake())
        serve();
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_queue.clear();
        ::shutdown(m_socket, SHUT_RDWR);
        ::close(m_socket);
    }
    m_user = -1;
    m_finished = true;
}

void EventSession::send(const QByteArray& packet)
{
    std::lock_guard lock(m_mutex);
    if (m_closed)
        return;
    m_queue.push_back('4' + packet);
    const quint64 one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof(one));
}

void EventSession::drop()
{
    std::lock_guard lock(m_mutex);
    if (!m_closed)
        ::shutdown(m_socket, SHUT_RDWR);
}

// Reads the upgrade request off the socket and answers it: 101, or the refusal Engine.IO or
// its WebSocket server would give.
bool EventSession::handshake()
{
    QByteArray head(m_headLength, Qt::Uninitialized);
    for (qsizetype read = 0; read < m_headLength;) {
        const ssize_t got = ::recv(m_socket, head.data() + read, size_t(m_headLength - read), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        read += got;
    }

    const QUrlQuery& query = m_request.query;
    QByteArray refusal;
    if (query.queryItemValue(QStringLiteral("transport")) != QLatin1String("websocket"))
        refusal = engineError(0, "Transport unknown");
    else if (query.hasQueryItem(QStringLiteral("sid")))
        refusal = engineError(1, "Session ID unknown");
    else if (m_request.method != "GET")
        refusal = engineError(2, "Bad handshake method");
    else if (m_request.header("sec-websocket-version") != "13" ||
             QByteArray::fromBase64(m_request.header("sec-websocket-key")).size() != 16)
        refusal = plainAnswer(400, "Bad Request", "text/html", "Bad Request");
    else if (query.queryItemValue(QStringLiteral("EIO")) != QLatin1String("4"))
        refusal = engineError(5, "Unsupported protocol version");
    if (!refusal.isEmpty()) {
        sendAll(refusal);
        return false;
    }
    return sendAll("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                   websocket::acceptKey(m_request.header("sec-websocket-key")) + "\r\n\r\n");
}

void EventSession::serve()
{
    const auto interval = std::chrono::milliseconds(m_settings.pingIntervalMs);
    const auto timeout = std::chrono::milliseconds(m_settings.pingTimeoutMs);
    if (!sendText("0{\"sid\":\"" + m_engineId + "\",\"upgrades\":[],\"pingInterval\":" +
                  QByteArray::number(m_settings.pingIntervalMs) +
                  ",\"pingTimeout\":" + QByteArray::number(m_settings.pingTimeoutMs) +
                  ",\"maxPayload\":" + QByteArray::number(m_settings.maxPayload) + '}'))
        return;

    websocket::FrameReader reader(m_settings.maxPayload);
    Clock::time_point nextPing = Clock::now() + interval;
    Clock::time_point pongDeadline;
    std::vector<char> buffer(16 * 1024);
    for (;;) {
        pollfd fds[2] = {{m_socket, POLLIN, 0}, {m_wake, POLLIN, 0}};
        const int ready = ::poll(fds, 2, remainingMs(m_pongAwaited ? pongDeadline : nextPing));
        if (ready < 0 && errno != EINTR)
            return;
        if (fds[1].revents & POLLIN) {
            quint64 count = 0;
            [[maybe_unused]] const auto got = ::read(m_wake, &count, sizeof(count));
        }
        if (!flushQueue())
            return;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t got = ::recv(m_socket, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return;
            std::vector<websocket::Message> messages;
            reader.feed(QByteArray(buffer.data(), got), messages);
            for (const websocket::Message& message : messages) {
                switch (message.opcode) {
                case websocket::Opcode::Text: {
                    const bool wasAwaiting = m_pongAwaited;
                    if (!receivePacket(message.payload)) {
                        closeGracefully(websocket::closeFrame(websocket::NormalClosure));
                        return;
                    }
                    if (wasAwaiting && !m_pongAwaited)
                        nextPing = Clock::now() + interval;
                    break;
                }
                case websocket::Opcode::Ping:
                    if (!sendAll(websocket::frame(websocket::Opcode::Pong, message.payload)))
                        return;
                    break;
                case websocket::Opcode::Close:
                    sendAll(websocket::frame(websocket::Opcode::Close, message.payload.left(2)));
                    return;
                default:
                    break; // binary messages and pongs carry nothing for the server
                }
            }
            if (m_closing) {
                closeGracefully(websocket::closeFrame(websocket::NormalClosure));
                return;
            }
            if (const auto error = reader.error()) {
                qCInfo(lcEvents) << "closing a connection after a bad frame, code" << *error;
                closeGracefully(websocket::closeFrame(*error));
                return;
            }
        }
        const auto now = Clock::now();
        if (m_pongAwaited && now >= pongDeadline) {
            qCInfo(lcEvents) << "no pong within" << m_settings.pingTimeoutMs << "ms: closing";
            closeGracefully(websocket::frame(websocket::Opcode::Close, {}));
            return;
        }
        if (!m_pongAwaited && now >= nextPing) {
            if (!sendText("2"))
                return;
            m_pongAwaited = true;
            pongDeadline = now + timeout;
        }
    }
}

bool EventSession::receivePacket(const QByteArray& packet)
{
    switch (packet.isEmpty() ? '\0' : packet[0]) {
    case '1': // close
        return false;
    case '2': // a ping of the client's own
        return sendText('3' + packet.mid(1));
    case '3':
        m_pongAwaited = false;
        return true;
    case '4':
        receiveSocketIo(packet.mid(1));
        return true;
    default: // upgrade and noop packets have no use on a WebSocket-only server
        return true;
    }
}

void EventSession::receiveSocketIo(const QByteArray& packet)
{
    if (packet.isEmpty())
        return;
    QByteArray space;
    if (packet.size() > 1 && packet[1] == '/') {
        const qsizetype comma = packet.indexOf(',');
        space = packet.mid(1, comma < 0 ? -1 : comma - 1);
    }
    switch (packet[0]) {
    case '0': { // connect
        if (!space.isEmpty() && space != "/") {
            sendText("44" + space + ",{\"message\":\"Invalid namespace\"}");
            return;
        }
        sendText("40{\"sid\":\"" + m_socketId + "\"}");
        const int user = m_authenticate(m_request.headers);
        if (user < 0) {
            sendText(R"(42["error","unauthorized"])");
            sendText("41");
            m_closing = true;
            return;
        }
        // In the room before the version goes out: whatever happens once a client has seen
        // the version reaches it, and comes after the version.
        m_user = user;
        sendText(R"(42["on_server_version",{"major":3,"minor":0,"patch":3}])");
        return;
    }
    case '1': // disconnect from the namespace
        m_user = -1;
        return;
    default: // the server takes no events from clients
        return;
    }
}

bool EventSession::sendText(const QByteArray& text)
{
    return sendAll(websocket::frame(websocket::Opcode::Text, text));
}

bool EventSession::sendAll(const QByteArray& bytes)
{
    for (qsizetype sent = 0; sent < bytes.size();) {
        const ssize_t written =
            ::send(m_socket, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        sent += written;
    }
    return true;
}

bool EventSession::flushQueue()
{
    std::deque<QByteArray> queued;
    {
        std::lock_guard lock(m_mutex);
        queued.swap(m_queue);
    }
    for (const QByteArray& text : queued) {
        if (!sendText(text))
            return false;
    }
    return true;
}

void EventSession::closeGracefully(const QByteArray& closeFrame)
{
    if (!sendAll(closeFrame))
        return;
    ::shutdown(m_socket, SHUT_WR);
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(kCloseWaitMs);
    char buffer[4096];
    for (;;) {
        pollfd entry{m_socket, POLLIN, 0};
        if (::poll(&entry, 1, remainingMs(until)) <= 0)
            return;
        if (::recv(m_socket, buffer, sizeof(buffer), 0) <= 0)
            return;
    }
}

} // namespace immichdouble
