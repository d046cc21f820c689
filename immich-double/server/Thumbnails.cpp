#include "Thumbnails.h"

#include <QBuffer>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

Q_LOGGING_CATEGORY(lcThumbnails, "immichdouble.thumbnails")

extern char** environ;

namespace immichdouble {

namespace {

constexpr int kThumbnailSide = 250;
constexpr int kPreviewSide = 1440;
constexpr int kQuality = 80; // the server's default for both
constexpr qsizetype kEntryOverhead = 128;

int longSide(Thumbnails::Size size)
{
    return size == Thumbnails::Size::Thumbnail ? kThumbnailSide : kPreviewSide;
}

QSize fitted(QSize original, int side)
{
    if (original.isEmpty() || std::max(original.width(), original.height()) <= side)
        return original;
    return original.scaled(side, side, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

// Decoded at the size wanted: the JPEG reader then scales while decoding, far cheaper than a
// whole 12-megapixel decode. EXIF orientation is applied, as the server does.
QImage decode(const QByteArray& bytes, int side)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && reader.supportsOption(QImageIOHandler::ScaledSize)) {
        const bool turned = reader.transformation() & QImageIOHandler::TransformationRotate90;
        const QSize wanted = fitted(size, side);
        reader.setScaledSize(turned ? wanted.transposed() : wanted);
    }
    QImage image = reader.read();
    if (image.isNull())
        return {};
    const QSize wanted = fitted(image.size(), side);
    if (wanted != image.size())
        image = image.scaled(wanted, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

bool isHeif(const QByteArray& bytes)
{
    static const QList<QByteArray> brands = {"heic", "heix", "heim", "heis", "hevc",
                                             "hevx", "mif1", "msf1", "avif"};
    return bytes.size() >= 12 && bytes.mid(4, 4) == "ftyp" && brands.contains(bytes.mid(8, 4));
}

// HEIC and AVIF through libheif's converter, when it is installed and can read the file.
QImage decodeHeif(const QByteArray& bytes, int side)
{
    QTemporaryDir folder;
    if (!folder.isValid())
        return {};
    const QByteArray input = QFile::encodeName(folder.filePath(QStringLiteral("in.heic")));
    const QByteArray output = QFile::encodeName(folder.filePath(QStringLiteral("out.png")));
    QFile file(QString::fromLocal8Bit(input));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    file.close();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char program[] = "heif-convert";
    char* argv[] = {program, const_cast<char*>(input.constData()),
                    const_cast<char*>(output.constData()), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        qCWarning(lcThumbnails) << "heif-convert cannot be started:" << strerror(spawned);
        return {};
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    QFile converted(QString::fromLocal8Bit(output));
    if (!converted.open(QIODevice::ReadOnly))
        return {};
    return decode(converted.readAll(), side);
}

// A Motion-JPEG clip holds whole JPEG frames: the first one that decodes stands for the frame
// the server would take.
QImage firstJpegFrame(const QByteArray& bytes, int side)
{
    qsizetype at = bytes.indexOf("\xff\xd8\xff");
    for (int tries = 0; at >= 0 && tries < 4; ++tries) {
        QImage image = decode(bytes.mid(at), side);
        if (!image.isNull())
            return image;
        at = bytes.indexOf("\xff\xd8\xff", at + 3);
    }
    return {};
}

// A picture of the recorded size in a colour of the checksum, for bytes that stand for one.
QImage drawn(const Thumbnails::Source& source, int side)
{
    const QSize size = fitted(
        QSize(source.width > 0 ? source.width : 640, source.height > 0 ? source.height : 480),
        side);
    QImage image(size, QImage::Format_RGB32);
    const int hue = (quint8(source.checksum[0]) << 8 | quint8(source.checksum[1])) % 360;
    for (int y = 0; y < size.height(); ++y) {
        const QRgb colour =
            QColor::fromHsv(hue, 160, 120 + 100 * y / std::max(1, size.height() - 1)).rgb();
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        std::fill(line, line + size.width(), colour);
    }
    return image;
}

QByteArray encode(const QImage& image, const char* format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(kQuality);
    if (!writer.write(image)) {
        qCWarning(lcThumbnails) << "cannot write" << format << writer.errorString();
        return {};
    }
    return bytes;
}

} // namespace

std::optional<Thumbnails::Picture> Thumbnails::picture(const Source& source, Size size)
{
    const QByteArray key = source.id.toRfc4122() + char(size);
    {
        std::lock_guard lock(m_mutex);
        if (const auto found = m_byKey.constFind(key); found != m_byKey.constEnd()) {
            m_recent.splice(m_recent.begin(), m_recent, *found);
            return m_recent.front().picture;
        }
    }
    // Made outside the lock: two requests for one picture at once may both make it.
    std::optional<Picture> made = make(source, size);
    std::lock_guard lock(m_mutex);
    if (m_byKey.contains(key))
        return made;
    m_recent.push_front({key, made});
    m_byKey.insert(key, m_recent.begin());
    m_bytes += kEntryOverhead + (made ? made->bytes.size() : 0);
    while (m_bytes > m_budget && m_recent.size() > 1) {
        const Entry& last = m_recent.back();
        m_bytes -= kEntryOverhead + (last.picture ? last.picture->bytes.size() : 0);
        m_byKey.remove(last.key);
        m_recent.pop_back();
    }
    return made;
}

qsizetype Thumbnails::cachedBytes() const
{
    std::lock_guard lock(m_mutex);
    return m_bytes;
}

std::optional<Thumbnails::Picture> Thumbnails::make(const Source& source, Size size) const
{
    const int side = longSide(size);
    QImage image;
    if (source.type == AssetType::Video)
        image = firstJpegFrame(source.bytes, side);
    else if (isHeif(source.bytes))
        image = decodeHeif(source.bytes, side);
    else
        image = decode(source.bytes, side);
    if (image.isNull() && (source.standIn || source.type == AssetType::Video))
        image = drawn(source, side);
    if (image.isNull())
        return std::nullopt;
    Picture picture;
    if (size == Size::Thumbnail) {
        picture.contentType = "image/webp";
        picture.bytes = encode(image, "webp");
    } else {
        picture.contentType = "image/jpeg";
        picture.bytes = encode(image, "jpeg");
    }
    if (picture.bytes.isEmpty())
        return std::nullopt;
    return picture;
}

} // namespace immichdouble
