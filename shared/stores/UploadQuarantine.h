#pragma once

#include "Result.h"
#include "UploadTarget.h"

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>

#include <optional>
#include <sys/stat.h>

namespace pixavella {

// What the dropping side knows of a payload as the quarantine takes it in.
struct QuarantineDropFacts {
    // The writer asked for its bytes to be on the disk: a linked payload and its manifest are
    // flushed too.
    bool durable = false;
    std::optional<QString> checksum; // Base64 SHA-1, when already computed
    // The entry is created given up with this error (a payload that is not whole): it is never
    // uploaded unless the user asks for it.
    std::optional<QString> givenUpReason;
    // New contents of this server asset (a photo saved over in the drive).
    std::optional<QString> replacesAssetId;
};

// The on-disk queue of dropped files waiting for upload: "Quarantine" in the container, one
// folder per entry named by its id, holding ".manifest.json" and a copy of the file. The
// extension creates entries; the application uploads, updates and removes them.
//
// Cross-process protocol: the payload is copied under a staging name and moved into place
// before the manifest is written, and manifests are replaced atomically, so the other process
// sees either no manifest (the folder is ignored) or a complete entry.
class UploadQuarantine {
public:
    enum class QError { noContainer };
    // Domain of the errors of type QError; the code is the QError value.
    static const QString errorDomain;

    // Where the photo goes once uploaded, with the server's album id.
    struct Target {
        using Kind = UploadTargetKind;
        Kind kind = Kind::library;
        QString albumId; // empty for the library

        static Target library() { return {}; }
        static Target album(const QString& id) { return {Kind::album, id}; }
        static Target sharedAlbum(const QString& id) { return {Kind::sharedAlbum, id}; }
        bool operator==(const Target&) const = default;
    };

    struct Entry {
        QString id; // the entry folder's name, an upper-case UUID
        QString filename;
        std::optional<QDateTime> capturedAt;
        Target target;
        QDateTime enqueuedAt;
        qint64 attempts = 0; // failed upload attempts
        std::optional<QString> lastError;
        std::optional<bool> lastErrorWasNetwork; // absent until the first failure
        std::optional<QString> albumName;
        // The payload as it was taken in, checked before it is uploaded: a payload that no
        // longer matches (cut short by a power loss after the drop) is never sent. Absent in
        // manifests written before they were recorded.
        std::optional<qint64> payloadSize;
        std::optional<QString> payloadChecksum; // Base64 SHA-1, when the drop computed it
        // The asset these bytes replace: once uploaded, the new asset takes its albums and
        // favourite and the old one goes to the server's trash. Until then the old one is not
        // listed, so the folder shows one photo under its name.
        std::optional<QString> replacesAssetId;
        bool operator==(const Entry&) const = default;
    };

    // Attempts at which an entry is given up: it waits in the failed folder until re-armed.
    static constexpr qint64 kGivenUpAttempts = 5;

    // Kept process-wide: a pending item not handed a quarantine sizes itself from this one, and
    // the mains hand it to the stores, so that a process has a single quarantine.
    static UploadQuarantine& shared();
    UploadQuarantine() = default;

    std::optional<QString> directoryURL() const;

    // How the payload is taken in. link: a hard link to the source when both live on the same
    // filesystem (else a copy), for callers that hand the file over and never write it again.
    enum class Intake { copy, link };

    using DropFacts = QuarantineDropFacts;

    // Takes the file into a new entry and posts "app.pixavella.quarantineChanged" (a batch of
    // entries posts it a few times a second, not once per entry). A copied
    // payload is flushed to the disk before the manifest makes the entry visible; a linked one
    // and its manifest are written back by the kernel in its own time, as any file just closed,
    // unless `facts` says the writer asked for them on the disk.
    Result<Entry> enqueue(const QString& sourcePath, const QString& filename,
                          const std::optional<QDateTime>& capturedAt, const Target& target,
                          const std::optional<QString>& albumName, Intake intake = Intake::copy,
                          const DropFacts& facts = {});
    // Whether the payload still is what was taken in (size, and checksum where one was
    // recorded). Entries from before sizes were recorded pass.
    bool payloadMatches(const Entry& entry, const QString& payloadPath) const;
    // Gives the entry up at once with `reason` (a payload that cannot be sent as it is).
    void giveUp(const QString& id, const QString& reason);
    // Complete entries, oldest enqueuedAt first. Folders without a readable manifest are
    // skipped; entries whose payload vanished are deleted (looked for at an entry's first
    // listing, then every half minute).
    QList<Entry> list();
    // What list() gave less than a second ago when no entry folder was added or removed since
    // and this process changed no entry; else list(). For listings that each read the queue,
    // one after the other.
    QList<Entry> recentList();
    // The manifest, without checking the payload.
    std::optional<Entry> entry(const QString& id);
    // The payload's path when the file exists.
    std::optional<QString> payloadURL(const QString& id);
    Result<void> remove(const QString& id);

    // Update operations; failures are silent.
    void recordFailure(const QString& id, const QString& error, bool wasNetwork);
    void resetAttempts(const QString& id);
    // A later capture date for an entry (a time set on the file after it was closed); false
    // when the entry is gone.
    bool setCaptureDate(const QString& id, const QDateTime& capturedAt);
    // Re-arms the entries with at least minimumAttempts whose last failure was a network one;
    // returns how many.
    int rearmNetworkFailures(qint64 minimumAttempts);

    // The name of the payload inside its entry folder: the last path component of the dropped
    // name, or "payload" when that would be empty or collide with the folder's own names.
    static QString payloadFileName(const QString& filename);

    static QByteArray encodeManifest(const Entry& entry);
    static std::optional<Entry> decodeManifest(const QByteArray& json);

private:
    QList<Entry> listLocked();
    std::optional<QString> entryDirectory(const QString& id) const;
    std::optional<Entry> readManifest(const QString& directory) const;
    bool writeManifest(const QString& directory, const Entry& entry) const;
    // Keeps an entry this process has just made as decoded, when no listing holds the lock.
    void rememberMade(const QString& directory, const QByteArray& manifest,
                      const struct stat& written);

    // A manifest as last decoded, with what identifies the file it was read from. Manifests
    // are only ever replaced by a rename, so a file that is the same inode with the same times
    // and size holds the same entry.
    struct DecodedManifest {
        dev_t device = 0;
        ino_t inode = 0;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        qint64 size = 0;
        Entry entry;

        static DecodedManifest of(const struct stat& st, Entry entry);
        // Whether `st` is of the file this was decoded from.
        bool describes(const struct stat& st) const;
    };

    QMutex m_lock; // serialises this process's reads and rewrites of existing entries
    // Every listing of a folder reads the whole queue, and a batch of drops makes it hundreds
    // of entries long: each manifest is decoded once, not at every listing. Under m_lock.
    mutable QHash<QString, DecodedManifest> m_decoded;
    // When each entry's payload was last seen by list(). Under m_lock.
    QHash<QString, QDateTime> m_payloadSeen;
    // The last listing recentList() may give again, with what it was taken from. Under m_lock.
    struct ListedQueue {
        dev_t device = 0;
        ino_t inode = 0;
        qint64 modifiedNs = 0;
        quint64 generation = 0;
        QDateTime listedAt;
        QList<Entry> entries;
    };
    std::optional<ListedQueue> m_listed;
};

} // namespace pixavella
