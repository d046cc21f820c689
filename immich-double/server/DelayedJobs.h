#pragma once

#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace immichdouble {

// Work the server does some time after a request, as its background jobs do (thumbnails,
// metadata extraction). Jobs run one at a time on a thread of their own, each while holding
// the mutex given, in the order of their times.
class DelayedJobs {
public:
    explicit DelayedJobs(std::mutex& held);
    ~DelayedJobs(); // pending jobs are dropped
    DelayedJobs(const DelayedJobs&) = delete;
    DelayedJobs& operator=(const DelayedJobs&) = delete;

    // Runs `job` in `delayMs`; at once, on the caller's thread (which must hold the mutex),
    // when the delay is not positive.
    void run(int delayMs, std::function<void()> job);

private:
    struct Pending {
        std::chrono::steady_clock::time_point at;
        quint64 order;
        std::function<void()> job;
        bool operator>(const Pending& other) const
        {
            return at != other.at ? at > other.at : order > other.order;
        }
    };
    void loop();

    std::mutex& m_held;
    std::mutex m_mutex; // guards everything below
    std::condition_variable m_changed;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<>> m_pending;
    quint64 m_added = 0;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace immichdouble
