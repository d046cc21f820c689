#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace pixavella::names {

class ClientConnection;

// A fixed number of threads answering connections whose request has arrived. The worker that
// went idle last is the one woken: a steady load keeps running on the same few threads, so only
// as many threads as requests ever answered at once open a database connection of their own.
class WorkerPool {
public:
    using Work = std::function<void(std::unique_ptr<ClientConnection>)>;

    WorkerPool(int threads, Work work);
    ~WorkerPool(); // shutdown()
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs `work` on a free worker, or on the first one to be free.
    void post(std::unique_ptr<ClientConnection> connection);
    // Answers what was posted, then ends the threads.
    void shutdown();

private:
    struct Idle {
        std::condition_variable wake;
        std::unique_ptr<ClientConnection> connection;
    };
    void run();

    const Work m_work;
    std::mutex m_mutex;
    std::vector<Idle*> m_idle; // the last one went idle last
    std::deque<std::unique_ptr<ClientConnection>> m_queued;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace pixavella::names
