#include "ContainerRefresher.h"

#include "ErrnoMapping.h"
#include "FileProviderError.h"
#include "FuseLog.h"

#include <cerrno>
#include <mutex>

namespace pixavella {

namespace {

// One refresh in progress. Observers and the deadline hold it; the first finish wins.
class Run : public std::enable_shared_from_this<Run> {
public:
    Run(FileProviderItemIdentifier container, Replica& replica,
        std::shared_ptr<ContainerRefresher::Lifetime> lifetime,
        ContainerRefresher::Completion completion)
        : m_container(std::move(container)), m_replica(replica), m_lifetime(std::move(lifetime)),
          m_completion(std::move(completion))
    {
    }

    void start(std::shared_ptr<FileProviderReplicatedExtension> extension)
    {
        Result<FileProviderEnumeratorRef> enumerator =
            extension->enumeratorForContainer(m_container);
        if (!enumerator || !enumerator.value()) {
            finish(enumerator ? fileProviderError(FileProviderErrorCode::noSuchItem)
                              : enumerator.error());
            return;
        }
        m_enumerator = enumerator.value();
        if (const auto anchor = m_replica.anchor(m_container))
            changes(*anchor);
        else
            listAll();
    }

    void listAll();
    void listPage(const FileProviderPage& page);
    void changes(const FileProviderSyncAnchor& anchor);

    bool isFinished() const
    {
        std::lock_guard lock(m_mutex);
        return m_finished;
    }

    void addItems(const QList<FileProviderItemRef>& items)
    {
        std::lock_guard lock(m_mutex);
        if (!m_finished)
            m_items.append(items);
    }
    void addDeleted(const QList<FileProviderItemIdentifier>& ids)
    {
        std::lock_guard lock(m_mutex);
        if (!m_finished)
            m_deleted.append(ids);
    }

    void pageDone(const std::optional<FileProviderPage>& next)
    {
        if (isFinished())
            return;
        if (next && !next->isEmpty()) {
            listPage(*next);
            return;
        }
        {
            std::lock_guard apply(m_applyMutex);
            QList<FileProviderItemRef> items;
            std::optional<FileProviderSyncAnchor> anchor;
            {
                std::lock_guard lock(m_mutex);
                if (m_finished)
                    return;
                items = std::move(m_items);
                m_items.clear();
                anchor = m_listingAnchor;
            }
            std::shared_lock alive(m_lifetime->mutex);
            if (!m_lifetime->alive)
                return;
            const ReplicaDelta delta = m_replica.applyListing(m_container, items, anchor);
            std::lock_guard lock(m_mutex);
            m_delta.append(delta);
        }
        finish(Result<void>::success());
    }

    void changesDone(const FileProviderSyncAnchor& anchor, bool moreComing)
    {
        {
            std::lock_guard apply(m_applyMutex);
            QList<FileProviderItemRef> updated;
            QList<FileProviderItemIdentifier> deleted;
            {
                std::lock_guard lock(m_mutex);
                if (m_finished)
                    return;
                updated = std::move(m_items);
                deleted = std::move(m_deleted);
                m_items.clear();
                m_deleted.clear();
            }
            std::shared_lock alive(m_lifetime->mutex);
            if (!m_lifetime->alive)
                return;
            const ReplicaDelta delta =
                m_replica.applyChanges(m_container, updated, deleted, anchor);
            std::lock_guard lock(m_mutex);
            m_delta.append(delta);
        }
        if (moreComing)
            changes(anchor);
        else
            finish(Result<void>::success());
    }

    // The deadline: waits for a replica update in progress so its delta is not lost.
    void expire(const Error& error)
    {
        std::lock_guard apply(m_applyMutex);
        finish(error);
    }

    void changesFailed(const Error& error)
    {
        if (isFinished())
            return;
        if (error.is(ErrorDomain::FileProvider, FileProviderHostErrorCode::syncAnchorExpired)) {
            {
                std::lock_guard lock(m_mutex);
                m_items.clear();
                m_deleted.clear();
            }
            listAll();
            return;
        }
        finish(error);
    }

    void finish(const Result<void>& result)
    {
        ContainerRefresher::Completion completion;
        ReplicaDelta delta;
        Deadlines* deadlines = nullptr;
        Deadlines::Id deadline = 0;
        {
            std::lock_guard lock(m_mutex);
            if (m_finished)
                return;
            m_finished = true;
            completion = std::move(m_completion);
            delta = std::move(m_delta);
            deadlines = m_deadlines;
            deadline = m_deadline;
        }
        if (deadlines && deadline) {
            std::shared_lock alive(m_lifetime->mutex);
            if (m_lifetime->alive)
                deadlines->cancel(deadline);
        }
        if (m_enumerator)
            m_enumerator->invalidate();
        completion(result, std::move(delta));
    }

    void setDeadline(Deadlines& deadlines, Deadlines::Id id)
    {
        std::lock_guard lock(m_mutex);
        m_deadlines = &deadlines;
        m_deadline = id;
    }

private:
    const FileProviderItemIdentifier m_container;
    Replica& m_replica; // only while m_lifetime is alive
    const std::shared_ptr<ContainerRefresher::Lifetime> m_lifetime;
    FileProviderEnumeratorRef m_enumerator;
    // Held while a result is applied to the replica, and by the deadline, so that a refresh
    // that expires never drops what it already applied. Taken before m_mutex.
    std::mutex m_applyMutex;
    // Guards every field below.
    mutable std::mutex m_mutex;
    ContainerRefresher::Completion m_completion;
    bool m_finished = false;
    QList<FileProviderItemRef> m_items;
    QList<FileProviderItemIdentifier> m_deleted;
    std::optional<FileProviderSyncAnchor> m_listingAnchor;
    ReplicaDelta m_delta;
    Deadlines* m_deadlines = nullptr;
    Deadlines::Id m_deadline = 0;
};

class ListingObserver final : public FileProviderEnumerationObserver {
public:
    explicit ListingObserver(std::shared_ptr<Run> run) : m_run(std::move(run)) {}
    void didEnumerateItems(const QList<FileProviderItemRef>& items) override
    {
        m_run->addItems(items);
    }
    void finishEnumeratingUpToPage(const std::optional<FileProviderPage>& nextPage) override
    {
        m_run->pageDone(nextPage);
    }
    void finishEnumeratingWithError(const Error& error) override { m_run->finish(error); }

private:
    std::shared_ptr<Run> m_run;
};

class ChangesObserver final : public FileProviderChangeObserver {
public:
    explicit ChangesObserver(std::shared_ptr<Run> run) : m_run(std::move(run)) {}
    void didUpdateItems(const QList<FileProviderItemRef>& items) override
    {
        m_run->addItems(items);
    }
    void didDeleteItemsWithIdentifiers(const QList<FileProviderItemIdentifier>& ids) override
    {
        m_run->addDeleted(ids);
    }
    void finishEnumeratingChangesUpToSyncAnchor(const FileProviderSyncAnchor& anchor,
                                                bool moreComing) override
    {
        m_run->changesDone(anchor, moreComing);
    }
    void finishEnumeratingWithError(const Error& error) override { m_run->changesFailed(error); }

private:
    std::shared_ptr<Run> m_run;
};

void Run::listAll()
{
    // The anchor is taken before the listing, so changes made during it are seen next time.
    m_enumerator->currentSyncAnchor(
        [self = shared_from_this()](std::optional<FileProviderSyncAnchor> anchor) {
            {
                std::lock_guard lock(self->m_mutex);
                if (self->m_finished)
                    return;
                self->m_listingAnchor = std::move(anchor);
            }
            self->listPage(FileProviderInitialPage::sortedByName);
        });
}

void Run::listPage(const FileProviderPage& page)
{
    m_enumerator->enumerateItems(std::make_shared<ListingObserver>(shared_from_this()), page);
}

void Run::changes(const FileProviderSyncAnchor& anchor)
{
    m_enumerator->enumerateChanges(std::make_shared<ChangesObserver>(shared_from_this()), anchor);
}

} // namespace

ContainerRefresher::ContainerRefresher(std::shared_ptr<FileProviderReplicatedExtension> extension,
                                       Replica& replica, Deadlines& deadlines,
                                       std::chrono::milliseconds timeout)
    : m_extension(std::move(extension)), m_replica(replica), m_deadlines(deadlines),
      m_timeout(timeout)
{
}

void ContainerRefresher::stop()
{
    std::unique_lock lock(m_lifetime->mutex);
    m_lifetime->alive = false;
}

void ContainerRefresher::refresh(const FileProviderItemIdentifier& container, Completion completion)
{
    auto run = std::make_shared<Run>(container, m_replica, m_lifetime, std::move(completion));
    // The deadline keeps the run alive: an extension that drops its observers unanswered
    // still gets its requests answered.
    const Deadlines::Id id = m_deadlines.schedule(m_timeout, [run, container] {
        qCWarning(lcFuseHost).noquote() << "listing of" << container << "timed out";
        run->expire(fileError(ETIMEDOUT, QStringLiteral("listing of ") + container));
    });
    run->setDeadline(m_deadlines, id);
    run->start(m_extension);
}

} // namespace pixavella
