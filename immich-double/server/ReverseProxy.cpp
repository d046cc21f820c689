#include "ReverseProxy.h"

#include <httplib.h>

namespace immichdouble {

namespace {

bool isUnder(const QString& path, const QString& prefix)
{
    return path == prefix ||
           (path.startsWith(prefix) &&
            (prefix.endsWith(QLatin1Char('/')) || path.at(prefix.size()) == QLatin1Char('/')));
}

// Hop-by-hop headers and those the client library sets itself.
bool passesThrough(const QByteArray& lowerCaseName)
{
    return lowerCaseName != "host" && lowerCaseName != "connection" &&
           lowerCaseName != "content-length" && lowerCaseName != "transfer-encoding" &&
           lowerCaseName != "keep-alive" && lowerCaseName != "content-type";
}

} // namespace

void ReverseProxy::add(const QString& prefix, const QUrl& target)
{
    std::lock_guard lock(m_mutex);
    std::erase_if(m_rules, [&prefix](const Rule& rule) { return rule.prefix == prefix; });
    m_rules.push_back({prefix, target});
}

std::optional<ApiResponse> ReverseProxy::forward(const ApiRequest& request) const
{
    QUrl target;
    {
        std::lock_guard lock(m_mutex);
        for (const Rule& rule : m_rules) {
            if (isUnder(request.path, rule.prefix))
                target = rule.target;
        }
    }
    if (target.isEmpty())
        return std::nullopt;

    httplib::Client client(target.host().toStdString(), target.port(80));
    client.set_connection_timeout(5);
    client.set_read_timeout(30);
    // The body goes back as the target sent it, with its Content-Encoding; decoded here, it
    // would leave under a header that no longer says what it is.
    client.set_decompress(false);
    httplib::Headers headers;
    for (auto it = request.headers.begin(); it != request.headers.end(); ++it) {
        if (passesThrough(it.key()))
            headers.emplace(it.key().toStdString(), it.value().toStdString());
    }
    httplib::Request outgoing;
    outgoing.method = request.method.toStdString();
    outgoing.path = QUrl::toPercentEncoding(request.path, "/").toStdString();
    if (!request.rawQuery.isEmpty())
        outgoing.path += '?' + request.rawQuery.toStdString();
    outgoing.headers = headers;
    outgoing.body = request.body.toStdString();
    if (const QByteArray type = request.header("content-type"); !type.isEmpty())
        outgoing.set_header("Content-Type", type.toStdString());
    // Otherwise the client library asks for gzip itself, for a client that may not read it.
    if (!request.headers.contains("accept-encoding"))
        outgoing.set_header("Accept-Encoding", "identity");

    const httplib::Result result = client.send(outgoing);
    if (!result)
        return ApiResponse::message(502, QStringLiteral("Bad Gateway"));
    ApiResponse answer;
    answer.status = result->status;
    answer.contentType = QByteArray::fromStdString(result->get_header_value("Content-Type"));
    answer.body = QByteArray::fromStdString(result->body);
    for (const auto& [name, value] : result->headers) {
        const QByteArray lower = QByteArray::fromStdString(name).toLower();
        if (passesThrough(lower))
            answer.headers.append(
                {QByteArray::fromStdString(name), QByteArray::fromStdString(value)});
    }
    return answer;
}

} // namespace immichdouble
