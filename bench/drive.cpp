// The drive through the mount against libfuse's own passthrough_hp and plain tools on local
// files, in one run:
//
// ls_vs_passthrough: warm `ls -l` of a month of 1000 photos through the mount divided by `ls -l`
//   of a local folder of 1000 files through passthrough_hp mounted over it; ls_vs_local: the
//   same against `ls -l` of the local folder itself (each sample five `ls -l` in one shell, so
//   that starting the shell weighs less in 15 ms; best of 25 each, taken in turn). Each `ls -l`
//   runs inside its folder, so that every side stats its entries through paths as deep.
// read_vs_passthrough: throughput of a warm `cat` of a materialised 512 MiB original through the
//   mount divided by that of the same cached file through passthrough_hp mounted over its
//   folder; read_vs_direct: divided by `cat` of the cached file itself (best of nine each,
//   taken in turn, each after its side's cache was filled anew from an emptied page cache
//   when run as root). Both FUSE sides are read from the kernel's cache of their file. The
//   mount's is held in 4 KiB pages where the cached file has large folios; how scattered those
//   pages lie in memory moves read_vs_direct (0.5 to 0.85 on one machine), as it does for a
//   tmpfs file. Direct I/O measured twice as slow (a request and a copy per 1 MiB) and makes
//   shared mappings of the file fail with ENODEV.
// first_open_vs_curl: the first `cat` of a 100 MiB original through the mount divided by
//   `curl` of the same original from the server (best of three files each).
// originals_downloaded_by_listing: originals the server sent while a 1000-photo month was
//   listed with `gio list` and its thumbnails were seeded.
// ls_during_fsync_ms: the longest `ls -l` of that month, in milliseconds, taken again and again
//   while another program writes a 1 GiB photo into "Mes photos", asking for it on the disk
//   (fsync) every 64 MiB and at the end; ls_without_writer_ms: the longest of as many with no
//   writer. A listing that waited for the writer's disk would show here.
// completeness_check_us_per_photo_jpeg, _mp4: the drive's check that a dropped file is whole,
//   in microseconds per file, for a 5 MiB photo and a 50 MiB movie already in the page cache;
//   completeness_check_us_per_photo: the larger of the two. completeness_check_bytes_read_mp4:
//   what one check of the movie read (the process's rchar), which should not grow with the file.
// ls_slow_server_ms: the longest `ls` of the listed month while the server takes 30 s to answer
//   anything and the drive refreshes every folder it showed (the drive answers such a folder as
//   it was after 4 s); ls_slow_server_unlisted_ms: `ls` of a month never listed, which the
//   drive gives up after 20 s (ETIMEDOUT).
// ghost_entries_after_moves: entries listed that the server does not hold, summed over `ls` of
//   every folder each of 50 moves touched (between albums, out of albums, into the month),
//   100 ms after the move.
//
// file_manager_originals_downloaded: originals the server sent while a program named as GNOME
//   Files opened a month of 1000 photos never listed before, as the file manager does: it lists
//   the month, then for each entry looks for its thumbnail in the freedesktop cache and reads
//   the photo when there is none. cold_month_open_ms: from the start of that listing to every
//   thumbnail in the cache. The double's thumbnails are made beforehand, as the server's job
//   makes them at upload.
//
// Figures on stdout as `name = value`, details on stderr; always exits 0. `--only NAME` measures
// one figure (ls, read, first_open, fsync, completeness, ghosts, slow_server or file_manager;
// the listing's figure comes with ls). `--write-synced FILE HEAD SIZE` is the writer of
// ls_during_fsync; `--file-manager FOLDER` the file manager of cold_month_open.

#include "ContainerPaths.h"
#include "DriveHarness.h"
#include "FileProviderItemProtocol.h"
#include "FreedesktopThumbnail.h"
#include "LibraryMirror.h"
#include "Measures.h"
#include "MediaCompleteness.h"
#include "PassthroughMount.h"
#include "PhotoFiles.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace pixavella;
using namespace pixavella::bench;
using namespace pixavella::testing;

namespace {

constexpr int kMonthPhotos = 1000;
constexpr qint64 kMiB = 1024 * 1024;
constexpr qint64 kBigSize = 512 * kMiB;
constexpr qint64 kOriginalSize = 100 * kMiB;
constexpr int kOriginals = 3;
constexpr int kUnlistedPhotos = 20;
constexpr qint64 kSyncedSize = 1024 * kMiB;
constexpr qint64 kSyncEvery = 64 * kMiB;
constexpr qint64 kWriteBlock = 4 * kMiB;
const QDateTime kSyncedTaken(QDate(2022, 3, 15), QTime(9, 30), Qt::UTC);
constexpr qint64 kCheckedPhotoSize = 5 * kMiB;
constexpr qint64 kCheckedMovieSize = 50 * kMiB;
constexpr int kCheckRounds = 5000;
constexpr int kSlowAnswerMs = 30'000;
constexpr int kSlowLooks = 3;
constexpr int kThumbnailsAwaitedMs = 60'000;

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

    constexpr int kListingsPerSample = 5;
    // From inside the folder: ls stats each entry by a path through its argument, and the
    // month lies three folders deeper under the mount than the anchor's folder under its own.
    const QString ls = QStringLiteral("cd \"$1\" && for i in 1 2 3 4 5; do ls -l >/dev/null; done");
    const auto lsOf = [&](const QString& folder) {
        return [&ls, folder](int) {
            Timed timed = timeShell(ls, {folder});
            timed.wall /= kListingsPerSample;
            timed.processor /= kListingsPerSample;
            return timed;
        };
    };
    PassthroughMount hp(QStringLiteral("passthrough_hp"), {}, local, local + QStringLiteral("-hp"));
    sayWhyNoPassthrough(hp.error());
    QList<std::function<Timed(int)>> sides{lsOf(month), lsOf(local)};
    if (hp.error().isEmpty())
        sides.append(lsOf(hp.path()));
    const QList<Best> best = bestInTurn(25, sides);
    const double anchor = hp.error().isEmpty() ? best[2].wall : std::nan("");
    detail(QStringLiteral("ls -l: mount %1 s, passthrough_hp %2 s, local %3 s")
               .arg(best[0].wall)
               .arg(anchor)
               .arg(best[1].wall));
    figure("ls_vs_passthrough", best[0].wall / anchor);
    figure("ls_vs_local", best[0].wall / best[1].wall);
}

void measureReading(const QString& big, const QString& work)
{
    const QString cat = QStringLiteral("cat \"$1\" >/dev/null");
    const double materialise = timeShell(cat, {big}).wall;
    const QFileInfo cached(largestFileUnder(ContainerPaths::domainCache()));
    detail(QStringLiteral("materialised in %1 s as %2").arg(materialise).arg(cached.filePath()));
    // passthrough_hp keeps the kernel's cache of its files, as the drive does for a
    // materialised one: both are read warm, after a first read that fills that cache.
    PassthroughMount hp(QStringLiteral("passthrough_hp"), {}, cached.absolutePath(),
                        work + QStringLiteral("/cache-hp"));
    sayWhyNoPassthrough(hp.error());
    // Where pages of a cache land in memory moves its reading speed by a third: each sample
    // fills its side's cache anew from an emptied page cache (as root), so that no side keeps
    // the luck or bad luck of one filling through all its samples.
    const bool refill = dropPageCache();
    if (!refill)
        detail(QStringLiteral("the page cache is not dropped between reads (not root): each side "
                              "is read from the cache its first read filled"));
    const auto catOf = [&](const QString& file) {
        if (!refill)
            timeShell(cat, {file});
        return [&cat, file, refill](int round) {
            if (refill) {
                dropPageCache();
                timeShell(cat, {file});
            }
            const Timed read = timeShell(cat, {file});
            detail(QStringLiteral("round %1, %2: %3 MiB/s, processor %4 ms")
                       .arg(round + 1)
                       .arg(file)
                       .arg(512 / read.wall)
                       .arg(read.processor * 1000));
            return read;
        };
    };
    QList<std::function<Timed(int)>> sides{catOf(big), catOf(cached.filePath())};
    if (hp.error().isEmpty())
        sides.append(catOf(hp.path(cached.fileName())));
    // The processor time of each side is the steadier figure on a loaded machine.
    const QList<Best> best = bestInTurn(9, sides);
    const Best anchor = hp.error().isEmpty() ? best[2] : Best{std::nan(""), std::nan("")};
    detail(QStringLiteral("512 MiB: mount %1 MiB/s (%2 ms of processor), passthrough_hp %3 MiB/s "
                          "(%4 ms), direct %5 MiB/s (%6 ms)")
               .arg(512 / best[0].wall)
               .arg(best[0].processor * 1000)
               .arg(512 / anchor.wall)
               .arg(anchor.processor * 1000)
               .arg(512 / best[1].wall)
               .arg(best[1].processor * 1000));
    figure("read_vs_passthrough", anchor.wall / best[0].wall);
    figure("read_vs_direct", best[1].wall / best[0].wall);
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
                                        {kMyKey, url})
                                  .wall);
        firstOpen = std::min(firstOpen, timeShell(cat, {folder + u'/' + name}).wall);
    }
    detail(QStringLiteral("100 MiB original: first cat %1 s, curl %2 s").arg(firstOpen).arg(curl));
    figure("first_open_vs_curl", firstOpen / curl);
}

// The other program of ls_during_fsync: `size` bytes to `target`, the photo `head` first and
// an end-of-image marker last, in blocks, each kSyncEvery asked onto the disk and all of it
// once more before closing, as a camera import or a video export writes. Prints its times.
int writeSynced(const char* target, const char* head, qint64 size)
{
    QFile headFile(QString::fromLocal8Bit(head));
    const QByteArray photo = headFile.open(QIODevice::ReadOnly) ? headFile.readAll() : QByteArray();
    const QByteArray end("\xFF\xD9", 2);
    if (photo.isEmpty() || size < photo.size() + end.size() + kWriteBlock) {
        std::fprintf(stderr, "writer: no photo head in %s\n", head);
        return 1;
    }
    const int fd = ::open(target, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "writer: %s: %s\n", target, std::strerror(errno));
        return 1;
    }
    std::vector<char> block(static_cast<size_t>(kWriteBlock));
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
    std::copy(photo.cbegin(), photo.cend(), block.begin());
    const auto writeAll = [fd](const char* data, size_t length) {
        while (length > 0) {
            const ssize_t n = ::write(fd, data, length);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            data += n;
            length -= size_t(n);
        }
        return true;
    };
    QElapsedTimer timer;
    timer.start();
    qint64 syncing = 0;
    qint64 longestSync = 0;
    const auto sync = [fd, &timer, &syncing, &longestSync] {
        const qint64 from = timer.nsecsElapsed();
        const bool synced = ::fsync(fd) == 0;
        const qint64 took = timer.nsecsElapsed() - from;
        syncing += took;
        longestSync = std::max(longestSync, took);
        return synced;
    };
    int syncs = 0;
    const qint64 body = size - end.size();
    for (qint64 at = 0; at < body;) {
        const qint64 n = std::min<qint64>(kWriteBlock, body - at);
        if (!writeAll(block.data(), size_t(n))) {
            std::fprintf(stderr, "writer: writing %s: %s\n", target, std::strerror(errno));
            return 1;
        }
        at += n;
        // The head goes once; the next blocks are the image's data.
        std::fill_n(block.begin(), photo.size(), char(0x5A));
        if (at % kSyncEvery == 0 && at < body) {
            if (!sync()) {
                std::fprintf(stderr, "writer: fsync: %s\n", std::strerror(errno));
                return 1;
            }
            ++syncs;
        }
    }
    if (!writeAll(end.constData(), size_t(end.size())) || !sync()) {
        std::fprintf(stderr, "writer: ending %s: %s\n", target, std::strerror(errno));
        return 1;
    }
    const qint64 written = timer.nsecsElapsed();
    const int closed = ::close(fd);
    // A listing that waited for the disk would wait up to the longest fsync.
    std::printf("%d MiB written in %.2f s (%.2f s of them in %d fsyncs, the longest %.1f ms), "
                "closed in %.2f s%s\n",
                int(size / kMiB), double(written) / 1e9, double(syncing) / 1e9, syncs + 1,
                double(longestSync) / 1e6, double(timer.nsecsElapsed() - written) / 1e9,
                closed == 0 ? "" : " (close failed)");
    return closed == 0 ? 0 : 1;
}

void measureListingDuringFsync(const QString& month, const QString& target, const QString& work)
{
    const QString ls = QStringLiteral("ls -l \"$1\" >/dev/null");
    const auto unmeasured = [](const QString& why) {
        detail(why);
        figure("ls_during_fsync_ms", std::nan(""), 1);
        figure("ls_without_writer_ms", std::nan(""), 1);
    };
    QString error;
    const QByteArray head = datedJpeg(kSyncedTaken, error);
    QFile headFile(work + QStringLiteral("/synced-head.jpg"));
    if (head.isEmpty() || !headFile.open(QIODevice::WriteOnly) || headFile.write(head) < 0)
        return unmeasured(QStringLiteral("no photo head: ") + error + headFile.errorString());
    headFile.close();
    // Listed and in the kernel's caches before the writer starts, as a folder someone looks at.
    timeShell(ls, {month});

    QProcess writer;
    writer.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    writer.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--write-synced"), target, headFile.fileName(),
                  QString::number(kSyncedSize)});
    if (!writer.waitForStarted())
        return unmeasured(QStringLiteral("the writer did not start: ") + writer.errorString());
    QList<double> during;
    while (writer.state() != QProcess::NotRunning && !writer.waitForFinished(0))
        during.append(timeShell(ls, {month}).wall);
    detail(QStringLiteral("writer: ") +
           QString::fromLocal8Bit(writer.readAllStandardOutput().trimmed()));
    if (writer.exitStatus() != QProcess::NormalExit || writer.exitCode() != 0 || during.isEmpty())
        return unmeasured(QStringLiteral("the writer failed"));

    QList<double> alone;
    while (alone.size() < std::max<qsizetype>(during.size(), 20))
        alone.append(timeShell(ls, {month}).wall);
    std::sort(during.begin(), during.end());
    std::sort(alone.begin(), alone.end());
    detail(QStringLiteral("ls -l during the writer: %1 runs, median %2 ms; alone: %3 runs, median "
                          "%4 ms")
               .arg(during.size())
               .arg(during[during.size() / 2] * 1000)
               .arg(alone.size())
               .arg(alone[alone.size() / 2] * 1000));
    figure("ls_during_fsync_ms", during.last() * 1000, 1);
    figure("ls_without_writer_ms", alone.last() * 1000, 1);
}

// Bytes this process has read with read(2) and its kin so far; -1 when /proc does not say.
qint64 bytesReadSoFar()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

struct CheckCost {
    double microseconds = std::nan("");
    double bytesRead = std::nan("");
};

CheckCost completenessCost(const QString& path)
{
    QElapsedTimer timer;
    timer.start();
    // The first check after the file was written, whose bytes are in the page cache.
    bool whole = MediaCompleteness::isComplete(path);
    const double first = double(timer.nsecsElapsed()) / 1e3;
    const qint64 before = bytesReadSoFar();
    timer.restart();
    for (int i = 0; i < kCheckRounds; ++i)
        whole = MediaCompleteness::isComplete(path) && whole;
    CheckCost cost;
    cost.microseconds = double(timer.nsecsElapsed()) / 1e3 / kCheckRounds;
    const qint64 after = bytesReadSoFar();
    if (before >= 0 && after >= before)
        cost.bytesRead = double(after - before) / kCheckRounds;
    detail(QStringLiteral("%1: %2, first check %3 us, then %4 us and %5 bytes read per check")
               .arg(QFileInfo(path).fileName(),
                    whole ? QStringLiteral("whole") : QStringLiteral("NOT WHOLE"))
               .arg(first, 0, 'f', 1)
               .arg(cost.microseconds, 0, 'f', 2)
               .arg(cost.bytesRead));
    if (!whole)
        return {};
    return cost;
}

void measureCompleteness(const QString& work)
{
    const QString photo = work + QStringLiteral("/checked.jpg");
    const QString movie = work + QStringLiteral("/checked.mp4");
    const QString error = writeWholePhoto(photo, kCheckedPhotoSize, kSyncedTaken, 11) +
                          writeMovie(movie, kCheckedMovieSize, 12);
    if (!error.isEmpty())
        detail(QStringLiteral("cannot write the checked files: ") + error);
    const CheckCost jpeg = error.isEmpty() ? completenessCost(photo) : CheckCost{};
    const CheckCost mp4 = error.isEmpty() ? completenessCost(movie) : CheckCost{};
    figure("completeness_check_us_per_photo_jpeg", jpeg.microseconds, 2);
    figure("completeness_check_us_per_photo_mp4", mp4.microseconds, 2);
    figure("completeness_check_us_per_photo",
           std::isnan(jpeg.microseconds) || std::isnan(mp4.microseconds)
               ? std::nan("")
               : std::max(jpeg.microseconds, mp4.microseconds),
           2);
    figure("completeness_check_bytes_read_mp4", mp4.bytesRead, 0);
    QFile::remove(photo);
    QFile::remove(movie);
}

struct Look {
    double ms = 0;
    ToolRun run;
};

Look timedLs(const QString& folder)
{
    QElapsedTimer timer;
    timer.start();
    Look look;
    look.run = runTool(QStringLiteral("ls"), {folder}, 2 * kSlowAnswerMs);
    look.ms = double(timer.nsecsElapsed()) / 1e6;
    return look;
}

QString outcome(const Look& look)
{
    return look.run.exitCode == 0 ? QStringLiteral("listed")
                                  : QStringLiteral("exit %1: %2")
                                        .arg(look.run.exitCode)
                                        .arg(QString::fromLocal8Bit(look.run.err.trimmed()));
}

void measureSlowServer(DriveHarness& drive, const QString& listed, const QString& unlisted)
{
    // Listed, with every folder on the way in the kernel's caches, which keep names a minute:
    // the looks below come within it.
    if (const Look first = timedLs(listed); first.run.exitCode != 0)
        detail(QStringLiteral("%1 did not list: %2").arg(listed, outcome(first)));
    // A first look at a folder takes what the drive learned from the server a moment ago
    // without asking again; past that moment it asks.
    QThread::msleep(qint64(LibraryMirror::kLifetime * 1000) + 1000);
    drive.server().setLatency(kSlowAnswerMs);

    const Look never = timedLs(unlisted);
    detail(QStringLiteral("slow server, month never listed: %1 ms, %2")
               .arg(never.ms, 0, 'f', 0)
               .arg(outcome(never)));

    // Every folder shown is refreshed, as after a change on the server.
    if (const Result<void> signalled = drive.signal(FileProviderContainer::workingSet); !signalled)
        detail(QStringLiteral("no signal: ") + signalled.error().description);
    double longest = 0;
    for (int i = 0; i < kSlowLooks; ++i) {
        const Look look = timedLs(listed);
        detail(QStringLiteral("slow server, month listed before: %1 ms, %2")
                   .arg(look.ms, 0, 'f', 0)
                   .arg(outcome(look)));
        longest = std::max(
            longest, look.run.exitCode == 0 ? look.ms : std::numeric_limits<double>::infinity());
    }
    drive.server().setLatency(0);
    figure("ls_slow_server_ms", longest, 0);
    figure("ls_slow_server_unlisted_ms", never.ms, 0);
}

// The month of cold_month_open: kMonthPhotos photos of a camera's 4:3 shape, each with the noise
// of a real picture (its thumbnail costs what a photo's does), made distinct by the bytes after
// its end, dated by the file's time in July 2024.
bool writePictures(const QString& folder)
{
    QImage picture(1600, 1200, QImage::Format_RGB32);
    QRandomGenerator noise(42);
    for (int y = 0; y < picture.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x) {
            const int grain = int(noise.bounded(48)) - 24;
            line[x] = qRgb(qBound(0, x * 255 / 1600 + grain, 255),
                           qBound(0, y * 255 / 1200 + grain, 255), qBound(0, 128 + grain, 255));
        }
    }
    QByteArray jpeg;
    {
        QBuffer buffer(&jpeg);
        buffer.open(QIODevice::WriteOnly);
        if (!picture.save(&buffer, "JPEG", 85))
            return false;
    }
    QDir().mkpath(folder);
    const QDateTime first = QDateTime(QDate(2024, 7, 1), QTime(8, 0), Qt::UTC);
    for (int i = 0; i < kMonthPhotos; ++i) {
        QFile file(folder + QStringLiteral("/PXL_%1.jpg").arg(i, 4, 10, QLatin1Char('0')));
        const QByteArray tail = QByteArray::number(i).rightJustified(8, '0');
        if (!file.open(QIODevice::WriteOnly) || file.write(jpeg) != jpeg.size() ||
            file.write(tail) != tail.size() || !file.flush() ||
            !file.setFileTime(first.addSecs(i * 60), QFileDevice::FileModificationTime))
            return false;
    }
    return true;
}

// Whether the freedesktop cache holds a valid large thumbnail of `path`, as GIO looks it up.
bool hasThumbnail(const QString& thumbnails, const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return false;
    const QByteArray uri = FreedesktopThumbnail::fileUri(QFile::encodeName(path));
    return FreedesktopThumbnail::isValid(
        FreedesktopThumbnail::pathFor(thumbnails, QStringLiteral("large"), uri), uri, st.st_mtime);
}

// The file manager of cold_month_open, in a process of its own named as GNOME Files': lists
// `folder`, looks each photo's thumbnail up, reads the photo whose thumbnail is missing, then
// waits for every thumbnail. Prints "listed MS read COUNT all MS entries COUNT" (all: -1 when
// some never came).
int openAsFileManager(const char* folder)
{
    ::prctl(PR_SET_NAME, "nautilus", 0, 0, 0);
    const QString dir = QFileInfo(QString::fromLocal8Bit(folder)).absoluteFilePath();
    const QString thumbnails =
        qEnvironmentVariable("XDG_CACHE_HOME") + QStringLiteral("/thumbnails");
    QElapsedTimer timer;
    timer.start();
    const QStringList names = QDir(dir).entryList(QDir::Files, QDir::NoSort);
    const qint64 listed = timer.elapsed();
    int read = 0;
    std::vector<char> buffer(1 << 16);
    for (const QString& name : names) {
        const QString path = dir + u'/' + name;
        if (hasThumbnail(thumbnails, path))
            continue;
        // The desktop's thumbnailer would read the photo to draw one.
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            while (::read(fd, buffer.data(), buffer.size()) > 0) {
            }
            ::close(fd);
        }
        ++read;
    }
    qint64 all = -1;
    qsizetype present = 0;
    while (timer.elapsed() < kThumbnailsAwaitedMs) {
        while (present < names.size() && hasThumbnail(thumbnails, dir + u'/' + names[present]))
            ++present;
        if (present == names.size()) {
            all = timer.elapsed();
            break;
        }
        QThread::msleep(20);
    }
    std::printf("listed %lld read %d all %lld entries %d\n", static_cast<long long>(listed), read,
                static_cast<long long>(all), int(names.size()));
    return 0;
}

void measureFileManager(DriveHarness& drive, const QString& month, const QString& demoFolder)
{
    // The server's thumbnail job ran at upload: its thumbnails are made before anyone asks.
    const QHash<QString, QString> ids = drive.assetIdsByName();
    QTemporaryFile config;
    if (config.open()) {
        for (const QString& name : QDir(demoFolder).entryList(QDir::Files))
            config.write(QStringLiteral("url = \"%1/api/assets/%2/thumbnail?size=thumbnail\"\n"
                                        "output = /dev/null\n")
                             .arg(drive.server().url().toString(), ids.value(name))
                             .toUtf8());
        config.flush();
    }
    const Timed made = timeShell(QStringLiteral("curl -sf -H \"x-api-key: $1\" -K \"$2\""),
                                 {kMyKey, config.fileName()});
    detail(QStringLiteral("the double made the month's thumbnails in %1 s").arg(made.wall));

    const double daemonBefore = processorSeconds(drive.daemonPid());
    const int originalsBefore = drive.requestsEndingWith(QStringLiteral("/original"));
    const int thumbnailsBefore = drive.requestsEndingWith(QStringLiteral("/thumbnail"));
    QProcess manager;
    manager.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    manager.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--file-manager"), month});
    manager.waitForFinished(kThumbnailsAwaitedMs + 120'000);
    const QString out = QString::fromLatin1(manager.readAllStandardOutput()).trimmed();
    const QStringList words = out.split(u' ');
    detail(QStringLiteral("file manager: %1; the drive asked %2 thumbnails, with %3 s of processor")
               .arg(out)
               .arg(drive.requestsEndingWith(QStringLiteral("/thumbnail")) - thumbnailsBefore)
               .arg(processorSeconds(drive.daemonPid()) - daemonBefore));
    const bool ran = words.size() == 8 && words[0] == QLatin1String("listed");
    const double all = ran ? words[5].toDouble() : -1;
    figure("file_manager_originals_downloaded",
           ran ? drive.requestsEndingWith(QStringLiteral("/original")) - originalsBefore
               : std::nan(""),
           0);
    figure("cold_month_open_ms", all >= 0 ? all : std::nan(""), 0);

    // Opened again: every thumbnail is there, the listing only checks them.
    manager.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--file-manager"), month});
    manager.waitForFinished(kThumbnailsAwaitedMs + 120'000);
    detail(QStringLiteral("file manager again: ") +
           QString::fromLatin1(manager.readAllStandardOutput()).trimmed());
}

} // namespace

// ghost_entries_after_moves: 50 moves of photos between albums, out of albums to "Mes photos"
// and into their month; 100 ms after each, `ls` of every folder it touched, and every entry the
// server does not hold there is counted (a photo still shown in the album it left, shown at the
// root of "Mes photos", or shown twice).
void measureGhosts(DriveHarness& drive, const QString& month)
{
    // Listed first, as a user who has opened it: the new albums then come with the signal.
    drive.ls(QStringLiteral("Mes albums"));
    const QHash<QString, QString> ids = drive.assetIdsByName();
    QStringList photos;
    for (int i = 0; i < 50; ++i)
        photos << QStringLiteral("IMG_%1.jpg").arg(i, 4, 10, QLatin1Char('0'));
    QStringList inA;
    for (const QString& name : std::as_const(photos))
        inA << ids.value(name);
    const QString a = drive.addAlbum(kMe, QStringLiteral("Fantômes A"), inA);
    const QString b = drive.addAlbum(kMe, QStringLiteral("Fantômes B"), {});
    if (a.isEmpty() || b.isEmpty()) {
        figure("ghost_entries_after_moves", std::nan(""), 0);
        return;
    }
    (void)drive.signal(FileProviderContainer::workingSet);
    (void)drive.signal(QStringLiteral("albums"));
    const QString albumA = QStringLiteral("Mes albums/Fantômes A");
    const QString albumB = QStringLiteral("Mes albums/Fantômes B");
    QElapsedTimer shown;
    shown.start();
    while (drive.ls(albumA).size() < photos.size() && shown.elapsed() < 30'000) {
        QThread::msleep(100);
        drive.ls(QStringLiteral("Mes albums"));
    }
    QStringList monthNames = QDir(month).entryList(QDir::Files);
    const QSet<QString> monthHeld(monthNames.cbegin(), monthNames.cend());

    const QSet<QString> moved(photos.cbegin(), photos.cend());
    QHash<QString, int> ghostsByFolder;
    const auto ghostsIn = [&](const QString& folder) {
        const QStringList listed = drive.ls(folder);
        QStringList ghosts;
        if (folder == albumA || folder == albumB) {
            const QStringList held = drive.albumAssetNames(folder == albumA ? a : b);
            for (const QString& name : listed)
                if (!held.contains(name))
                    ghosts << name;
        } else if (folder == QStringLiteral("Mes photos")) {
            // No photo lives there; a drop waiting for its upload (another measure's) may.
            for (const QString& name : listed)
                if (moved.contains(name))
                    ghosts << name;
        } else {
            for (const QString& name : listed)
                if (!monthHeld.contains(name))
                    ghosts << name;
        }
        if (!ghosts.isEmpty() && ghostsByFolder.value(folder) == 0)
            detail(QStringLiteral("first ghosts in %1: %2").arg(folder, ghosts.mid(0, 3).join(", ")));
        ghostsByFolder[folder] += int(ghosts.size());
        return int(ghosts.size());
    };
    int ghosts = 0;
    int moves = 0;
    QStringList inB;
    for (int i = 0; i < 50; ++i) {
        QString from;
        QString to;
        QString name;
        if (i % 3 == 1 && !inB.isEmpty()) {
            name = inB.takeFirst();
            from = albumB;
            to = QStringLiteral("Mes photos");
        } else {
            name = photos.takeFirst();
            from = albumA;
            to = i % 3 == 0 ? albumB : QStringLiteral("Mes photos/2024/Mai");
            if (to == albumB)
                inB << name;
        }
        const ToolRun moved =
            drive.run(QStringLiteral("mv"), {drive.path(from + u'/' + name), drive.path(to + u'/')});
        if (moved.exitCode != 0) {
            detail(QStringLiteral("mv %1 → %2 failed: %3")
                       .arg(from + u'/' + name, to, QString::fromUtf8(moved.err)));
            continue;
        }
        ++moves;
        QThread::msleep(100);
        QSet<QString> touched{from, to, QStringLiteral("Mes photos"),
                              QStringLiteral("Mes photos/2024/Mai")};
        for (const QString& folder : std::as_const(touched))
            ghosts += ghostsIn(folder);
    }
    detail(QStringLiteral("%1 moves made").arg(moves));
    // A move never costs a photo: each of them is still in the library.
    int trashed = 0;
    for (const QString& id : std::as_const(inA))
        trashed += drive.api(QStringLiteral("GET"), QStringLiteral("/api/assets/") + id)
                       [QStringLiteral("isTrashed")]
                           .toBool();
    detail(QStringLiteral("photos the moves sent to the trash: %1").arg(trashed));
    for (auto it = ghostsByFolder.cbegin(); it != ghostsByFolder.cend(); ++it)
        detail(QStringLiteral("ghosts in %1: %2").arg(it.key()).arg(it.value()));
    figure("ghost_entries_after_moves", ghosts, 0);
}

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], "--write-synced") == 0)
        return writeSynced(argv[2], argv[3], std::atoll(argv[4]));
    if (argc == 3 && std::strcmp(argv[1], "--file-manager") == 0)
        return openAsFileManager(argv[2]);
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
    QDir().mkpath(demo + QStringLiteral("/avril"));
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
    const QDateTime april = QDateTime(QDate(2024, 4, 10), QTime(12, 0), Qt::UTC);
    for (int i = 0; i < kUnlistedPhotos; ++i) {
        if (!writeFile(demo + QStringLiteral("/avril/IMG_%1.jpg").arg(i), 4096, quint32(5000 + i),
                       april.addSecs(i))) {
            detail(QStringLiteral("cannot write the demo library"));
            return 0;
        }
    }
    const QString july = demo + QStringLiteral("/juillet");
    if (wanted(QStringLiteral("file_manager")) && !writePictures(july)) {
        detail(QStringLiteral("cannot write the demo library"));
        return 0;
    }
    if (wanted(QStringLiteral("completeness")))
        measureCompleteness(work.path());
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
    const QString april24 = drive.path(QStringLiteral("Mes photos/2024/Avril"));

    if (wanted(QStringLiteral("file_manager")))
        measureFileManager(drive, drive.path(QStringLiteral("Mes photos/2024/Juillet")), july);
    if (wanted(QStringLiteral("ls")))
        measureListing(drive, month, local);
    if (wanted(QStringLiteral("read")))
        measureReading(june23 + QStringLiteral("/big.mp4"), work.path());
    if (wanted(QStringLiteral("first_open")))
        measureFirstOpen(drive, june23);
    if (wanted(QStringLiteral("fsync")))
        measureListingDuringFsync(month, drive.path(QStringLiteral("Mes photos/IMG_SYNCED.jpg")),
                                  work.path());
    if (wanted(QStringLiteral("slow_server")))
        measureSlowServer(drive, month, april24);
    // Last: the albums and moves it makes leave folders to refresh, which a slow server would
    // make the measure above wait for.
    if (wanted(QStringLiteral("ghosts")))
        measureGhosts(drive, month);
    printLoadAverage();
    drive.stop();
    return 0;
}
