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

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <sys/stat.h>

namespace pixavella {

struct FuseHostOptions;

// What the two sides of the file system share: the replica, the staging area, the open
// requests and the helpers that answer them from either. HostCore (the read side and the
// mount's life) is this state; HostWrites, the write side, works on the same one and lives as
// long. The extension and the helpers call back from any thread, possibly after the mount is
// gone: every completion goes through whileAlive() or completionFor().
class HostState : public std::enable_shared_from_this<HostState> {
public:
    using RequestId = PendingRequests::Id;

    struct DirEntry {
        QByteArray name;
        fuse_ino_t ino;
        mode_t type;
    };
    using DirListing = std::shared_ptr<const QList<DirEntry>>;
    // A folder's listing as built at one generation of the replica, and its digest.
    struct Built {
        DirListing listing;
        size_t digest = 0;
        quint64 generation = 0;
        fuse_ino_t parent = 0;
    };
    struct OpenWaiter {
        RequestId id;
        fuse_ino_t ino;
        int writeFlags = 0; // opened to edit the photo in place: its bytes are copied first
    };

    // `startRefresh` lists a container again; the scheduler calls it when one is due.
    HostState(std::shared_ptr<FileProviderReplicatedExtension> served,
              const FuseHostOptions& options, RefreshScheduler::StartRefresh startRefresh);
    HostState(const HostState&) = delete;
    HostState& operator=(const HostState&) = delete;

    struct stat statOf(const ReplicaEntry& entry) const;
    struct stat statOf(const StagedFile& file) const;
    fuse_entry_param entryParam(const ReplicaEntry& entry) const;
    // A name the staging area answers for: never cached by the kernel, so it can expire; its
    // attributes are, for kStagedAttributeSeconds.
    fuse_entry_param entryParam(const StagedFile& file) const;
    static constexpr double kStagedAttributeSeconds = 1.0;
    // Tells the kernel what changed (from the notifier's thread), once attached.
    void post(const ReplicaDelta& delta);
    // Runs `ready` once `container` may be read from the replica (listing it when needed).
    void whenCurrent(const FileProviderItemIdentifier& container,
                     std::function<void(Result<void>)> ready);
    // The thumbnail the seeder would write for a photo or a video; nothing for other items.
    std::optional<ThumbnailSeeder::Candidate> thumbnailCandidate(const ReplicaEntry& entry) const;

    // Runs `work`; an exception becomes an EIO (or ENOMEM) answer of the request, never a crash.
    template <typename F> void guarded(RequestId id, F&& work);
    // A completion that runs `work` with its arguments only while the host exists.
    template <typename F> auto whileAlive(F work);
    // A completion of request `id`: `work` runs while the host exists, under guarded().
    template <typename F> auto completionFor(RequestId id, F work);

    const std::shared_ptr<FileProviderReplicatedExtension> extension;
    const QString mountPoint;
    const QString thumbnailRoot;
    const uid_t uid;
    const gid_t gid;
    const QDateTime mountTime;
    // How long the kernel keeps the replica's names and attributes.
    const double kernelCacheSeconds;
    const std::chrono::milliseconds listedWait;
    const std::chrono::milliseconds unlistedWait;
    const QStringList thumbnailViewers;
    const std::chrono::milliseconds thumbnailWait;

    // Lock order, outermost first; a lock is only taken while holding those before it:
    //   ContainerRefresher's apply lock (a listing whose time runs out answers the requests
    //   waiting on it under it) → its Lifetime (shared) → StagingArea's → Replica's;
    //   the apply lock → PendingRequests' gate → PendingRequests' mutex (a reply is sent
    //   under the gate alone);
    //   ThumbnailSeeder's → its retries' Deadlines; the Lifetime → Deadlines'.
    // Nothing is taken under `mutex` below, NegativeEntries', RefreshScheduler's, Deadlines',
    // KernelNotifier's or ContentCache's. None is held while the extension is called or a
    // completion runs, but the apply lock.
    Replica replica;
    StagingArea staging;
    PendingRequests requests;
    Deadlines deadlines;
    ContentCache contents;
    NegativeEntries negatives;
    ContainerRefresher refresher;
    RefreshScheduler scheduler;
    ThumbnailSeeder thumbnails;
    std::unique_ptr<KernelNotifier> notifier; // set while attached

    // Guards dirs, nextDir, kernelListings, builtListings, fetches and unlistedParents; held
    // only to read or change them.
    std::mutex mutex;
    // Open directories: a snapshot each, so offsets stay meaningful while the folder changes.
    QHash<quint64, DirListing> dirs;
    quint64 nextDir = 1;
    // A digest of the listing each folder was last opened with: the kernel keeps a listing
    // and reads it again only when it changed.
    QHash<fuse_ino_t, size_t> kernelListings;
    // The listings built lately, used again while the replica has not changed.
    QHash<fuse_ino_t, Built> builtListings;
    static constexpr qsizetype kBuiltListingsKept = 32;
    // Opens waiting for one fetch of an item's contents.
    QHash<FileProviderItemIdentifier, QList<OpenWaiter>> fetches;
    // Folders not listed yet that new files were filed in: the folders above them were asked
    // to list again once, not once per file of a batch.
    QSet<FileProviderItemIdentifier> unlistedParents;
};

template <typename F> void HostState::guarded(RequestId id, F&& work)
{
    try {
        work();
    } catch (const std::bad_alloc&) {
        requests.fail(id, ENOMEM);
    } catch (...) {
        requests.fail(id, EIO);
    }
}

template <typename F> auto HostState::whileAlive(F work)
{
    return [alive = weak_from_this(), work = std::move(work)](auto&&... args) {
        if (const std::shared_ptr<HostState> host = alive.lock())
            work(std::forward<decltype(args)>(args)...);
    };
}

template <typename F> auto HostState::completionFor(RequestId id, F work)
{
    return whileAlive([this, id, work = std::move(work)](auto&&... args) {
        guarded(id, [&] { work(std::forward<decltype(args)>(args)...); });
    });
}

} // namespace pixavella
