#include "FreedesktopThumbnail.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QtEndian>

#include <array>
#include <cerrno>
#include <sys/stat.h>

namespace pixavella::FreedesktopThumbnail {

namespace {

bool keptInPath(uchar c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    static constexpr char kKept[] = "!$&'()*+,-./:=@_~";
    for (const char k : kKept)
        if (k != 0 && uchar(k) == c)
            return true;
    return false;
}

quint32 crc32(const QByteArray& bytes)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 c = 0xFFFFFFFFu;
    for (const char b : bytes)
        c = table[(c ^ uchar(b)) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

const QByteArray kSignature("\x89PNG\r\n\x1a\n", 8);
// Qt's quality 80 is zlib's fastest level: for a photo's thumbnail half the time of its default
// level, and no larger (photos' noise does not compress).
constexpr int kPngQuality = 80;

QByteArray chunk(const QByteArray& type, const QByteArray& data)
{
    QByteArray out;
    out.reserve(12 + data.size());
    char word[4];
    qToBigEndian<quint32>(quint32(data.size()), word);
    out.append(word, 4);
    out.append(type);
    out.append(data);
    qToBigEndian<quint32>(crc32(type + data), word);
    out.append(word, 4);
    return out;
}

Result<void> saveImage(const QString& path, const QByteArray& uri, qint64 mtime,
                       const QImage& image, int size)
{
    const QImage scaled =
        (image.width() > size || image.height() > size)
            ? image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
            : image;
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        if (!scaled.save(&buffer, "PNG", kPngQuality))
            return fileError(EIO, QStringLiteral("PNG encoding"));
    }
    png = withTextChunks(png, {{"Thumb::URI", uri}, {"Thumb::MTime", QByteArray::number(mtime)}});
    const QString dir = QFileInfo(path).path();
    if (!QDir().mkpath(dir))
        return fileError(errno, dir);
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fileError(EACCES, path);
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(png) != png.size() || !file.commit())
        return fileError(EIO, path);
    return Result<void>::success();
}

} // namespace

QByteArray fileUri(const QByteArray& absolutePath)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    QByteArray uri("file://");
    uri.reserve(7 + absolutePath.size() * 3);
    for (const char ch : absolutePath) {
        const uchar c = uchar(ch);
        if (keptInPath(c)) {
            uri.append(ch);
        } else {
            uri.append('%');
            uri.append(kHex[c >> 4]);
            uri.append(kHex[c & 0xF]);
        }
    }
    return uri;
}

QString pathFor(const QString& thumbnailRoot, const QString& flavor, const QByteArray& uri)
{
    const QByteArray md5 = QCryptographicHash::hash(uri, QCryptographicHash::Md5).toHex();
    return thumbnailRoot + u'/' + flavor + u'/' + QString::fromLatin1(md5) + QStringLiteral(".png");
}

QByteArray withTextChunks(const QByteArray& png, const QList<QPair<QByteArray, QByteArray>>& texts)
{
    // Signature, then IHDR (length, type, 13 bytes, CRC); text chunks may follow it.
    if (png.size() < 33 || !png.startsWith(kSignature) || png.mid(12, 4) != "IHDR")
        return png;
    const qsizetype afterHeader = 8 + 12 + qFromBigEndian<quint32>(png.constData() + 8);
    QByteArray out = png.left(afterHeader);
    for (const auto& [key, value] : texts)
        out.append(chunk("tEXt", key + '\0' + value));
    out.append(png.mid(afterHeader));
    return out;
}

QMap<QByteArray, QByteArray> textChunks(const QByteArray& png)
{
    QMap<QByteArray, QByteArray> texts;
    if (!png.startsWith(kSignature))
        return texts;
    qsizetype at = 8;
    while (at + 12 <= png.size()) {
        const qint64 length = qFromBigEndian<quint32>(png.constData() + at);
        const QByteArray type = png.mid(at + 4, 4);
        if (length > png.size() - at - 12)
            break;
        if (type == "tEXt") {
            const QByteArray data = png.mid(at + 8, length);
            const qsizetype nul = data.indexOf('\0');
            if (nul > 0)
                texts.insert(data.left(nul), data.mid(nul + 1));
        } else if (type == "IDAT" || type == "IEND") {
            break; // texts written here always precede the image data
        }
        at += 12 + length;
    }
    return texts;
}

bool isValid(const QString& path, const QByteArray& uri, qint64 mtime)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // The text chunks sit before the image data, within the first few kilobytes.
    const QMap<QByteArray, QByteArray> texts = textChunks(file.read(64 * 1024));
    return texts.value("Thumb::URI") == uri &&
           texts.value("Thumb::MTime") == QByteArray::number(mtime);
}

Result<void> write(const QString& thumbnailRoot, const QByteArray& uri, qint64 mtime,
                   const QImage& image, Flavor flavor)
{
    if (image.isNull())
        return fileError(EINVAL, QStringLiteral("empty thumbnail image"));
    const bool large = flavor == Flavor::Large;
    return saveImage(
        pathFor(thumbnailRoot, large ? QStringLiteral("large") : QStringLiteral("normal"), uri),
        uri, mtime, image, large ? kLargeSize : kNormalSize);
}

Result<void> write(const QString& thumbnailRoot, const QByteArray& uri, qint64 mtime,
                   const QImage& image)
{
    const Result<void> large = write(thumbnailRoot, uri, mtime, image, Flavor::Large);
    if (!large)
        return large;
    return write(thumbnailRoot, uri, mtime, image, Flavor::Normal);
}

} // namespace pixavella::FreedesktopThumbnail
