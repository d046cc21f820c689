#pragma once

#include "HostState.h"
#include "HostWrites.h"

#include <atomic>

namespace pixavella {

struct FuseHostOptions;

// The file system behind the mount: answers the FUSE low-level requests from the replica and
// the extension. Every request goes through `requests` so that it is answered exactly once,
// from whichever thread finishes the work. This class is the read side (names, attributes,
// listings, contents, thumbnails, refreshes) and the mount's life; writes() is the write side.
class HostCore : public HostState {
public:
    HostCore(std::shared_ptr<FileProviderReplicatedExtension> extension,
             const FuseHostOptions& options);
    ~HostCore();

    // Between the session's creation and its destruction.
    void attach(fuse_session* session);
    // Answers every open request, stops the helpers; no call reaches the session afterwards.
    void detach();

    // Marks `container` changed (the working set: every listed one). From any thread; one used
    // lately is listed again at once, its enumerator asked on the calling thread.
    void signalEnumerator(const FileProviderItemIdentifier& container);
    int thumbnailsWritten() const;

    // Creations, changes and removals.
    HostWrites& writes() { return m_writes; }

    // Low-level operations; each answers its request (or leaves it to a completion).
    void init(fuse_conn_info* conn);
    // `pid`: the calling thread, 0 when unknown.
    void lookup(RequestId id, fuse_ino_t parent, QByteArray name, pid_t pid = 0);
    void forget(fuse_ino_t ino, quint64 count);
    void getattr(RequestId id, fuse_ino_t ino);
    // `pid` is the calling thread: a program that shows thumbnails is answered once they are in
    // the cache (or after a bounded wait).
    void opendir(RequestId id, fuse_ino_t ino, pid_t pid);
    void readdir(RequestId id, fuse_ino_t ino, size_t size, off_t offset, quint64 fh);
    void releasedir(RequestId id, quint64 fh);
    // A thumbnailer (`pid`) reading a photo reads its thumbnail, once on its way, rather than
    // have the original downloaded. Opened to write, a photo is written over in the staging
    // area, never in place.
    void open(RequestId id, fuse_ino_t ino, int flags, pid_t pid = 0);
    void read(RequestId id, size_t size, off_t offset, quint64 fh);
    void release(RequestId id, quint64 fh);
    void statfs(RequestId id);
    // Links, symbolic links and special files have no place on the drive.
    void refuseChange(RequestId id);

private:
    // Answers a lookup with a name of the staging area (the kernel then holds the node).
    void answerStaged(RequestId id, const StagedName& staged);
    // The names `ino` shows now; nothing when it is not a listed folder.
    std::optional<Built> listingOf(fuse_ino_t ino, fuse_ino_t parent);
    // Answers a lookup with a replica entry, which the kernel then holds.
    void answerEntry(RequestId id, const ReplicaEntry& entry);
    // ENOENT, or with `cached` a miss the kernel keeps for a moment.
    void answerMissing(RequestId id, bool cached);
    void startRefresh(const FileProviderItemIdentifier& container);
    void refreshed(const FileProviderItemIdentifier& container, const Result<void>& result,
                   const ReplicaDelta& delta);
    void seedThumbnails(const FileProviderItemIdentifier& container);
    // Hands memory freed by listings back to the system, a moment after the last of a burst.
    void releaseFreedMemorySoon();
    QList<ThumbnailSeeder::Candidate> thumbnailCandidates(fuse_ino_t folder) const;
    // Answers a listing once the thumbnails of its photos are in the cache, or at the wait's end.
    void answerAfterThumbnails(fuse_ino_t folder, std::function<void()> answer);
    void openForThumbnailer(const ReplicaEntry& entry, OpenWaiter waiter);
    // The cached large thumbnail of an item, served instead of its contents.
    bool openThumbnail(OpenWaiter waiter, const ThumbnailSeeder::Candidate& thumbnail);
    // `original`: the photo's bytes, for a program that edits them in place (no O_TRUNC).
    void openForOverwrite(RequestId id, fuse_ino_t ino, int flags,
                          const QString& original = QString());
    void fetchAndOpen(const ReplicaEntry& entry, OpenWaiter waiter,
                      const FileProviderRequest& request = {});
    void fetched(const FileProviderItemIdentifier& identifier,
                 Result<FileProviderFetchedContents> result);
    void openCached(OpenWaiter waiter, const QString& path, const QByteArray& contentVersion);

    HostWrites m_writes{*this};
    std::atomic<bool> m_releaseQueued{false};
};

// The low-level operation table; its user data is the HostCore. Each entry copies the
// request's arguments and hands them to the core; no exception leaves an entry.
const fuse_lowlevel_ops& fuseHostOperations();

} // namespace pixavella
