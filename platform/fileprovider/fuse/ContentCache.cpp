#include "ContentCache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QUuid>

#include <cerrno>
#include <cstdio>

namespace pixavella {

namespace {

QString sha1(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

} // namespace

ContentCache::ContentCache(QString root) : m_root(std::move(root))
{
    QDir(incomingDirectory()).removeRecursively();
    QDir(m_root + QStringLiteral("/.uncached")).removeRecursively();
    QDir().mkpath(incomingDirectory());
}

QString ContentCache::incomingDirectory() const
{
    return m_root + QStringLiteral("/.incoming");
}

QString ContentCache::folderFor(const FileProviderItemIdentifier& identifier) const
{
    return m_root + u'/' + sha1(identifier.toUtf8());
}

std::optional<QString> ContentCache::find(const FileProviderItemIdentifier& identifier,
                                          const QByteArray& contentVersion) const
{
    if (contentVersion.isEmpty())
        return std::nullopt;
    const QString path = folderFor(identifier) + u'/' + sha1(contentVersion);
    if (!QFile::exists(path))
        return std::nullopt;
    return path;
}

Result<void> ContentCache::moveInto(const QString& from, const QString& to)
{
    const QByteArray src = QFile::encodeName(from);
    const QByteArray dst = QFile::encodeName(to);
    if (std::rename(src.constData(), dst.constData()) == 0)
        return Result<void>::success();
    if (errno != EXDEV)
        return fileError(errno, from);
    // Another file system: copy beside the target, then rename, so a reader never sees half a file.
    const QString partial = to + QStringLiteral(".partial");
    QFile::remove(partial);
    if (!QFile::copy(from, partial))
        return fileError(EIO, from);
    if (std::rename(QFile::encodeName(partial).constData(), dst.constData()) != 0) {
        const int e = errno;
        QFile::remove(partial);
        return fileError(e, to);
    }
    QFile::remove(from);
    return Result<void>::success();
}

Result<QString> ContentCache::adopt(const FileProviderItemIdentifier& identifier,
                                    const QByteArray& contentVersion, const QString& delivered)
{
    if (contentVersion.isEmpty())
        return adoptUncached(delivered);
    std::lock_guard lock(m_mutex);
    const QString folder = folderFor(identifier);
    if (!QDir().mkpath(folder))
        return fileError(errno ? errno : EIO, folder);
    const QString name = sha1(contentVersion);
    const QString target = folder + u'/' + name;
    const Result<void> moved = moveInto(delivered, target);
    if (!moved)
        return moved.error();
    // Older versions go; a reader that still has one open keeps reading it until it closes.
    const QStringList others = QDir(folder).entryList(QDir::Files | QDir::Hidden);
    for (const QString& other : others)
        if (other != name)
            QFile::remove(folder + u'/' + other);
    return target;
}

Result<QString> ContentCache::adoptUncached(const QString& delivered)
{
    const QString folder = m_root + QStringLiteral("/.uncached");
    if (!QDir().mkpath(folder))
        return fileError(errno ? errno : EIO, folder);
    const QString target = folder + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces);
    const Result<void> moved = moveInto(delivered, target);
    if (!moved)
        return moved.error();
    return target;
}

} // namespace pixavella
