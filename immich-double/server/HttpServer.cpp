#include "HttpServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace immichdouble {

namespace {

constexpr size_t kReadBufferSize = 4096;
// A longer head is no upgrade the double answers: the library gets the connection.
constexpr size_t kMaxPeekedHead = 16 * 1024;
constexpr int kStopCheckMs = 100;

// The request the library last wrote an answer for on this thread, as its logger saw it: a
// connection is served on one thread from its first request to its last.
thread_local std::string tlAnsweredMethod;
thread_local std::string tlAnsweredPath;
thread_local bool tlAnswered = false;

int toMs(time_t seconds, time_t microseconds)
{
    return int(seconds * 1000 + microseconds / 1000);
}

// Waits for `events` on the socket; 1 when ready, 0 on time-out, -1 on error.
int waitFor(int socket, short events, int timeoutMs)
{
    pollfd entry{socket, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return ready;
        return (entry.revents & (events | POLLHUP | POLLERR)) ? 1 : 0;
    }
}

void addressOf(int socket, bool peer, std::string& ip, int& port)
{
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    const int result = peer ? ::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length)
                            : ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    if (result != 0)
        return;
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&address), length, host, sizeof(host), nullptr, 0,
                      NI_NUMERICHOST) == 0)
        ip = host;
    if (address.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    else if (address.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
}

// The library's socket stream, which its header keeps to itself: reads through a small buffer
// (its request parser reads lines a byte at a time), each wait bounded by the server's
// time-outs. One stream serves every request of a connection, so bytes a client sent ahead
// are not lost between requests.
class ConnectionStream : public httplib::Stream {
public:
    ConnectionStream(int socket, int readTimeoutMs, int writeTimeoutMs)
        : m_socket(socket), m_readTimeoutMs(readTimeoutMs), m_writeTimeoutMs(writeTimeoutMs)
    {
    }

    bool hasBuffered() const { return m_offset < m_filled; }
    size_t written() const { return m_written; }

    bool is_readable() const override
    {
        return hasBuffered() || waitFor(m_socket, POLLIN, m_readTimeoutMs) > 0;
    }

    bool is_writable() const override
    {
        if (waitFor(m_socket, POLLOUT, m_writeTimeoutMs) <= 0)
            return false;
        // Writable but closed by the peer: nothing more can reach it.
        if (waitFor(m_socket, POLLIN, 0) > 0) {
            char byte;
            return ::recv(m_socket, &byte, 1, MSG_PEEK) > 0;
        }
        return true;
    }

    ssize_t read(char* ptr, size_t size) override
    {
        if (hasBuffered()) {
            const size_t count = std::min(size, m_filled - m_offset);
            std::memcpy(ptr, m_buffer + m_offset, count);
            m_offset += count;
            return ssize_t(count);
        }
        if (!is_readable())
            return -1;
        if (size >= kReadBufferSize)
            return receive(ptr, size);
        const ssize_t received = receive(m_buffer, kReadBufferSize);
        if (received <= 0)
            return received;
        const size_t count = std::min(size, size_t(received));
        std::memcpy(ptr, m_buffer, count);
        m_offset = count;
        m_filled = size_t(received);
        return ssize_t(count);
    }

    ssize_t write(const char* ptr, size_t size) override
    {
        if (!is_writable())
            return -1;
        for (;;) {
            const ssize_t sent = ::send(m_socket, ptr, size, MSG_NOSIGNAL);
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent > 0)
                m_written += size_t(sent);
            return sent;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override
    {
        addressOf(m_socket, true, ip, port);
    }

    void get_local_ip_and_port(std::string& ip, int& port) const override
    {
        addressOf(m_socket, false, ip, port);
    }

    socket_t socket() const override { return m_socket; }

private:
    ssize_t receive(char* ptr, size_t size)
    {
        for (;;) {
            const ssize_t received = ::recv(m_socket, ptr, size, 0);
            if (received < 0 && errno == EINTR)
                continue;
            return received;
        }
    }

    int m_socket;
    int m_readTimeoutMs;
    int m_writeTimeoutMs;
    char m_buffer[kReadBufferSize];
    size_t m_offset = 0;
    size_t m_filled = 0;
    size_t m_written = 0;
};

} // namespace

void HttpServer::setAnswered(Answered answered)
{
    m_answered = std::move(answered);
    set_logger([](const httplib::Request& request, const httplib::Response&) {
        tlAnsweredMethod = request.method;
        tlAnsweredPath = request.path;
        tlAnswered = true;
    });
}

void HttpServer::setTakeOver(Wants wants, TakeOver takeOver)
{
    m_wants = std::move(wants);
    m_takeOver = std::move(takeOver);
}

bool HttpServer::process_and_close_socket(socket_t sock)
{
    bool served = false;
    if (waitForRequest(sock)) {
        if (m_takeOver) {
            const std::string head = peekHead(sock);
            if (!head.empty() && m_takeOver(sock, head))
                return true;
        }
        served = serveRequests(sock);
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return served;
}

// The library's keep-alive loop: requests one after another until the client closes, stays
// silent past the keep-alive time-out, uses up the allowed count, or the server stops.
bool HttpServer::serveRequests(socket_t sock)
{
    ConnectionStream stream(sock, toMs(read_timeout_sec_, read_timeout_usec_),
                            toMs(write_timeout_sec_, write_timeout_usec_));
    bool served = false;
    for (size_t count = keep_alive_max_count_; count > 0 && svr_sock_ != INVALID_SOCKET; --count) {
        if (!stream.hasBuffered() && !waitForRequest(sock))
            break;
        bool closed = false;
        const size_t before = stream.written();
        tlAnswered = false;
        served = process_request(stream, count == 1, closed, nullptr);
        if (m_answered && tlAnswered)
            m_answered(tlAnsweredMethod, tlAnsweredPath, stream.written() - before);
        if (!served || closed)
            break;
    }
    return served;
}

bool HttpServer::waitForRequest(socket_t sock) const
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
    while (svr_sock_ != INVALID_SOCKET) {
        const int ready = waitFor(sock, POLLIN, kStopCheckMs);
        if (ready != 0)
            return ready > 0;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
    return false;
}

// The first request's head without reading it, or nothing when the request line is not one
// to hand over; it is left on the socket for whoever serves the connection.
std::string HttpServer::peekHead(socket_t sock) const
{
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(toMs(read_timeout_sec_, read_timeout_usec_));
    std::string peeked(kMaxPeekedHead, '\0');
    bool lineChecked = false;
    while (std::chrono::steady_clock::now() < deadline) {
        const ssize_t length = ::recv(sock, peeked.data(), peeked.size(), MSG_PEEK);
        if (length < 0 && errno == EINTR)
            continue;
        if (length <= 0)
            return {};
        const std::string_view text(peeked.data(), size_t(length));
        if (!lineChecked) {
            const size_t lineEnd = text.find("\r\n");
            if (lineEnd != std::string_view::npos) {
                if (!m_wants(text.substr(0, lineEnd)))
                    return {};
                lineChecked = true;
            }
        }
        const size_t headEnd = text.find("\r\n\r\n");
        if (lineChecked && headEnd != std::string_view::npos)
            return std::string(text.substr(0, headEnd + 4));
        if (size_t(length) == peeked.size())
            return {};
        // The rest of the head is on its way; the socket already reads as ready, so poll
        // would not wait.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {};
}

} // namespace immichdouble
