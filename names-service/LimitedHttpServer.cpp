#include "LimitedHttpServer.h"

#include "ClientConnection.h"
#include "ConnectionScheduler.h"

#include <sys/socket.h>

namespace pixavella::names {

LimitedHttpServer::LimitedHttpServer(const ConnectionLimits& limits) : m_limits(limits)
{
    // The Keep-Alive header httplib writes announces these.
    set_keep_alive_timeout(m_limits.keepAliveTimeout.count());
    set_read_timeout(m_limits.ioTimeout);
    set_write_timeout(m_limits.ioTimeout);
    new_task_queue = [this] {
        auto* scheduler = new ConnectionScheduler(
            m_limits, payload_max_length_,
            [this](ClientConnection& connection) { return serve(connection); });
        m_scheduler = scheduler;
        return scheduler;
    };
}

std::optional<int> LimitedHttpServer::bind(const std::string& host, int port)
{
    int bound = port;
    if (port == 0)
        bound = bind_to_any_port(host);
    else if (!bind_to_port(host, port))
        bound = -1;
    if (bound <= 0)
        return std::nullopt;
    // httplib listens with a backlog of 5: a burst of connections beyond that would wait for
    // the clients' SYN retries (a second or more) although the accept loop is free.
    ::listen(svr_sock_, SOMAXCONN);
    return bound;
}

bool LimitedHttpServer::process_and_close_socket(socket_t sock)
{
    m_scheduler->admit(sock);
    return true;
}

bool LimitedHttpServer::serve(ClientConnection& connection)
{
    const bool last = connection.answeredRequests() + 1 >= int(keep_alive_max_count_) ||
                      svr_sock_ == INVALID_SOCKET; // stopping
    bool closedByClient = false;
    const bool answered = process_request(connection, last, closedByClient, nullptr);
    connection.countAnswer();
    return answered && !last && !closedByClient && !connection.failed();
}

} // namespace pixavella::names
