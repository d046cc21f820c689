#pragma once

#include "FileProviderReplicatedExtension.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QThreadPool>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

namespace pixavella {

// Fills the freedesktop thumbnail cache for listed photos and videos in the background: a few
// fetchThumbnails calls at a time, images decoded and written on a small pool of its own, so a
// listing never waits for it. Items that already have a valid thumbnail are skipped.
class ThumbnailSeeder {
public:
    struct Candidate {
        FileProviderItemIdentifier identifier;
        QByteArray uri; // file URI of the item as the mount shows it
        qint64 mtime = 0;
    };

    ThumbnailSeeder(std::shared_ptr<FileProviderReplicatedExtension> extension,
                    QString thumbnailRoot, int concurrentRequests = 3, int batchSize = 16);
    ~ThumbnailSeeder();
    ThumbnailSeeder(const ThumbnailSeeder&) = delete;
    ThumbnailSeeder& operator=(const ThumbnailSeeder&) = delete;

    void seed(QList<Candidate> candidates);
    // Stops asking and waits for writes in progress; late answers of the extension are dropped.
    void stop();

    // Thumbnails written so far (for tests and logs).
    int writtenCount() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
    QThreadPool m_pool;
};

} // namespace pixavella
