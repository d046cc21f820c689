#include "LibraryLoader.h"

#include "DateText.h"
#include "MediaBytes.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace immichdouble {

namespace {

// Seeded dates run back from here over about six years.
const qint64 kSeedNewest = QDateTime(QDate(2025, 6, 30), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch();
constexpr qint64 kSeedSpanMs = qint64(6) * 365 * 24 * 3600 * 1000;
const QUuid kSeedNamespace(QStringLiteral("6f1c2a4e-3d2b-4c1a-9e8f-5a7b6c5d4e3f"));

quint64 mix(quint64 value)
{
    value += 0x9e3779b97f4a7c15ULL;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

} // namespace

Asset makeAsset(const AssetInput& input)
{
    const auto kind = mediaKindForFileName(input.fileName);
    Asset asset;
    asset.owner = input.owner;
    asset.originalFileName = input.fileName;
    asset.type = input.type ? *input.type : (kind ? kind->type : AssetType::Image);
    asset.bytes = input.bytes;
    asset.size = input.bytes.size();
    asset.checksum = sha1Of(input.bytes);
    asset.fileCreatedAt = input.fileCreatedAt;
    asset.fileModifiedAt = input.fileModifiedAt;
    asset.trashed = input.trashed;

    const JpegFacts facts = readJpegFacts(input.bytes);
    const bool video = asset.type == AssetType::Video;
    asset.width = quint16(facts.width > 0 ? facts.width : (video ? 320 : 640));
    asset.height = quint16(facts.height > 0 ? facts.height : (video ? 240 : 480));
    if (input.dateTimeOriginal) {
        asset.dateTimeOriginal = *input.dateTimeOriginal;
    } else if (facts.dateTimeOriginal) {
        asset.dateTimeOriginal = *facts.dateTimeOriginal;
        if (input.exifReplacesCreationDate)
            asset.fileCreatedAt = *facts.dateTimeOriginal;
    } else {
        asset.dateTimeOriginal = asset.fileCreatedAt;
    }
    return asset;
}

void seedAssets(LibraryState& state, int owner, int count)
{
    if (count <= 0)
        return;
    state.reserveAssets(state.assetSlots() + size_t(count));
    const QByteArray email = state.user(owner).email.toUtf8();
    const qint64 step = std::max<qint64>(1000, kSeedSpanMs / count);
    for (int i = 0; i < count; ++i) {
        const bool video = i % 10 == 7;
        const AssetType type = video ? AssetType::Video : AssetType::Image;
        const QByteArray payload = generatedPayload(i, type);
        Asset asset;
        asset.id = QUuid::createUuidV5(kSeedNamespace, email + '/' + QByteArray::number(i));
        asset.owner = owner;
        asset.seedIndex = i;
        asset.type = type;
        asset.originalFileName = QStringLiteral("%1_%2.%3")
                                     .arg(video ? QStringLiteral("VID") : QStringLiteral("IMG"))
                                     .arg(i, 6, 10, QLatin1Char('0'))
                                     .arg(video ? QStringLiteral("mp4") : QStringLiteral("jpg"));
        asset.size = payload.size();
        asset.checksum = sha1Of(payload);
        // Strictly decreasing with the index, a little irregular within each step.
        asset.fileCreatedAt =
            kSeedNewest - qint64(i) * step - qint64(mix(quint64(i)) % quint64(step / 2));
        asset.fileModifiedAt = asset.fileCreatedAt;
        asset.dateTimeOriginal = asset.fileCreatedAt;
        asset.createdAt = kSeedNewest + 24 * 3600 * 1000;
        asset.updatedAt = asset.createdAt;
        asset.width = video ? 1920 : 4032;
        asset.height = video ? 1080 : 3024;
        state.addAsset(std::move(asset));
    }
}

namespace {

// A user of the manifest: added unless one with that e-mail exists; `folder` (relative to the
// demo folder) holds their files.
struct ManifestUser {
    int index = -1;
    QString folder;
};

bool fail(QString* error, const QString& text)
{
    if (error)
        *error = text;
    return false;
}

bool readManifestUsers(LibraryState& state, const QJsonArray& users, std::vector<ManifestUser>* out,
                       QString* error)
{
    for (const QJsonValue& value : users) {
        const QJsonObject user = value.toObject();
        const QString email = user.value(QLatin1String("email")).toString();
        if (email.isEmpty())
            return fail(error, QStringLiteral("a user without an e-mail"));
        int index = state.userByEmail(email);
        if (index < 0)
            index = state.addUser(email, user.value(QLatin1String("password")).toString());
        if (user.contains(QLatin1String("name")))
            state.setUserName(index, user.value(QLatin1String("name")).toString());
        QString folder = QDir::cleanPath(user.value(QLatin1String("folder")).toString());
        if (folder == QLatin1String("."))
            folder.clear();
        out->push_back({index, folder});
    }
    return true;
}

bool readManifestAlbums(LibraryState& state, const QJsonArray& albums,
                        const QHash<QString, int>& assetByPath, QString* error)
{
    for (const QJsonValue& value : albums) {
        const QJsonObject spec = value.toObject();
        Album album;
        album.name = spec.value(QLatin1String("albumName")).toString();
        album.description = spec.value(QLatin1String("description")).toString();
        album.owner = spec.contains(QLatin1String("owner"))
                          ? state.userByEmail(spec.value(QLatin1String("owner")).toString())
                          : 0;
        if (album.owner < 0)
            return fail(error, QStringLiteral("album %1: unknown owner").arg(album.name));
        for (const QJsonValue& file : spec.value(QLatin1String("assets")).toArray()) {
            const int asset = assetByPath.value(QDir::cleanPath(file.toString()), -1);
            if (asset < 0)
                return fail(
                    error, QStringLiteral("album %1: no file %2").arg(album.name, file.toString()));
            album.assets.push_back(asset);
        }
        for (const QJsonValue& memberValue : spec.value(QLatin1String("members")).toArray()) {
            const QJsonObject member = memberValue.toObject();
            const int user = state.userByEmail(member.value(QLatin1String("email")).toString());
            if (user < 0 || user == album.owner)
                return fail(error, QStringLiteral("album %1: unknown member").arg(album.name));
            const bool editor =
                member.value(QLatin1String("role")).toString() == QLatin1String("editor");
            album.members.push_back({user, editor ? AlbumRole::Editor : AlbumRole::Viewer});
        }
        state.addAlbum(std::move(album));
    }
    return true;
}

// The owner of a file at `relative`: the user whose folder holds it, else `fallback`.
int ownerOfPath(const std::vector<ManifestUser>& users, const QString& relative, int fallback)
{
    for (const ManifestUser& user : users) {
        if (!user.folder.isEmpty() && relative.startsWith(user.folder + QLatin1Char('/')))
            return user.index;
    }
    return fallback;
}

} // namespace

int loadDemoFolder(LibraryState& state, int owner, const QString& folder, QString* error)
{
    const QDir root(folder);
    if (!QFileInfo(folder).isDir()) {
        fail(error, QStringLiteral("cannot read %1").arg(folder));
        return -1;
    }

    QJsonObject manifest;
    if (QFile file(root.filePath(QLatin1String(kDemoManifestName))); file.exists()) {
        QJsonParseError parseError{};
        const QJsonDocument document = file.open(QIODevice::ReadOnly)
                                           ? QJsonDocument::fromJson(file.readAll(), &parseError)
                                           : QJsonDocument();
        if (!document.isObject()) {
            fail(error, QStringLiteral("%1 is not a JSON object").arg(file.fileName()));
            return -1;
        }
        manifest = document.object();
    }
    std::vector<ManifestUser> users;
    if (!readManifestUsers(state, manifest.value(QLatin1String("users")).toArray(), &users, error))
        return -1;

    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (mediaKindForFileName(path))
            files.append(root.relativeFilePath(path));
    }
    files.sort();
    QHash<QString, int> assetByPath;
    for (const QString& relative : files) {
        QFile file(root.filePath(relative));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QFileInfo info(file);
        AssetInput input;
        input.owner = ownerOfPath(users, relative, owner);
        input.fileName = info.fileName();
        input.bytes = file.readAll();
        input.fileModifiedAt = info.lastModified().toMSecsSinceEpoch();
        input.fileCreatedAt = input.fileModifiedAt;
        input.exifReplacesCreationDate = true;
        assetByPath.insert(relative, state.addAsset(makeAsset(input)));
    }

    if (!readManifestAlbums(state, manifest.value(QLatin1String("albums")).toArray(), assetByPath,
                            error))
        return -1;
    return int(assetByPath.size());
}

} // namespace immichdouble
