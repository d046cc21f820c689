#pragma once

#include "Result.h"
#include "UploadTarget.h"

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>

#include <optional>

namespace pixavella {

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
        bool operator==(const Entry&) const = default;
    };

    static UploadQuarantine& shared();
    UploadQuarantine() = default;

    std::optional<QString> directoryURL() const;

    // How the payload is taken in. link: a hard link to the source when both live on the same
    // filesystem (else a copy), for callers that hand the file over and never write it again.
    enum class Intake { copy, link };

    // Takes the file into a new entry and posts "app.pixavella.quarantineChanged". A copied
    // payload is flushed to the disk before the manifest makes the entry visible; a linked one
    // and its manifest are written back by the kernel in its own time, as any file just closed.
    Result<Entry> enqueue(const QString& sourcePath, const QString& filename,
                          const std::optional<QDateTime>& capturedAt, const Target& target,
                          const std::optional<QString>& albumName, Intake intake = Intake::copy);
    // Complete entries, oldest enqueuedAt first. Folders without a readable manifest are
    // skipped; entries whose payload vanished are deleted.
    QList<Entry> list();
    // The manifest, without checking the payload.
    std::optional<Entry> entry(const QString& id);
    // The payload's path when the file exists.
    std::optional<QString> payloadURL(const QString& id);
    Result<void> remove(const QString& id);

    // Update operations; failures are silent.
    void recordFailure(const QString& id, const QString& error, bool wasNetwork);
    void resetAttempts(const QString& id);
    // Re-arms the entries with at least minimumAttempts whose last failure was a network one;
    // returns how many.
    int rearmNetworkFailures(qint64 minimumAttempts);

    // The name of the payload inside its entry folder: the last path component of the dropped
    // name, or "payload" when that would be empty or collide with the folder's own names.
    static QString payloadFileName(const QString& filename);

    static QByteArray encodeManifest(const Entry& entry);
    static std::optional<Entry> decodeManifest(const QByteArray& json);

private:
    std::optional<QString> entryDirectory(const QString& id) const;
    std::optional<Entry> readManifest(const QString& directory) const;
    bool writeManifest(const QString& directory, const Entry& entry) const;

    QMutex m_lock; // serialises every operation of this process
};

} // namespace pixavella
