#include "PackedAsset.h"

#include <array>
#include <cstring>

namespace pixavella {

namespace {

// How a text field is kept.
enum Tag : char {
    absent = 0,
    utf8 = 1,
    serverDate = 2, // "YYYY-MM-DDTHH:MM:SS.mmmZ" as its numbers, in 9 bytes
    utf16 = 3,      // text that is not valid UTF-16 (a lone surrogate) keeps its code units
};

// Where each number of a server date starts, and its width.
constexpr std::array<std::pair<int, int>, 7> kDateParts{
    {{0, 4}, {5, 2}, {8, 2}, {11, 2}, {14, 2}, {17, 2}, {20, 3}}};
constexpr qsizetype kDateLength = 24;
// Its shape: 'd' a digit, any other character itself.
constexpr char kDateShape[] = "dddd-dd-ddTdd:dd:dd.dddZ";

bool isServerDate(const QString& s)
{
    if (s.size() != kDateLength)
        return false;
    for (qsizetype i = 0; i < kDateLength; ++i) {
        const char16_t c = s.at(i).unicode();
        if (kDateShape[i] == 'd' ? (c < u'0' || c > u'9') : c != char16_t(kDateShape[i]))
            return false;
    }
    return true;
}

class Writer {
public:
    QByteArray bytes;

    void byte(char c) { bytes.append(c); }
    void raw(const void* data, qsizetype size)
    {
        bytes.append(static_cast<const char*>(data), size);
    }
    void count(quint64 n)
    {
        do {
            byte(char((n & 0x7f) | (n > 0x7f ? 0x80 : 0)));
            n >>= 7;
        } while (n);
    }
    void text(const std::optional<QString>& s)
    {
        if (!s) {
            byte(absent);
        } else if (isServerDate(*s)) {
            byte(serverDate);
            for (const auto& [at, width] : kDateParts) {
                const uint v = QStringView(*s).mid(at, width).toUInt();
                byte(char(v & 0xff));
                if (width > 2) // two digits fit a byte
                    byte(char(v >> 8));
            }
        } else if (s->isValidUtf16()) {
            const QByteArray u = s->toUtf8();
            byte(utf8);
            count(quint64(u.size()));
            bytes.append(u);
        } else {
            byte(utf16);
            count(quint64(s->size()));
            raw(s->utf16(), s->size() * qsizetype(sizeof(char16_t)));
        }
    }
};

class Reader {
public:
    explicit Reader(const QByteArray& bytes) : m_bytes(bytes) {}

    char byte() { return m_at < m_bytes.size() ? m_bytes.at(m_at++) : char(0); }
    void raw(void* out, qsizetype size)
    {
        const qsizetype n = qMin(size, m_bytes.size() - m_at);
        std::memset(out, 0, size_t(size));
        std::memcpy(out, m_bytes.constData() + m_at, size_t(n));
        m_at += n;
    }
    quint64 count()
    {
        quint64 n = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const auto c = quint8(byte());
            n |= quint64(c & 0x7f) << shift;
            if (!(c & 0x80))
                break;
        }
        return n;
    }
    std::optional<QString> text()
    {
        switch (byte()) {
        case serverDate: {
            QString s(kDateLength, Qt::Uninitialized);
            for (qsizetype i = 0; i < kDateLength; ++i)
                s[i] = QChar(kDateShape[i]); // the digits are written below
            for (const auto& [at, width] : kDateParts) {
                uint v = quint8(byte());
                if (width > 2)
                    v |= uint(quint8(byte())) << 8;
                for (int i = width - 1; i >= 0; --i, v /= 10)
                    s[at + i] = QChar(u'0' + v % 10);
            }
            return s;
        }
        case utf8: {
            const qsizetype n = qsizetype(qMin<quint64>(count(), quint64(left())));
            const QString s = QString::fromUtf8(m_bytes.constData() + m_at, n);
            m_at += n;
            return s;
        }
        case utf16: {
            const qsizetype n =
                qsizetype(qMin<quint64>(count(), quint64(left()) / sizeof(char16_t)));
            QString s(n, Qt::Uninitialized);
            raw(s.data(), n * qsizetype(sizeof(char16_t)));
            return s;
        }
        default:
            return std::nullopt;
        }
    }

private:
    qsizetype left() const { return m_bytes.size() - m_at; }

    const QByteArray& m_bytes;
    qsizetype m_at = 0;
};

} // namespace

PackedAsset::PackedAsset(const ImmichAsset& asset, std::optional<int> month)
{
    Writer w;
    w.bytes.reserve(128);
    w.byte(month ? 1 : 0);
    if (month) {
        const qint32 m = *month;
        w.raw(&m, sizeof m);
    }
    w.text(asset.type);
    w.text(asset.originalFileName);
    w.text(asset.fileCreatedAt);
    w.text(asset.fileModifiedAt);
    w.text(asset.checksum);
    w.byte(asset.isTrashed ? (*asset.isTrashed ? 2 : 1) : 0);
    w.byte(asset.exifInfo ? 1 : 0);
    if (asset.exifInfo) {
        const std::optional<qint64>& size = asset.exifInfo->fileSizeInByte;
        w.byte(size ? 1 : 0);
        if (size)
            w.raw(&*size, sizeof *size);
        w.text(asset.exifInfo->dateTimeOriginal);
    }
    w.text(asset.createdAt);
    w.bytes.squeeze();
    m_bytes = std::move(w.bytes);
}

std::optional<int> PackedAsset::month() const
{
    Reader r(m_bytes);
    if (r.byte() != 1)
        return std::nullopt;
    qint32 m = 0;
    r.raw(&m, sizeof m);
    return m;
}

ImmichAsset PackedAsset::unpack(const QString& id) const
{
    ImmichAsset a;
    a.id = id;
    Reader r(m_bytes);
    if (r.byte() == 1) {
        qint32 month = 0;
        r.raw(&month, sizeof month);
    }
    a.type = r.text().value_or(QString());
    a.originalFileName = r.text().value_or(QString());
    a.fileCreatedAt = r.text().value_or(QString());
    a.fileModifiedAt = r.text();
    a.checksum = r.text();
    if (const char trashed = r.byte())
        a.isTrashed = trashed == 2;
    if (r.byte()) {
        ExifInfo exif;
        if (r.byte()) {
            qint64 size = 0;
            r.raw(&size, sizeof size);
            exif.fileSizeInByte = size;
        }
        exif.dateTimeOriginal = r.text();
        a.exifInfo = std::move(exif);
    }
    a.createdAt = r.text();
    return a;
}

} // namespace pixavella
