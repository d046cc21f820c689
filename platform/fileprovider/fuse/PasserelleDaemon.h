#pragma once

#include "FileProviderReplicatedExtension.h"
#include "FuseHost.h"

#include <memory>

namespace pixavella {

struct PasserelleOptions {
    FuseHostOptions host = FuseHostOptions::defaults();
    QString socketPath;
    QString lockPath;

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
