#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

namespace pixavella {

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
    // How long the kernel keeps a name it was told is missing. A name that then arrives is
    // invalidated, so this only bounds what an arrival the host does not see could hide.
    double missingCacheSeconds = 1.0;
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

} // namespace pixavella
