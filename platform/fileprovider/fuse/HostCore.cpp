#include "HostCore.h"

#include "CallingProgram.h"
#include "ErrnoMapping.h"
#include "FreedesktopThumbnail.h"
#include "FuseHostOptions.h"
#include "FuseLog.h"
#include "NameDisambiguator.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSet>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace pixavella {

HostCore::HostCore(std::shared_ptr<FileProviderReplicatedExtension> extension,
                   const FuseHostOptions& options)
    : HostState(std::move(extension), options,
                [this](const FileProviderItemIdentifier& c) { startRefresh(c); })
{
}

HostCore::~HostCore()
{
    detach();
}

void HostCore::attach(fuse_session* session)
{
    notifier = std::make_unique<KernelNotifier>(session);
    try {
        extension->itemForIdentifier(FileProviderContainer::root,
                                     whileAlive([this](Result<FileProviderItemRef> item) {
                                         if (!item)
                                             return;
                                         replica.setRootItem(item.value());
                                         ReplicaDelta delta;
                                         delta.inodes.append(kRootInode);
                                         post(delta);
                                     }));
    } catch (...) {
        qCWarning(lcFuseHost) << "the extension failed to describe the root";
    }
}

void HostCore::detach()
{
    refresher.stop();
    requests.close(EIO);
    deadlines.stop();
    if (notifier)
        notifier->stop();
    thumbnails.stop();
    std::lock_guard lock(mutex);
    dirs.clear();
    kernelListings.clear();
    builtListings.clear();
}

int HostCore::thumbnailsWritten() const
{
    return thumbnails.writtenCount();
}

void HostCore::signalEnumerator(const FileProviderItemIdentifier& container)
{
    if (container == FileProviderContainer::workingSet)
        scheduler.signalAll();
    else
        scheduler.signal(container);
    // The server tells of changes once its thumbnails are made (a new upload's among them).
    thumbnails.retryHeldBack();
}

void HostCore::answerStaged(RequestId id, const StagedName& staged)
{
    if (staged.alias.isEmpty()) {
        const std::optional<StagedFile> file = staging.file(staged.ino);
        if (!file) {
            requests.fail(id, ENOENT);
            return;
        }
        const fuse_entry_param ep = entryParam(*file);
        requests.answer(id, [&](fuse_req_t req) { fuse_reply_entry(req, &ep); });
        return;
    }
    const std::optional<ReplicaEntry> e = replica.lookupEntry(staged.alias);
    if (!e) {
        requests.fail(id, ENOENT);
        return;
    }
    fuse_entry_param ep = entryParam(*e);
    ep.entry_timeout = 0;
    bool sent = false;
    requests.answer(id, [&](fuse_req_t req) { sent = fuse_reply_entry(req, &ep) == 0; });
    if (!sent)
        replica.forget(e->ino, 1);
}

void HostCore::answerMissing(RequestId id, bool cached)
{
    if (!cached) {
        requests.fail(id, ENOENT);
        return;
    }
    fuse_entry_param ep{};
    ep.ino = 0;
    ep.entry_timeout = negatives.kernelSeconds();
    requests.answer(id, [&](fuse_req_t req) { fuse_reply_entry(req, &ep); });
}

void HostCore::startRefresh(const FileProviderItemIdentifier& container)
{
    const ContainerRefresher::Completion done =
        whileAlive([this, container](Result<void> result, ReplicaDelta delta) {
            refreshed(container, result, delta);
        });
    try {
        refresher.refresh(container, done);
    } catch (...) {
        done(fileError(EIO, QStringLiteral("listing of ") + container), {});
    }
}

void HostCore::refreshed(const FileProviderItemIdentifier& container, const Result<void>& result,
                         const ReplicaDelta& delta)
{
    if (!result)
        qCInfo(lcFuseHost).noquote()
            << "listing of" << container << "failed:" << result.error().description;
    for (const FileProviderItemIdentifier& gone : delta.droppedContainers)
        scheduler.forget(gone);
    post(delta);
    scheduler.finished(container, result);
    if (result)
        seedThumbnails(container);
    releaseFreedMemorySoon();
}

void HostCore::releaseFreedMemorySoon()
{
#ifdef __GLIBC__
    // A listing decodes and drops far more than it keeps, on many threads; glibc keeps what
    // they freed in its arenas until asked, and a walk of a large library would otherwise
    // leave the daemon holding hundreds of megabytes it no longer uses.
    if (m_releaseQueued.exchange(true))
        return;
    deadlines.schedule(std::chrono::seconds(1), whileAlive([this] {
                           m_releaseQueued = false;
                           malloc_trim(0);
                       }));
#endif
}

void HostCore::seedThumbnails(const FileProviderItemIdentifier& container)
{
    if (const std::optional<ReplicaEntry> folder = replica.entry(container))
        thumbnails.seed(thumbnailCandidates(folder->ino));
}

QList<ThumbnailSeeder::Candidate> HostCore::thumbnailCandidates(fuse_ino_t folder) const
{
    QList<ThumbnailSeeder::Candidate> candidates;
    const std::optional<QList<ReplicaEntry>> children = replica.children(folder);
    if (!children)
        return candidates;
    for (const ReplicaEntry& child : *children)
        if (std::optional<ThumbnailSeeder::Candidate> c = thumbnailCandidate(child))
            candidates.append(std::move(*c));
    return candidates;
}

void HostCore::answerAfterThumbnails(fuse_ino_t folder, std::function<void()> answer)
{
    QList<ThumbnailSeeder::Candidate> candidates = thumbnailCandidates(folder);
    if (candidates.isEmpty()) {
        answer();
        return;
    }
    // Answered once: when the thumbnails are in, or when the wait ends without the rest.
    struct Once {
        std::atomic<bool> done{false};
        std::function<void()> answer;
        bool operator()()
        {
            if (done.exchange(true))
                return false;
            answer();
            return true;
        }
    };
    auto once = std::make_shared<Once>();
    once->answer = std::move(answer);
    const qsizetype count = candidates.size();
    QElapsedTimer waited;
    waited.start();
    const Deadlines::Id deadline = deadlines.schedule(thumbnailWait, [once, count] {
        if ((*once)())
            qCInfo(lcFuseHost) << "listing answered before all of its" << count << "thumbnails";
    });
    auto cancel = whileAlive([this, deadline] { deadlines.cancel(deadline); });
    thumbnails.seed(std::move(candidates), [once, cancel, count, waited] {
        if ((*once)())
            qCDebug(lcFuseHost) << "listing answered after its" << count << "thumbnails, in"
                                << waited.elapsed() << "ms";
        cancel();
    });
}

void HostCore::init(fuse_conn_info* conn)
{
    // Replies to reads are spliced from the cached file instead of copied through a buffer.
    // Moving pages is not asked for: it measured slower, and leaves the cached file's pages
    // scattered. Writes and reads already go in requests of libfuse's largest buffer (1 MiB
    // when the kernel allows as many pages), which is all the kernel takes.
    if (conn->capable & FUSE_CAP_SPLICE_WRITE)
        conn->want |= FUSE_CAP_SPLICE_WRITE;
    qCInfo(lcFuseHost) << "kernel protocol" << conn->proto_major << conn->proto_minor << "max_write"
                       << conn->max_write << "max_readahead" << conn->max_readahead;
}

void HostCore::lookup(RequestId id, fuse_ino_t parent, QByteArray name, pid_t pid)
{
    const std::optional<ReplicaEntry> folder = replica.entry(parent);
    if (!folder) {
        requests.fail(id, ENOENT);
        return;
    }
    if (!folder->isFolder) {
        requests.fail(id, ENOTDIR);
        return;
    }
    if (name.size() > kMaxDiskNameBytes) {
        requests.fail(id, ENAMETOOLONG);
        return;
    }
    if (const std::optional<StagedName> staged = staging.find(parent, name)) {
        answerStaged(id, *staged);
        return;
    }
    const FileProviderItemIdentifier container = folder->item.itemIdentifier;
    // A program dropping a batch looks up each name before it creates it: the months its own
    // earlier photos started are no reason to wait for a new listing, nor to start one.
    const bool writersOwnChange = scheduler.changedOnlyBy(container, pid);
    // A name the folder already shows is answered at once, as the kernel's cache of it would
    // be, while the refresh its use may start goes on: only a miss waits for the server. A
    // path through folders being refreshed would otherwise wait once per folder on the way.
    // The answer goes first: starting a refresh runs the enumerator on this thread.
    if (scheduler.isListed(container)) {
        if (const std::optional<ReplicaEntry> e = replica.child(parent, name, true)) {
            answerEntry(id, *e);
            if (!writersOwnChange)
                scheduler.use(container, [](Result<void>) {});
            return;
        }
    }
    auto answer = completionFor(id, [this, id, parent, name = std::move(name)](Result<void> ready) {
        if (!ready) {
            requests.fail(id, errnoForError(ready.error()));
            return;
        }
        std::optional<ReplicaEntry> e = replica.child(parent, name, true);
        if (!e) {
            // Noted before the second look, so that a name arriving after it is invalidated;
            // the kernel keeps the miss briefly, which spares a copy's repeated lookups of the
            // name it is about to create.
            const bool kept = negatives.note(parent, name);
            e = replica.child(parent, name, true);
            if (!e) {
                answerMissing(id, kept);
                return;
            }
        }
        answerEntry(id, *e);
    });
    if (writersOwnChange)
        answer(Result<void>::success());
    else
        whenCurrent(container, std::move(answer));
}

void HostCore::answerEntry(RequestId id, const ReplicaEntry& e)
{
    const fuse_entry_param ep = entryParam(e);
    bool sent = false;
    requests.answer(id, [&](fuse_req_t req) { sent = fuse_reply_entry(req, &ep) == 0; });
    // Not delivered: the kernel holds no reference to give back later.
    if (!sent)
        replica.forget(e.ino, 1);
}

void HostCore::forget(fuse_ino_t ino, quint64 count)
{
    if (ino != kRootInode)
        replica.forget(ino, count);
}

void HostCore::getattr(RequestId id, fuse_ino_t ino)
{
    // A photo being written over answers with the file that holds its new bytes.
    std::optional<StagedFile> file = staging.file(ino);
    if (!file)
        file = staging.fileOpenedAs(ino);
    if (file) {
        const struct stat st = statOf(*file);
        requests.answer(id, [&](fuse_req_t req) { fuse_reply_attr(req, &st, 0); });
        return;
    }
    const std::optional<ReplicaEntry> e = replica.entry(ino);
    if (!e) {
        requests.fail(id, ENOENT);
        return;
    }
    const struct stat st = statOf(*e);
    requests.answer(id, [&](fuse_req_t req) { fuse_reply_attr(req, &st, kernelCacheSeconds); });
}

void HostCore::opendir(RequestId id, fuse_ino_t ino, pid_t pid)
{
    const std::optional<ReplicaEntry> folder = replica.entry(ino);
    if (!folder) {
        requests.fail(id, ENOENT);
        return;
    }
    if (!folder->isFolder) {
        requests.fail(id, ENOTDIR);
        return;
    }
    const bool showsThumbnails =
        !thumbnailViewers.isEmpty() && pid > 0 && CallingProgram::of(pid).isAnyOf(thumbnailViewers);
    const fuse_ino_t parent = folder->parentIno ? folder->parentIno : ino;
    auto list = completionFor(id, [this, id, ino, parent, showsThumbnails](Result<void> ready) {
        if (!ready) {
            requests.fail(id, errnoForError(ready.error()));
            return;
        }
        const std::optional<Built> built = listingOf(ino, parent);
        if (!built) {
            // The folder went away while it was being listed.
            requests.fail(id, ENOENT);
            return;
        }
        const size_t digest = built->digest;
        quint64 fh = 0;
        bool unchanged = false;
        {
            std::lock_guard lock(mutex);
            fh = nextDir++;
            dirs.insert(fh, built->listing);
            const auto known = kernelListings.constFind(ino);
            unchanged = known != kernelListings.cend() && *known == digest;
        }
        auto answer = whileAlive([this, id, ino, fh, digest, unchanged] {
            fuse_file_info fi{};
            fi.fh = fh;
            // The kernel keeps the names it reads, and reads them again only when this open
            // says they changed: a look at an unchanged folder costs no readdir.
            fi.cache_readdir = 1;
            fi.keep_cache = unchanged;
            if (!requests.answer(id, [&](fuse_req_t req) { fuse_reply_open(req, &fi); })) {
                std::lock_guard lock(mutex);
                dirs.remove(fh);
                return;
            }
            // Recorded once answered, so that an open racing this one keeps nothing older.
            std::lock_guard lock(mutex);
            kernelListings.insert(ino, digest);
        });
        // It looks each photo's thumbnail up as soon as it has the names, and reads the photo
        // (downloading it) when there is none yet.
        if (showsThumbnails)
            answerAfterThumbnails(ino, std::move(answer));
        else
            answer();
    });
    whenCurrent(folder->item.itemIdentifier, std::move(list));
}

std::optional<HostState::Built> HostCore::listingOf(fuse_ino_t ino, fuse_ino_t parent)
{
    // Names of the staging area hide the replica's same names, as lookups do.
    const QList<StagedName> staged = staging.entriesIn(ino);
    if (staged.isEmpty()) {
        const quint64 now = replica.generation(); // never taken under `mutex`
        std::lock_guard lock(mutex);
        const auto it = builtListings.constFind(ino);
        if (it != builtListings.cend() && it->generation == now && it->parent == parent)
            return *it;
    }
    Built built;
    built.parent = parent;
    const std::optional<QList<ReplicaName>> children = replica.names(ino, &built.generation);
    if (!children)
        return std::nullopt;
    // A snapshot per open directory keeps offsets meaningful while the folder changes.
    auto listing = std::make_shared<QList<DirEntry>>();
    listing->reserve(children->size() + staged.size() + 2);
    listing->append({".", ino, S_IFDIR});
    listing->append({"..", parent, S_IFDIR});
    QSet<QByteArray> shadowed;
    for (const StagedName& n : staged)
        shadowed.insert(n.name);
    for (const ReplicaName& c : *children)
        if (!shadowed.contains(c.diskName))
            listing->append({c.diskName, c.ino, mode_t(c.isFolder ? S_IFDIR : S_IFREG)});
    for (const StagedName& n : staged)
        listing->append({n.name, n.ino, mode_t(n.isFolder ? S_IFDIR : S_IFREG)});
    built.digest = qHash(parent);
    for (const DirEntry& e : std::as_const(*listing))
        built.digest = qHashMulti(built.digest, e.name, e.ino, e.type);
    built.listing = std::move(listing);
    if (staged.isEmpty()) {
        std::lock_guard lock(mutex);
        // The few folders looked at lately; a walk of the drive passes through many more.
        if (builtListings.size() >= kBuiltListingsKept)
            builtListings.clear();
        builtListings.insert(ino, built);
    }
    return built;
}

void HostCore::readdir(RequestId id, fuse_ino_t ino, size_t size, off_t offset, quint64 fh)
{
    Q_UNUSED(ino);
    DirListing listing;
    {
        std::lock_guard lock(mutex);
        listing = dirs.value(fh);
    }
    if (!listing) {
        requests.fail(id, EBADF);
        return;
    }
    std::vector<char> buffer(size);
    requests.answer(id, [&](fuse_req_t req) {
        size_t used = 0;
        for (qsizetype i = qMax<off_t>(offset, 0); i < listing->size(); ++i) {
            const DirEntry& e = listing->at(i);
            struct stat st {};
            st.st_ino = e.ino;
            st.st_mode = e.type;
            const size_t needed = fuse_add_direntry(req, buffer.data() + used, size - used,
                                                    e.name.constData(), &st, off_t(i + 1));
            if (needed > size - used)
                break;
            used += needed;
        }
        fuse_reply_buf(req, buffer.data(), used);
    });
}

void HostCore::releasedir(RequestId id, quint64 fh)
{
    {
        std::lock_guard lock(mutex);
        dirs.remove(fh);
    }
    requests.succeed(id);
}

void HostCore::open(RequestId id, fuse_ino_t ino, int flags, pid_t pid)
{
    const bool writing = (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC);
    if (const std::optional<StagedFile> file = staging.file(ino)) {
        // Handed over and dropped here: reading goes to the item the extension made of it.
        if (!file->hasData && !writing && file->createdAs) {
            if (const std::optional<ReplicaEntry> made = replica.entry(*file->createdAs)) {
                open(id, fuse_ino_t(made->ino), flags, pid);
                return;
            }
        }
        const Result<quint64> fh = staging.open(ino, flags);
        if (!fh) {
            requests.fail(id, errnoForError(fh.error()));
            return;
        }
        fuse_file_info fi{};
        fi.fh = fh.value();
        if (!requests.answer(id, [&](fuse_req_t req) { fuse_reply_open(req, &fi); }))
            staging.release(fh.value());
        return;
    }
    // Items of the extension are never rewritten in place: a program that writes a photo over
    // (cp, an editor's "overwrite", or an edit of some of its bytes) writes a new file under its
    // name, which becomes the photo's new contents at close.
    if (writing) {
        openForOverwrite(id, ino, flags);
        return;
    }
    const std::optional<ReplicaEntry> e = replica.entry(ino);
    if (!e) {
        requests.fail(id, ENOENT);
        return;
    }
    if (e->isFolder) {
        requests.fail(id, EISDIR);
        return;
    }
    const QByteArray version = e->item.itemVersion.contentVersion();
    if (const std::optional<QString> path = contents.find(e->item.itemIdentifier, version)) {
        openCached({id, ino}, *path, version);
        return;
    }
    if (pid > 0 && thumbnailCandidate(*e) && CallingProgram::of(pid).isThumbnailer()) {
        openForThumbnailer(*e, {id, ino});
        return;
    }
    fetchAndOpen(*e, {id, ino});
}

void HostCore::openForThumbnailer(const ReplicaEntry& entry, OpenWaiter waiter)
{
    const std::optional<ThumbnailSeeder::Candidate> thumbnail = thumbnailCandidate(entry);
    if (!thumbnail) {
        fetchAndOpen(entry, waiter);
        return;
    }
    if (openThumbnail(waiter, *thumbnail))
        return;
    // Asked now unless already on its way; the original only when the server has none.
    auto settled = completionFor(waiter.id, [this, entry, waiter, thumbnail = *thumbnail] {
        if (openThumbnail(waiter, thumbnail))
            return;
        FileProviderRequest request;
        request.isSystemRequest = true;
        fetchAndOpen(entry, waiter, request);
    });
    thumbnails.seed({*thumbnail}, std::move(settled));
}

bool HostCore::openThumbnail(OpenWaiter waiter, const ThumbnailSeeder::Candidate& thumbnail)
{
    const QString path =
        FreedesktopThumbnail::pathFor(thumbnailRoot, QStringLiteral("large"), thumbnail.uri);
    if (!FreedesktopThumbnail::isValid(path, thumbnail.uri, thumbnail.mtime))
        return false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    fuse_file_info fi{};
    fi.fh = quint64(fd);
    // Shorter than the photo it stands for: reads end where it ends, and the kernel caches
    // none of it as the photo's pages.
    fi.direct_io = 1;
    qCDebug(lcFuseHost).noquote() << "a thumbnailer reads the thumbnail of" << thumbnail.identifier;
    if (!requests.answer(waiter.id, [&](fuse_req_t req) { fuse_reply_open(req, &fi); }))
        ::close(fd);
    return true;
}

void HostCore::openForOverwrite(RequestId id, fuse_ino_t ino, int flags, const QString& original)
{
    const std::optional<ReplicaEntry> e = replica.entry(ino);
    if (!e || e->isFolder || !e->parentIno || (flags & O_ACCMODE) == O_RDONLY ||
        !(e->item.capabilities & FileProviderItemCapability::allowsWriting)) {
        requests.fail(id, !e ? ENOENT : e->isFolder ? EISDIR : EPERM);
        return;
    }
    QString bytes = original;
    if (!(flags & O_TRUNC) && bytes.isEmpty()) {
        // Edited in place: the new file starts as a copy of the photo, downloaded if need be.
        const QByteArray version = e->item.itemVersion.contentVersion();
        if (const std::optional<QString> cached = contents.find(e->item.itemIdentifier, version)) {
            bytes = *cached;
        } else {
            fetchAndOpen(*e, {id, ino, flags});
            return;
        }
    }
    const Result<QPair<InodeNumber, quint64>> made = staging.createOver(
        e->parentIno, e->diskName, e->permissions, e->item.itemIdentifier, InodeNumber(ino), bytes);
    if (!made) {
        requests.fail(id, errnoForError(made.error()));
        return;
    }
    fuse_file_info fi{};
    fi.fh = made.value().second;
    fi.direct_io = 1;
    if (!requests.answer(id, [&](fuse_req_t req) { fuse_reply_open(req, &fi); })) {
        staging.release(fi.fh);
        staging.drop(e->parentIno, e->diskName);
        return;
    }
    // The name now leads to the file being written; the kernel asks again.
    ReplicaDelta delta;
    delta.entries.append({e->parentIno, e->diskName});
    delta.inodes.append(e->ino);
    post(delta);
}

void HostCore::fetchAndOpen(const ReplicaEntry& entry, OpenWaiter waiter,
                            const FileProviderRequest& request)
{
    const FileProviderItemIdentifier identifier = entry.item.itemIdentifier;
    {
        std::lock_guard lock(mutex);
        QList<OpenWaiter>& waiters = fetches[identifier];
        waiters.append(waiter);
        if (waiters.size() > 1)
            return; // joins the fetch in progress
    }
    qCDebug(lcFuseHost).noquote() << "fetching the contents of" << identifier;
    // Not whileAlive(): with the host gone, the delivered file still has to go.
    auto completion = [this, alive = weak_from_this(),
                       identifier](Result<FileProviderFetchedContents> result) {
        const std::shared_ptr<HostState> host = alive.lock();
        if (!host) {
            // The host is gone: the delivered file is ours to drop.
            if (result)
                QFile::remove(result.value().path);
            return;
        }
        fetched(identifier, std::move(result));
    };
    try {
        extension->fetchContents(identifier, entry.item.itemVersion, request, completion);
    } catch (...) {
        fetched(identifier, fileError(EIO, QStringLiteral("fetchContents")));
    }
}

void HostCore::fetched(const FileProviderItemIdentifier& identifier,
                       Result<FileProviderFetchedContents> result)
{
    QList<OpenWaiter> waiters;
    {
        std::lock_guard lock(mutex);
        waiters = fetches.take(identifier);
    }
    if (!result) {
        const int error = errnoForError(result.error());
        qCInfo(lcFuseHost).noquote()
            << "contents of" << identifier << "not delivered:" << result.error().description;
        for (const OpenWaiter& w : std::as_const(waiters))
            requests.fail(w.id, error);
        return;
    }
    const FileProviderFetchedContents& delivered = result.value();
    const QByteArray version =
        delivered.item ? delivered.item->itemVersion().contentVersion() : QByteArray();
    if (delivered.item)
        post(replica.updateItem(delivered.item));
    if (delivered.path.isEmpty()) {
        for (const OpenWaiter& w : std::as_const(waiters))
            requests.fail(w.id, EIO);
        return;
    }
    // Taken over before this completion returns, as the extension expects.
    const Result<QString> stored = contents.adopt(identifier, version, delivered.path);
    if (!stored) {
        const int error = errnoForError(stored.error());
        for (const OpenWaiter& w : std::as_const(waiters))
            requests.fail(w.id, error);
        return;
    }
    qCDebug(lcFuseHost).noquote() << "contents of" << identifier << "stored";
    for (const OpenWaiter& w : std::as_const(waiters)) {
        if (w.writeFlags)
            openForOverwrite(w.id, w.ino, w.writeFlags, stored.value());
        else
            openCached(w, stored.value(), version);
    }
    // Without a version the file cannot be found again: the open descriptors keep it.
    if (version.isEmpty())
        QFile::remove(stored.value());
}

void HostCore::openCached(OpenWaiter waiter, const QString& path, const QByteArray& contentVersion)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        requests.fail(waiter.id, errno);
        return;
    }
    struct stat st {};
    bool sizeChanged = false;
    if (::fstat(fd, &st) == 0) {
        const ReplicaDelta delta = replica.setDocumentSize(waiter.ino, st.st_size);
        sizeChanged = !delta.isEmpty();
        post(delta);
    }
    fuse_file_info fi{};
    fi.fh = quint64(fd);
    fi.keep_cache = !contentVersion.isEmpty() && replica.noteOpened(waiter.ino, contentVersion);
    // The kernel still believes the old size: reads must not stop at it.
    fi.direct_io = sizeChanged;
    const bool sent =
        requests.answer(waiter.id, [&](fuse_req_t req) { fuse_reply_open(req, &fi); });
    if (!sent)
        ::close(fd);
}

void HostCore::read(RequestId id, size_t size, off_t offset, quint64 fh)
{
    if (fh & kStagedHandleBit) {
        std::vector<char> buffer(size);
        const Result<size_t> got = staging.read(fh, buffer.data(), size, offset);
        if (!got)
            requests.fail(id, errnoForError(got.error()));
        else
            requests.answer(
                id, [&](fuse_req_t req) { fuse_reply_buf(req, buffer.data(), got.value()); });
        return;
    }
    // libfuse reads the range itself (a short read at the end of the file) and splices it
    // into the kernel when it can.
    fuse_bufvec data = FUSE_BUFVEC_INIT(size);
    data.buf[0].flags = fuse_buf_flags(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK | FUSE_BUF_FD_RETRY);
    data.buf[0].fd = int(fh);
    data.buf[0].pos = offset;
    requests.answer(id,
                    [&](fuse_req_t req) { fuse_reply_data(req, &data, fuse_buf_copy_flags(0)); });
}

void HostCore::release(RequestId id, quint64 fh)
{
    if (!(fh & kStagedHandleBit)) {
        ::close(int(fh));
        requests.succeed(id);
        return;
    }
    const std::optional<QPair<InodeNumber, QByteArray>> freed = staging.release(fh);
    requests.succeed(id);
    if (freed) {
        // Closed unchanged: the name leads to the photo again.
        ReplicaDelta delta;
        delta.entries.append(*freed);
        post(delta);
    }
}

void HostCore::statfs(RequestId id)
{
    struct statvfs st {};
    st.f_bsize = 4096;
    st.f_frsize = 4096;
    st.f_namemax = kMaxDiskNameBytes;
    // Photos are no inodes of any disk: programs that check for free inodes find plenty.
    constexpr fsfilcnt_t kFreeInodes = 1'000'000'000;
    st.f_files = fsfilcnt_t(replica.nodeCount()) + kFreeInodes;
    st.f_ffree = st.f_favail = kFreeInodes;
    // Written files wait in the staging folder: its free space is what a copy can use.
    struct statvfs local {};
    if (::statvfs(QFile::encodeName(staging.directory()).constData(), &local) == 0 &&
        local.f_frsize > 0) {
        const auto blocks = [&](fsblkcnt_t n) {
            return fsblkcnt_t(double(n) * double(local.f_frsize) / double(st.f_frsize));
        };
        st.f_blocks = blocks(local.f_blocks);
        st.f_bfree = blocks(local.f_bfree);
        st.f_bavail = blocks(local.f_bavail);
    }
    // The server's disk is the drive's size; a copy can use no more than both have free.
    std::optional<FileProviderReplicatedExtension::VolumeSpace> server;
    try {
        server = extension->volumeSpace();
    } catch (...) {
    }
    if (server && server->size > 0) {
        const auto blocks = [&](qint64 bytes) { return fsblkcnt_t(qMax<qint64>(bytes, 0) / 4096); };
        const bool knowsLocal = st.f_blocks > 0;
        st.f_blocks = blocks(server->size);
        st.f_bfree = qMin(st.f_blocks, blocks(server->available));
        st.f_bavail = knowsLocal ? qMin(st.f_bavail, st.f_bfree) : st.f_bfree;
    }
    requests.answer(id, [&](fuse_req_t req) { fuse_reply_statfs(req, &st); });
}

void HostCore::refuseChange(RequestId id)
{
    requests.fail(id, EPERM);
}

} // namespace pixavella
