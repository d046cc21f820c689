#pragma once

#include "Result.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

class QLocalServer;
class QLocalSocket;

namespace pixavella {

// Keeps the application to one instance per user. The first process takes a lock in
// $XDG_RUNTIME_DIR/pixavella/ for its whole life and listens on a local socket beside it; a
// later process finds the lock taken, hands its switches to the running one over the socket and
// prints what it answers. One request and one reply per connection, each one line of JSON.
// The socket and its folder are private to the user: a password may travel through them.
class InstanceChannel : public QObject {
    Q_OBJECT

public:
    struct Request {
        QStringList arguments; // the switches, program name first
        QString password;      // for "--sign-in"; empty otherwise
    };
    struct Reply {
        int exitCode = 0;
        QString message; // printed by the second process when not empty
    };
    using Respond = std::function<void(const Reply&)>;
    // Runs on the main thread; `respond` must be called once (later is fine).
    using Handler = std::function<void(const Request&, Respond respond)>;

    static QString socketPath();
    static QString lockPath();

    explicit InstanceChannel(QObject* parent = nullptr);
    ~InstanceChannel() override;

    // Takes the lock. False when another process holds it: that one is the application.
    bool claim();
    // After claim(): serves the requests of later processes with `handler`.
    Result<void> listen(Handler handler);

    // In a later process: hands `request` to the running application and waits, at most
    // `timeout`, for its reply. Blocks; meant for before the event loop runs.
    static Result<Reply> forward(const Request& request, std::chrono::milliseconds timeout);

private:
    void accept();
    void serve(QLocalSocket* socket);

    int m_lock = -1;
    QLocalServer* m_server = nullptr;
    Handler m_handler;
};

} // namespace pixavella
