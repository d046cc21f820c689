#include "HttpSession.h"

#include "HttpErrors.h"
#include "HttpFileUpload.h"
#include "HttpUploadBody.h"
#include "Log.h"

#include <QCoreApplication>
#include <QFile>
#include <QMetaObject>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <deque>
#include <unordered_set>

namespace pixavella {

namespace {

using namespace http;

// The client keeps no state between calls: cookies are neither sent nor stored.
class NoCookies final : public QNetworkCookieJar {
public:
    using QNetworkCookieJar::QNetworkCookieJar;
    QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
    bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

// Failures below HTTP. Qt also reports content and server errors derived from the status
// code (ContentNotFoundError for 404…); those are answers, not transport errors.
bool isTransportKind(QNetworkReply::NetworkError e)
{
    const int code = int(e);
    return (code >= 1 && code <= 199) || e == QNetworkReply::ProtocolUnknownError ||
           e == QNetworkReply::ProtocolFailure;
}

constexpr qsizetype kDownloadBlock = 1024 * 1024;
// More uploads at once wait for a thread (Qt too keeps a few connections per server).
constexpr int kMaxDirectUploads = 16;

class Core;

struct Task final : HttpTask, std::enable_shared_from_this<Task> {
    Core* session = nullptr;
    HttpRequest request;
    HttpCompletion completion; // touched only by the callback queue once started
    HttpProgress progress;     // touched only by the callback queue once started
    bool wantsProgress = false;
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> completed{false};
    // Set before the task is handed out: an upload file sent without Qt.
    std::shared_ptr<HttpFileUpload> direct;

    // Network thread only.
    QNetworkReply* reply = nullptr;
    std::unique_ptr<QFile> download;
    // Downloaded bytes not written yet: the file gets large writes, and no chunk is allocated.
    QByteArray pending;
    qsizetype pendingSize = 0;
    std::optional<bool> bodyToFile; // decided by the status of the first chunk
    std::optional<Error> localError;
    QByteArray body;

    // The callbacks of one task run one at a time, in order.
    QMutex queueMutex;
    std::deque<std::function<void()>> queue; // protected by queueMutex
    bool draining = false;                   // protected by queueMutex
    bool progressPending = false;            // protected by queueMutex
    qint64 progressDone = 0;                 // protected by queueMutex
    qint64 progressTotal = -1;               // protected by queueMutex

    void cancel() override;
};

class Core {
public:
    QThread thread;
    QObject* context = nullptr;           // lives on `thread`
    QNetworkAccessManager* nam = nullptr; // network thread only
    QThreadPool pool;
    // Each upload sent without Qt holds one of these threads until answered.
    QThreadPool uploads;
    QMutex stopMutex;
    bool stopped = false;                        // protected by stopMutex
    std::unordered_set<HttpFileUpload*> running; // protected by stopMutex

    static inline Core* sharedInstance = nullptr;

    Core()
    {
        thread.setObjectName(QStringLiteral("HttpSession"));
        pool.setObjectName(QStringLiteral("HttpCallbacks"));
        pool.setMaxThreadCount(qMax(4, QThread::idealThreadCount()));
        uploads.setObjectName(QStringLiteral("HttpUploads"));
        uploads.setMaxThreadCount(kMaxDirectUploads);
        context = new QObject;
        context->moveToThread(&thread);
        thread.start();
    }

    ~Core()
    {
        stop();
        delete context;
    }

    // Runs `job` on the network thread; false once the session has stopped.
    bool post(std::function<void()> job)
    {
        QMutexLocker lock(&stopMutex);
        if (stopped)
            return false;
        return QMetaObject::invokeMethod(context, std::move(job), Qt::QueuedConnection);
    }

    void enqueue(const std::shared_ptr<Task>& task, std::function<void()> job)
    {
        QMutexLocker lock(&task->queueMutex);
        task->queue.push_back(std::move(job));
        if (task->draining)
            return;
        task->draining = true;
        lock.unlock();
        pool.start([task] { drain(task); });
    }

    static void drain(const std::shared_ptr<Task>& task)
    {
        for (;;) {
            std::function<void()> job;
            {
                QMutexLocker lock(&task->queueMutex);
                if (task->queue.empty()) {
                    task->draining = false;
                    return;
                }
                job = std::move(task->queue.front());
                task->queue.pop_front();
            }
            job();
        }
    }

    void complete(const std::shared_ptr<Task>& task, HttpReply reply)
    {
        if (task->completed.exchange(true))
            return;
        enqueue(task, [task, reply = std::move(reply)]() mutable {
            HttpCompletion done = std::move(task->completion);
            task->completion = nullptr;
            task->progress = nullptr; // later progress jobs find nothing to call
            if (done)
                done(std::move(reply));
        });
    }

    void reportProgress(const std::shared_ptr<Task>& task, qint64 done, qint64 total)
    {
        {
            QMutexLocker lock(&task->queueMutex);
            task->progressDone = done;
            task->progressTotal = total;
            if (task->progressPending)
                return; // the queued job will report the newest figures
            task->progressPending = true;
        }
        enqueue(task, [task] {
            qint64 d = 0;
            qint64 t = -1;
            {
                QMutexLocker lock(&task->queueMutex);
                task->progressPending = false;
                d = task->progressDone;
                t = task->progressTotal;
            }
            if (task->progress)
                task->progress(d, t);
        });
    }

    HttpReply failure(Error error) const
    {
        HttpReply r;
        r.transportError = std::move(error);
        return r;
    }

    void begin(const std::shared_ptr<Task>& task);
    // False once the session has stopped.
    bool startDirect(const std::shared_ptr<Task>& task);
    void runDirect(const std::shared_ptr<Task>& task);
    void takeData(Task& task);
    // Writes the pending bytes to the download file; false (and the task failed) on an error.
    bool writePending(Task& task);
    void finish(const std::shared_ptr<Task>& task);
    void stop();
};

void Task::cancel()
{
    if (completed)
        return;
    cancelRequested = true;
    auto self = shared_from_this();
    if (direct) {
        // Answered at once, whatever the sending thread waits for (a name lookup included).
        direct->cancel();
        session->complete(self, session->failure(canceledError()));
    }
    session->post([self] {
        if (self->reply)
            self->reply->abort();
    });
}

void Core::begin(const std::shared_ptr<Task>& task)
{
    if (!nam) {
        nam = new QNetworkAccessManager;
        nam->setCookieJar(new NoCookies(nam));
    }
    if (task->cancelRequested) {
        complete(task, failure(canceledError()));
        return;
    }
    const HttpRequest& rq = task->request;
    const QString scheme = rq.url.scheme().toLower();
    if (!rq.url.isValid() || (scheme != u"http" && scheme != u"https")) {
        complete(task, failure(networkError(QNetworkReply::ProtocolUnknownError,
                                            QStringLiteral("Unsupported URL"))));
        return;
    }

    QNetworkRequest req(rq.url);
    req.setTransferTimeout(qMax(1, rq.timeoutMs));
    // One request per connection at a time over HTTP/1.1: a connection the server drops
    // surfaces as RemoteHostClosedError on the request that used it.
    req.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    for (const auto& [name, value] : rq.headers)
        req.setRawHeader(name, value);

    HttpUploadBody* upload = nullptr;
    if (!rq.uploadFile.isEmpty()) {
        upload = new HttpUploadBody(rq.uploadHead, rq.uploadFile, rq.uploadTail);
        errno = 0;
        if (!upload->openBody()) {
            const int e = lastErrno();
            delete upload;
            complete(task, failure(fileError(e, rq.uploadFile)));
            return;
        }
        req.setHeader(QNetworkRequest::ContentLengthHeader, upload->size());
    }
    if (!rq.downloadFile.isEmpty()) {
        task->download = std::make_unique<QFile>(rq.downloadFile);
        errno = 0;
        if (!task->download->open(QIODevice::WriteOnly | QIODevice::Truncate |
                                  QIODevice::Unbuffered)) {
            const int e = lastErrno();
            task->download.reset();
            delete upload;
            complete(task, failure(fileError(e, rq.downloadFile)));
            return;
        }
    }

    QNetworkReply* reply = nullptr;
    if (upload)
        reply = nam->sendCustomRequest(req, rq.method, upload);
    else if (!rq.body.isEmpty())
        reply = nam->sendCustomRequest(req, rq.method, rq.body);
    else if (rq.method == "GET")
        reply = nam->get(req);
    else
        reply = nam->sendCustomRequest(req, rq.method);
    if (upload)
        upload->setParent(reply);
    task->reply = reply;
    qCDebug(lcHttp) << rq.method.constData() << rq.url.path();

    // Any sign of a connection that carries the request ends the wait for one.
    if (rq.connectTimeoutMs > 0) {
        auto connected = std::make_shared<bool>(false);
        const auto mark = [connected] { *connected = true; };
        QObject::connect(reply, &QNetworkReply::requestSent, reply, mark);
        QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, mark);
        QObject::connect(reply, &QNetworkReply::uploadProgress, reply,
                         [connected](qint64 sent, qint64) {
                             if (sent > 0)
                                 *connected = true;
                         });
        QTimer::singleShot(rq.connectTimeoutMs, reply, [reply, connected] {
            if (!*connected)
                reply->abort(); // read as a time-out: no cancel was asked for
        });
    }
    if (rq.deadlineMs > 0)
        QTimer::singleShot(rq.deadlineMs, reply, [reply] { reply->abort(); });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [this, task] { takeData(*task); });
    QObject::connect(reply, &QNetworkReply::finished, reply, [this, task] { finish(task); });
    if (task->wantsProgress) {
        QObject::connect(reply, &QNetworkReply::uploadProgress, reply,
                         [this, task](qint64 d, qint64 t) { reportProgress(task, d, t); });
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                         [this, task](qint64 d, qint64 t) { reportProgress(task, d, t); });
    }
}

bool Core::startDirect(const std::shared_ptr<Task>& task)
{
    QMutexLocker lock(&stopMutex);
    if (stopped)
        return false;
    uploads.start([this, task] { runDirect(task); });
    return true;
}

void Core::runDirect(const std::shared_ptr<Task>& task)
{
    HttpFileUpload& upload = *task->direct;
    {
        QMutexLocker lock(&stopMutex);
        if (stopped)
            return; // dropped, as Qt's replies are
        running.insert(&upload);
    }
    HttpProgress progress;
    if (task->wantsProgress)
        progress = [this, task](qint64 done, qint64 total) { reportProgress(task, done, total); };
    HttpReply reply = upload.run(progress);
    {
        QMutexLocker lock(&stopMutex);
        running.erase(&upload);
        if (stopped)
            return;
    }
    // A cancelled upload was answered when it was cancelled; this thread may end after its
    // caller (a test included) has gone, so it says nothing more.
    if (task->cancelRequested)
        return;
    if (HttpFileUpload::isRedirect(reply)) {
        // Sent again through Qt, which follows (or refuses) it as for any other request.
        post([this, task] { begin(task); });
        return;
    }
    if (reply.transportError)
        qCDebug(lcHttp) << "failed" << task->request.url.path() << reply.transportError->code
                        << reply.transportError->description;
    complete(task, std::move(reply));
}

void Core::takeData(Task& task)
{
    QNetworkReply* reply = task.reply;
    if (!reply || task.localError || !reply->isOpen() || reply->bytesAvailable() <= 0)
        return;
    if (!task.bodyToFile) {
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        const int code = status.isValid() ? status.toInt() : -1;
        task.bodyToFile = task.download && code >= 200 && code <= 299;
    }
    if (!*task.bodyToFile) {
        const QByteArray chunk = reply->readAll();
        // One allocation for the whole body when its length is announced (bounded, so that a
        // wrong announcement costs little).
        if (task.body.isEmpty()) {
            const qint64 announced =
                reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
            if (announced > chunk.size())
                task.body.reserve(qsizetype(qMin<qint64>(announced, kMaxBodyReserve)));
        }
        task.body += chunk;
        return;
    }
    if (task.pending.isEmpty())
        task.pending.resize(kDownloadBlock);
    for (;;) {
        const qint64 n = reply->read(task.pending.data() + task.pendingSize,
                                     task.pending.size() - task.pendingSize);
        if (n <= 0)
            return;
        task.pendingSize += qsizetype(n);
        if (task.pendingSize == task.pending.size() && !writePending(task))
            return;
    }
}

bool Core::writePending(Task& task)
{
    errno = 0;
    const qint64 written = task.download->write(task.pending.constData(), task.pendingSize);
    if (written != task.pendingSize) {
        task.localError = fileError(lastErrno(), task.request.downloadFile);
        if (task.reply)
            task.reply->abort();
        return false;
    }
    task.pendingSize = 0;
    return true;
}

void Core::finish(const std::shared_ptr<Task>& task)
{
    QNetworkReply* reply = task->reply;
    takeData(*task);

    HttpReply out;
    const auto error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (task->localError) {
        out.transportError = task->localError;
    } else if (isTransportKind(error) || (error != QNetworkReply::NoError && !status.isValid())) {
        // Qt ends a transfer time-out as a cancel; only cancel() is a cancel here.
        if (error == QNetworkReply::OperationCanceledError && !task->cancelRequested)
            out.transportError = timeoutError();
        else
            out.transportError = networkError(error, reply->errorString());
    } else if (status.isValid()) {
        out.status = status.toInt();
        out.body = std::move(task->body);
        out.headers = reply->rawHeaderPairs();
    } else {
        out.transportError =
            networkError(QNetworkReply::ProtocolFailure, QStringLiteral("No HTTP answer"));
    }

    if (task->download) {
        QFile& file = *task->download;
        if (out.isSuccess() && task->pendingSize > 0 && !writePending(*task))
            out = failure(*task->localError);
        task->pending = QByteArray();
        if (out.isSuccess()) {
            errno = 0;
            if (!file.flush()) {
                out = failure(fileError(lastErrno(), task->request.downloadFile));
            }
        }
        // A body shorter (or longer) than announced is not the file, however the connection
        // ended.
        bool announced = false;
        const qint64 length =
            reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&announced);
        if (out.isSuccess() && announced && reply->rawHeader("Content-Encoding").isEmpty() &&
            file.size() != length)
            out = failure(networkError(QNetworkReply::RemoteHostClosedError,
                                       QStringLiteral("The download ended after %1 of %2 bytes")
                                           .arg(file.size())
                                           .arg(length)));
        file.close();
        if (out.isSuccess())
            out.downloadedFile = task->request.downloadFile;
        else
            file.remove();
        task->download.reset();
    }
    if (out.transportError)
        qCDebug(lcHttp) << "failed" << task->request.url.path() << out.transportError->code
                        << out.transportError->description;

    task->reply = nullptr;
    reply->deleteLater();
    complete(task, std::move(out));
}

void Core::stop()
{
    {
        QMutexLocker lock(&stopMutex);
        if (stopped)
            return;
        stopped = true;
        for (HttpFileUpload* upload : running)
            upload->cancel();
        // Replies are dropped without completions: the process is going away.
        QMetaObject::invokeMethod(
            context,
            [this] {
                if (nam) {
                    const auto replies = nam->findChildren<QNetworkReply*>();
                    for (QNetworkReply* r : replies) {
                        r->disconnect();
                        r->abort();
                    }
                    delete nam;
                    nam = nullptr;
                }
                thread.quit();
            },
            Qt::QueuedConnection);
    }
    thread.wait();
    uploads.waitForDone();
    pool.waitForDone();
}

} // namespace

struct HttpSession::Private {
    Core core;
};

HttpSession::HttpSession() : d(std::make_unique<Private>()) {}

HttpSession::~HttpSession() = default;

HttpSession& HttpSession::shared()
{
    // Never destroyed: the network thread stops with the QCoreApplication instead, while
    // Qt is still whole.
    static HttpSession* instance = [] {
        auto* session = new HttpSession;
        Core::sharedInstance = &session->d->core;
        qAddPostRoutine([] { Core::sharedInstance->stop(); });
        return session;
    }();
    return *instance;
}

std::shared_ptr<HttpTask> HttpSession::start(HttpRequest request, HttpCompletion completion,
                                             HttpProgress progress)
{
    auto task = std::make_shared<Task>();
    Core& core = d->core;
    task->session = &core;
    task->request = std::move(request);
    task->completion = std::move(completion);
    task->wantsProgress = bool(progress);
    task->progress = std::move(progress);
    // A line break in a header (say, a key stored damaged or sent by a hostile server) would
    // let the value write headers of its own into the request.
    for (const auto& [name, value] : task->request.headers) {
        if (name.contains('\r') || name.contains('\n') || value.contains('\r') ||
            value.contains('\n') || value.contains('\0')) {
            core.complete(
                task,
                core.failure(networkError(
                    QNetworkReply::ProtocolInvalidOperationError,
                    QStringLiteral("Invalid header: %1").arg(QString::fromLatin1(name.left(64))))));
            return task;
        }
    }
    bool started = false;
    if (HttpFileUpload::handles(task->request)) {
        task->direct = std::make_shared<HttpFileUpload>(task->request);
        started = core.startDirect(task);
    } else {
        started = core.post([&core, task] { core.begin(task); });
    }
    if (!started) {
        core.complete(task, core.failure(networkError(QNetworkReply::OperationCanceledError,
                                                      QStringLiteral("HTTP session stopped"))));
    }
    return task;
}

void HttpSession::dispatch(std::function<void()> job)
{
    d->core.pool.start(std::move(job));
}

} // namespace pixavella
