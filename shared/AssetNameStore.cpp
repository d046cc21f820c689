#include "AssetNameStore.h"

#include "Clock.h"
#include "HttpSession.h"
#include "SharedSettings.h"
#include "StoreFiles.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QWaitCondition>

#include <memory>

namespace pixavella {

namespace {

// The service's URL followed by the given path segments, or nothing when it is not an
// absolute URL.
std::optional<QUrl> serviceURL(const QStringList& segments)
{
    QUrl url(SharedSettings::namesServiceURL(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return std::nullopt;
    QString path = url.path();
    for (const QString& segment : segments) {
        if (!path.endsWith(QLatin1Char('/')))
            path += QLatin1Char('/');
        path += segment;
    }
    url.setPath(path);
    return url;
}

// A JSON object whose values are all text; anything else is nothing.
std::optional<AssetNameStore::Names> parseNames(const QByteArray& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    AssetNameStore::Names names;
    names.reserve(object.size());
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return std::nullopt;
        names.insert(it.key(), it.value().toString());
    }
    return names;
}

// The answer of one list request, handed from the callback pool to the waiting caller. Shared
// so that an answer arriving after the caller gave up has somewhere to go.
struct PendingList {
    QMutex mutex;
    QWaitCondition answered;
    bool done = false;
    std::optional<AssetNameStore::Names> names;
};

} // namespace

AssetNameStore& AssetNameStore::shared()
{
    static auto* instance = new AssetNameStore;
    return *instance;
}

AssetNameStore::AssetNameStore()
{
    const std::optional<QString> path = cacheFilePath();
    if (!path)
        return;
    if (const std::optional<QByteArray> bytes = StoreFiles::read(*path))
        m_cache = parseNames(*bytes).value_or(Names());
}

std::optional<QString> AssetNameStore::cacheFilePath()
{
    return StoreFiles::containerFile(QStringLiteral("names-cache.json"));
}

void AssetNameStore::writeCacheFile(const Names& names)
{
    const std::optional<QString> path = cacheFilePath();
    if (!path)
        return;
    QJsonObject object;
    for (auto it = names.begin(); it != names.end(); ++it)
        object.insert(it.key(), it.value());
    StoreFiles::writeAtomically(*path, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void AssetNameStore::removeCacheFile()
{
    if (const std::optional<QString> path = cacheFilePath())
        QFile::remove(*path);
}

std::optional<QString> AssetNameStore::name(const QString& assetId) const
{
    QMutexLocker locker(&m_lock);
    const auto it = m_cache.constFind(assetId);
    if (it == m_cache.constEnd())
        return std::nullopt;
    return *it;
}

AssetNameStore::Names AssetNameStore::names() const
{
    QMutexLocker locker(&m_lock);
    return m_cache;
}

void AssetNameStore::refresh(bool force, double waitSeconds)
{
    if (!force) {
        QMutexLocker locker(&m_lock);
        if (m_lastRefresh && m_lastRefresh->msecsTo(Clock::now()) < qint64(ttl * 1000.0))
            return;
    }
    const std::optional<QUrl> url = serviceURL({QStringLiteral("names")});
    if (!url)
        return;

    HttpRequest request;
    request.url = *url;
    request.method = "GET";
    request.setHeader("x-api-key", SharedSettings::apiKey().value_or(QString()).toUtf8());
    request.timeoutMs = 60'000;

    auto pending = std::make_shared<PendingList>();
    const QDeadlineTimer deadline(qint64(waitSeconds * 1000.0));
    const std::shared_ptr<HttpTask> task =
        HttpSession::shared().start(request, [pending](HttpReply reply) {
            // Any HTTP answer counts, whatever its status; only its body decides.
            std::optional<Names> names;
            if (reply.hasResponse() && !reply.body.isEmpty())
                names = parseNames(reply.body);
            QMutexLocker locker(&pending->mutex);
            pending->names = std::move(names);
            pending->done = true;
            pending->answered.wakeAll();
        });

    std::optional<Names> names;
    bool answered = false;
    {
        QMutexLocker locker(&pending->mutex);
        while (!pending->done) {
            if (!pending->answered.wait(&pending->mutex, deadline))
                break;
        }
        answered = pending->done;
        names = pending->names;
    }
    // A late answer would be dropped anyway; stop the request rather than let it run on.
    if (!answered && task)
        task->cancel();
    if (!names)
        return;

    {
        QMutexLocker locker(&m_lock);
        m_cache = *names;
        m_lastRefresh = Clock::now();
    }
    writeCacheFile(*names);
}

void AssetNameStore::setName(const QString& assetId, const QString& name)
{
    Names copy;
    {
        QMutexLocker locker(&m_lock);
        m_cache.insert(assetId, name);
        copy = m_cache;
    }
    writeCacheFile(copy);

    const std::optional<QUrl> url = serviceURL({QStringLiteral("names"), assetId});
    if (!url)
        return;
    HttpRequest request;
    request.url = *url;
    request.method = "PUT";
    request.setHeader("x-api-key", SharedSettings::apiKey().value_or(QString()).toUtf8());
    request.setHeader("Content-Type", "application/json");
    request.body =
        QJsonDocument(QJsonObject{{QStringLiteral("name"), name}}).toJson(QJsonDocument::Compact);
    request.timeoutMs = 60'000;
    HttpSession::shared().start(request, [](const HttpReply&) {});
}

} // namespace pixavella
