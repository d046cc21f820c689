#include "ClientConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace pixavella::names {

namespace {

using namespace std::chrono;

constexpr std::size_t recvChunk = 16 * 1024;
constexpr std::string_view headEnd = "\r\n\r\n";

void describe(const sockaddr_storage& address, std::string& ip, int& port)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    ip = text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x | 0x20) == (y | 0x20);
           });
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

} // namespace

ClientConnection::ClientConnection(int fd, const sockaddr_storage& peer,
                                   std::unique_ptr<AddressLimiter::Slot> slot,
                                   const ConnectionLimits& limits, std::size_t maxBodyBytes,
                                   Clock::time_point accepted)
    : m_fd(fd), m_slot(std::move(slot)), m_limits(limits), m_maxBodyBytes(maxBodyBytes),
      m_deadline(accepted + limits.headerTimeout)
{
    describe(peer, m_peerIp, m_peerPort);
}

std::string ClientConnection::addressText(const sockaddr_storage& address)
{
    std::string ip;
    int port = 0;
    describe(address, ip, port);
    return ip;
}

ClientConnection::~ClientConnection()
{
    ::close(m_fd);
}

void ClientConnection::resetRequest()
{
    m_buffer.erase(0, m_consumed);
    m_consumed = 0;
    m_scanned = 0;
    m_headEnd = std::string::npos;
    m_framing = Framing::None;
    m_bodyLength = 0;
    m_chunkAt = 0;
}

void ClientConnection::awaitNextRequest(Clock::time_point now)
{
    resetRequest();
    m_keptAlive = true;
    m_heard = !m_buffer.empty();
    m_deadline = now + (m_heard ? m_limits.headerTimeout : m_limits.keepAliveTimeout);
}

ssize_t ClientConnection::recvIntoBuffer()
{
    const std::size_t used = m_buffer.size();
    m_buffer.resize(used + recvChunk);
    ssize_t n;
    do {
        n = ::recv(m_fd, m_buffer.data() + used, recvChunk, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    m_buffer.resize(used + std::size_t(std::max<ssize_t>(n, 0)));
    return n;
}

ClientConnection::Progress ClientConnection::receive(Clock::time_point now)
{
    // Enough for the largest acceptable request; past it evaluate() refuses.
    const std::size_t cap = m_limits.maxHeadBytes + m_maxBodyBytes + recvChunk;
    bool ended = false;
    while (m_buffer.size() - m_consumed < cap) {
        const ssize_t n = recvIntoBuffer();
        if (n > 0)
            continue;
        if (n == 0)
            ended = true;
        else if (errno != EAGAIN && errno != EWOULDBLOCK)
            return Progress::Closed;
        break;
    }
    const Progress progress = evaluate(now);
    // A client may end its sending side once its request is out, and still read the answer.
    if (ended && progress == Progress::Waiting)
        return Progress::Closed;
    return progress;
}

ClientConnection::Progress ClientConnection::evaluate(Clock::time_point now)
{
    const std::size_t pending = m_buffer.size() - m_consumed;
    if (pending > 0 && !m_heard) {
        m_heard = true;
        if (m_keptAlive)
            m_deadline = now + m_limits.headerTimeout;
    }
    if (m_headEnd == std::string::npos) {
        const std::size_t from = std::max(m_consumed, m_scanned >= 3 ? m_scanned - 3 : 0);
        const std::size_t found = m_buffer.find(headEnd, from);
        if (found == std::string::npos) {
            m_scanned = m_buffer.size();
            return pending > m_limits.maxHeadBytes ? Progress::HeadTooLarge : Progress::Waiting;
        }
        m_headEnd = found + headEnd.size();
        if (m_headEnd - m_consumed > m_limits.maxHeadBytes)
            return Progress::HeadTooLarge;
        inspectHead();
        m_deadline = now + m_limits.bodyTimeout;
    }
    switch (m_framing) {
    case Framing::None:
        return Progress::Ready;
    case Framing::Length:
        return m_buffer.size() - m_headEnd < m_bodyLength ? Progress::Waiting : Progress::Ready;
    case Framing::Chunked:
        return scanChunks();
    case Framing::TooLarge:
        return Progress::BodyTooLarge;
    case Framing::Bad:
        break;
    }
    return Progress::BadFraming;
}

ClientConnection::Progress ClientConnection::scanChunks()
{
    for (;;) {
        const std::size_t lineEnd = m_buffer.find("\r\n", m_chunkAt);
        if (lineEnd == std::string::npos)
            return m_buffer.size() - m_chunkAt > 1024 ? Progress::BadFraming : Progress::Waiting;
        // A size in hexadecimal, maybe followed by ";extension".
        std::size_t size = 0;
        std::size_t digits = 0;
        for (std::size_t i = m_chunkAt; i < lineEnd && digits <= 8; ++i, ++digits) {
            const char c = m_buffer[i];
            const int value = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (value < 0)
                break;
            size = size * 16 + std::size_t(value);
        }
        if (digits == 0 || digits > 8)
            return Progress::BadFraming;
        if (size == 0) {
            // Trailer lines, then the blank line that ends the body.
            std::size_t at = lineEnd + 2;
            for (;;) {
                const std::size_t end = m_buffer.find("\r\n", at);
                if (end == std::string::npos)
                    return m_buffer.size() - at > m_limits.maxHeadBytes ? Progress::HeadTooLarge
                                                                        : Progress::Waiting;
                if (end == at)
                    return Progress::Ready;
                at = end + 2;
            }
        }
        if (m_bodyLength + size > m_maxBodyBytes)
            return Progress::BodyTooLarge;
        const std::size_t next = lineEnd + 2 + size + 2;
        if (m_buffer.size() < next)
            return Progress::Waiting;
        m_bodyLength += size;
        m_chunkAt = next;
    }
}

void ClientConnection::inspectHead()
{
    int lengths = 0;
    std::size_t length = 0;
    bool badLength = false;
    bool encoded = false;
    bool chunked = false;
    std::size_t expectLine = std::string::npos; // "Expect: 100-continue", with its line end
    std::size_t expectLineSize = 0;

    const std::string_view head(m_buffer.data() + m_consumed, m_headEnd - m_consumed);
    std::size_t lineStart = head.find("\r\n");
    while (lineStart != std::string_view::npos && lineStart + 2 < head.size()) {
        lineStart += 2;
        const std::size_t lineEnd = head.find("\r\n", lineStart);
        const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            const std::string_view name = trimmed(line.substr(0, colon));
            const std::string_view value = trimmed(line.substr(colon + 1));
            if (equalsIgnoringCase(name, "content-length")) {
                ++lengths;
                badLength = badLength || value.empty() || value.size() > 18 ||
                            !std::all_of(value.begin(), value.end(),
                                         [](char c) { return c >= '0' && c <= '9'; });
                length = 0;
                for (char c : value)
                    length = length * 10 + std::size_t(c - '0');
            } else if (equalsIgnoringCase(name, "transfer-encoding")) {
                encoded = true;
                chunked = equalsIgnoringCase(value, "chunked");
            } else if (equalsIgnoringCase(name, "expect") &&
                       equalsIgnoringCase(value, "100-continue")) {
                expectLine = m_consumed + lineStart;
                expectLineSize = lineEnd + 2 - lineStart;
            }
        }
        lineStart = lineEnd;
    }

    // httplib reads any other coding, an unreadable length, or no length at all on a method
    // that may carry a body, up to the end of the stream: on a worker, for as long as the
    // client keeps the connection open.
    if (encoded && !chunked) {
        m_framing = Framing::Bad;
    } else if (chunked) {
        m_framing = Framing::Chunked;
        m_chunkAt = m_headEnd;
    } else if (lengths > 1 || badLength) {
        m_framing = Framing::Bad;
    } else if (lengths == 1) {
        m_bodyLength = length;
        m_framing = length > m_maxBodyBytes ? Framing::TooLarge
                    : length > 0            ? Framing::Length
                                            : Framing::None;
    } else {
        const bool mayHaveBody = head.starts_with("POST ") || head.starts_with("PUT ") ||
                                 head.starts_with("PATCH ") || head.starts_with("DELETE ");
        if (mayHaveBody) {
            static constexpr std::string_view noBody = "Content-Length: 0\r\n";
            m_buffer.insert(m_headEnd - 2, noBody);
            m_headEnd += noBody.size();
        }
        m_framing = Framing::None;
    }

    // The client waits for a word before it sends the body, which is awaited here: say it now,
    // and take the line out so that httplib does not say it a second time.
    if (expectLine != std::string::npos &&
        (m_framing == Framing::Length || m_framing == Framing::Chunked)) {
        static constexpr std::string_view goOn = "HTTP/1.1 100 Continue\r\n\r\n";
        (void)::send(m_fd, goOn.data(), goOn.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        m_buffer.erase(expectLine, expectLineSize);
        m_headEnd -= expectLineSize;
        m_chunkAt = m_framing == Framing::Chunked ? m_headEnd : 0;
    }
}

void ClientConnection::sendFinalAnswer(int fd, std::string_view raw)
{
    char discard[4096];
    for (int i = 0; i < 64 && ::recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0; ++i) {
    }
    (void)::send(fd, raw.data(), raw.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
}

void ClientConnection::beginAnswer(Clock::time_point now)
{
    m_readDeadline = now + m_limits.bodyTimeout;
    m_writeDeadline = now + m_limits.answerTimeout;
}

bool ClientConnection::waitFor(short events, Clock::time_point deadline) const
{
    for (;;) {
        const auto now = Clock::now();
        const auto until = std::min(deadline, now + m_limits.ioTimeout);
        if (now >= until)
            return false;
        pollfd entry{m_fd, events, 0};
        const auto wait = duration_cast<milliseconds>(until - now).count() + 1;
        const int ready = ::poll(&entry, 1, int(wait));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready == 0 && Clock::now() >= until)
            return false;
    }
}

bool ClientConnection::is_readable() const
{
    return m_consumed < m_buffer.size() || waitFor(POLLIN, m_readDeadline);
}

bool ClientConnection::is_writable() const
{
    return waitFor(POLLOUT, m_writeDeadline);
}

ssize_t ClientConnection::read(char* ptr, size_t size)
{
    while (m_consumed == m_buffer.size()) {
        if (!waitFor(POLLIN, m_readDeadline)) {
            m_failed = true;
            return -1;
        }
        const ssize_t n = recvIntoBuffer();
        if (n == 0)
            return 0;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            m_failed = true;
            return -1;
        }
    }
    const std::size_t n = std::min(size, m_buffer.size() - m_consumed);
    std::memcpy(ptr, m_buffer.data() + m_consumed, n);
    m_consumed += n;
    return ssize_t(n);
}

ssize_t ClientConnection::write(const char* ptr, size_t size)
{
    for (;;) {
        const ssize_t n = ::send(m_fd, ptr, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(POLLOUT, m_writeDeadline)) {
            m_failed = true;
            return -1;
        }
    }
}

void ClientConnection::get_remote_ip_and_port(std::string& ip, int& port) const
{
    ip = m_peerIp;
    port = m_peerPort;
}

void ClientConnection::get_local_ip_and_port(std::string& ip, int& port) const
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        describe(local, ip, port);
}

} // namespace pixavella::names
