#pragma once

#include "FileProviderItemProtocol.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

namespace pixavella {

// The longest name a Linux file system gives back (NAME_MAX), in bytes.
inline constexpr qsizetype kMaxDiskNameBytes = 255;

// Turns item names into names the kernel and file managers accept. Names are UTF-8 bytes,
// as the kernel sees them.
namespace NameDisambiguator {

struct Entry {
    FileProviderItemIdentifier identifier;
    QString filename;
    bool isFolder = false;
    FileProviderNameRank rank; // the item's nameRank
    QByteArray previous; // the name it was shown under for this filename, if any
};

// One item's name on disk: "/" shown as "∕" (U+2215), "." and ".." as "․" and "‥", an empty
// name as "_", cut to 255 bytes on a character boundary, keeping a file's extension.
QByteArray diskName(const QString& filename, bool isFolder);

// The item name a name typed on disk stands for: "∕" is the server's "/", and "․" and "‥"
// alone are "." and "..", so that renaming an item shown that way keeps what it stood for.
QString filenameOf(const QByteArray& diskName);

// `diskName` with " <n>" before a file's extension ("IMG_0001 2.JPG"), still within 255 bytes.
QByteArray numbered(const QString& filename, bool isFolder, int n);

// Unique names for the children of one folder. A name already shown stays (while the item's
// name is the same); then the first item by rank (then identifier) keeps a free name, and the
// others get the lowest free number in that order, so the result does not depend on the order
// of `entries`. `reserved` names are never given out.
QHash<FileProviderItemIdentifier, QByteArray> uniqueNames(QList<Entry> entries,
                                                          const QSet<QByteArray>& reserved = {});

// `bytes` cut to at most `maxBytes` without splitting a UTF-8 sequence.
QByteArray truncatedUtf8(const QByteArray& bytes, qsizetype maxBytes);

} // namespace NameDisambiguator
} // namespace pixavella
