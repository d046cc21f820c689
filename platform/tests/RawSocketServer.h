#pragma once

// A TCP server on 127.0.0.1 that hands each connection to a function, for answers an HTTP
// library will not produce (dropped connections, truncated bodies) and for capturing a
// request's raw bytes. One connection at a time.

#include <QByteArray>
#include <QList>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

namespace pixavella::testing {

class RawSocketServer {
public:
    using Handler = std::function<void(int fd)>;

    explicit RawSocketServer(Handler handler) : m_handler(std::move(handler))
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listen, 8);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] {
            for (;;) {
                const int fd = ::accept(m_listen, nullptr, nullptr);
                if (fd < 0)
                    return;
                m_handler(fd);
                ::close(fd);
            }
        });
    }

    ~RawSocketServer()
    {
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_thread.join();
    }

    quint16 port() const { return m_port; }

    static void writeAll(int fd, const QByteArray& bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const auto n =
                ::send(fd, bytes.constData() + done, size_t(bytes.size() - done), MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += n;
        }
    }

    // Reads one request: the head up to the blank line, then Content-Length bytes of body.
    struct Request {
        QByteArray head;
        QByteArray body;
        QByteArray header(const QByteArray& name) const
        {
            const QList<QByteArray> lines = head.split('\n');
            for (const QByteArray& line : lines) {
                const qsizetype colon = line.indexOf(':');
                if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
                    return line.mid(colon + 1).trimmed();
            }
            return {};
        }
        QByteArray requestLine() const { return head.left(head.indexOf("\r\n")); }
    };
    static Request readRequest(int fd)
    {
        Request r;
        QByteArray data;
        char buffer[65536];
        qsizetype headEnd = -1;
        while (headEnd < 0) {
            const auto n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return r;
            data.append(buffer, n);
            headEnd = data.indexOf("\r\n\r\n");
        }
        r.head = data.left(headEnd + 4);
        r.body = data.mid(headEnd + 4);
        const qsizetype length = r.header("content-length").toLongLong();
        while (r.body.size() < length) {
            const auto n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            r.body.append(buffer, n);
        }
        return r;
    }

private:
    Handler m_handler;
    int m_listen = -1;
    quint16 m_port = 0;
    std::thread m_thread;
};

} // namespace pixavella::testing
