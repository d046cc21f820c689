#pragma once

#include "FileProviderReplicatedExtension.h"
#include "Result.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

namespace pixavella {

class HostCore;
class FuseSession;

struct FuseHostOptions {
    QString mountPoint;
    // The domain's cache folder; materialised contents go to its "contents" folder, files
    // being written to its "staging" folder.
    QString cacheDirectory;
    // $XDG_CACHE_HOME/thumbnails
    QString thumbnailDirectory;
    // The host's own limit on a listing the extension never finishes.
    std::chrono::milliseconds enumerationTimeout{std::chrono::minutes(2)};
    // How long a request waits for a folder's refresh before it is answered anyway: from the
    // folder as it was last listed, or (never listed) with ETIMEDOUT. The refresh goes on.
    std::chrono::milliseconds listedWait{std::chrono::seconds(4)};
    std::chrono::milliseconds unlistedWait{std::chrono::seconds(20)};
    // A signalled container used within this time refreshes at once, otherwise at next use.
    qint64 recentUseSeconds = 60;
    // Attribute and name cache time of the kernel; changes invalidate them anyway.
    double kernelCacheSeconds = 60.0;
    int thumbnailRequests = 3;
    // Programs that show thumbnails of what they list (executable or process names): their
    // listing of a folder waits, up to thumbnailWait, for its thumbnails to be in the cache,
    // so that they find them instead of reading (downloading) every photo.
    QStringList thumbnailViewers{QStringLiteral("nautilus"),
                                 QStringLiteral("nemo"),
                                 QStringLiteral("caja"),
                                 QStringLiteral("thunar"),
                                 QStringLiteral("Thunar"),
                                 QStringLiteral("dolphin"),
                                 QStringLiteral("pcmanfm"),
                                 QStringLiteral("pcmanfm-qt"),
                                 QStringLiteral("spacefm"),
                                 QStringLiteral("konqueror"),
                                 QStringLiteral("io.elementary.files"),
                                 QStringLiteral("gthumb"),
                                 QStringLiteral("eog"),
                                 QStringLiteral("loupe"),
                                 QStringLiteral("gwenview"),
                                 QStringLiteral("shotwell"),
                                 QStringLiteral("xdg-desktop-portal-gnome"),
                                 QStringLiteral("xdg-desktop-portal-gtk"),
                                 QStringLiteral("xdg-desktop-portal-kde")};
    std::chrono::milliseconds thumbnailWait{std::chrono::seconds(3)};
    // Asking again for a thumbnail the server has not made yet; empty: the seeder's own.
    QList<std::chrono::milliseconds> thumbnailRetryDelays;
    // How long the name where something was dropped keeps resolving after the extension filed
    // it elsewhere (or made nothing of it).
    double dropGraceSeconds = 30.0;
    bool debug = false;

    // The product's paths: the domain's mount point, cache and the user's thumbnail cache.
    static FuseHostOptions defaults();
};

// Serves a replicated extension as a FUSE file system: mounts it with the low-level API and
// answers requests on libfuse's multi-threaded loop, asynchronously from the extension's
// completions. The control calls may come from any thread.
class FuseHost {
public:
    FuseHost(std::shared_ptr<FileProviderReplicatedExtension> extension, FuseHostOptions options);
    // Unmounts.
    ~FuseHost();
    FuseHost(const FuseHost&) = delete;
    FuseHost& operator=(const FuseHost&) = delete;

    // Cleans a stale mount left by a crash ("Transport endpoint is not connected") first.
    Result<void> mount();
    // Detaches the mount, waits for the loop to end and answers whatever is still open.
    void unmount();
    bool isMounted() const;

    // Marks a container changed; the working-set container marks every listed container.
    void signalEnumerator(const FileProviderItemIdentifier& container);

    // Called once, from the loop's thread, when the mount ends without unmount() (someone ran
    // fusermount3 -u); the owner should then call unmount() to release the session.
    void setEndedHandler(std::function<void()> handler);

    const FuseHostOptions& options() const { return m_options; }
    int thumbnailsWritten() const;

private:
    std::shared_ptr<FileProviderReplicatedExtension> m_extension;
    const FuseHostOptions m_options;
    // Serialises mount() and unmount(); taken before m_mutex.
    std::mutex m_control;
    // Guards the three fields below.
    mutable std::mutex m_mutex;
    std::shared_ptr<HostCore> m_core;
    std::shared_ptr<FuseSession> m_session;
    std::function<void()> m_endedHandler;
};

} // namespace pixavella
