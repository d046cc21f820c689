#include "MountTable.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace pixavella::MountTable {

namespace {

// Mount points in mountinfo escape space, tab, newline and backslash as \ooo.
QByteArray unescaped(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field.at(i) == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(char(value));
                i += 3;
                continue;
            }
        }
        out.append(field.at(i));
    }
    return out;
}

} // namespace

std::optional<Mount> find(const QString& mountPoint)
{
    QFile file(QStringLiteral("/proc/self/mountinfo"));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray wanted = QFile::encodeName(QDir::cleanPath(mountPoint));
    std::optional<Mount> found;
    // The last matching line is the mount on top, the one a path resolves to.
    for (const QByteArray& line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 10 || unescaped(fields.at(4)) != wanted)
            continue;
        const qsizetype dash = fields.indexOf("-");
        if (dash < 0 || dash + 1 >= fields.size())
            continue;
        Mount m;
        m.mountPoint = mountPoint;
        m.fsType = QString::fromUtf8(fields.at(dash + 1));
        const QList<QByteArray> dev = fields.at(2).split(':');
        if (dev.size() == 2)
            m.device = dev.at(1).toUInt();
        found = m;
    }
    return found;
}

bool isStale(const QString& mountPoint)
{
    const std::optional<Mount> mount = find(mountPoint);
    if (!mount || !mount->fsType.startsWith(QLatin1String("fuse")))
        return false;
    // stat may be answered from attributes the kernel cached before the daemon died; statfs
    // always asks the daemon.
    struct statfs st {};
    return ::statfs(QFile::encodeName(mountPoint).constData(), &st) != 0 && errno == ENOTCONN;
}

Result<void> detach(const QString& mountPoint)
{
    const QByteArray path = QFile::encodeName(mountPoint);
    if (::geteuid() == 0) {
        if (::umount2(path.constData(), MNT_DETACH) == 0 || errno == EINVAL || errno == ENOENT)
            return Result<void>::success();
        return fileError(errno, mountPoint);
    }
    char arg0[] = "fusermount3";
    char arg1[] = "-u";
    char arg2[] = "-q";
    char arg3[] = "-z";
    char* argv[] = {arg0, arg1, arg2, arg3, const_cast<char*>(path.constData()), nullptr};
    pid_t pid = 0;
    if (const int rc = ::posix_spawnp(&pid, "fusermount3", nullptr, nullptr, argv, environ))
        return fileError(rc, QStringLiteral("fusermount3"));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return Result<void>::success();
    if (!find(mountPoint))
        return Result<void>::success();
    return fileError(EBUSY, QStringLiteral("fusermount3 -u -z ") + mountPoint);
}

bool abortConnection(quint32 device)
{
    QFile abort(QStringLiteral("/sys/fs/fuse/connections/%1/abort").arg(device));
    if (!abort.open(QIODevice::WriteOnly))
        return false;
    return abort.write("1") == 1;
}

} // namespace pixavella::MountTable
