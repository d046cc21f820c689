#include "UploadQuarantine.h"

#include "Clock.h"
#include "ContainerPaths.h"
#include "DedupIndex.h"
#include "SharedSettings.h"
#include "Signals.h"
#include "StoreFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace pixavella {

const QString UploadQuarantine::errorDomain = QStringLiteral("UploadQuarantine.QError");

namespace {

const QString kManifest = QStringLiteral(".manifest.json");
const QString kIncoming = QStringLiteral(".incoming");
const QString kPayload = QStringLiteral("payload");
// How late the application may hear of a new entry: a batch posts once per window.
constexpr std::chrono::milliseconds kSignalWindow{250};
// How long a payload seen in its entry is taken to be there still.
constexpr qint64 kPayloadRecheckMs = 30'000;
// How long recentList() gives again what it found, when nothing it can see changed: long
// enough for the listings of one refresh, short enough for a manifest another process
// rewrote.
constexpr qint64 kListReuseMs = 1'000;
// A folder changed this recently may change again under the same time stamp (the kernel's
// file times advance by its clock tick): a listing is only reused once its time is older.
constexpr qint64 kFolderTimeTickNs = 20'000'000;

// Bumped by every change this process makes to an entry, through any instance.
std::atomic<quint64> entriesGeneration{0};

std::filesystem::path nativePath(const QString& path)
{
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

// Entry ids come from item identifiers; anything that is not a plain folder name could
// reach outside the quarantine (".." is the container itself).
bool isPlainName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

void removeTree(const QString& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(nativePath(path), ignored);
}

QString isoText(const QDateTime& t)
{
    return t.toUTC().toString(Qt::ISODate);
}

std::optional<QDateTime> fromIsoText(const QJsonValue& value)
{
    if (!value.isString())
        return std::nullopt;
    const QDateTime t = QDateTime::fromString(value.toString(), Qt::ISODate);
    // Text without a zone would be read in local time: not what the manifest writes.
    if (!t.isValid() || t.timeSpec() == Qt::LocalTime)
        return std::nullopt;
    return t.toUTC();
}

// Writes all of `size` bytes, retrying after interruptions.
bool writeAll(int fd, const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// Copies source to a new file `to`, flushed to the disk before it is given its final name:
// an entry's payload is the only copy of the user's file once the drop is answered.
Result<void> copyFile(const QString& source, const QString& to)
{
    const QByteArray from = QFile::encodeName(source);
    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return fileError(errno, QStringLiteral("open %1").arg(source));
    const QByteArray target = QFile::encodeName(to);
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return fileError(error, QStringLiteral("create %1").arg(to));
    }
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    int error = 0;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), size_t(buffer.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            break;
        }
        if (n == 0)
            break;
        if (!writeAll(out, buffer.constData(), n)) {
            error = errno;
            break;
        }
    }
    if (error == 0 && ::fsync(out) != 0)
        error = errno;
    if (::close(out) != 0 && error == 0)
        error = errno;
    ::close(in);
    if (error != 0)
        return fileError(error, QStringLiteral("copy %1").arg(source));
    return Result<void>::success();
}

// A second name for source's inode. Fails without side effects when the two paths are on
// different filesystems or the filesystem has no hard links. Unlike a copy it is not flushed:
// the bytes are those of a file just closed on this disk, written back by the kernel like any
// other, and flushing every drop would double what dropping a batch of photos costs.
Result<void> linkFile(const QString& source, const QString& to)
{
    if (::link(QFile::encodeName(source).constData(), QFile::encodeName(to).constData()) != 0)
        return fileError(errno, QStringLiteral("link %1").arg(source));
    return Result<void>::success();
}

// Writes `bytes` under the transient name, then renames it to `path`, without flushing: the
// manifest of a payload the kernel writes back in its own time. Flushing it would not make
// that payload any safer, and costs more than the rest of a drop. `written` describes the file
// as renamed, whatever takes its name later.
bool writeUnflushed(const QString& transient, const QString& path, const QByteArray& bytes,
                    struct stat& written)
{
    const QByteArray temporary = QFile::encodeName(transient);
    const QByteArray final = QFile::encodeName(path);
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (!writeAll(fd, bytes.constData(), bytes.size()) ||
        std::rename(temporary.constData(), final.constData()) != 0) {
        ::close(fd);
        ::unlink(temporary.constData());
        return false;
    }
    const bool described = ::fstat(fd, &written) == 0;
    // A file whose closing failed never keeps the name.
    if (::close(fd) != 0) {
        ::unlink(final.constData());
        return false;
    }
    if (!described)
        written = {};
    return true;
}

qint64 nanoseconds(const timespec& t)
{
    return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Flushes a file or a folder (its names) to the disk.
bool flushFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

} // namespace

UploadQuarantine& UploadQuarantine::shared()
{
    static auto* instance = new UploadQuarantine;
    return *instance;
}

QString UploadQuarantine::payloadFileName(const QString& filename)
{
    const QString last = filename.section(QLatin1Char('/'), -1);
    if (last.isEmpty() || last == kManifest || last == kIncoming || last == QLatin1String(".") ||
        last == QLatin1String(".."))
        return kPayload;
    return last;
}

std::optional<QString> UploadQuarantine::directoryURL() const
{
    return StoreFiles::containerFile(QStringLiteral("Quarantine"));
}

std::optional<QString> UploadQuarantine::entryDirectory(const QString& id) const
{
    const std::optional<QString> root = directoryURL();
    if (!root || !isPlainName(id))
        return std::nullopt;
    return *root + QLatin1Char('/') + id;
}

QByteArray UploadQuarantine::encodeManifest(const Entry& entry)
{
    QJsonObject object{
        {QStringLiteral("id"), entry.id},
        {QStringLiteral("filename"), entry.filename},
        {QStringLiteral("target"),
         UploadTargetCoding::encode(entry.target.kind, entry.target.albumId)},
        {QStringLiteral("enqueuedAt"), isoText(entry.enqueuedAt)},
        {QStringLiteral("attempts"), entry.attempts},
    };
    if (entry.capturedAt)
        object.insert(QStringLiteral("capturedAt"), isoText(*entry.capturedAt));
    if (entry.lastError)
        object.insert(QStringLiteral("lastError"), *entry.lastError);
    if (entry.lastErrorWasNetwork)
        object.insert(QStringLiteral("lastErrorWasNetwork"), *entry.lastErrorWasNetwork);
    if (entry.albumName)
        object.insert(QStringLiteral("albumName"), *entry.albumName);
    if (entry.payloadSize)
        object.insert(QStringLiteral("payloadSize"), *entry.payloadSize);
    if (entry.payloadChecksum)
        object.insert(QStringLiteral("payloadChecksum"), *entry.payloadChecksum);
    if (entry.replacesAssetId)
        object.insert(QStringLiteral("replacesAssetId"), *entry.replacesAssetId);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<UploadQuarantine::Entry> UploadQuarantine::decodeManifest(const QByteArray& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    auto present = [&](const char* key) {
        const QJsonValue v = object.value(QLatin1String(key));
        return !v.isUndefined() && !v.isNull();
    };

    Entry entry;
    const QJsonValue id = object.value(QStringLiteral("id"));
    const QJsonValue filename = object.value(QStringLiteral("filename"));
    const QJsonValue attempts = object.value(QStringLiteral("attempts"));
    if (!id.isString() || !filename.isString() || !attempts.isDouble())
        return std::nullopt;
    entry.id = id.toString();
    entry.filename = filename.toString();
    constexpr qint64 notWhole = std::numeric_limits<qint64>::min();
    entry.attempts = attempts.toInteger(notWhole);
    if (entry.attempts == notWhole)
        return std::nullopt;

    const Result<UploadTargetCoding::Decoded> target =
        UploadTargetCoding::decode(object.value(QStringLiteral("target")));
    if (!target)
        return std::nullopt;
    entry.target = Target{target.value().kind, target.value().payload};

    const std::optional<QDateTime> enqueuedAt = fromIsoText(object.value("enqueuedAt"));
    if (!enqueuedAt)
        return std::nullopt;
    entry.enqueuedAt = *enqueuedAt;
    if (present("capturedAt")) {
        entry.capturedAt = fromIsoText(object.value("capturedAt"));
        if (!entry.capturedAt)
            return std::nullopt;
    }
    if (present("lastError")) {
        if (!object.value("lastError").isString())
            return std::nullopt;
        entry.lastError = object.value("lastError").toString();
    }
    if (present("lastErrorWasNetwork")) {
        if (!object.value("lastErrorWasNetwork").isBool())
            return std::nullopt;
        entry.lastErrorWasNetwork = object.value("lastErrorWasNetwork").toBool();
    }
    if (present("albumName")) {
        if (!object.value("albumName").isString())
            return std::nullopt;
        entry.albumName = object.value("albumName").toString();
    }
    if (present("payloadSize")) {
        const qint64 size = object.value("payloadSize").toInteger(-1);
        if (!object.value("payloadSize").isDouble() || size < 0)
            return std::nullopt;
        entry.payloadSize = size;
    }
    if (present("payloadChecksum")) {
        if (!object.value("payloadChecksum").isString())
            return std::nullopt;
        entry.payloadChecksum = object.value("payloadChecksum").toString();
    }
    if (present("replacesAssetId")) {
        if (!object.value("replacesAssetId").isString())
            return std::nullopt;
        entry.replacesAssetId = object.value("replacesAssetId").toString();
    }
    return entry;
}

UploadQuarantine::DecodedManifest UploadQuarantine::DecodedManifest::of(const struct stat& st,
                                                                        Entry entry)
{
    return DecodedManifest{
        st.st_dev,          st.st_ino,       nanoseconds(st.st_mtim), nanoseconds(st.st_ctim),
        qint64(st.st_size), std::move(entry)};
}

bool UploadQuarantine::DecodedManifest::describes(const struct stat& st) const
{
    return device == st.st_dev && inode == st.st_ino && modifiedNs == nanoseconds(st.st_mtim) &&
           changedNs == nanoseconds(st.st_ctim) && size == qint64(st.st_size);
}

std::optional<UploadQuarantine::Entry>
UploadQuarantine::readManifest(const QString& directory) const
{
    const QString path = directory + QLatin1Char('/') + kManifest;
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        m_decoded.remove(directory);
        return std::nullopt;
    }
    const auto cached = m_decoded.constFind(directory);
    if (cached != m_decoded.cend() && cached->describes(st))
        return cached->entry;
    const std::optional<QByteArray> bytes = StoreFiles::read(path);
    std::optional<Entry> entry = bytes ? decodeManifest(*bytes) : std::nullopt;
    // Only what was read from the file just looked at is kept: a manifest replaced in between
    // is decoded again next time.
    if (entry && qint64(bytes->size()) == qint64(st.st_size))
        m_decoded.insert(directory, DecodedManifest::of(st, *entry));
    else
        m_decoded.remove(directory);
    return entry;
}

void UploadQuarantine::rememberMade(const QString& directory, const QByteArray& manifest,
                                    const struct stat& written)
{
    // Never waits: a listing that holds the lock reads the new entry itself.
    if (qint64(written.st_size) != qint64(manifest.size()) || !m_lock.tryLock())
        return;
    if (std::optional<Entry> entry = decodeManifest(manifest)) {
        m_decoded.insert(directory, DecodedManifest::of(written, std::move(*entry)));
        m_payloadSeen.insert(directory, Clock::now());
    }
    m_lock.unlock();
}

bool UploadQuarantine::writeManifest(const QString& directory, const Entry& entry) const
{
    return StoreFiles::writeAtomically(directory + QLatin1Char('/') + kManifest,
                                       encodeManifest(entry));
}

Result<UploadQuarantine::Entry>
UploadQuarantine::enqueue(const QString& sourcePath, const QString& filename,
                          const std::optional<QDateTime>& capturedAt, const Target& target,
                          const std::optional<QString>& albumName, Intake intake,
                          const DropFacts& facts)
{
    // Not under m_lock: the entry is new, seen by nobody until its manifest is in place, as
    // other processes do it; a drop does not wait for a listing of a long queue.
    const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    // The id is new, so is its folder. The folders above it are there once the first entry is
    // made: the entry's own mkdir tells when they are not, and only then is the container
    // looked for, and the folders made.
    std::optional<QString> folder =
        ContainerPaths::containerPath() + QStringLiteral("/Quarantine/") + id;
    if (::mkdir(QFile::encodeName(*folder).constData(), 0700) != 0) {
        folder = entryDirectory(id);
        if (!folder)
            return Error{errorDomain, int(QError::noContainer),
                         QStringLiteral("The shared container cannot be located")};
        if (::mkdir(QFile::encodeName(*folder).constData(), 0700) != 0) {
            std::error_code ec;
            std::filesystem::create_directories(nativePath(*folder), ec);
            if (ec)
                return fileError(ec.value(), QStringLiteral("create %1").arg(*folder));
        }
    }

    // A link shows up whole under its final name; a copy is made under the transient name and
    // moved into place once complete.
    const QString payload = *folder + QLatin1Char('/') + payloadFileName(filename);
    const QString incoming = *folder + QLatin1Char('/') + kIncoming;
    const bool linked = intake == Intake::link && linkFile(sourcePath, payload);
    if (!linked) {
        QFile::remove(incoming);
        const Result<void> copied = copyFile(sourcePath, incoming);
        if (!copied) {
            removeTree(*folder);
            return copied.error();
        }
        if (std::rename(QFile::encodeName(incoming).constData(),
                        QFile::encodeName(payload).constData()) != 0) {
            const Error error = fileError(errno, QStringLiteral("move %1").arg(incoming));
            removeTree(*folder);
            return error;
        }
    }

    struct stat st {};
    if (::stat(QFile::encodeName(payload).constData(), &st) != 0) {
        const Error error = fileError(errno, QStringLiteral("stat %1").arg(payload));
        removeTree(*folder);
        return error;
    }
    if (linked && facts.durable && !flushFile(payload)) {
        const Error error = fileError(errno, QStringLiteral("flush %1").arg(payload));
        removeTree(*folder);
        return error;
    }

    Entry entry;
    entry.id = id;
    entry.filename = filename;
    entry.capturedAt = capturedAt;
    entry.target = target;
    entry.enqueuedAt = Clock::now();
    entry.albumName = albumName;
    entry.payloadSize = qint64(st.st_size);
    entry.payloadChecksum = facts.checksum;
    entry.replacesAssetId = facts.replacesAssetId;
    if (facts.givenUpReason) {
        entry.attempts = kGivenUpAttempts;
        entry.lastError = *facts.givenUpReason;
        entry.lastErrorWasNetwork = false;
    }
    // Without a manifest the folder stays invisible to list(); it is left for inspection.
    // The entry is as durable as its payload: a flushed copy gets a flushed manifest.
    const bool flushed = !linked || facts.durable;
    if (flushed) {
        if (!writeManifest(*folder, entry) || !flushFile(*folder))
            return fileError(EIO, QStringLiteral("write the manifest of %1").arg(id));
    } else {
        // The listing that follows a batch of drops would read every manifest of the batch
        // back, from the disk once the page cache has let them go: it finds them decoded.
        const QByteArray manifest = encodeManifest(entry);
        struct stat written {};
        if (!writeUnflushed(incoming, *folder + QLatin1Char('/') + kManifest, manifest, written))
            return fileError(EIO, QStringLiteral("write the manifest of %1").arg(id));
        rememberMade(*folder, manifest, written);
    }

    ++entriesGeneration;
    // A batch of drops wakes the application a few times, not once per file.
    Signals::postCoalesced(QLatin1String(SignalName::quarantineChanged), kSignalWindow);
    return entry;
}

QList<UploadQuarantine::Entry> UploadQuarantine::list()
{
    QMutexLocker locker(&m_lock);
    return listLocked();
}

QList<UploadQuarantine::Entry> UploadQuarantine::recentList()
{
    QMutexLocker locker(&m_lock);
    const std::optional<QString> root = directoryURL();
    struct stat st {};
    if (!root || ::stat(QFile::encodeName(*root).constData(), &st) != 0) {
        m_listed.reset();
        return listLocked();
    }
    // Read before listing: a change made while the listing runs makes it stale.
    const quint64 generation = entriesGeneration.load();
    const qint64 modifiedNs = nanoseconds(st.st_mtim);
    const QDateTime now = Clock::now();
    if (m_listed && m_listed->device == st.st_dev && m_listed->inode == st.st_ino &&
        m_listed->modifiedNs == modifiedNs && m_listed->generation == generation &&
        m_listed->listedAt.msecsTo(now) >= 0 && m_listed->listedAt.msecsTo(now) < kListReuseMs)
        return m_listed->entries;
    QList<Entry> entries = listLocked();
    timespec real{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    if (nanoseconds(real) - modifiedNs > kFolderTimeTickNs)
        m_listed = ListedQueue{st.st_dev, st.st_ino, modifiedNs, generation, now, entries};
    else
        m_listed.reset();
    return entries;
}

QList<UploadQuarantine::Entry> UploadQuarantine::listLocked()
{
    const std::optional<QString> root = directoryURL();
    if (!root)
        return {};
    const QStringList children = QDir(*root).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    QList<Entry> entries;
    // Entries removed since the last listing leave no decoded manifest behind.
    if (m_decoded.size() > children.size() || m_payloadSeen.size() > children.size()) {
        const QSet<QString> present(children.cbegin(), children.cend());
        const auto gone = [&present](const QString& folder) {
            return !present.contains(QFileInfo(folder).fileName());
        };
        m_decoded.removeIf([&gone](const auto& it) { return gone(it.key()); });
        m_payloadSeen.removeIf([&gone](const auto& it) { return gone(it.key()); });
    }
    const QDateTime now = Clock::now();
    for (const QString& child : children) {
        const QString folder = *root + QLatin1Char('/') + child;
        std::optional<Entry> entry = readManifest(folder);
        if (!entry)
            continue;
        // A payload vanishes only by hand: looked for when first listed, then every
        // kPayloadRecheckMs, not twice per entry at every listing of a long queue.
        const auto seen = m_payloadSeen.constFind(folder);
        if (seen == m_payloadSeen.cend() || !(seen->msecsTo(now) >= 0 &&
                                               seen->msecsTo(now) < kPayloadRecheckMs)) {
            if (!QFileInfo::exists(folder + QLatin1Char('/') + payloadFileName(entry->filename))) {
                removeTree(folder);
                m_payloadSeen.remove(folder);
                continue;
            }
            m_payloadSeen.insert(folder, now);
        }
        entries.append(std::move(*entry));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.enqueuedAt < b.enqueuedAt; });
    return entries;
}

std::optional<UploadQuarantine::Entry> UploadQuarantine::entry(const QString& id)
{
    QMutexLocker locker(&m_lock);
    const std::optional<QString> folder = entryDirectory(id);
    if (!folder)
        return std::nullopt;
    return readManifest(*folder);
}

std::optional<QString> UploadQuarantine::payloadURL(const QString& id)
{
    QMutexLocker locker(&m_lock);
    const std::optional<QString> folder = entryDirectory(id);
    if (!folder)
        return std::nullopt;
    const std::optional<Entry> entry = readManifest(*folder);
    if (!entry)
        return std::nullopt;
    const QString payload = *folder + QLatin1Char('/') + payloadFileName(entry->filename);
    if (!QFileInfo::exists(payload))
        return std::nullopt;
    return payload;
}

Result<void> UploadQuarantine::remove(const QString& id)
{
    QMutexLocker locker(&m_lock);
    ++entriesGeneration;
    const std::optional<QString> folder = entryDirectory(id);
    if (!folder || !QFileInfo::exists(*folder))
        return fileError(ENOENT, QStringLiteral("remove quarantine entry %1").arg(id));
    std::error_code ec;
    std::filesystem::remove_all(nativePath(*folder), ec);
    if (ec)
        return fileError(ec.value(), QStringLiteral("remove quarantine entry %1").arg(id));
    return Result<void>::success();
}

void UploadQuarantine::recordFailure(const QString& id, const QString& error, bool wasNetwork)
{
    QMutexLocker locker(&m_lock);
    ++entriesGeneration;
    const std::optional<QString> folder = entryDirectory(id);
    if (!folder)
        return;
    std::optional<Entry> entry = readManifest(*folder);
    if (!entry)
        return;
    entry->attempts += 1;
    entry->lastError = error;
    entry->lastErrorWasNetwork = wasNetwork;
    writeManifest(*folder, *entry);
}

bool UploadQuarantine::setCaptureDate(const QString& id, const QDateTime& capturedAt)
{
    QMutexLocker locker(&m_lock);
    ++entriesGeneration;
    const std::optional<QString> folder = entryDirectory(id);
    if (!folder)
        return false;
    std::optional<Entry> entry = readManifest(*folder);
    if (!entry)
        return false;
    if (entry->capturedAt == capturedAt.toUTC())
        return true;
    entry->capturedAt = capturedAt.toUTC();
    return writeManifest(*folder, *entry);
}

bool UploadQuarantine::payloadMatches(const Entry& entry, const QString& payloadPath) const
{
    if (!entry.payloadSize)
        return true;
    if (QFileInfo(payloadPath).size() != *entry.payloadSize)
        return false;
    if (!entry.payloadChecksum)
        return true;
    const std::optional<QString> checksum = DedupIndex::fileChecksum(payloadPath);
    return checksum && *checksum == *entry.payloadChecksum;
}

void UploadQuarantine::giveUp(const QString& id, const QString& reason)
{
    QMutexLocker locker(&m_lock);
    ++entriesGeneration;
    const std::optional<QString> folder = entryDirectory(id);
    if (!folder)
        return;
    std::optional<Entry> entry = readManifest(*folder);
    if (!entry)
        return;
    entry->attempts = qMax(entry->attempts, kGivenUpAttempts);
    entry->lastError = reason;
    entry->lastErrorWasNetwork = false;
    writeManifest(*folder, *entry);
}

void UploadQuarantine::resetAttempts(const QString& id)
{
    QMutexLocker locker(&m_lock);
    ++entriesGeneration;
    const std::optional<QString> folder = entryDirectory(id);
    if (!folder)
        return;
    std::optional<Entry> entry = readManifest(*folder);
    if (!entry)
        return;
    entry->attempts = 0;
    entry->lastError.reset();
    writeManifest(*folder, *entry);
}

int UploadQuarantine::rearmNetworkFailures(qint64 minimumAttempts)
{
    QMutexLocker locker(&m_lock);
    ++entriesGeneration;
    const std::optional<QString> root = directoryURL();
    if (!root)
        return 0;
    const QStringList children = QDir(*root).entryList(
        QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    int rearmed = 0;
    for (const QString& child : children) {
        const QString folder = *root + QLatin1Char('/') + child;
        std::optional<Entry> entry = readManifest(folder);
        if (!entry || entry->attempts < minimumAttempts ||
            !entry->lastErrorWasNetwork.value_or(false))
            continue;
        entry->attempts = 0;
        entry->lastError.reset();
        if (writeManifest(folder, *entry))
            ++rearmed;
    }
    return rearmed;
}

} // namespace pixavella
