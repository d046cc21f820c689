#pragma once

// How the client reads answers, shared by the files of ImmichClient. Not for other callers.

#include "HttpSession.h"
#include "ImmichRecords.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

namespace pixavella::client {

// Starts the request; an invalid URL (a malformed id, see ImmichClient::makeRequest) is
// answered 400 on the callback pool without sending anything.
std::shared_ptr<HttpTask> send(HttpRequest request, HttpCompletion handle,
                               HttpProgress progress = {});

// A task for a call that finished before any request: cancel() does nothing.
std::shared_ptr<HttpTask> finishedTask();

// Transport error as is; a status outside 200…299 (or none) as http(status); else success.
// An answer without HTTP status and without transport error cannot come from HttpSession.
Result<void> statusOnly(const HttpReply& reply);

// What keeps an answer from being read as a record: transport error, http(status) for a
// status outside 200…299 (or none), noData for an empty body.
std::optional<Error> recordFailure(const HttpReply& reply);

// recordFailure(), then a decoding error for bad JSON; otherwise the parsed body (an object or
// an array).
Result<QJsonValue> recordBody(const HttpReply& reply);

// Transport error, http(-1) without HTTP status, http(status), then the body as a JSON
// object or noData.
Result<QJsonObject> statusFirstObject(const HttpReply& reply);

// The body as a JSON value, or nothing when it is empty or not JSON.
std::optional<QJsonValue> parseJson(const QByteArray& body);

// The text under `key`, when it is text.
std::optional<QString> textOf(const QJsonObject& object, const QString& key);

QJsonObject idsBody(const QStringList& ids);

Error cancelledError();

template <typename T, typename Decode> Result<T> decodeRecord(const HttpReply& reply, Decode decode)
{
    Result<QJsonValue> body = recordBody(reply);
    if (!body)
        return body.error();
    return decode(body.value());
}

} // namespace pixavella::client
