#include "Replica.h"

#include "NameDisambiguator.h"

#include <QtGlobal>

#include <algorithm>

namespace pixavella {

void ReplicaDelta::append(const ReplicaDelta& other)
{
    entries.append(other.entries);
    inodes.append(other.inodes);
    droppedContainers.append(other.droppedContainers);
    arrivals.append(other.arrivals);
}

Replica::Replica(QSet<QByteArray> reservedRootNames)
    : m_reservedRootNames(std::move(reservedRootNames))
{
    Node root;
    root.ino = kRootInode;
    root.item.itemIdentifier = FileProviderContainer::root;
    root.item.contentType = ContentType::folder();
    root.isFolder = true;
    root.fixed = true;
    root.permissions = permissionsFor(root.item);
    m_inodes.insert(FileProviderContainer::root, kRootInode);
    m_nodes.emplace(kRootInode, std::move(root));
}

quint32 Replica::permissionsFor(const FileProviderItemProperties& item)
{
    const bool writable = item.capabilities & FileProviderItemCapability::allowsWriting;
    if (item.contentType.conformsTo(ContentKind::folder))
        return writable ? 0755 : 0555;
    return writable ? 0644 : 0444;
}

InodeNumber Replica::inodeForLocked(const FileProviderItemIdentifier& identifier)
{
    auto it = m_inodes.constFind(identifier);
    if (it != m_inodes.cend())
        return *it;
    const InodeNumber ino = m_nextInode++;
    m_inodes.insert(identifier, ino);
    return ino;
}

Replica::Node* Replica::nodeLocked(const FileProviderItemIdentifier& identifier)
{
    auto it = m_inodes.constFind(identifier);
    if (it == m_inodes.cend())
        return nullptr;
    auto node = m_nodes.find(*it);
    return node == m_nodes.end() ? nullptr : &node->second;
}

Replica::Node* Replica::nodeLocked(InodeNumber ino)
{
    auto it = m_nodes.find(ino);
    return it == m_nodes.end() ? nullptr : &it->second;
}

const Replica::Node* Replica::nodeLocked(InodeNumber ino) const
{
    auto it = m_nodes.find(ino);
    return it == m_nodes.end() ? nullptr : &it->second;
}

ReplicaEntry Replica::entryLocked(const Node& node) const
{
    ReplicaEntry e;
    e.ino = node.ino;
    e.item = node.item;
    e.diskName = node.diskName;
    e.isFolder = node.isFolder;
    e.permissions = node.permissions;
    if (node.ino == kRootInode)
        e.parentIno = kRootInode;
    else if (!node.attachedTo.isEmpty())
        e.parentIno = m_inodes.value(node.attachedTo);
    if (node.isFolder) {
        auto c = m_containers.constFind(node.item.itemIdentifier);
        e.linkCount = (c != m_containers.cend() && c->listed) ? 2 + c->subfolders : 1;
    }
    return e;
}

InodeNumber Replica::addFixedFolder(const FileProviderItemIdentifier& identifier,
                                    const FileProviderItemIdentifier& parent,
                                    const QByteArray& name, quint32 permissions, bool listed)
{
    std::lock_guard lock(m_mutex);
    ++m_generation;
    const InodeNumber ino = inodeForLocked(identifier);
    Node& n = m_nodes[ino];
    n.ino = ino;
    n.item.itemIdentifier = identifier;
    n.item.parentItemIdentifier = parent;
    n.item.filename = QString::fromUtf8(name);
    n.item.contentType = ContentType::folder();
    n.isFolder = true;
    n.fixed = true;
    n.permissions = permissions;
    n.attachedTo = parent;
    n.diskName = name;
    Container& p = m_containers[parent];
    p.fixedNames.insert(name, identifier);
    p.byName.insert(name, ino);
    ++p.subfolders;
    Container& c = m_containers[identifier];
    c.listed = c.listed || listed;
    c.fixedListing = listed;
    return ino;
}

bool Replica::isFixedListing(const FileProviderItemIdentifier& container) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_containers.constFind(container);
    return it != m_containers.cend() && it->fixedListing;
}

void Replica::detachLocked(Node& node, QSet<FileProviderItemIdentifier>& touched)
{
    if (node.attachedTo.isEmpty())
        return;
    auto c = m_containers.find(node.attachedTo);
    if (c != m_containers.end())
        c->children.remove(node.item.itemIdentifier);
    touched.insert(node.attachedTo);
    node.attachedTo.clear();
}

void Replica::upsertLocked(const FileProviderItemRef& item,
                           const FileProviderItemIdentifier& attachTo,
                           QSet<FileProviderItemIdentifier>& touched, ReplicaDelta& delta)
{
    FileProviderItemProperties props = FileProviderItemProperties::of(*item);
    const FileProviderItemIdentifier id = props.itemIdentifier;
    if (id.isEmpty() || id == FileProviderContainer::root || id == attachTo)
        return;
    const InodeNumber ino = inodeForLocked(id);
    auto [it, inserted] = m_nodes.try_emplace(ino);
    Node& n = it->second;
    if (n.fixed)
        return; // the extension cannot replace the host's own folders
    const bool isFolder = props.contentType.conformsTo(ContentKind::folder);
    if (inserted) {
        n.ino = ino;
    } else {
        if (n.item.itemVersion != props.itemVersion || n.item.documentSize != props.documentSize ||
            n.item.contentModificationDate != props.contentModificationDate ||
            n.item.creationDate != props.creationDate ||
            n.item.capabilities != props.capabilities || n.isFolder != isFolder)
            delta.inodes.append(ino);
        if (n.item.filename != props.filename && !n.attachedTo.isEmpty())
            touched.insert(n.attachedTo);
        // A file that became a folder (or the reverse) is a new kind of inode for the kernel.
        if (n.isFolder != isFolder && !n.attachedTo.isEmpty() && !n.diskName.isEmpty())
            delta.entries.append({m_inodes.value(n.attachedTo), n.diskName});
    }
    if (n.item.filename != props.filename)
        n.diskNameIsCurrent = false;
    n.item = std::move(props);
    n.isFolder = isFolder;
    n.permissions = permissionsFor(n.item);
    if (n.attachedTo == attachTo)
        return;
    detachLocked(n, touched);
    auto c = m_containers.find(attachTo);
    if (c != m_containers.end() && c->listed) {
        c->children.insert(id);
        n.attachedTo = attachTo;
        touched.insert(attachTo);
    }
}

void Replica::removeLocked(const FileProviderItemIdentifier& identifier,
                           QSet<FileProviderItemIdentifier>& touched, ReplicaDelta& delta)
{
    Node* node = nodeLocked(identifier);
    if (!node || node->fixed)
        return;
    const InodeNumber ino = node->ino;
    detachLocked(*node, touched);
    if (node->isFolder) {
        auto c = m_containers.find(identifier);
        if (c != m_containers.end()) {
            const QSet<FileProviderItemIdentifier> children = c->children;
            for (const FileProviderItemIdentifier& child : children)
                removeLocked(child, touched, delta);
            m_containers.remove(identifier);
            touched.remove(identifier);
            delta.droppedContainers.append(identifier);
        }
    }
    eraseIfUnusedLocked(ino);
}

void Replica::eraseIfUnusedLocked(InodeNumber ino)
{
    auto it = m_nodes.find(ino);
    if (it == m_nodes.end())
        return;
    const Node& n = it->second;
    if (n.fixed || n.lookups > 0 || !n.attachedTo.isEmpty())
        return;
    m_openedVersions.erase(ino);
    m_nodes.erase(it);
}

void Replica::renameLocked(const FileProviderItemIdentifier& container, ReplicaDelta& delta)
{
    auto c = m_containers.find(container);
    if (c == m_containers.end())
        return;
    QList<NameDisambiguator::Entry> entries;
    entries.reserve(c->children.size());
    quint32 subfolders = c->fixedNames.size();
    for (const FileProviderItemIdentifier& id : std::as_const(c->children)) {
        const Node* n = nodeLocked(id);
        if (!n)
            continue;
        entries.append({id, n->item.filename, n->isFolder, n->item.nameRank,
                        n->diskNameIsCurrent ? n->diskName : QByteArray()});
        subfolders += n->isFolder ? 1 : 0;
    }
    QSet<QByteArray> reserved(c->fixedNames.keyBegin(), c->fixedNames.keyEnd());
    if (container == FileProviderContainer::root)
        reserved.unite(m_reservedRootNames);
    const QHash<FileProviderItemIdentifier, QByteArray> names =
        NameDisambiguator::uniqueNames(entries, reserved);

    QHash<QByteArray, InodeNumber> byName;
    byName.reserve(c->fixedNames.size() + names.size());
    for (auto it = c->fixedNames.cbegin(); it != c->fixedNames.cend(); ++it)
        byName.insert(it.key(), m_inodes.value(it.value()));
    for (auto it = names.cbegin(); it != names.cend(); ++it) {
        if (Node* n = nodeLocked(it.key())) {
            byName.insert(it.value(), n->ino);
            n->diskName = it.value();
            n->diskNameIsCurrent = true;
        }
    }
    const InodeNumber folderIno = m_inodes.value(container);
    bool changed = byName.size() != c->byName.size() || subfolders != c->subfolders;
    for (auto it = c->byName.cbegin(); it != c->byName.cend(); ++it) {
        if (byName.value(it.key()) != it.value()) {
            delta.entries.append({folderIno, it.key()});
            changed = true;
        }
    }
    for (auto it = byName.cbegin(); it != byName.cend(); ++it)
        if (!c->byName.contains(it.key()))
            delta.arrivals.append({folderIno, it.key()});
    c->byName = std::move(byName);
    c->subfolders = subfolders;
    if (changed)
        delta.inodes.append(folderIno);
}

ReplicaDelta Replica::applyListing(const FileProviderItemIdentifier& container,
                                   const QList<FileProviderItemRef>& items,
                                   const std::optional<FileProviderSyncAnchor>& anchor)
{
    std::lock_guard lock(m_mutex);
    ++m_generation;
    ReplicaDelta delta;
    QSet<FileProviderItemIdentifier> touched{container};
    QSet<FileProviderItemIdentifier> listed;
    for (const FileProviderItemRef& item : items)
        if (item)
            listed.insert(item->itemIdentifier());
    const QSet<FileProviderItemIdentifier> previous = m_containers[container].children;
    for (const FileProviderItemIdentifier& id : previous)
        if (!listed.contains(id))
            removeLocked(id, touched, delta);
    Container& c = m_containers[container];
    c.listed = true;
    c.anchor = anchor;
    for (const FileProviderItemRef& item : items)
        if (item)
            upsertLocked(item, container, touched, delta);
    for (const FileProviderItemIdentifier& t : std::as_const(touched))
        renameLocked(t, delta);
    return delta;
}

ReplicaDelta Replica::applyChanges(const FileProviderItemIdentifier& container,
                                   const QList<FileProviderItemRef>& updated,
                                   const QList<FileProviderItemIdentifier>& deleted,
                                   const FileProviderSyncAnchor& anchor)
{
    std::lock_guard lock(m_mutex);
    ++m_generation;
    ReplicaDelta delta;
    QSet<FileProviderItemIdentifier> touched;
    for (const FileProviderItemRef& item : updated) {
        if (!item)
            continue;
        upsertLocked(item, item->parentItemIdentifier(), touched, delta);
    }
    for (const FileProviderItemIdentifier& id : deleted) {
        const Node* n = nodeLocked(id);
        if (n && n->attachedTo == container)
            removeLocked(id, touched, delta);
    }
    auto c = m_containers.find(container);
    if (c != m_containers.end())
        c->anchor = anchor;
    for (const FileProviderItemIdentifier& t : std::as_const(touched))
        renameLocked(t, delta);
    return delta;
}

ReplicaDelta Replica::updateItem(const FileProviderItemRef& item)
{
    std::lock_guard lock(m_mutex);
    ++m_generation;
    ReplicaDelta delta;
    if (!item)
        return delta;
    const Node* n = nodeLocked(item->itemIdentifier());
    if (!n)
        return delta;
    const FileProviderItemIdentifier at = n->attachedTo;
    QSet<FileProviderItemIdentifier> touched;
    upsertLocked(item, at, touched, delta);
    for (const FileProviderItemIdentifier& t : std::as_const(touched))
        renameLocked(t, delta);
    return delta;
}

ReplicaDelta Replica::placeItem(const FileProviderItemRef& item, bool addLookup)
{
    std::lock_guard lock(m_mutex);
    ++m_generation;
    ReplicaDelta delta;
    if (!item)
        return delta;
    QSet<FileProviderItemIdentifier> touched;
    upsertLocked(item, item->parentItemIdentifier(), touched, delta);
    Node* n = nodeLocked(item->itemIdentifier());
    // An inode the kernel holds no reference to has nothing cached to drop (a new pending item
    // most often): telling it would only fail with ENOENT.
    const bool kernelHolds = n && n->lookups > 0;
    if (n && addLookup)
        ++n->lookups;
    for (const FileProviderItemIdentifier& t : std::as_const(touched))
        renameLocked(t, delta);
    if (kernelHolds)
        delta.inodes.append(n->ino);
    return delta;
}

ReplicaDelta Replica::removeItem(const FileProviderItemIdentifier& identifier)
{
    std::lock_guard lock(m_mutex);
    ++m_generation;
    ReplicaDelta delta;
    QSet<FileProviderItemIdentifier> touched;
    removeLocked(identifier, touched, delta);
    for (const FileProviderItemIdentifier& t : std::as_const(touched))
        renameLocked(t, delta);
    return delta;
}

InodeNumber Replica::reserveInode(const FileProviderItemIdentifier& identifier)
{
    std::lock_guard lock(m_mutex);
    return inodeForLocked(identifier);
}

ReplicaDelta Replica::setDocumentSize(InodeNumber ino, qint64 size)
{
    std::lock_guard lock(m_mutex);
    ReplicaDelta delta;
    auto it = m_nodes.find(ino);
    if (it != m_nodes.end() && it->second.item.documentSize != size) {
        it->second.item.documentSize = size;
        delta.inodes.append(ino);
    }
    return delta;
}

void Replica::setRootItem(const FileProviderItemRef& item)
{
    if (!item)
        return;
    std::lock_guard lock(m_mutex);
    ++m_generation;
    Node& root = m_nodes.at(kRootInode);
    FileProviderItemProperties props = FileProviderItemProperties::of(*item);
    props.itemIdentifier = FileProviderContainer::root;
    props.contentType = ContentType::folder();
    root.item = std::move(props);
    root.permissions = permissionsFor(root.item);
}

std::optional<ReplicaEntry> Replica::entry(InodeNumber ino) const
{
    std::lock_guard lock(m_mutex);
    const Node* n = nodeLocked(ino);
    if (!n)
        return std::nullopt;
    return entryLocked(*n);
}

std::optional<ReplicaEntry> Replica::entry(const FileProviderItemIdentifier& identifier) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_inodes.constFind(identifier);
    if (it == m_inodes.cend())
        return std::nullopt;
    const Node* n = nodeLocked(*it);
    if (!n)
        return std::nullopt;
    return entryLocked(*n);
}

std::optional<ReplicaEntry> Replica::lookupEntry(const FileProviderItemIdentifier& identifier)
{
    std::lock_guard lock(m_mutex);
    Node* n = nodeLocked(identifier);
    if (!n)
        return std::nullopt;
    ++n->lookups;
    return entryLocked(*n);
}

std::optional<ReplicaEntry> Replica::child(InodeNumber parent, const QByteArray& name,
                                           bool addLookup)
{
    std::lock_guard lock(m_mutex);
    const Node* p = nodeLocked(parent);
    if (!p)
        return std::nullopt;
    auto c = m_containers.constFind(p->item.itemIdentifier);
    if (c == m_containers.cend())
        return std::nullopt;
    auto ino = c->byName.constFind(name);
    if (ino == c->byName.cend())
        return std::nullopt;
    Node* n = nodeLocked(*ino);
    if (!n)
        return std::nullopt;
    if (addLookup)
        ++n->lookups;
    return entryLocked(*n);
}

template <typename T, typename Make>
std::optional<QList<T>> Replica::sortedChildrenLocked(InodeNumber folder, Make make) const
{
    const Node* p = nodeLocked(folder);
    if (!p)
        return std::nullopt;
    auto c = m_containers.constFind(p->item.itemIdentifier);
    if (c == m_containers.cend() || !c->listed)
        return std::nullopt;
    QList<T> list;
    list.reserve(c->byName.size());
    for (auto it = c->byName.cbegin(); it != c->byName.cend(); ++it)
        if (const Node* n = nodeLocked(it.value()))
            list.append(make(*n));
    std::sort(list.begin(), list.end(),
              [](const T& a, const T& b) { return a.diskName < b.diskName; });
    return list;
}

std::optional<QList<ReplicaEntry>> Replica::children(InodeNumber folder) const
{
    std::lock_guard lock(m_mutex);
    return sortedChildrenLocked<ReplicaEntry>(folder,
                                              [this](const Node& n) { return entryLocked(n); });
}

std::optional<QList<ReplicaName>> Replica::names(InodeNumber folder, quint64* generation) const
{
    std::lock_guard lock(m_mutex);
    if (generation)
        *generation = m_generation;
    return sortedChildrenLocked<ReplicaName>(folder, [](const Node& n) {
        return ReplicaName{n.diskName, n.ino, n.isFolder};
    });
}

std::optional<FileProviderSyncAnchor>
Replica::anchor(const FileProviderItemIdentifier& container) const
{
    std::lock_guard lock(m_mutex);
    auto c = m_containers.constFind(container);
    if (c == m_containers.cend())
        return std::nullopt;
    return c->anchor;
}

std::optional<QByteArray> Replica::path(InodeNumber ino) const
{
    std::lock_guard lock(m_mutex);
    QList<QByteArray> names;
    const Node* n = nodeLocked(ino);
    // The depth bound only guards against a cycle the extension might describe.
    for (int depth = 0; n && n->ino != kRootInode; ++depth) {
        if (n->attachedTo.isEmpty() || depth > 4096)
            return std::nullopt;
        names.prepend(n->diskName);
        auto parent = m_inodes.constFind(n->attachedTo);
        n = parent == m_inodes.cend() ? nullptr : nodeLocked(*parent);
    }
    if (!n)
        return std::nullopt;
    return names.join('/');
}

void Replica::addLookup(InodeNumber ino)
{
    std::lock_guard lock(m_mutex);
    auto it = m_nodes.find(ino);
    if (it != m_nodes.end())
        ++it->second.lookups;
}

void Replica::forget(InodeNumber ino, quint64 count)
{
    std::lock_guard lock(m_mutex);
    ++m_generation;
    auto it = m_nodes.find(ino);
    if (it == m_nodes.end())
        return;
    if (it->second.lookups < count)
        qFatal("Replica: negative lookup count for inode %llu",
               static_cast<unsigned long long>(ino));
    it->second.lookups -= count;
    eraseIfUnusedLocked(ino);
}

bool Replica::noteOpened(InodeNumber ino, const QByteArray& contentVersion)
{
    std::lock_guard lock(m_mutex);
    auto it = m_nodes.find(ino);
    if (it == m_nodes.end())
        return false;
    auto [opened, first] = m_openedVersions.try_emplace(ino, contentVersion);
    if (first)
        return false;
    const bool same = opened->second == contentVersion;
    opened->second = contentVersion;
    return same;
}

quint64 Replica::generation() const
{
    std::lock_guard lock(m_mutex);
    return m_generation;
}

qsizetype Replica::nodeCount() const
{
    std::lock_guard lock(m_mutex);
    return qsizetype(m_nodes.size());
}

} // namespace pixavella
