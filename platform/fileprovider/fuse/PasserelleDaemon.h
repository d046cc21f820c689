#pragma once

#include "FileProviderReplicatedExtension.h"
#include "FuseHost.h"

#include <functional>
#include <memory>

namespace pixavella {

struct PasserelleOptions {
    using HostSignal = std::function<void(const FileProviderItemIdentifier& container)>;

    FuseHostOptions host = FuseHostOptions::defaults();
    QString socketPath;
    QString lockPath;
    // Handed, on the main thread, a function that signals the daemon's own host once the
    // daemon listens, and an empty one before it stops: the extension in the same process
    // reaches its host without the control socket. The function may be called from any thread
    // and never waits; the host is signalled on the main thread, as the socket's signals are.
    std::function<void(HostSignal)> hostSignals;

    static PasserelleOptions defaults();
};

// The file-provider daemon: serves `extension` through a FuseHost and obeys the manager's
// commands on the control socket until told to remove the domain, until SIGTERM or SIGINT,
// or until the mount goes away. Needs a QCoreApplication; returns the exit code
// (0, 1 when it cannot listen, 3 when another daemon already runs).
int runPasserelleDaemon(std::unique_ptr<FileProviderReplicatedExtension> extension);
int runPasserelleDaemon(std::unique_ptr<FileProviderReplicatedExtension> extension,
                        PasserelleOptions options);

} // namespace pixavella
