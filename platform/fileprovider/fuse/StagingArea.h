#pragma once

#include "Replica.h"
#include "Result.h"

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sys/stat.h>

namespace pixavella {

// Handle numbers of local files carry this bit; the others are descriptors of the content cache.
inline constexpr quint64 kStagedHandleBit = quint64(1) << 62;

// A name the staging area answers for in a folder: a local file, or (for a short while after
// the extension filed it elsewhere) an item of the replica.
struct StagedName {
    QByteArray name;
    InodeNumber ino = 0;              // the local file, or the item's inode
    FileProviderItemIdentifier alias; // empty for a local file
    bool isFolder = false;
};

// A copy of a local file's state.
struct StagedFile {
    InodeNumber ino = 0;
    InodeNumber parent = 0;
    QByteArray name;
    qint64 size = 0;
    mode_t mode = 0644;
    timespec atime{};
    timespec mtime{};
    bool hasData = false; // the bytes are still here (not only with the extension)
    bool unsent = false;  // written since the extension last took it
    std::optional<FileProviderItemIdentifier> createdAs;
    // The item whose name these bytes were written under (saved over, or renamed onto it).
    std::optional<FileProviderItemIdentifier> replaces;
};

// What the extension is handed when a local file becomes an item: the file at `path` is
// never written again by the host.
struct StagedHandOver {
    InodeNumber ino = 0;
    InodeNumber parent = 0;
    FileProviderItemIdentifier parentIdentifier;
    QByteArray name;
    QString path;
    qint64 size = 0;
    QDateTime modified;
    // The writer asked for its bytes to be on the disk (fsync) before closing.
    bool durable = false;
    // The writer was ended by a signal with the file open: the bytes may stop anywhere.
    bool writerKilled = false;
    // The thread that closed it (0 when unknown).
    pid_t writer = 0;
    // New contents of this item rather than a new one: the item it became at an earlier close,
    // or the item it was written over.
    std::optional<FileProviderItemIdentifier> replaces;
};

// Files written on the drive that the extension does not hold: new files until a close hands
// them over, hidden files and the trash's info files (which stay), and for a grace period the
// names where something was dropped, so tools that set times or modes after closing succeed.
// Each local file has its own inode, a staging file and an open descriptor; once handed over,
// the next write goes to a fresh copy, since the extension may have linked the file.
class StagingArea {
public:
    // Answers a close or a rename waiting on a creation: 0 or an errno.
    using Waiter = std::function<void(int error)>;
    using Outcome = Result<std::optional<FileProviderItemIdentifier>>;

    StagingArea(QString directory, Replica& replica, double graceSeconds);
    ~StagingArea();
    StagingArea(const StagingArea&) = delete;
    StagingArea& operator=(const StagingArea&) = delete;

    const QString& directory() const { return m_directory; }

    std::optional<StagedName> find(InodeNumber parent, const QByteArray& name);
    QList<StagedName> entriesIn(InodeNumber folder);
    std::optional<StagedFile> file(InodeNumber ino);

    // A new local file, open for writing: its inode and handle.
    // `replaces`: the item shown at that name, which the file's bytes will replace.
    Result<QPair<InodeNumber, quint64>>
    create(InodeNumber parent, const QByteArray& name, mode_t mode,
           const std::optional<FileProviderItemIdentifier>& replaces = std::nullopt);
    // A local file written over item `replaces`, whose inode `openedAs` the program holds open:
    // empty, or a copy of `contents` (the item's bytes) for a program that edits them in place.
    // A copy closed without a write is let go at its last release, and the item stays.
    Result<QPair<InodeNumber, quint64>> createOver(InodeNumber parent, const QByteArray& name,
                                                   mode_t mode,
                                                   const FileProviderItemIdentifier& replaces,
                                                   InodeNumber openedAs, const QString& contents);
    // The local file being written through a handle opened on the item's inode `openedAs`.
    std::optional<StagedFile> fileOpenedAs(InodeNumber openedAs);
    std::optional<InodeNumber> inodeOfHandle(quint64 fh);
    Result<quint64> open(InodeNumber ino, int flags);
    Result<size_t> write(quint64 fh, const char* data, size_t size, off_t offset);
    Result<size_t> read(quint64 fh, char* buffer, size_t size, off_t offset);
    Result<void> fsync(quint64 fh);
    // The name a copy let go without a write leaves to its item again, if any.
    std::optional<QPair<InodeNumber, QByteArray>> release(quint64 fh);
    // Only the given attributes change; `fh` is 0 when set by path.
    Result<StagedFile> setAttributes(InodeNumber ino, quint64 fh, std::optional<off_t> size,
                                     std::optional<mode_t> mode, std::optional<timespec> atime,
                                     std::optional<timespec> mtime);

    // A close of `fh`: a hand-over to give the extension, or nothing when `waiter` was answered
    // or will be with the creation in progress. A file whose writing failed is never handed
    // over: the close answers the failure and the name leaves the folder.
    std::optional<StagedHandOver> flush(quint64 fh, Waiter waiter);
    // A rename of local file `ino` to a visible place: its creation under the new name, or
    // nothing when `waiter` was answered.
    std::optional<StagedHandOver>
    createAt(InodeNumber ino, InodeNumber parent,
             const FileProviderItemIdentifier& parentIdentifier, const QByteArray& name,
             Waiter waiter, const std::optional<FileProviderItemIdentifier>& replaces = std::nullopt);
    // The extension answered `handOver`; returns the next creation to start, if any. A close
    // whose creation failed takes the name away with it: the writing program keeps its own copy
    // and is told, so nothing may stay listed that the drive will never keep.
    std::optional<StagedHandOver> creationEnded(const StagedHandOver& handOver,
                                                const Outcome& outcome, int error);

    // Renames a local file within the host (replacing what the staging area had at the target).
    void rename(InodeNumber ino, InodeNumber parent, const QByteArray& name);
    // For the grace period, `name` in `parent` resolves to the replica's item `identifier`.
    void remember(InodeNumber parent, const QByteArray& name,
                  const FileProviderItemIdentifier& identifier, InodeNumber ino, bool isFolder);
    // Drops whatever the staging area answers for at that name (a removed or replaced file).
    void drop(InodeNumber parent, const QByteArray& name);

private:
    // An open staging file; closed when the last user lets go, so that reads and writes can run
    // without the lock while the node moves on to a fresh copy.
    struct Descriptor {
        int fd = -1;
        explicit Descriptor(int d) : fd(d) {}
        ~Descriptor();
        Descriptor(const Descriptor&) = delete;
        Descriptor& operator=(const Descriptor&) = delete;
    };
    using DescriptorRef = std::shared_ptr<Descriptor>;

    struct Node {
        StagedFile state;
        QString path;
        DescriptorRef file;
        bool named = true;    // resolvable at state.parent/state.name
        bool removed = false; // deleted by the user: never handed over
        bool handedOver = false;
        bool synced = false; // fsync asked since the last hand-over
        bool itemSeen = false; // what it became has been in the replica since
        bool copyOfItem = false; // holds its item's bytes, not written since
        int failure = 0;     // the errno that ended the file's writing; never handed over then
        std::optional<QDateTime> expires;
        int handles = 0;
        bool creating = false;
        QList<Waiter> current; // answered by the creation in progress
        QList<Waiter> next;    // closes that came while it ran
        std::optional<QPair<InodeNumber, QByteArray>> moveTo;
    };
    struct Handle {
        InodeNumber ino = 0;
        bool wrote = false;
        InodeNumber openedAs = 0; // the item's inode the kernel opened, when written over
    };
    struct Alias {
        FileProviderItemIdentifier identifier;
        InodeNumber ino = 0;
        bool isFolder = false;
        QDateTime expires;
    };
    using Key = QPair<InodeNumber, QByteArray>;

    // What erased nodes leave: closed and removed once m_mutex is let go, so that the file
    // system's work on one file does not hold up the requests for the next.
    struct Leftovers {
        QList<DescriptorRef> files;
        QStringList paths;
    };
    // m_mutex for a scope; on leaving it, what the scope left over is disposed of unlocked.
    class Locked {
    public:
        explicit Locked(StagingArea& area) : m_area(area), m_lock(area.m_mutex) {}
        ~Locked();
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

    private:
        StagingArea& m_area;
        std::unique_lock<std::mutex> m_lock;
    };

    // All below under m_mutex.
    void leaveLocked(DescriptorRef file, const QString& path = {});
    void sweepLocked();
    void noteExpiryLocked(const QDateTime& expires);
    void unnameLocked(Node& node);
    void dropLocked(const Key& key);
    void eraseIfIdleLocked(InodeNumber ino);
    Result<void> ownFileLocked(Node& node, bool keepData);
    Node* nodeOfHandleLocked(quint64 fh, Handle** handle = nullptr);
    std::optional<StagedHandOver> handOverLocked(Node& node, InodeNumber parent,
                                                 const FileProviderItemIdentifier& parentId,
                                                 const QByteArray& name);
    bool isLocalPlaceLocked(const Node& node) const;
    // A node for a new local file with an empty staging file, not yet named.
    Result<Node> newNodeLocked(InodeNumber parent, const QByteArray& name, mode_t mode,
                               const std::optional<FileProviderItemIdentifier>& replaces);
    QPair<InodeNumber, quint64> insertLocked(Node n, bool wrote, InodeNumber openedAs);

    const QString m_directory;
    Replica& m_replica;
    const double m_graceSeconds;
    // Guards every field below. Reads, writes and flushes of the staging files run without it
    // (they hold the node's Descriptor), so one program flushing a large file never stalls the
    // lookups and listings of the mount; the extension is never called with it held. Taken
    // before the replica's lock.
    std::mutex m_mutex;
    QHash<InodeNumber, Node> m_nodes;
    QHash<Key, InodeNumber> m_names;
    QHash<Key, Alias> m_aliases;
    // No name or alias expires before this; none has to be looked at before then.
    std::optional<QDateTime> m_nextExpiry;
    QHash<quint64, Handle> m_handles;
    quint64 m_nextHandle = 1;
    quint64 m_nextFile = 1;
    Leftovers m_leftovers;
};

} // namespace pixavella
