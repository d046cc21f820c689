#include "ApiMessage.h"

#include <QJsonDocument>
#include <QUrl>

namespace immichdouble {

QJsonObject ApiRequest::jsonObject() const
{
    return QJsonDocument::fromJson(body).object();
}

bool ApiRequest::queryFlag(const QString& name) const
{
    const QString value = query.queryItemValue(name);
    return value == QLatin1String("true") || value == QLatin1String("1");
}

std::optional<ApiRequest> parseRequestHead(const QByteArray& head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine[2].startsWith("HTTP/1."))
        return std::nullopt;
    ApiRequest request;
    request.method = requestLine[0];
    const QByteArray& target = requestLine[1];
    const qsizetype question = target.indexOf('?');
    request.path = QUrl::fromPercentEncoding(target.left(question));
    if (question >= 0)
        request.rawQuery = target.mid(question + 1);
    request.query = QUrlQuery(QString::fromUtf8(request.rawQuery));
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return std::nullopt;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        const auto existing = request.headers.find(name);
        if (existing == request.headers.end())
            request.headers.insert(name, value);
        else
            existing.value() += ", " + value;
    }
    return request;
}

ApiResponse ApiResponse::json(int status, const QJsonValue& value)
{
    ApiResponse response;
    response.status = status;
    response.contentType = "application/json; charset=utf-8";
    if (value.isArray())
        response.body = QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
    else
        response.body = QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return response;
}

ApiResponse ApiResponse::noContent()
{
    ApiResponse response;
    response.status = 204;
    return response;
}

ApiResponse ApiResponse::message(int status, const QString& text)
{
    return json(status, QJsonObject{{QStringLiteral("message"), text}});
}

ApiResponse ApiResponse::validation(const QJsonArray& errors)
{
    return json(400, QJsonObject{{QStringLiteral("message"), QStringLiteral("Validation failed")},
                                 {QStringLiteral("errors"), errors}});
}

ApiResponse ApiResponse::validation(const QString& field, const QString& text)
{
    return validation(QJsonArray{QJsonObject{{QStringLiteral("path"), QJsonArray{field}},
                                             {QStringLiteral("message"), text}}});
}

} // namespace immichdouble
