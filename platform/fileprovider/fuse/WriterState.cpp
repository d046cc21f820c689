#include "WriterState.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace pixavella::WriterState {

namespace {

// PF_EXITING in the task's flags (include/linux/sched.h).
constexpr unsigned long kExiting = 0x4;
// After the command name: field 9 of the line is the flags, field 52 the exit code.
constexpr int kFlagsField = 9;
constexpr int kExitCodeField = 52;

} // namespace

bool isEndingBySignal(const char* statText)
{
    // The command name is in parentheses and may hold spaces and parentheses of its own.
    const char* end = std::strrchr(statText, ')');
    if (!end)
        return false;
    const char* p = end + 1;
    unsigned long flags = 0;
    long exitCode = 0;
    // Field 3 (the state) is the first after the name.
    for (int field = 3; field <= kExitCodeField && *p; ++field) {
        while (*p == ' ')
            ++p;
        char* next = nullptr;
        if (field == kFlagsField)
            flags = std::strtoul(p, &next, 10);
        else if (field == kExitCodeField)
            exitCode = std::strtol(p, &next, 10);
        const char* space = std::strchr(p, ' ');
        if (!space) {
            if (field < kExitCodeField)
                return false; // a kernel too old to tell: nothing is claimed
            break;
        }
        p = space;
    }
    // The low seven bits of an exit code hold the signal that ended the process.
    return (flags & kExiting) && (exitCode & 0x7f) != 0;
}

bool isEndingBySignal(pid_t pid)
{
    if (pid <= 0)
        return false;
    // A batch closes its files from one writer: its stat file stays open between closes and is
    // read again in place. A writer gone (its pid perhaps taken since) fails that read, and the
    // file is opened anew by its pid.
    static std::mutex mutex;
    static pid_t openPid = 0;
    static int openFd = -1;
    std::lock_guard lock(mutex);
    char text[1024];
    ssize_t n = -1;
    if (openPid == pid && openFd >= 0)
        n = ::pread(openFd, text, sizeof text - 1, 0);
    if (n <= 0) {
        if (openFd >= 0)
            ::close(openFd);
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
        openFd = ::open(path, O_RDONLY | O_CLOEXEC);
        openPid = pid;
        n = openFd >= 0 ? ::pread(openFd, text, sizeof text - 1, 0) : -1;
    }
    if (n <= 0)
        return false;
    text[n] = '\0';
    return isEndingBySignal(text);
}

} // namespace pixavella::WriterState
