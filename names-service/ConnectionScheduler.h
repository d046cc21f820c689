#pragma once

#include "AddressLimiter.h"
#include "ConnectionLimits.h"
#include "WorkerPool.h"

#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pixavella::names {

class ClientConnection;

// Where accepted connections wait and get answered. One thread watches every connection that
// waits for a request (epoll), reads what arrives and drops those past their deadline; a
// connection moves to the worker pool only once its whole request is there, and comes back
// after its answer when it is kept alive. Connections past the per-address or total limit are
// answered 503 and closed at once, without reaching either.
//
// It is the httplib server's task queue: the server's accept loop calls enqueue() with a task
// that hands the accepted socket to admit(), and that task runs at once on the accept thread.
class ConnectionScheduler : public httplib::TaskQueue {
public:
    // Answers the request waiting in the connection; true keeps the connection for another.
    using Serve = std::function<bool(ClientConnection&)>;

    ConnectionScheduler(const ConnectionLimits& limits, std::size_t maxBodyBytes, Serve serve);
    ~ConnectionScheduler() override;
    ConnectionScheduler(const ConnectionScheduler&) = delete;
    ConnectionScheduler& operator=(const ConnectionScheduler&) = delete;

    // Takes ownership of an accepted socket.
    void admit(int fd);

    void enqueue(std::function<void()> task) override { task(); }
    // Closes the waiting connections, answers those whose request has arrived, ends the threads.
    void shutdown() override;

private:
    using Clock = std::chrono::steady_clock;

    void watch();
    // Hands a connection to the watching thread, from any thread.
    void giveToWatcher(std::unique_ptr<ClientConnection> connection);
    void wakeWatcher();
    // On the watching thread: reads, then moves the connection on or drops it.
    void advance(ClientConnection* connection, Clock::time_point now);
    void dropExpired(Clock::time_point now);
    void answer(std::unique_ptr<ClientConnection> connection);

    const ConnectionLimits m_limits;
    const std::size_t m_maxBodyBytes;
    const Serve m_serve;
    AddressLimiter m_limiter;
    int m_epoll = -1;
    int m_wake = -1; // eventfd
    // Answers written before closing, for requests httplib never sees.
    const std::string m_tooManyFromThere;
    const std::string m_tooMany;
    const std::string m_timedOut;
    const std::string m_headTooLarge;
    const std::string m_bodyTooLarge;
    const std::string m_badFraming;

    std::mutex m_mutex; // guards m_incoming and m_stopping
    std::vector<std::unique_ptr<ClientConnection>> m_incoming;
    bool m_stopping = false;
    bool m_shutDown = false;

    // The watching thread's own.
    std::unordered_map<ClientConnection*, std::unique_ptr<ClientConnection>> m_waiting;

    // Refusals and cut requests come in floods when they come at all: one line a period.
    struct LogTally {
        Clock::time_point logged;
        int since = 0;
        // Counts one; true when a line is due, for `since` of them.
        bool count(Clock::time_point now);
    };
    LogTally m_refusals; // the accept thread's
    LogTally m_tooSlow;  // the watching thread's

    std::thread m_watcher;
    WorkerPool m_workers; // last: its threads may use every member above
};

} // namespace pixavella::names
