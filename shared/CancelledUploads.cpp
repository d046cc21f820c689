#include "CancelledUploads.h"

#include "Clock.h"
#include "StoreFiles.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace pixavella {

CancelledUploads& CancelledUploads::shared()
{
    static auto* instance = new CancelledUploads;
    return *instance;
}

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

void CancelledUploads::add(const QString& entryId)
{
    QMutexLocker locker(&m_lock);
    Map map = load();
    map.insert(entryId, Clock::nowSeconds());
    save(map);
}

void CancelledUploads::remove(const QString& entryId)
{
    QMutexLocker locker(&m_lock);
    Map map = load();
    if (map.remove(entryId) > 0)
        save(map);
}

bool CancelledUploads::contains(const QString& entryId)
{
    QMutexLocker locker(&m_lock);
    return load().contains(entryId);
}

CancelledUploads::Map CancelledUploads::pruneExpired()
{
    QMutexLocker locker(&m_lock);
    const double now = Clock::nowSeconds();
    Map map = load();
    for (auto it = map.begin(); it != map.end();) {
        if (now - it.value() < ttl)
            ++it;
        else
            it = map.erase(it);
    }
    save(map);
    return map;
}

} // namespace pixavella
