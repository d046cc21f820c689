#pragma once

#include <QDateTime>
#include <QString>

#include <optional>

namespace pixavella {

class UploadJournal;

// What the tray shows about uploads and downloads, one case at a time.
struct UploadStatus {
    enum class Kind { idle, uploading, paused, completed, downloading };

    Kind kind = Kind::idle;
    std::optional<QDateTime> lastRefresh; // idle: the session's last successful refresh
    qint64 done = 0;                      // uploading, paused
    qint64 total = 0;                     // uploading, paused
    qint64 count = 0;                     // completed

    static UploadStatus idle(std::optional<QDateTime> lastRefresh = std::nullopt);
    static UploadStatus uploading(qint64 done, qint64 total);
    static UploadStatus paused(qint64 done, qint64 total);
    static UploadStatus completed(qint64 count);
    static UploadStatus downloading();

    bool operator==(const UploadStatus&) const = default;
};

// The session's connection as the status texts distinguish it.
enum class ConnectionState { ok, offline, expired };

// "à l'instant", "il y a 5 min", "il y a 2 h", "il y a 3 j"; "jamais" without an instant.
QString relativeTime(const std::optional<QDateTime>& instant, const QDateTime& now);

// "✓ À jour", followed by the time of the last upload when it is less than a day old.
QString lastUploadLine(UploadJournal& journal, const QDateTime& now);

// The menu's header line. `upToDateLine` is lastUploadLine, shown when idle and online.
QString statusLine(const UploadStatus& status, qint64 failedCount, ConnectionState connection,
                   const std::optional<QDateTime>& sessionLastRefresh, const QString& upToDateLine,
                   const QDateTime& now);

// The tray icon's resource for the status; empty for the application's own icon.
QString statusIconPath(const UploadStatus& status, qint64 failedCount);

} // namespace pixavella
