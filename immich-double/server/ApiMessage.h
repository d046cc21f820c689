#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrlQuery>

#include <functional>
#include <optional>

namespace immichdouble {

// One request as the routes see it, independent of the HTTP library.
struct ApiRequest {
    QByteArray method;
    QString path;        // percent-decoded
    QByteArray rawQuery; // without '?'
    QUrlQuery query;
    QHash<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
    QStringList pathArgs; // the :name segments of the matched route, in order
    int user = -1;        // the authenticated user, -1 before authentication

    QByteArray header(const char* lowerCaseName) const { return headers.value(lowerCaseName); }
    // The body as a JSON object; an empty or non-object body reads as an empty object.
    QJsonObject jsonObject() const;
    bool queryFlag(const QString& name) const; // "true" / "1"
};

// A request head as it came on the wire ("GET /path?query HTTP/1.1", headers, blank line),
// without body; empty when it is not one.
std::optional<ApiRequest> parseRequestHead(const QByteArray& head);

struct ApiResponse {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    // Work left for after the library's lock is released (decoding a picture, say); it may
    // change every field of the answer.
    std::function<void(ApiResponse&)> finish;

    static ApiResponse json(int status, const QJsonValue& value);
    static ApiResponse noContent();
    // {"message": text}, the shape of every error answer of the server.
    static ApiResponse message(int status, const QString& text);
    // 400 {"message":"Validation failed","errors":[...]}
    static ApiResponse validation(const QJsonArray& errors);
    static ApiResponse validation(const QString& field, const QString& text);
};

} // namespace immichdouble
