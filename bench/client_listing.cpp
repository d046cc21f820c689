// Listing the whole library: ImmichClient::searchAssets (100 pages of 1000, decoded into
// records) against a bare QNetworkAccessManager loop fetching the same pages undecoded, side by
// side in one run; and the resident memory each decoded asset costs while the list is held.
//
// Prints "listing_vs_plain_http = <ratio>" and "bytes_per_asset = <n>"; details go to stderr.

#include "ImmichClient.h"
#include "ImmichDoubleProcess.h"
#include "Measures.h"
#include "PlainHttpPages.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QSemaphore>

#include <algorithm>
#include <cstdio>
#include <limits>

using namespace pixavella;

namespace {

constexpr int kAssets = 100'000;
constexpr int kPages = kAssets / 1000;
const QString kKey = QStringLiteral("demo-api-key");

Result<QList<ImmichAsset>> listAll(const ImmichClient& client)
{
    QSemaphore done;
    std::optional<Result<QList<ImmichAsset>>> result;
    client.searchAssets([&](Result<QList<ImmichAsset>> r) {
        result.emplace(std::move(r));
        done.release();
    });
    done.acquire();
    return std::move(*result);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("app.pixavella.*.debug=false"));
    testing::ImmichDoubleProcess server;
    if (!server.start({QStringLiteral("--seed"), QString::number(kAssets)})) {
        std::fprintf(stderr, "immich-double did not start\n");
        return 0;
    }
    const ImmichClient client(server.url(), kKey);

    // Memory first, before any other listing has grown the heap: the session's thread and pool
    // are warmed up by one small call.
    {
        QSemaphore warm;
        client.fetchCurrentUserId([&](Result<QString>) { warm.release(); });
        warm.acquire();
    }
    const qint64 before = bench::residentBytes();
    qint64 held = 0;
    double bytesPerAsset = 0;
    {
        const Result<QList<ImmichAsset>> assets = listAll(client);
        if (assets.ok()) {
            held = assets.value().size();
            bytesPerAsset =
                double(bench::residentBytes() - before) / double(std::max<qint64>(1, held));
        }
    }
    if (held != kAssets)
        std::fprintf(stderr, "the listing gave %lld assets\n", static_cast<long long>(held));

    QNetworkAccessManager nam;
    double bestPlain = std::numeric_limits<double>::max();
    double bestClient = std::numeric_limits<double>::max();
    for (int round = 0; round < 3; ++round) {
        const bench::PlainPages plain = bench::fetchPlainPages(nam, server.url(), kKey, kPages);

        QElapsedTimer timer;
        timer.start();
        const Result<QList<ImmichAsset>> assets = listAll(client);
        const double decoded = double(timer.nsecsElapsed()) / 1e6;

        bestPlain = std::min(bestPlain, plain.ms);
        bestClient = std::min(bestClient, decoded);
        std::fprintf(stderr, "round %d: plain %.1f ms (%lld bytes), client %.1f ms (%lld assets)\n",
                     round + 1, plain.ms, static_cast<long long>(plain.bytes), decoded,
                     static_cast<long long>(assets.ok() ? assets.value().size() : -1));
    }

    std::printf("listing_vs_plain_http = %.3f\n", bestClient / bestPlain);
    std::printf("bytes_per_asset = %.0f\n", bytesPerAsset);
    bench::printLoadAverage();
    return 0;
}
