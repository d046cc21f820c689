// Dropping photos into the drive against the same copies into libfuse's own passthrough
// filesystems and into a local folder, in one run:
//
// cp_vs_passthrough: `cp` of 200 photos of 5 MiB with Exif dates into "Mes photos" (each one
//   safe in the upload quarantine when cp returns) divided by the same `cp` into passthrough_hp
//   --nocache mounted over a local folder on the same disk: the floor of a FUSE file system.
// cpu_vs_passthrough: processor time of cp and the drive daemon against cp and passthrough_hp.
// small_drop_vs_passthrough: the same for 200 photos of 4-8 KiB against passthrough_ll, where
//   what counts is the cost of each file, not of its bytes; small_drop_ms_per_photo: the
//   drive's time per small photo; small_drop_syscalls_per_photo: the system calls the daemon
//   makes per small photo (strace -c -f, over a copy of 200 more, not timed).
// cp_vs_local, ms_per_photo_above_local, cpu_vs_local: against `cp` into the local folder itself,
//   for information: ext4 copies inside itself with copy_file_range, which no FUSE file system
//   is handed (into one, cp falls back to reading and writing).
// drop_rss_growth_mib: growth of the daemon's resident memory over 2000 small drops, after one
//   that sets up what the daemon sets up once.
//
// Every copy reads the photos of its round from the page cache into memory in the same state:
// before each one the page cache is dropped (as root; otherwise only the order and fresh files
// keep the sides even) and the round's photos read back. Each round has photos of its own, the
// sides take turns in an order that is reversed from one round to the next, and each side's
// best round is kept, wall and processor time alike.
//
// Without a journal (as on the disk here; Debian installs ext4 with one), ext4 makes a new inode
// only after it has looked at, and skipped, each inode of its group freed in the last five
// minutes, and the temporary folders of earlier work (earlier runs and benchmarks, the large
// copies) hold thousands there: a small photo, three new inodes in the drive against one in
// passthrough_ll, took 0.5-0.6 ms in a quiet group and up to 1 ms among them. There the small
// rounds start once five minutes have passed, and no side frees inodes while they run: the
// anchor keeps its earlier rounds, as the drive keeps its queue.
//
// Figures on stdout as `name = value`, details on stderr; always exits 0. `--only NAME` measures
// one kind of drop (large, small or memory).

#include "DriveHarness.h"
#include "Measures.h"
#include "PassthroughMount.h"
#include "PhotoFiles.h"
#include "UploadQuarantine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

using namespace pixavella;
using namespace pixavella::bench;
using namespace pixavella::testing;

namespace {

constexpr int kPhotos = 200;
constexpr qint64 kKiB = 1024;
constexpr PhotoSizes kLarge{5 * 1024 * kKiB, 5 * 1024 * kKiB};
constexpr PhotoSizes kSmall{4 * kKiB, 8 * kKiB};
constexpr int kLargeRounds = 3;
constexpr int kSmallRounds = 5;
constexpr int kMemoryDrops = 2000;
// How long ext4 without a journal keeps a freed inode out of use (while its table block is not
// written back; a minute once it is), and a little more.
constexpr int kFreedInodesInTheWaySeconds = 305;
const QDateTime kFirstTaken(QDate(2019, 1, 1), QTime(10, 0), Qt::UTC);

// One place the photos are copied to: a folder for each round, and the daemon serving it.
struct Side {
    std::function<QString(int round)> folder;
    qint64 daemon = 0;
};

// Round r copies the photos of sources[r] to every side, each copy from the page cache into
// memory in the same state; each side's best round.
QList<Best> copyInTurn(const QStringList& sources, const QList<Side>& sides)
{
    QList<std::function<Timed(int)>> copies;
    for (const Side& side : sides) {
        copies.append([&sources, side](int round) {
            const QString to = side.folder(round);
            QDir().mkpath(to);
            dropPageCache();
            readFolder(sources[round]);
            const Timed copy =
                timeShell(QStringLiteral("cp \"$1\"/* \"$2\"/"), {sources[round], to}, side.daemon);
            detail(QStringLiteral("round %1, %2: %3 s, processor %4 s")
                       .arg(round + 1)
                       .arg(to)
                       .arg(copy.wall)
                       .arg(copy.processor));
            return copy;
        });
    }
    return bestInTurn(int(sources.size()), copies);
}

// Folders `root`/round-N, the one of the round before removed first, so that the disk and the
// memory hold one round's copies at a time.
std::function<QString(int)> roundFolders(const QString& root)
{
    return [root](int round) {
        if (round > 0)
            QDir(root + QStringLiteral("/round-%1").arg(round - 1)).removeRecursively();
        return root + QStringLiteral("/round-%1").arg(round);
    };
}

// Folders `root`/round-N, all kept until the end.
std::function<QString(int)> keptRoundFolders(const QString& root)
{
    return [root](int round) { return root + QStringLiteral("/round-%1").arg(round); };
}

std::function<QString(int)> always(const QString& folder)
{
    return [folder](int) { return folder; };
}

// Photo sets `name`-0, `name`-1… in `work`, one for each round; empty when one could not be
// written.
QStringList writeRounds(const QString& work, const QString& name, int rounds, PhotoSizes sizes,
                        quint32 seed)
{
    QStringList folders;
    for (int r = 0; r < rounds; ++r) {
        folders.append(work + QStringLiteral("/%1-%2").arg(name).arg(r));
        const QString error =
            writePhotos(folders.last(), QStringLiteral("IMG_%1%2_").arg(name).arg(r), kPhotos,
                        sizes, kFirstTaken.addYears(r), seed + quint32(r));
        if (!error.isEmpty()) {
            detail(QStringLiteral("cannot write the photos: ") + error);
            return {};
        }
    }
    return folders;
}

double perPhoto(double seconds)
{
    return seconds * 1000 / kPhotos;
}

void measureLarge(const Side& mount, const QString& work)
{
    const QStringList sources = writeRounds(work, QStringLiteral("L"), kLargeRounds, kLarge, 0);
    if (sources.isEmpty())
        return;
    // The anchor writes into a folder beside the local one, on the same disk.
    PassthroughMount hp(QStringLiteral("passthrough_hp"), {QStringLiteral("--nocache")},
                        work + QStringLiteral("/hp-source"), work + QStringLiteral("/hp"));
    sayWhyNoPassthrough(hp.error());
    const bool anchored = hp.error().isEmpty();
    QList<Side> sides{mount, Side{roundFolders(work + QStringLiteral("/local"))}};
    if (anchored)
        sides.append(Side{roundFolders(hp.path()), hp.pid()});
    QList<Best> best = copyInTurn(sources, sides);
    if (!anchored)
        best.append({std::nan(""), std::nan("")});
    detail(QStringLiteral("cp of %1 photos of 5 MiB, best of %2: drive %3 s (processor %4 s), "
                          "local %5 s (%6 s), passthrough_hp %7 s (%8 s)")
               .arg(kPhotos)
               .arg(kLargeRounds)
               .arg(best[0].wall)
               .arg(best[0].processor)
               .arg(best[1].wall)
               .arg(best[1].processor)
               .arg(best[2].wall)
               .arg(best[2].processor));
    figure("cp_vs_passthrough", best[0].wall / best[2].wall);
    figure("cpu_vs_passthrough", best[0].processor / best[2].processor);
    figure("cp_vs_local", best[0].wall / best[1].wall);
    figure("ms_per_photo_above_local", perPhoto(best[0].wall - best[1].wall), 2);
    figure("cpu_vs_local", best[0].processor / best[1].processor);
}

// System calls the daemon makes per photo while `cp` drops 200 new small photos, counted by
// `strace -c -f` attached to all its threads; nan without strace.
double countSystemCalls(const Side& mount, const QString& work)
{
    const QStringList sources = writeRounds(work, QStringLiteral("T"), 1, kSmall, 900);
    if (sources.isEmpty())
        return std::nan("");
    const QString report = work + QStringLiteral("/strace.txt");
    const Timed counted = timeShell(
        QStringLiteral("command -v strace >/dev/null || exit 1; "
                       "strace -c -f -q -o \"$3\" -p \"$4\" & tracer=$!; sleep 1; "
                       "cp \"$1\"/* \"$2\"/; sleep 0.5; kill -INT $tracer; wait $tracer; "
                       "test -s \"$3\""),
        {sources.first(), mount.folder(0), report, QString::number(mount.daemon)});
    QFile file(report);
    if (counted.wall == std::numeric_limits<double>::infinity() ||
        !file.open(QIODevice::ReadOnly)) {
        detail(QStringLiteral("no system call count: strace did not run"));
        return std::nan("");
    }
    const QByteArray table = file.readAll();
    detail(QStringLiteral("strace -c -f of the daemon:\n") + QString::fromUtf8(table));
    // The last line of the table: "100.00  seconds  usecs/call  calls  errors  total".
    for (const QByteArray& line : table.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 5 && fields.last() == "total") {
            detail(QStringLiteral("strace -c -f of the daemon over %1 drops: %2")
                       .arg(kPhotos)
                       .arg(QString::fromUtf8(line.simplified())));
            return fields.value(3).toDouble() / kPhotos;
        }
    }
    detail(QStringLiteral("no system call count: strace printed no total"));
    return std::nan("");
}

void measureSmall(const Side& mount, const QString& work)
{
    const QStringList sources = writeRounds(work, QStringLiteral("S"), kSmallRounds, kSmall, 100);
    if (sources.isEmpty())
        return;
    PassthroughMount ll(QStringLiteral("passthrough_ll"), {}, work + QStringLiteral("/ll-source"),
                        work + QStringLiteral("/ll"));
    sayWhyNoPassthrough(ll.error());
    const bool anchored = ll.error().isEmpty();
    QList<Side> sides{mount};
    if (anchored)
        sides.append(Side{keptRoundFolders(ll.path()), ll.pid()});
    if (!reusesFreedInodesAtOnce(work)) {
        detail(QStringLiteral("ext4 without a journal: waiting %1 s, until no inode freed by "
                              "earlier work is in the way of either side's new files")
                   .arg(kFreedInodesInTheWaySeconds));
        ::sync();
        QThread::sleep(kFreedInodesInTheWaySeconds);
    }
    QList<Best> best = copyInTurn(sources, sides);
    if (!anchored)
        best.append({std::nan(""), std::nan("")});
    detail(QStringLiteral("cp of %1 photos of 4-8 KiB, best of %2: drive %3 ms per photo "
                          "(processor %4 ms), passthrough_ll %5 ms (%6 ms)")
               .arg(kPhotos)
               .arg(kSmallRounds)
               .arg(perPhoto(best[0].wall))
               .arg(perPhoto(best[0].processor))
               .arg(perPhoto(best[1].wall))
               .arg(perPhoto(best[1].processor)));
    figure("small_drop_vs_passthrough", best[0].wall / best[1].wall);
    figure("small_drop_ms_per_photo", perPhoto(best[0].wall), 2);
    figure("small_drop_syscalls_per_photo", countSystemCalls(mount, work), 1);
}

void measureMemory(const Side& mount, const QString& work)
{
    const QString photos = work + QStringLiteral("/M");
    if (const QString error = writePhotos(photos, QStringLiteral("IMG_M_"), kMemoryDrops + 1,
                                          kSmall, kFirstTaken.addYears(-10), 1000);
        !error.isEmpty()) {
        detail(QStringLiteral("cannot write the photos: ") + error);
        return;
    }
    // One drop first, so that what the daemon sets up once is there before the count starts.
    timeShell(QStringLiteral("cp \"$1\" \"$2\"/"),
              {photos + QStringLiteral("/IMG_M_0000.jpg"), mount.folder(0)});
    QFile::remove(photos + QStringLiteral("/IMG_M_0000.jpg"));
    const qint64 before = residentBytes(mount.daemon);
    timeShell(QStringLiteral("cp \"$1\"/* \"$2\"/"), {photos, mount.folder(0)});
    QThread::sleep(2);
    const qint64 after = residentBytes(mount.daemon);
    detail(QStringLiteral("daemon resident memory: %1 MiB before %2 drops, %3 MiB after; %4 "
                          "entries in the quarantine")
               .arg(double(before) / (1 << 20))
               .arg(kMemoryDrops)
               .arg(double(after) / (1 << 20))
               .arg(UploadQuarantine::shared().list().size()));
    figure("drop_rss_growth_mib",
           before && after ? double(after - before) / (1 << 20) : std::nan(""), 1);
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    isolateFrom(home.path());
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const qsizetype onlyAt = arguments.indexOf(QStringLiteral("--only"));
    const QString only = onlyAt >= 0 ? arguments.value(onlyAt + 1) : QString();
    const auto wanted = [&](const QString& name) { return only.isEmpty() || only == name; };

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
    if (!dropPageCache())
        detail(QStringLiteral("the page cache is not dropped between copies (not root): only "
                              "the order and fresh files keep the sides even"));

    QTemporaryDir work;
    const Side mount{always(drive.path(QStringLiteral("Mes photos"))), drive.daemonPid()};
    if (wanted(QStringLiteral("large")))
        measureLarge(mount, work.path());
    if (wanted(QStringLiteral("small")))
        measureSmall(mount, work.path());
    if (wanted(QStringLiteral("memory")))
        measureMemory(mount, work.path());
    printLoadAverage();
    drive.stop();
    return 0;
}
