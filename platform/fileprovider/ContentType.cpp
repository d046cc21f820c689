#include "ContentType.h"

#include <QHash>
#include <QMimeDatabase>

#include <mutex>

namespace pixavella {

namespace {
const QString kFolder = QStringLiteral("inode/directory");

QStringView topLevel(const QString& mimeName)
{
    const qsizetype slash = mimeName.indexOf(u'/');
    return slash < 0 ? QStringView(mimeName) : QStringView(mimeName).left(slash);
}

// One copy of each type's name for the whole process: every listed photo carries one, and a
// library of 100 000 photos has a handful of types. The database's types are a bounded set.
QString interned(const QString& mimeName)
{
    static std::mutex mutex;
    static QHash<QString, QString> names;
    std::lock_guard lock(mutex);
    auto it = names.constFind(mimeName);
    if (it == names.cend())
        it = names.insert(mimeName, mimeName);
    return *it;
}
} // namespace

ContentType ContentType::folder()
{
    return ContentType(kFolder);
}

ContentType ContentType::data()
{
    return ContentType(QStringLiteral("application/octet-stream"));
}

ContentType ContentType::image()
{
    return ContentType(QStringLiteral("image/*"));
}

ContentType ContentType::movie()
{
    return ContentType(QStringLiteral("video/*"));
}

std::optional<ContentType> ContentType::fromFilenameExtension(const QString& extension)
{
    if (extension.isEmpty() || extension.contains(u'/'))
        return std::nullopt;
    // QMimeDatabase is thread-safe; the instance only refers to the shared database.
    const QMimeDatabase db;
    const QMimeType type =
        db.mimeTypeForFile(QStringLiteral("f.") + extension, QMimeDatabase::MatchExtension);
    if (!type.isValid() || type.isDefault() || type.name() == kFolder)
        return std::nullopt;
    return ContentType(interned(type.name()));
}

bool ContentType::conformsTo(ContentKind kind) const
{
    switch (kind) {
    case ContentKind::folder:
        return m_name == kFolder;
    case ContentKind::data:
        return m_name != kFolder;
    case ContentKind::image:
        return topLevel(m_name) == u"image";
    case ContentKind::movie:
        return topLevel(m_name) == u"video";
    case ContentKind::audiovisual:
        return topLevel(m_name) == u"video" || topLevel(m_name) == u"audio";
    }
    return false;
}

QString filenameExtension(const QString& filename)
{
    const QString last = filename.mid(filename.lastIndexOf(u'/') + 1);
    const qsizetype dot = last.lastIndexOf(u'.');
    return dot <= 0 ? QString() : last.mid(dot + 1);
}

} // namespace pixavella
