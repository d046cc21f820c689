// Enumerating "Mes photos" over a library of 100 000 assets spread over fifteen years.
//
// cold_vs_plain_http: the cold listing of "photos" (every search page fetched and decoded, the
//   dedup index gathered, year folders built; the index is written afterwards) divided by
//   fetching the same pages with a bare QNetworkAccessManager loop, measured side by side in
//   one run (best of three each).
// warm_vs_cold: the slowest of three listings served from the fetch cache ("photos", one
//   year, and that year's largest month; best of three each) divided by the cold listing.
// bytes_per_asset: growth of resident memory across the first listing and the writing of its
//   index, per asset held.
//
// Prints the three figures on stdout, details on stderr; always exits 0.

#include "Clock.h"
#include "DriveStores.h"
#include "FileProviderEnumerator.h"
#include "HttpSession.h"
#include "ImmichClient.h"
#include "ImmichDoubleProcess.h"
#include "LibraryCalendar.h"
#include "Measures.h"
#include "PlainHttpPages.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "UploadQuarantine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <limits>

#include <sys/resource.h>

using namespace pixavella;

namespace {

// The process's stores, built once as the daemon builds its own.
DriveStores& driveStores()
{
    static DriveStores owned(SettingsSuite::shared(), HttpSession::shared(),
                             UploadQuarantine::shared());
    return owned;
}

// What the daemon hands to the extension.
ExtensionStores processStores()
{
    return driveStores().stores;
}

constexpr int kAssets = 100'000;
constexpr int kYears = 15;
const QString kKey = QStringLiteral("demo-api-key");

// Adds the library through the double's control endpoint, two calls at a time: its own --seed
// spreads over fewer years.
bool seed(quint16 port)
{
    const QDateTime newest = QDateTime(QDate(2025, 6, 30), QTime(12, 0), Qt::UTC);
    const qint64 spanSecs = qint64(kYears) * 365 * 24 * 3600;
    std::atomic<int> failures{0};
    const auto worker = [&](int first, int step) {
        httplib::Client client("127.0.0.1", port);
        // One connection per call: on a kept-alive one, each small answer of the double waits
        // out the delayed acknowledgement.
        client.set_keep_alive(false);
        for (int i = first; i < kAssets; i += step) {
            const QDateTime at = newest.addSecs(-spanSecs * i / kAssets - (i * 7919) % 3600);
            const QJsonObject asset{
                {QStringLiteral("originalFileName"),
                 QStringLiteral("IMG_%1.jpg").arg(i, 6, 10, QLatin1Char('0'))},
                {QStringLiteral("base64"),
                 QString::fromLatin1(
                     QByteArray("bytes of asset " + QByteArray::number(i)).toBase64())},
                {QStringLiteral("fileCreatedAt"), at.toString(Qt::ISODateWithMs)}};
            const QByteArray body = QJsonDocument(asset).toJson(QJsonDocument::Compact);
            const auto result = client.Post("/_double/assets", body.constData(),
                                            size_t(body.size()), "application/json");
            if (!result || result->status != 200)
                failures.fetch_add(1);
        }
    };
    QThread* a = QThread::create(worker, 0, 2);
    QThread* b = QThread::create(worker, 1, 2);
    a->start();
    b->start();
    a->wait();
    b->wait();
    delete a;
    delete b;
    return failures.load() == 0;
}

// Processor time this process has used, in milliseconds: the share of the work that is ours,
// whatever else the machine is doing.
double cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) { return double(t.tv_sec) * 1e3 + t.tv_usec / 1e3; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct Timed {
    double ms = 0;
    qsizetype items = -1;
};

// One item enumeration of `container`, waited for on this thread.
Timed enumerate(const QString& container)
{
    struct Observer final : FileProviderEnumerationObserver {
        QSemaphore done;
        qsizetype items = 0;
        bool failed = false;
        void didEnumerateItems(const QList<FileProviderItemRef>& list) override
        {
            items += list.size();
        }
        void finishEnumeratingUpToPage(const std::optional<FileProviderPage>&) override
        {
            done.release();
        }
        void finishEnumeratingWithError(const Error&) override
        {
            failed = true;
            done.release();
        }
    };
    auto observer = std::make_shared<Observer>();
    QElapsedTimer timer;
    timer.start();
    FileProviderEnumerator(container, processStores()).enumerateItems(observer, {});
    observer->done.acquire();
    return Timed{double(timer.nsecsElapsed()) / 1e6, observer->failed ? -1 : observer->items};
}

// The month holding the most assets, as a month key.
std::optional<MonthKey> largestMonth()
{
    const std::optional<QList<ImmichAsset>> assets =
        driveStores().cache.fetch<QList<ImmichAsset>>(FetchCache::kAllAssets);
    if (!assets)
        return std::nullopt;
    QHash<QString, int> counts;
    std::optional<MonthKey> best;
    int bestCount = 0;
    for (const ImmichAsset& asset : *assets) {
        const std::optional<MonthKey> key = monthKey(asset);
        if (!key)
            continue;
        const int n = ++counts[key->year + u'-' + key->month];
        if (n > bestCount) {
            bestCount = n;
            best = key;
        }
    }
    return best;
}

} // namespace

int main(int argc, char** argv)
{
    // The run signs in: its settings, secret and caches stay in a folder of its own, never
    // in the user's container or keyring.
    QTemporaryDir home;
    for (const char* variable :
         {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString path = home.filePath(QString::fromLatin1(variable));
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv(variable, QFile::encodeName(path));
    }
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("app.pixavella.*.debug=false\n"
                                                    "app.pixavella.fileprovider.info=false"));
    testing::ImmichDoubleProcess server;
    if (!server.start()) {
        std::fprintf(stderr, "immich-double did not start\n");
        return 0;
    }
    QElapsedTimer seeding;
    seeding.start();
    if (!seed(server.port()))
        std::fprintf(stderr, "some assets could not be added\n");
    std::fprintf(stderr, "seeded %d assets in %.1f s\n", kAssets,
                 double(seeding.elapsed()) / 1000.0);
    server.reset();
    SharedSettings::setServerURL(server.url().toString());
    // A names service that knows no names: listings refresh from it as they would from the
    // real one, instead of asking again on every listing as they do while it fails.
    httplib::Server names;
    names.Get("/names", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("{}", "application/json");
    });
    const int namesPort = names.bind_to_any_port("127.0.0.1");
    QThread* namesThread = QThread::create([&names] { names.listen_after_bind(); });
    namesThread->start();
    SharedSettings::setNamesServiceURL(QStringLiteral("http://127.0.0.1:%1").arg(namesPort));
    SharedSettings::setApiKey(kKey);
    // Time stands still, so every warm listing finds the cache as the cold one left it.
    ManualClock clock(QDateTime::currentDateTimeUtc());

    // Warms the HTTP session and the settings stores with a listing that needs no asset.
    enumerate(QStringLiteral("albums"));

    const qint64 before = bench::residentBytes();
    const Timed first = enumerate(QStringLiteral("photos"));
    // The index of the listing is written after it: counted in memory, kept out of the
    // next measurement.
    driveStores().dedup.waitForBackgroundStores();
    const double bytesPerAsset = double(bench::residentBytes() - before) / double(kAssets);
    std::fprintf(stderr, "first cold listing: %.1f ms, %lld items, resident %lld MiB\n", first.ms,
                 static_cast<long long>(first.items),
                 static_cast<long long>(bench::residentBytes() >> 20));

    QNetworkAccessManager nam;
    const int pages = (kAssets + 999) / 1000;
    double bestPlain = std::numeric_limits<double>::max();
    double bestCold = first.ms;
    for (int round = 0; round < 3; ++round) {
        const double plainCpu = cpuMs();
        const double plain = bench::fetchPlainPages(nam, server.url(), kKey, pages).ms;
        const double coldCpu = cpuMs();
        driveStores().cache.invalidate({FetchCache::kAllAssets});
        const Timed cold = enumerate(QStringLiteral("photos"));
        driveStores().dedup.waitForBackgroundStores();
        const double doneCpu = cpuMs();
        bestPlain = std::min(bestPlain, plain);
        bestCold = std::min(bestCold, cold.ms);
        std::fprintf(stderr,
                     "round %d: plain %.1f ms (cpu %.0f ms), cold listing %.1f ms (cpu %.0f ms)\n",
                     round + 1, plain, coldCpu - plainCpu, cold.ms, doneCpu - coldCpu);
    }

    const std::optional<MonthKey> month = largestMonth();
    QStringList warmContainers{QStringLiteral("photos")};
    if (month) {
        warmContainers.append(QStringLiteral("year:") + month->year);
        warmContainers.append(QStringLiteral("month:") + month->year + u'-' + month->month);
    }
    double slowestWarm = 0;
    for (const QString& container : warmContainers) {
        double best = std::numeric_limits<double>::max();
        qsizetype items = 0;
        for (int round = 0; round < 3; ++round) {
            const Timed warm = enumerate(container);
            best = std::min(best, warm.ms);
            items = warm.items;
        }
        std::fprintf(stderr, "warm %s: %.2f ms, %lld items\n", qPrintable(container), best,
                     static_cast<long long>(items));
        slowestWarm = std::max(slowestWarm, best);
    }

    names.stop();
    namesThread->wait();
    delete namesThread;

    std::printf("cold_vs_plain_http = %.3f\n", bestCold / bestPlain);
    std::printf("warm_vs_cold = %.4f\n", slowestWarm / bestCold);
    std::printf("bytes_per_asset = %.0f\n", bytesPerAsset);
    bench::printLoadAverage();
    return 0;
}
