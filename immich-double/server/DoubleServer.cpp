#include "DoubleServer.h"

#include "HttpServer.h"

#include <QDateTime>
#include <QLocale>
#include <QUrlQuery>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace immichdouble {

namespace {

// Enough workers that idle keep-alive connections of several clients never starve new ones.
constexpr size_t kWorkerThreads = 32;

int portOf(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return -1;
}

// The HTTP library gives handlers no access to their socket; find it among this process's
// descriptors by its two ports and shut it down, so that the client sees the connection
// closed without any answer.
bool closeConnection(int localPort, int remotePort)
{
    DIR* directory = opendir("/proc/self/fd");
    if (!directory)
        return false;
    bool closed = false;
    while (dirent* entry = readdir(directory)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0')
            continue;
        struct stat info {};
        if (fstat(int(fd), &info) != 0 || !S_ISSOCK(info.st_mode))
            continue;
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLength = sizeof(local);
        socklen_t peerLength = sizeof(peer);
        if (getsockname(int(fd), reinterpret_cast<sockaddr*>(&local), &localLength) != 0 ||
            getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
            continue;
        if (portOf(local) == localPort && portOf(peer) == remotePort) {
            ::shutdown(int(fd), SHUT_RDWR);
            closed = true;
            break;
        }
    }
    closedir(directory);
    return closed;
}

ApiRequest toApiRequest(const httplib::Request& request, std::string body)
{
    ApiRequest api;
    api.method = QByteArray::fromStdString(request.method);
    api.path = QString::fromStdString(request.path);
    const auto question = request.target.find('?');
    if (question != std::string::npos)
        api.rawQuery = QByteArray::fromStdString(request.target.substr(question + 1));
    api.query = QUrlQuery(QString::fromUtf8(api.rawQuery));
    for (const auto& [name, value] : request.headers) {
        const QByteArray key = QByteArray::fromStdString(name).toLower();
        // The library files the connection's addresses among the headers.
        if (key == "local_addr" || key == "local_port" || key == "remote_addr" ||
            key == "remote_port")
            continue;
        const QByteArray text = QByteArray::fromStdString(value);
        const auto existing = api.headers.find(key);
        if (existing == api.headers.end())
            api.headers.insert(key, text);
        else
            existing.value() += ", " + text;
    }
    api.body = QByteArray::fromStdString(body);
    return api;
}

} // namespace

DoubleServer::DoubleServer(LibraryState& state, const DoubleOptions& options)
    : m_state(state), m_options(options),
      m_events({options.pingIntervalMs, options.pingTimeoutMs, 1000000},
               [this](const QHash<QByteArray, QByteArray>& headers) {
                   ApiRequest request;
                   request.headers = headers;
                   std::lock_guard lock(m_state.mutex);
                   return authenticate(request) ? -1 : request.user;
               }),
      m_jobs(state.mutex), m_context{state,  m_faults,     m_log,     m_proxy,        m_events,
                                     m_jobs, m_thumbnails, m_options, options.dialect},
      m_server(std::make_unique<HttpServer>())
{
    m_events.setMode(options.eventChannel);
    m_events.setEmitting(options.emitEvents);
    addAuthRoutes(m_api, m_context);
    addServerRoutes(m_api, m_context);
    addSearchRoutes(m_api, m_context);
    addAssetRoutes(m_api, m_context);
    addAlbumRoutes(m_api, m_context);
    addControlRoutes(m_control, m_context);

    m_server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    const httplib::Server::Handler plain = [this](const httplib::Request& request,
                                                  httplib::Response& response) {
        serve(request, response, nullptr);
    };
    const httplib::Server::HandlerWithContentReader withBody =
        [this](const httplib::Request& request, httplib::Response& response,
               const httplib::ContentReader& reader) { serve(request, response, &reader); };
    const std::string any = ".*";
    m_server->Get(any, plain);
    m_server->Post(any, withBody).Post(any, plain);
    m_server->Put(any, withBody).Put(any, plain);
    m_server->Patch(any, withBody).Patch(any, plain);
    m_server->Delete(any, withBody).Delete(any, plain);
    m_server->set_keep_alive_max_count(1000);
    // As Node's HTTP server: without it a small answer on a kept-alive connection waits for
    // the client's delayed acknowledgement of the one before (some 40 ms on Linux).
    m_server->set_tcp_nodelay(true);
    m_server->setAnswered([this](const std::string& method, const std::string& path, size_t bytes) {
        const QString api = QString::fromStdString(path);
        if (api == QLatin1String("/api") || api.startsWith(QLatin1String("/api/")))
            m_log.answered(QByteArray::fromStdString(method), api, qint64(bytes));
    });
    m_server->setTakeOver(
        [this](std::string_view line) {
            return m_events.mode() == EventChannel::Mode::Open &&
                   EventChannel::isChannelRequestLine(line);
        },
        [this](socket_t socket, const std::string& head) { return takeOver(socket, head); });
    m_server->set_exception_handler(
        [](const httplib::Request& request, httplib::Response& response, std::exception_ptr error) {
            std::string what = "unknown error";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            std::fprintf(stderr, "immich-double: %s %s failed: %s\n", request.method.c_str(),
                         request.path.c_str(), what.c_str());
            response.status = 500;
            response.set_content(R"({"message":"Internal server error"})",
                                 "application/json; charset=utf-8");
        });
}

DoubleServer::~DoubleServer() = default;

int DoubleServer::bind(int port)
{
    if (port == 0)
        return m_server->bind_to_any_port("127.0.0.1");
    return m_server->bind_to_port("127.0.0.1", port) ? port : -1;
}

bool DoubleServer::run()
{
    return m_server->listen_after_bind();
}

void DoubleServer::stop()
{
    m_server->stop();
}

void DoubleServer::serve(const httplib::Request& request, httplib::Response& response,
                         const httplib::ContentReader* reader)
{
    std::string body = request.body;
    if (reader) {
        // Without its Content-Type the library hands over a multipart body as it came, which
        // the request log and the upload route need; the header is put back afterwards.
        auto& unparsed = const_cast<httplib::Request&>(request);
        const std::string contentType = request.get_header_value("Content-Type");
        unparsed.headers.erase("Content-Type");
        (*reader)([&body](const char* data, size_t length) {
            body.append(data, length);
            return true;
        });
        if (!contentType.empty())
            unparsed.headers.emplace("Content-Type", contentType);
    }

    ApiRequest api = toApiRequest(request, std::move(body));
    bool drop = false;
    const ApiResponse answer = handle(api, &drop);
    if (drop) {
        closeConnection(request.local_port, request.remote_port);
        response.status = 500;
        return;
    }
    response.status = answer.status;
    // An answer already encoded (one handed on from another server) is not compressed again:
    // the library would add a second Content-Encoding.
    if (std::any_of(answer.headers.begin(), answer.headers.end(), [](const auto& header) {
            return header.first.compare("Content-Encoding", Qt::CaseInsensitive) == 0;
        }))
        const_cast<httplib::Request&>(request).headers.erase("Accept-Encoding");
    // Leaving the status open lets the library answer a Range request with 206 and the part.
    if (answer.status == 200 && !request.ranges.empty() &&
        std::any_of(answer.headers.begin(), answer.headers.end(),
                    [](const auto& header) { return header.first == "Accept-Ranges"; }))
        response.status = -1;
    for (const auto& [name, value] : answer.headers)
        response.set_header(name.toStdString(), value.toStdString());
    // Every answer of the real server carries its clock, as HTTP servers do.
    if (!response.has_header("Date"))
        response.set_header("Date", QLocale::c()
                                        .toString(QDateTime::currentDateTimeUtc(),
                                                  QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
                                        .toStdString());
    if (!answer.body.isEmpty() || !answer.contentType.isEmpty())
        response.set_content(answer.body.constData(), size_t(answer.body.size()),
                             answer.contentType.toStdString());
}

bool DoubleServer::takeOver(int socket, const std::string& head)
{
    const auto request = parseRequestHead(QByteArray::fromStdString(head));
    if (!request || !EventChannel::isUpgrade(*request) ||
        m_events.mode() != EventChannel::Mode::Open)
        return false;
    m_log.record(*request);
    return m_events.takeOver(socket, qsizetype(head.size()), *request);
}

ApiResponse DoubleServer::handle(ApiRequest& request, bool* drop)
{
    *drop = false;
    if (auto forwarded = m_proxy.forward(request))
        return *forwarded;
    // The event channel has switches of its own; failures and drops meant for API calls are
    // not used up by its reconnections.
    if (EventChannel::isChannelPath(request.path)) {
        m_log.record(request);
        return m_events.httpAnswer(request);
    }
    if (request.path.startsWith(QLatin1String("/_double/"))) {
        std::lock_guard lock(m_state.mutex);
        const auto match = m_control.match(request.method, request.path);
        if (!match)
            return ApiResponse::message(404, QStringLiteral("No such control endpoint"));
        request.pathArgs = match->args;
        return (*match->handler)(request);
    }
    if (request.path == QLatin1String("/api") || request.path.startsWith(QLatin1String("/api/")))
        return handleApi(request, drop);
    return ApiResponse::message(404, QStringLiteral("Not found"));
}

ApiResponse DoubleServer::handleApi(ApiRequest& request, bool* drop)
{
    m_log.record(request);
    const FaultInjection::Decision fault = m_faults.next(request.method, request.path);
    if (fault.latencyMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(fault.latencyMs));
    if (fault.drop) {
        *drop = true;
        return {};
    }
    if (fault.failStatus) {
        return ApiResponse::message(*fault.failStatus, *fault.failStatus == 401
                                                           ? QStringLiteral("Invalid API key")
                                                           : QStringLiteral("Injected failure"));
    }

    const auto match = m_api.match(request.method, request.path);
    if (!match) {
        return ApiResponse::json(
            404, QJsonObject{{QStringLiteral("message"),
                              QStringLiteral("Cannot %1 %2")
                                  .arg(QString::fromLatin1(request.method), request.path)},
                             {QStringLiteral("error"), QStringLiteral("Not Found")},
                             {QStringLiteral("statusCode"), 404}});
    }
    ApiResponse response;
    {
        std::lock_guard lock(m_state.mutex);
        if (match->access == Router::Access::User) {
            if (auto refusal = authenticate(request))
                return *refusal;
        }
        request.pathArgs = match->args;
        response = (*match->handler)(request);
    }
    if (response.finish) {
        const auto finish = std::move(response.finish);
        response.finish = nullptr;
        finish(response);
    }
    return response;
}

std::optional<ApiResponse> DoubleServer::authenticate(ApiRequest& request) const
{
    if (request.headers.contains("x-api-key")) {
        request.user = m_state.userForApiKey(request.header("x-api-key"));
        if (request.user < 0)
            return ApiResponse::message(401, QStringLiteral("Invalid API key"));
        return std::nullopt;
    }
    const QByteArray authorization = request.header("authorization");
    if (authorization.startsWith("Bearer ")) {
        request.user = m_state.userForAccessToken(authorization.mid(7).trimmed());
        if (request.user < 0)
            return ApiResponse::message(401, QStringLiteral("Invalid user token"));
        return std::nullopt;
    }
    return ApiResponse::message(401, QStringLiteral("Authentication required"));
}

} // namespace immichdouble
