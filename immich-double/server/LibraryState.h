#pragma once

#include "AssetBasics.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QString>
#include <QUuid>
#include <QtNumeric>

#include <array>
#include <mutex>
#include <optional>
#include <vector>

namespace immichdouble {

enum class AlbumRole : quint8 { None, Owner, Editor, Viewer };
enum class Visibility : quint8 { Timeline, Archive, Hidden, Locked };

struct User {
    QString id;
    QString email;
    QString password;
    QString name;
    QString avatarColor;
    qint64 createdAt = 0;
    bool isAdmin = false;
};

struct ApiKey {
    QString id;
    QByteArray secret;
    QString name;
    QJsonArray permissions;
    int user = -1;
    qint64 createdAt = 0;
};

// Kept compact: a seeded library holds 100,000 of these. Times are milliseconds since the epoch.
// Change the fields that the server's row triggers watch through LibraryState, which moves
// updatedAt and keeps the orders it serves from.
struct Asset {
    QUuid id;
    QString originalFileName;
    QByteArray bytes; // empty for generated assets, whose bytes come from seedIndex
    QString description;
    qint64 fileCreatedAt = 0;
    qint64 fileModifiedAt = 0;
    qint64 dateTimeOriginal = 0;
    qint64 createdAt = 0;
    qint64 updatedAt = 0;
    qint64 trashedAt = 0;        // when `trashed`
    qint64 thumbnailReadyAt = 0; // the server's thumbnail job is done from then on
    qint64 size = 0;
    double latitude = qQNaN(); // NaN: none
    double longitude = qQNaN();
    Sha1 checksum{};
    qint32 owner = -1;
    qint32 seedIndex = -1;
    quint16 width = 0;
    quint16 height = 0;
    qint16 utcOffsetMinutes = 0;        // of the capture date's time zone
    qint16 pendingUtcOffsetMinutes = 0; // an edited one, until metadata extraction runs
    qint8 rating = 0;                   // 0: none
    AssetType type = AssetType::Image;
    Visibility visibility = Visibility::Timeline;
    bool favorite = false;
    bool hasSidecar = false; // metadata was edited, so the server wrote it to an XMP sidecar
    bool standIn = false;    // bytes that stand for a photo (seeded, or given through /_double/)
    bool trashed = false;
    bool removed = false; // deleted for good; the slot stays so that indexes remain valid
};

struct AlbumMember {
    int user = -1;
    AlbumRole role = AlbumRole::Viewer;
};

struct Album {
    QUuid id;
    QString name;
    QString description;
    std::vector<int> assets;          // in the order they were added
    std::vector<AlbumMember> members; // the owner is not among them
    qint64 createdAt = 0;
    qint64 updatedAt = 0;
    int owner = -1;
    bool removed = false;
};

// Users, keys, assets and albums of the double. Not thread-safe by itself: callers hold `mutex`
// for the whole of a request.
class LibraryState {
public:
    std::mutex mutex;

    static qint64 now();
    static QString uuidText(const QUuid& id) { return id.toString(QUuid::WithoutBraces); }

    // --- users and credentials
    int addUser(const QString& email, const QString& password);
    const std::vector<User>& users() const { return m_users; }
    const User& user(int index) const { return m_users.at(size_t(index)); }
    int userByEmail(const QString& email) const;
    void setUserName(int user, const QString& name) { m_users.at(size_t(user)).name = name; }
    int userById(const QString& id) const;

    const ApiKey& addApiKey(int user, const QString& name, const QJsonArray& permissions,
                            const QByteArray& secret = {});
    bool removeApiKey(int user, const QString& id);
    int userForApiKey(const QByteArray& secret) const;
    QList<QByteArray> apiKeySecrets(int user) const;
    QByteArray addAccessToken(int user);
    int userForAccessToken(const QByteArray& token) const;

    // --- assets
    void reserveAssets(size_t count) { m_assets.reserve(count); }
    // Gives the asset an id (unless it has one), its creation times, and returns its index.
    int addAsset(Asset asset);
    int assetIndex(const QString& id) const; // -1 when unknown or deleted for good
    Asset& asset(int index) { return m_assets.at(size_t(index)); }
    const Asset& asset(int index) const { return m_assets.at(size_t(index)); }
    size_t assetSlots() const { return m_assets.size(); }
    int findByChecksum(int owner, const Sha1& checksum) const; // trashed ones included
    QByteArray originalBytes(int index) const;
    bool canReadAsset(int user, int index) const;
    // Moves updatedAt to now, as the server's trigger does on every update of an asset row.
    void touch(int index);
    void setTrashed(int index, bool trashed);
    // The capture date the timeline sorts by (fileCreatedAt, and so localDateTime).
    void setFileCreatedAt(int index, qint64 fileCreatedAt);
    void removeAsset(int index);
    // Every live asset, newest fileCreatedAt first.
    const std::vector<int>& assetsNewestFirst();
    // Whether `a` comes before `b` in assetsNewestFirst().
    bool newerFirst(int a, int b) const;
    // The live assets whose updatedAt is `since` or later, in no particular order: found
    // without looking at the others.
    std::vector<int> assetsUpdatedSince(qint64 since);

    // --- albums
    int addAlbum(Album album);
    int albumIndex(const QString& id) const; // -1 when unknown or deleted
    Album& album(int index) { return m_albums.at(size_t(index)); }
    const Album& album(int index) const { return m_albums.at(size_t(index)); }
    const std::vector<Album>& albums() const { return m_albums; }
    void removeAlbum(int index);
    AlbumRole role(const Album& album, int user) const;
    // The album's assets that are not in the trash, newest first.
    std::vector<int> albumAssets(const Album& album, bool withTrashed = false) const;

private:
    void insertInOrder(int index);
    void eraseFromOrder(int index);
    void recordUpdate(int index);

    std::vector<User> m_users;
    std::vector<ApiKey> m_apiKeys;
    QHash<QByteArray, int> m_accessTokens;
    std::vector<Asset> m_assets;
    QHash<QUuid, int> m_assetById;
    std::vector<int> m_newestFirst;
    bool m_orderStale = true;
    // (updatedAt, index) by time, an entry for each update; those an asset's later update
    // replaced are skipped and, once they are many, dropped.
    std::vector<std::pair<qint64, int>> m_updates;
    bool m_updatesStale = true;
    std::vector<Album> m_albums;
};

} // namespace immichdouble
