#include "EventChannel.h"

#include <QJsonObject>

#include <sys/socket.h>
#include <unistd.h>

namespace immichdouble {

namespace {

constexpr std::string_view kPath = "/api/socket.io/";

ApiResponse engineError(int code, const char* message)
{
    ApiResponse response =
        ApiResponse::json(400, QJsonObject{{QStringLiteral("code"), code},
                                           {QStringLiteral("message"), QLatin1String(message)}});
    response.contentType = "application/json";
    return response;
}

} // namespace

std::optional<EventChannel::Mode> EventChannel::modeNamed(const QString& name)
{
    for (const Mode mode : {Mode::Open, Mode::NotFound, Mode::BadRequest, Mode::PlainOk}) {
        if (name == modeName(mode))
            return mode;
    }
    return std::nullopt;
}

QString EventChannel::modeName(Mode mode)
{
    switch (mode) {
    case Mode::NotFound:
        return QStringLiteral("404");
    case Mode::BadRequest:
        return QStringLiteral("400");
    case Mode::PlainOk:
        return QStringLiteral("200");
    case Mode::Open:
        break;
    }
    return QStringLiteral("open");
}

bool EventChannel::isChannelPath(const QString& path)
{
    return path.startsWith(QLatin1String(kPath.data(), qsizetype(kPath.size())));
}

bool EventChannel::isChannelRequestLine(std::string_view line)
{
    return line.starts_with("GET ") && line.substr(4).starts_with(kPath);
}

bool EventChannel::isUpgrade(const ApiRequest& request)
{
    return request.header("upgrade").toLower().contains("websocket");
}

EventChannel::EventChannel(EventSession::Settings settings, EventSession::Authenticate authenticate)
    : m_settings(settings), m_authenticate(std::move(authenticate))
{
}

EventChannel::~EventChannel()
{
    std::vector<Running> running;
    {
        std::lock_guard lock(m_mutex);
        running.swap(m_running);
    }
    for (Running& entry : running) {
        entry.session->drop();
        entry.thread.join();
    }
}

bool EventChannel::takeOver(int socket, qsizetype headLength, const ApiRequest& request)
{
    if (m_mode != Mode::Open || !isUpgrade(request))
        return false;
    auto session =
        std::make_shared<EventSession>(socket, headLength, request, m_settings, m_authenticate);
    std::lock_guard lock(m_mutex);
    reapFinished();
    // A thread of its own rather than one of the HTTP workers, which a few idle event
    // connections would otherwise keep from serving requests.
    m_running.push_back({session, std::thread([session] { session->run(); })});
    return true;
}

ApiResponse EventChannel::httpAnswer(const ApiRequest& request) const
{
    switch (m_mode.load()) {
    case Mode::NotFound:
        return ApiResponse::json(
            404, QJsonObject{{QStringLiteral("message"),
                              QStringLiteral("Cannot %1 %2")
                                  .arg(QString::fromLatin1(request.method), request.path)},
                             {QStringLiteral("error"), QStringLiteral("Not Found")},
                             {QStringLiteral("statusCode"), 404}});
    case Mode::PlainOk: {
        ApiResponse page;
        page.contentType = "text/html; charset=utf-8";
        page.body = "<!doctype html><html><head><title>Immich</title></head>"
                    "<body><noscript>JavaScript is required.</noscript></body></html>";
        return page;
    }
    case Mode::Open:
    case Mode::BadRequest:
        break;
    }
    // What Engine.IO says to a request that did not come as an upgrade.
    if (request.query.queryItemValue(QStringLiteral("transport")) != QLatin1String("websocket"))
        return engineError(0, "Transport unknown");
    if (request.query.hasQueryItem(QStringLiteral("sid")))
        return engineError(1, "Session ID unknown");
    if (request.method != "GET")
        return engineError(2, "Bad handshake method");
    return engineError(3, "Bad request");
}

void EventChannel::emitTo(int user, const char* event, const QByteArray& arguments)
{
    if (!m_emitting)
        return;
    const QByteArray packet = "2[\"" + QByteArray(event) + "\"," + arguments + ']';
    std::lock_guard lock(m_mutex);
    for (const Running& entry : m_running) {
        if (entry.session->user() == user)
            entry.session->send(packet);
    }
}

void EventChannel::dropAll()
{
    std::lock_guard lock(m_mutex);
    for (const Running& entry : m_running)
        entry.session->drop();
}

int EventChannel::connections(int user) const
{
    std::lock_guard lock(m_mutex);
    int count = 0;
    for (const Running& entry : m_running) {
        const int member = entry.session->user();
        if (!entry.session->finished() && member >= 0 && (user < 0 || member == user))
            ++count;
    }
    return count;
}

void EventChannel::reapFinished()
{
    std::erase_if(m_running, [](Running& entry) {
        if (!entry.session->finished())
            return false;
        entry.thread.join();
        return true;
    });
}

} // namespace immichdouble
