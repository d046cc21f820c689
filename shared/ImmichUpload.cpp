// The multipart upload of one file: the body is written to a temporary file and streamed.

#include "ImmichClient.h"

#include "ClientAnswers.h"
#include "Clock.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QUuid>

#include <cerrno>

namespace pixavella {

using namespace client;

namespace {

constexpr qint64 kChunkSize = 1'048'576;

QString freshUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

int lastErrno()
{
    return errno != 0 ? errno : EIO;
}

// The announced name goes into a quoted header parameter: a double quote or a line break
// would end it and corrupt the part, so exactly those are percent-encoded.
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

// Head, source in 1 MiB chunks, tail. On failure the partial file is removed.
Result<void> writeBody(const QString& path, const Multipart& parts, const QString& source,
                       const std::atomic<bool>& cancelled)
{
    QFile out(path);
    errno = 0;
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fileError(lastErrno(), path);
    const auto fail = [&](Error error) {
        out.close();
        out.remove();
        return Result<void>(std::move(error));
    };
    QFile in(source);
    errno = 0;
    if (!in.open(QIODevice::ReadOnly))
        return fail(fileError(lastErrno(), source));
    errno = 0;
    if (out.write(parts.head) != parts.head.size())
        return fail(fileError(lastErrno(), path));
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    for (;;) {
        if (cancelled)
            return fail(cancelledError());
        errno = 0;
        const qint64 n = in.read(chunk.data(), kChunkSize);
        if (n < 0)
            return fail(fileError(lastErrno(), source));
        if (n == 0)
            break;
        errno = 0;
        if (out.write(chunk.constData(), n) != n)
            return fail(fileError(lastErrno(), path));
    }
    errno = 0;
    if (out.write(parts.tail) != parts.tail.size() || !out.flush())
        return fail(fileError(lastErrno(), path));
    out.close();
    return Result<void>::success();
}

// The upload's task: the body is prepared before the request exists, so a cancel may come
// first; it is handed on once the request has started.
class UploadTask final : public HttpTask {
public:
    void cancel() override
    {
        std::shared_ptr<HttpTask> request;
        {
            QMutexLocker lock(&m_mutex);
            cancelled = true;
            request = m_request;
        }
        if (request)
            request->cancel();
    }

    // Starts the request unless the upload was cancelled meanwhile.
    bool startUnlessCancelled(const std::function<std::shared_ptr<HttpTask>()>& start)
    {
        QMutexLocker lock(&m_mutex);
        if (cancelled)
            return false;
        m_request = start();
        return true;
    }

    std::atomic<bool> cancelled{false};

private:
    QMutex m_mutex;
    std::shared_ptr<HttpTask> m_request; // protected by m_mutex
};

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
    const QString bodyFile =
        QDir(QDir::tempPath()).filePath(freshUuid() + QStringLiteral(".multipart"));
    request.uploadFile = bodyFile;

    auto task = std::make_shared<UploadTask>();
    const ImmichClient client = *this;
    HttpSession::shared().dispatch([=] {
        Result<void> written = writeBody(bodyFile, parts, localFile, task->cancelled);
        if (!written)
            return done(written.error());
        const bool started = task->startUnlessCancelled([&] {
            return send(
                request,
                [client, bodyFile, done](const HttpReply& reply) {
                    QFile::remove(bodyFile);
                    finishUpload(client, reply, done);
                },
                progress);
        });
        if (!started) {
            QFile::remove(bodyFile);
            done(cancelledError());
        }
    });
    return task;
}

} // namespace pixavella
