#pragma once

// The one place that picks the libfuse API level: the 3.12 low-level API (loop configuration
// objects), as Debian 12 ships it.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>
