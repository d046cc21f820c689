#pragma once

#include "HttpSession.h"
#include "ImmichRecords.h"

#include <QHash>
#include <QJsonObject>
#include <QMutex>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>

namespace pixavella {

template <typename T> using Completion = std::function<void(Result<T>)>;

class CurrentUserIdCache;

// The one place that speaks HTTP to the Immich server. A small value with no state between
// calls; every call completes exactly once, on the HTTP session's callback pool.
class ImmichClient {
public:
    ImmichClient(QUrl baseURL, QString apiKey);

    const QUrl& baseURL() const { return m_baseURL; }
    const QString& apiKey() const { return m_apiKey; }

    // baseURL/api/<path>, 60 s, x-api-key, Accept JSON, Content-Type JSON for every method but
    // GET. `path` is already encoded: segments separated by "/", ids passed through
    // pathSegment(). A path with an empty, "." or ".." segment gives a request with an invalid
    // URL, which the operations answer as the server answers a malformed id: http(400),
    // without sending anything.
    HttpRequest makeRequest(const QString& path, const QByteArray& method,
                            const std::optional<QJsonObject>& body = std::nullopt) const;
    // An id as one path segment: "/", "?", "#", "%", spaces, controls and non-ASCII are
    // percent-encoded; UUIDs come out unchanged.
    static QString pathSegment(const QString& id);

    // Each page of a search as it is taken, in order, before the search completes.
    using PageObserver = std::function<void(const QList<ImmichAsset>& page)>;
    // The whole library, newest first, in pages of 1000 that are concatenated.
    void searchAssets(Completion<QList<ImmichAsset>> done, PageObserver onPage = {}) const;
    // The whole library (no `updatedAfter`), or only the assets changed since then, trashed
    // ones included and marked isTrashed; with the server's time of the answer (its Date
    // header) when it gave one.
    struct AssetListing {
        QList<ImmichAsset> assets;
        std::optional<QDateTime> serverTime;
    };
    void searchAssetChanges(const std::optional<QDateTime>& updatedAfter,
                            Completion<AssetListing> done, PageObserver onPage = {}) const;
    void searchAlbumAssets(const QString& albumId, Completion<QList<ImmichAsset>> done) const;
    // Own albums (shared = false: those whose owner is the current user or unknown) or albums
    // shared with the user (shared = true: every album not owned by the current user). Older
    // servers filter by the query shared=true, current ones answer every visible album to
    // both, so the owner decides in both cases. The current user's id comes from `me`, filled
    // first with users/me when it has none for this client; `me` must outlive the listing.
    void listAlbums(bool shared, CurrentUserIdCache& me, Completion<QList<ImmichAlbum>> done) const;
    // The album with its assets; when the server's answer has no "assets" (current servers),
    // they are read with the metadata search for that album.
    void getAlbum(const QString& albumId, Completion<ImmichAlbumDetail> done) const;
    void getAlbumMeta(const QString& albumId, Completion<AlbumMeta> done) const;
    void fetchCurrentUserId(Completion<QString> done) const;
    void fetchCurrentUser(Completion<CurrentUser> done) const;
    void getAsset(const QString& assetId, Completion<ImmichAsset> done) const;
    // Succeeds with the path of the downloaded file in `directory` (the temporary folder when
    // empty; a fresh UUID as name); the caller owns the file. The file is written under a
    // ".partial" name and renamed only once every byte the server announced has arrived, so a
    // transfer cut short never leaves a file that looks whole.
    std::shared_ptr<HttpTask> downloadOriginal(const QString& assetId, Completion<QString> done,
                                               HttpProgress progress = {},
                                               const QString& directory = {}) const;
    void fetchThumbnail(const QString& assetId, Completion<QByteArray> done) const;
    void createAlbum(const QString& name, Completion<QString> done) const;
    void renameAlbum(const QString& albumId, const QString& name, Completion<void> done) const;
    void deleteAlbum(const QString& albumId, Completion<void> done) const;
    void addAssetsToAlbum(const QString& albumId, const QStringList& assetIds,
                          Completion<void> done) const;
    void removeAssetsFromAlbum(const QString& albumId, const QStringList& assetIds,
                               Completion<void> done) const;
    void removeAssetFromAlbum(const QString& albumId, const QString& assetId,
                              Completion<bool> done) const;
    void trashAssets(const QStringList& assetIds, Completion<void> done) const;
    void restoreAssets(const QStringList& assetIds, Completion<void> done) const;
    // The photo's capture date (`PUT assets/{id}` with `dateTimeOriginal`); the server files it
    // in its new month a few seconds later.
    // `PUT assets/copy`: the target asset takes the source's albums, favourite, stack, shared
    // links and sidecar (the server's own way of replacing a photo's file).
    void copyAssetProperties(const QString& sourceId, const QString& targetId,
                             Completion<void> done) const;
    void setCaptureDate(const QString& assetId, const QDateTime& capturedAt,
                        Completion<void> done) const;
    // Streams a multipart body: the form's fields around the bytes of `localFile`, read from
    // the file itself while they are sent. A duplicate found in the server's trash is restored.
    std::shared_ptr<HttpTask> uploadAsset(const QString& localFile, const QString& fileName,
                                          const std::optional<QDateTime>& createdAt,
                                          Completion<UploadResult> done,
                                          HttpProgress progress = {}) const;
    void fetchStatistics(Completion<ImmichAssetStatistics> done) const;
    void fetchStorage(Completion<ImmichServerStorage> done) const;
    void deleteApiKey(const QString& keyId, Completion<void> done) const;

    static void login(const QUrl& server, const QString& email, const QString& password,
                      Completion<LoginResult> done);
    static void createApiKey(const QUrl& server, const QString& accessToken, const QString& name,
                             Completion<CreatedApiKey> done);

private:
    QUrl m_baseURL;
    QString m_apiKey;
};

// True for network trouble worth retrying later: time-outs, refused or lost connections, DNS
// and host lookups, TLS set-up, temporary unavailability, http(500…599) and http(-1).
bool isTransientError(const Error& error);

// The current user's id, cached per (server, key) so a new sign-in is seen.
class CurrentUserIdCache {
public:
    CurrentUserIdCache() = default;
    CurrentUserIdCache(const CurrentUserIdCache&) = delete;
    CurrentUserIdCache& operator=(const CurrentUserIdCache&) = delete;

    std::optional<QString> get(const ImmichClient& client) const;
    void set(const ImmichClient& client, const QString& userId);
    void clear();
    // The cached id, or users/me to fill the cache; `done` runs on the HTTP callback pool.
    void fetch(const ImmichClient& client, Completion<QString> done);

private:
    static QString keyOf(const ImmichClient& client);
    mutable QMutex m_mutex;
    QHash<QString, QString> m_ids; // (server, key) → user id; protected by m_mutex
};

} // namespace pixavella
