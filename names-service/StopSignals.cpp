#include "StopSignals.h"

#include <chrono>
#include <csignal>
#include <pthread.h>

namespace pixavella::names {

namespace {

sigset_t stopSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

void StopSignals::block()
{
    const sigset_t set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignals::StopSignals(std::function<void()> stop)
{
    m_waiter = std::thread([this, stop = std::move(stop)] {
        const sigset_t set = stopSet();
        int signal = 0;
        sigwait(&set, &signal);
        while (!m_finished.load()) {
            stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
}

StopSignals::~StopSignals()
{
    m_finished.store(true);
    // Wakes the waiter if no signal came; if one did, this one stays pending and is dropped.
    pthread_kill(m_waiter.native_handle(), SIGTERM);
    m_waiter.join();
}

} // namespace pixavella::names
