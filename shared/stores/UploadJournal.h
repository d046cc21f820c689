#pragma once

#include "UploadTarget.h"

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>

#include <optional>

namespace pixavella {

// The record of finished uploads, one event per file that left the upload queue, kept in
// "upload-journal.json" in the container. Only the application writes it.
class UploadJournal {
public:
    enum class Outcome { uploaded, failed };

    // Where the file went, with the album's display name (not its id).
    struct Target {
        using Kind = UploadTargetKind;
        Kind kind = Kind::library;
        QString albumName; // empty for the library

        static Target library() { return {}; }
        static Target album(const QString& name) { return {Kind::album, name}; }
        static Target sharedAlbum(const QString& name) { return {Kind::sharedAlbum, name}; }
        bool operator==(const Target&) const = default;
    };

    struct Event {
        QString id; // the quarantine entry id: one file keeps one id across its attempts
        QString filename;
        Target target;
        QDateTime enqueuedAt;
        QDateTime resolvedAt;
        Outcome outcome = Outcome::uploaded;
        std::optional<QString> assetId; // uploaded only
        std::optional<QString> error;   // failed only
        bool operator==(const Event&) const = default;
    };

    // Events enqueued close together, oldest first.
    struct Batch {
        QList<Event> events;

        // The first event's enqueuedAt; now for an empty batch.
        QDateTime startedAt() const;
        // The first event's id; for an empty batch, startedAt in seconds since 1970 as text.
        QString id() const;
        QString summary() const;
        bool operator==(const Batch& other) const { return events == other.events; }
    };

    static constexpr double maxAge = 2'592'000.0; // 30 days
    static constexpr int maxCount = 5000;

    UploadJournal() = default;

    // Held by callers of loadEvents and saveEvents; record takes it itself.
    QMutex& lock() { return m_lock; }

    std::optional<QString> fileURL() const;
    // Missing container or file, unreadable or undecodable content: an empty list.
    QList<Event> loadEvents() const;
    // Replaces the file atomically; failures are dropped. A journal that cannot be decoded is
    // first kept aside as "upload-journal.json.corrupt" rather than silently overwritten.
    void saveEvents(const QList<Event>& events) const;
    // Replaces any event with the same id, trims, saves, then posts the journal signal.
    void record(const Event& event);
    // The same for several events in one write (later ones replace earlier ones of their id).
    void record(const QList<Event>& events);

    // Drops events resolved more than maxAge ago; beyond maxCount keeps the newest, newest first.
    static QList<Event> trimmed(const QList<Event>& events);
    // Neighbours enqueued at most gapSeconds apart share a batch; newest batch first.
    static QList<Batch> batches(const QList<Event>& events, double gapSeconds);

    // The file's JSON: an array of event objects. decode fails as a whole on any bad element.
    static QByteArray encode(const QList<Event>& events);
    static std::optional<QList<Event>> decode(const QByteArray& json);

private:
    enum class FileState { absent, readable, corrupt };
    QList<Event> loadEvents(FileState* state) const;
    void writeEvents(const QList<Event>& events, FileState current) const;

    QMutex m_lock;
};

} // namespace pixavella
