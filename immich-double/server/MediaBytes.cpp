#include "MediaBytes.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFileInfo>
#include <QHash>

#include <cstring>

namespace immichdouble {

namespace {

const QHash<QString, MediaKind>& mediaKinds()
{
    static const QHash<QString, MediaKind> kinds = [] {
        QHash<QString, MediaKind> map;
        const auto image = [&](const char* ext, const char* mime) {
            map.insert(QString::fromLatin1(ext), {AssetType::Image, QString::fromLatin1(mime)});
        };
        const auto video = [&](const char* ext, const char* mime) {
            map.insert(QString::fromLatin1(ext), {AssetType::Video, QString::fromLatin1(mime)});
        };
        image("jpg", "image/jpeg");
        image("jpeg", "image/jpeg");
        image("jpe", "image/jpeg");
        image("insp", "image/jpeg");
        image("png", "image/png");
        image("gif", "image/gif");
        image("webp", "image/webp");
        image("heic", "image/heic");
        image("heif", "image/heif");
        image("avif", "image/avif");
        image("jxl", "image/jxl");
        image("tif", "image/tiff");
        image("tiff", "image/tiff");
        image("bmp", "image/bmp");
        image("svg", "image/svg+xml");
        image("psd", "image/vnd.adobe.photoshop");
        image("dng", "image/dng");
        image("cr2", "image/x-canon-cr2");
        image("cr3", "image/x-canon-cr3");
        image("nef", "image/x-nikon-nef");
        image("arw", "image/x-sony-arw");
        image("orf", "image/x-olympus-orf");
        image("rw2", "image/x-panasonic-rw2");
        image("raf", "image/x-fuji-raf");
        video("mp4", "video/mp4");
        video("m4v", "video/mp4");
        video("mov", "video/quicktime");
        video("qt", "video/quicktime");
        video("3gp", "video/3gpp");
        video("avi", "video/x-msvideo");
        video("mkv", "video/x-matroska");
        video("webm", "video/webm");
        video("mts", "video/mp2t");
        video("m2ts", "video/mp2t");
        video("mpg", "video/mpeg");
        video("mpeg", "video/mpeg");
        video("wmv", "video/x-ms-wmv");
        video("flv", "video/x-flv");
        return map;
    }();
    return kinds;
}

class ByteReader {
public:
    ByteReader(const QByteArray& bytes, qsizetype base, bool littleEndian)
        : m_bytes(bytes), m_base(base), m_little(littleEndian)
    {
    }
    bool has(qsizetype offset, qsizetype length) const
    {
        return offset >= 0 && length >= 0 && m_base + offset + length <= m_bytes.size();
    }
    quint16 u16(qsizetype offset) const
    {
        const auto* p = reinterpret_cast<const uchar*>(m_bytes.constData() + m_base + offset);
        return m_little ? quint16(p[0] | p[1] << 8) : quint16(p[0] << 8 | p[1]);
    }
    quint32 u32(qsizetype offset) const
    {
        const auto* p = reinterpret_cast<const uchar*>(m_bytes.constData() + m_base + offset);
        return m_little
                   ? quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24
                   : quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | quint32(p[3]);
    }
    QByteArray ascii(qsizetype offset, qsizetype length) const
    {
        return m_bytes.mid(m_base + offset, length);
    }

private:
    const QByteArray& m_bytes;
    qsizetype m_base;
    bool m_little;
};

// The text value of one ASCII tag of the IFD at ifdOffset, or the offset a LONG tag points to.
struct IfdEntry {
    QByteArray text;
    quint32 value = 0;
    bool found = false;
};

IfdEntry findTag(const ByteReader& tiff, quint32 ifdOffset, quint16 wanted)
{
    IfdEntry result;
    if (!tiff.has(ifdOffset, 2))
        return result;
    const quint16 count = tiff.u16(ifdOffset);
    for (quint16 i = 0; i < count; ++i) {
        const qsizetype entry = qsizetype(ifdOffset) + 2 + qsizetype(i) * 12;
        if (!tiff.has(entry, 12))
            return result;
        if (tiff.u16(entry) != wanted)
            continue;
        const quint16 type = tiff.u16(entry + 2);
        const quint32 length = tiff.u32(entry + 4);
        if (type == 2) { // ASCII: inline up to 4 bytes, else at an offset
            const qsizetype at = length <= 4 ? entry + 8 : qsizetype(tiff.u32(entry + 8));
            if (!tiff.has(at, length))
                return result;
            result.text = tiff.ascii(at, length);
            const qsizetype nul = result.text.indexOf('\0');
            if (nul >= 0)
                result.text.truncate(nul);
        } else {
            result.value = type == 3 ? tiff.u16(entry + 8) : tiff.u32(entry + 8);
        }
        result.found = true;
        return result;
    }
    return result;
}

std::optional<qint64> exifDate(const QByteArray& date, const QByteArray& offset)
{
    QDateTime parsed = QDateTime::fromString(QString::fromLatin1(date).trimmed(),
                                             QStringLiteral("yyyy:MM:dd HH:mm:ss"));
    if (!parsed.isValid())
        return std::nullopt;
    parsed = QDateTime(parsed.date(), parsed.time(), Qt::UTC);
    qint64 ms = parsed.toMSecsSinceEpoch();
    // OffsetTimeOriginal such as "+02:00": the local time given is that far ahead of UTC.
    if (offset.size() == 6 && (offset[0] == '+' || offset[0] == '-') && offset[3] == ':') {
        const int minutes = offset.mid(1, 2).toInt() * 60 + offset.mid(4, 2).toInt();
        ms -= (offset[0] == '-' ? -1 : 1) * qint64(minutes) * 60000;
    }
    return ms;
}

void readExif(const QByteArray& bytes, qsizetype start, qsizetype length, JpegFacts& facts)
{
    if (length < 14 || std::memcmp(bytes.constData() + start, "Exif\0\0", 6) != 0)
        return;
    const qsizetype tiffBase = start + 6;
    const bool little = bytes.mid(tiffBase, 2) == "II";
    if (!little && bytes.mid(tiffBase, 2) != "MM")
        return;
    const QByteArray tiffBytes = bytes.left(start + length);
    const ByteReader tiff(tiffBytes, tiffBase, little);
    if (!tiff.has(0, 8) || tiff.u16(2) != 42)
        return;
    const IfdEntry exifPointer = findTag(tiff, tiff.u32(4), 0x8769);
    if (!exifPointer.found)
        return;
    const IfdEntry original = findTag(tiff, exifPointer.value, 0x9003);
    if (!original.found)
        return;
    const IfdEntry offset = findTag(tiff, exifPointer.value, 0x9011);
    facts.dateTimeOriginal = exifDate(original.text, offset.text);
}

} // namespace

std::optional<MediaKind> mediaKindForFileName(const QString& fileName)
{
    const QString extension = QFileInfo(fileName).suffix().toLower();
    const auto it = mediaKinds().constFind(extension);
    if (it == mediaKinds().constEnd())
        return std::nullopt;
    return *it;
}

Sha1 sha1Of(const QByteArray& bytes)
{
    const QByteArray digest = QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
    Sha1 result;
    std::memcpy(result.data(), digest.constData(), result.size());
    return result;
}

QByteArray checksumText(const Sha1& sha1)
{
    return QByteArray(sha1.data(), qsizetype(sha1.size())).toBase64();
}

QByteArray generatedPayload(int seedIndex, AssetType type)
{
    const QByteArray text = "pixavella generated asset " + QByteArray::number(seedIndex);
    QByteArray bytes;
    if (type == AssetType::Video) {
        bytes = QByteArray::fromHex("00000018667479706d7034320000000069736f6d6d703432");
        bytes += text;
    } else {
        bytes = QByteArray::fromHex("ffd8fffe");
        const int length = int(text.size()) + 2;
        bytes.append(char(length >> 8)).append(char(length & 0xff));
        bytes += text;
        bytes += QByteArray::fromHex("ffd9");
    }
    return bytes;
}

JpegFacts readJpegFacts(const QByteArray& bytes)
{
    JpegFacts facts;
    if (!bytes.startsWith("\xff\xd8"))
        return facts;
    qsizetype pos = 2;
    while (pos + 4 <= bytes.size()) {
        if (uchar(bytes[pos]) != 0xff)
            break;
        const uchar marker = uchar(bytes[pos + 1]);
        if (marker == 0xff) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0xd9 || marker == 0xda)
            break;
        const qsizetype length = qsizetype(uchar(bytes[pos + 2])) << 8 | uchar(bytes[pos + 3]);
        if (length < 2 || pos + 2 + length > bytes.size())
            break;
        const qsizetype data = pos + 4;
        if (marker == 0xe1 && !facts.dateTimeOriginal)
            readExif(bytes, data, length - 2, facts);
        const bool startOfFrame =
            marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
        if (startOfFrame && length >= 7) {
            facts.height = int(uchar(bytes[data + 1])) << 8 | uchar(bytes[data + 2]);
            facts.width = int(uchar(bytes[data + 3])) << 8 | uchar(bytes[data + 4]);
        }
        pos += 2 + length;
    }
    return facts;
}

} // namespace immichdouble
