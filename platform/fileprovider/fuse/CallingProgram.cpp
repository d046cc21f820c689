#include "CallingProgram.h"

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace pixavella {

namespace {

constexpr qsizetype kCommLength = 15;

// Asked of every opendir, so read with plain system calls: one read each, nothing else.
QByteArray readSmall(const QByteArray& path)
{
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return got > 0 ? QByteArray(buffer, qsizetype(got)) : QByteArray();
}

QByteArray field(const QByteArray& status, const char* name)
{
    for (const QByteArray& line : status.split('\n'))
        if (line.startsWith(name))
            return line.mid(qsizetype(std::strlen(name))).trimmed();
    return {};
}

} // namespace

CallingProgram CallingProgram::of(pid_t pid)
{
    CallingProgram program;
    if (pid <= 0)
        return program;
    // The thread's status names its process (Tgid) and, for the process's own thread, the
    // process's name; another thread's name is its own, so the process's is read apart.
    const QByteArray thread = QByteArray::number(pid);
    const QByteArray status = readSmall("/proc/" + thread + "/status");
    QByteArray process = field(status, "Tgid:");
    if (process.isEmpty())
        process = thread;
    const QByteArray dir = "/proc/" + process + '/';
    QByteArray name = process == thread ? field(status, "Name:") : QByteArray();
    if (name.isEmpty())
        name = readSmall(dir + "comm").trimmed();
    program.name = QString::fromUtf8(name);
    char target[PATH_MAX];
    const ssize_t length = ::readlink((dir + "exe").constData(), target, sizeof target);
    if (length > 0) {
        QByteArray exe(target, qsizetype(length));
        // A replaced executable reads "name (deleted)".
        if (exe.endsWith(" (deleted)"))
            exe.chop(10);
        program.executable = QString::fromUtf8(exe.mid(exe.lastIndexOf('/') + 1));
    }
    return program;
}

bool CallingProgram::isThumbnailer() const
{
    // Thumbnailers are named for what they do. The kernel may cut the name inside "thumb"
    // ("gdk-pixbuf-thum", "totem-video-thu"), and the name is all there is when the executable
    // cannot be read.
    for (const QString& s : {executable, name}) {
        if (s.contains(QLatin1String("thumb"), Qt::CaseInsensitive) ||
            s == QLatin1String("tumblerd"))
            return true;
    }
    return name.size() == kCommLength &&
           (name.endsWith(QLatin1String("thu"), Qt::CaseInsensitive) ||
            name.endsWith(QLatin1String("thum"), Qt::CaseInsensitive));
}

bool CallingProgram::isAnyOf(const QStringList& programs) const
{
    for (const QString& p : programs) {
        if ((!executable.isEmpty() && executable == p) ||
            (!name.isEmpty() && name == p.left(kCommLength)))
            return true;
    }
    return false;
}

} // namespace pixavella
