#include "ImmichRecords.h"

#include <QJsonArray>

#include <limits>

namespace pixavella {

namespace {

// Where a value sits in the response. Rendered only when decoding fails, so that decoding a
// large listing builds no strings; each path lives in the frame of the decoder that reads it.
struct KeyPath {
    const KeyPath* parent = nullptr;
    QLatin1StringView key;
    qsizetype index = -1;

    KeyPath child(QLatin1StringView name) const { return KeyPath{this, name, -1}; }
    KeyPath element(qsizetype i) const { return KeyPath{this, {}, i}; }

    QString render() const
    {
        if (!parent)
            return QString();
        const QString above = parent->render();
        if (index >= 0)
            return above + QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
        return above.isEmpty() ? QString(key) : above + QLatin1Char('.') + key;
    }
};

Error failureAt(const KeyPath& path, QLatin1StringView problem)
{
    const QString where = path.render();
    return decodingError((where.isEmpty() ? QStringLiteral("(root)") : where) +
                         QLatin1String(": ") + problem);
}

// A JSON number is an integer field's value only when it is whole and fits in 64 bits:
// toInteger() answers its default for anything else, so two different defaults tell.
std::optional<qint64> wholeNumber(const QJsonValue& value)
{
    if (!value.isDouble())
        return std::nullopt;
    const qint64 a = value.toInteger(0);
    const qint64 b = value.toInteger(1);
    if (a != b)
        return std::nullopt;
    return a;
}

template <typename T> using Decoder = Result<T> (*)(const QJsonValue& json, const KeyPath& path);

template <typename T>
Result<QList<T>> decodeList(const QJsonValue& json, const KeyPath& path, Decoder<T> decode)
{
    if (!json.isArray())
        return failureAt(path, QLatin1String("not an array"));
    const QJsonArray array = json.toArray();
    QList<T> items;
    items.reserve(array.size());
    for (qsizetype i = 0; i < array.size(); ++i) {
        Result<T> item = decode(array.at(i), path.element(i));
        if (!item)
            return item.error();
        items.append(std::move(item).value());
    }
    return items;
}

// Reads the fields of one JSON object. The first problem is kept and every later read gives a
// default, so a decoder reads all its fields and checks ok() once at the end.
class Fields {
public:
    Fields(const QJsonValue& json, const KeyPath& path) : m_path(path)
    {
        if (json.isObject())
            m_object = json.toObject();
        else
            m_error = failureAt(m_path, QLatin1String("not an object"));
    }

    bool ok() const { return !m_error; }
    const Error& error() const { return *m_error; }

    QString requiredString(QLatin1StringView key)
    {
        return required<QString>(key, &Fields::readString);
    }
    std::optional<QString> optionalString(QLatin1StringView key)
    {
        return optional<QString>(key, &Fields::readString);
    }
    qint64 requiredInteger(QLatin1StringView key)
    {
        return required<qint64>(key, &Fields::readInteger);
    }
    std::optional<qint64> optionalInteger(QLatin1StringView key)
    {
        return optional<qint64>(key, &Fields::readInteger);
    }
    std::optional<bool> optionalBool(QLatin1StringView key)
    {
        return optional<bool>(key, &Fields::readBool);
    }

    template <typename T> T requiredRecord(QLatin1StringView key, Decoder<T> decode)
    {
        return required<T>(
            key, [decode](const QJsonValue& v, const KeyPath& p) { return decode(v, p); });
    }
    template <typename T> std::optional<T> optionalRecord(QLatin1StringView key, Decoder<T> decode)
    {
        return optional<T>(
            key, [decode](const QJsonValue& v, const KeyPath& p) { return decode(v, p); });
    }
    template <typename T> QList<T> requiredList(QLatin1StringView key, Decoder<T> decode)
    {
        return required<QList<T>>(key, [decode](const QJsonValue& v, const KeyPath& p) {
            return decodeList<T>(v, p, decode);
        });
    }
    template <typename T>
    std::optional<QList<T>> optionalList(QLatin1StringView key, Decoder<T> decode)
    {
        return optional<QList<T>>(key, [decode](const QJsonValue& v, const KeyPath& p) {
            return decodeList<T>(v, p, decode);
        });
    }

private:
    static Result<QString> readString(const QJsonValue& value, const KeyPath& path)
    {
        if (!value.isString())
            return failureAt(path, QLatin1String("not a string"));
        return value.toString();
    }
    static Result<qint64> readInteger(const QJsonValue& value, const KeyPath& path)
    {
        if (const auto number = wholeNumber(value))
            return *number;
        return failureAt(path, QLatin1String("not a whole number"));
    }
    static Result<bool> readBool(const QJsonValue& value, const KeyPath& path)
    {
        if (!value.isBool())
            return failureAt(path, QLatin1String("not a boolean"));
        return value.toBool();
    }

    template <typename T, typename Read> T required(QLatin1StringView key, Read read)
    {
        if (m_error)
            return T{};
        const KeyPath path = m_path.child(key);
        const auto it = m_object.constFind(key);
        if (it == m_object.constEnd()) {
            m_error = failureAt(path, QLatin1String("missing"));
            return T{};
        }
        Result<T> result = read(it.value(), path);
        if (!result) {
            m_error = result.error();
            return T{};
        }
        return std::move(result).value();
    }

    template <typename T, typename Read> std::optional<T> optional(QLatin1StringView key, Read read)
    {
        if (m_error)
            return std::nullopt;
        const auto it = m_object.constFind(key);
        if (it == m_object.constEnd() || it.value().isNull())
            return std::nullopt;
        Result<T> result = read(it.value(), m_path.child(key));
        if (!result) {
            m_error = result.error();
            return std::nullopt;
        }
        return std::move(result).value();
    }

    const KeyPath& m_path;
    QJsonObject m_object;
    std::optional<Error> m_error;
};

// Current servers leave out "ownerId" and list the owner among the members instead.
std::optional<QString> ownerFromMembers(const std::optional<QList<ImmichAlbumUser>>& members)
{
    if (!members)
        return std::nullopt;
    for (const ImmichAlbumUser& member : *members) {
        if (member.role == QLatin1String("owner"))
            return member.user.id;
    }
    return std::nullopt;
}

Result<ExifInfo> decodeExif(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    ExifInfo exif;
    exif.fileSizeInByte = f.optionalInteger(QLatin1String("fileSizeInByte"));
    exif.dateTimeOriginal = f.optionalString(QLatin1String("dateTimeOriginal"));
    if (!f.ok())
        return f.error();
    return exif;
}

Result<ImmichAsset> decodeAsset(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    ImmichAsset asset;
    asset.id = f.requiredString(QLatin1String("id"));
    asset.type = f.requiredString(QLatin1String("type"));
    asset.originalFileName = f.requiredString(QLatin1String("originalFileName"));
    asset.fileCreatedAt = f.requiredString(QLatin1String("fileCreatedAt"));
    asset.fileModifiedAt = f.optionalString(QLatin1String("fileModifiedAt"));
    asset.checksum = f.optionalString(QLatin1String("checksum"));
    asset.isTrashed = f.optionalBool(QLatin1String("isTrashed"));
    asset.exifInfo = f.optionalRecord<ExifInfo>(QLatin1String("exifInfo"), &decodeExif);
    asset.createdAt = f.optionalString(QLatin1String("createdAt"));
    if (!f.ok())
        return f.error();
    return asset;
}

Result<AssetsPage> decodePage(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    AssetsPage page;
    page.items = f.requiredList<ImmichAsset>(QLatin1String("items"), &decodeAsset);
    page.nextPage = f.optionalString(QLatin1String("nextPage"));
    if (!f.ok())
        return f.error();
    return page;
}

Result<SearchResponse> decodeSearch(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    SearchResponse response;
    response.assets = f.requiredRecord<AssetsPage>(QLatin1String("assets"), &decodePage);
    if (!f.ok())
        return f.error();
    return response;
}

Result<User> decodeUser(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    User user;
    user.id = f.requiredString(QLatin1String("id"));
    if (!f.ok())
        return f.error();
    return user;
}

Result<ImmichAlbumUser> decodeAlbumUser(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    ImmichAlbumUser member;
    member.role = f.requiredString(QLatin1String("role"));
    member.user = f.requiredRecord<User>(QLatin1String("user"), &decodeUser);
    if (!f.ok())
        return f.error();
    return member;
}

// The fields every album object shares, owner mended.
struct AlbumHead {
    QString id;
    QString albumName;
    std::optional<QString> ownerId;
    std::optional<QList<ImmichAlbumUser>> albumUsers;

    void read(Fields& f)
    {
        id = f.requiredString(QLatin1String("id"));
        albumName = f.requiredString(QLatin1String("albumName"));
        ownerId = f.optionalString(QLatin1String("ownerId"));
        albumUsers = f.optionalList<ImmichAlbumUser>(QLatin1String("albumUsers"), &decodeAlbumUser);
        if (!ownerId)
            ownerId = ownerFromMembers(albumUsers);
    }
};

Result<ImmichAlbum> decodeAlbum(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    AlbumHead head;
    head.read(f);
    const std::optional<qint64> assetCount = f.optionalInteger(QLatin1String("assetCount"));
    std::optional<QString> updatedAt = f.optionalString(QLatin1String("updatedAt"));
    if (!f.ok())
        return f.error();
    return ImmichAlbum{std::move(head.id),      std::move(head.albumName),  assetCount,
                       std::move(head.ownerId), std::move(head.albumUsers), std::move(updatedAt)};
}

Result<AlbumMeta> decodeAlbumMeta(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    AlbumHead head;
    head.read(f);
    if (!f.ok())
        return f.error();
    return AlbumMeta{std::move(head.id), std::move(head.albumName), std::move(head.ownerId),
                     std::move(head.albumUsers)};
}

Result<ImmichAlbumDetail> decodeAlbumDetail(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    AlbumHead head;
    head.read(f);
    QList<ImmichAsset> assets = f.requiredList<ImmichAsset>(QLatin1String("assets"), &decodeAsset);
    if (!f.ok())
        return f.error();
    return ImmichAlbumDetail{std::move(head.id), std::move(head.albumName), std::move(assets),
                             std::move(head.ownerId), std::move(head.albumUsers)};
}

Result<ImmichAssetStatistics> decodeStatistics(const QJsonValue& json, const KeyPath& path)
{
    Fields f(json, path);
    ImmichAssetStatistics statistics;
    statistics.images = f.requiredInteger(QLatin1String("images"));
    statistics.videos = f.requiredInteger(QLatin1String("videos"));
    statistics.total = f.requiredInteger(QLatin1String("total"));
    if (!f.ok())
        return f.error();
    return statistics;
}

} // namespace

Result<ExifInfo> ExifInfo::fromJson(const QJsonValue& json)
{
    return decodeExif(json, KeyPath{});
}

Result<ImmichAsset> ImmichAsset::fromJson(const QJsonValue& json)
{
    return decodeAsset(json, KeyPath{});
}

std::optional<int> AssetsPage::nextPageNumber() const
{
    if (!nextPage)
        return std::nullopt;
    // Sign and decimal digits only: no blanks, no fraction, no exponent, within int.
    const QString& text = *nextPage;
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    qint64 magnitude = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        magnitude = magnitude * 10 + (c - u'0');
        if (magnitude > qint64(std::numeric_limits<int>::max()) + 1)
            return std::nullopt;
    }
    const qint64 number = negative ? -magnitude : magnitude;
    if (number > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(number);
}

Result<AssetsPage> AssetsPage::fromJson(const QJsonValue& json)
{
    return decodePage(json, KeyPath{});
}

Result<SearchResponse> SearchResponse::fromJson(const QJsonValue& json)
{
    return decodeSearch(json, KeyPath{});
}

Result<User> User::fromJson(const QJsonValue& json)
{
    return decodeUser(json, KeyPath{});
}

Result<ImmichAlbumUser> ImmichAlbumUser::fromJson(const QJsonValue& json)
{
    return decodeAlbumUser(json, KeyPath{});
}

Result<ImmichAlbum> ImmichAlbum::fromJson(const QJsonValue& json)
{
    return decodeAlbum(json, KeyPath{});
}

Result<QList<ImmichAlbum>> ImmichAlbum::listFromJson(const QJsonValue& json)
{
    return decodeList<ImmichAlbum>(json, KeyPath{}, &decodeAlbum);
}

Result<AlbumMeta> AlbumMeta::fromJson(const QJsonValue& json)
{
    return decodeAlbumMeta(json, KeyPath{});
}

Result<ImmichAlbumDetail> ImmichAlbumDetail::fromJson(const QJsonValue& json)
{
    return decodeAlbumDetail(json, KeyPath{});
}

bool ImmichAlbumDetail::hasAssets(const QJsonValue& json)
{
    if (!json.isObject())
        return false;
    const QJsonValue assets = json.toObject().value(QLatin1String("assets"));
    return !assets.isUndefined() && !assets.isNull();
}

ImmichAlbumDetail ImmichAlbumDetail::fromMetaAndAssets(AlbumMeta meta, QList<ImmichAsset> assets)
{
    return ImmichAlbumDetail{std::move(meta.id), std::move(meta.albumName), std::move(assets),
                             std::move(meta.ownerId), std::move(meta.albumUsers)};
}

Result<ImmichAssetStatistics> ImmichAssetStatistics::fromJson(const QJsonValue& json)
{
    return decodeStatistics(json, KeyPath{});
}

Result<ImmichServerStorage> ImmichServerStorage::fromJson(const QJsonValue& json)
{
    Fields f(json, KeyPath{});
    ImmichServerStorage storage;
    storage.size = f.requiredInteger(QLatin1String("diskSizeRaw"));
    storage.available = f.requiredInteger(QLatin1String("diskAvailableRaw"));
    if (!f.ok())
        return f.error();
    return storage;
}

} // namespace pixavella
