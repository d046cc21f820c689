#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

namespace pixavella {

class SettingsSuite;

// What the extension is doing, as it last published it under "sync.activity": JSON with
// "kind", "done", "total", optional "currentFile" and "updatedAt" in seconds since
// 2001-01-01T00:00:00Z.
struct SyncActivityState {
    enum class Kind { idle, uploading, downloading, offline };

    static constexpr const char* kSettingsKey = "sync.activity";
    // A downloading record older than this means the extension stopped publishing.
    static constexpr double kFreshness = 4.0;

    Kind kind = Kind::idle;
    qint64 done = 0;
    qint64 total = 0;
    std::optional<QString> currentFile;
    QDateTime updatedAt;

    static QString kindText(Kind kind);
    static std::optional<Kind> kindFromText(const QString& text);

    QByteArray encode() const;
    static std::optional<SyncActivityState> decode(const QByteArray& data);
    static SyncActivityState idle(const QDateTime& now);

    // The record in the suite; idle, 0 of 0, updated now, when missing or unreadable.
    static SyncActivityState read(const SettingsSuite& suite);

    // A download the extension is still reporting: kind downloading, updated less than
    // kFreshness seconds before `now`.
    bool isLiveDownload(const QDateTime& now) const;

    bool operator==(const SyncActivityState&) const = default;
};

} // namespace pixavella
