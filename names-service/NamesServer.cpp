#include "NamesServer.h"

#include "ApiKeyVerifier.h"
#include "NameInput.h"
#include "NameStorage.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcNamesHttp, "pixavella.names.http")

namespace pixavella::names {

namespace {

constexpr const char* jsonType = "application/json";

void answer(httplib::Response& response, int status, const QJsonObject& body)
{
    response.status = status;
    response.set_content(QJsonDocument(body).toJson(QJsonDocument::Compact).toStdString(),
                         jsonType);
}

// Error bodies carry the status as a number, as Immich's do. Clients that take any object of
// texts as the name list whatever the status (drives of earlier versions did) then never
// mistake an error for a list holding one name called "message".
void fail(httplib::Response& response, int status, const QString& message)
{
    answer(response, status,
           QJsonObject{{QStringLiteral("message"), message}, {QStringLiteral("statusCode"), status}});
}

QString defaultMessage(int status)
{
    switch (status) {
    case 400:
        return QStringLiteral("Bad request.");
    case 404:
        return QStringLiteral("Not found.");
    case 405:
        return QStringLiteral("Method not allowed.");
    case 413:
        return QStringLiteral("The body is larger than %1 bytes.").arg(maxBodyBytes);
    case 414:
        return QStringLiteral("The address is too long.");
    default:
        return QStringLiteral("Request failed.");
    }
}

} // namespace

NamesServer::NamesServer(NameStorage& storage, ApiKeyVerifier& verifier, QString prefix,
                         const ConnectionLimits& limits)
    : m_storage(storage), m_verifier(verifier),
      m_namesPath((prefix + QStringLiteral("/names")).toStdString()), m_server(limits)
{
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
        route(request, response);
    };
    // One catch-all route per method, so that a known path with the wrong method gets 405.
    const std::string any = ".*";
    m_server.Get(any, handler);
    m_server.Put(any, handler);
    m_server.Post(any, handler);
    m_server.Patch(any, handler);
    m_server.Delete(any, handler);
    m_server.Options(any, handler);

    m_server.set_payload_max_length(maxBodyBytes);
    m_server.set_default_headers({{"Cache-Control", "no-store"}});
    // Answers httplib makes itself (413, 414, 400 for malformed requests) carry no body.
    m_server.set_error_handler(httplib::Server::HandlerWithResponse(
        [](const httplib::Request&, httplib::Response& response) {
            if (!response.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            fail(response, response.status, defaultMessage(response.status));
            return httplib::Server::HandlerResponse::Handled;
        }));
    m_server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                qCCritical(lcNamesHttp) << "request failed:" << e.what();
            } catch (...) {
                qCCritical(lcNamesHttp) << "request failed";
            }
            fail(response, 500, QStringLiteral("Internal error."));
        });
}

std::optional<int> NamesServer::bind(const QString& host, int port)
{
    return m_server.bind(host.toStdString(), port);
}

bool NamesServer::serve()
{
    return m_server.listen_after_bind();
}

void NamesServer::stop()
{
    m_server.stop();
}

void NamesServer::route(const httplib::Request& request, httplib::Response& response)
{
    const std::string& path = request.path;
    if (path == m_namesPath) {
        if (request.method == "GET" || request.method == "HEAD")
            return listNames(request, response);
        response.set_header("Allow", "GET, HEAD");
        return fail(response, 405, QStringLiteral("Use GET to list names."));
    }
    const std::string itemPrefix = m_namesPath + '/';
    if (path.starts_with(itemPrefix)) {
        const std::string segment = path.substr(itemPrefix.size());
        if (segment.find('/') != std::string::npos)
            return fail(response, 404, QStringLiteral("Not found."));
        if (request.method == "PUT")
            return putName(request, response, segment);
        response.set_header("Allow", "PUT");
        return fail(response, 405, QStringLiteral("Use PUT to set a name."));
    }
    fail(response, 404, QStringLiteral("Not found."));
}

std::optional<QString> NamesServer::authenticate(const httplib::Request& request,
                                                 httplib::Response& response)
{
    const ApiKeyVerifier::Verdict verdict =
        m_verifier.verify(request.get_header_value("x-api-key"));
    switch (verdict.kind) {
    case ApiKeyVerifier::Verdict::Kind::Trusted:
        return verdict.userId;
    case ApiKeyVerifier::Verdict::Kind::Rejected:
        fail(response, 401, QStringLiteral("Invalid or missing API key (header x-api-key)."));
        return std::nullopt;
    case ApiKeyVerifier::Verdict::Kind::Unavailable:
        break;
    }
    fail(response, 502, QStringLiteral("The Immich server could not check the API key."));
    return std::nullopt;
}

void NamesServer::listNames(const httplib::Request& request, httplib::Response& response)
{
    const auto userId = authenticate(request, response);
    if (!userId)
        return;
    const auto names = m_storage.names(*userId);
    if (!names)
        return fail(response, 503, QStringLiteral("The name storage is unavailable."));
    answer(response, 200, *names);
}

void NamesServer::putName(const httplib::Request& request, httplib::Response& response,
                          const std::string& assetSegment)
{
    const auto userId = authenticate(request, response);
    if (!userId)
        return;
    const auto assetId = parseAssetId(assetSegment);
    if (const auto* error = std::get_if<InputError>(&assetId))
        return fail(response, error->status, error->message);
    const auto name = parseNameBody(request.body);
    if (const auto* error = std::get_if<InputError>(&name))
        return fail(response, error->status, error->message);

    if (!m_storage.setName(*userId, std::get<QString>(assetId), std::get<QString>(name)))
        return fail(response, 503, QStringLiteral("The name storage is unavailable."));
    answer(response, 200,
           QJsonObject{{QStringLiteral("assetId"), std::get<QString>(assetId)},
                       {QStringLiteral("name"), std::get<QString>(name)}});
}

} // namespace pixavella::names
