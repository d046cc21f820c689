#pragma once

#include <QtGlobal>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace pixavella {

// Runs a function when its deadline passes unless cancelled first; one thread for all.
// Used for the host's own time limits on calls the extension might never complete.
class Deadlines {
public:
    using Id = quint64;
    Deadlines();
    ~Deadlines();
    Deadlines(const Deadlines&) = delete;
    Deadlines& operator=(const Deadlines&) = delete;

    Id schedule(std::chrono::milliseconds delay, std::function<void()> action);
    void cancel(Id id);
    // Drops every pending action and joins the thread.
    void stop();

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    void run();

    // Guards the maps and m_stopping; never held while an action runs.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::multimap<TimePoint, Id> m_byTime;
    std::map<Id, std::pair<TimePoint, std::function<void()>>> m_actions;
    Id m_next = 1;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace pixavella
