#pragma once

#include "Result.h"

#include <QString>

#include <optional>

namespace pixavella {

// What the kernel's mount table (/proc/self/mountinfo) says about one mount point. Reading
// it never touches the mounted file system, so it is safe while a mount hangs or is stale.
namespace MountTable {

struct Mount {
    QString mountPoint;
    QString fsType;     // "fuse.pixavella" for ours
    quint32 device = 0; // the minor of an anonymous device, as /sys/fs/fuse/connections names it
};

std::optional<Mount> find(const QString& mountPoint);
// "Transport endpoint is not connected": a FUSE mount whose daemon died. Asks the file system
// (statfs): only for a mount whose daemon is ours, or gone.
bool isStale(const QString& mountPoint);
// Detaches the mount (umount2 with MNT_DETACH as root, otherwise fusermount3 -u -z); blocks
// until that is done, which never waits for the file system itself.
Result<void> detach(const QString& mountPoint);
// Ends a FUSE connection at once: requests in flight fail, the daemon's loop stops.
bool abortConnection(quint32 device);

} // namespace MountTable
} // namespace pixavella
