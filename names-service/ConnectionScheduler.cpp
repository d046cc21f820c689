#include "ConnectionScheduler.h"

#include "ClientConnection.h"

#include <QLoggingCategory>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcNamesConnections, "pixavella.names.connections")

namespace pixavella::names {

namespace {

using namespace std::chrono;

constexpr auto logPeriod = seconds(10);

// A whole answer with the service's error body, for connections httplib never sees.
std::string finalAnswer(int status, const char* reason, const std::string& message)
{
    const std::string body =
        "{\"message\":\"" + message + "\",\"statusCode\":" + std::to_string(status) + "}";
    return "HTTP/1.1 " + std::to_string(status) + ' ' + reason +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + body;
}

} // namespace

ConnectionScheduler::ConnectionScheduler(const ConnectionLimits& limits, std::size_t maxBodyBytes,
                                         Serve serve)
    : m_limits(limits), m_maxBodyBytes(maxBodyBytes), m_serve(std::move(serve)),
      m_limiter(limits.total, limits.perAddress), m_epoll(::epoll_create1(EPOLL_CLOEXEC)),
      m_wake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      m_tooManyFromThere(
          finalAnswer(503, "Service Unavailable", "Too many connections from this address.")),
      m_tooMany(finalAnswer(503, "Service Unavailable", "Too many connections.")),
      m_timedOut(finalAnswer(408, "Request Timeout", "The request did not arrive in time.")),
      m_headTooLarge(finalAnswer(431, "Request Header Fields Too Large",
                                 "The request head is larger than " +
                                     std::to_string(limits.maxHeadBytes) + " bytes.")),
      m_bodyTooLarge(
          finalAnswer(413, "Payload Too Large",
                      "The body is larger than " + std::to_string(maxBodyBytes) + " bytes.")),
      m_badFraming(finalAnswer(400, "Bad Request", "Bad request.")),
      m_workers(limits.workers, [this](std::unique_ptr<ClientConnection> connection) {
          answer(std::move(connection));
      })
{
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;
    if (m_epoll < 0 || m_wake < 0 || ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &wake) != 0)
        qCCritical(lcNamesConnections) << "cannot watch connections:" << std::strerror(errno);
    m_watcher = std::thread([this] { watch(); });
}

ConnectionScheduler::~ConnectionScheduler()
{
    shutdown();
}

void ConnectionScheduler::admit(int fd)
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(fd);
        return;
    }
    AddressLimiter::Admission admission = m_limiter.admit(peer);
    if (!admission.slot) {
        if (m_refusals.count(Clock::now())) {
            qCWarning(lcNamesConnections).noquote()
                << "refused" << std::exchange(m_refusals.since, 0) << "connection(s), the last from"
                << ClientConnection::addressText(peer).c_str()
                << (admission.refusal == AddressLimiter::Refusal::PerAddress
                        ? QStringLiteral("(more than %1 from one address)").arg(m_limits.perAddress)
                        : QStringLiteral("(more than %1 in all)").arg(m_limits.total));
        }
        ClientConnection::sendFinalAnswer(
            fd, admission.refusal == AddressLimiter::Refusal::PerAddress ? m_tooManyFromThere
                                                                         : m_tooMany);
        ::close(fd);
        return;
    }
    giveToWatcher(std::make_unique<ClientConnection>(fd, peer, std::move(admission.slot), m_limits,
                                                     m_maxBodyBytes, Clock::now()));
}

bool ConnectionScheduler::LogTally::count(Clock::time_point now)
{
    ++since;
    if (logged != Clock::time_point() && now - logged < logPeriod)
        return false;
    logged = now;
    return true;
}

void ConnectionScheduler::giveToWatcher(std::unique_ptr<ClientConnection> connection)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping)
            return;
        m_incoming.push_back(std::move(connection));
    }
    wakeWatcher();
}

void ConnectionScheduler::wakeWatcher()
{
    const std::uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
}

void ConnectionScheduler::watch()
{
    std::vector<epoll_event> events(64);
    std::vector<std::unique_ptr<ClientConnection>> arrived;
    for (;;) {
        {
            const std::lock_guard lock(m_mutex);
            if (m_stopping)
                break;
            arrived.swap(m_incoming);
        }
        auto now = Clock::now();
        for (auto& connection : arrived) {
            ClientConnection* raw = connection.get();
            epoll_event event{};
            event.events = EPOLLIN | EPOLLRDHUP;
            event.data.ptr = raw;
            if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, raw->fd(), &event) != 0)
                continue;
            m_waiting.emplace(raw, std::move(connection));
            // A kept-alive connection may hold the next request already.
            advance(raw, now);
        }
        arrived.clear();
        dropExpired(now);

        int timeout = -1;
        if (!m_waiting.empty()) {
            auto earliest = Clock::time_point::max();
            for (const auto& [raw, connection] : m_waiting)
                earliest = std::min(earliest, raw->deadline());
            timeout = int(std::clamp<long long>(
                duration_cast<milliseconds>(earliest - now).count() + 1, 0, 60'000));
        }
        const int ready = ::epoll_wait(m_epoll, events.data(), int(events.size()), timeout);
        if (ready < 0 && errno != EINTR) {
            qCCritical(lcNamesConnections) << "cannot watch connections:" << std::strerror(errno);
            break;
        }
        now = Clock::now();
        for (int i = 0; i < ready; ++i) {
            auto* raw = static_cast<ClientConnection*>(events[std::size_t(i)].data.ptr);
            if (!raw) {
                std::uint64_t count = 0;
                (void)!::read(m_wake, &count, sizeof count);
            } else if (m_waiting.contains(raw)) {
                advance(raw, now);
            }
        }
    }
    m_waiting.clear();
}

void ConnectionScheduler::advance(ClientConnection* raw, Clock::time_point now)
{
    const ClientConnection::Progress progress = raw->receive(now);
    if (progress == ClientConnection::Progress::Waiting)
        return;
    auto node = m_waiting.extract(raw);
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, raw->fd(), nullptr);
    switch (progress) {
    case ClientConnection::Progress::Ready:
        m_workers.post(std::move(node.mapped()));
        return;
    case ClientConnection::Progress::HeadTooLarge:
        ClientConnection::sendFinalAnswer(raw->fd(), m_headTooLarge);
        return;
    case ClientConnection::Progress::BodyTooLarge:
        ClientConnection::sendFinalAnswer(raw->fd(), m_bodyTooLarge);
        return;
    case ClientConnection::Progress::BadFraming:
        ClientConnection::sendFinalAnswer(raw->fd(), m_badFraming);
        return;
    case ClientConnection::Progress::Closed:
    case ClientConnection::Progress::Waiting:
        return;
    }
}

void ConnectionScheduler::dropExpired(Clock::time_point now)
{
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        ClientConnection* raw = it->first;
        if (raw->deadline() > now) {
            ++it;
            continue;
        }
        if (raw->heardFromClient()) {
            ClientConnection::sendFinalAnswer(raw->fd(), m_timedOut);
            if (m_tooSlow.count(now))
                qCWarning(lcNamesConnections).noquote()
                    << "closed" << std::exchange(m_tooSlow.since, 0)
                    << "connection(s) whose request did not arrive in time, the last from"
                    << raw->peerAddress().c_str();
        }
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, raw->fd(), nullptr);
        it = m_waiting.erase(it);
    }
}

void ConnectionScheduler::answer(std::unique_ptr<ClientConnection> connection)
{
    connection->beginAnswer(Clock::now());
    if (!m_serve(*connection))
        return;
    connection->awaitNextRequest(Clock::now());
    giveToWatcher(std::move(connection));
}

void ConnectionScheduler::shutdown()
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_shutDown)
            return;
        m_shutDown = true;
        m_stopping = true;
    }
    wakeWatcher();
    if (m_watcher.joinable())
        m_watcher.join();
    m_workers.shutdown();
    {
        const std::lock_guard lock(m_mutex);
        m_incoming.clear();
    }
    if (m_epoll >= 0)
        ::close(m_epoll);
    if (m_wake >= 0)
        ::close(m_wake);
    m_epoll = m_wake = -1;
}

} // namespace pixavella::names
