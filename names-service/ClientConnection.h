#pragma once

#include "AddressLimiter.h"
#include "ConnectionLimits.h"

#include <httplib.h>

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include <sys/socket.h>

namespace pixavella::names {

// One accepted client socket (non-blocking) and the bytes read from it. It lives in two phases:
// waiting, where receive() gathers a request without ever blocking until its head and its whole
// body (sized or chunked) are in the buffer; then answered on a worker, where httplib reads the
// buffered request through the httplib::Stream interface and writes the answer, each wait on
// the socket bounded by the limits' deadlines. Bytes of a pipelined next request stay in the
// buffer for the next wait. Used by one thread at a time.
class ClientConnection : public httplib::Stream {
public:
    using Clock = std::chrono::steady_clock;

    ClientConnection(int fd, const sockaddr_storage& peer,
                     std::unique_ptr<AddressLimiter::Slot> slot, const ConnectionLimits& limits,
                     std::size_t maxBodyBytes, Clock::time_point accepted);
    ~ClientConnection() override; // closes the socket
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // "192.0.2.7", "2001:db8::1": for logs.
    static std::string addressText(const sockaddr_storage& address);

    int fd() const { return m_fd; }
    const std::string& peerAddress() const { return m_peerIp; }

    // Waiting for the next request of a kept-alive connection.
    void awaitNextRequest(Clock::time_point now);

    enum class Progress { Waiting, Ready, Closed, HeadTooLarge, BodyTooLarge, BadFraming };
    // Reads what the socket holds now and tells where the request stands.
    Progress receive(Clock::time_point now);
    // When the current wait ends; past it the connection is dropped.
    Clock::time_point deadline() const { return m_deadline; }
    // Whether any byte of the awaited request arrived: a client that sent part of a request is
    // told it was too slow (408), one that sent nothing is closed without a word.
    bool heardFromClient() const { return m_heard; }

    // Answers with `raw` (a whole HTTP answer) as far as the socket takes it at once and ends
    // the sending side. The unread request bytes are drained first: closing over unread bytes
    // would reset the connection and could destroy the answer before the client reads it.
    static void sendFinalAnswer(int fd, std::string_view raw);

    // On the worker, before httplib reads the request.
    void beginAnswer(Clock::time_point now);
    // A read or write failed or ran out of time: what httplib made of it is not worth keeping
    // the connection for.
    bool failed() const { return m_failed; }
    int answeredRequests() const { return m_answered; }
    void countAnswer() { ++m_answered; }

    // httplib::Stream
    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char* ptr, size_t size) override;
    ssize_t write(const char* ptr, size_t size) override;
    void get_remote_ip_and_port(std::string& ip, int& port) const override;
    void get_local_ip_and_port(std::string& ip, int& port) const override;
    socket_t socket() const override { return m_fd; }

private:
    // Waits for `events` until the next step of I/O time-out or `deadline`, whichever is first.
    bool waitFor(short events, Clock::time_point deadline) const;
    // Appends what one recv() gives; 0 at the end of the stream, -1 on error or EAGAIN.
    ssize_t recvIntoBuffer();
    Progress evaluate(Clock::time_point now);
    // Reads how the head frames the body, and makes the head say what httplib must do.
    void inspectHead();
    // Follows the chunks from m_chunkAt; Ready once the last chunk and the trailers are there.
    Progress scanChunks();
    void resetRequest();

    const int m_fd;
    std::string m_peerIp;
    int m_peerPort = 0;
    const std::unique_ptr<AddressLimiter::Slot> m_slot;
    const ConnectionLimits& m_limits;
    const std::size_t m_maxBodyBytes;

    std::string m_buffer;
    std::size_t m_consumed = 0; // bytes of m_buffer httplib has read

    // The request being waited for.
    Clock::time_point m_deadline;
    bool m_keptAlive = false;
    bool m_heard = false;
    std::size_t m_scanned = 0;                 // where the search for the head's end resumes
    std::size_t m_headEnd = std::string::npos; // just after the blank line
    enum class Framing { None, Length, Chunked, TooLarge, Bad };
    Framing m_framing = Framing::None;
    std::size_t m_bodyLength = 0; // Length: announced; Chunked: in the chunks complete so far
    std::size_t m_chunkAt = 0;    // Chunked: where the next chunk's size line starts

    // Deadlines of the request being answered.
    Clock::time_point m_readDeadline;
    Clock::time_point m_writeDeadline;
    bool m_failed = false;
    int m_answered = 0;
};

} // namespace pixavella::names
