#include "LibraryLoader.h"

#include "DateText.h"
#include "MediaBytes.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

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

int loadDemoFolder(LibraryState& state, int owner, const QString& folder)
{
    if (!QFileInfo(folder).isDir())
        return -1;
    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (mediaKindForFileName(path))
            files.append(path);
    }
    files.sort();
    int loaded = 0;
    for (const QString& path : files) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QFileInfo info(path);
        AssetInput input;
        input.owner = owner;
        input.fileName = info.fileName();
        input.bytes = file.readAll();
        input.fileModifiedAt = info.lastModified().toMSecsSinceEpoch();
        input.fileCreatedAt = input.fileModifiedAt;
        input.exifReplacesCreationDate = true;
        state.addAsset(makeAsset(input));
        ++loaded;
    }
    return loaded;
}

} // namespace immichdouble
