#include "HttpFileUpload.h"

#include "HttpErrors.h"
#include "Log.h"

#include <QFile>
#include <QNetworkProxy>
#include <QNetworkReply>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <optional>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pixavella {

namespace {

using namespace http;

constexpr qsizetype kReadBlock = 64 * 1024;
constexpr qsizetype kMaxLine = 256 * 1024;      // an answer's head, a chunk's size line
constexpr size_t kSendChunk = 64 * 1024 * 1024; // per sendfile call; the socket takes what fits

using Failure = std::optional<Error>;

// Socket failures of a send: the server went away, and what it said before, if anything, is
// in the answer. Any other failure of sendfile(2) is the file's.
bool isConnectionLost(int e)
{
    return e == EPIPE || e == ECONNRESET || e == ENOTCONN || e == ECONNABORTED || e == ETIMEDOUT ||
           e == EHOSTUNREACH || e == ENETUNREACH;
}

// sendfile(2) cannot be told not to raise SIGPIPE when the server has gone, so it is blocked
// on this thread while a request runs; one raised meanwhile is taken before the old mask
// comes back.
class SigpipeBlocked {
public:
    SigpipeBlocked()
    {
        sigemptyset(&m_pipe);
        sigaddset(&m_pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &m_pipe, &m_previous);
    }
    ~SigpipeBlocked()
    {
        if (!sigismember(&m_previous, SIGPIPE)) {
            sigset_t pending;
            sigemptyset(&pending);
            const timespec now{0, 0};
            if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE))
                while (sigtimedwait(&m_pipe, nullptr, &now) < 0 && errno == EINTR) {
                }
        }
        pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
    }
    SigpipeBlocked(const SigpipeBlocked&) = delete;
    SigpipeBlocked& operator=(const SigpipeBlocked&) = delete;

private:
    sigset_t m_pipe;
    sigset_t m_previous;
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

QByteArray requestHead(const HttpRequest& request, qint64 bodySize)
{
    const QUrl& url = request.url;
    QByteArray target = url.path(QUrl::FullyEncoded).toLatin1();
    if (target.isEmpty())
        target = "/";
    if (url.hasQuery())
        target += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() >= 0 && url.port() != 80)
        host += ':' + QByteArray::number(url.port());

    QByteArray head = request.method + ' ' + target + " HTTP/1.1\r\nHost: " + host + "\r\n";
    for (const auto& [name, value] : request.headers) {
        const QByteArray lower = name.toLower();
        if (lower == "host" || lower == "content-length" || lower == "connection" ||
            lower == "transfer-encoding")
            continue;
        head += name + ": " + value + "\r\n";
    }
    head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
    // The connection serves this request only; the server need not keep it for another.
    head += "Connection: close\r\n";
    if (request.header("user-agent").isEmpty())
        head += "User-Agent: Mozilla/5.0\r\n";
    head += "\r\n";
    return head;
}

// A header seen again is joined to the first, as Qt joins them.
void addHeader(QList<QPair<QByteArray, QByteArray>>& headers, const QByteArray& name,
               const QByteArray& value)
{
    for (auto& [key, joined] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            joined += (name.compare("set-cookie", Qt::CaseInsensitive) == 0 ? "\n" : ", ") + value;
            return;
        }
    }
    headers.append({name, value});
}

// One connection: every wait watches the socket and the cancel, and gives up after
// `timeoutMs` without any byte moving.
class Exchange {
public:
    Exchange(int wake, int timeoutMs) : m_wake(wake), m_timeoutMs(timeoutMs) {}

    Failure connectTo(const QUrl& url);
    // `*answered`: the server answered, or went away, before taking the whole request; the
    // rest is not sent.
    Failure sendBytes(const char* data, qsizetype size, bool* answered);
    // The file's first `size` bytes; `sent` is told each step's end offset.
    Failure sendFile(int file, qint64 size, const QString& path,
                     const std::function<void(qint64)>& sent, bool* answered);
    Failure readAnswer(HttpReply& out, const HttpProgress& progress);
    // Corked, the socket sends partial segments only when uncorked.
    void setCorked(bool corked)
    {
        const int value = corked ? 1 : 0;
        ::setsockopt(m_socket.get(), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
    }

private:
    enum class Wake { Ready, TimedOut, Cancelled };
    Wake wait(short events, short* revents = nullptr);
    // Waits until the socket takes more; `*answered` when it will not.
    Failure waitWritable(bool* answered);
    // Through a buffer, for files the kernel will not send from.
    Failure copyFile(int file, off_t offset, qint64 size, const QString& path,
                     const std::function<void(qint64)>& sent, bool* answered);
    // Appends what arrives to m_in; `*end` at the end of the stream.
    Failure receive(bool* end);
    // A line ending in LF (the LF and a CR before it removed), or the bytes up to a blank line.
    Failure readLine(QByteArray* line);
    Failure readHead(QByteArray* head);
    Failure readBody(qint64 length, QByteArray& body, qint64 total, const HttpProgress& progress);
    Failure readChunked(QByteArray& body, const HttpProgress& progress);
    Failure readToEnd(QByteArray& body, const HttpProgress& progress);

    int m_wake;
    int m_timeoutMs;
    FileDescriptor m_socket;
    QByteArray m_in; // received, not taken yet
};

Exchange::Wake Exchange::wait(short events, short* revents)
{
    pollfd fds[2] = {{m_socket.get(), events, 0}, {m_wake, POLLIN, 0}};
    for (;;) {
        const int n = ::poll(fds, 2, m_timeoutMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (fds[1].revents != 0)
            return Wake::Cancelled;
        if (n == 0)
            return Wake::TimedOut;
        if (revents)
            *revents = fds[0].revents;
        return Wake::Ready; // a failed poll too: the next call on the socket says why
    }
}

Failure Exchange::connectTo(const QUrl& url)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    const QByteArray port = QByteArray::number(url.port(80));
    if (::getaddrinfo(host.constData(), port.constData(), &hints, &found) != 0 || !found)
        return networkError(QNetworkReply::HostNotFoundError,
                            QStringLiteral("Host %1 not found").arg(url.host()));
    int failure = ECONNREFUSED;
    for (const addrinfo* at = found; at; at = at->ai_next) {
        m_socket.reset(::socket(at->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (m_socket.get() < 0) {
            failure = lastErrno();
            continue;
        }
        int error = 0;
        if (::connect(m_socket.get(), at->ai_addr, at->ai_addrlen) != 0) {
            error = lastErrno();
            if (error == EINPROGRESS) {
                const Wake woke = wait(POLLOUT);
                if (woke != Wake::Ready) {
                    ::freeaddrinfo(found);
                    return woke == Wake::Cancelled ? canceledError() : timeoutError();
                }
                socklen_t length = sizeof error;
                if (::getsockopt(m_socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = lastErrno();
            }
        }
        if (error == 0) {
            ::freeaddrinfo(found);
            // Full segments until the request has been written, then no waiting on the last.
            const int one = 1;
            ::setsockopt(m_socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            setCorked(true);
            return std::nullopt;
        }
        failure = error;
        m_socket.reset();
    }
    ::freeaddrinfo(found);
    if (failure == ECONNREFUSED)
        return networkError(QNetworkReply::ConnectionRefusedError,
                            QStringLiteral("Connection refused"));
    if (failure == ETIMEDOUT)
        return timeoutError();
    return networkError(QNetworkReply::UnknownNetworkError,
                        QString::fromLocal8Bit(std::strerror(failure)));
}

Failure Exchange::waitWritable(bool* answered)
{
    short revents = 0;
    const Wake woke = wait(POLLOUT | POLLIN, &revents);
    if (woke != Wake::Ready)
        return woke == Wake::Cancelled ? canceledError() : timeoutError();
    // Not taking more, and readable or gone: an answer before the whole body (a refusal), or
    // nothing, which reads as a closed connection.
    if (!(revents & POLLOUT))
        *answered = true;
    return std::nullopt;
}

Failure Exchange::sendBytes(const char* data, qsizetype size, bool* answered)
{
    qsizetype done = 0;
    while (done < size && !*answered) {
        const ssize_t n = ::send(m_socket.get(), data + done, size_t(size - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        const int e = lastErrno();
        if (e == EINTR)
            continue;
        if (e != EAGAIN) {
            *answered = true;
            break;
        }
        if (Failure failure = waitWritable(answered))
            return failure;
    }
    return std::nullopt;
}

Failure Exchange::sendFile(int file, qint64 size, const QString& path,
                           const std::function<void(qint64)>& sent, bool* answered)
{
    off_t offset = 0;
    while (offset < size && !*answered) {
        errno = 0;
        const ssize_t n = ::sendfile(m_socket.get(), file, &offset,
                                     size_t(std::min<qint64>(size - offset, kSendChunk)));
        if (n > 0) {
            sent(offset);
            continue;
        }
        if (n == 0) // the file is shorter than when the request was made
            return fileError(EIO, path);
        const int e = lastErrno();
        if (e == EINTR)
            continue;
        if (e == EINVAL || e == ENOSYS)
            return copyFile(file, offset, size, path, sent, answered);
        if (isConnectionLost(e)) {
            *answered = true;
            break;
        }
        if (e != EAGAIN)
            return fileError(e, path);
        if (Failure failure = waitWritable(answered))
            return failure;
    }
    return std::nullopt;
}

Failure Exchange::copyFile(int file, off_t offset, qint64 size, const QString& path,
                           const std::function<void(qint64)>& sent, bool* answered)
{
    QByteArray buffer(kReadBlock * 4, Qt::Uninitialized);
    while (offset < size && !*answered) {
        const ssize_t n = ::pread(file, buffer.data(),
                                  size_t(std::min<qint64>(size - offset, buffer.size())), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fileError(n == 0 ? EIO : lastErrno(), path);
        if (Failure failure = sendBytes(buffer.constData(), n, answered))
            return failure;
        offset += n;
        sent(offset);
    }
    return std::nullopt;
}

Failure Exchange::receive(bool* end)
{
    for (;;) {
        const qsizetype old = m_in.size();
        m_in.resize(old + kReadBlock);
        const ssize_t n = ::recv(m_socket.get(), m_in.data() + old, size_t(kReadBlock), 0);
        m_in.resize(old + std::max<qsizetype>(n, 0));
        if (n > 0)
            return std::nullopt;
        if (n == 0) {
            *end = true;
            return std::nullopt;
        }
        const int e = lastErrno();
        if (e == EINTR)
            continue;
        if (e != EAGAIN)
            return closedError();
        const Wake woke = wait(POLLIN);
        if (woke != Wake::Ready)
            return woke == Wake::Cancelled ? canceledError() : timeoutError();
    }
}

Failure Exchange::readLine(QByteArray* line)
{
    for (;;) {
        const qsizetype at = m_in.indexOf('\n');
        if (at >= 0) {
            *line = m_in.left(at > 0 && m_in.at(at - 1) == '\r' ? at - 1 : at);
            m_in.remove(0, at + 1);
            return std::nullopt;
        }
        if (m_in.size() > kMaxLine)
            return closedError();
        bool end = false;
        if (Failure failure = receive(&end))
            return failure;
        if (end)
            return closedError();
    }
}

Failure Exchange::readHead(QByteArray* head)
{
    head->clear();
    for (;;) {
        QByteArray line;
        if (Failure failure = readLine(&line))
            return failure;
        if (line.isEmpty() && !head->isEmpty())
            return std::nullopt;
        if (line.isEmpty())
            continue; // blank lines before an answer
        if (head->size() > kMaxLine)
            return closedError();
        *head += line + '\n';
    }
}

Failure Exchange::readBody(qint64 length, QByteArray& body, qint64 total,
                           const HttpProgress& progress)
{
    while (length > 0) {
        if (m_in.isEmpty()) {
            bool end = false;
            if (Failure failure = receive(&end))
                return failure;
            if (end)
                return closedError();
        }
        const qsizetype take = qsizetype(std::min<qint64>(length, m_in.size()));
        body.append(m_in.constData(), take);
        m_in.remove(0, take);
        length -= take;
        if (progress)
            progress(body.size(), total);
    }
    return std::nullopt;
}

Failure Exchange::readChunked(QByteArray& body, const HttpProgress& progress)
{
    for (;;) {
        QByteArray line;
        if (Failure failure = readLine(&line))
            return failure;
        const qsizetype extension = line.indexOf(';');
        bool ok = false;
        const qint64 size =
            line.left(extension >= 0 ? extension : line.size()).trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0)
            return closedError();
        if (size == 0)
            break;
        if (Failure failure = readBody(size, body, -1, progress))
            return failure;
        if (Failure failure = readLine(&line))
            return failure;
        if (!line.isEmpty())
            return closedError();
    }
    for (;;) { // trailer fields, ignored
        QByteArray line;
        if (Failure failure = readLine(&line))
            return failure;
        if (line.isEmpty())
            return std::nullopt;
    }
}

Failure Exchange::readToEnd(QByteArray& body, const HttpProgress& progress)
{
    for (;;) {
        body += m_in;
        m_in.clear();
        if (progress)
            progress(body.size(), -1);
        bool end = false;
        if (Failure failure = receive(&end))
            return failure;
        if (end)
            return std::nullopt;
    }
}

Failure Exchange::readAnswer(HttpReply& out, const HttpProgress& progress)
{
    QByteArray head;
    int status = -1;
    for (;;) {
        if (Failure failure = readHead(&head))
            return failure;
        // "HTTP/1.1 201 Created"
        const QByteArray statusLine = head.left(head.indexOf('\n'));
        const QList<QByteArray> parts = statusLine.split(' ');
        bool ok = false;
        if (parts.size() >= 2 && parts.first().startsWith("HTTP/"))
            status = parts.at(1).toInt(&ok);
        if (!ok || status < 100 || status > 999)
            return closedError();
        if (status >= 200 || status == 101)
            break; // anything below is an interim answer; the final one follows
    }
    out.headers.clear();
    const QList<QByteArray> lines = head.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            addHeader(out.headers, line.left(colon).trimmed(), line.mid(colon + 1).trimmed());
    }
    out.body.clear();
    if (status == 204 || status == 304 || status < 200) {
        out.status = status;
        return std::nullopt;
    }
    Failure failure;
    const QByteArray length = out.header("content-length");
    if (out.header("transfer-encoding").toLower().contains("chunked")) {
        failure = readChunked(out.body, progress);
    } else if (!length.isEmpty()) {
        bool ok = false;
        const qint64 size = length.trimmed().toLongLong(&ok);
        if (!ok || size < 0)
            return closedError();
        out.body.reserve(qsizetype(std::min(size, kMaxBodyReserve)));
        failure = readBody(size, out.body, size, progress);
    } else {
        failure = readToEnd(out.body, progress);
    }
    if (failure)
        return failure;
    out.status = status;
    return std::nullopt;
}

} // namespace

bool HttpFileUpload::handles(const HttpRequest& request)
{
    const QUrl& url = request.url;
    if (request.uploadFile.isEmpty() || !request.downloadFile.isEmpty() || !url.isValid() ||
        url.scheme().compare(QLatin1String("http"), Qt::CaseInsensitive) != 0 ||
        url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    // What Qt would use for this URL: the application's proxy, or the system's when asked for.
    const QList<QNetworkProxy> proxies =
        QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    return proxies.isEmpty() || proxies.first().type() == QNetworkProxy::NoProxy;
}

bool HttpFileUpload::isRedirect(const HttpReply& reply)
{
    const int s = reply.status;
    return (s == 301 || s == 302 || s == 303 || s == 305 || s == 307 || s == 308) &&
           !reply.header("location").isEmpty();
}

HttpFileUpload::HttpFileUpload(HttpRequest request)
    : m_request(std::move(request)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
}

HttpFileUpload::~HttpFileUpload()
{
    if (m_wake >= 0)
        ::close(m_wake);
}

void HttpFileUpload::cancel()
{
    m_cancelled = true;
    const quint64 one = 1;
    if (m_wake >= 0 && ::write(m_wake, &one, sizeof one) < 0) {
        // Already counted past the limit: it is readable anyway.
    }
}

HttpReply HttpFileUpload::run(const HttpProgress& progress)
{
    HttpReply out;
    const HttpRequest& request = m_request;
    if (m_cancelled) {
        out.transportError = canceledError();
        return out;
    }
    if (m_wake < 0) {
        out.transportError = networkError(QNetworkReply::UnknownNetworkError,
                                          QString::fromLocal8Bit(std::strerror(EMFILE)));
        return out;
    }
    errno = 0;
    const FileDescriptor file(
        ::open(QFile::encodeName(request.uploadFile).constData(), O_RDONLY | O_CLOEXEC));
    struct stat info {};
    if (file.get() < 0 || ::fstat(file.get(), &info) != 0) {
        out.transportError = fileError(lastErrno(), request.uploadFile);
        return out;
    }
    const qint64 fileSize = info.st_size;
    const QByteArray& before = request.uploadHead;
    const QByteArray& after = request.uploadTail;
    const qint64 size = before.size() + fileSize + after.size();
    const auto sent = [&](qint64 done) {
        if (progress)
            progress(done, size);
    };
    qCDebug(lcHttp) << request.method.constData() << request.url.path();

    const SigpipeBlocked sigpipeBlocked;
    Exchange exchange(m_wake, qMax(1, request.timeoutMs));
    bool answered = false;
    Failure failure = exchange.connectTo(request.url);
    if (!failure) {
        // One write for the request's head and the bytes before the file.
        const QByteArray head = requestHead(request, size) + before;
        failure = exchange.sendBytes(head.constData(), head.size(), &answered);
    }
    if (!failure)
        failure = exchange.sendFile(
            file.get(), fileSize, request.uploadFile,
            [&](qint64 offset) { sent(before.size() + offset); }, &answered);
    if (!failure) {
        failure = exchange.sendBytes(after.constData(), after.size(), &answered);
        if (!failure && !answered)
            sent(size);
        exchange.setCorked(false);
    }
    if (!failure)
        failure = exchange.readAnswer(out, progress);
    if (failure) {
        out = HttpReply();
        out.transportError = std::move(failure);
    }
    return out;
}

} // namespace pixavella
