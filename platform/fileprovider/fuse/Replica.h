#pragma once

#include "FileProviderEnumeration.h"
#include "FileProviderItemProtocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>

#include <mutex>
#include <optional>
#include <unordered_map>

namespace pixavella {

using InodeNumber = quint64;
inline constexpr InodeNumber kRootInode = 1;

// One node as the host hands it out: a copy taken under the replica's lock.
struct ReplicaEntry {
    InodeNumber ino = 0;
    InodeNumber parentIno = 0; // 0 while the node is not in any listed folder
    FileProviderItemProperties item;
    QByteArray diskName;
    bool isFolder = false;
    quint32 permissions = 0; // st_mode permission bits
    // Links of a folder: 2 + its subfolders once listed, 1 while unknown.
    quint32 linkCount = 1;
};

struct ReplicaName {
    QByteArray diskName;
    InodeNumber ino = 0;
    bool isFolder = false;
};

// What the kernel must forget after the replica changed.
struct ReplicaDelta {
    QList<QPair<InodeNumber, QByteArray>> entries; // (folder, name) no longer meaning the same
    QList<InodeNumber> inodes;                     // attributes or contents changed
    QList<FileProviderItemIdentifier> droppedContainers; // folders that are gone
    // (folder, name) that name nothing before: only a kernel that was told the name is missing
    // needs to hear of them.
    QList<QPair<InodeNumber, QByteArray>> arrivals;

    bool isEmpty() const
    {
        return entries.isEmpty() && inodes.isEmpty() && droppedContainers.isEmpty() &&
               arrivals.isEmpty();
    }
    void append(const ReplicaDelta& other);
};

// The framework's copy of the tree: identifier <-> inode (from a counter, stable for the life
// of the mount), parent, name on disk, item properties and versions, the children of every
// listed container and its sync anchor. Nodes stay while the kernel holds them (lookup counts).
class Replica {
public:
    // `reservedRootNames` are names the root's listing never hands out (the trash folder).
    explicit Replica(QSet<QByteArray> reservedRootNames = {});

    // A folder of the host's own (not the extension's) under `parent`, with a fixed name.
    // `listed` says whether it needs no listing (its children are all fixed too).
    InodeNumber addFixedFolder(const FileProviderItemIdentifier& identifier,
                               const FileProviderItemIdentifier& parent, const QByteArray& name,
                               quint32 permissions, bool listed);
    bool isFixedListing(const FileProviderItemIdentifier& container) const;

    // A full listing of `container`: its children become exactly `items`.
    ReplicaDelta applyListing(const FileProviderItemIdentifier& container,
                              const QList<FileProviderItemRef>& items,
                              const std::optional<FileProviderSyncAnchor>& anchor);
    // Changes reported by `container` since its anchor. A deletion applies only to an item
    // that still lives in `container`: an item moved elsewhere is reported deleted by its old
    // folder after the new one reported it updated.
    ReplicaDelta applyChanges(const FileProviderItemIdentifier& container,
                              const QList<FileProviderItemRef>& updated,
                              const QList<FileProviderItemIdentifier>& deleted,
                              const FileProviderSyncAnchor& anchor);
    // A newer state of one item (as fetchContents returns it), kept where it is.
    ReplicaDelta updateItem(const FileProviderItemRef& item);
    // An item as a change request answered it: filed under its own parent (listed or not).
    // With `addLookup` the kernel is about to hold it.
    ReplicaDelta placeItem(const FileProviderItemRef& item, bool addLookup = false);
    // The extension deleted the item.
    ReplicaDelta removeItem(const FileProviderItemIdentifier& identifier);
    // An inode for a node of the host's own that the replica does not hold (a local file).
    InodeNumber reserveInode(const FileProviderItemIdentifier& identifier);
    // The contents as delivered are `size` bytes long.
    ReplicaDelta setDocumentSize(InodeNumber ino, qint64 size);
    void setRootItem(const FileProviderItemRef& item);

    std::optional<ReplicaEntry> entry(InodeNumber ino) const;
    std::optional<ReplicaEntry> entry(const FileProviderItemIdentifier& identifier) const;
    // The entry of `identifier`, its lookup count grown by one.
    std::optional<ReplicaEntry> lookupEntry(const FileProviderItemIdentifier& identifier);
    // The child named `name` of folder `parent`; with `addLookup` its lookup count grows by one
    // (the kernel now holds it).
    std::optional<ReplicaEntry> child(InodeNumber parent, const QByteArray& name, bool addLookup);
    // Children of a listed folder, sorted by name; nothing when the folder was never listed.
    std::optional<QList<ReplicaEntry>> children(InodeNumber folder) const;
    // The same, names only: what a directory listing shows, without copying each item; with
    // the generation they are of.
    std::optional<QList<ReplicaName>> names(InodeNumber folder,
                                            quint64* generation = nullptr) const;
    // Grows with every change of any folder's names: a listing built at one generation holds
    // while it stays the same.
    quint64 generation() const;
    std::optional<FileProviderSyncAnchor> anchor(const FileProviderItemIdentifier& container) const;
    // Path below the mount point, names joined with "/"; nothing when not attached to the root.
    std::optional<QByteArray> path(InodeNumber ino) const;

    void addLookup(InodeNumber ino);
    // The kernel dropped `count` references.
    void forget(InodeNumber ino, quint64 count);
    // True when the contents last opened were of the same version (page cache still good).
    bool noteOpened(InodeNumber ino, const QByteArray& contentVersion);

    qsizetype nodeCount() const;

private:
    struct Node {
        InodeNumber ino = 0;
        FileProviderItemProperties item;
        FileProviderItemIdentifier attachedTo; // empty: in no listed folder
        QByteArray diskName;
        quint64 lookups = 0;
        bool isFolder = false;
        bool fixed = false;             // the host's own folder
        bool diskNameIsCurrent = false; // made from the filename the item has now
        quint32 permissions = 0;
    };
    struct Container {
        bool listed = false;
        bool fixedListing = false;
        QSet<FileProviderItemIdentifier> children;
        QHash<QByteArray, FileProviderItemIdentifier> fixedNames; // the host's own folders
        // Every child, fixed or not, by inode: a folder of a year of photos holds thousands.
        QHash<QByteArray, InodeNumber> byName;
        quint32 subfolders = 0;
        std::optional<FileProviderSyncAnchor> anchor;
    };

    // All below under m_mutex.
    InodeNumber inodeForLocked(const FileProviderItemIdentifier& identifier);
    Node* nodeLocked(const FileProviderItemIdentifier& identifier);
    Node* nodeLocked(InodeNumber ino);
    const Node* nodeLocked(InodeNumber ino) const;
    ReplicaEntry entryLocked(const Node& node) const;
    // The children of a listed folder made into `T`s by `make`, sorted by disk name.
    template <typename T, typename Make>
    std::optional<QList<T>> sortedChildrenLocked(InodeNumber folder, Make make) const;
    void upsertLocked(const FileProviderItemRef& item, const FileProviderItemIdentifier& attachTo,
                      QSet<FileProviderItemIdentifier>& touched, ReplicaDelta& delta);
    void detachLocked(Node& node, QSet<FileProviderItemIdentifier>& touched);
    void removeLocked(const FileProviderItemIdentifier& identifier,
                      QSet<FileProviderItemIdentifier>& touched, ReplicaDelta& delta);
    void renameLocked(const FileProviderItemIdentifier& container, ReplicaDelta& delta);
    void eraseIfUnusedLocked(InodeNumber ino);
    static quint32 permissionsFor(const FileProviderItemProperties& item);

    const QSet<QByteArray> m_reservedRootNames;
    // Guards every field below. Taken by FUSE threads and extension callbacks alike; never
    // held while calling out.
    mutable std::mutex m_mutex;
    quint64 m_generation = 0;
    InodeNumber m_nextInode = kRootInode + 1;
    // Never shrinks: an identifier keeps its inode for the life of the mount.
    QHash<FileProviderItemIdentifier, InodeNumber> m_inodes;
    std::unordered_map<InodeNumber, Node> m_nodes;
    // The content version each opened file was last opened at; kept apart from the nodes, as
    // few of a library's photos are ever opened.
    std::unordered_map<InodeNumber, QByteArray> m_openedVersions;
    QHash<FileProviderItemIdentifier, Container> m_containers;
};

} // namespace pixavella
