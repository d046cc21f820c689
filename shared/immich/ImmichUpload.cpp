// The multipart upload of one file: the form's fields around the file's bytes, which are
// streamed from the file itself.

#include "ImmichClient.h"

#include "ClientAnswers.h"
#include "Clock.h"

#include <QUuid>

namespace pixavella {

using namespace client;

namespace {

QString freshUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

// The announced name goes into a quoted header parameter: a double quote or a line break
// would end it and corrupt the part, and the server keeps only what follows the last
// backslash of a name however it is escaped, so exactly those are percent-encoded.
QString quotedParameter(const QString& name)
{
    QString out;
    out.reserve(name.size());
    for (const QChar c : name) {
        if (c == u'"')
            out += QStringLiteral("%22");
        else if (c == u'\r')
            out += QStringLiteral("%0D");
        else if (c == u'\n')
            out += QStringLiteral("%0A");
        else if (c == u'\\')
            out += QStringLiteral("%5C");
        else
            out += c;
    }
    return out;
}

struct Multipart {
    QByteArray head;
    QByteArray tail;
};

Multipart multipart(const QString& boundary, const QString& fileName, const QString& date)
{
    const QString deviceAssetId = QStringLiteral("pixavella-") + fileName + u'-' + freshUuid();
    QString head;
    const auto field = [&](const QString& name, const QString& value) {
        head += QStringLiteral("--") + boundary + QStringLiteral("\r\n") +
                QStringLiteral("Content-Disposition: form-data; name=\"") + name +
                QStringLiteral("\"\r\n\r\n") + value + QStringLiteral("\r\n");
    };
    field(QStringLiteral("deviceAssetId"), deviceAssetId);
    field(QStringLiteral("deviceId"), QStringLiteral("pixavella-finder"));
    field(QStringLiteral("fileCreatedAt"), date);
    field(QStringLiteral("fileModifiedAt"), date);
    head += QStringLiteral("--") + boundary + QStringLiteral("\r\n") +
            QStringLiteral("Content-Disposition: form-data; name=\"assetData\"; filename=\"") +
            quotedParameter(fileName) + QStringLiteral("\"\r\n") +
            QStringLiteral("Content-Type: application/octet-stream\r\n\r\n");
    const QString tail = QStringLiteral("\r\n--") + boundary + QStringLiteral("--\r\n");
    return {head.toUtf8(), tail.toUtf8()};
}

void finishUpload(const ImmichClient& client, const HttpReply& reply,
                  const Completion<UploadResult>& done)
{
    if (reply.transportError)
        return done(*reply.transportError);
    const std::optional<QJsonValue> body = parseJson(reply.body);
    const QJsonObject object = body ? body->toObject() : QJsonObject();
    const std::optional<QString> id = textOf(object, QStringLiteral("id"));
    if (!reply.isSuccess() || !body || !body->isObject() || !id)
        return done(ClientError::http(reply.status));
    if (object.value(QStringLiteral("status")).toString() != u"duplicate")
        return done(UploadResult{*id, false});
    // The server matched the content with an asset it holds, possibly in its trash; bring that
    // one back. Failures here are not the upload's.
    client.getAsset(*id, [client, id = *id, done](Result<ImmichAsset> asset) {
        if (!asset || !asset.value().isTrashed.value_or(false))
            return done(UploadResult{id, true});
        client.restoreAssets({id}, [id, done](Result<void>) { done(UploadResult{id, true}); });
    });
}

} // namespace

std::shared_ptr<HttpTask> ImmichClient::uploadAsset(const QString& localFile,
                                                    const QString& fileName,
                                                    const std::optional<QDateTime>& createdAt,
                                                    Completion<UploadResult> done,
                                                    HttpProgress progress) const
{
    const QString boundary = QStringLiteral("Boundary-") + freshUuid();
    HttpRequest request = makeRequest(QStringLiteral("assets"), "POST");
    request.setHeader("Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8());
    const QString date = (createdAt ? *createdAt : Clock::now()).toUTC().toString(Qt::ISODate);
    const Multipart parts = multipart(boundary, fileName, date);
    // The file is sent from where it is, between the form's other parts.
    request.uploadFile = localFile;
    request.uploadHead = parts.head;
    request.uploadTail = parts.tail;
    request.deadlineMs = 0;
    const ImmichClient client = *this;
    return send(
        std::move(request),
        [client, done = std::move(done)](const HttpReply& reply) {
            finishUpload(client, reply, done);
        },
        std::move(progress));
}

} // namespace pixavella
