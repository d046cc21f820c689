#pragma once

#include "ImmichClient.h"

#include <QJsonArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class QWebSocket;

namespace pixavella {

// The Immich server's event channel: socket.io over a WebSocket at <server>/api/socket.io/,
// authenticated by the upgrade request's x-api-key header as any request of the API. It
// answers the server's pings, reports the events of the default namespace and whether the
// channel is up, and connects again by itself when it is cut, refused or falls silent: after
// 1 s, then twice as long after each attempt that did not come up, at most 60 s apart, and
// from 1 s again once a connection held kSteadyAfter.
//
// "Up" means the server accepted the connect and did not answer it with its "unauthorized"
// error: an event other than "error" arrived, or kConfirmAfter passed quietly.
//
// Lives on a thread with an event loop (the daemon's main thread); the client is asked anew for
// each attempt, so a new key or server is used from the next connection on.
class ServerEventChannel : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kFirstRetry{1000};
    static constexpr std::chrono::milliseconds kLongestRetry{60'000};
    // A connection that held this long was a real one, not a server accepting and dropping.
    static constexpr std::chrono::milliseconds kSteadyAfter{30'000};
    // From the upgrade request to an accepted connect; a server that says nothing is given up.
    static constexpr std::chrono::milliseconds kOpenTimeout{15'000};
    static constexpr std::chrono::milliseconds kConfirmAfter{1000};

    using ClientSource = std::function<std::optional<ImmichClient>()>;

    explicit ServerEventChannel(ClientSource source, QObject* parent = nullptr);
    ~ServerEventChannel() override;

    // Connects now and keeps connecting until stop().
    void start();
    void stop();
    bool isUp() const { return m_up; }
    // How long the next attempt will wait after a failure.
    std::chrono::milliseconds retryDelay() const { return m_retry; }

signals:
    void upChanged(bool up);
    void serverEvent(const QString& name, const QJsonArray& arguments);

private:
    void connectNow();
    void received(const QString& text);
    void confirm();
    // The current attempt is over, by the server's doing or ours; the next is scheduled.
    void lost(const QString& why);
    void setUp(bool up);
    void discardSocket();

    ClientSource m_source;
    QWebSocket* m_socket = nullptr; // the current attempt's, a child of this
    bool m_running = false;
    bool m_up = false;
    bool m_connected = false; // the connect was accepted on the current socket
    std::chrono::milliseconds m_retry = kFirstRetry;
    QTimer m_reconnect;
    QTimer m_openDeadline; // from the upgrade request until the channel is up
    QTimer m_silence;      // the server's ping interval + time-out, from its last message
    QTimer m_confirm;
    QTimer m_steady;
};

} // namespace pixavella
