#include "LibraryState.h"

#include "MediaBytes.h"

#include <QDateTime>
#include <QRandomGenerator>

#include <algorithm>
#include <climits>

namespace immichdouble {

namespace {

const char* const kAvatarColors[] = {"primary", "pink",   "red",    "yellow", "blue",
                                     "green",   "purple", "orange", "gray",   "amber"};

QString displayName(const QString& email)
{
    QString name = email.section(QLatin1Char('@'), 0, 0);
    if (!name.isEmpty())
        name[0] = name[0].toUpper();
    return name;
}

QByteArray randomSecret()
{
    // 32 random bytes as URL-safe text, like the server's own key secrets.
    std::array<quint32, 8> words;
    QRandomGenerator::system()->generate(words.begin(), words.end());
    const QByteArray raw(reinterpret_cast<const char*>(words.data()), int(sizeof(words)));
    return raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

bool capturedLater(const Asset& a, const Asset& b)
{
    if (a.fileCreatedAt != b.fileCreatedAt)
        return a.fileCreatedAt > b.fileCreatedAt;
    return a.createdAt > b.createdAt;
}

} // namespace

qint64 LibraryState::now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

int LibraryState::addUser(const QString& email, const QString& password)
{
    User user;
    user.id = uuidText(QUuid::createUuid());
    user.email = email;
    user.password = password;
    user.name = displayName(email);
    user.avatarColor =
        QString::fromLatin1(kAvatarColors[m_users.size() % std::size(kAvatarColors)]);
    user.createdAt = now();
    user.isAdmin = m_users.empty();
    m_users.push_back(user);
    return int(m_users.size() - 1);
}

int LibraryState::userByEmail(const QString& email) const
{
    for (size_t i = 0; i < m_users.size(); ++i) {
        if (m_users[i].email.compare(email, Qt::CaseInsensitive) == 0)
            return int(i);
    }
    return -1;
}

int LibraryState::userById(const QString& id) const
{
    for (size_t i = 0; i < m_users.size(); ++i) {
        if (m_users[i].id == id)
            return int(i);
    }
    return -1;
}

const ApiKey& LibraryState::addApiKey(int user, const QString& name, const QJsonArray& permissions,
                                      const QByteArray& secret)
{
    ApiKey key;
    key.id = uuidText(QUuid::createUuid());
    key.secret = secret.isEmpty() ? randomSecret() : secret;
    key.name = name;
    key.permissions = permissions;
    key.user = user;
    key.createdAt = now();
    m_apiKeys.push_back(key);
    return m_apiKeys.back();
}

bool LibraryState::removeApiKey(int user, const QString& id)
{
    const auto it = std::find_if(m_apiKeys.begin(), m_apiKeys.end(), [&](const ApiKey& key) {
        return key.id == id && key.user == user;
    });
    if (it == m_apiKeys.end())
        return false;
    m_apiKeys.erase(it);
    return true;
}

int LibraryState::userForApiKey(const QByteArray& secret) const
{
    for (const ApiKey& key : m_apiKeys) {
        if (key.secret == secret)
            return key.user;
    }
    return -1;
}

QList<QByteArray> LibraryState::apiKeySecrets(int user) const
{
    QList<QByteArray> secrets;
    for (const ApiKey& key : m_apiKeys) {
        if (key.user == user)
            secrets.append(key.secret);
    }
    return secrets;
}

QByteArray LibraryState::addAccessToken(int user)
{
    const QByteArray token = randomSecret();
    m_accessTokens.insert(token, user);
    return token;
}

int LibraryState::userForAccessToken(const QByteArray& token) const
{
    return m_accessTokens.value(token, -1);
}

int LibraryState::addAsset(Asset asset)
{
    if (asset.id.isNull())
        asset.id = QUuid::createUuid();
    if (asset.createdAt == 0)
        asset.createdAt = now();
    if (asset.updatedAt == 0)
        asset.updatedAt = asset.createdAt;
    if (asset.trashed && asset.trashedAt == 0)
        asset.trashedAt = asset.updatedAt;
    const int index = int(m_assets.size());
    m_assetById.insert(asset.id, index);
    m_assets.push_back(std::move(asset));
    insertInOrder(index);
    recordUpdate(index);
    return index;
}

int LibraryState::assetIndex(const QString& id) const
{
    const QUuid uuid(id);
    if (uuid.isNull())
        return -1;
    return m_assetById.value(uuid, -1);
}

int LibraryState::findByChecksum(int owner, const Sha1& checksum) const
{
    for (size_t i = 0; i < m_assets.size(); ++i) {
        const Asset& asset = m_assets[i];
        if (!asset.removed && asset.owner == owner && asset.checksum == checksum)
            return int(i);
    }
    return -1;
}

QByteArray LibraryState::originalBytes(int index) const
{
    const Asset& asset = m_assets.at(size_t(index));
    if (asset.seedIndex >= 0)
        return generatedPayload(asset.seedIndex, asset.type);
    return asset.bytes;
}

bool LibraryState::canReadAsset(int user, int index) const
{
    const Asset& asset = m_assets.at(size_t(index));
    if (asset.removed)
        return false;
    if (asset.owner == user)
        return true;
    for (const Album& album : m_albums) {
        if (album.removed || role(album, user) == AlbumRole::None)
            continue;
        if (std::find(album.assets.begin(), album.assets.end(), index) != album.assets.end())
            return true;
    }
    return false;
}

void LibraryState::touch(int index)
{
    m_assets.at(size_t(index)).updatedAt = now();
    recordUpdate(index);
}

void LibraryState::setTrashed(int index, bool trashed)
{
    Asset& asset = m_assets.at(size_t(index));
    asset.trashed = trashed;
    asset.trashedAt = trashed ? now() : 0;
    touch(index);
}

void LibraryState::setFileCreatedAt(int index, qint64 fileCreatedAt)
{
    eraseFromOrder(index);
    m_assets.at(size_t(index)).fileCreatedAt = fileCreatedAt;
    insertInOrder(index);
    touch(index);
}

void LibraryState::removeAsset(int index)
{
    eraseFromOrder(index);
    Asset& asset = m_assets.at(size_t(index));
    asset.removed = true;
    asset.bytes.clear();
    asset.description.clear();
    m_assetById.remove(asset.id);
    for (Album& album : m_albums)
        album.assets.erase(std::remove(album.assets.begin(), album.assets.end(), index),
                           album.assets.end());
}

bool LibraryState::newerFirst(int a, int b) const
{
    const Asset& x = m_assets[size_t(a)];
    const Asset& y = m_assets[size_t(b)];
    if (x.fileCreatedAt != y.fileCreatedAt)
        return x.fileCreatedAt > y.fileCreatedAt;
    if (x.createdAt != y.createdAt)
        return x.createdAt > y.createdAt;
    return a < b;
}

const std::vector<int>& LibraryState::assetsNewestFirst()
{
    if (m_orderStale) {
        m_newestFirst.clear();
        m_newestFirst.reserve(m_assets.size());
        for (size_t i = 0; i < m_assets.size(); ++i) {
            if (!m_assets[i].removed)
                m_newestFirst.push_back(int(i));
        }
        std::sort(m_newestFirst.begin(), m_newestFirst.end(),
                  [this](int a, int b) { return newerFirst(a, b); });
        m_orderStale = false;
    }
    return m_newestFirst;
}

// Kept in place once built: a new or moved asset costs a binary search and a move of the
// tail, not a sort of the whole library before the next listing.
void LibraryState::insertInOrder(int index)
{
    if (m_orderStale)
        return;
    const auto at = std::lower_bound(m_newestFirst.begin(), m_newestFirst.end(), index,
                                     [this](int a, int b) { return newerFirst(a, b); });
    m_newestFirst.insert(at, index);
}

void LibraryState::eraseFromOrder(int index)
{
    if (m_orderStale)
        return;
    const auto at = std::lower_bound(m_newestFirst.begin(), m_newestFirst.end(), index,
                                     [this](int a, int b) { return newerFirst(a, b); });
    if (at != m_newestFirst.end() && *at == index)
        m_newestFirst.erase(at);
    else
        m_orderStale = true;
}

void LibraryState::recordUpdate(int index)
{
    if (m_updatesStale)
        return;
    const qint64 at = m_assets[size_t(index)].updatedAt;
    // A clock set back, or a log mostly of replaced entries: rebuilt when next needed.
    if ((!m_updates.empty() && at < m_updates.back().first) ||
        m_updates.size() > 2 * m_assets.size() + 1024) {
        m_updatesStale = true;
        m_updates.clear();
        return;
    }
    m_updates.emplace_back(at, index);
}

std::vector<int> LibraryState::assetsUpdatedSince(qint64 since)
{
    if (m_updatesStale) {
        m_updates.clear();
        m_updates.reserve(m_assets.size());
        for (size_t i = 0; i < m_assets.size(); ++i) {
            if (!m_assets[i].removed)
                m_updates.emplace_back(m_assets[i].updatedAt, int(i));
        }
        std::sort(m_updates.begin(), m_updates.end());
        m_updatesStale = false;
    }
    std::vector<int> found;
    const auto first = std::lower_bound(m_updates.begin(), m_updates.end(),
                                        std::pair<qint64, int>(since, INT_MIN));
    for (auto it = first; it != m_updates.end(); ++it) {
        const Asset& asset = m_assets[size_t(it->second)];
        if (!asset.removed && asset.updatedAt == it->first)
            found.push_back(it->second);
    }
    // Updated twice within one millisecond: listed twice.
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
}

int LibraryState::addAlbum(Album album)
{
    if (album.id.isNull())
        album.id = QUuid::createUuid();
    if (album.createdAt == 0)
        album.createdAt = now();
    if (album.updatedAt == 0)
        album.updatedAt = album.createdAt;
    m_albums.push_back(std::move(album));
    return int(m_albums.size() - 1);
}

int LibraryState::albumIndex(const QString& id) const
{
    const QUuid uuid(id);
    if (uuid.isNull())
        return -1;
    for (size_t i = 0; i < m_albums.size(); ++i) {
        if (!m_albums[i].removed && m_albums[i].id == uuid)
            return int(i);
    }
    return -1;
}

void LibraryState::removeAlbum(int index)
{
    Album& album = m_albums.at(size_t(index));
    album.removed = true;
    album.assets.clear();
    album.members.clear();
}

AlbumRole LibraryState::role(const Album& album, int user) const
{
    if (album.owner == user)
        return AlbumRole::Owner;
    for (const AlbumMember& member : album.members) {
        if (member.user == user)
            return member.role;
    }
    return AlbumRole::None;
}

std::vector<int> LibraryState::albumAssets(const Album& album, bool withTrashed) const
{
    std::vector<int> result;
    for (int index : album.assets) {
        if (withTrashed || !m_assets[size_t(index)].trashed)
            result.push_back(index);
    }
    std::stable_sort(result.begin(), result.end(),
                     [this](int a, int b) { return capturedLater(m_assets[a], m_assets[b]); });
    return result;
}

} // namespace immichdouble
