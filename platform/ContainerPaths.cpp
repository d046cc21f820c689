#include "ContainerPaths.h"

#include "Log.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace pixavella::ContainerPaths {

namespace {

// The base directory specification ignores relative values of the XDG variables.
QString xdgDirectory(const char* variable, const QString& fallbackUnderHome)
{
    const QString value = qEnvironmentVariable(variable);
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::homePath() + QLatin1Char('/') + fallbackUnderHome;
}

// Every store asks for its folder on every read and write: one stat answers when it is there.
bool isDirectory(const QByteArray& native)
{
    struct stat st {};
    return ::stat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

QString ensured(const QString& path)
{
    if (isDirectory(QFile::encodeName(path)))
        return path;
    if (!QDir().mkpath(path))
        qCWarning(lcPlatform).noquote() << PIXAVELLA_LOG_PREFIX "cannot create" << path;
    return path;
}

// A directory of ours, private to the user: created 0700, or tightened to 0700 when it exists.
// Refuses a symbolic link or a directory owned by someone else (both possible in shared /tmp).
bool ensurePrivateDirectory(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
        (st.st_mode & 0777) == 0700)
        return true;
    QDir().mkpath(QFileInfo(path).path());
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid())
        return false;
    return (st.st_mode & 0777) == 0700 || ::chmod(native.constData(), 0700) == 0;
}

QString runtimeBase()
{
    const QString value = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    const QString systemd = QStringLiteral("/run/user/%1").arg(::getuid());
    struct stat st {};
    if (::stat(QFile::encodeName(systemd).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
        st.st_uid == ::getuid())
        return systemd;
    const QString fallback =
        QDir::tempPath() + QStringLiteral("/pixavella-runtime-%1").arg(::getuid());
    if (ensurePrivateDirectory(fallback))
        return fallback;
    // Someone else holds that name in the temporary folder: stay inside our own cache.
    return xdgDirectory("XDG_CACHE_HOME", QStringLiteral(".cache")) +
           QStringLiteral("/pixavella/runtime");
}

} // namespace

QString productDataDirectory()
{
    const QString path = xdgDirectory("XDG_DATA_HOME", QStringLiteral(".local/share")) +
                         QStringLiteral("/pixavella");
    if (!ensurePrivateDirectory(path))
        qCWarning(lcPlatform).noquote() << PIXAVELLA_LOG_PREFIX "cannot make private" << path;
    return path;
}

QString productCacheDirectory()
{
    const QString path =
        xdgDirectory("XDG_CACHE_HOME", QStringLiteral(".cache")) + QStringLiteral("/pixavella");
    if (!ensurePrivateDirectory(path))
        qCWarning(lcPlatform).noquote() << PIXAVELLA_LOG_PREFIX "cannot make private" << path;
    return path;
}

QString container()
{
    return ensured(productDataDirectory() + u'/' + QLatin1String(kAppGroupId));
}

QString signalsDirectory()
{
    return ensured(container() + QStringLiteral("/Signals"));
}

QString containerPath()
{
    return xdgDirectory("XDG_DATA_HOME", QStringLiteral(".local/share")) +
           QStringLiteral("/pixavella/") + QLatin1String(kAppGroupId);
}

QString signalsPath()
{
    return containerPath() + QStringLiteral("/Signals");
}

QString domainCache()
{
    return ensured(productCacheDirectory() + u'/' + QLatin1String(kDomainId));
}

QString runtimeDirectory()
{
    const QString path = runtimeBase() + QStringLiteral("/pixavella");
    if (!ensurePrivateDirectory(path))
        qCWarning(lcPlatform).noquote()
            << PIXAVELLA_LOG_PREFIX "cannot make a private runtime directory at" << path;
    return path;
}

QString mountPoint()
{
    return QDir::homePath() + QStringLiteral("/Library/CloudStorage/Pixavella-Pixavella");
}

} // namespace pixavella::ContainerPaths
