// Capture dates read from the bytes of dropped photos, which may come from anywhere: damaged,
// cut short or built to mislead. Each row is a file that must neither crash the reader nor send
// it past its buffer or into an endless walk, and that gives the date it holds or none.
#include "BmffExif.h"
#include "ExifCaptureDate.h"
#include "JpegExif.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>
#include <QtEndian>

using namespace pixavella;

namespace {

using Date = std::optional<QDateTime>;

const QDateTime kTaken(QDate(2021, 6, 15), QTime(10, 20, 30), QTimeZone::utc());

template <typename T> QByteArray bigEndian(T v)
{
    QByteArray b(sizeof v, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}
const auto be16 = bigEndian<quint16>;
const auto be32 = bigEndian<quint32>;
const auto be64 = bigEndian<quint64>;

// A little-endian TIFF block: IFD0 at 8 holds the Exif IFD pointer, the Exif IFD at 26 holds
// DateTimeOriginal, its text at 44. The positions below let a row corrupt one field.
namespace tiff {
constexpr int kIfd0Offset = 4, kIfd0Count = 8, kExifPointerCount = 14, kExifPointer = 18,
              kIfd0Next = 22, kExifCount = 26, kDateCount = 32, kDateOffset = 36, kExifNext = 40,
              kDateText = 44;

QByteArray block()
{
    QByteArray b("II*\0", 4);
    auto u16 = [&b](quint16 v) { b.append(char(v & 0xff)).append(char(v >> 8)); };
    auto u32 = [&u16](quint32 v) {
        u16(quint16(v & 0xffff));
        u16(quint16(v >> 16));
    };
    // One entry (tag, type, count, value) per IFD, then the next IFD's offset.
    auto ifd = [&](quint16 tag, quint16 type, quint32 count, quint32 value) {
        u16(1);
        u16(tag);
        u16(type);
        u32(count);
        u32(value);
        u32(0);
    };
    u32(8);
    ifd(0x8769, 4, 1, 26);
    ifd(0x9003, 2, 20, kDateText);
    b.append("2021:06:15 10:20:30", 20);
    return b;
}

QByteArray with(int at, quint32 value, int bytes = 4)
{
    QByteArray b = block();
    for (int i = 0; i < bytes; ++i)
        b[at + i] = char((value >> (8 * i)) & 0xff);
    return b;
}
} // namespace tiff

QByteArray segment(quint8 marker, const QByteArray& payload)
{
    return QByteArray("\xff") + char(marker) + be16(quint16(payload.size() + 2)) + payload;
}

QByteArray exifApp1(const QByteArray& tiffBlock)
{
    return segment(0xE1, QByteArray("Exif\0\0", 6) + tiffBlock);
}

// A JPEG whose segments in front of the image data are `segments`.
QByteArray jpeg(const QByteArray& segments)
{
    return QByteArray("\xff\xd8") + segments + QByteArray("\xff\xda\0\x08\x01\x01\0\0?\0", 10) +
           QByteArray(64, '\x55') + QByteArray("\xff\xd9");
}

QByteArray box(const char* type, const QByteArray& payload)
{
    return be32(quint32(8 + payload.size())) + QByteArray(type, 4) + payload;
}

QByteArray fullBox(const char* type, quint8 version, const QByteArray& payload)
{
    return box(type, char(version) + QByteArray(3, '\0') + payload);
}

// Item 1, of type Exif.
const QByteArray kExifInfe = fullBox("infe", 2, be16(1) + be16(0) + "Exif" + '\0');

// A version 1 iloc of one item with one extent, offsets and lengths of `fieldBytes` each.
QByteArray iloc(quint16 id, int method, quint64 offset, quint64 length, int fieldBytes = 4)
{
    auto field = [fieldBytes](quint64 v) { return fieldBytes == 8 ? be64(v) : be32(quint32(v)); };
    return fullBox("iloc", 1,
                   QByteArray(1, char(fieldBytes << 4 | fieldBytes)) + '\0' + be16(1) + be16(id) +
                       be16(quint16(method)) + be16(0) + be16(1) + field(offset) + field(length));
}

// The Exif item: the offset of its TIFF header, then the block.
const QByteArray kExifItem = be32(0) + tiff::block();

QByteArray ftyp()
{
    return box("ftyp", QByteArray("heic\0\0\0\0mif1heic", 16));
}

// A HEIC whose meta box holds `children`, followed by an mdat of `mdat`.
QByteArray heic(const QByteArray& children, const QByteArray& mdat = "d")
{
    const QByteArray hdlr = fullBox("hdlr", 0, QByteArray(4, '\0') + "pict" + QByteArray(13, '\0'));
    return ftyp() + fullBox("meta", 0, hdlr + children) + box("mdat", mdat);
}

// A HEIC whose Exif item is stored in its idat box, as an iloc of `ilocBox` locates it.
QByteArray heicWithIdat(const QByteArray& ilocBox, const QByteArray& item = kExifItem)
{
    return heic(fullBox("iinf", 0, be16(1) + kExifInfe) + ilocBox + box("idat", item));
}

} // namespace

class TestExifBlocks : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString written(const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

private slots:
    void jpegSegments_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("hasBlock");
        QTest::addColumn<Date>("date");
        const QByteArray exif = exifApp1(tiff::block());

        QTest::newRow("exif first") << jpeg(exif) << true << Date(kTaken);
        QTest::newRow("behind JFIF, fill bytes, XMP, a large and an empty segment")
            << jpeg(segment(0xE0, "JFIF\0\1\1") + "\xff\xff\xff" +
                    segment(0xE1, "http://ns.adobe.com/xap/1.0/\0<x/>") +
                    segment(0xE2, QByteArray(60'000, 'i')) + segment(0xE1, {}) +
                    QByteArray("\xff\xd0") + exif)
            << true << Date(kTaken);
        QTest::newRow("APP1 running past the end")
            << QByteArray("\xff\xd8\xff\xe1\xff\xff") + "Exif" + QByteArray(2, '\0') + tiff::block()
            << false << Date();
        QTest::newRow("segment length 0")
            << jpeg(QByteArray("\xff\xe0\0\0", 4) + exif) << false << Date();
        QTest::newRow("segment length 1")
            << jpeg(QByteArray("\xff\xe0\0\x01", 4) + exif) << false << Date();
        QTest::newRow("cut inside a length")
            << QByteArray("\xff\xd8\xff\xe1\x01") << false << Date();
        QTest::newRow("Exif header alone")
            << jpeg(segment(0xE1, QByteArray("Exif\0\0", 6))) << false << Date();
        QTest::newRow("exif behind the image data")
            << QByteArray("\xff\xd8\xff\xda\0\x02") + exif << false << Date();
        QTest::newRow("stray byte between segments")
            << jpeg(segment(0xE0, "JFIF") + 'x' + exif) << false << Date();
        QByteArray comments;
        for (int i = 0; i < 100000; ++i)
            comments += segment(0xFE, {});
        QTest::newRow("exif behind more segments than a photo carries")
            << jpeg(comments + exif) << false << Date();

        // The TIFF structure inside a well-formed segment.
        QTest::newRow("IFD0 past the end")
            << jpeg(exifApp1(tiff::with(tiff::kIfd0Offset, 0xfffffff0))) << true << Date();
        QTest::newRow("IFD0 chained to itself")
            << jpeg(exifApp1(tiff::with(tiff::kIfd0Next, 8))) << true << Date(kTaken);
        QTest::newRow("Exif IFD pointing back at IFD0")
            << jpeg(exifApp1(tiff::with(tiff::kExifPointer, 8))) << true << Date();
        QTest::newRow("Exif IFD chained to itself")
            << jpeg(exifApp1(tiff::with(tiff::kExifNext, 26))) << true << Date(kTaken);
        QTest::newRow("IFD0 of 65535 entries")
            << jpeg(exifApp1(tiff::with(tiff::kIfd0Count, 0xffff, 2))) << true << Date();
        QTest::newRow("Exif IFD of 65535 entries")
            << jpeg(exifApp1(tiff::with(tiff::kExifCount, 0xffff, 2))) << true << Date();
        QTest::newRow("Exif pointer whose size wraps to four bytes")
            << jpeg(exifApp1(tiff::with(tiff::kExifPointerCount, 0x40000001))) << true << Date();
        QTest::newRow("date whose count overflows")
            << jpeg(exifApp1(tiff::with(tiff::kDateCount, 0xffffffff))) << true << Date();
        QTest::newRow("date text past the end")
            << jpeg(exifApp1(tiff::with(tiff::kDateOffset, 0xfffffff8))) << true << Date();
        QTest::newRow("block cut in the date")
            << jpeg(exifApp1(tiff::block().left(tiff::kDateText + 6))) << true << Date();
        QTest::newRow("garbled date")
            << jpeg(exifApp1(tiff::block().replace("2021:06", "20x1:6:"))) << true << Date();
        QTest::newRow("day that does not exist")
            << jpeg(exifApp1(tiff::block().replace("2021:06:15", "2021:02:30"))) << true << Date();
        QTest::newRow("time that does not exist")
            << jpeg(exifApp1(tiff::block().replace("10:20:30", "24:20:30"))) << true << Date();
        QTest::newRow("no TIFF header")
            << jpeg(exifApp1(QByteArray("XX") + tiff::block().mid(2))) << true << Date();
    }
    void jpegSegments()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, hasBlock);
        QFETCH(Date, date);
        const QString path = written(bytes);
        const JpegExif found = jpegExif(path);
        QVERIFY(found.isJpeg);
        QCOMPARE(found.block.has_value(), hasBlock);
        QCOMPARE(exifCaptureDate(path), date);
    }

    void bmffBoxes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("hasBlock");
        QTest::addColumn<Date>("date");
        const QByteArray whole = heicWithIdat(iloc(1, 1, 0, kExifItem.size()));
        const QByteArray iinf = fullBox("iinf", 0, be16(1) + kExifInfe);
        const QByteArray meta = whole.mid(ftyp().size(), whole.size() - ftyp().size() - 9);

        QTest::newRow("exif in idat") << whole << true << Date(kTaken);
        {
            // Stored in mdat, at its offset in the file.
            const QByteArray probe = heic(iinf + iloc(1, 0, 0, kExifItem.size()), kExifItem);
            const qint64 at = probe.size() - kExifItem.size();
            QTest::newRow("exif in mdat")
                << heic(iinf + iloc(1, 0, at, kExifItem.size()), kExifItem) << true << Date(kTaken);
        }
        QTest::newRow("box of size 0 before meta")
            << ftyp() + be32(0) + "free" + meta << false << Date();
        QTest::newRow("64-bit size under its header")
            << ftyp() + be32(1) + "free" + be64(12) + meta << false << Date();
        QTest::newRow("64-bit size past the file")
            << ftyp() + be32(1) + "free" + be64(quint64(1) << 62) + meta << false << Date();
        QTest::newRow("size past the file")
            << ftyp() + be32(0xffffffff) + "free" + meta << false << Date();
        QTest::newRow("meta larger than metadata gets")
            << ftyp() + be32(0) + "meta" + QByteArray(4, '\0') + QByteArray(17 << 20, '\0') << false
            << Date();
        QTest::newRow("iinf larger than meta")
            << QByteArray(whole).replace(be32(quint32(iinf.size())) + "iinf",
                                         be32(0x10000) + "iinf")
            << false << Date();
        QTest::newRow("infe larger than iinf")
            << heic(fullBox("iinf", 0, be16(1) + be32(0x1000) + "infe") +
                    iloc(1, 1, 0, kExifItem.size()) + box("idat", kExifItem))
            << false << Date();

        {
            // 65535 items of 65535 extents whose fields take no bytes: a walk without end.
            QByteArray items;
            for (int i = 0; i < 0xffff; ++i)
                items += be16(quint16(i + 2)) + be16(0) + be16(0xffff);
            QTest::newRow("iloc of empty extents")
                << heicWithIdat(fullBox("iloc", 0, QByteArray(2, '\0') + be16(0xffff) + items))
                << false << Date();
        }

        QTest::newRow("extent past idat")
            << heicWithIdat(iloc(1, 1, 4, kExifItem.size())) << false << Date();
        QTest::newRow("extent offset wrapping past idat")
            << heicWithIdat(iloc(1, 1, ~quint64(0) - 7, kExifItem.size() + 8, 8)) << false
            << Date();
        QTest::newRow("extent length wrapping past idat")
            << heicWithIdat(iloc(1, 1, 16, ~quint64(0) - 7, 8), QByteArray(16, 'j') + kExifItem)
            << false << Date();
        QTest::newRow("extent past the file")
            << heic(iinf + iloc(1, 0, 0x7fffffff, kExifItem.size())) << false << Date();

        QTest::newRow("TIFF offset past the item")
            << heicWithIdat(iloc(1, 1, 0, kExifItem.size()), be32(0xfffffffc) + tiff::block())
            << false << Date();
        QTest::newRow("item cut in its TIFF offset")
            << heicWithIdat(iloc(1, 1, 0, 2), kExifItem) << false << Date();
        QByteArray free;
        for (int i = 0; i < 100000; ++i)
            free += box("free", {});
        QTest::newRow("meta behind more boxes than a photo carries")
            << ftyp() + free + meta << false << Date();
        QTest::newRow("ftyp alone") << ftyp() << false << Date();
    }
    void bmffBoxes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, hasBlock);
        QFETCH(Date, date);
        const QString path = written(bytes);
        const std::optional<QByteArray> block = bmffExifBlock(path);
        QCOMPARE(block.has_value(), hasBlock);
        if (block)
            QCOMPARE(*block, tiff::block());
        QCOMPARE(exifCaptureDate(path), date);
    }
};

QTEST_GUILESS_MAIN(TestExifBlocks)
#include "TestExifBlocks.moc"
