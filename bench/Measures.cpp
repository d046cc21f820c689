#include "Measures.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <cmath>
#include <cstdio>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace pixavella::bench {

namespace {

double seconds(const timeval& t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// Processor seconds of the finished child processes, which count those they waited for.
double childrenSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

} // namespace

void detail(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

void figure(const char* name, double value, int decimals)
{
    if (std::isnan(value))
        std::printf("%s = nan\n", name);
    else
        std::printf("%s = %.*f\n", name, decimals, value);
    std::fflush(stdout);
}

void printLoadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    bool read = false;
    const double load = text.split(' ').first().toDouble(&read);
    figure("load_average", read ? load : std::nan(""), 2);
}

Timed timeShell(const QString& command, const QStringList& arguments, qint64 alsoCounted,
                int timeoutMs)
{
    const auto processor = [&] {
        return childrenSeconds() + (alsoCounted ? processorSeconds(alsoCounted) : 0);
    };
    const double before = processor();
    QElapsedTimer timer;
    timer.start();
    QProcess process;
    process.start(QStringLiteral("sh"),
                  QStringList{QStringLiteral("-c"), command, QStringLiteral("sh")} + arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    const double wall = double(timer.nsecsElapsed()) / 1e9;
    if (!finished) {
        process.kill();
        process.waitForFinished(5'000);
    }
    const double used = processor() - before;
    if (!finished || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        detail(QStringLiteral("failed: %1 %2: %3")
                   .arg(command, arguments.join(u' '),
                        finished ? QString::fromUtf8(process.readAllStandardError().trimmed())
                                 : QStringLiteral("timed out")));
        return {std::numeric_limits<double>::infinity(), used};
    }
    return {wall, used};
}

QList<Best> bestInTurn(int rounds, const QList<std::function<Timed(int round)>>& sides)
{
    QList<Best> best(sides.size());
    for (int round = 0; round < rounds; ++round) {
        for (qsizetype turn = 0; turn < sides.size(); ++turn) {
            const qsizetype side = round % 2 ? sides.size() - 1 - turn : turn;
            const Timed timed = sides[side](round);
            if (!std::isfinite(timed.wall))
                continue;
            best[side].wall = std::min(best[side].wall, timed.wall);
            best[side].processor = std::min(best[side].processor, timed.processor);
        }
    }
    return best;
}

double processorSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    // The fields after the command name, which may hold spaces: utime and stime are the 12th
    // and 13th of them.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return 0;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) /
           double(::sysconf(_SC_CLK_TCK));
}

qint64 residentBytes(qint64 pid)
{
    QFile status(pid ? QStringLiteral("/proc/%1/status").arg(pid)
                     : QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() * 1024;
    }
    return 0;
}

bool dropPageCache()
{
    ::sync();
    QFile drop(QStringLiteral("/proc/sys/vm/drop_caches"));
    // 1: the page cache only. 3 would also drop every cached name and inode, the drive's own
    // mount included, and time the disk reads that bring back the folders a copy goes through.
    return ::geteuid() == 0 && drop.open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
           drop.write("1\n") == 2;
}

bool reusesFreedInodesAtOnce(const QString& path)
{
    constexpr long kExt4Magic = 0xEF53;
    struct statfs fs {};
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    if (::statfs(native.constData(), &fs) != 0 || long(fs.f_type) != kExt4Magic ||
        ::stat(native.constData(), &st) != 0)
        return true;
    // jbd2 lists each journal it writes as DEVICE-INODE of the journal, 8 on ext4.
    QFile uevent(
        QStringLiteral("/sys/dev/block/%1:%2/uevent").arg(major(st.st_dev)).arg(minor(st.st_dev)));
    if (!uevent.open(QIODevice::ReadOnly))
        return true;
    for (const QByteArray& line : uevent.readAll().split('\n'))
        if (line.startsWith("DEVNAME="))
            return QFile::exists(
                QStringLiteral("/proc/fs/jbd2/%1-8").arg(QString::fromLocal8Bit(line.mid(8))));
    return true;
}

void readFolder(const QString& folder)
{
    timeShell(QStringLiteral("cat \"$1\"/* >/dev/null"), {folder});
}

} // namespace pixavella::bench
