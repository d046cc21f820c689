#include "WorkerPool.h"

#include "ClientConnection.h"

#include <algorithm>

namespace pixavella::names {

WorkerPool::WorkerPool(int threads, Work work) : m_work(std::move(work))
{
    m_threads.reserve(std::size_t(std::max(threads, 1)));
    for (int i = 0; i < std::max(threads, 1); ++i)
        m_threads.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool()
{
    shutdown();
}

void WorkerPool::post(std::unique_ptr<ClientConnection> connection)
{
    const std::lock_guard lock(m_mutex);
    if (m_idle.empty()) {
        m_queued.push_back(std::move(connection));
        return;
    }
    Idle* worker = m_idle.back();
    m_idle.pop_back();
    worker->connection = std::move(connection);
    worker->wake.notify_one();
}

void WorkerPool::run()
{
    Idle self;
    std::unique_lock lock(m_mutex);
    for (;;) {
        std::unique_ptr<ClientConnection> connection;
        if (!m_queued.empty()) {
            connection = std::move(m_queued.front());
            m_queued.pop_front();
        } else if (m_stopping) {
            return;
        } else {
            m_idle.push_back(&self);
            self.wake.wait(lock, [&] { return self.connection || m_stopping; });
            if (!self.connection) {
                m_idle.erase(std::find(m_idle.begin(), m_idle.end(), &self));
                continue;
            }
            connection = std::move(self.connection);
        }
        lock.unlock();
        m_work(std::move(connection));
        lock.lock();
    }
}

void WorkerPool::shutdown()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping && m_threads.empty())
            return;
        m_stopping = true;
        for (Idle* worker : m_idle)
            worker->wake.notify_one();
    }
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
}

} // namespace pixavella::names
