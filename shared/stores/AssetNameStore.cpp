#include "AssetNameStore.h"

#include "Clock.h"
#include "DelayedCall.h"
#include "HttpSession.h"
#include "Log.h"
#include "NamesServiceHealth.h"
#include "RenameQueue.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "StoreFiles.h"
#include "UserNoticeQueue.h"

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

// What a request's answer means for the service's health: nothing when it answered, else why
// it counts as a failure.
std::optional<QString> failureOf(const HttpReply& reply)
{
    if (reply.isSuccess())
        return std::nullopt;
    if (reply.hasResponse())
        return QStringLiteral("HTTP %1").arg(reply.status);
    // Never empty: an empty text reads as a success below.
    if (reply.transportError && !reply.transportError->description.isEmpty())
        return reply.transportError->description;
    return QStringLiteral("no answer");
}

// Answers that will not change however often the rename is sent: the name itself is refused.
bool isRefusal(int status)
{
    return status == 400 || status == 403 || status == 413 || status == 422;
}

QString refusalMessage(const QString& name, int status)
{
    if (status == 403)
        return QStringLiteral("Le nom « %1 » n'a pas pu être enregistré : le service des noms "
                              "n'autorise pas ce changement. La photo reprend son nom précédent.")
            .arg(name);
    return QStringLiteral("Le nom « %1 » n'a pas pu être enregistré : le service des noms le "
                          "refuse (nom vide, trop long ou non valide). La photo reprend son nom "
                          "précédent.")
        .arg(name);
}

HttpRequest serviceRequest(const QUrl& url, const QByteArray& method)
{
    HttpRequest request;
    request.url = url;
    request.method = method;
    request.setHeader("x-api-key", SharedSettings::apiKey().value_or(QString()).toUtf8());
    request.timeoutMs = 60'000;
    return request;
}

// The answer of one list request, handed from the callback pool to the waiting caller. Shared
// so that an answer arriving after the caller gave up has somewhere to go.
struct PendingList {
    QMutex mutex;
    QWaitCondition answered;
    bool done = false;
    bool recovered = false; // the service answered after failing
    std::optional<AssetNameStore::Names> names;
};

} // namespace

struct AssetNameStore::Life {
    QMutex mutex;
    AssetNameStore* store = nullptr;
};

AssetNameStore::AssetNameStore(RenameQueue& queue, NamesServiceHealth& health, SettingsSuite& suite,
                               HttpSession& http, UserNoticeQueue& notices)
    : m_queue(queue), m_health(health), m_suite(suite), m_http(http), m_notices(notices),
      m_retry(std::make_unique<DelayedCall>([this] { sendQueued(); })),
      m_life(std::make_shared<Life>())
{
    m_life->store = this;
    const std::optional<QString> path = cacheFilePath();
    if (!path)
        return;
    if (const std::optional<QByteArray> bytes = StoreFiles::read(*path))
        m_cache = parseNames(*bytes).value_or(Names());
}

AssetNameStore::~AssetNameStore()
{
    // Waits for a completion under way; later ones find no store.
    QMutexLocker locker(&m_life->mutex);
    m_life->store = nullptr;
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

void AssetNameStore::forgetAccount()
{
    removeCacheFile();
    m_queue.clear();
    NamesServiceHealth::unmark(m_suite);
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

void AssetNameStore::setRefusalListener(RefusalListener listener)
{
    QMutexLocker locker(&m_lock);
    m_refusalListener = std::move(listener);
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
    const QDateTime startedAt = Clock::now();
    if (!m_health.claim(startedAt))
        return;

    auto pending = std::make_shared<PendingList>();
    const QDeadlineTimer deadline(qint64(waitSeconds * 1000.0));
    NamesServiceHealth& health = m_health;
    const std::shared_ptr<HttpTask> task =
        m_http.start(serviceRequest(*url, "GET"), [pending, &health, startedAt](HttpReply reply) {
            // An error page is a JSON object too: only a success may replace the names.
            std::optional<Names> names;
            bool recovered = false;
            if (const std::optional<QString> failure = failureOf(reply)) {
                health.recordFailure(startedAt, Clock::now(), *failure);
            } else {
                recovered = health.recordSuccess();
                names = parseNames(reply.body);
            }
            QMutexLocker locker(&pending->mutex);
            pending->names = std::move(names);
            pending->recovered = recovered;
            pending->done = true;
            pending->answered.wakeAll();
        });

    std::optional<Names> names;
    bool answered = false;
    bool recovered = false;
    {
        QMutexLocker locker(&pending->mutex);
        while (!pending->done) {
            if (!pending->answered.wait(&pending->mutex, deadline))
                break;
        }
        answered = pending->done;
        names = pending->names;
        recovered = pending->recovered;
    }
    // A late answer would be dropped anyway; stop the request rather than let it run on. The
    // cancellation counts as a failure: a service too slow to list is not asked at every
    // listing.
    if (!answered && task)
        task->cancel();
    if (recovered)
        sendQueued();
    if (!names)
        return;

    // The service does not know the queued names yet; they stay until it stored them.
    for (const RenameQueue::Entry& entry : m_queue.list())
        names->insert(entry.assetId, entry.name);
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
    std::optional<QString> previous;
    {
        QMutexLocker locker(&m_lock);
        if (const auto it = m_cache.constFind(assetId); it != m_cache.constEnd())
            previous = *it;
        m_cache.insert(assetId, name);
        copy = m_cache;
    }
    writeCacheFile(copy);
    m_queue.put(assetId, name, previous);
    sendQueued();
}

void AssetNameStore::sendQueued()
{
    const QList<RenameQueue::Entry> entries = m_queue.list();
    if (entries.isEmpty())
        return;
    const std::optional<QString> key = SharedSettings::apiKey();
    if (!key || key->isEmpty())
        return;
    const QDateTime now = Clock::now();
    for (const RenameQueue::Entry& entry : entries) {
        const std::optional<QUrl> url = serviceURL({QStringLiteral("names"), entry.assetId});
        if (!url)
            return;
        {
            QMutexLocker locker(&m_lock);
            if (m_inFlight.contains(entry.assetId))
                continue;
        }
        if (!m_health.claim(now))
            return scheduleRetry();
        {
            QMutexLocker locker(&m_lock);
            m_inFlight.insert(entry.assetId);
        }
        HttpRequest request = serviceRequest(*url, "PUT");
        request.setHeader("Content-Type", "application/json");
        request.body = QJsonDocument(QJsonObject{{QStringLiteral("name"), entry.name}})
                           .toJson(QJsonDocument::Compact);
        m_http.start(request, [life = m_life, assetId = entry.assetId, name = entry.name,
                               startedAt = now](const HttpReply& reply) {
            const std::optional<QString> failure = failureOf(reply);
            QMutexLocker locker(&life->mutex);
            if (life->store)
                life->store->answered(assetId, name, startedAt, reply.status,
                                      failure.value_or(QString()));
        });
        // While the service fails, the one request let through finds out whether it is back;
        // the others wait for its answer.
        if (m_health.isFailing())
            return;
    }
}

void AssetNameStore::answered(const QString& assetId, const QString& name,
                              const QDateTime& startedAt, int status, const QString& failure)
{
    {
        QMutexLocker locker(&m_lock);
        m_inFlight.remove(assetId);
    }
    if (failure.isEmpty()) {
        m_health.recordSuccess();
        m_queue.remove(assetId, name);
        // A newer rename of the asset, or the ones that waited while the service failed.
        return sendQueued();
    }
    if (isRefusal(status)) {
        // The service answered, so it is up; but this name will never do.
        m_health.recordSuccess();
        const std::optional<RenameQueue::Entry> entry = m_queue.find(assetId);
        if (entry && m_queue.remove(assetId, name))
            undo(assetId, name, entry->previousName, status);
        return sendQueued();
    }
    m_health.recordFailure(startedAt, Clock::now(), failure);
    scheduleRetry();
}

void AssetNameStore::undo(const QString& assetId, const QString& name,
                          const std::optional<QString>& previousName, int status)
{
    qCWarning(lcNames).noquote() << QStringLiteral(PIXAVELLA_LOG_PREFIX
                                                   "names service refused a rename (HTTP %1); the "
                                                   "photo keeps its previous name")
                                        .arg(status);
    Names copy;
    RefusalListener listener;
    {
        QMutexLocker locker(&m_lock);
        if (previousName)
            m_cache.insert(assetId, *previousName);
        else
            m_cache.remove(assetId);
        copy = m_cache;
        listener = m_refusalListener;
    }
    writeCacheFile(copy);
    m_notices.append(refusalMessage(name, status));
    if (listener)
        listener(assetId);
}

void AssetNameStore::scheduleRetry()
{
    const std::optional<QDateTime> next = m_health.nextAttempt();
    if (!next)
        return;
    const qint64 wait = std::max<qint64>(0, Clock::now().msecsTo(*next));
    m_retry->armWithin(std::chrono::milliseconds(wait));
}

} // namespace pixavella
