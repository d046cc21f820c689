// The drive through the mount against plain tools on local files, in one run:
//
// ls_vs_local: warm `ls -l` of a month of 1000 photos through the mount divided by `ls -l` of
//   a local folder of 1000 files (best of seven each).
// read_vs_direct: throughput of `cat` of a materialised 512 MiB file through the mount divided
//   by `cat` of the cached file itself (best of three each, taken in turn). The mount's side
//   is read from the kernel's cache of the FUSE file, held in 4 KiB pages where the cached
//   file has large folios; how scattered those pages lie in memory moves the figure (0.5 to
//   0.85 on one machine), as it does for a tmpfs file. Direct I/O measured twice as slow (a
//   request and a copy per 1 MiB) and makes shared mappings of the file fail with ENODEV.
// first_open_vs_curl: the first `cat` of a 100 MiB original through the mount divided by
//   `curl` of the same original from the server (best of three files each).
// originals_downloaded_by_listing: originals the server sent while a 1000-photo month was
//   listed with `gio list` and its thumbnails were seeded.
//
// Figures on stdout as `name = value`, details on stderr; always exits 0. `--only NAME` measures
// one figure (ls, read or first_open; the listing's figure comes with ls).

#include "ContainerPaths.h"
#include "DriveHarness.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <limits>
#include <sys/resource.h>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

constexpr int kMonthPhotos = 1000;
constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kBigSize = 512 * kMiB;
constexpr qint64 kOriginalSize = 100 * kMiB;
constexpr int kOriginals = 3;

void detail(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

void figure(const char* name, double value)
{
    std::printf("%s = %.3f\n", name, value);
    std::fflush(stdout);
}

bool writeFile(const QString& path, qint64 size, quint32 seed, const QDateTime& when)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator generator(seed);
    QByteArray block(int(std::min<qint64>(size, kMiB)), Qt::Uninitialized);
    for (qint64 left = size; left > 0; left -= block.size()) {
        generator.fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        if (file.write(block.constData(), std::min<qint64>(left, block.size())) < 0)
            return false;
    }
    // Written out first, or closing would date the file now.
    return file.flush() && file.setFileTime(when, QFileDevice::FileModificationTime);
}

// Seconds taken by a shell command line; infinity when it fails.
double timeShell(const QString& command, const QStringList& arguments)
{
    QElapsedTimer timer;
    timer.start();
    const ToolRun run = runTool(
        QStringLiteral("sh"),
        QStringList{QStringLiteral("-c"), command, QStringLiteral("sh")} + arguments, 600'000);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (run.exitCode != 0) {
        detail(QStringLiteral("failed: %1 %2: %3")
                   .arg(command, arguments.join(u' '), QString::fromUtf8(run.err)));
        return std::numeric_limits<double>::infinity();
    }
    return seconds;
}

double bestOf(int runs, const std::function<double()>& measure)
{
    double best = std::numeric_limits<double>::infinity();
    for (int i = 0; i < runs; ++i)
        best = std::min(best, measure());
    return best;
}

QString largestFileUnder(const QString& folder)
{
    QString largest;
    qint64 size = -1;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileInfo().size() > size) {
            size = it.fileInfo().size();
            largest = it.filePath();
        }
    }
    return largest;
}

void measureListing(DriveHarness& drive, const QString& month, const QString& local)
{
    // Listing a month the way a file manager does, then waiting for its thumbnails.
    drive.server().reset();
    const ToolRun listed =
        runTool(QStringLiteral("gio"), {QStringLiteral("list"), QStringLiteral("-a"),
                                        QStringLiteral("standard::*,thumbnail::*"), month});
    detail(QStringLiteral("gio list: %1 entries").arg(listed.out.count('\n')));
    int thumbnails = -1;
    for (int stable = 0; stable < 10;) {
        QThread::msleep(300);
        const int now = drive.requestsEndingWith(QStringLiteral("/thumbnail"));
        stable = now == thumbnails || now >= kMonthPhotos ? stable + 1 : 0;
        thumbnails = now;
    }
    detail(QStringLiteral("thumbnails asked: %1").arg(thumbnails));
    figure("originals_downloaded_by_listing",
           drive.requestsEndingWith(QStringLiteral("/original")));

    const QString ls = QStringLiteral("ls -l \"$1\" >/dev/null");
    const double mountLs = bestOf(7, [&] { return timeShell(ls, {month}); });
    const double localLs = bestOf(7, [&] { return timeShell(ls, {local}); });
    detail(QStringLiteral("ls -l: mount %1 s, local %2 s").arg(mountLs).arg(localLs));
    figure("ls_vs_local", mountLs / localLs);
}

double childProcessorSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void measureReading(const QString& big)
{
    const QString cat = QStringLiteral("cat \"$1\" >/dev/null");
    const double materialise = timeShell(cat, {big});
    const QString cached = largestFileUnder(ContainerPaths::domainCache());
    detail(QStringLiteral("materialised in %1 s as %2").arg(materialise).arg(cached));
    // In turn, so that a change of the machine's load weighs on both sides alike. The
    // processor time of each side is the steadier figure on a loaded machine.
    double throughMount = std::numeric_limits<double>::infinity();
    double direct = throughMount;
    double mountCpu = throughMount;
    double directCpu = throughMount;
    for (int i = 0; i < 3; ++i) {
        double before = childProcessorSeconds();
        throughMount = std::min(throughMount, timeShell(cat, {big}));
        mountCpu = std::min(mountCpu, childProcessorSeconds() - before);
        before = childProcessorSeconds();
        direct = std::min(direct, timeShell(cat, {cached}));
        directCpu = std::min(directCpu, childProcessorSeconds() - before);
    }
    detail(QStringLiteral("512 MiB: mount %1 MiB/s (%2 ms of processor), direct %3 MiB/s (%4 ms)")
               .arg(512 / throughMount)
               .arg(mountCpu * 1000)
               .arg(512 / direct)
               .arg(directCpu * 1000));
    figure("read_vs_direct", direct / throughMount);
}

void measureFirstOpen(DriveHarness& drive, const QString& folder)
{
    const QString cat = QStringLiteral("cat \"$1\" >/dev/null");
    const QHash<QString, QString> ids = drive.assetIdsByName();
    double firstOpen = std::numeric_limits<double>::infinity();
    double curl = std::numeric_limits<double>::infinity();
    for (int i = 0; i < kOriginals; ++i) {
        const QString name = QStringLiteral("original-%1.mp4").arg(i);
        const QString url = drive.server().url().toString() + QStringLiteral("/api/assets/") +
                            ids.value(name) + QStringLiteral("/original");
        curl = std::min(curl, timeShell(QStringLiteral("curl -sf -H \"x-api-key: $1\" -o /dev/null "
                                                       "\"$2\""),
                                        {kMyKey, url}));
        firstOpen = std::min(firstOpen, timeShell(cat, {folder + u'/' + name}));
    }
    detail(QStringLiteral("100 MiB original: first cat %1 s, curl %2 s").arg(firstOpen).arg(curl));
    figure("first_open_vs_curl", firstOpen / curl);
}

} // namespace

int main(int argc, char** argv)
{
    // Never the user's own settings, key, mount or caches.
    QTemporaryDir home;
    isolateFrom(home.path());
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const qsizetype onlyAt = arguments.indexOf(QStringLiteral("--only"));
    const QString only = onlyAt >= 0 ? arguments.value(onlyAt + 1) : QString();
    const auto wanted = [&](const QString& name) { return only.isEmpty() || only == name; };

    QTemporaryDir work;
    const QString demo = work.filePath(QStringLiteral("demo"));
    const QString local = work.filePath(QStringLiteral("local"));
    QDir().mkpath(demo + QStringLiteral("/mai"));
    QDir().mkpath(local);
    const QDateTime may = QDateTime(QDate(2024, 5, 10), QTime(12, 0), Qt::UTC);
    for (int i = 0; i < kMonthPhotos; ++i) {
        const QString name = QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
        if (!writeFile(demo + QStringLiteral("/mai/") + name, 4096, quint32(i), may.addSecs(i)) ||
            !writeFile(local + u'/' + name, 4096, quint32(i), may.addSecs(i))) {
            detail(QStringLiteral("cannot write the demo library"));
            return 0;
        }
    }
    const QDateTime june = QDateTime(QDate(2023, 6, 1), QTime(12, 0), Qt::UTC);
    bool written = !wanted(QStringLiteral("read")) ||
                   writeFile(demo + QStringLiteral("/big.mp4"), kBigSize, 7, june);
    for (int i = 0; i < kOriginals && wanted(QStringLiteral("first_open")); ++i)
        written = written && writeFile(demo + QStringLiteral("/original-%1.mp4").arg(i),
                                       kOriginalSize, quint32(100 + i), june);
    if (!written) {
        detail(QStringLiteral("cannot write the large files"));
        return 0;
    }

    DriveHarness drive;
    if (!drive.startServer({QStringLiteral("--demo"), demo})) {
        detail(QStringLiteral("the Immich double did not start"));
        return 0;
    }
    drive.signIn();
    if (const Result<void> mounted = drive.mount(); !mounted) {
        detail(QStringLiteral("no mount: ") + mounted.error().description);
        return 0;
    }
    const QString month = drive.path(QStringLiteral("Mes photos/2024/Mai"));
    const QString june23 = drive.path(QStringLiteral("Mes photos/2023/Juin"));

    if (wanted(QStringLiteral("ls")))
        measureListing(drive, month, local);
    if (wanted(QStringLiteral("read")))
        measureReading(june23 + QStringLiteral("/big.mp4"));
    if (wanted(QStringLiteral("first_open")))
        measureFirstOpen(drive, june23);
    drive.stop();
    return 0;
}
