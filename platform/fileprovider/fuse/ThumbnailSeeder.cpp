#include "ThumbnailSeeder.h"

#include "FreedesktopThumbnail.h"
#include "FuseLog.h"

#include <QImage>
#include <QSize>

namespace pixavella {

struct ThumbnailSeeder::State : std::enable_shared_from_this<State> {
    std::shared_ptr<FileProviderReplicatedExtension> extension;
    QString root;
    int concurrentRequests = 3;
    int batchSize = 16;
    QThreadPool* pool = nullptr;
    std::atomic<int> written{0};

    // Guards every field below.
    std::mutex mutex;
    bool stopped = false;
    std::deque<Candidate> queue;
    // Queued or asked for, by identifier: a second listing does not ask again meanwhile.
    QHash<FileProviderItemIdentifier, Candidate> wanted;
    int inFlight = 0;

    void pump();
    void received(const FileProviderItemIdentifier& id, const Result<QByteArray>& bytes);
    void write(const Candidate& c, const QByteArray& bytes);
};

void ThumbnailSeeder::State::pump()
{
    for (;;) {
        QList<FileProviderItemIdentifier> batch;
        {
            std::lock_guard lock(mutex);
            if (stopped || inFlight >= concurrentRequests || queue.empty())
                return;
            while (!queue.empty() && batch.size() < batchSize) {
                batch.append(queue.front().identifier);
                queue.pop_front();
            }
            ++inFlight;
        }
        std::weak_ptr<State> weak = weak_from_this();
        extension->fetchThumbnails(
            batch, QSize(FreedesktopThumbnail::kLargeSize, FreedesktopThumbnail::kLargeSize),
            [weak](const FileProviderItemIdentifier& id, Result<QByteArray> bytes) {
                if (auto self = weak.lock())
                    self->received(id, bytes);
            },
            [weak, batch](Result<void> outcome) {
                auto self = weak.lock();
                if (!self)
                    return;
                if (!outcome)
                    qCDebug(lcFuseHost) << "thumbnails failed:" << outcome.error().description;
                {
                    std::lock_guard lock(self->mutex);
                    --self->inFlight;
                    // Identifiers never answered may be asked again by a later listing.
                    for (const FileProviderItemIdentifier& id : batch)
                        self->wanted.remove(id);
                }
                self->pump();
            });
    }
}

void ThumbnailSeeder::State::received(const FileProviderItemIdentifier& id,
                                      const Result<QByteArray>& bytes)
{
    Candidate c;
    {
        std::lock_guard lock(mutex);
        if (stopped)
            return;
        auto it = wanted.find(id);
        if (it == wanted.end())
            return;
        c = *it;
        wanted.erase(it);
        if (!bytes || bytes.value().isEmpty())
            return;
        // Decoding and scaling take a while: off the extension's callback thread.
        auto self = shared_from_this();
        const QByteArray data = bytes.value();
        pool->start([self, c, data] { self->write(c, data); });
    }
}

void ThumbnailSeeder::State::write(const Candidate& c, const QByteArray& bytes)
{
    {
        std::lock_guard lock(mutex);
        if (stopped)
            return;
    }
    const QImage image = QImage::fromData(bytes);
    if (image.isNull()) {
        qCDebug(lcFuseHost).noquote() << "thumbnail of" << c.identifier << "is not an image";
        return;
    }
    const Result<void> done = FreedesktopThumbnail::write(root, c.uri, c.mtime, image);
    if (!done) {
        qCDebug(lcFuseHost).noquote() << "thumbnail not written:" << done.error().description;
        return;
    }
    ++written;
}

ThumbnailSeeder::ThumbnailSeeder(std::shared_ptr<FileProviderReplicatedExtension> extension,
                                 QString thumbnailRoot, int concurrentRequests, int batchSize)
    : m_state(std::make_shared<State>())
{
    m_pool.setMaxThreadCount(2);
    m_state->extension = std::move(extension);
    m_state->root = std::move(thumbnailRoot);
    m_state->concurrentRequests = qMax(1, concurrentRequests);
    m_state->batchSize = qMax(1, batchSize);
    m_state->pool = &m_pool;
}

ThumbnailSeeder::~ThumbnailSeeder()
{
    stop();
}

void ThumbnailSeeder::seed(QList<Candidate> candidates)
{
    if (candidates.isEmpty())
        return;
    std::weak_ptr<State> weak = m_state;
    // The validity checks read files: never on the thread that answers the listing.
    std::lock_guard lock(m_state->mutex);
    if (m_state->stopped)
        return;
    m_pool.start([weak, candidates = std::move(candidates)] {
        auto self = weak.lock();
        if (!self)
            return;
        QList<Candidate> needed;
        for (const Candidate& c : candidates) {
            const auto valid = [&](const char* flavor) {
                return FreedesktopThumbnail::isValid(
                    FreedesktopThumbnail::pathFor(self->root, QLatin1String(flavor), c.uri), c.uri,
                    c.mtime);
            };
            if (!valid("normal") || !valid("large"))
                needed.append(c);
        }
        {
            std::lock_guard lock(self->mutex);
            if (self->stopped)
                return;
            for (const Candidate& c : std::as_const(needed)) {
                if (self->wanted.contains(c.identifier))
                    continue;
                self->wanted.insert(c.identifier, c);
                self->queue.push_back(c);
            }
        }
        self->pump();
    });
}

void ThumbnailSeeder::stop()
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopped = true;
        m_state->queue.clear();
    }
    m_pool.waitForDone();
}

int ThumbnailSeeder::writtenCount() const
{
    return m_state->written.load();
}

} // namespace pixavella
