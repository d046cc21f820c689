// Emptying the upload queue: the upload reconciler sending 200 files of 5 MiB to the Immich
// double against curl sending the same files with 4 transfers in parallel, side by side in
// one run (each against a fresh double, so neither meets the other's duplicates); and the
// growth of this process's resident memory while the reconciler uploads one 2 GiB file.
//
// Prints "upload_vs_curl = <ratio>" (reconciler throughput / curl throughput) and
// "upload_rss_growth_mib = <n>"; details go to stderr. Options: --files N, --size-mib N,
// --big-mib N. Runs in a private HOME and XDG folders under TMPDIR; exits 0 whatever the figures.

#include "AppStores.h"
#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "HttpSession.h"
#include "ImmichDoubleProcess.h"
#include "Measures.h"
#include "PedagogicalNoticeQueue.h"
#include "PlainHttpPages.h"
#include "PromotedPendingList.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"
#include "UploadReconciler.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstring>

#include <sys/resource.h>

using namespace pixavella;
using pixavella::bench::residentBytes;
using testing::ImmichDoubleProcess;

namespace {

// The process's stores, built once as the application's main builds its own; the drive's
// files are written through them.
AppStores& appStores()
{
    static AppStores owned(SettingsSuite::shared(), HttpSession::shared(),
                           UploadQuarantine::shared());
    return owned;
}

// What the uploads are handed.
UploadReconciler::Stores processStores()
{
    return appStores().forUploads();
}

const QString kKey = QStringLiteral("bench-upload-key");
constexpr qint64 kMiB = 1024 * 1024;

bool startDouble(ImmichDoubleProcess& server)
{
    if (!server.start(
            {QStringLiteral("--user"), QStringLiteral("bench@pixavella.local:pw:") + kKey}))
        return false;
    SharedSettings::setServerURL(server.url().toString());
    return true;
}

// `count` files of `size` bytes, distinct by their first bytes (the server matches SHA-1).
QStringList makeFiles(const QString& folder, int count, qint64 size)
{
    QByteArray block(size, Qt::Uninitialized);
    QRandomGenerator random(42);
    random.fillRange(reinterpret_cast<quint32*>(block.data()), size / 4);
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = folder + QStringLiteral("/IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0'));
        const QByteArray tag = QByteArray::number(i).leftJustified(16, ' ');
        std::memcpy(block.data(), tag.constData(), size_t(tag.size()));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(block) != size)
            return {};
        paths << path;
    }
    return paths;
}

bool enqueueAll(const QStringList& paths)
{
    for (const QString& path : paths) {
        if (!UploadQuarantine::shared().enqueue(path, QFileInfo(path).fileName(), std::nullopt,
                                                UploadQuarantine::Target::library(), std::nullopt))
            return false;
    }
    return true;
}

// CPU seconds (user and system) of this process, or of its children already waited for.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

struct ReconcilerRun {
    double seconds = 0;
    int uploaded = 0;
    qint64 peakGrowth = 0; // resident bytes above the level before the sweep
    double cpu = 0;        // this process's CPU seconds during the run
};

// One sweep of a fresh reconciler, until `count` entries finished. Memory growth is measured
// from `before`.
ReconcilerRun runReconciler(int count, qint64 before)
{
    appStores().journal.saveEvents({});
    UploadReconciler reconciler(processStores(), nullptr);
    ReconcilerRun run;
    int finished = 0;
    QEventLoop loop;
    QObject::connect(&reconciler, &UploadReconciler::entryFinished, &loop, [&] {
        if (++finished == count)
            loop.quit();
    });
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout,
                     [&] { run.peakGrowth = std::max(run.peakGrowth, residentBytes() - before); });
    sampler.start(50);
    QElapsedTimer clock;
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    clock.start();
    reconciler.sweep();
    if (finished < count)
        loop.exec();
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.cpu = cpuSeconds(RUSAGE_SELF) - cpuBefore;
    run.peakGrowth = std::max(run.peakGrowth, residentBytes() - before);
    QMutexLocker locker(&appStores().journal.lock());
    const QList<UploadJournal::Event> events = appStores().journal.loadEvents();
    run.uploaded = int(std::count_if(events.begin(), events.end(), [](const auto& event) {
        return event.outcome == UploadJournal::Outcome::uploaded;
    }));
    return run;
}

struct CurlRun {
    double seconds = 0;
    int created = 0; // answered 201
    double cpu = 0;  // curl's CPU seconds
};

// curl with 4 transfers at a time, one multipart POST per file.
CurlRun runCurl(const QUrl& server, const QStringList& paths, const QString& work)
{
    QFile config(work + QStringLiteral("/curl.conf"));
    if (!config.open(QIODevice::WriteOnly))
        return {};
    config.write("parallel\nparallel-max = 4\nsilent\n");
    int index = 0;
    for (const QString& path : paths) {
        if (index > 0)
            config.write("next\n");
        const QString name = QFileInfo(path).fileName();
        config.write(QStringLiteral("url = \"%1/api/assets\"\n"
                                    "header = \"x-api-key: %2\"\n"
                                    "header = \"Accept: application/json\"\n"
                                    "form = \"assetData=@%3;filename=%4\"\n"
                                    "form = \"deviceAssetId=curl-%5\"\n"
                                    "form = \"deviceId=bench\"\n"
                                    "form = \"fileCreatedAt=2024-05-01T10:00:00.000Z\"\n"
                                    "form = \"fileModifiedAt=2024-05-01T10:00:00.000Z\"\n"
                                    "output = \"/dev/null\"\n"
                                    "write-out = \"%{http_code}\\n\"\n")
                         .arg(server.toString(), kKey, path, name)
                         .arg(index)
                         .toUtf8());
        ++index;
    }
    config.close();
    QProcess curl;
    QElapsedTimer clock;
    const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
    clock.start();
    curl.start(QStringLiteral("curl"), {QStringLiteral("-K"), config.fileName()});
    if (!curl.waitForFinished(-1))
        return {};
    CurlRun run;
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
    run.created = int(curl.readAllStandardOutput().split('\n').count("201"));
    return run;
}

int intOption(const QStringList& args, const QString& name, int fallback)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}

} // namespace

int main(int argc, char** argv)
{
    // Everything the product writes goes to a private folder, never the user's own.
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/pixavella-bench-upload.XXXXXX"));
    if (!root.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 0;
    }
    for (const char* name :
         {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString folder = root.filePath(QString::fromLatin1(name).toLower());
        QDir().mkpath(folder);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(name, folder.toLocal8Bit());
    }
    qunsetenv("DBUS_SESSION_BUS_ADDRESS"); // the API key goes to the private container
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("app.pixavella.*.debug=false\n"
                                                    "app.pixavella.*.info=false\n"
                                                    "app.pixavella.secrets.warning=false"));
    const QStringList args = app.arguments();
    const int files = intOption(args, QStringLiteral("--files"), 200);
    const qint64 size = intOption(args, QStringLiteral("--size-mib"), 5) * kMiB;
    const qint64 big = intOption(args, QStringLiteral("--big-mib"), 2048) * kMiB;
    SharedSettings::setApiKey(kKey);

    const QString sources = root.filePath(QStringLiteral("sources"));
    QDir().mkpath(sources);
    const QStringList paths = makeFiles(sources, files, size);
    if (paths.size() != files) {
        std::fprintf(stderr, "could not write the files\n");
        return 0;
    }

    ReconcilerRun reconciled;
    {
        ImmichDoubleProcess server;
        if (!startDouble(server) || !enqueueAll(paths)) {
            std::fprintf(stderr, "immich-double did not start or the queue refused files\n");
            return 0;
        }
        reconciled = runReconciler(files, residentBytes());
        std::fprintf(stderr, "reconciler: %d of %d uploaded in %.2f s (%.1f MiB/s), %.2f s CPU\n",
                     reconciled.uploaded, files, reconciled.seconds,
                     double(files) * double(size) / kMiB / reconciled.seconds, reconciled.cpu);
    }
    const double doubleCpu = cpuSeconds(RUSAGE_CHILDREN);
    std::fprintf(stderr, "server during the reconciler's run: %.2f s CPU\n", doubleCpu);
    double ratio = 0;
    double curlCpu = 0;
    {
        ImmichDoubleProcess server;
        if (!server.start(
                {QStringLiteral("--user"), QStringLiteral("bench@pixavella.local:pw:") + kKey})) {
            std::fprintf(stderr, "second immich-double did not start\n");
            return 0;
        }
        const CurlRun curl = runCurl(server.url(), paths, root.path());
        std::fprintf(stderr, "curl: %d of %d uploaded in %.2f s (%.1f MiB/s), %.2f s CPU\n",
                     curl.created, files, curl.seconds,
                     double(files) * double(size) / kMiB / curl.seconds, curl.cpu);
        curlCpu = curl.cpu;
        if (reconciled.seconds > 0 && curl.seconds > 0 && curl.created > 0)
            ratio = (double(reconciled.uploaded) / reconciled.seconds) /
                    (double(curl.created) / curl.seconds);
    }
    std::fprintf(stderr, "server during curl's run: %.2f s CPU\n",
                 cpuSeconds(RUSAGE_CHILDREN) - doubleCpu - curlCpu);
    std::printf("upload_vs_curl = %.3f\n", ratio);
    std::fflush(stdout);
    QDir(sources).removeRecursively();

    double growthMiB = 0;
    {
        ImmichDoubleProcess server;
        const QString path = root.filePath(QStringLiteral("BIG_0001.MP4"));
        QFile file(path);
        // Sparse: the size without writing the bytes; the queue's copy and the upload read it
        // in full.
        if (!file.open(QIODevice::WriteOnly) || !file.resize(big)) {
            std::fprintf(stderr, "could not make the large file\n");
            return 0;
        }
        file.close();
        if (!startDouble(server) || !enqueueAll({path})) {
            std::fprintf(stderr, "immich-double did not start or the queue refused the file\n");
            return 0;
        }
        QFile::remove(path);
        // A failed attempt is swept again, as the timer would, up to three attempts.
        const qint64 before = residentBytes();
        for (int attempt = 1; attempt <= 3; ++attempt) {
            const ReconcilerRun run = runReconciler(1, before);
            growthMiB = std::max(growthMiB, double(run.peakGrowth) / kMiB);
            const QList<UploadQuarantine::Entry> left = UploadQuarantine::shared().list();
            std::fprintf(stderr, "large file, attempt %d: %lld MiB %s in %.1f s%s%s\n", attempt,
                         big / kMiB, left.isEmpty() ? "uploaded" : "not uploaded", run.seconds,
                         left.isEmpty() ? "" : ": ",
                         left.isEmpty() ? ""
                                        : qPrintable(left.first().lastError.value_or(QString())));
            if (left.isEmpty())
                break;
        }
        std::fprintf(stderr, "large file: resident growth %.1f MiB\n", growthMiB);
    }
    std::printf("upload_rss_growth_mib = %.1f\n", growthMiB);
    bench::printLoadAverage();
    return 0;
}
