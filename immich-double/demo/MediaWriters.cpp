#include "MediaWriters.h"

#include <QtEndian>

#include <vector>

namespace demolibrary {

namespace {

void put16(QByteArray& out, quint16 value)
{
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void put32(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

// One little-endian TIFF directory whose entries are written in the order given (ascending
// tags), values longer than four bytes placed after it.
class TiffDirectory {
public:
    enum Type : quint16 { Ascii = 2, Short = 3, Long = 4 };

    void ascii(quint16 tag, const QString& text)
    {
        QByteArray value = text.toLatin1();
        value.append('\0');
        m_entries.push_back({tag, Ascii, quint32(value.size()), value});
    }
    void shortValue(quint16 tag, quint16 value)
    {
        QByteArray bytes;
        put16(bytes, value);
        m_entries.push_back({tag, Short, 1, bytes});
    }
    void longValue(quint16 tag, quint32 value)
    {
        QByteArray bytes;
        put32(bytes, value);
        m_entries.push_back({tag, Long, 1, bytes});
    }

    // Bytes of the directory placed at `offset` within the TIFF data; `next` is the offset of
    // the following directory (0: none).
    QByteArray write(quint32 offset, quint32 next = 0) const
    {
        QByteArray out;
        QByteArray data;
        const quint32 dataStart = offset + size() - dataSize();
        put16(out, quint16(m_entries.size()));
        for (const Entry& entry : m_entries) {
            put16(out, entry.tag);
            put16(out, entry.type);
            put32(out, entry.count);
            if (entry.value.size() <= 4) {
                out.append(entry.value.leftJustified(4, '\0'));
            } else {
                put32(out, dataStart + quint32(data.size()));
                data.append(entry.value);
                if (data.size() % 2)
                    data.append('\0');
            }
        }
        put32(out, next);
        return out + data;
    }

    quint32 size() const { return 2 + 12 * quint32(m_entries.size()) + 4 + dataSize(); }

private:
    struct Entry {
        quint16 tag;
        quint16 type;
        quint32 count;
        QByteArray value;
    };

    quint32 dataSize() const
    {
        quint32 total = 0;
        for (const Entry& entry : m_entries) {
            if (entry.value.size() > 4)
                total += quint32(entry.value.size() + entry.value.size() % 2);
        }
        return total;
    }

    std::vector<Entry> m_entries;
};

QByteArray fourcc(const char* code)
{
    return QByteArray(code, 4);
}

// A RIFF chunk: code, size, data, padded to an even length.
QByteArray chunk(const char* code, const QByteArray& data)
{
    QByteArray out = fourcc(code);
    put32(out, quint32(data.size()));
    out.append(data);
    if (data.size() % 2)
        out.append('\0');
    return out;
}

QByteArray list(const char* type, const QByteArray& content)
{
    return chunk("LIST", fourcc(type) + content);
}

} // namespace

QByteArray withExif(const QByteArray& jpeg, const CameraFacts& facts)
{
    if (!jpeg.startsWith("\xFF\xD8"))
        return jpeg;
    const QString when = facts.captured.toUTC().toString(QStringLiteral("yyyy:MM:dd HH:mm:ss"));

    TiffDirectory exif;
    exif.ascii(0x9003, when);                     // DateTimeOriginal
    exif.ascii(0x9004, when);                     // DateTimeDigitized
    exif.ascii(0x9011, QStringLiteral("+00:00")); // OffsetTimeOriginal
    exif.longValue(0xA002, quint32(facts.size.width()));
    exif.longValue(0xA003, quint32(facts.size.height()));

    const auto mainDirectory = [&facts, &when](quint32 exifOffset) {
        TiffDirectory ifd0;
        ifd0.ascii(0x010F, facts.make);
        ifd0.ascii(0x0110, facts.model);
        ifd0.shortValue(0x0112, 1); // Orientation: as stored
        ifd0.ascii(0x0132, when);
        ifd0.longValue(0x8769, exifOffset);
        return ifd0;
    };
    const quint32 mainOffset = 8;
    const quint32 exifOffset = mainOffset + mainDirectory(0).size();

    QByteArray tiff("II*\0", 4);
    put32(tiff, mainOffset);
    tiff += mainDirectory(exifOffset).write(mainOffset);
    tiff += exif.write(exifOffset);

    const QByteArray payload = QByteArray("Exif\0\0", 6) + tiff;
    QByteArray segment("\xFF\xE1", 2);
    const quint16 length = quint16(payload.size() + 2);
    segment.append(char(length >> 8)).append(char(length & 0xFF));
    segment += payload;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

QByteArray motionJpegAvi(const QList<QByteArray>& frames, QSize size, int framesPerSecond)
{
    quint32 largest = 0;
    for (const QByteArray& frame : frames)
        largest = std::max(largest, quint32(frame.size()));
    const quint32 width = quint32(size.width());
    const quint32 height = quint32(size.height());
    const quint32 count = quint32(frames.size());

    QByteArray avih;
    put32(avih, quint32(1'000'000 / framesPerSecond)); // microseconds per frame
    put32(avih, largest * quint32(framesPerSecond));   // max bytes per second
    put32(avih, 0);                                    // padding granularity
    put32(avih, 0x10);                                 // AVIF_HASINDEX
    put32(avih, count);
    put32(avih, 0); // initial frames
    put32(avih, 1); // streams
    put32(avih, largest);
    put32(avih, width);
    put32(avih, height);
    for (int i = 0; i < 4; ++i)
        put32(avih, 0);

    QByteArray strh = fourcc("vids") + fourcc("MJPG");
    put32(strh, 0); // flags
    put16(strh, 0); // priority
    put16(strh, 0); // language
    put32(strh, 0); // initial frames
    put32(strh, 1); // scale
    put32(strh, quint32(framesPerSecond));
    put32(strh, 0); // start
    put32(strh, count);
    put32(strh, largest);
    put32(strh, 0xFFFFFFFF); // quality: default
    put32(strh, 0);          // sample size: varies
    put16(strh, 0);
    put16(strh, 0);
    put16(strh, quint16(width));
    put16(strh, quint16(height));

    QByteArray strf;
    put32(strf, 40);
    put32(strf, width);
    put32(strf, height);
    put16(strf, 1);  // planes
    put16(strf, 24); // bits per pixel
    strf += fourcc("MJPG");
    put32(strf, width * height * 3);
    for (int i = 0; i < 4; ++i)
        put32(strf, 0);

    const QByteArray header =
        list("hdrl", chunk("avih", avih) + list("strl", chunk("strh", strh) + chunk("strf", strf)));

    QByteArray movi = fourcc("movi");
    QByteArray index;
    for (const QByteArray& frame : frames) {
        index += fourcc("00dc");
        put32(index, 0x10); // key frame
        put32(index, quint32(movi.size()));
        put32(index, quint32(frame.size()));
        movi += chunk("00dc", frame);
    }

    QByteArray body = fourcc("AVI ") + header + chunk("LIST", movi) + chunk("idx1", index);
    QByteArray file = fourcc("RIFF");
    put32(file, quint32(body.size()));
    return file + body;
}

} // namespace demolibrary
