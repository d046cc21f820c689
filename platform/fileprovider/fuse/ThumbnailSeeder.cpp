#include "ThumbnailSeeder.h"

#include "FreedesktopThumbnail.h"
#include "FuseLog.h"

#include <QImage>
#include <QSet>
#include <QSize>

#include <cerrno>
#include <vector>

namespace pixavella {

namespace {

// Counts down the thumbnails one seed waits for; the last to settle runs its function.
struct Waiter {
    std::atomic<int> left{1};
    std::function<void()> settled;

    void leave()
    {
        if (left.fetch_sub(1) == 1 && settled)
            settled();
    }
};
using WaiterRef = std::shared_ptr<Waiter>;
using Waiters = std::vector<WaiterRef>;

void leaveAll(const Waiters& waiters)
{
    for (const WaiterRef& w : waiters)
        w->leave();
}

bool hasThumbnails(const QString& root, const ThumbnailSeeder::Candidate& c)
{
    const auto valid = [&](const char* flavor) {
        return FreedesktopThumbnail::isValid(
            FreedesktopThumbnail::pathFor(root, QLatin1String(flavor), c.uri), c.uri, c.mtime);
    };
    return valid("large") && valid("normal");
}

} // namespace

struct ThumbnailSeeder::State : std::enable_shared_from_this<State> {
    std::shared_ptr<FileProviderReplicatedExtension> extension;
    QString root;
    Options options;
    Lookup lookup;
    QThreadPool* pool = nullptr;
    Deadlines* retries = nullptr;
    std::atomic<int> written{0};

    struct Wanted {
        Candidate candidate;
        quint64 batch = 0; // the fetchThumbnails call it was asked in; 0 while queued
        bool answered = false;
        Waiters waiters;
    };
    struct HeldBack {
        QByteArray version;
        int answers = 0; // answered "not made yet" so many times in a row
        Deadlines::Id retry = 0;
        bool due = false; // to be asked at its next seed
    };

    // Guards every field below. Taken before the retries' own lock.
    std::mutex mutex;
    bool stopped = false;
    std::deque<FileProviderItemIdentifier> queue;
    // Background candidates not yet checked against the cache, and whether a task checks them.
    std::deque<Candidate> unchecked;
    bool checking = false;
    // Queued, asked for or being written, by identifier: a second listing does not ask again.
    QHash<FileProviderItemIdentifier, Wanted> wanted;
    QHash<FileProviderItemIdentifier, HeldBack> heldBack;
    int inFlight = 0;
    // Answers waiting to be decoded and written: no more is asked for while many wait.
    int writing = 0;
    quint64 lastBatch = 0;

    void enqueue(QList<Candidate> candidates, WaiterRef waiter);
    // Checks the cache for the background's candidates, a batch at a time, then admits them.
    void checkUnchecked();
    // Queues those of `candidates` the cache lacks (ahead of the others for a waiter).
    void admit(const QList<Candidate>& candidates, const WaiterRef& waiter);
    // Lets go of the oldest background entries beyond options.maxQueued.
    void trimQueueLocked();
    void pump();
    void received(const FileProviderItemIdentifier& id, const Result<QByteArray>& bytes);
    void batchDone(quint64 batch, const QList<FileProviderItemIdentifier>& ids);
    void write(const Candidate& c, const QByteArray& bytes);
    void retry(const FileProviderItemIdentifier& id);
    // The waiters of a thumbnail no longer wanted; left by the caller once the lock is released.
    Waiters takeLocked(const FileProviderItemIdentifier& id);
    void holdBackLocked(const Candidate& c);
    void forgetHeldBackLocked(const FileProviderItemIdentifier& id);
};

Waiters ThumbnailSeeder::State::takeLocked(const FileProviderItemIdentifier& id)
{
    auto it = wanted.find(id);
    if (it == wanted.end())
        return {};
    Waiters waiters = std::move(it->waiters);
    wanted.erase(it);
    return waiters;
}

void ThumbnailSeeder::State::holdBackLocked(const Candidate& c)
{
    HeldBack& held = heldBack[c.identifier];
    if (held.version != c.version)
        held.answers = 0;
    held.version = c.version;
    ++held.answers;
    held.due = false;
    const auto& delays = options.retryDelays;
    if (delays.isEmpty())
        return;
    const std::chrono::milliseconds delay = delays.at(qMin(held.answers, delays.size()) - 1);
    std::weak_ptr<State> weak = weak_from_this();
    if (held.retry)
        retries->cancel(held.retry);
    held.retry = retries->schedule(delay, [weak, id = c.identifier] {
        if (auto self = weak.lock())
            self->retry(id);
    });
}

void ThumbnailSeeder::State::forgetHeldBackLocked(const FileProviderItemIdentifier& id)
{
    const auto it = heldBack.constFind(id);
    if (it == heldBack.constEnd())
        return;
    if (it->retry)
        retries->cancel(it->retry);
    heldBack.erase(it);
}

void ThumbnailSeeder::State::enqueue(QList<Candidate> candidates, WaiterRef waiter)
{
    std::weak_ptr<State> weak = weak_from_this();
    std::lock_guard lock(mutex);
    if (stopped) {
        if (waiter)
            waiter->leave();
        return;
    }
    if (!waiter) {
        // In the background only the newest are kept, already before their check: a walk
        // lists folders faster than their thumbnails are looked for.
        for (Candidate& c : candidates)
            unchecked.push_back(std::move(c));
        while (qsizetype(unchecked.size()) > options.maxQueued)
            unchecked.pop_front();
        if (checking)
            return;
        checking = true;
        pool->start([weak] {
            if (auto self = weak.lock())
                self->checkUnchecked();
        });
        return;
    }
    // The validity checks read files: never on the thread that answers the listing.
    pool->start([weak, candidates = std::move(candidates), waiter] {
        auto self = weak.lock();
        if (!self) {
            waiter->leave();
            return;
        }
        self->admit(candidates, waiter);
        self->pump();
        waiter->leave();
    });
}

void ThumbnailSeeder::State::checkUnchecked()
{
    for (;;) {
        QList<Candidate> candidates;
        {
            std::lock_guard lock(mutex);
            if (stopped || unchecked.empty()) {
                checking = false;
                return;
            }
            while (!unchecked.empty() && candidates.size() < options.batchSize) {
                candidates.append(std::move(unchecked.front()));
                unchecked.pop_front();
            }
        }
        admit(candidates, nullptr);
        pump();
    }
}

void ThumbnailSeeder::State::admit(const QList<Candidate>& candidates, const WaiterRef& waiter)
{
    QList<Candidate> needed;
    QList<FileProviderItemIdentifier> present;
    for (const Candidate& c : candidates) {
        if (hasThumbnails(root, c))
            present.append(c.identifier);
        else
            needed.append(c);
    }
    std::lock_guard lock(mutex);
    // Once stopped, stop() settled everything it knew; the caller leaves its own waiter.
    if (stopped)
        return;
    for (const FileProviderItemIdentifier& id : std::as_const(present))
        forgetHeldBackLocked(id);
    QList<FileProviderItemIdentifier> ahead;
    for (const Candidate& c : std::as_const(needed)) {
        if (auto held = heldBack.find(c.identifier); held != heldBack.end()) {
            if (held->version != c.version)
                forgetHeldBackLocked(c.identifier);
            else if (!held->due)
                continue; // settled as far as a waiter is concerned
            else
                held->due = false;
        }
        auto it = wanted.find(c.identifier);
        if (it == wanted.end()) {
            it = wanted.insert(c.identifier, Wanted{c, 0, false, {}});
            if (!waiter)
                queue.push_back(c.identifier);
        } else if (!it->answered) {
            it->candidate = c;
        }
        if (waiter) {
            waiter->left.fetch_add(1);
            it->waiters.push_back(waiter);
            if (it->batch == 0)
                ahead.append(c.identifier);
        }
    }
    if (!ahead.isEmpty()) {
        // What a program waits for goes first, in the order it was given.
        const QSet<FileProviderItemIdentifier> moved(ahead.cbegin(), ahead.cend());
        std::deque<FileProviderItemIdentifier> reordered(ahead.cbegin(), ahead.cend());
        for (const FileProviderItemIdentifier& id : queue)
            if (!moved.contains(id))
                reordered.push_back(id);
        queue = std::move(reordered);
    }
    trimQueueLocked();
}

void ThumbnailSeeder::State::trimQueueLocked()
{
    if (qsizetype(queue.size()) <= options.maxQueued)
        return;
    // Newest first: what a program waits for is never let go, the background keeps its newest.
    std::deque<FileProviderItemIdentifier> kept;
    qsizetype background = 0;
    for (auto id = queue.rbegin(); id != queue.rend(); ++id) {
        const auto it = wanted.find(*id);
        if (it == wanted.end() || it->batch != 0)
            continue;
        if (it->waiters.empty() && ++background > options.maxQueued) {
            wanted.erase(it); // a later listing of its folder asks again
            continue;
        }
        kept.push_front(*id);
    }
    queue = std::move(kept);
}

void ThumbnailSeeder::State::pump()
{
    for (;;) {
        QList<FileProviderItemIdentifier> batch;
        quint64 serial = 0;
        {
            std::lock_guard lock(mutex);
            if (stopped || inFlight >= options.concurrentRequests ||
                writing >= 2 * options.batchSize || queue.empty())
                return;
            serial = ++lastBatch;
            while (!queue.empty() && batch.size() < options.batchSize) {
                const FileProviderItemIdentifier id = queue.front();
                queue.pop_front();
                auto it = wanted.find(id);
                if (it == wanted.end() || it->batch != 0)
                    continue;
                it->batch = serial;
                batch.append(id);
            }
            if (batch.isEmpty())
                continue;
            ++inFlight;
        }
        std::weak_ptr<State> weak = weak_from_this();
        try {
            extension->fetchThumbnails(
                batch, QSize(FreedesktopThumbnail::kLargeSize, FreedesktopThumbnail::kLargeSize),
                [weak](const FileProviderItemIdentifier& id, Result<QByteArray> bytes) {
                    if (auto self = weak.lock())
                        self->received(id, bytes);
                },
                [weak, serial, batch](Result<void> outcome) {
                    auto self = weak.lock();
                    if (!self)
                        return;
                    if (!outcome)
                        qCDebug(lcFuseHost) << "thumbnails failed:" << outcome.error().description;
                    self->batchDone(serial, batch);
                });
        } catch (...) {
            qCWarning(lcFuseHost) << "the extension failed to fetch thumbnails";
            batchDone(serial, batch);
        }
    }
}

void ThumbnailSeeder::State::batchDone(quint64 batch, const QList<FileProviderItemIdentifier>& ids)
{
    Waiters waiters;
    {
        std::lock_guard lock(mutex);
        --inFlight;
        // Identifiers never answered may be asked again by a later listing.
        for (const FileProviderItemIdentifier& id : ids) {
            const auto it = wanted.constFind(id);
            if (it != wanted.constEnd() && it->batch == batch && !it->answered) {
                Waiters w = takeLocked(id);
                waiters.insert(waiters.end(), w.begin(), w.end());
            }
        }
    }
    leaveAll(waiters);
    pump();
}

void ThumbnailSeeder::State::received(const FileProviderItemIdentifier& id,
                                      const Result<QByteArray>& bytes)
{
    Waiters waiters;
    {
        std::lock_guard lock(mutex);
        if (stopped)
            return;
        auto it = wanted.find(id);
        if (it == wanted.end() || it->answered)
            return;
        if (bytes && !bytes.value().isEmpty()) {
            it->answered = true;
            // Decoding and scaling take a while: off the extension's callback thread.
            auto self = shared_from_this();
            ++writing;
            pool->start([self, c = it->candidate, data = bytes.value()] {
                self->write(c, data);
                {
                    std::lock_guard lock(self->mutex);
                    --self->writing;
                }
                self->pump();
            });
            return;
        }
        if (bytes) {
            // Not made yet (the server's job has not run): asked again later.
            holdBackLocked(it->candidate);
        } else {
            qCDebug(lcFuseHost).noquote()
                << "no thumbnail for" << id << "now:" << bytes.error().description;
        }
        waiters = takeLocked(id);
    }
    leaveAll(waiters);
}

void ThumbnailSeeder::State::write(const Candidate& c, const QByteArray& bytes)
{
    {
        std::lock_guard lock(mutex);
        if (stopped)
            return; // stop() settled its waiters
    }
    bool done = false;
    const QImage image = QImage::fromData(bytes);
    using FreedesktopThumbnail::Flavor;
    Result<void> wrote = fileError(EINVAL, QStringLiteral("not an image"));
    if (!image.isNull())
        wrote = FreedesktopThumbnail::write(root, c.uri, c.mtime, image, Flavor::Large);
    if (wrote) {
        // Found from now on: whoever waits goes on while the normal size is written. The item
        // stays wanted until then, so that no listing asks for it again meanwhile.
        Waiters early;
        {
            std::lock_guard lock(mutex);
            if (auto it = wanted.find(c.identifier); it != wanted.end())
                early = std::move(it->waiters);
        }
        leaveAll(early);
        wrote = FreedesktopThumbnail::write(root, c.uri, c.mtime, image, Flavor::Normal);
    }
    if (wrote) {
        done = true;
        ++written;
    } else {
        qCDebug(lcFuseHost).noquote()
            << "thumbnail of" << c.identifier << "not written:" << wrote.error().description;
    }
    Waiters waiters;
    {
        std::lock_guard lock(mutex);
        if (done)
            forgetHeldBackLocked(c.identifier);
        waiters = takeLocked(c.identifier);
    }
    leaveAll(waiters);
}

void ThumbnailSeeder::State::retry(const FileProviderItemIdentifier& id)
{
    {
        std::lock_guard lock(mutex);
        const auto held = heldBack.find(id);
        if (stopped || held == heldBack.end())
            return;
        held->retry = 0;
        held->due = true;
    }
    const std::optional<Candidate> now = lookup ? lookup(id) : std::nullopt;
    if (!now) {
        std::lock_guard lock(mutex);
        forgetHeldBackLocked(id); // the photo is gone
        return;
    }
    enqueue({*now}, nullptr);
}

ThumbnailSeeder::ThumbnailSeeder(std::shared_ptr<FileProviderReplicatedExtension> extension,
                                 QString thumbnailRoot, Options options, Lookup lookup)
    : m_state(std::make_shared<State>())
{
    m_pool.setMaxThreadCount(2);
    m_state->extension = std::move(extension);
    m_state->root = std::move(thumbnailRoot);
    options.concurrentRequests = qMax(1, options.concurrentRequests);
    options.batchSize = qMax(1, options.batchSize);
    options.maxQueued = qMax(1, options.maxQueued);
    m_state->options = std::move(options);
    m_state->lookup = std::move(lookup);
    m_state->pool = &m_pool;
    m_state->retries = &m_retries;
}

ThumbnailSeeder::~ThumbnailSeeder()
{
    stop();
}

void ThumbnailSeeder::seed(QList<Candidate> candidates, std::function<void()> settled)
{
    WaiterRef waiter;
    if (settled) {
        waiter = std::make_shared<Waiter>();
        waiter->settled = std::move(settled);
    }
    if (candidates.isEmpty()) {
        if (waiter)
            waiter->leave();
        return;
    }
    m_state->enqueue(std::move(candidates), std::move(waiter));
}

void ThumbnailSeeder::retryHeldBack()
{
    QList<FileProviderItemIdentifier> ids;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->stopped)
            return;
        for (auto it = m_state->heldBack.begin(); it != m_state->heldBack.end(); ++it) {
            if (it->retry)
                m_retries.cancel(it->retry);
            it->retry = 0;
            it->due = true;
            ids.append(it.key());
        }
        if (ids.isEmpty())
            return;
        std::weak_ptr<State> weak = m_state;
        // The lookups read the replica: not on the caller's thread.
        m_pool.start([weak, ids] {
            auto self = weak.lock();
            if (!self)
                return;
            QList<Candidate> candidates;
            for (const FileProviderItemIdentifier& id : ids) {
                if (std::optional<Candidate> c = self->lookup ? self->lookup(id) : std::nullopt) {
                    candidates.append(*c);
                } else {
                    std::lock_guard lock(self->mutex);
                    self->forgetHeldBackLocked(id);
                }
            }
            if (!candidates.isEmpty())
                self->enqueue(std::move(candidates), nullptr);
        });
    }
}

void ThumbnailSeeder::stop()
{
    Waiters waiters;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->stopped = true;
        m_state->queue.clear();
        m_state->unchecked.clear();
        for (auto& wanted : m_state->wanted)
            waiters.insert(waiters.end(), wanted.waiters.begin(), wanted.waiters.end());
        m_state->wanted.clear();
        m_state->heldBack.clear();
    }
    m_retries.stop();
    leaveAll(waiters);
    m_pool.waitForDone();
}

int ThumbnailSeeder::writtenCount() const
{
    return m_state->written.load();
}

} // namespace pixavella
