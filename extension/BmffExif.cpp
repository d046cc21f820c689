#include "BmffExif.h"

#include <QFile>
#include <QHash>

namespace pixavella {

namespace {

// Boxes past these sizes are not metadata a photo carries; reading them would only cost.
constexpr qint64 kMaxMetaBox = 16 << 20;
constexpr qint64 kMaxExifItem = 4 << 20;
// "meta" comes right after "ftyp" in an image; a file of countless tiny boxes is not walked.
constexpr int kMaxTopLevelBoxes = 1024;

// Big-endian reads over a byte range, failing (not crashing) past its end.
class Reader {
public:
    Reader(const QByteArray& bytes, qint64 begin, qint64 end) : m_b(bytes), m_at(begin), m_end(end)
    {
    }
    bool ok() const { return m_ok; }
    qint64 at() const { return m_at; }
    qint64 end() const { return m_end; }
    bool atEnd() const { return m_at >= m_end; }

    quint64 uint(int bytes)
    {
        if (bytes == 0)
            return 0;
        if (!m_ok || m_end - m_at < bytes) {
            m_ok = false;
            return 0;
        }
        quint64 value = 0;
        for (int i = 0; i < bytes; ++i)
            value = (value << 8) | quint8(m_b.at(m_at++));
        return value;
    }
    QByteArray fourCC()
    {
        if (!m_ok || m_end - m_at < 4) {
            m_ok = false;
            return {};
        }
        m_at += 4;
        return m_b.mid(m_at - 4, 4);
    }
    void skip(qint64 bytes)
    {
        if (!m_ok || bytes < 0 || m_end - m_at < bytes)
            m_ok = false;
        else
            m_at += bytes;
    }

private:
    const QByteArray& m_b;
    qint64 m_at;
    qint64 m_end;
    bool m_ok = true;
};

struct Box {
    QByteArray type;
    qint64 contentBegin = 0; // absolute, past the header
    qint64 end = 0;
};

// The next box of `r`, leaving `r` past it.
std::optional<Box> nextBox(Reader& r)
{
    const qint64 start = r.at();
    quint64 size = r.uint(4);
    Box box;
    box.type = r.fourCC();
    if (size == 1)
        size = r.uint(8);
    else if (size == 0)
        size = quint64(r.end() - start);
    if (!r.ok() || size < quint64(r.at() - start) || size > quint64(r.end() - start))
        return std::nullopt;
    box.contentBegin = r.at();
    box.end = start + qint64(size);
    r.skip(box.end - r.at());
    return box;
}

struct Extent {
    quint64 offset = 0;
    quint64 length = 0;
};

struct Location {
    int constructionMethod = 0; // 0: file offsets, 1: offsets in idat
    QList<Extent> extents;
};

std::optional<quint32> exifItemId(const QByteArray& meta, const Box& iinf)
{
    Reader r(meta, iinf.contentBegin, iinf.end);
    const quint64 version = r.uint(1);
    r.skip(3);
    r.uint(version == 0 ? 2 : 4); // entry count: the boxes themselves are walked
    while (r.ok() && !r.atEnd()) {
        const std::optional<Box> infe = nextBox(r);
        if (!infe)
            return std::nullopt;
        if (infe->type != "infe")
            continue;
        Reader e(meta, infe->contentBegin, infe->end);
        const quint64 v = e.uint(1);
        e.skip(3);
        if (v < 2)
            continue; // no item types before version 2
        const quint32 id = quint32(e.uint(v == 2 ? 2 : 4));
        e.skip(2); // protection index
        if (e.ok() && e.fourCC() == "Exif" && e.ok())
            return id;
    }
    return std::nullopt;
}

std::optional<Location> locationOf(const QByteArray& meta, const Box& iloc, quint32 itemId)
{
    Reader r(meta, iloc.contentBegin, iloc.end);
    const quint64 version = r.uint(1);
    r.skip(3);
    const quint64 sizes = r.uint(2);
    const int offsetSize = int(sizes >> 12), lengthSize = int((sizes >> 8) & 15),
              baseOffsetSize = int((sizes >> 4) & 15),
              indexSize = version == 1 || version == 2 ? int(sizes & 15) : 0;
    // Each extent then takes at least a byte: the walk ends with the box, whatever its counts say.
    if (lengthSize == 0)
        return std::nullopt; // lengths of the whole file: nothing an Exif item is stored as
    const quint64 count = r.uint(version < 2 ? 2 : 4);
    for (quint64 i = 0; i < count && r.ok(); ++i) {
        const quint32 id = quint32(r.uint(version < 2 ? 2 : 4));
        Location location;
        if (version == 1 || version == 2)
            location.constructionMethod = int(r.uint(2) & 15);
        r.skip(2); // data reference index
        const quint64 base = r.uint(baseOffsetSize);
        const quint64 extents = r.uint(2);
        for (quint64 k = 0; k < extents && r.ok(); ++k) {
            r.uint(indexSize);
            Extent extent;
            extent.offset = base + r.uint(offsetSize);
            extent.length = r.uint(lengthSize);
            location.extents.append(extent);
        }
        if (r.ok() && id == itemId)
            return location;
    }
    return std::nullopt;
}

} // namespace

std::optional<QByteArray> bmffExifBlock(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(12);
    if (head.size() < 12 || head.mid(4, 4) != "ftyp")
        return std::nullopt;

    // Top-level boxes, read header by header until "meta".
    qint64 at = 0;
    QByteArray meta;
    for (int i = 0; i < kMaxTopLevelBoxes && at < file.size(); ++i) {
        if (!file.seek(at))
            return std::nullopt;
        const QByteArray header = file.read(16);
        Reader r(header, 0, header.size());
        quint64 size = r.uint(4);
        const QByteArray type = r.fourCC();
        if (size == 1)
            size = r.uint(8);
        else if (size == 0)
            size = quint64(file.size() - at);
        if (!r.ok() || size < quint64(r.at()) || size > quint64(file.size() - at))
            return std::nullopt;
        if (type == "meta") {
            if (qint64(size) > kMaxMetaBox || !file.seek(at))
                return std::nullopt;
            meta = file.read(qint64(size));
            if (meta.size() != qint64(size))
                return std::nullopt;
            break;
        }
        at += qint64(size);
    }
    if (meta.isEmpty())
        return std::nullopt;

    Reader r(meta, 0, meta.size());
    const std::optional<Box> metaBox = nextBox(r);
    if (!metaBox)
        return std::nullopt;
    Reader children(meta, metaBox->contentBegin + 4, metaBox->end); // full box: version, flags
    QHash<QByteArray, Box> boxes;
    while (children.ok() && !children.atEnd()) {
        const std::optional<Box> child = nextBox(children);
        if (!child)
            return std::nullopt;
        boxes.insert(child->type, *child);
    }
    if (!boxes.contains("iinf") || !boxes.contains("iloc"))
        return std::nullopt;
    const std::optional<quint32> id = exifItemId(meta, boxes.value("iinf"));
    if (!id)
        return std::nullopt;
    const std::optional<Location> location = locationOf(meta, boxes.value("iloc"), *id);
    if (!location || location->constructionMethod > 1)
        return std::nullopt;

    QByteArray item;
    for (const Extent& extent : location->extents) {
        // Compared unsigned and without sums: offsets and lengths are any 64-bit values.
        if (extent.length == 0 || extent.length > quint64(kMaxExifItem - item.size()))
            return std::nullopt;
        if (location->constructionMethod == 1) {
            const Box idat = boxes.value("idat");
            const quint64 idatSize = quint64(idat.end - idat.contentBegin);
            if (idat.type != "idat" || extent.offset > idatSize ||
                extent.length > idatSize - extent.offset)
                return std::nullopt;
            item.append(meta.mid(idat.contentBegin + qint64(extent.offset), qint64(extent.length)));
        } else {
            if (extent.offset > quint64(file.size()) || !file.seek(qint64(extent.offset)))
                return std::nullopt;
            const QByteArray part = file.read(qint64(extent.length));
            if (part.size() != qint64(extent.length))
                return std::nullopt;
            item.append(part);
        }
    }
    // The item starts with the offset of the TIFF header past these four bytes.
    Reader header(item, 0, item.size());
    const quint64 tiffOffset = header.uint(4);
    if (!header.ok() || tiffOffset > quint64(item.size() - 4))
        return std::nullopt;
    return item.mid(4 + qint64(tiffOffset));
}

} // namespace pixavella
