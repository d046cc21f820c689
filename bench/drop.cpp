// Dropping photos into the drive against copying them into a local folder, in one run:
//
// cp_vs_local: `cp` of 200 photos of 5 MiB into "Mes photos" through the mount (each one safe in
//   the upload quarantine when cp returns) divided by `cp` of the same files into a local folder
//   on the same disk (the better of two local copies, the source files already in the page
//   cache).
//
// The figure on stdout as `name = value`, details on stderr; always exits 0.

#include "DriveHarness.h"
#include "UploadQuarantine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <limits>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

constexpr int kPhotos = 200;
constexpr qsizetype kPhotoSize = 5 * 1024 * 1024;

void detail(const QString& text)
{
    std::fprintf(stderr, "%s\n", qPrintable(text));
}

// Seconds taken by `cp` of every file of `from` into `to`; infinity when it fails.
double timeCopy(const QString& from, const QString& to)
{
    QElapsedTimer timer;
    timer.start();
    const ToolRun run = runTool(QStringLiteral("sh"),
                                {QStringLiteral("-c"), QStringLiteral("cp \"$1\"/* \"$2\"/"),
                                 QStringLiteral("sh"), from, to},
                                900'000);
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (run.exitCode != 0) {
        detail(QStringLiteral("cp into %1 failed: %2").arg(to, QString::fromUtf8(run.err)));
        return std::numeric_limits<double>::infinity();
    }
    return seconds;
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

    // Local copies first and last, so that neither side has the cooler disk cache.
    QTemporaryDir first(work.filePath(QStringLiteral("local-XXXXXX")));
    double local = timeCopy(photos, first.path());
    const double mount = timeCopy(photos, drive.path(QStringLiteral("Mes photos")));
    QTemporaryDir second(work.filePath(QStringLiteral("local-XXXXXX")));
    local = std::min(local, timeCopy(photos, second.path()));
    detail(QStringLiteral("cp of %1 photos: local %2 s, mount %3 s, %4 entries in the quarantine")
               .arg(kPhotos)
               .arg(local)
               .arg(mount)
               .arg(UploadQuarantine::shared().list().size()));
    std::printf("cp_vs_local = %.3f\n", mount / local);
    drive.stop();
    return 0;
}
