#include "UploadJournal.h"

#include "Clock.h"
#include "SharedSettings.h"
#include "Signals.h"
#include "StoreFiles.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <cstdio>

namespace pixavella {

namespace {

// The journal counts seconds from 2001-01-01T00:00:00Z, not from 1970.
constexpr double kReferenceDateOffset = 978'307'200.0;

double toReferenceSeconds(const QDateTime& t)
{
    return double(t.toMSecsSinceEpoch()) / 1000.0 - kReferenceDateOffset;
}

QDateTime fromReferenceSeconds(double seconds)
{
    return QDateTime::fromMSecsSinceEpoch(qRound64((seconds + kReferenceDateOffset) * 1000.0),
                                          Qt::UTC);
}

QString outcomeText(UploadJournal::Outcome outcome)
{
    return outcome == UploadJournal::Outcome::uploaded ? QStringLiteral("uploaded")
                                                       : QStringLiteral("failed");
}

QJsonObject encodeEvent(const UploadJournal::Event& event)
{
    QJsonObject object{
        {QStringLiteral("id"), event.id},
        {QStringLiteral("filename"), event.filename},
        {QStringLiteral("target"),
         UploadTargetCoding::encode(event.target.kind, event.target.albumName)},
        {QStringLiteral("enqueuedAt"), toReferenceSeconds(event.enqueuedAt)},
        {QStringLiteral("resolvedAt"), toReferenceSeconds(event.resolvedAt)},
        {QStringLiteral("outcome"), outcomeText(event.outcome)},
    };
    if (event.assetId)
        object.insert(QStringLiteral("assetId"), *event.assetId);
    if (event.error)
        object.insert(QStringLiteral("error"), *event.error);
    return object;
}

// Absent or null: nothing; a string: its text; anything else fails the decoding.
bool optionalString(const QJsonObject& object, const QString& key, std::optional<QString>* out)
{
    const QJsonValue value = object.value(key);
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isString())
        return false;
    *out = value.toString();
    return true;
}

std::optional<UploadJournal::Event> decodeEvent(const QJsonValue& json)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    const QJsonValue id = object.value(QStringLiteral("id"));
    const QJsonValue filename = object.value(QStringLiteral("filename"));
    const QJsonValue enqueuedAt = object.value(QStringLiteral("enqueuedAt"));
    const QJsonValue resolvedAt = object.value(QStringLiteral("resolvedAt"));
    const QJsonValue outcome = object.value(QStringLiteral("outcome"));
    if (!id.isString() || !filename.isString() || !enqueuedAt.isDouble() ||
        !resolvedAt.isDouble() || !outcome.isString())
        return std::nullopt;
    const Result<UploadTargetCoding::Decoded> target =
        UploadTargetCoding::decode(object.value(QStringLiteral("target")));
    if (!target)
        return std::nullopt;

    UploadJournal::Event event;
    if (outcome.toString() == QLatin1String("uploaded"))
        event.outcome = UploadJournal::Outcome::uploaded;
    else if (outcome.toString() == QLatin1String("failed"))
        event.outcome = UploadJournal::Outcome::failed;
    else
        return std::nullopt;
    if (!optionalString(object, QStringLiteral("assetId"), &event.assetId) ||
        !optionalString(object, QStringLiteral("error"), &event.error))
        return std::nullopt;
    event.id = id.toString();
    event.filename = filename.toString();
    event.target = UploadJournal::Target{target.value().kind, target.value().payload};
    event.enqueuedAt = fromReferenceSeconds(enqueuedAt.toDouble());
    event.resolvedAt = fromReferenceSeconds(resolvedAt.toDouble());
    return event;
}

} // namespace

std::optional<QString> UploadJournal::fileURL() const
{
    return StoreFiles::containerFile(QStringLiteral("upload-journal.json"));
}

QByteArray UploadJournal::encode(const QList<Event>& events)
{
    QJsonArray array;
    for (const Event& event : events)
        array.append(encodeEvent(event));
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

std::optional<QList<UploadJournal::Event>> UploadJournal::decode(const QByteArray& json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    if (!document.isArray())
        return std::nullopt;
    QList<Event> events;
    const QJsonArray array = document.array();
    events.reserve(array.size());
    for (const QJsonValue& element : array) {
        std::optional<Event> event = decodeEvent(element);
        if (!event)
            return std::nullopt;
        events.append(std::move(*event));
    }
    return events;
}

QList<UploadJournal::Event> UploadJournal::loadEvents() const
{
    return loadEvents(nullptr);
}

QList<UploadJournal::Event> UploadJournal::loadEvents(FileState* state) const
{
    FileState ignored;
    FileState& result = state ? *state : ignored;
    result = FileState::absent;
    const std::optional<QString> path = fileURL();
    if (!path || !QFile::exists(*path))
        return {};
    const std::optional<QByteArray> bytes = StoreFiles::read(*path);
    // Nothing worth keeping aside in an empty file.
    if (bytes && bytes->trimmed().isEmpty()) {
        result = FileState::readable;
        return {};
    }
    std::optional<QList<Event>> events = bytes ? decode(*bytes) : std::nullopt;
    result = events ? FileState::readable : FileState::corrupt;
    return events.value_or(QList<Event>());
}

void UploadJournal::saveEvents(const QList<Event>& events) const
{
    FileState current;
    loadEvents(&current);
    writeEvents(events, current);
}

void UploadJournal::writeEvents(const QList<Event>& events, FileState current) const
{
    const std::optional<QString> path = fileURL();
    if (!path)
        return;
    if (current == FileState::corrupt) {
        // One copy of the last history that could not be read, for whoever wants to mend it;
        // rename() replaces the previous copy atomically.
        const QByteArray from = QFile::encodeName(*path);
        const QByteArray to = QFile::encodeName(*path + QStringLiteral(".corrupt"));
        std::rename(from.constData(), to.constData());
    }
    StoreFiles::writeAtomically(*path, encode(events));
}

void UploadJournal::record(const Event& event)
{
    record(QList<Event>{event});
}

void UploadJournal::record(const QList<Event>& events)
{
    if (events.isEmpty())
        return;
    {
        QMutexLocker locker(&m_lock);
        FileState current;
        QList<Event> stored = loadEvents(&current);
        for (const Event& event : events) {
            stored.removeIf([&](const Event& e) { return e.id == event.id; });
            stored.append(event);
        }
        writeEvents(trimmed(stored), current);
    }
    Signals::post(QLatin1String(SignalName::journalChanged));
}

QList<UploadJournal::Event> UploadJournal::trimmed(const QList<Event>& events)
{
    const QDateTime cutoff = Clock::now().addMSecs(-qint64(maxAge * 1000.0));
    QList<Event> kept;
    kept.reserve(events.size());
    for (const Event& event : events) {
        if (event.resolvedAt >= cutoff)
            kept.append(event);
    }
    if (kept.size() > maxCount) {
        std::stable_sort(kept.begin(), kept.end(), [](const Event& a, const Event& b) {
            return a.resolvedAt > b.resolvedAt;
        });
        kept.resize(maxCount);
    }
    return kept;
}

QList<UploadJournal::Batch> UploadJournal::batches(const QList<Event>& events, double gapSeconds)
{
    QList<Event> sorted = events;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Event& a, const Event& b) { return a.enqueuedAt < b.enqueuedAt; });
    const qint64 gapMs = qint64(gapSeconds * 1000.0);
    QList<Batch> result;
    Batch current;
    for (const Event& event : sorted) {
        if (!current.events.isEmpty() &&
            current.events.last().enqueuedAt.msecsTo(event.enqueuedAt) > gapMs) {
            result.append(current);
            current = Batch();
        }
        current.events.append(event);
    }
    if (!current.events.isEmpty())
        result.append(current);
    std::reverse(result.begin(), result.end());
    return result;
}

QDateTime UploadJournal::Batch::startedAt() const
{
    return events.isEmpty() ? Clock::now() : events.first().enqueuedAt;
}

QString UploadJournal::Batch::id() const
{
    if (!events.isEmpty())
        return events.first().id;
    // Shortest text that reads back as the same double, with ".0" on whole numbers.
    const double seconds = double(startedAt().toMSecsSinceEpoch()) / 1000.0;
    QString text = QString::number(seconds, 'f', QLocale::FloatingPointShortest);
    if (!text.contains(QLatin1Char('.')))
        text += QStringLiteral(".0");
    return text;
}

QString UploadJournal::Batch::summary() const
{
    qint64 uploaded = 0;
    qint64 failed = 0;
    for (const Event& event : events)
        (event.outcome == Outcome::uploaded ? uploaded : failed) += 1;
    if (failed == 0)
        return QCoreApplication::translate("UploadJournal", "%1 photos envoyées").arg(uploaded);
    if (uploaded == 0)
        return QCoreApplication::translate("UploadJournal", "%1 échecs").arg(failed);
    return QCoreApplication::translate("UploadJournal", "%1 envoyées · %2 échecs")
        .arg(uploaded)
        .arg(failed);
}

} // namespace pixavella
