#include "ApiMessage.h"

#include <QJsonDocument>

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
