#pragma once

#include "ConnectionLimits.h"

#include <httplib.h>

#include <optional>
#include <string>

namespace pixavella::names {

class ClientConnection;
class ConnectionScheduler;

// httplib's server with its connections kept apart by ConnectionScheduler. httplib's own
// handling gives each connection a pool thread from accept to close, and its read time-out
// counts per recv(): a client sending a header line every few seconds keeps its thread forever,
// and a handful of them take the whole pool. Here accepted sockets go to the scheduler instead
// (through process_and_close_socket, the hook httplib's TLS server uses too), which waits for
// each request without a thread and with a deadline for the whole head; a worker only runs
// httplib's request handling (process_request) on a request that has arrived.
class LimitedHttpServer : public httplib::Server {
public:
    explicit LimitedHttpServer(const ConnectionLimits& limits);

    // Binds and listens; port 0 picks a free port. Returns the bound port.
    std::optional<int> bind(const std::string& host, int port);

private:
    bool process_and_close_socket(socket_t sock) override;
    // One request of `connection`; true when the connection stays open for another.
    bool serve(ClientConnection& connection);

    const ConnectionLimits m_limits;
    ConnectionScheduler* m_scheduler = nullptr; // owned by httplib while listen_after_bind() runs
};

} // namespace pixavella::names
