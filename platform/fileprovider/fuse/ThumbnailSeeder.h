#pragma once

#include "Deadlines.h"
#include "FileProviderReplicatedExtension.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QThreadPool>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace pixavella {

// Fills the freedesktop thumbnail cache for listed photos and videos: a few fetchThumbnails
// calls at a time, images decoded and written on a small pool of its own. Items that already
// have a valid thumbnail are skipped. A photo the server has no thumbnail for yet is asked
// again later, less and less often, without holding the others back.
class ThumbnailSeeder {
public:
    struct Candidate {
        FileProviderItemIdentifier identifier;
        QByteArray uri; // file URI of the item as the mount shows it
        qint64 mtime = 0;
        // The item's versions: a thumbnail held back is asked again at once when they change.
        QByteArray version;
    };

    struct Options {
        int concurrentRequests = 3;
        int batchSize = 16;
        // Thumbnails asked for in the background (not waited for) that are kept queued: past
        // this, those of the folders listed first are let go. A walk of the whole drive
        // (`find`, a backup) then costs the server and the memory a few folders' worth, not
        // the library's; the folder looked at last is always among those kept.
        int maxQueued = 1024;
        // Waits before asking again for a thumbnail answered as not made yet: one per answer,
        // the last repeated for as long as the item exists.
        QList<std::chrono::milliseconds> retryDelays{
            std::chrono::seconds(15), std::chrono::minutes(1), std::chrono::minutes(5),
            std::chrono::hours(1)};
    };

    // The item as it is now, for a retry; nothing once it is gone. Called without the
    // seeder's lock held.
    using Lookup = std::function<std::optional<Candidate>(const FileProviderItemIdentifier&)>;

    ThumbnailSeeder(std::shared_ptr<FileProviderReplicatedExtension> extension,
                    QString thumbnailRoot, Options options, Lookup lookup);
    ~ThumbnailSeeder();
    ThumbnailSeeder(const ThumbnailSeeder&) = delete;
    ThumbnailSeeder& operator=(const ThumbnailSeeder&) = delete;

    // Asks for the thumbnails of `candidates` the cache lacks. With `settled`, they go ahead
    // of those queued before, and `settled` runs once (from another thread) when each of them
    // is written, has failed or is held back; also when the seeder stops.
    void seed(QList<Candidate> candidates, std::function<void()> settled = {});
    // Asks at once for every thumbnail held back (the server told of a change).
    void retryHeldBack();
    // Stops asking and waits for writes in progress; late answers of the extension are dropped.
    void stop();

    // Thumbnails written so far (for tests and logs).
    int writtenCount() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
    QThreadPool m_pool;
    Deadlines m_retries;
};

} // namespace pixavella
