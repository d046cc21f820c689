#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QString>
#include <QUuid>

#include <array>
#include <mutex>
#include <optional>
#include <vector>

namespace immichdouble {

enum class AssetType : quint8 { Image, Video };
enum class AlbumRole : quint8 { None, Owner, Editor, Viewer };

using Sha1 = std::array<char, 20>;

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
struct Asset {
    QUuid id;
    QString originalFileName;
    QByteArray bytes; // empty for generated assets, whose bytes come from seedIndex
    qint64 fileCreatedAt = 0;
    qint64 fileModifiedAt = 0;
    qint64 dateTimeOriginal = 0;
    qint64 createdAt = 0;
    qint64 updatedAt = 0;
    qint64 size = 0;
    Sha1 checksum{};
    qint32 owner = -1;
    qint32 seedIndex = -1;
    quint16 width = 0;
    quint16 height = 0;
    AssetType type = AssetType::Image;
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
    void setTrashed(int index, bool trashed);
    void removeAsset(int index);
    // Every live asset, newest fileCreatedAt first.
    const std::vector<int>& assetsNewestFirst();

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
    std::vector<User> m_users;
    std::vector<ApiKey> m_apiKeys;
    QHash<QByteArray, int> m_accessTokens;
    std::vector<Asset> m_assets;
    QHash<QUuid, int> m_assetById;
    std::vector<int> m_newestFirst;
    bool m_orderStale = true;
    std::vector<Album> m_albums;
};

} // namespace immichdouble
