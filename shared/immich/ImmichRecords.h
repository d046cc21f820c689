#pragma once

#include "Result.h"

#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>

namespace pixavella {

// Records read from the Immich REST API. Keys match exactly, unknown keys are ignored,
// dates stay text (see parseImmichDate). A required key that is missing, or any present key
// of the wrong type, makes the whole record fail with an ErrorDomain::Decoding error; an
// optional key that is missing or null is absent.

struct ExifInfo {
    std::optional<qint64> fileSizeInByte;
    std::optional<QString> dateTimeOriginal;

    static Result<ExifInfo> fromJson(const QJsonValue& json);
};

struct ImmichAsset {
    QString id;
    QString type;
    QString originalFileName;
    QString fileCreatedAt;
    std::optional<QString> fileModifiedAt;
    std::optional<QString> checksum;
    std::optional<bool> isTrashed;
    std::optional<ExifInfo> exifInfo;
    // When the asset entered the library (the server's clock).
    std::optional<QString> createdAt;

    static Result<ImmichAsset> fromJson(const QJsonValue& json);
};

} // namespace pixavella

// Whole-library lists hold a hundred thousand of these: they grow and shrink by moving bytes
// rather than element by element (their members are Qt strings and plain values).
Q_DECLARE_TYPEINFO(pixavella::ExifInfo, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(pixavella::ImmichAsset, Q_RELOCATABLE_TYPE);

namespace pixavella {

struct AssetsPage {
    QList<ImmichAsset> items;
    std::optional<QString> nextPage;

    // The page to ask for next, when nextPage is a whole decimal number (optional sign).
    std::optional<int> nextPageNumber() const;
    static Result<AssetsPage> fromJson(const QJsonValue& json);
};

struct SearchResponse {
    AssetsPage assets;
    static Result<SearchResponse> fromJson(const QJsonValue& json);
};

struct User {
    QString id;
    static Result<User> fromJson(const QJsonValue& json);
};

struct ImmichAlbumUser {
    QString role;
    User user;
    static Result<ImmichAlbumUser> fromJson(const QJsonValue& json);
};

// Current servers send no "ownerId" and list the owner among "albumUsers" with role "owner";
// every album record takes its ownerId from that member when the key is missing, so both
// server dialects give the same owner. albumUsers is kept as sent (the owner stays listed).
struct ImmichAlbum {
    QString id;
    QString albumName;
    std::optional<qint64> assetCount;
    std::optional<QString> ownerId;
    std::optional<QList<ImmichAlbumUser>> albumUsers;
    // Moves when the album's name or photos change (current servers).
    std::optional<QString> updatedAt;

    static Result<ImmichAlbum> fromJson(const QJsonValue& json);
    // The body of GET albums: fails as a whole when one album fails.
    static Result<QList<ImmichAlbum>> listFromJson(const QJsonValue& json);
};

struct AlbumMeta {
    QString id;
    QString albumName;
    std::optional<QString> ownerId;
    std::optional<QList<ImmichAlbumUser>> albumUsers;

    static Result<AlbumMeta> fromJson(const QJsonValue& json);
};

struct ImmichAlbumDetail {
    QString id;
    QString albumName;
    QList<ImmichAsset> assets;
    std::optional<QString> ownerId;
    std::optional<QList<ImmichAlbumUser>> albumUsers;

    // Strict: "assets" is required. Current servers answer GET albums/{id} without "assets";
    // when hasAssets() is false, decode the body as AlbumMeta, list the album's assets with
    // the metadata search and join both with fromMetaAndAssets().
    static Result<ImmichAlbumDetail> fromJson(const QJsonValue& json);
    // True when `json` is an object whose "assets" key is present and not null.
    static bool hasAssets(const QJsonValue& json);
    static ImmichAlbumDetail fromMetaAndAssets(AlbumMeta meta, QList<ImmichAsset> assets);
};

struct ImmichAssetStatistics {
    qint64 images = 0;
    qint64 videos = 0;
    qint64 total = 0;
    static Result<ImmichAssetStatistics> fromJson(const QJsonValue& json);
};

// `GET server/storage`: the disk of the server's upload folder, in bytes.
struct ImmichServerStorage {
    qint64 size = 0;
    qint64 available = 0;
    static Result<ImmichServerStorage> fromJson(const QJsonValue& json);
};

struct LoginResult {
    QString accessToken;
    QString email;
    QString userId;
    QString name;
};

struct CreatedApiKey {
    QString secret;
    QString id;
};

struct UploadResult {
    QString assetId;
    bool duplicate = false;
};

struct CurrentUser {
    QString id;
    QString email;
};

enum class AlbumAccess { owner, editor, viewer };

AlbumAccess albumAccess(const std::optional<QString>& ownerId,
                        const std::optional<QList<ImmichAlbumUser>>& albumUsers,
                        const QString& userId);
inline AlbumAccess albumAccess(const ImmichAlbum& a, const QString& userId)
{
    return albumAccess(a.ownerId, a.albumUsers, userId);
}
inline AlbumAccess albumAccess(const AlbumMeta& a, const QString& userId)
{
    return albumAccess(a.ownerId, a.albumUsers, userId);
}
inline AlbumAccess albumAccess(const ImmichAlbumDetail& a, const QString& userId)
{
    return albumAccess(a.ownerId, a.albumUsers, userId);
}

// Strict internet date-time: with fractional seconds first, then without; a zone ("Z" or
// "+hh:mm") is required. Anything else, the EXIF style "2024:03:01 10:00:00" included, is absent.
std::optional<QDateTime> parseImmichDate(const std::optional<QString>& text);

// The UTC year and month of the date parseImmichDate reads from `text`, without building the
// date: the library is filed by month on every complete listing.
struct UtcMonth {
    int year = 0;
    int month = 0;
    bool operator==(const UtcMonth&) const = default;
};
std::optional<UtcMonth> immichDateUtcMonth(QStringView text);

// The client's own errors (ErrorDomain::Client).
namespace ClientError {
inline constexpr int kNoData = -2'147'483'647 - 1;
// "Réponse HTTP <status> d'Immich"; -1 stands for an answer without HTTP status.
Error http(int status);
// "Réponse vide d'Immich"
Error noData();
bool isHttp(const Error& e, int status);
bool isNoData(const Error& e);
} // namespace ClientError

// Decoding failure (ErrorDomain::Decoding, code 0). `reason` names what was wrong, record
// decoders give the key path ("assets.items[3].fileCreatedAt: missing").
Error decodingError(const QString& reason);

} // namespace pixavella
