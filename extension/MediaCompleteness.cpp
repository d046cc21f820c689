#include "MediaCompleteness.h"

#include "FileBytes.h"

#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace pixavella::MediaCompleteness {

namespace {

using Bytes = FileBytes;

quint32 be32(const QByteArray& b, qsizetype at)
{
    return (quint32(quint8(b[at])) << 24) | (quint32(quint8(b[at + 1])) << 16) |
           (quint32(quint8(b[at + 2])) << 8) | quint32(quint8(b[at + 3]));
}

quint32 le32(const QByteArray& b, qsizetype at)
{
    return quint32(quint8(b[at])) | (quint32(quint8(b[at + 1])) << 8) |
           (quint32(quint8(b[at + 2])) << 16) | (quint32(quint8(b[at + 3])) << 24);
}

quint64 be64(const QByteArray& b, qsizetype at)
{
    return (quint64(be32(b, at)) << 32) | be32(b, at + 4);
}

// Top-level boxes from `from` to `to`, end to end. `needed` is a box type that must be among
// them (empty for none).
bool boxesFill(const Bytes& file, qint64 from, qint64 to, const QByteArray& needed)
{
    // A damaged file could announce boxes of a few bytes each: the walk is bounded.
    constexpr int kMaxBoxes = 100000;
    bool found = needed.isEmpty();
    qint64 at = from;
    for (int i = 0; i < kMaxBoxes && at < to; ++i) {
        const QByteArray head = file.at(at, 16);
        if (head.size() < 8)
            return false;
        quint64 size = be32(head, 0);
        const QByteArray type = head.mid(4, 4);
        if (type == needed)
            found = true;
        if (size == 0)
            return found; // the last box runs to the end of the file
        if (size == 1) {
            if (head.size() < 16)
                return false;
            size = be64(head, 8);
            if (size < 16)
                return false;
        } else if (size < 8) {
            return false;
        }
        if (size > quint64(to - at))
            return false;
        at += qint64(size);
    }
    return at == to && found;
}

bool isBoxType(const QByteArray& type)
{
    static const QList<QByteArray> kFirstBoxes = {"ftyp", "moov", "mdat", "wide",
                                                  "free", "skip", "pnot"};
    return kFirstBoxes.contains(type);
}

// HEIF images describe themselves in "meta"; movies in "moov".
QByteArray describingBox(const QByteArray& head)
{
    if (head.mid(4, 4) != "ftyp" || head.size() < 12)
        return "moov";
    static const QList<QByteArray> kImageBrands = {"heic", "heix", "heim", "heis", "hevc",
                                                   "mif1", "msf1", "avif", "avis"};
    return kImageBrands.contains(head.mid(8, 4)) ? QByteArray("meta") : QByteArray("moov");
}

bool isCompleteBmff(const Bytes& file, qint64 from)
{
    const QByteArray head = file.at(from, 12);
    return boxesFill(file, from, file.size(), describingBox(head));
}

// The APP1 XMP packet of a JPEG, read from the segments in front of the image data.
QByteArray jpegXmp(const Bytes& file)
{
    static const QByteArray kXmpId = QByteArrayLiteral("http://ns.adobe.com/xap/1.0/");
    qint64 at = 2;
    for (int i = 0; i < 64; ++i) {
        const QByteArray marker = file.at(at, 4);
        if (marker.size() < 4 || quint8(marker[0]) != 0xFF)
            return {};
        const quint8 code = quint8(marker[1]);
        if (code == 0xD8 || (code >= 0xD0 && code <= 0xD7) || code == 0x01) {
            at += 2;
            continue;
        }
        if (code == 0xFF) { // fill byte
            at += 1;
            continue;
        }
        if (code == 0xDA || code == 0xD9)
            return {};
        const qint64 length = (qint64(quint8(marker[2])) << 8) | quint8(marker[3]);
        if (length < 2)
            return {};
        if (code == 0xE1) {
            const QByteArray segment = file.at(at + 4, length - 2);
            if (segment.startsWith(kXmpId))
                return segment;
        }
        at += 2 + length;
    }
    return {};
}

// What a motion photo's XMP announces after the image: the whole trailer's length and that
// of its last item, the video (zero when nothing is announced).
struct Trailer {
    qint64 total = 0;
    qint64 video = 0;
};

Trailer announcedTrailer(const QByteArray& xmp)
{
    const QString text = QString::fromUtf8(xmp);
    static const QRegularExpression kMicroVideo(
        QStringLiteral(R"(MicroVideoOffset\s*=\s*["']?(\d+))"));
    if (const QRegularExpressionMatch m = kMicroVideo.match(text); m.hasMatch()) {
        const qint64 n = m.captured(1).toLongLong();
        return {n, n};
    }
    // The container directory lists the image, then the items appended after it in order.
    static const QRegularExpression kItem(QStringLiteral(R"(Container:Item\b([^>]*)>)"));
    static const QRegularExpression kLength(QStringLiteral(R"(Item:Length\s*=\s*["'](\d+))"));
    static const QRegularExpression kSemantic(QStringLiteral(R"(Item:Semantic\s*=\s*["'](\w+))"));
    Trailer trailer;
    for (auto it = kItem.globalMatch(text); it.hasNext();) {
        const QString attributes = it.next().captured(1);
        const qint64 length = kLength.match(attributes).captured(1).toLongLong();
        if (length <= 0)
            continue;
        // Lengths of up to 19 digits each: two of them could overflow the sum.
        if (length > std::numeric_limits<qint64>::max() - trailer.total)
            return {};
        trailer.total += length;
        trailer.video =
            kSemantic.match(attributes).captured(1) == QLatin1String("MotionPhoto") ? length : 0;
    }
    return trailer;
}

bool endsWithEndOfImage(const QByteArray& tail)
{
    // Some cameras pad the file with zeros after the marker.
    qsizetype end = tail.size();
    while (end > 0 && tail[end - 1] == '\0')
        --end;
    return end >= 2 && quint8(tail[end - 2]) == 0xFF && quint8(tail[end - 1]) == 0xD9;
}

bool isCompleteJpeg(const Bytes& file)
{
    if (endsWithEndOfImage(file.tail(4096)))
        return true;
    // A Samsung trailer ends with its own signature.
    if (file.tail(4) == "SEFT")
        return true;
    const Trailer trailer = announcedTrailer(jpegXmp(file));
    if (trailer.total <= 0 || trailer.total >= file.size() - 2 || trailer.video <= 0)
        return false;
    const QByteArray before = file.at(file.size() - trailer.total - 2, 2);
    return before.size() == 2 && quint8(before[0]) == 0xFF && quint8(before[1]) == 0xD9 &&
           isCompleteBmff(file, file.size() - trailer.video);
}

// A file that ends inside the signature its kind starts with (or a RIFF file inside its size
// and form type) is a torn file of that kind, not one of a kind that cannot be judged. One byte
// alone tells no kind.
bool isCutInItsHeader(const QByteArray& head)
{
    if (head.size() < 2)
        return false;
    if (head.size() < 12 && QByteArray("RIFF").startsWith(head.left(4)))
        return true;
    static const QList<QByteArray> kSignatures = {"\xff\xd8\xff", "\x89PNG\r\n\x1a\n", "GIF8"};
    for (const QByteArray& signature : kSignatures) {
        if (head.size() < signature.size() && signature.startsWith(head))
            return true;
    }
    return false;
}

} // namespace

bool isComplete(const QString& path)
{
    return isComplete(FileBytes(path, 0));
}

bool isComplete(const FileBytes& file)
{
    if (!file.isOpen())
        return false;
    if (file.size() == 0)
        return false;
    const QByteArray head = file.at(0, 16);
    if (isCutInItsHeader(head))
        return false;
    if (head.size() >= 3 && quint8(head[0]) == 0xFF && quint8(head[1]) == 0xD8 &&
        quint8(head[2]) == 0xFF)
        return isCompleteJpeg(file);
    if (head.startsWith("\x89PNG\r\n\x1a\n"))
        return file.tail(12) == QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    if (head.startsWith("GIF8"))
        return file.tail(1) == ";";
    if (head.startsWith("RIFF") && head.size() >= 12) {
        const qint64 announced = qint64(le32(head, 4)) + 8;
        return announced == file.size() || announced + 1 == file.size();
    }
    if (head.size() >= 8 && isBoxType(head.mid(4, 4)))
        return isCompleteBmff(file, 0);
    return true;
}

} // namespace pixavella::MediaCompleteness
