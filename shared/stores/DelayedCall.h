#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace pixavella {

// Runs a function after a delay, on a thread of its own (started at the first arm), so that
// retries need no event loop in the caller's thread. Arming again moves the pending call;
// there is at most one. The destructor cancels what is pending and waits for a call under way.
class DelayedCall {
public:
    explicit DelayedCall(std::function<void()> call);
    ~DelayedCall();

    // The call runs once `delay` from now, unless an earlier one is pending (that stays).
    void armWithin(std::chrono::milliseconds delay);

    DelayedCall(const DelayedCall&) = delete;
    DelayedCall& operator=(const DelayedCall&) = delete;

private:
    void run();

    const std::function<void()> m_call;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<std::chrono::steady_clock::time_point> m_due;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace pixavella
