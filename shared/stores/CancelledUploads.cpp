#include "CancelledUploads.h"

#include "Clock.h"
#include "StoreFileLock.h"
#include "StoreFiles.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace pixavella {

std::optional<QString> CancelledUploads::fileURL() const
{
    return StoreFiles::containerFile(QStringLiteral("cancelled-uploads.json"));
}

CancelledUploads::Map CancelledUploads::load() const
{
    const std::optional<QString> path = fileURL();
    if (!path)
        return {};
    const std::optional<QByteArray> bytes = StoreFiles::read(*path);
    if (!bytes)
        return {};
    const QJsonDocument document = QJsonDocument::fromJson(*bytes);
    if (!document.isObject())
        return {};
    const QJsonObject object = document.object();
    Map map;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isDouble())
            return {};
        map.insert(it.key(), it.value().toDouble());
    }
    return map;
}

void CancelledUploads::save(const Map& map) const
{
    const std::optional<QString> path = fileURL();
    if (!path)
        return;
    QJsonObject object;
    for (auto it = map.begin(); it != map.end(); ++it)
        object.insert(it.key(), it.value());
    StoreFiles::writeAtomically(*path, QJsonDocument(object).toJson(QJsonDocument::Compact));
}

CancelledUploads::Map CancelledUploads::update(const std::function<bool(Map&)>& change)
{
    QMutexLocker locker(&m_lock);
    const std::optional<QString> path = fileURL();
    if (!path)
        return {};
    const StoreFileLock fileLock(*path);
    Map map = load();
    if (change(map))
        save(map);
    return map;
}

void CancelledUploads::add(const QString& entryId)
{
    update([&entryId](Map& map) {
        map.insert(entryId, Clock::nowSeconds());
        return true;
    });
}

void CancelledUploads::remove(const QString& entryId)
{
    update([&entryId](Map& map) { return map.remove(entryId) > 0; });
}

bool CancelledUploads::contains(const QString& entryId)
{
    // Saves replace the file whole, so a plain read needs no file lock.
    QMutexLocker locker(&m_lock);
    return load().contains(entryId);
}

CancelledUploads::Map CancelledUploads::pruneExpired()
{
    const double now = Clock::nowSeconds();
    return update([now](Map& map) {
        return map.removeIf([now](Map::iterator it) { return now - it.value() >= ttl; }) > 0;
    });
}

} // namespace pixavella
