// The multipart upload of one file: the body is written to a temporary file and streamed.

#include "ImmichClient.h"

#include "ClientAnswers.h"
#include "Clock.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QUuid>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

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

bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

// One chunk from `in` to `out` through `buffer`: the bytes copied, 0 at the end of `in`, -1 on
// failure (`readFailed` tells which side).
qint64 copyThroughBuffer(int in, int out, QByteArray& buffer, bool* readFailed)
{
    if (buffer.isEmpty())
        buffer.resize(kChunkSize);
    ssize_t n;
    do {
        n = ::read(in, buffer.data(), size_t(buffer.size()));
    } while (n < 0 && errno == EINTR);
    *readFailed = n < 0;
    if (n <= 0)
        return n;
    return writeAll(out, buffer.constData(), n) ? n : -1;
}

// Head, source in 1 MiB chunks, tail. The chunks are copied inside the kernel where the
// filesystems allow it, so the bytes never pass through this process. The file is private
// to the user: it holds a photo. On failure the partial file is removed.
Result<void> writeBody(const QString& path, const Multipart& parts, const QString& source,
                       const std::atomic<bool>& cancelled)
{
    const QByteArray outName = QFile::encodeName(path);
    const int out = ::open(outName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0)
        return fileError(lastErrno(), path);
    int in = -1;
    const auto fail = [&](Error error) {
        if (in >= 0)
            ::close(in);
        ::close(out);
        ::unlink(outName.constData());
        return Result<void>(std::move(error));
    };
    errno = 0;
    in = ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return fail(fileError(lastErrno(), source));
    errno = 0;
    if (!writeAll(out, parts.head.constData(), parts.head.size()))
        return fail(fileError(lastErrno(), path));
    bool inKernel = true;
    QByteArray buffer;
    for (;;) {
        if (cancelled)
            return fail(cancelledError());
        errno = 0;
        bool readFailed = false;
        qint64 n = -1;
        if (inKernel) {
            n = ::copy_file_range(in, nullptr, out, nullptr, size_t(kChunkSize), 0);
            // Filesystems, or pairs of them, that cannot copy between themselves: the offsets
            // have not moved, the copy goes on through a buffer.
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                          errno == EOPNOTSUPP || errno == EPERM)) {
                inKernel = false;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            // Either side may have failed: a full disk is the body file's, the rest the source's.
            readFailed = n < 0 && errno != ENOSPC && errno != EDQUOT && errno != EFBIG;
        } else {
            n = copyThroughBuffer(in, out, buffer, &readFailed);
        }
        if (n < 0)
            return fail(fileError(lastErrno(), readFailed ? source : path));
        if (n == 0)
            break;
    }
    ::close(in);
    in = -1;
    errno = 0;
    if (!writeAll(out, parts.tail.constData(), parts.tail.size()))
        return fail(fileError(lastErrno(), path));
    if (::close(out) != 0) {
        const int e = lastErrno();
        ::unlink(outName.constData());
        return fileError(e, path);
    }
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
