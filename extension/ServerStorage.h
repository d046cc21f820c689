#pragma once

#include "FileProviderReplicatedExtension.h"

#include <QDateTime>
#include <QMutex>

#include <optional>

namespace pixavella {

// The server's disk as `df` on the drive shows it: asked at most once a minute, in the
// background, and the last figures known kept while the server cannot be reached.
class ServerStorage {
public:
    using Space = FileProviderReplicatedExtension::VolumeSpace;
    static constexpr qint64 kMaxAgeMs = 60'000;

    // The last figures known; starts a fetch when they are older than a minute.
    std::optional<Space> current();

private:
    QMutex m_mutex;
    std::optional<Space> m_space;
    QDateTime m_askedAt; // the last fetch started
    bool m_fetching = false;
};

} // namespace pixavella
