#include "NameDisambiguator.h"

#include "ContentType.h"

#include <algorithm>

namespace pixavella::NameDisambiguator {

namespace {

struct Parts {
    QByteArray stem;
    QByteArray extension; // with its dot, or empty
};

Parts split(const QString& filename, bool isFolder)
{
    QString name = filename;
    name.replace(u'/', QChar(0x2215));
    name.replace(QChar(0), QChar(0x2400));
    if (name.isEmpty())
        name = QStringLiteral("_");
    else if (name == u".")
        name = QString(QChar(0x2024));
    else if (name == u"..")
        name = QString(QChar(0x2025));
    // Folder names ending in ".2024" have no extension to protect.
    const QString ext = isFolder ? QString() : filenameExtension(name);
    if (ext.isEmpty())
        return Parts{name.toUtf8(), {}};
    return Parts{name.left(name.size() - ext.size() - 1).toUtf8(), '.' + ext.toUtf8()};
}

QByteArray joined(const Parts& p, const QByteArray& suffix)
{
    const qsizetype room = kMaxDiskNameBytes - p.extension.size() - suffix.size();
    if (room > 0) {
        const QByteArray stem = truncatedUtf8(p.stem, room);
        if (!stem.isEmpty())
            return stem + suffix + p.extension;
    }
    // An extension too long to keep: the whole name is cut instead.
    return truncatedUtf8(p.stem + p.extension, kMaxDiskNameBytes - suffix.size()) + suffix;
}

} // namespace

QByteArray truncatedUtf8(const QByteArray& bytes, qsizetype maxBytes)
{
    if (bytes.size() <= maxBytes)
        return bytes;
    qsizetype cut = std::max<qsizetype>(maxBytes, 0);
    // Back off over continuation bytes (10xxxxxx) to the start of the cut character.
    while (cut > 0 && (uchar(bytes.at(cut)) & 0xC0) == 0x80)
        --cut;
    return bytes.left(cut);
}

QString filenameOf(const QByteArray& diskName)
{
    QString name = QString::fromUtf8(diskName);
    if (name == QString(QChar(0x2024)))
        return QStringLiteral(".");
    if (name == QString(QChar(0x2025)))
        return QStringLiteral("..");
    name.replace(QChar(0x2215), u'/');
    return name;
}

QByteArray diskName(const QString& filename, bool isFolder)
{
    return joined(split(filename, isFolder), {});
}

QByteArray numbered(const QString& filename, bool isFolder, int n)
{
    return joined(split(filename, isFolder), ' ' + QByteArray::number(n));
}

QHash<FileProviderItemIdentifier, QByteArray> uniqueNames(QList<Entry> entries,
                                                          const QSet<QByteArray>& reserved)
{
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.rank.has_value() != b.rank.has_value())
            return a.rank.has_value();
        if (a.rank != b.rank)
            return *a.rank < *b.rank;
        return a.identifier < b.identifier;
    });
    QHash<FileProviderItemIdentifier, QByteArray> names;
    names.reserve(entries.size());
    QSet<QByteArray> taken = reserved;
    QList<const Entry*> losers;
    // A name a program may hold (a path, a playlist, an open editor) keeps naming its item.
    for (const Entry& e : std::as_const(entries)) {
        if (e.previous.isEmpty() || taken.contains(e.previous) || names.contains(e.identifier))
            continue;
        taken.insert(e.previous);
        names.insert(e.identifier, e.previous);
    }
    // Every name that is free keeps it first, so an item really called "a 2.jpg" is never
    // renamed to make room for a numbered copy of "a.jpg".
    for (const Entry& e : std::as_const(entries)) {
        if (names.contains(e.identifier))
            continue;
        const QByteArray name = diskName(e.filename, e.isFolder);
        if (taken.contains(name)) {
            losers.append(&e);
            continue;
        }
        taken.insert(name);
        names.insert(e.identifier, name);
    }
    for (const Entry* e : std::as_const(losers)) {
        if (names.contains(e->identifier))
            continue;
        for (int n = 2;; ++n) {
            const QByteArray name = numbered(e->filename, e->isFolder, n);
            if (!taken.contains(name)) {
                taken.insert(name);
                names.insert(e->identifier, name);
                break;
            }
        }
    }
    return names;
}

} // namespace pixavella::NameDisambiguator
