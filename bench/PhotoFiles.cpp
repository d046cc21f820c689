#include "PhotoFiles.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <exiv2/exiv2.hpp>

#include <algorithm>

namespace pixavella::bench {

namespace {

// Written into the template, then replaced in each copy by the photo's own date.
constexpr char kPlaceholderDate[] = "1999:01:01 00:00:00";

QByteArray datedTemplate(QString& error)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("template.jpg"));
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor(200, 120, 40));
    if (!image.save(path, "JPEG")) {
        error = QStringLiteral("Qt cannot write a JPEG");
        return {};
    }
    try {
        auto file = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
        file->readMetadata();
        Exiv2::ExifData exif = file->exifData();
        exif["Exif.Photo.DateTimeOriginal"] = std::string(kPlaceholderDate);
        file->setExifData(exif);
        file->writeMetadata();
    } catch (const std::exception& e) {
        error = QStringLiteral("exiv2: ") + QString::fromLocal8Bit(e.what());
        return {};
    }
    QFile written(path);
    if (!written.open(QIODevice::ReadOnly)) {
        error = written.errorString();
        return {};
    }
    return written.readAll();
}

// Big-endian, as every field of an ISO-BMFF box.
QByteArray be32(quint32 value)
{
    const char bytes[4] = {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
    return QByteArray(bytes, 4);
}

// A movie header of a 10-second movie, as the moov box starts.
QByteArray movieHeader()
{
    QByteArray mvhd = be32(108) + "mvhd" + QByteArray(4, '\0') + QByteArray(8, '\0') + be32(1000) +
                      be32(10'000) + be32(0x00010000) + QByteArray("\x01\0", 2) +
                      QByteArray(10, '\0');
    for (const quint32 cell : {0x00010000u, 0u, 0u, 0u, 0x00010000u, 0u, 0u, 0u, 0x40000000u})
        mvhd += be32(cell);
    mvhd += QByteArray(24, '\0') + be32(2);
    return be32(quint32(8 + mvhd.size())) + "moov" + mvhd;
}

// `size` bytes to `path`: `head`, random bytes drawn from `seed`, then `tail`.
QString writeFramed(const QString& path, qint64 size, const QByteArray& head,
                    const QByteArray& tail, quint32 seed)
{
    if (size < head.size() + tail.size())
        return path + QStringLiteral(": too small for its head and tail");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return path + QStringLiteral(": ") + file.errorString();
    QRandomGenerator random(seed);
    QByteArray block(8 * 1024 * 1024, Qt::Uninitialized);
    const qint64 body = size - tail.size();
    for (qint64 at = 0; at < body;) {
        random.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        if (at == 0)
            block.replace(0, head.size(), head);
        const qint64 n = std::min<qint64>(block.size(), body - at);
        if (file.write(block.constData(), n) != n)
            return path + QStringLiteral(": ") + file.errorString();
        at += n;
    }
    if (file.write(tail) != tail.size() || !file.flush())
        return path + QStringLiteral(": ") + file.errorString();
    return {};
}

} // namespace

QByteArray datedJpeg(const QDateTime& taken, QString& error)
{
    QByteArray jpeg = datedTemplate(error);
    const qsizetype dateAt = jpeg.indexOf(kPlaceholderDate);
    if (dateAt < 0) {
        if (error.isEmpty())
            error = QStringLiteral("no date in the template");
        return {};
    }
    const QByteArray date = taken.toString(u"yyyy:MM:dd HH:mm:ss").toLatin1();
    return jpeg.replace(dateAt, date.size(), date);
}

QString writeWholePhoto(const QString& path, qint64 size, const QDateTime& taken, quint32 seed)
{
    QString error;
    const QByteArray jpeg = datedJpeg(taken, error);
    if (jpeg.isEmpty())
        return error;
    return writeFramed(path, size, jpeg, QByteArrayLiteral("\xFF\xD9"), seed);
}

QString writeMovie(const QString& path, qint64 size, quint32 seed)
{
    const QByteArray ftyp = be32(24) + "ftypisom" + be32(0x200) + "isommp41";
    const QByteArray moov = movieHeader();
    const qint64 mdat = size - ftyp.size() - moov.size();
    if (mdat < 8 || mdat > 0xFFFFFFFFll)
        return path + QStringLiteral(": no movie of that size");
    return writeFramed(path, size, ftyp + be32(quint32(mdat)) + "mdat", moov, seed);
}

QString writePhotos(const QString& folder, const QString& prefix, int count, PhotoSizes sizes,
                    const QDateTime& firstTaken, quint32 seed)
{
    QString error;
    const QByteArray jpeg = datedTemplate(error);
    const qsizetype dateAt = jpeg.indexOf(kPlaceholderDate);
    if (dateAt < 0)
        return error.isEmpty() ? QStringLiteral("no date in the template") : error;
    if (!QDir().mkpath(folder))
        return QStringLiteral("cannot make ") + folder;
    QRandomGenerator random(seed);
    QByteArray bytes;
    for (int i = 0; i < count; ++i) {
        const qint64 size =
            std::max<qint64>(jpeg.size(), random.bounded(sizes.smallest, sizes.largest + 1));
        bytes.resize(qsizetype(size));
        // Whole words of random bytes, then the JPEG over the first of them.
        random.fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        std::fill(bytes.end() - bytes.size() % 4, bytes.end(), '\0');
        // Ended as a whole photo ends, or the drive would keep it as a truncated one.
        bytes[bytes.size() - 2] = char(0xFF);
        bytes[bytes.size() - 1] = char(0xD9);
        bytes.replace(0, jpeg.size(), jpeg);
        const QByteArray taken = firstTaken.addDays(i).toString(u"yyyy:MM:dd HH:mm:ss").toLatin1();
        bytes.replace(dateAt, taken.size(), taken);
        QFile file(folder + u'/' + prefix +
                   QStringLiteral("%1.jpg").arg(i, 4, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return file.fileName() + QStringLiteral(": ") + file.errorString();
    }
    return {};
}

} // namespace pixavella::bench
