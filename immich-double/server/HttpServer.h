#pragma once

#include <httplib.h>

#include <functional>
#include <string>
#include <string_view>

namespace immichdouble {

// The HTTP library's server, able to hand a connection over before serving it: the library has
// no WebSocket server, so a connection whose first request is an upgrade the double answers
// itself is given away whole; every other connection is served by the library as before.
class HttpServer : public httplib::Server {
public:
    // Whether a request line ("GET /path HTTP/1.1") may start a connection to hand over; only
    // then is the rest of its head waited for.
    using Wants = std::function<bool(std::string_view requestLine)>;
    // Given the whole first head (up to and with its blank line, still unread on the socket);
    // returns true when it took the socket, which it then reads, writes and closes itself.
    using TakeOver = std::function<bool(socket_t socket, const std::string& head)>;

    void setTakeOver(Wants wants, TakeOver takeOver);

    // Told after each answer the library wrote: its request's method and path, and the bytes
    // it put on the wire (status line, headers and body as sent, compressed or not).
    using Answered =
        std::function<void(const std::string& method, const std::string& path, size_t bytes)>;
    void setAnswered(Answered answered);

private:
    // The library's own version of this is private, so its loop is written again here with the
    // pieces the header does expose (process_request and its Stream interface).
    bool process_and_close_socket(socket_t sock) override;
    bool serveRequests(socket_t sock);
    bool waitForRequest(socket_t sock) const;
    std::string peekHead(socket_t sock) const;

    Wants m_wants;
    TakeOver m_takeOver;
    Answered m_answered;
};

} // namespace immichdouble
