#include "ClientAnswers.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkReply>

namespace pixavella::client {

namespace {

class FinishedTask final : public HttpTask {
public:
    void cancel() override {}
};

bool is2xx(int status)
{
    return status >= 200 && status <= 299;
}

} // namespace

std::shared_ptr<HttpTask> send(HttpRequest request, HttpCompletion handle, HttpProgress progress)
{
    if (!request.url.isValid()) {
        HttpSession::shared().dispatch([handle = std::move(handle)] {
            HttpReply reply;
            reply.status = 400;
            handle(std::move(reply));
        });
        return finishedTask();
    }
    return HttpSession::shared().start(std::move(request), std::move(handle), std::move(progress));
}

std::shared_ptr<HttpTask> finishedTask()
{
    return std::make_shared<FinishedTask>();
}

Result<void> statusOnly(const HttpReply& reply)
{
    if (reply.transportError)
        return *reply.transportError;
    if (reply.hasResponse() && !is2xx(reply.status))
        return ClientError::http(reply.status);
    return Result<void>::success();
}

std::optional<Error> recordFailure(const HttpReply& reply)
{
    if (reply.transportError)
        return *reply.transportError;
    if (!is2xx(reply.status))
        return ClientError::http(reply.status);
    if (reply.body.isEmpty())
        return ClientError::noData();
    return std::nullopt;
}

Result<QJsonValue> recordBody(const HttpReply& reply)
{
    if (std::optional<Error> failure = recordFailure(reply))
        return *failure;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(reply.body, &error);
    if (error.error != QJsonParseError::NoError)
        return decodingError(error.errorString());
    if (document.isArray())
        return QJsonValue(document.array());
    return QJsonValue(document.object());
}

Result<QJsonObject> statusFirstObject(const HttpReply& reply)
{
    if (reply.transportError)
        return *reply.transportError;
    if (!reply.hasResponse())
        return ClientError::http(-1);
    if (!is2xx(reply.status))
        return ClientError::http(reply.status);
    const std::optional<QJsonValue> body = parseJson(reply.body);
    if (!body || !body->isObject())
        return ClientError::noData();
    return body->toObject();
}

std::optional<QJsonValue> parseJson(const QByteArray& body)
{
    if (body.isEmpty())
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        return std::nullopt;
    if (document.isArray())
        return QJsonValue(document.array());
    return QJsonValue(document.object());
}

std::optional<QString> textOf(const QJsonObject& object, const QString& key)
{
    const QJsonValue value = object.value(key);
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

QJsonObject idsBody(const QStringList& ids)
{
    return QJsonObject{{QStringLiteral("ids"), QJsonArray::fromStringList(ids)}};
}

Error cancelledError()
{
    return Error{ErrorDomain::Network, int(QNetworkReply::OperationCanceledError),
                 QStringLiteral("Operation canceled")};
}

} // namespace pixavella::client
