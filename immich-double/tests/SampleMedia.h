#pragma once

// Small media files and upload bodies for the double's tests.

#include <QBuffer>
#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QUuid>

namespace immichdouble::testing {

inline void appendBigEndian(QByteArray& bytes, quint32 value, int size)
{
    for (int shift = (size - 1) * 8; shift >= 0; shift -= 8)
        bytes.append(char((value >> shift) & 0xff));
}

// A real JPEG of the given size, in a colour of `label` (which also goes into a comment, to
// make the bytes unique), with an EXIF DateTimeOriginal written "yyyy:MM:dd HH:mm:ss" when not
// empty.
inline QByteArray sampleJpeg(const QByteArray& dateTimeOriginal, int width, int height,
                             const QByteArray& label)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor::fromHsv(int(qHash(label) % 360), 180, 200));
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 85);

    QByteArray jpeg = QByteArray::fromHex("ffd8");
    if (!dateTimeOriginal.isEmpty()) {
        // Big-endian TIFF: IFD0 holds the Exif IFD pointer (26), whose one entry is
        // DateTimeOriginal, ASCII[20] at 44.
        const QByteArray tiff = QByteArray::fromHex("4d4d002a00000008"
                                                    "000187690004000000010000001a00000000"
                                                    "000190030002000000140000002c00000000") +
                                dateTimeOriginal.left(19).leftJustified(19, ' ') + '\0';
        const QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
        jpeg += QByteArray::fromHex("ffe1");
        appendBigEndian(jpeg, quint32(app1.size() + 2), 2);
        jpeg += app1;
    }
    jpeg += QByteArray::fromHex("fffe");
    appendBigEndian(jpeg, quint32(label.size() + 2), 2);
    jpeg += label;
    jpeg += encoded.mid(2); // after its own start of image
    return jpeg;
}

// An ISO base media file header of the given brand ("mp42", "heic") followed by `label`.
inline QByteArray sampleIsoMedia(const QByteArray& brand, const QByteArray& label)
{
    return QByteArray::fromHex("00000018") + "ftyp" + brand + QByteArray(4, '\0') + brand + "isom" +
           label;
}

struct MultipartBody {
    QByteArray contentType;
    QByteArray body;
};

// The upload body the product sends: four fields, then the file part, whose disposition ends
// with `fileParameter` (such as filename="a.jpg").
inline MultipartBody uploadBodyWith(const QByteArray& fileParameter, const QByteArray& bytes,
                                    const QByteArray& createdAt)
{
    const QByteArray boundary =
        "Boundary-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toLatin1();
    QByteArray body;
    const auto field = [&](const QByteArray& name, const QByteArray& value) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
                "\"\r\n\r\n" + value + "\r\n";
    };
    field("deviceAssetId", "pixavella-" + QUuid::createUuid().toByteArray(QUuid::WithoutBraces));
    field("deviceId", "pixavella-finder");
    field("fileCreatedAt", createdAt);
    field("fileModifiedAt", createdAt);
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"assetData\"; " +
            fileParameter + "\r\nContent-Type: application/octet-stream\r\n\r\n";
    body += bytes;
    body += "\r\n--" + boundary + "--\r\n";
    return {"multipart/form-data; boundary=" + boundary, body};
}

inline MultipartBody uploadBody(const QByteArray& fileName, const QByteArray& bytes,
                                const QByteArray& createdAt)
{
    return uploadBodyWith("filename=\"" + fileName + '"', bytes, createdAt);
}

} // namespace immichdouble::testing
