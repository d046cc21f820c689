#include "DedupIndex.h"

#include "AssetNameStore.h"
#include "Clock.h"
#include "SettingsSuite.h"

#include <QCborArray>
#include <QCborMap>
#include <QCborValue>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <QVariantMap>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace pixavella {

namespace {

// Bumped by every index this process stores, so that its readers see it at once.
std::atomic<quint64> storeGeneration{0};

// Same rule as the month folders of the drive: the EXIF capture date when the server has one,
// else the file's creation date, in UTC.
std::optional<UtcMonth> captureMonth(const ImmichAsset& asset)
{
    const QString& text = asset.exifInfo && asset.exifInfo->dateTimeOriginal
                              ? *asset.exifInfo->dateTimeOriginal
                              : asset.fileCreatedAt;
    return immichDateUtcMonth(text);
}

std::atomic<quint64> builderSerial{0};

constexpr uchar kCborText = 3;
constexpr uchar kCborArray = 4;
constexpr uchar kCborMap = 5;

// The few CBOR items the index is made of, written into one buffer.
class CborWriter {
public:
    explicit CborWriter(qsizetype expected) { m_bytes.reserve(expected); }

    void head(uchar major, quint64 n)
    {
        char* out = room(9);
        const char type = char(major << 5);
        if (n < 24) {
            *out = char(type | char(n));
            m_used += 1;
            return;
        }
        const int size = n <= 0xff ? 1 : n <= 0xffff ? 2 : n <= 0xffffffffu ? 4 : 8;
        *out++ = char(type | char(size == 1 ? 24 : size == 2 ? 25 : size == 4 ? 26 : 27));
        for (int shift = (size - 1) * 8; shift >= 0; shift -= 8)
            *out++ = char((n >> shift) & 0xff);
        m_used += 1 + size;
    }

    void text(const QString& text)
    {
        const char16_t* units = reinterpret_cast<const char16_t*>(text.constData());
        const qsizetype n = text.size();
        if (std::any_of(units, units + n, [](char16_t c) { return c >= 0x80; })) {
            const QByteArray utf8 = text.toUtf8();
            head(kCborText, quint64(utf8.size()));
            std::memcpy(room(utf8.size()), utf8.constData(), size_t(utf8.size()));
            m_used += utf8.size();
            return;
        }
        head(kCborText, quint64(n));
        char* out = room(n);
        for (qsizetype i = 0; i < n; ++i)
            out[i] = char(units[i]);
        m_used += n;
    }

    QByteArray take()
    {
        m_bytes.resize(m_used);
        return std::move(m_bytes);
    }

private:
    char* room(qsizetype n)
    {
        if (m_used + n > m_bytes.size())
            m_bytes.resize(qMax(m_used + n, m_bytes.size() * 2 + 64));
        return m_bytes.data() + m_used;
    }

    QByteArray m_bytes;
    qsizetype m_used = 0;
};

// The stored index as a lookup table; keys whose value is not a list of texts are left out.
QHash<QString, QStringList> decodeIndex(const QByteArray& bytes)
{
    QHash<QString, QStringList> index;
    const QCborValue stored = QCborValue::fromCbor(bytes);
    if (!stored.isMap())
        return index;
    const QCborMap map = stored.toMap();
    index.reserve(map.size());
    for (auto it = map.cbegin(); it != map.cend(); ++it) {
        if (!it.key().isString() || !it.value().isArray())
            continue;
        const QCborArray array = it.value().toArray();
        QStringList texts;
        texts.reserve(array.size());
        for (const QCborValue& item : array) {
            if (!item.isString())
                break;
            texts.append(item.toString());
        }
        if (texts.size() == array.size())
            index.insert(it.key().toString(), texts);
    }
    return index;
}

} // namespace

DedupIndex::Builder::Builder(NameLookup userName)
    : m_serial(++builderSerial), m_userName(std::move(userName))
{
}

void DedupIndex::Builder::add(const QList<ImmichAsset>& assets)
{
    for (const ImmichAsset& asset : assets) {
        if (!asset.checksum)
            continue;
        const std::optional<UtcMonth> month = captureMonth(asset);
        if (!month)
            continue;
        const std::optional<QString> userName = m_userName ? m_userName(asset) : std::nullopt;
        Group& group =
            m_groups[key(month->year, month->month,
                         userName && !userName->isEmpty() ? *userName : asset.originalFileName)];
        const qsizetype at = m_checksums.size();
        m_checksums.append(Checksum{*asset.checksum});
        if (group.last >= 0)
            m_checksums[group.last].next = at;
        else
            group.first = at;
        group.last = at;
        ++group.count;
    }
}

DedupIndex::DedupIndex(SettingsSuite& suite, const AssetNameStore* names)
    : m_suite(suite), m_names(names)
{
}

DedupIndex::NameLookup DedupIndex::userNames() const
{
    if (!m_names)
        return {};
    return [names = m_names](const ImmichAsset& asset) { return names->name(asset.id); };
}

std::shared_ptr<DedupIndex::Builder> DedupIndex::newBuilder() const
{
    return std::make_shared<Builder>(userNames());
}

QString DedupIndex::key(int year, int month, const QString& name)
{
    char head[16];
    const int n = std::snprintf(head, sizeof head, "%04d-%02d\x01", year, month);
    QString key(n + name.size(), Qt::Uninitialized);
    QChar* out = key.data();
    for (int i = 0; i < n; ++i)
        out[i] = QLatin1Char(head[i]);
    std::copy(name.cbegin(), name.cend(), out + n);
    return key;
}

void DedupIndex::store(const Builder& builder)
{
    QMutexLocker lock(&m_storeLock);
    if (builder.m_serial < m_storedSerial)
        return;
    m_storedSerial = builder.m_serial;
    // Encoded here, in one pass, and stored as encoded: a QVariantMap or QCborValue of a whole
    // library costs seconds to build and 30 MB to hold. The settings suite keeps values as CBOR
    // and reads this back as a map.
    CborWriter writer(builder.m_checksums.size() * 72);
    writer.head(kCborMap, quint64(builder.m_groups.size()));
    for (auto it = builder.m_groups.cbegin(); it != builder.m_groups.cend(); ++it) {
        writer.text(it.key());
        writer.head(kCborArray, quint64(it->count));
        for (qsizetype at = it->first; at >= 0; at = builder.m_checksums[at].next)
            writer.text(builder.m_checksums[at].text);
    }
    m_suite.setEncodedValue(QString::fromLatin1(kSettingsKey), writer.take());
    ++storeGeneration;
}

void DedupIndex::storeInBackground(std::shared_ptr<const Builder> builder)
{
    {
        QMutexLocker lock(&m_storeLock);
        ++m_backgroundStores;
    }
    QThreadPool::globalInstance()->start([this, builder = std::move(builder)]() mutable {
        store(*builder);
        builder.reset();
        // What the listing and the index left behind goes back to the system.
        malloc_trim(0);
        QMutexLocker lock(&m_storeLock);
        if (--m_backgroundStores == 0)
            m_backgroundDone.wakeAll();
    });
}

void DedupIndex::waitForBackgroundStores()
{
    QMutexLocker lock(&m_storeLock);
    while (m_backgroundStores > 0)
        m_backgroundDone.wait(&m_storeLock);
}

void DedupIndex::rebuild(const QList<ImmichAsset>& assets, const NameLookup& userName)
{
    Builder builder(userName ? userName : userNames());
    builder.add(assets);
    store(builder);
}

QSet<QString> DedupIndex::checksums(const QString& name, int year, int month) const
{
    QMutexLocker lock(&m_readLock);
    const QDateTime now = Clock::now();
    const quint64 generation = storeGeneration.load();
    const qint64 age = m_readAt.isValid() ? m_readAt.msecsTo(now) : -1;
    if (generation != m_readGeneration || age < 0 || age >= kReadReuseMs) {
        const QByteArray bytes = m_suite.encodedValue(QString::fromLatin1(kSettingsKey));
        if (bytes != m_readBytes) {
            m_readIndex = decodeIndex(bytes);
            m_readBytes = bytes;
        }
        m_readAt = now;
        m_readGeneration = generation;
    }
    const auto found = m_readIndex.constFind(key(year, month, name));
    if (found == m_readIndex.cend())
        return {};
    return QSet<QString>(found->cbegin(), found->cend());
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
