#include "CallingProgram.h"

#include <QFile>
#include <QFileInfo>

namespace pixavella {

namespace {

constexpr qsizetype kCommLength = 15;

QByteArray readSmall(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096);
}

// The thread group (process) of a thread id; the id itself when /proc does not say.
QString processOf(pid_t pid)
{
    const QString id = QString::number(pid);
    const QByteArray status = readSmall(QStringLiteral("/proc/") + id + QStringLiteral("/status"));
    for (const QByteArray& line : status.split('\n')) {
        if (line.startsWith("Tgid:"))
            return QString::fromLatin1(line.mid(5).trimmed());
    }
    return id;
}

} // namespace

CallingProgram CallingProgram::of(pid_t pid)
{
    CallingProgram program;
    if (pid <= 0)
        return program;
    const QString dir = QStringLiteral("/proc/") + processOf(pid) + u'/';
    program.executable = QFileInfo(QFile::symLinkTarget(dir + QStringLiteral("exe"))).fileName();
    // A replaced executable reads "name (deleted)".
    program.executable.remove(QStringLiteral(" (deleted)"));
    program.name = QString::fromUtf8(readSmall(dir + QStringLiteral("comm")).trimmed());
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
