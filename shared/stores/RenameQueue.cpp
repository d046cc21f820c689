#include "RenameQueue.h"

#include "Clock.h"
#include "StoreFileLock.h"
#include "StoreFiles.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace pixavella {

namespace {

constexpr int kVersion = 1;

std::optional<RenameQueue::Entry> entryFrom(const QJsonValue& value)
{
    const QJsonObject object = value.toObject();
    const QJsonValue assetId = object.value(u"assetId");
    const QJsonValue name = object.value(u"name");
    const QJsonValue previous = object.value(u"previousName");
    const QJsonValue queuedAt = object.value(u"queuedAt");
    if (!assetId.isString() || assetId.toString().isEmpty() || !name.isString() ||
        !queuedAt.isDouble() || !(previous.isUndefined() || previous.isString()))
        return std::nullopt;
    RenameQueue::Entry entry;
    entry.assetId = assetId.toString();
    entry.name = name.toString();
    if (previous.isString())
        entry.previousName = previous.toString();
    entry.queuedAt = queuedAt.toDouble();
    return entry;
}

QJsonObject toJson(const RenameQueue::Entry& entry)
{
    QJsonObject object{{QStringLiteral("assetId"), entry.assetId},
                       {QStringLiteral("name"), entry.name},
                       {QStringLiteral("queuedAt"), entry.queuedAt}};
    if (entry.previousName)
        object.insert(QStringLiteral("previousName"), *entry.previousName);
    return object;
}

} // namespace

std::optional<QString> RenameQueue::fileURL() const
{
    return StoreFiles::containerFile(QStringLiteral("pending-renames.json"));
}

QList<RenameQueue::Entry> RenameQueue::list() const
{
    const std::optional<QString> path = fileURL();
    if (!path)
        return {};
    const std::optional<QByteArray> bytes = StoreFiles::read(*path);
    if (!bytes)
        return {};
    const QJsonArray array = QJsonDocument::fromJson(*bytes).object().value(u"renames").toArray();
    QList<Entry> entries;
    for (const QJsonValue& value : array) {
        std::optional<Entry> entry = entryFrom(value);
        if (!entry)
            continue;
        // Written by a hand or a bug: keep the asset's latest only.
        const auto same = std::find_if(entries.begin(), entries.end(),
                                       [&](const Entry& e) { return e.assetId == entry->assetId; });
        if (same == entries.end())
            entries.append(std::move(*entry));
        else if (same->queuedAt <= entry->queuedAt)
            *same = std::move(*entry);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.queuedAt < b.queuedAt; });
    return entries;
}

std::optional<RenameQueue::Entry> RenameQueue::find(const QString& assetId) const
{
    for (const Entry& entry : list()) {
        if (entry.assetId == assetId)
            return entry;
    }
    return std::nullopt;
}

void RenameQueue::save(const QList<Entry>& entries) const
{
    const std::optional<QString> path = fileURL();
    if (!path)
        return;
    QJsonArray array;
    for (const Entry& entry : entries)
        array.append(toJson(entry));
    const QJsonObject object{{QStringLiteral("version"), kVersion},
                             {QStringLiteral("renames"), array}};
    StoreFiles::writeAtomically(*path, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QList<RenameQueue::Entry> RenameQueue::update(const std::function<bool(QList<Entry>&)>& change)
{
    QMutexLocker locker(&m_lock);
    const std::optional<QString> path = fileURL();
    if (!path)
        return {};
    const StoreFileLock fileLock(*path);
    QList<Entry> entries = list();
    if (change(entries))
        save(entries);
    return entries;
}

void RenameQueue::put(const QString& assetId, const QString& name,
                      const std::optional<QString>& previousName)
{
    const double now = Clock::nowSeconds();
    update([&](QList<Entry>& entries) {
        Entry entry{assetId, name, previousName, now};
        for (qsizetype i = 0; i < entries.size(); ++i) {
            if (entries[i].assetId == assetId) {
                entry.previousName = entries[i].previousName;
                entries.removeAt(i);
                break;
            }
        }
        entries.append(std::move(entry));
        return true;
    });
}

bool RenameQueue::remove(const QString& assetId, const QString& name)
{
    bool removed = false;
    update([&](QList<Entry>& entries) {
        removed = entries.removeIf([&](const Entry& entry) {
            return entry.assetId == assetId && entry.name == name;
        }) > 0;
        return removed;
    });
    return removed;
}

void RenameQueue::clear()
{
    QMutexLocker locker(&m_lock);
    if (const std::optional<QString> path = fileURL()) {
        const StoreFileLock fileLock(*path);
        QFile::remove(*path);
    }
}

} // namespace pixavella
