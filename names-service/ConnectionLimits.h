#pragma once

#include <chrono>
#include <cstddef>

namespace pixavella::names {

// What one client connection may take of the service. A connection costs a worker thread only
// while its request is being answered: until the request's head and body have arrived it only
// holds a socket and a buffer, so clients that send slowly cannot keep the workers from others.
struct ConnectionLimits {
    // From the connection's start (or, on a kept-alive connection, from the first byte of the
    // next request) until the blank line that ends the request's head.
    std::chrono::seconds headerTimeout{10};
    // From the end of the head until the last byte of the body.
    std::chrono::seconds bodyTimeout{10};
    // For the whole answer; a client that reads it slower is cut.
    std::chrono::seconds answerTimeout{60};
    // For each wait of a worker on the socket: a send, since the request is read beforehand.
    std::chrono::seconds ioTimeout{10};
    // How long a kept-alive connection may stay silent between two requests.
    std::chrono::seconds keepAliveTimeout{5};

    // Simultaneous connections from one client address (IPv6: one /64); 0 for no limit.
    int perAddress = 32;
    // Simultaneous connections in all; stays well below the default limit of 1024 descriptors.
    int total = 512;
    // Requests answered at once. Each worker that reaches the database keeps a connection to it.
    int workers = 64;

    // A head that does not end within this many bytes is refused (431).
    std::size_t maxHeadBytes = 32 * 1024;
};

} // namespace pixavella::names
