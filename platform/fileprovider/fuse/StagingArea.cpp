#include "StagingArea.h"

#include "Clock.h"
#include "TrashFolder.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace pixavella {

namespace {

timespec realNow()
{
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

QDateTime dateOf(const timespec& t)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(t.tv_sec) * 1000 + t.tv_nsec / 1'000'000, Qt::UTC);
}

int errnoOf(const Error& error)
{
    return error.domain == ErrorDomain::File && error.code > 0 ? error.code : EIO;
}

Result<void> copyAll(int from, int to, qint64 size)
{
    std::vector<char> buffer(1 << 20);
    for (qint64 done = 0; done < size;) {
        const ssize_t n = ::pread(from, buffer.data(), buffer.size(), off_t(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return fileError(n < 0 ? errno : EIO, QStringLiteral("staging copy"));
        for (ssize_t put = 0; put < n;) {
            const ssize_t w = ::pwrite(to, buffer.data() + put, size_t(n - put), off_t(done + put));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0)
                return fileError(errno, QStringLiteral("staging copy"));
            put += w;
        }
        done += n;
    }
    return Result<void>::success();
}

} // namespace

StagingArea::Descriptor::~Descriptor()
{
    if (fd >= 0)
        ::close(fd);
}

StagingArea::StagingArea(QString directory, Replica& replica, double graceSeconds)
    : m_directory(std::move(directory)), m_replica(replica), m_graceSeconds(graceSeconds)
{
    // What a previous mount left was never confirmed to anyone: it goes.
    QDir(m_directory).removeRecursively();
    QDir().mkpath(m_directory);
}

StagingArea::~StagingArea()
{
    const Locked lock(*this);
    m_nodes.clear();
    QDir(m_directory).removeRecursively();
}

void StagingArea::sweepLocked()
{
    // Every lookup sweeps, and a batch of drops leaves hundreds of names in their grace
    // period: the nodes are scanned only once the earliest of them may have expired.
    const QDateTime now = Clock::now();
    if (!m_nextExpiry || now < *m_nextExpiry)
        return;
    m_nextExpiry.reset();
    QList<InodeNumber> expired;
    for (auto it = m_nodes.cbegin(); it != m_nodes.cend(); ++it) {
        if (!it->named || !it->expires)
            continue;
        if (*it->expires <= now)
            expired.append(it.key());
        else
            noteExpiryLocked(*it->expires);
    }
    for (InodeNumber ino : std::as_const(expired)) {
        unnameLocked(m_nodes[ino]);
        eraseIfIdleLocked(ino);
    }
    for (auto it = m_aliases.begin(); it != m_aliases.end();) {
        if (it->expires <= now) {
            it = m_aliases.erase(it);
        } else {
            noteExpiryLocked(it->expires);
            ++it;
        }
    }
}

void StagingArea::noteExpiryLocked(const QDateTime& expires)
{
    if (!m_nextExpiry || expires < *m_nextExpiry)
        m_nextExpiry = expires;
}

void StagingArea::unnameLocked(Node& node)
{
    if (!node.named)
        return;
    const Key key{node.state.parent, node.state.name};
    if (m_names.value(key) == node.state.ino)
        m_names.remove(key);
    node.named = false;
}

void StagingArea::dropLocked(const Key& key)
{
    m_aliases.remove(key);
    const InodeNumber ino = m_names.value(key);
    if (!ino)
        return;
    Node& n = m_nodes[ino];
    n.removed = true;
    unnameLocked(n);
    eraseIfIdleLocked(ino);
}

StagingArea::Locked::~Locked()
{
    Leftovers gone = std::exchange(m_area.m_leftovers, {});
    m_lock.unlock();
    for (const QString& path : std::as_const(gone.paths))
        QFile::remove(path);
}

void StagingArea::leaveLocked(DescriptorRef file, const QString& path)
{
    if (file)
        m_leftovers.files.append(std::move(file));
    if (!path.isEmpty())
        m_leftovers.paths.append(path);
}

void StagingArea::eraseIfIdleLocked(InodeNumber ino)
{
    auto it = m_nodes.find(ino);
    if (it == m_nodes.end() || it->handles > 0 || it->creating)
        return;
    Node& n = *it;
    if (n.named) {
        // Its bytes are with the extension and nobody reads them here: free the descriptor.
        if (n.path.isEmpty())
            leaveLocked(std::exchange(n.file, {}));
        return;
    }
    leaveLocked(std::exchange(n.file, {}), n.path);
    m_nodes.erase(it);
}

Result<void> StagingArea::ownFileLocked(Node& node, bool keepData)
{
    if (!node.handedOver && node.file && !node.path.isEmpty())
        return Result<void>::success();
    if (keepData && !node.file && node.state.size > 0)
        return fileError(EPERM, QStringLiteral("contents already handed over"));
    const QString path = m_directory + u'/' + QString::number(m_nextFile++);
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return fileError(errno, path);
    if (keepData && node.file) {
        const Result<void> copied = copyAll(node.file->fd, fd, node.state.size);
        if (!copied) {
            ::close(fd);
            QFile::remove(path);
            return copied;
        }
    }
    if (!keepData)
        node.state.size = 0;
    node.file = std::make_shared<Descriptor>(fd);
    node.path = path;
    node.handedOver = false;
    node.synced = false;
    const timespec times[2] = {node.state.atime, node.state.mtime};
    ::futimens(fd, times);
    return Result<void>::success();
}

StagingArea::Node* StagingArea::nodeOfHandleLocked(quint64 fh, Handle** handle)
{
    auto h = m_handles.find(fh);
    if (h == m_handles.end())
        return nullptr;
    if (handle)
        *handle = &*h;
    auto n = m_nodes.find(h->ino);
    return n == m_nodes.end() ? nullptr : &*n;
}

bool StagingArea::isLocalPlaceLocked(const Node& node) const
{
    const std::optional<ReplicaEntry> parent = m_replica.entry(node.state.parent);
    return !parent || TrashFolder::isLocalPlace(parent->item.itemIdentifier, node.state.name);
}

std::optional<StagedName> StagingArea::find(InodeNumber parent, const QByteArray& name)
{
    const Locked lock(*this);
    sweepLocked();
    const Key key{parent, name};
    if (const InodeNumber ino = m_names.value(key))
        return StagedName{name, ino, {}, false};
    auto a = m_aliases.constFind(key);
    if (a != m_aliases.cend())
        return StagedName{name, a->ino, a->identifier, a->isFolder};
    return std::nullopt;
}

QList<StagedName> StagingArea::entriesIn(InodeNumber folder)
{
    const Locked lock(*this);
    sweepLocked();
    QList<StagedName> list;
    for (auto it = m_names.cbegin(); it != m_names.cend(); ++it) {
        if (it.key().first != folder)
            continue;
        // A file handed over shows here while what it became waits (its upload); once that
        // item has been listed and left (the photo took its place in its month), the name would
        // be a second entry beside it.
        const auto node = m_nodes.find(it.value());
        if (node != m_nodes.end() && node->state.createdAs && !node->state.unsent) {
            const bool present = m_replica.entry(*node->state.createdAs).has_value();
            node->itemSeen = node->itemSeen || present;
            if (node->itemSeen && !present)
                continue;
        }
        list.append({it.key().second, it.value(), {}, false});
    }
    // Aliases only answer lookups: the program that moved or made something there finds it,
    // and listings show where it really is.
    return list;
}

std::optional<StagedFile> StagingArea::file(InodeNumber ino)
{
    const Locked lock(*this);
    auto it = m_nodes.constFind(ino);
    if (it == m_nodes.cend())
        return std::nullopt;
    StagedFile f = it->state;
    f.hasData = bool(it->file);
    return f;
}

Result<QPair<InodeNumber, quint64>>
StagingArea::create(InodeNumber parent, const QByteArray& name, mode_t mode,
                    const std::optional<FileProviderItemIdentifier>& replaces)
{
    const Locked lock(*this);
    Result<Node> n = newNodeLocked(parent, name, mode, replaces);
    if (!n)
        return n.error();
    return insertLocked(std::move(n.value()), true, 0);
}

Result<QPair<InodeNumber, quint64>>
StagingArea::createOver(InodeNumber parent, const QByteArray& name, mode_t mode,
                        const FileProviderItemIdentifier& replaces, InodeNumber openedAs,
                        const QString& contents)
{
    std::unique_lock lock(m_mutex);
    Result<Node> made = newNodeLocked(parent, name, mode, replaces);
    if (!made)
        return made.error();
    Node n = std::move(made.value());
    if (contents.isEmpty())
        return insertLocked(std::move(n), true, openedAs);
    // A video can take a while to copy: the other files are not held up meanwhile.
    lock.unlock();
    const int from = ::open(QFile::encodeName(contents).constData(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    const Result<void> copied = from < 0             ? fileError(errno, contents)
                                : ::fstat(from, &st) ? fileError(errno, contents)
                                                     : copyAll(from, n.file->fd, st.st_size);
    if (from >= 0)
        ::close(from);
    lock.lock();
    const Key key{parent, name};
    const bool taken = m_names.contains(key) || m_aliases.contains(key);
    if (!copied || taken) {
        n.file.reset();
        QFile::remove(n.path);
        return taken ? fileError(EEXIST, QString::fromUtf8(name)) : copied.error();
    }
    n.state.size = st.st_size;
    n.state.unsent = false;
    n.copyOfItem = true;
    return insertLocked(std::move(n), false, openedAs);
}

Result<StagingArea::Node>
StagingArea::newNodeLocked(InodeNumber parent, const QByteArray& name, mode_t mode,
                           const std::optional<FileProviderItemIdentifier>& replaces)
{
    sweepLocked();
    const Key key{parent, name};
    if (m_names.contains(key) || m_aliases.contains(key))
        return fileError(EEXIST, QString::fromUtf8(name));
    const quint64 number = m_nextFile;
    Node n;
    n.state.ino = m_replica.reserveInode(QStringLiteral("#fusehost:staged/%1").arg(number));
    n.state.parent = parent;
    n.state.name = name;
    n.state.mode = mode & 07777;
    n.state.atime = n.state.mtime = realNow();
    n.state.unsent = true;
    n.state.replaces = replaces;
    const Result<void> made = ownFileLocked(n, false);
    if (!made)
        return made.error();
    return n;
}

QPair<InodeNumber, quint64> StagingArea::insertLocked(Node n, bool wrote, InodeNumber openedAs)
{
    n.handles = 1;
    const InodeNumber ino = n.state.ino;
    m_names.insert(Key{n.state.parent, n.state.name}, ino);
    m_nodes.insert(ino, std::move(n));
    const quint64 fh = kStagedHandleBit | m_nextHandle++;
    m_handles.insert(fh, Handle{ino, wrote, openedAs});
    return QPair<InodeNumber, quint64>(ino, fh);
}

std::optional<StagedFile> StagingArea::fileOpenedAs(InodeNumber openedAs)
{
    const Locked lock(*this);
    for (const Handle& h : std::as_const(m_handles)) {
        if (h.openedAs != openedAs)
            continue;
        auto it = m_nodes.constFind(h.ino);
        if (it == m_nodes.cend())
            continue;
        StagedFile f = it->state;
        f.hasData = bool(it->file);
        return f;
    }
    return std::nullopt;
}

std::optional<InodeNumber> StagingArea::inodeOfHandle(quint64 fh)
{
    const Locked lock(*this);
    auto it = m_handles.constFind(fh);
    if (it == m_handles.cend())
        return std::nullopt;
    return it->ino;
}

Result<quint64> StagingArea::open(InodeNumber ino, int flags)
{
    const Locked lock(*this);
    auto it = m_nodes.find(ino);
    if (it == m_nodes.end())
        return fileError(ENOENT, QStringLiteral("local file"));
    Node& n = *it;
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    bool truncated = false;
    if (flags & O_TRUNC) {
        const Result<void> own = ownFileLocked(n, false);
        if (!own)
            return own.error();
        if (::ftruncate(n.file->fd, 0) != 0)
            return fileError(errno, n.path);
        n.state.size = 0;
        n.state.mtime = realNow();
        n.state.unsent = true;
        n.failure = 0;
        n.expires.reset();
        truncated = true;
    } else if (!n.file) {
        // The bytes went to the extension; only a fresh start can be written here.
        return fileError(writing ? EPERM : ENOENT, QStringLiteral("local file"));
    }
    ++n.handles;
    const quint64 fh = kStagedHandleBit | m_nextHandle++;
    m_handles.insert(fh, Handle{ino, truncated});
    return fh;
}

Result<size_t> StagingArea::write(quint64 fh, const char* data, size_t size, off_t offset)
{
    DescriptorRef file;
    InodeNumber ino = 0;
    {
        const Locked lock(*this);
        Handle* h = nullptr;
        Node* n = nodeOfHandleLocked(fh, &h);
        if (!n)
            return fileError(EBADF, QStringLiteral("write"));
        if (n->failure)
            return fileError(n->failure, n->path);
        const Result<void> own = ownFileLocked(*n, true);
        if (!own) {
            n->failure = errnoOf(own.error());
            return own.error();
        }
        file = n->file;
        ino = n->state.ino;
        h->wrote = true;
    }
    size_t done = 0;
    int error = 0;
    while (done < size) {
        const ssize_t w = ::pwrite(file->fd, data + done, size - done, offset + off_t(done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0) {
            error = errno;
            break;
        }
        done += size_t(w);
    }
    const Locked lock(*this);
    auto it = m_nodes.find(ino);
    if (it == m_nodes.end())
        return fileError(EBADF, QStringLiteral("write"));
    Node& n = *it;
    // A write that did not land whole leaves a hole the writer may never fill: the file is
    // failed, so that what it holds is never taken for the photo.
    if (error) {
        n.failure = error;
        return fileError(error, n.path);
    }
    if (n.file == file) {
        n.state.size = qMax<qint64>(n.state.size, qint64(offset) + qint64(done));
        n.state.mtime = realNow();
        n.state.unsent = true;
        n.expires.reset();
    }
    return done;
}

Result<size_t> StagingArea::read(quint64 fh, char* buffer, size_t size, off_t offset)
{
    DescriptorRef file;
    {
        const Locked lock(*this);
        Node* n = nodeOfHandleLocked(fh);
        if (!n || !n->file)
            return fileError(EBADF, QStringLiteral("read"));
        file = n->file;
    }
    size_t got = 0;
    while (got < size) {
        const ssize_t r = ::pread(file->fd, buffer + got, size - got, offset + off_t(got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return fileError(errno, QStringLiteral("read"));
        if (r == 0)
            break;
        got += size_t(r);
    }
    return got;
}

Result<void> StagingArea::fsync(quint64 fh)
{
    DescriptorRef file;
    InodeNumber ino = 0;
    {
        const Locked lock(*this);
        Node* n = nodeOfHandleLocked(fh);
        if (!n || !n->file || n->handedOver)
            return Result<void>::success();
        if (n->failure)
            return fileError(n->failure, n->path);
        file = n->file;
        ino = n->state.ino;
    }
    if (::fdatasync(file->fd) != 0) {
        const int error = errno;
        const Locked lock(*this);
        if (auto it = m_nodes.find(ino); it != m_nodes.end())
            it->failure = error;
        return fileError(error, QStringLiteral("fsync"));
    }
    const Locked lock(*this);
    if (auto it = m_nodes.find(ino); it != m_nodes.end() && it->file == file)
        it->synced = true;
    return Result<void>::success();
}

std::optional<QPair<InodeNumber, QByteArray>> StagingArea::release(quint64 fh)
{
    const Locked lock(*this);
    const std::optional<Handle> h =
        m_handles.contains(fh) ? std::optional(m_handles.take(fh)) : std::nullopt;
    if (!h)
        return std::nullopt;
    auto n = m_nodes.find(h->ino);
    if (n == m_nodes.end())
        return std::nullopt;
    --n->handles;
    std::optional<QPair<InodeNumber, QByteArray>> freed;
    // Opened for writing and closed unchanged: nothing to send, the item keeps its name.
    if (n->handles == 0 && n->copyOfItem && !n->state.unsent && !n->handedOver && !n->creating &&
        n->named) {
        freed = Key{n->state.parent, n->state.name};
        n->removed = true;
        unnameLocked(*n);
    }
    eraseIfIdleLocked(h->ino);
    return freed;
}

Result<StagedFile> StagingArea::setAttributes(InodeNumber ino, quint64 fh,
                                              std::optional<off_t> size, std::optional<mode_t> mode,
                                              std::optional<timespec> atime,
                                              std::optional<timespec> mtime)
{
    const Locked lock(*this);
    auto it = m_nodes.find(ino);
    if (it == m_nodes.end())
        return fileError(ENOENT, QStringLiteral("local file"));
    Node& n = *it;
    if (size) {
        const Result<void> own = ownFileLocked(n, *size > 0);
        if (!own)
            return own.error();
        if (::ftruncate(n.file->fd, *size) != 0)
            return fileError(errno, n.path);
        n.state.size = *size;
        if (*size == 0)
            n.failure = 0; // written again from the start
        n.state.mtime = realNow();
        n.state.unsent = true;
        n.expires.reset();
        if (auto h = m_handles.find(fh); h != m_handles.end())
            h->wrote = true;
    }
    if (mode)
        n.state.mode = *mode & 07777;
    if (atime)
        n.state.atime = *atime;
    if (mtime)
        n.state.mtime = *mtime;
    // The file the extension was handed keeps the times it had.
    if ((atime || mtime) && !n.handedOver && n.file) {
        const timespec times[2] = {n.state.atime, n.state.mtime};
        ::futimens(n.file->fd, times);
    }
    StagedFile f = n.state;
    f.hasData = bool(n.file);
    return f;
}

std::optional<StagedHandOver>
StagingArea::handOverLocked(Node& node, InodeNumber parent,
                            const FileProviderItemIdentifier& parentId, const QByteArray& name)
{
    if (node.failure || !ownFileLocked(node, true))
        return std::nullopt;
    // Every byte the program wrote, and nothing else: a file shorter or longer than what was
    // written to it is not the program's file.
    struct stat st {};
    if (::fstat(node.file->fd, &st) != 0 || st.st_size != node.state.size) {
        node.failure = EIO;
        return std::nullopt;
    }
    node.creating = true;
    node.handedOver = true;
    node.state.unsent = false;
    StagedHandOver handOver;
    handOver.ino = node.state.ino;
    handOver.parent = parent;
    handOver.parentIdentifier = parentId;
    handOver.name = name;
    handOver.path = node.path;
    handOver.size = node.state.size;
    handOver.modified = dateOf(node.state.mtime);
    handOver.durable = node.synced;
    handOver.replaces = node.state.createdAs ? node.state.createdAs : node.state.replaces;
    return handOver;
}

std::optional<StagedHandOver> StagingArea::flush(quint64 fh, Waiter waiter)
{
    int answer = 0;
    {
        const Locked lock(*this);
        Handle* h = nullptr;
        Node* n = nodeOfHandleLocked(fh, &h);
        if (n && (h->wrote || n->failure)) {
            h->wrote = false;
            if (n->creating) {
                n->next.append(std::move(waiter));
                return std::nullopt;
            }
            if (!n->failure && n->state.unsent && !n->removed && !isLocalPlaceLocked(*n)) {
                const std::optional<ReplicaEntry> parent = m_replica.entry(n->state.parent);
                std::optional<StagedHandOver> handOver =
                    handOverLocked(*n, n->state.parent, parent->item.itemIdentifier, n->state.name);
                if (handOver) {
                    n->current.append(std::move(waiter));
                    return handOver;
                }
                if (!n->failure)
                    n->failure = EIO;
            }
            if (n->failure) {
                answer = n->failure;
                n->removed = true;
                unnameLocked(*n);
            }
        }
    }
    waiter(answer);
    return std::nullopt;
}

std::optional<StagedHandOver>
StagingArea::createAt(InodeNumber ino, InodeNumber parent,
                      const FileProviderItemIdentifier& parentIdentifier, const QByteArray& name,
                      Waiter waiter, const std::optional<FileProviderItemIdentifier>& replaces)
{
    int answer = ENOENT;
    {
        const Locked lock(*this);
        auto it = m_nodes.find(ino);
        if (it != m_nodes.end()) {
            answer = EBUSY;
            if (!it->creating) {
                if (replaces)
                    it->state.replaces = replaces;
                std::optional<StagedHandOver> handOver =
                    handOverLocked(*it, parent, parentIdentifier, name);
                if (handOver) {
                    it->moveTo = Key{parent, name};
                    it->current.append(std::move(waiter));
                    return handOver;
                }
                answer = EPERM;
            }
        }
    }
    waiter(answer);
    return std::nullopt;
}

std::optional<StagedHandOver> StagingArea::creationEnded(const StagedHandOver& handOver,
                                                         const Outcome& outcome, int error)
{
    QList<Waiter> waiters;
    QList<Waiter> failed;
    std::optional<StagedHandOver> next;
    {
        const Locked lock(*this);
        auto it = m_nodes.find(handOver.ino);
        if (it == m_nodes.end())
            return std::nullopt;
        Node* n = &*it;
        n->creating = false;
        waiters = std::move(n->current);
        n->current.clear();
        if (outcome) {
            // The extension linked or copied it before answering.
            leaveLocked({}, handOver.path);
            if (n->path == handOver.path)
                n->path.clear();
            n->state.createdAs = outcome.value();
            if (n->moveTo) {
                unnameLocked(*n);
                n->state.parent = n->moveTo->first;
                n->state.name = n->moveTo->second;
            }
            if (!n->removed) {
                const Key key{n->state.parent, n->state.name};
                if (m_names.value(key) != n->state.ino) {
                    dropLocked(key);
                    // Erasing the node that had the name may have moved this one.
                    n = &*m_nodes.find(handOver.ino);
                    m_names.insert(key, n->state.ino);
                }
                m_aliases.remove(key);
                n->named = true;
                if (!n->state.unsent)
                    n->expires = Clock::now().addMSecs(qint64(m_graceSeconds * 1000));
                if (n->expires)
                    noteExpiryLocked(*n->expires);
            }
        } else {
            if (n->path == handOver.path)
                n->handedOver = false;
            n->state.unsent = true;
            // A rename keeps the file under its old name; a close that failed takes it away.
            if (!n->moveTo) {
                n->failure = error ? error : EIO;
                n->removed = true;
                unnameLocked(*n);
            }
        }
        n->moveTo.reset();
        if (!n->next.isEmpty()) {
            // Closes that came while it ran wait for the bytes they wrote.
            const bool more = outcome && n->state.unsent && !n->removed && !isLocalPlaceLocked(*n);
            if (more) {
                const std::optional<ReplicaEntry> parent = m_replica.entry(n->state.parent);
                next =
                    handOverLocked(*n, n->state.parent, parent->item.itemIdentifier, n->state.name);
            }
            if (next)
                n->current = std::move(n->next);
            else
                (more ? failed : waiters).append(n->next);
            n->next.clear();
        }
        eraseIfIdleLocked(handOver.ino);
    }
    const int answer = outcome ? error : (error ? error : EIO);
    for (const Waiter& w : std::as_const(waiters))
        w(answer);
    for (const Waiter& w : std::as_const(failed))
        w(EIO);
    return next;
}

void StagingArea::rename(InodeNumber ino, InodeNumber parent, const QByteArray& name)
{
    const Locked lock(*this);
    auto it = m_nodes.find(ino);
    if (it == m_nodes.end())
        return;
    const Key key{parent, name};
    if (m_names.value(key) != ino) {
        dropLocked(key);
        // Erasing the node that had the name may have moved the others within the table.
        it = m_nodes.find(ino);
        if (it == m_nodes.end())
            return;
    }
    unnameLocked(*it);
    it->state.parent = parent;
    it->state.name = name;
    it->named = true;
    if (it->expires)
        noteExpiryLocked(*it->expires);
    m_names.insert(key, ino);
}

void StagingArea::remember(InodeNumber parent, const QByteArray& name,
                           const FileProviderItemIdentifier& identifier, InodeNumber ino,
                           bool isFolder)
{
    const Locked lock(*this);
    const Key key{parent, name};
    dropLocked(key);
    const QDateTime expires = Clock::now().addMSecs(qint64(m_graceSeconds * 1000));
    m_aliases.insert(key, Alias{identifier, ino, isFolder, expires});
    noteExpiryLocked(expires);
}

void StagingArea::drop(InodeNumber parent, const QByteArray& name)
{
    const Locked lock(*this);
    dropLocked({parent, name});
}

} // namespace pixavella
