#pragma once

#include "FuseApi.h"

namespace pixavella {

// The low-level operation table; its user data is the HostCore. Each entry copies the
// request's arguments and hands them to the core; no exception leaves an entry.
const fuse_lowlevel_ops& fuseHostOperations();

} // namespace pixavella
