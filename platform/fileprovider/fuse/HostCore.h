#pragma once

#include "ContainerRefresher.h"
#include "ContentCache.h"
#include "Deadlines.h"
#include "FileProviderReplicatedExtension.h"
#include "FuseApi.h"
#include "KernelNotifier.h"
#include "NegativeEntries.h"
#include "PendingRequests.h"
#include "RefreshScheduler.h"
#include "Replica.h"
#include "StagingArea.h"
#include "ThumbnailSeeder.h"
#include "TrashFolder.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <sys/stat.h>

namespace pixavella {

struct FuseHostOptions;

// The file system behind the mount: answers the FUSE low-level requests from the replica and
// the extension. Every request goes through `m_requests` so that it is answered exactly once,
// from whichever thread finishes the work.
class HostCore : public std::enable_shared_from_this<HostCore> {
public:
    using RequestId = PendingRequests::Id;

    HostCore(std::shared_ptr<FileProviderReplicatedExtension> extension,
             const FuseHostOptions& options);
    ~HostCore();

    // Between the session's creation and its destruction.
    void attach(fuse_session* session);
    // Answers every open request, stops the helpers; no call reaches the session afterwards.
    void detach();

    void signalEnumerator(const FileProviderItemIdentifier& container);
    Replica& replica() { return m_replica; }
    PendingRequests& requests() { return m_requests; }
    int thumbnailsWritten() const;

    // Low-level operations; each answers its request (or leaves it to a completion).
    void init(fuse_conn_info* conn);
    void lookup(RequestId id, fuse_ino_t parent, QByteArray name);
    void forget(fuse_ino_t ino, quint64 count);
    void getattr(RequestId id, fuse_ino_t ino);
    // `pid` is the calling thread: a program that shows thumbnails is answered once they are in
    // the cache (or after a bounded wait).
    void opendir(RequestId id, fuse_ino_t ino, pid_t pid);
    void readdir(RequestId id, fuse_ino_t ino, size_t size, off_t offset, quint64 fh);
    void releasedir(RequestId id, quint64 fh);
    // A thumbnailer (`pid`) reading a photo reads its thumbnail, once on its way, rather than
    // have the original downloaded.
    void open(RequestId id, fuse_ino_t ino, int flags, pid_t pid = 0);
    void read(RequestId id, size_t size, off_t offset, quint64 fh);
    void release(RequestId id, quint64 fh);
    void statfs(RequestId id);
    // Links, symbolic links and special files have no place on the drive.
    void refuseChange(RequestId id);

    // The write side (WriteOperations.cpp): new files are staged locally and handed to the
    // extension's createItem when closed; folders, renames and removals go to the extension.
    void create(RequestId id, fuse_ino_t parent, QByteArray name, mode_t mode);
    void write(RequestId id, quint64 fh, const char* data, size_t size, off_t offset);
    // `pid` is the process closing the file (the request's caller).
    void flush(RequestId id, quint64 fh, pid_t pid);
    void fsync(RequestId id, quint64 fh);
    // `fh` is 0 when the attributes are set by path.
    void setattr(RequestId id, fuse_ino_t ino, const struct stat& attr, int toSet, quint64 fh);
    void mkdir(RequestId id, fuse_ino_t parent, QByteArray name);
    void remove(RequestId id, fuse_ino_t parent, QByteArray name, bool folder);
    void rename(RequestId id, fuse_ino_t parent, QByteArray name, fuse_ino_t newParent,
                QByteArray newName, unsigned flags);

private:
    struct DirEntry {
        QByteArray name;
        fuse_ino_t ino;
        mode_t type;
    };
    using DirListing = std::shared_ptr<const QList<DirEntry>>;
    struct OpenWaiter {
        RequestId id;
        fuse_ino_t ino;
        int writeFlags = 0; // opened to edit the photo in place: its bytes are copied first
    };

    struct stat statOf(const ReplicaEntry& entry) const;
    struct stat statOf(const StagedFile& file) const;
    fuse_entry_param entryParam(const ReplicaEntry& entry) const;
    // A name the staging area answers for: never cached by the kernel, so it can expire.
    fuse_entry_param entryParam(const StagedFile& file) const;
    // Answers a lookup with a name of the staging area (the kernel then holds the node).
    void answerStaged(RequestId id, const StagedName& staged);
    // ENOENT, or with `cached` a miss the kernel keeps for a moment.
    void answerMissing(RequestId id, bool cached);
    // Runs `ready` once `container` may be read from the replica (listing it when needed).
    void whenCurrent(const FileProviderItemIdentifier& container,
                     std::function<void(Result<void>)> ready);
    void startRefresh(const FileProviderItemIdentifier& container);
    void refreshed(const FileProviderItemIdentifier& container, const Result<void>& result,
                   const ReplicaDelta& delta);
    void post(const ReplicaDelta& delta);
    void seedThumbnails(const FileProviderItemIdentifier& container);
    // Hands memory freed by listings back to the system, a moment after the last of a burst.
    void releaseFreedMemorySoon();
    // The thumbnail the seeder would write for a photo or a video; nothing for other items.
    std::optional<ThumbnailSeeder::Candidate> thumbnailCandidate(const ReplicaEntry& entry) const;
    QList<ThumbnailSeeder::Candidate> thumbnailCandidates(fuse_ino_t folder) const;
    // Answers a listing once the thumbnails of its photos are in the cache, or at the wait's end.
    void answerAfterThumbnails(fuse_ino_t folder, std::function<void()> answer);
    void openForThumbnailer(const ReplicaEntry& entry, OpenWaiter waiter);
    // The cached large thumbnail of an item, served instead of its contents.
    bool openThumbnail(OpenWaiter waiter, const ThumbnailSeeder::Candidate& thumbnail);
    void fetchAndOpen(const ReplicaEntry& entry, OpenWaiter waiter,
                      const FileProviderRequest& request = {});
    void fetched(const FileProviderItemIdentifier& identifier,
                 Result<FileProviderFetchedContents> result);
    void openCached(OpenWaiter waiter, const QString& path, const QByteArray& contentVersion);
    // Runs `work`; an exception becomes an EIO (or ENOMEM) answer of the request, never a crash.
    template <typename F> void guarded(RequestId id, F&& work);
    // A completion that runs `work` with its arguments only while the host exists: the
    // extension and the helpers may answer after the mount is gone.
    template <typename F> auto whileAlive(F work);
    // A completion of request `id`: `work` runs while the host exists, under guarded().
    template <typename F> auto completionFor(RequestId id, F work);

    struct RenameSource {
        FileProviderItemIdentifier identifier;
        FileProviderItemProperties before;
        InodeNumber localFile = 0; // the staged name that stood for the item, if any
        bool viaAlias = false;
    };
    // 0 when a new file named `name` may be written in `folder`, else the errno that refuses it.
    int creationRefusal(const ReplicaEntry& folder, const QByteArray& name);
    void startCreation(const StagedHandOver& handOver);
    // `original`: the photo's bytes, for a program that edits them in place (no O_TRUNC).
    void openForOverwrite(RequestId id, fuse_ino_t ino, int flags,
                          const QString& original = QString());
    void creationAnswered(const StagedHandOver& handOver, Result<FileProviderItemChange> result);
    void startReplacement(const StagedHandOver& handOver, const ReplicaEntry& replaced);
    // A modification time set on a file already handed over reaches the item it became.
    void redateCreated(const FileProviderItemIdentifier& identifier, const timespec& mtime);
    void folderCreated(RequestId id, fuse_ino_t parent, const QByteArray& name,
                       Result<FileProviderItemChange> result);
    void deleteNamed(RequestId id, fuse_ino_t parent, const QByteArray& name,
                     const ReplicaEntry& entry);
    void modifyForRename(RequestId id, fuse_ino_t parent, const QByteArray& name,
                         const ReplicaEntry& newFolder, const QByteArray& newName,
                         RenameSource source);
    void renameAnswered(RequestId id, fuse_ino_t parent, const QByteArray& name,
                        fuse_ino_t newParent, const QByteArray& newName, const RenameSource& source,
                        Result<FileProviderItemChange> result);

    std::shared_ptr<FileProviderReplicatedExtension> m_extension;
    const QString m_mountPoint;
    const QString m_thumbnailRoot;
    const uid_t m_uid;
    const gid_t m_gid;
    const QDateTime m_mountTime;
    const double m_timeout;
    const std::chrono::milliseconds m_listedWait;
    const std::chrono::milliseconds m_unlistedWait;
    const QStringList m_thumbnailViewers;
    const std::chrono::milliseconds m_thumbnailWait;

    Replica m_replica;
    StagingArea m_staging;
    PendingRequests m_requests;
    Deadlines m_deadlines;
    ContentCache m_contents;
    NegativeEntries m_negatives;
    ContainerRefresher m_refresher;
    RefreshScheduler m_scheduler;
    ThumbnailSeeder m_thumbnails;
    std::unique_ptr<KernelNotifier> m_notifier; // set while attached
    std::atomic<bool> m_releaseQueued{false};

    // Guards m_dirs, m_nextDir, m_fetches and m_unlistedParents.
    std::mutex m_mutex;
    // Folders not listed yet that new files were filed in: the folders above them were asked
    // to list again once, not once per file of a batch.
    QSet<FileProviderItemIdentifier> m_unlistedParents;
    QHash<quint64, DirListing> m_dirs;
    quint64 m_nextDir = 1;
    // Opens waiting for one fetch of an item's contents.
    QHash<FileProviderItemIdentifier, QList<OpenWaiter>> m_fetches;
};

template <typename F> void HostCore::guarded(RequestId id, F&& work)
{
    try {
        work();
    } catch (const std::bad_alloc&) {
        m_requests.fail(id, ENOMEM);
    } catch (...) {
        m_requests.fail(id, EIO);
    }
}

template <typename F> auto HostCore::whileAlive(F work)
{
    return [alive = weak_from_this(), work = std::move(work)](auto&&... args) {
        if (const std::shared_ptr<HostCore> host = alive.lock())
            work(std::forward<decltype(args)>(args)...);
    };
}

template <typename F> auto HostCore::completionFor(RequestId id, F work)
{
    return whileAlive([this, id, work = std::move(work)](auto&&... args) {
        guarded(id, [&] { work(std::forward<decltype(args)>(args)...); });
    });
}

} // namespace pixavella
