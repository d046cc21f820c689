#pragma once

#include "HostState.h"

namespace pixavella {

// The write side of the file system: new files are staged locally and handed to the
// extension's createItem when closed; folders, renames and removals go to the extension, and
// the replica follows its answers. Works on the host's shared state and lives as long as it.
class HostWrites {
public:
    using RequestId = HostState::RequestId;

    explicit HostWrites(HostState& host);
    HostWrites(const HostWrites&) = delete;
    HostWrites& operator=(const HostWrites&) = delete;

    void create(RequestId id, fuse_ino_t parent, QByteArray name, mode_t mode);
    void write(RequestId id, quint64 fh, const char* data, size_t size, off_t offset);
    // `pid` is the process closing the file (the request's caller).
    void flush(RequestId id, quint64 fh, pid_t pid);
    void fsync(RequestId id, quint64 fh);
    // `fh` is 0 when the attributes are set by path.
    void setattr(RequestId id, fuse_ino_t ino, const struct stat& attr, int toSet, quint64 fh);
    void mkdir(RequestId id, fuse_ino_t parent, QByteArray name);
    void remove(RequestId id, fuse_ino_t parent, QByteArray name, bool folder);
    void rename(RequestId id, fuse_ino_t parent, QByteArray name, fuse_ino_t newParent,
                QByteArray newName, unsigned flags);

    // What renaming `moved` onto a name that shows `replaced` (if anything) asks of the
    // extension: the move alone, the removal of the replaced item first, or nothing (refused
    // with `error`).
    struct Onto {
        enum Step { moveOnly, replaceFirst, refuse } step;
        int error = 0;
    };
    static Onto renameOnto(const ReplicaEntry& moved, const std::optional<ReplicaEntry>& replaced);

private:
    // The folder `parent` for a new `name`; nothing when the request was refused (no such
    // folder, not a folder, a name longer than a disk takes).
    std::optional<ReplicaEntry> folderForName(RequestId id, fuse_ino_t parent,
                                              const QByteArray& name);

    struct RenameSource {
        FileProviderItemIdentifier identifier;
        FileProviderItemProperties before;
        InodeNumber localFile = 0; // the staged name that stood for the item, if any
        bool viaAlias = false;
    };
    // 0 when a new file named `name` may be written in `folder`, else the errno that refuses it.
    int creationRefusal(const ReplicaEntry& folder, const QByteArray& name);
    void startCreation(const StagedHandOver& handOver);
    void creationAnswered(const StagedHandOver& handOver, Result<FileProviderItemChange> result);
    void startReplacement(const StagedHandOver& handOver, const ReplicaEntry& replaced);
    // A modification time set on a file already handed over reaches the item it became.
    void redateCreated(const FileProviderItemIdentifier& identifier, const timespec& mtime);
    void folderCreated(RequestId id, fuse_ino_t parent, const QByteArray& name,
                       Result<FileProviderItemChange> result);
    void deleteNamed(RequestId id, fuse_ino_t parent, const QByteArray& name,
                     const ReplicaEntry& entry);
    void modifyForRename(RequestId id, fuse_ino_t parent, const QByteArray& name,
                         const ReplicaEntry& newFolder, const QByteArray& newName,
                         RenameSource source);
    void renameAnswered(RequestId id, fuse_ino_t parent, const QByteArray& name,
                        fuse_ino_t newParent, const QByteArray& newName, const RenameSource& source,
                        Result<FileProviderItemChange> result);

    HostState& m_host;
};

} // namespace pixavella
