#include "DedupIndex.h"

#include "AssetNameStore.h"
#include "SettingsShapes.h"
#include "SettingsSuite.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QVariantMap>

namespace pixavella {

namespace {

// Same rule as the month folders of the drive: the EXIF capture date when the server has one,
// else the file's creation date, in UTC.
std::optional<QDate> captureDay(const ImmichAsset& asset)
{
    const std::optional<QString> text = asset.exifInfo && asset.exifInfo->dateTimeOriginal
                                            ? asset.exifInfo->dateTimeOriginal
                                            : std::optional(asset.fileCreatedAt);
    const std::optional<QDateTime> date = parseImmichDate(text);
    if (!date)
        return std::nullopt;
    return date->toUTC().date();
}

} // namespace

DedupIndex& DedupIndex::shared()
{
    static DedupIndex instance(SettingsSuite::shared());
    return instance;
}

DedupIndex::DedupIndex(SettingsSuite& suite) : m_suite(suite) {}

QString DedupIndex::key(int year, int month, const QString& name)
{
    return QStringLiteral("%1-%2")
               .arg(year, 4, 10, QLatin1Char('0'))
               .arg(month, 2, 10, QLatin1Char('0')) +
           QChar(0x0001) + name;
}

void DedupIndex::rebuild(const QList<ImmichAsset>& assets, const NameLookup& userName)
{
    const NameLookup nameOf = userName ? userName : [](const ImmichAsset& asset) {
        return AssetNameStore::shared().name(asset.id);
    };
    QHash<QString, QStringList> grouped;
    for (const ImmichAsset& asset : assets) {
        if (!asset.checksum)
            continue;
        const std::optional<QDate> day = captureDay(asset);
        if (!day)
            continue;
        std::optional<QString> name = nameOf(asset);
        if (!name || name->isEmpty())
            name = asset.originalFileName;
        grouped[key(day->year(), day->month(), *name)].append(*asset.checksum);
    }
    QVariantMap index;
    for (auto it = grouped.cbegin(); it != grouped.cend(); ++it)
        index.insert(it.key(), QVariant(it.value()).toList());
    m_suite.setValue(QString::fromLatin1(kSettingsKey), index);
}

QSet<QString> DedupIndex::checksums(const QString& name, int year, int month) const
{
    const QVariant index = m_suite.value(QString::fromLatin1(kSettingsKey));
    if (index.typeId() != QMetaType::QVariantMap)
        return {};
    const std::optional<QStringList> list =
        SettingsShapes::textList(index.toMap().value(key(year, month, name)));
    if (!list)
        return {};
    return QSet<QString>(list->cbegin(), list->cend());
}

std::optional<QString> DedupIndex::fileChecksum(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile() || info.size() > kMaxChecksumFileSize)
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QCryptographicHash hash(QCryptographicHash::Sha1);
    QByteArray chunk(kChunkSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 n = file.read(chunk.data(), chunk.size());
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        total += n;
        // The file may have grown since it was measured.
        if (total > kMaxChecksumFileSize)
            return std::nullopt;
        hash.addData(QByteArrayView(chunk.constData(), n));
    }
    return QString::fromLatin1(hash.result().toBase64());
}

} // namespace pixavella
