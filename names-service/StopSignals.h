#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace pixavella::names {

// Turns SIGINT, SIGTERM and SIGHUP into a call of `stop` on a thread of its own, where any
// code may run (a signal handler may not). block() must run before any thread is started, so
// that every thread inherits the blocked mask and only sigwait() sees these signals.
class StopSignals {
public:
    static void block();

    // `stop` is called again until this object is destroyed: a stop that comes before the
    // server runs would otherwise be lost.
    explicit StopSignals(std::function<void()> stop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    std::atomic<bool> m_finished{false};
    std::thread m_waiter;
};

} // namespace pixavella::names
