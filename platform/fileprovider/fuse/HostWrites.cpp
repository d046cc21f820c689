#include "HostWrites.h"

#include "ErrnoMapping.h"
#include "FuseLog.h"
#include "NameDisambiguator.h"
#include "TrashFolder.h"
#include "WriterState.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

namespace pixavella {

namespace {

// A pause this long between two drops that start folders ends a batch.
constexpr std::chrono::milliseconds kBatchSettle{100};

timespec timeToSet(const struct stat& attr, int toSet, int given, int now, bool modification)
{
    timespec t{};
    if (toSet & now)
        ::clock_gettime(CLOCK_REALTIME, &t);
    else if (toSet & given)
        t = modification ? attr.st_mtim : attr.st_atim;
    return t;
}

FileProviderItemProperties templateFor(const FileProviderItemIdentifier& parent,
                                       const QByteArray& name, bool folder)
{
    FileProviderItemProperties t;
    t.parentItemIdentifier = parent;
    t.filename = QString::fromUtf8(name);
    t.contentType = folder ? ContentType::folder()
                           : ContentType::fromFilenameExtension(filenameExtension(t.filename))
                                 .value_or(ContentType::data());
    return t;
}

} // namespace

HostWrites::HostWrites(HostState& host) : m_host(host) {}

HostWrites::Onto HostWrites::renameOnto(const ReplicaEntry& moved,
                                        const std::optional<ReplicaEntry>& replaced)
{
    if (!replaced || replaced->item.itemIdentifier == moved.item.itemIdentifier)
        return {Onto::moveOnly};
    // The same photo shown in two folders (a month and an album) has the same contents: moved
    // onto its own name, nothing gives way, or the photo would go to the trash on its way home.
    const QByteArray contents = moved.item.itemVersion.contentVersion();
    if (!moved.isFolder && !replaced->isFolder && !contents.isEmpty() &&
        contents == replaced->item.itemVersion.contentVersion())
        return {Onto::moveOnly};
    if (replaced->isFolder || moved.isFolder)
        return {Onto::refuse, replaced->isFolder ? (moved.isFolder ? EPERM : EISDIR) : ENOTDIR};
    // Onto another photo's name: as on a disk, that photo gives way (to the server's trash, or
    // out of the album) before this one takes its name.
    return {Onto::replaceFirst};
}

std::optional<ReplicaEntry> HostWrites::folderForName(RequestId id, fuse_ino_t parent,
                                                      const QByteArray& name)
{
    const std::optional<ReplicaEntry> folder = m_host.replica.entry(parent);
    if (!folder || !folder->isFolder) {
        m_host.requests.fail(id, folder ? ENOTDIR : ENOENT);
        return std::nullopt;
    }
    if (name.size() > kMaxDiskNameBytes) {
        m_host.requests.fail(id, ENAMETOOLONG);
        return std::nullopt;
    }
    return folder;
}

void HostWrites::create(RequestId id, fuse_ino_t parent, QByteArray name, mode_t mode)
{
    const std::optional<ReplicaEntry> folder = folderForName(id, parent, name);
    if (!folder)
        return;
    if (m_host.replica.child(parent, name, false)) {
        m_host.requests.fail(id, EEXIST);
        return;
    }
    if (const int refused = creationRefusal(*folder, name)) {
        m_host.requests.fail(id, refused);
        return;
    }
    const Result<QPair<InodeNumber, quint64>> made = m_host.staging.create(parent, name, mode);
    if (!made) {
        m_host.requests.fail(id, errnoForError(made.error()));
        return;
    }
    const auto [ino, fh] = made.value();
    const std::optional<StagedFile> file = m_host.staging.file(ino);
    const fuse_entry_param ep = m_host.entryParam(*file);
    fuse_file_info fi{};
    fi.fh = fh;
    // The kernel hands cp's buffer to the daemon as it is instead of first copying it into
    // the page cache of a file whose bytes live in the staging file anyway: a fifth less
    // processor time per photo copied in. Shared mappings of this one handle are refused.
    fi.direct_io = 1;
    if (!m_host.requests.answer(id, [&](fuse_req_t req) { fuse_reply_create(req, &ep, &fi); })) {
        m_host.staging.release(fh);
        return;
    }
    // The kernel's entry for the name is the new file now, not the miss a copy looked up first.
    m_host.negatives.forget(parent, name);
}

void HostWrites::write(RequestId id, quint64 fh, const char* data, size_t size, off_t offset)
{
    if (!(fh & kStagedHandleBit)) {
        m_host.requests.fail(id, EBADF);
        return;
    }
    const Result<size_t> written = m_host.staging.write(fh, data, size, offset);
    if (!written) {
        m_host.requests.fail(id, errnoForError(written.error()));
        return;
    }
    m_host.requests.answer(id, [&](fuse_req_t req) { fuse_reply_write(req, written.value()); });
}

int HostWrites::creationRefusal(const ReplicaEntry& folder, const QByteArray& name)
{
    const FileProviderItemIdentifier& parentId = folder.item.itemIdentifier;
    if (TrashFolder::isLocalPlace(parentId, name))
        return 0;
    // A folder that takes nothing (a shared album the user may only view).
    if (!(folder.item.capabilities & FileProviderItemCapability::allowsWriting))
        return EPERM;
    try {
        const FileProviderItemRef t =
            FileProviderItemSnapshot::make(templateFor(parentId, name, false));
        const Result<void> checked = m_host.extension->checkFileCreation(*t);
        return checked ? 0 : errnoForError(checked.error());
    } catch (...) {
        return EIO;
    }
}

void HostWrites::flush(RequestId id, quint64 fh, pid_t pid)
{
    if (!(fh & kStagedHandleBit)) {
        m_host.requests.succeed(id);
        return;
    }
    std::optional<StagedHandOver> handOver = m_host.staging.flush(
        fh, m_host.whileAlive([this, id](int error) { m_host.requests.finish(id, error); }));
    if (!handOver)
        return;
    handOver->writerKilled = WriterState::isEndingBySignal(pid);
    handOver->writer = pid;
    startCreation(*handOver);
}

void HostWrites::fsync(RequestId id, quint64 fh)
{
    const Result<void> synced =
        (fh & kStagedHandleBit) ? m_host.staging.fsync(fh) : Result<void>::success();
    if (synced)
        m_host.requests.succeed(id);
    else
        m_host.requests.fail(id, errnoForError(synced.error()));
}

void HostWrites::startCreation(const StagedHandOver& handOver)
{
    // New bytes of an item are its new contents, unless they may be cut short: those become a
    // drop of their own (kept with the failed uploads), and the item stays as it was.
    const std::optional<ReplicaEntry> replaced = handOver.replaces && !handOver.writerKilled
                                                     ? m_host.replica.entry(*handOver.replaces)
                                                     : std::nullopt;
    if (replaced && !replaced->isFolder) {
        startReplacement(handOver, *replaced);
        return;
    }
    FileProviderItemProperties t = templateFor(handOver.parentIdentifier, handOver.name, false);
    t.documentSize = handOver.size;
    t.creationDate = handOver.modified;
    t.contentModificationDate = handOver.modified;
    using namespace FileProviderItemField;
    const FileProviderItemFields fields =
        contents | filename | parentItemIdentifier | creationDate | contentModificationDate;
    FileProviderCreateOptions options = 0;
    if (handOver.writerKilled)
        options |= FileProviderCreateOption::contentsMayBeIncomplete;
    if (handOver.durable)
        options |= FileProviderCreateOption::contentsMustBeDurable;
    auto completion = m_host.whileAlive([this, handOver](Result<FileProviderItemChange> result) {
        creationAnswered(handOver, std::move(result));
    });
    try {
        m_host.extension->createItem(FileProviderItemSnapshot::make(std::move(t)), fields,
                                     handOver.path, options, completion);
    } catch (...) {
        completion(fileError(EIO, QStringLiteral("createItem")));
    }
}

void HostWrites::startReplacement(const StagedHandOver& handOver, const ReplicaEntry& replaced)
{
    FileProviderItemProperties changed = replaced.item;
    changed.documentSize = handOver.size;
    changed.contentModificationDate = handOver.modified;
    auto completion = m_host.whileAlive([this, handOver](Result<FileProviderItemChange> result) {
        creationAnswered(handOver, std::move(result));
    });
    try {
        m_host.extension->modifyItem(FileProviderItemSnapshot::make(std::move(changed)),
                                     replaced.item.itemVersion, FileProviderItemField::contents,
                                     handOver.path, completion);
    } catch (...) {
        completion(fileError(EIO, QStringLiteral("modifyItem")));
    }
}

void HostWrites::creationAnswered(const StagedHandOver& handOver,
                                  Result<FileProviderItemChange> result)
{
    StagingArea::Outcome outcome = std::optional<FileProviderItemIdentifier>();
    int error = 0;
    if (!result) {
        error = errnoForError(result.error());
        qCInfo(lcFuseHost).noquote() << "creation of" << QString::fromUtf8(handOver.name)
                                     << "failed:" << result.error().description;
        outcome = result.error();
    } else if (const FileProviderItemRef& item = result.value().item) {
        // Filed in a folder not listed yet (a new year or month): it shows only once the
        // folders above it list again.
        const FileProviderItemIdentifier parent = item->parentItemIdentifier();
        bool firstInUnlistedParent = false;
        if (!m_host.replica.entry(parent)) {
            std::lock_guard lock(m_host.mutex);
            firstInUnlistedParent = !m_host.unlistedParents.contains(parent);
            m_host.unlistedParents.insert(parent);
        }
        // New contents came back as a new item: the one they replace leaves its folder first, so
        // that the name passes to the new one.
        if (handOver.replaces && *handOver.replaces != item->itemIdentifier())
            m_host.post(m_host.replica.removeItem(*handOver.replaces));
        m_host.post(m_host.replica.placeItem(item));
        // The folders above it are not known here: every listed folder lists again, when next
        // used rather than at once, so that a batch whose photos start many months costs no
        // listing on the way of each close.
        if (firstInUnlistedParent) {
            m_host.scheduler.markAllChanged(handOver.writer);
            // Listed again once the batch is over, without anyone waiting.
            m_host.deadlines.schedule(kBatchSettle, m_host.whileAlive([this] {
                m_host.scheduler.startMarkedOnceSettled(kBatchSettle);
            }));
        }
        outcome = std::optional(item->itemIdentifier());
    } else {
        // Nothing made and nothing said: answering success would let `mv` delete its source
        // while the drive keeps nothing.
        error = EPERM;
        outcome = fileError(EPERM, QStringLiteral("createItem"));
    }
    if (const std::optional<StagedHandOver> next =
            m_host.staging.creationEnded(handOver, outcome, error))
        startCreation(*next);
}

void HostWrites::setattr(RequestId id, fuse_ino_t ino, const struct stat& attr, int toSet,
                         quint64 fh)
{
    if (((toSet & FUSE_SET_ATTR_UID) && attr.st_uid != m_host.uid) ||
        ((toSet & FUSE_SET_ATTR_GID) && attr.st_gid != m_host.gid)) {
        m_host.requests.fail(id, EPERM);
        return;
    }
    const std::optional<off_t> size =
        (toSet & FUSE_SET_ATTR_SIZE) ? std::optional(attr.st_size) : std::nullopt;
    // Through a handle on a photo being written over: the file that holds its new bytes.
    if ((fh & kStagedHandleBit) && !m_host.staging.file(ino))
        if (const std::optional<InodeNumber> staged = m_host.staging.inodeOfHandle(fh))
            ino = fuse_ino_t(*staged);
    if (m_host.staging.file(ino)) {
        std::optional<timespec> atime, mtime;
        if (toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW))
            atime = timeToSet(attr, toSet, FUSE_SET_ATTR_ATIME, FUSE_SET_ATTR_ATIME_NOW, false);
        if (toSet & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW))
            mtime = timeToSet(attr, toSet, FUSE_SET_ATTR_MTIME, FUSE_SET_ATTR_MTIME_NOW, true);
        const std::optional<mode_t> mode =
            (toSet & FUSE_SET_ATTR_MODE) ? std::optional(attr.st_mode) : std::nullopt;
        const Result<StagedFile> file = m_host.staging.setAttributes(
            ino, (fh & kStagedHandleBit) ? fh : 0, size, mode, atime, mtime);
        if (!file) {
            m_host.requests.fail(id, errnoForError(file.error()));
            return;
        }
        const struct stat st = m_host.statOf(file.value());
        m_host.requests.answer(id, [&](fuse_req_t req) { fuse_reply_attr(req, &st, 0); });
        if (mtime && file.value().createdAs && !file.value().unsent)
            redateCreated(*file.value().createdAs, *mtime);
        return;
    }
    const std::optional<ReplicaEntry> e = m_host.replica.entry(ino);
    if (!e) {
        m_host.requests.fail(id, ENOENT);
        return;
    }
    // The extension's items keep their own times and modes: setting them is accepted and has
    // no effect, so that copies into the drive (cp -p, rsync -a) finish; contents never change
    // in place. A file still waiting for its upload takes a new time as its date, when it has
    // no date of its own (the extension tells).
    if (size) {
        m_host.requests.fail(id, e->isFolder ? EISDIR : EPERM);
        return;
    }
    const struct stat st = m_host.statOf(*e);
    m_host.requests.answer(
        id, [&](fuse_req_t req) { fuse_reply_attr(req, &st, m_host.kernelCacheSeconds); });
    if (!e->isFolder && (toSet & (FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW)))
        redateCreated(e->item.itemIdentifier,
                      timeToSet(attr, toSet, FUSE_SET_ATTR_MTIME, FUSE_SET_ATTR_MTIME_NOW, true));
}

void HostWrites::redateCreated(const FileProviderItemIdentifier& identifier, const timespec& mtime)
{
    const std::optional<ReplicaEntry> e = m_host.replica.entry(identifier);
    if (!e)
        return;
    FileProviderItemProperties changed = e->item;
    changed.contentModificationDate = QDateTime::fromMSecsSinceEpoch(
        qint64(mtime.tv_sec) * 1000 + mtime.tv_nsec / 1'000'000, Qt::UTC);
    const FileProviderItemIdentifier parentBefore = e->item.parentItemIdentifier;
    auto completion =
        m_host.whileAlive([this, parentBefore](Result<FileProviderItemChange> result) {
            if (!result || !result.value().item ||
                result.value().item->parentItemIdentifier() == parentBefore)
                return;
            // Filed in the month of its new date; the old name stays with the staging area for the
            // grace period, so the program that set the time still finds it.
            m_host.post(m_host.replica.placeItem(result.value().item));
        });
    try {
        m_host.extension->modifyItem(
            FileProviderItemSnapshot::make(std::move(changed)), e->item.itemVersion,
            FileProviderItemField::contentModificationDate, std::nullopt, completion);
    } catch (...) {
    }
}

void HostWrites::mkdir(RequestId id, fuse_ino_t parent, QByteArray name)
{
    const std::optional<ReplicaEntry> folder = folderForName(id, parent, name);
    if (!folder)
        return;
    const FileProviderItemIdentifier& parentId = folder->item.itemIdentifier;
    if (TrashFolder::isTrashName(name) ||
        (TrashFolder::isHostFolder(parentId) && parentId != FileProviderContainer::root)) {
        m_host.requests.fail(id, EPERM);
        return;
    }
    if (m_host.staging.find(parent, name) || m_host.replica.child(parent, name, false)) {
        m_host.requests.fail(id, EEXIST);
        return;
    }
    auto completion =
        m_host.completionFor(id, [this, id, parent, name](Result<FileProviderItemChange> result) {
            folderCreated(id, parent, name, std::move(result));
        });
    try {
        m_host.extension->createItem(
            FileProviderItemSnapshot::make(templateFor(parentId, name, true)),
            FileProviderItemField::filename | FileProviderItemField::parentItemIdentifier,
            std::nullopt, 0, completion);
    } catch (...) {
        completion(fileError(EIO, QStringLiteral("createItem")));
    }
}

void HostWrites::folderCreated(RequestId id, fuse_ino_t parent, const QByteArray& name,
                               Result<FileProviderItemChange> result)
{
    if (!result) {
        m_host.requests.fail(id, errnoForError(result.error()));
        return;
    }
    const FileProviderItemRef item = result.value().item;
    // Nothing was made: a folder that exists only here could take files nobody would keep.
    if (!item) {
        m_host.requests.fail(id, EPERM);
        return;
    }
    m_host.post(m_host.replica.placeItem(item, true));
    const std::optional<ReplicaEntry> e = m_host.replica.entry(item->itemIdentifier());
    if (!e) {
        m_host.requests.fail(id, EIO);
        return;
    }
    fuse_entry_param ep = m_host.entryParam(*e);
    if (e->parentIno != parent || e->diskName != name) {
        m_host.staging.remember(parent, name, e->item.itemIdentifier, e->ino, e->isFolder);
        ep.entry_timeout = 0;
    }
    bool sent = false;
    m_host.requests.answer(id, [&](fuse_req_t req) { sent = fuse_reply_entry(req, &ep) == 0; });
    if (!sent)
        m_host.replica.forget(e->ino, 1);
}

void HostWrites::remove(RequestId id, fuse_ino_t parent, QByteArray name, bool folder)
{
    std::optional<ReplicaEntry> e;
    if (const std::optional<StagedName> staged = m_host.staging.find(parent, name)) {
        if (staged->alias.isEmpty()) {
            const std::optional<StagedFile> file = m_host.staging.file(staged->ino);
            if (folder) {
                m_host.requests.fail(id, ENOTDIR);
                return;
            }
            // A file handed over moments ago: removing it removes what it became.
            if (file && file->createdAs && !file->unsent)
                e = m_host.replica.entry(*file->createdAs);
            if (!e) {
                m_host.staging.drop(parent, name);
                m_host.requests.succeed(id);
                return;
            }
        } else {
            e = m_host.replica.entry(staged->alias);
        }
    } else {
        e = m_host.replica.child(parent, name, false);
    }
    if (!e) {
        m_host.requests.fail(id, ENOENT);
        return;
    }
    if (TrashFolder::isHostFolder(e->item.itemIdentifier)) {
        m_host.requests.fail(id, EPERM);
        return;
    }
    if (folder != e->isFolder) {
        m_host.requests.fail(id, folder ? ENOTDIR : EISDIR);
        return;
    }
    if (!folder) {
        deleteNamed(id, parent, name, *e);
        return;
    }
    // rmdir removes empty folders only, as anywhere else: the folder must be known to be empty.
    const ReplicaEntry entry = *e;
    auto removeIfEmpty = m_host.completionFor(id, [this, id, parent, name,
                                                   entry](Result<void> ready) {
        if (!ready) {
            m_host.requests.fail(id, errnoForError(ready.error()));
            return;
        }
        const std::optional<QList<ReplicaEntry>> children = m_host.replica.children(entry.ino);
        if ((children && !children->isEmpty()) || !m_host.staging.entriesIn(entry.ino).isEmpty()) {
            m_host.requests.fail(id, ENOTEMPTY);
            return;
        }
        deleteNamed(id, parent, name, entry);
    });
    m_host.whenCurrent(entry.item.itemIdentifier, std::move(removeIfEmpty));
}

void HostWrites::deleteNamed(RequestId id, fuse_ino_t parent, const QByteArray& name,
                             const ReplicaEntry& entry)
{
    const FileProviderItemIdentifier identifier = entry.item.itemIdentifier;
    auto completion =
        m_host.completionFor(id, [this, id, parent, name, identifier](Result<void> result) {
            if (!result) {
                m_host.requests.fail(id, errnoForError(result.error()));
                return;
            }
            ReplicaDelta delta = m_host.replica.removeItem(identifier);
            m_host.staging.drop(parent, name);
            delta.entries.append({parent, name});
            m_host.post(delta);
            m_host.requests.succeed(id);
        });
    try {
        m_host.extension->deleteItem(identifier, entry.item.itemVersion, 0, completion);
    } catch (...) {
        completion(fileError(EIO, QStringLiteral("deleteItem")));
    }
}

void HostWrites::rename(RequestId id, fuse_ino_t parent, QByteArray name, fuse_ino_t newParent,
                        QByteArray newName, unsigned flags)
{
    // An exchange cannot be asked of the extension; only "do not replace" can be honoured.
    if (flags & ~unsigned(RENAME_NOREPLACE)) {
        m_host.requests.fail(id, EINVAL);
        return;
    }
    const std::optional<ReplicaEntry> newFolder = folderForName(id, newParent, newName);
    if (!newFolder)
        return;
    if ((flags & RENAME_NOREPLACE) && (m_host.staging.find(newParent, newName) ||
                                       m_host.replica.child(newParent, newName, false))) {
        m_host.requests.fail(id, EEXIST);
        return;
    }
    const FileProviderItemIdentifier& newParentId = newFolder->item.itemIdentifier;
    RenameSource source;
    std::optional<ReplicaEntry> e;
    if (const std::optional<StagedName> staged = m_host.staging.find(parent, name)) {
        if (staged->alias.isEmpty()) {
            const std::optional<StagedFile> file = m_host.staging.file(staged->ino);
            if (!file) {
                m_host.requests.fail(id, ENOENT);
                return;
            }
            if (file->createdAs && !file->unsent)
                e = m_host.replica.entry(*file->createdAs);
            if (!e) {
                if (TrashFolder::isLocalPlace(newParentId, newName) || !file->unsent) {
                    m_host.staging.rename(staged->ino, newParent, newName);
                    m_host.requests.succeed(id);
                    return;
                }
                // A hidden file takes its visible name: only now does it become an item. Onto
                // a photo's name, it is that photo's new contents (how editors save).
                if (const int refused = creationRefusal(*newFolder, newName)) {
                    m_host.requests.fail(id, refused);
                    return;
                }
                const std::optional<ReplicaEntry> replaced =
                    m_host.replica.child(newParent, newName, false);
                if (replaced && replaced->isFolder) {
                    m_host.requests.fail(id, EISDIR);
                    return;
                }
                const std::optional<StagedHandOver> handOver = m_host.staging.createAt(
                    staged->ino, newParent, newParentId, newName,
                    m_host.whileAlive([this, id](int error) { m_host.requests.finish(id, error); }),
                    replaced ? std::optional(replaced->item.itemIdentifier) : std::nullopt);
                if (handOver)
                    startCreation(*handOver);
                return;
            }
            source.localFile = staged->ino;
        } else {
            e = m_host.replica.entry(staged->alias);
            source.viaAlias = true;
        }
    } else {
        e = m_host.replica.child(parent, name, false);
    }
    if (!e) {
        m_host.requests.fail(id, ENOENT);
        return;
    }
    if (TrashFolder::isHostFolder(e->item.itemIdentifier) ||
        newParentId == FuseHostFolder::trashRoot || newParentId == FuseHostFolder::trashInfo) {
        m_host.requests.fail(id, EPERM);
        return;
    }
    source.identifier = e->item.itemIdentifier;
    source.before = e->item;
    const std::optional<ReplicaEntry> replaced = m_host.replica.child(newParent, newName, false);
    const Onto onto = renameOnto(*e, replaced);
    if (onto.step == Onto::moveOnly) {
        modifyForRename(id, parent, name, *newFolder, newName, std::move(source));
        return;
    }
    if (onto.step == Onto::refuse) {
        m_host.requests.fail(id, onto.error);
        return;
    }
    const ReplicaEntry folder = *newFolder;
    const FileProviderItemIdentifier replacedId = replaced->item.itemIdentifier;
    auto completion = m_host.completionFor(
        id, [this, id, parent, name, folder, newName, replacedId, source](Result<void> result) {
            if (!result) {
                m_host.requests.fail(id, errnoForError(result.error()));
                return;
            }
            ReplicaDelta delta = m_host.replica.removeItem(replacedId);
            delta.entries.append({folder.ino, newName});
            m_host.post(delta);
            modifyForRename(id, parent, name, folder, newName, source);
        });
    try {
        m_host.extension->deleteItem(replacedId, replaced->item.itemVersion, 0, completion);
    } catch (...) {
        completion(fileError(EIO, QStringLiteral("deleteItem")));
    }
}

void HostWrites::modifyForRename(RequestId id, fuse_ino_t parent, const QByteArray& name,
                                 const ReplicaEntry& newFolder, const QByteArray& newName,
                                 RenameSource source)
{
    FileProviderItemProperties changed = source.before;
    changed.parentItemIdentifier = newFolder.item.itemIdentifier;
    changed.filename = NameDisambiguator::filenameOf(newName);
    FileProviderItemFields fields = 0;
    if (changed.parentItemIdentifier != source.before.parentItemIdentifier)
        fields |= FileProviderItemField::parentItemIdentifier;
    if (changed.filename != source.before.filename)
        fields |= FileProviderItemField::filename;
    const fuse_ino_t newParent = newFolder.ino;
    if (fields == 0) {
        // Only the name on disk changed (one of several same names): nothing to ask.
        ReplicaDelta delta;
        delta.entries.append({parent, name});
        delta.entries.append({newParent, newName});
        m_host.post(delta);
        m_host.requests.succeed(id);
        return;
    }
    auto completion = m_host.completionFor(id, [this, id, parent, name, newParent, newName,
                                                source](Result<FileProviderItemChange> result) {
        renameAnswered(id, parent, name, newParent, newName, source, std::move(result));
    });
    try {
        m_host.extension->modifyItem(FileProviderItemSnapshot::make(std::move(changed)),
                                     source.before.itemVersion, fields, std::nullopt, completion);
    } catch (...) {
        completion(fileError(EIO, QStringLiteral("modifyItem")));
    }
}

void HostWrites::renameAnswered(RequestId id, fuse_ino_t parent, const QByteArray& name,
                                fuse_ino_t newParent, const QByteArray& newName,
                                const RenameSource& source, Result<FileProviderItemChange> result)
{
    if (!result) {
        m_host.requests.fail(id, errnoForError(result.error()));
        return;
    }
    const FileProviderItemRef item = result.value().item;
    // The extension put it back (or kept nothing of the move): the item stays where it was.
    if (!item || (item->itemIdentifier() == source.identifier &&
                  item->parentItemIdentifier() == source.before.parentItemIdentifier &&
                  item->filename() == source.before.filename)) {
        m_host.requests.fail(id, EPERM);
        return;
    }
    ReplicaDelta delta = m_host.replica.placeItem(item);
    for (const FileProviderItemIdentifier& gone : result.value().removedIdentifiers) {
        const ReplicaDelta removed = m_host.replica.removeItem(gone);
        delta.entries += removed.entries;
        delta.inodes += removed.inodes;
        delta.droppedContainers += removed.droppedContainers;
    }
    delta.entries.append({parent, name});
    delta.entries.append({newParent, newName});
    if (source.localFile) {
        m_host.staging.rename(source.localFile, newParent, newName);
    } else {
        if (source.viaAlias)
            m_host.staging.drop(parent, name);
        const std::optional<ReplicaEntry> placed = m_host.replica.entry(item->itemIdentifier());
        if (placed && (placed->parentIno != newParent || placed->diskName != newName))
            m_host.staging.remember(newParent, newName, placed->item.itemIdentifier, placed->ino,
                                    placed->isFolder);
        else
            m_host.staging.drop(newParent, newName);
    }
    m_host.post(delta);
    m_host.requests.succeed(id);
}

} // namespace pixavella
