#pragma once

#include "FileProviderReplicatedExtension.h"
#include "FuseHostOptions.h"
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
