#include "ContentType.h"

#include <QHash>
#include <QMimeDatabase>

#include <mutex>
#include <unordered_set>

namespace pixavella {

namespace {
const QString kFolder = QStringLiteral("inode/directory");
// Extensions whose type is kept; names of every kind can be dropped, the ones past this are
// looked up each time.
constexpr qsizetype kKnownExtensions = 256;

QStringView topLevel(const QString& mimeName)
{
    const qsizetype slash = mimeName.indexOf(u'/');
    return slash < 0 ? QStringView(mimeName) : QStringView(mimeName).left(slash);
}

// Never destroyed, so that a type held by an object destroyed at exit still names something;
// the set's elements keep their address as it grows.
const QString* interned(const QString& mimeName)
{
    static std::mutex* mutex = new std::mutex;
    static std::unordered_set<QString>* names = new std::unordered_set<QString>;
    std::lock_guard lock(*mutex);
    return &*names->insert(mimeName).first;
}
} // namespace

ContentType::ContentType(const QString& mimeName) : m_name(interned(mimeName)) {}

ContentType ContentType::folder()
{
    static const ContentType type(kFolder);
    return type;
}

ContentType ContentType::data()
{
    static const ContentType type(QStringLiteral("application/octet-stream"));
    return type;
}

ContentType ContentType::image()
{
    static const ContentType type(QStringLiteral("image/*"));
    return type;
}

ContentType ContentType::movie()
{
    static const ContentType type(QStringLiteral("video/*"));
    return type;
}

std::optional<ContentType> ContentType::fromFilenameExtension(const QString& extension)
{
    if (extension.isEmpty() || extension.contains(u'/'))
        return std::nullopt;
    // Every drop asks twice, for one of a handful of extensions: a glob match in the mime
    // database, under its lock, each time. The answers are kept (a bounded number of them).
    // Never destroyed, like the names, for a thread that asks while the process exits.
    static std::mutex* mutex = new std::mutex;
    static auto* known = new QHash<QString, std::optional<ContentType>>;
    {
        std::lock_guard lock(*mutex);
        const auto it = known->constFind(extension);
        if (it != known->cend())
            return *it;
    }
    // QMimeDatabase is thread-safe; the instance only refers to the shared database.
    const QMimeDatabase db;
    const QMimeType type =
        db.mimeTypeForFile(QStringLiteral("f.") + extension, QMimeDatabase::MatchExtension);
    std::optional<ContentType> found;
    if (type.isValid() && !type.isDefault() && type.name() != kFolder)
        found = ContentType(type.name());
    std::lock_guard lock(*mutex);
    if (known->size() < kKnownExtensions)
        known->insert(extension, found);
    return found;
}

bool ContentType::conformsTo(ContentKind kind) const
{
    switch (kind) {
    case ContentKind::folder:
        return *m_name == kFolder;
    case ContentKind::data:
        return *m_name != kFolder;
    case ContentKind::image:
        return topLevel(*m_name) == u"image";
    case ContentKind::movie:
        return topLevel(*m_name) == u"video";
    case ContentKind::audiovisual:
        return topLevel(*m_name) == u"video" || topLevel(*m_name) == u"audio";
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
