#pragma once

#include "ApiMessage.h"

#include <QByteArray>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>

namespace immichdouble {

// One client of the event channel: the WebSocket handshake, then Engine.IO 4 (open packet,
// the server's pings and the client's pongs) carrying socket.io packets of the default
// namespace. Runs on a thread of its own; the other members may be called from any thread.
class EventSession {
public:
    struct Settings {
        int pingIntervalMs = 25000;
        int pingTimeoutMs = 20000;
        int maxPayload = 1000000;
    };
    // The user the handshake's headers authenticate, or -1.
    using Authenticate = std::function<int(const QHash<QByteArray, QByteArray>& headers)>;

    // `socket` holds the upgrade request, `headLength` bytes not read yet; the session owns
    // the socket from now on.
    EventSession(int socket, qsizetype headLength, ApiRequest request, Settings settings,
                 Authenticate authenticate);
    ~EventSession();
    EventSession(const EventSession&) = delete;
    EventSession& operator=(const EventSession&) = delete;

    void run(); // returns when the connection is closed

    // The user whose room the socket joined (after its socket.io connect), or -1.
    int user() const { return m_user; }
    bool finished() const { return m_finished; }
    // Sends a socket.io packet (without the Engine.IO message type) on the session's thread.
    void send(const QByteArray& packet);
    // Ends the connection at once, without a closing handshake.
    void drop();

private:
    bool handshake();
    void serve();
    // One Engine.IO packet from the client; false when the connection is to end.
    bool receivePacket(const QByteArray& packet);
    void receiveSocketIo(const QByteArray& packet);
    bool sendText(const QByteArray& text);
    bool sendAll(const QByteArray& bytes);
    bool flushQueue();
    // A close frame, then the client's own close (or a short wait for it).
    void closeGracefully(const QByteArray& closeFrame);

    int m_socket;
    int m_wake; // eventfd: queued packets, or a drop
    qsizetype m_headLength;
    ApiRequest m_request;
    Settings m_settings;
    Authenticate m_authenticate;
    QByteArray m_engineId;
    QByteArray m_socketId;
    bool m_pongAwaited = false;
    bool m_closing = false;

    std::atomic<int> m_user{-1};
    std::atomic<bool> m_finished{false};
    std::mutex m_mutex; // guards the two below, and the socket's descriptor against drop()
    std::deque<QByteArray> m_queue;
    bool m_closed = false;
};

} // namespace immichdouble
