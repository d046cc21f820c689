// Whole media files against ones cut short, by the structure each kind carries: the check that
// keeps a killed copy or a filled disk from sending a torn photo to the server.
#include "FileBytes.h"
#include "MediaCompleteness.h"

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace pixavella;

namespace {

QByteArray be32(quint32 v)
{
    QByteArray b(4, Qt::Uninitialized);
    qToBigEndian(v, b.data());
    return b;
}

QByteArray box(const char* type, const QByteArray& payload)
{
    return be32(quint32(8 + payload.size())) + QByteArray(type, 4) + payload;
}

QByteArray movie()
{
    return box("ftyp", QByteArray("isom\0\0\2\0isomiso2", 16)) + box("moov", QByteArray(40, 'm')) +
           box("mdat", QByteArray(3000, 'd'));
}

QByteArray encoded(const char* format)
{
    QImage image(48, 32, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// A JPEG with an XMP packet in front of its image data, and `trailer` after its end marker.
QByteArray withXmp(const QByteArray& jpeg, const QByteArray& xmp, const QByteArray& trailer)
{
    const QByteArray packet = QByteArray("http://ns.adobe.com/xap/1.0/") + '\0' + xmp;
    QByteArray segment("\xff\xe1");
    const quint16 length = quint16(packet.size() + 2);
    segment.append(char(length >> 8)).append(char(length & 0xff)).append(packet);
    return jpeg.left(2) + segment + jpeg.mid(2) + trailer;
}

} // namespace

class TestMediaCompleteness : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void toldFromTheFilesOwnStructure_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("complete");
        const QByteArray jpeg = encoded("JPEG");
        const QByteArray png = encoded("PNG");
        const QByteArray video = movie();
        const QByteArray isom = box("ftyp", QByteArray("isom\0\0\2\0", 8));
        const QByteArray microVideo = QByteArray("<x GCamera:MicroVideoOffset=\"") +
                                      QByteArray::number(video.size()) + "\"/>";
        const QByteArray directory =
            QByteArray("<Container:Item Item:Mime=\"image/jpeg\" Item:Semantic=\"Primary\"/>"
                       "<Container:Item Item:Mime=\"video/mp4\" Item:Semantic=\"MotionPhoto\" "
                       "Item:Length=\"") +
            QByteArray::number(video.size()) + "\"/>";

        QTest::newRow("jpeg") << jpeg << true;
        QTest::newRow("jpeg cut in its image data") << jpeg.left(jpeg.size() / 2) << false;
        QTest::newRow("jpeg cut one byte short") << jpeg.chopped(1) << false;
        QTest::newRow("jpeg padded with zeros") << jpeg + QByteArray(100, '\0') << true;
        QTest::newRow("start of image only") << QByteArray("\xff\xd8\xff") << false;
        QTest::newRow("motion photo (offset)") << withXmp(jpeg, microVideo, video) << true;
        QTest::newRow("motion photo (directory)") << withXmp(jpeg, directory, video) << true;
        QTest::newRow("motion photo cut in its video")
            << withXmp(jpeg, microVideo, video).chopped(500) << false;
        QTest::newRow("motion photo announcing more than it holds")
            << withXmp(jpeg, QByteArray("MicroVideoOffset=\"999999999\""), video) << false;
        const QByteArray hugeItem("<Container:Item Item:Semantic=\"MotionPhoto\" "
                                  "Item:Length=\"9000000000000000000\"/>");
        QTest::newRow("motion photo directory whose lengths overflow")
            << withXmp(jpeg, hugeItem + hugeItem, video) << false;
        QTest::newRow("XMP segment running past the end")
            << QByteArray("\xff\xd8\xff\xe1\xff\xff") + "http://ns.adobe.com/xap/1.0/" << false;
        QTest::newRow("jpeg cut in its signature") << QByteArray("\xff\xd8") << false;
        QTest::newRow("png") << png << true;
        QTest::newRow("png cut in its signature") << png.left(5) << false;
        QTest::newRow("png without its end chunk") << png.chopped(12) << false;
        const QByteArray gif("GIF89a\x01\0\x01\0\x80\0\0\xff\xff\xff\0\0\0,\0\0\0\0\x01\0\x01\0\0"
                             "\x02\x02\x44\x01\0;",
                             35);
        QTest::newRow("gif") << gif << true;
        QTest::newRow("gif without its trailer") << gif.chopped(1) << false;
        QTest::newRow("mp4") << video << true;
        QTest::newRow("mp4 cut in its data") << video.chopped(1000) << false;
        QTest::newRow("mp4 without moov") << isom + box("mdat", QByteArray(100, 'd')) << false;
        QTest::newRow("mp4 whose last box runs to the end")
            << isom + box("moov", "m") + be32(0) + QByteArray("mdat") + QByteArray(64, 'd') << true;
        QTest::newRow("mp4 with a 64-bit box size")
            << isom + box("moov", "m") + be32(1) + QByteArray("mdat") +
                   QByteArray("\0\0\0\0\0\0\0\x18", 8) + QByteArray(8, 'd')
            << true;
        QTest::newRow("64-bit size under its header")
            << isom + box("moov", "m") + be32(1) + QByteArray("mdat") +
                   QByteArray("\0\0\0\0\0\0\0\x08", 8)
            << false;
        QTest::newRow("64-bit size past the file")
            << isom + box("moov", "m") + be32(1) + QByteArray("mdat") +
                   QByteArray("\xff\xff\xff\xff\xff\xff\xff\xf8", 8)
            << false;
        QTest::newRow("box claiming less than its header")
            << isom + be32(4) + QByteArray("moov") << false;
        QTest::newRow("box claiming more than the file")
            << isom + be32(0x7fffffff) + QByteArray("moov") << false;
        QTest::newRow("heic") << box("ftyp", QByteArray("heic\0\0\0\0mif1", 12)) +
                                     box("meta", QByteArray(20, 'x')) + box("mdat", "d")
                              << true;
        QTest::newRow("heic without meta")
            << box("ftyp", QByteArray("heic\0\0\0\0mif1", 12)) + box("mdat", "d") << false;
        const QByteArray webp =
            QByteArray("RIFF") + QByteArray("\x0c\0\0\0", 4) + "WEBPVP8 " + QByteArray(4, 'v');
        QTest::newRow("webp") << webp << true;
        QTest::newRow("webp cut short") << webp.chopped(2) << false;
        QTest::newRow("webp cut in its header") << webp.left(7) << false;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("a kind it cannot judge") << QByteArray("II*\0 raw sensor data", 20) << true;
    }
    void toldFromTheFilesOwnStructure()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, complete);
        const QString path = m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        file.close();
        QCOMPARE(MediaCompleteness::isComplete(path), complete);
    }

    void aMissingFileIsNotWhole()
    {
        QVERIFY(!MediaCompleteness::isComplete(m_dir.filePath("nothing here")));
        QVERIFY(!FileBytes(m_dir.filePath("nothing here")).isOpen());
    }

    // The checks read ranges of a file opened once: from its first bytes, read at the start,
    // or from the file beyond them, the same bytes either way.
    void rangesInsideAndBeyondTheFirstBytes()
    {
        QByteArray bytes(FileBytes::kHeadSize + 5000, Qt::Uninitialized);
        for (qsizetype i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7 + i / 251);
        const QString path = m_dir.filePath("ranges");
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(bytes);
        out.close();
        for (const qint64 head : {FileBytes::kHeadSize, qint64(0)}) {
            const FileBytes file(path, head);
            QVERIFY(file.isOpen());
            QCOMPARE(file.size(), bytes.size());
            QVERIFY(file.modified());
            for (const qint64 at : {qint64(0), FileBytes::kHeadSize - 10, FileBytes::kHeadSize + 4990})
                QCOMPARE(file.at(at, 20), bytes.mid(at, 20));
            QCOMPARE(file.tail(6000), bytes.right(6000));
            QCOMPARE(file.at(bytes.size(), 4), QByteArray());
            QCOMPARE(file.at(-1, 4), QByteArray());
        }
    }
};

QTEST_GUILESS_MAIN(TestMediaCompleteness)
#include "TestMediaCompleteness.moc"
