#pragma once

#include <QString>

namespace pixavella {

// An exclusive flock(2) on "<store>.lock", held from construction to destruction, around the
// load, change and save of a store file that both programs rewrite: without it, an entry one
// process adds between the other's load and save is lost when that save replaces the file.
// The lock file is never removed (removing it would let two holders lock different files).
// Each lock opens the file anew, so two threads of one process exclude each other too.
class StoreFileLock {
public:
    explicit StoreFileLock(const QString& storePath);
    ~StoreFileLock();

    // False when the lock file could not be opened or locked; the caller then goes on
    // unprotected, as the store did before, rather than losing its change.
    bool isHeld() const { return m_fd >= 0; }

    StoreFileLock(const StoreFileLock&) = delete;
    StoreFileLock& operator=(const StoreFileLock&) = delete;

private:
    int m_fd = -1;
};

} // namespace pixavella
