#pragma once

#include <sys/types.h>

namespace pixavella::WriterState {

// Whether process (or thread) `pid` is exiting because a signal ended it. A program killed in
// the middle of a copy closes its files like one that finished; only its state at the close
// tells the two apart. The kernel sets the exit code before it closes the dying process's
// files, and the close waits for the drive's answer, so the state is still readable then.
bool isEndingBySignal(pid_t pid);

// The same, read from the text of /proc/<pid>/stat (exposed for tests).
bool isEndingBySignal(const char* statText);

} // namespace pixavella::WriterState
