// Dropping photos into the drive against copying them into a local folder, in one run:
//
// cp_vs_local: `cp` of 200 photos of 5 MiB into the drive (each one safe in the upload
//   quarantine when cp returns) divided by `cp` of the same files into a local folder on the
//   same disk; the better of two copies each way, taken in turn, the source files already in
//   the page cache.
// ms_per_photo_above_local: what the drive adds to the copy of one photo.
// cpu_vs_local: processor time of cp and the drive daemon for the drive's copy against cp's for
//   the local one: the cost itself, less swayed than wall time by other work on the machine.
//
// Figures on stdout as `name = value`, details on stderr; always exits 0.

#include "DriveHarness.h"
#include "UploadQuarantine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <deque>
#include <limits>
#include <sys/resource.h>
#include <unistd.h>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

constexpr int kPhotos = 200;
constexpr qsizetype kPhotoSize = 5 * 1024 * 1024;

void detail(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// Processor seconds of the finished child processes (cp and its shell).
double childrenCpu()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Processor seconds of a running process, from /proc.
double processCpu(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold spaces: utime and stime are the 12th and
    // 13th of them.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) /
           double(::sysconf(_SC_CLK_TCK));
}

struct Copy {
    double wall = std::numeric_limits<double>::infinity();
    double cpu = std::numeric_limits<double>::infinity();
};

// `cp` of every file of `from` into `to`; infinite figures when it fails. `daemon`, when
// given, is a process whose processor time counts with cp's.
Copy timeCopy(const QString& from, const QString& to, qint64 daemon = 0)
{
    const double cpuBefore = childrenCpu() + (daemon ? processCpu(daemon) : 0);
    QElapsedTimer timer;
    timer.start();
    const ToolRun run = runTool(QStringLiteral("sh"),
                                {QStringLiteral("-c"), QStringLiteral("cp \"$1\"/* \"$2\"/"),
                                 QStringLiteral("sh"), from, to},
                                900'000);
    const double wall = timer.nsecsElapsed() / 1e9;
    const double cpu = childrenCpu() + (daemon ? processCpu(daemon) : 0) - cpuBefore;
    if (run.exitCode != 0) {
        detail(QStringLiteral("cp into %1 failed: %2").arg(to, QString::fromUtf8(run.err)));
        return {};
    }
    return {wall, cpu};
}

Copy better(const Copy& a, const Copy& b)
{
    return {std::min(a.wall, b.wall), std::min(a.cpu, b.cpu)};
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    isolateFrom(home.path());
    QCoreApplication app(argc, argv);

    QTemporaryDir work;
    const QString photos = work.filePath(QStringLiteral("photos"));
    QDir().mkpath(photos);
    QByteArray bytes(kPhotoSize, Qt::Uninitialized);
    for (int i = 0; i < kPhotos; ++i) {
        QRandomGenerator(quint32(i))
            .fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        bytes.replace(0, 3, "\xff\xd8\xff");
        QFile file(photos + QStringLiteral("/IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            detail(QStringLiteral("cannot write the photos"));
            return 0;
        }
    }

    DriveHarness drive;
    if (!drive.startServer()) {
        detail(QStringLiteral("the Immich double did not start"));
        return 0;
    }
    drive.signIn();
    if (const Result<void> mounted = drive.mount(); !mounted) {
        detail(QStringLiteral("no mount: ") + mounted.error().description);
        return 0;
    }

    // Local and drive copies in turn, so that neither side has the cooler disk cache or the
    // quieter moment; the drive's second copy goes to the root, which files photos the same way.
    Copy local, mount;
    std::deque<QTemporaryDir> folders;
    const auto localCopy = [&] {
        folders.emplace_back(work.filePath(QStringLiteral("local-XXXXXX")));
        local = better(local, timeCopy(photos, folders.back().path()));
    };
    localCopy();
    mount = timeCopy(photos, drive.path(QStringLiteral("Mes photos")), drive.daemonPid());
    localCopy();
    mount = better(mount, timeCopy(photos, drive.path(QString()), drive.daemonPid()));
    localCopy();
    detail(
        QStringLiteral("cp of %1 photos, best of two or three: local %2 s (cpu %3 s), drive %4 s "
                       "(cpu %5 s), %6 entries in the quarantine")
            .arg(kPhotos)
            .arg(local.wall)
            .arg(local.cpu)
            .arg(mount.wall)
            .arg(mount.cpu)
            .arg(UploadQuarantine::shared().list().size()));
    std::printf("cp_vs_local = %.3f\n", mount.wall / local.wall);
    std::printf("ms_per_photo_above_local = %.2f\n", (mount.wall - local.wall) * 1000 / kPhotos);
    std::printf("cpu_vs_local = %.3f\n", mount.cpu / local.cpu);
    drive.stop();
    return 0;
}
