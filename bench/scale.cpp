// The drive over a library of 100,000 assets (the double's --seed), in one run: what it costs
// the server while nobody looks, and how soon another client's change shows.
//
// full_listing_s, full_listing_kib: the whole library's first listing (POST search/metadata,
//   every page), from the first `ls` of "Mes photos" to its answer, and its bytes at the server.
// idle_requests_per_min, idle_server_kib_per_min: /api requests the drive made and bytes the
//   server answered them with, over kIdle with the drive mounted, nothing open and the event
//   channel up, before any month was shown (a month shown has its thumbnails seeded, a cost of
//   looking, not of idling). The channel's pings travel on its own connection, not counted.
// change_visible_ms: another client uploads a photo (POST /api/assets with curl) into a month
//   the drive showed; milliseconds from the upload's start until `ls` of that month shows it.
//   trash_visible_ms: the same for its trash (DELETE /api/assets) until `ls` no longer shows it.
// delta_vs_full_bytes: server bytes of the change listings after 10 new assets, over the bytes
//   of the whole listing.
// change_visible_ms_polling: change_visible_ms with the event channel refused (the double
//   answers its path 404 and cuts the connection), the upload made a second after: the drive's
//   first poll comes about a poll interval later, near the longest wait.
// walk_100k_s: `find` over the whole drive. passerelle_rss_mib: the daemon's resident memory
//   (VmRSS) after it; walk_100k_rss_mib: its peak (VmHWM) up to then. Measured last: every
//   month the walk lists has its thumbnails seeded for minutes after.
// idle_requests_per_min_before, idle_server_kib_per_min_before: the idle measure again, over
//   kIdleBefore, with the daemon started with PIXAVELLA_FULL_REFRESH=1: no events, the whole
//   library listed every 15 s, as before change listings.
//
// Figures on stdout as `name = value`, details on stderr; always exits 0. `--walk` measures only
// the whole listing and the walk (a quick look at the daemon's memory).

#include "DriveHarness.h"
#include "Measures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <chrono>
#include <cmath>

using namespace pixavella;
using namespace pixavella::bench;
using namespace pixavella::testing;
using namespace std::chrono_literals;

namespace {

constexpr int kAssets = 100'000;
constexpr int kChanges = 10;
constexpr auto kIdle = 3min;
constexpr auto kIdleBefore = 3min;
// What changes started has ended by then.
constexpr auto kSettle = 5s;
constexpr int kEventDeadlineMs = 20'000;
constexpr int kPollDeadlineMs = 60'000;
constexpr int kLookEveryMs = 50;
// Inside the seeded six years (back from mid-2025), about 1400 photos a month.
const QString kMonth = QStringLiteral("Mes photos/2024/Novembre");
const QString kMonthDate = QStringLiteral("2024-11-20T10:00:00.000Z");
constexpr double kKiB = 1024;
constexpr double kMiB = 1024 * 1024;

double minutes(std::chrono::seconds span)
{
    return double(span.count()) / 60;
}

void pause(std::chrono::seconds span)
{
    QThread::msleep(unsigned(std::chrono::milliseconds(span).count()));
}

struct Traffic {
    qint64 requests = 0;
    qint64 bytes = 0;
    Traffic operator-(const Traffic& other) const
    {
        return {requests - other.requests, bytes - other.bytes};
    }
};

Traffic traffic(DriveHarness& drive, const QString& path = {})
{
    const QJsonObject counted =
        drive.server().control("GET", QStringLiteral("/_double/traffic?path=") + path).object();
    return {counted[u"requests"].toInteger(), counted[u"answerBytes"].toInteger()};
}

int channelConnections(DriveHarness& drive)
{
    return drive.server().control("GET", QStringLiteral("/_double/events"))[u"connections"].toInt();
}

// Waits up to `ms` for `done`, looking every kLookEveryMs; the milliseconds it took from
// `timer`'s start, or nan.
template <typename Done> double waitFor(const QElapsedTimer& timer, int ms, Done done)
{
    while (timer.elapsed() < ms) {
        if (done())
            return double(timer.nsecsElapsed()) / 1e6;
        QThread::msleep(kLookEveryMs);
    }
    return std::nan("");
}

qint64 statusKiB(qint64 pid, const char* field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    return 0;
}

class Scale {
public:
    bool start()
    {
        QElapsedTimer seeded;
        seeded.start();
        if (!m_drive.startServer({QStringLiteral("--seed"), QString::number(kAssets)})) {
            detail(QStringLiteral("the Immich double did not start"));
            return false;
        }
        detail(QStringLiteral("double seeded with %1 assets in %2 s")
                   .arg(kAssets)
                   .arg(double(seeded.elapsed()) / 1000));
        return true;
    }

    // Mounts and lists the library whole; false when it could not.
    bool mount(bool report)
    {
        m_drive.signIn();
        if (const Result<void> mounted = m_drive.mount(); !mounted) {
            detail(QStringLiteral("no mount: ") + mounted.error().description);
            return false;
        }
        const Traffic before = traffic(m_drive, QStringLiteral("/api/search/metadata"));
        QElapsedTimer timer;
        timer.start();
        // A folder never shown is given up after a while; the listing goes on, so look again.
        const double listed = waitFor(timer, 300'000, [this] {
            return m_drive
                       .run(QStringLiteral("ls"), {m_drive.path(QStringLiteral("Mes photos"))},
                            300'000)
                       .exitCode == 0;
        });
        if (std::isnan(listed)) {
            detail(QStringLiteral("\"Mes photos\" was never listed"));
            return false;
        }
        m_full = traffic(m_drive, QStringLiteral("/api/search/metadata")) - before;
        if (report) {
            detail(QStringLiteral("whole listing: %1 requests, %2 KiB")
                       .arg(m_full.requests)
                       .arg(double(m_full.bytes) / kKiB));
            figure("full_listing_s", listed / 1000, 2);
            figure("full_listing_kib", double(m_full.bytes) / kKiB, 0);
            detail(QStringLiteral("daemon resident memory once listed: %1 MiB")
                       .arg(double(statusKiB(m_drive.daemonPid(), "VmRSS:")) / 1024));
        }
        return true;
    }

    void walk()
    {
        const qint64 pid = m_drive.daemonPid();
        const Traffic thumbnails = traffic(m_drive, QStringLiteral("/api/assets/"));
        QElapsedTimer timer;
        timer.start();
        const ToolRun found = m_drive.run(QStringLiteral("find"), {m_drive.path()}, 600'000);
        const double seconds = double(timer.nsecsElapsed()) / 1e9;
        detail(QStringLiteral("find: exit %1, %2 entries")
                   .arg(found.exitCode)
                   .arg(found.out.count('\n')));
        figure("walk_100k_s", found.exitCode == 0 ? seconds : std::nan(""), 2);
        const qint64 rss = statusKiB(pid, "VmRSS:");
        const qint64 peak = statusKiB(pid, "VmHWM:");
        figure("passerelle_rss_mib", rss ? double(rss) * 1024 / kMiB : std::nan(""), 1);
        figure("walk_100k_rss_mib", peak ? double(peak) * 1024 / kMiB : std::nan(""), 1);
        // Every month listed has its thumbnails seeded in the background.
        pause(10s);
        detail(QStringLiteral("asset requests (thumbnails) in the 10 s after the walk: %1; the "
                              "daemon's resident memory then: %2 MiB")
                   .arg((traffic(m_drive, QStringLiteral("/api/assets/")) - thumbnails).requests)
                   .arg(double(statusKiB(pid, "VmRSS:")) / 1024));
    }

    bool awaitChannel(int connections)
    {
        QElapsedTimer timer;
        timer.start();
        const bool reached = !std::isnan(waitFor(
            timer, kEventDeadlineMs, [&] { return channelConnections(m_drive) == connections; }));
        if (!reached)
            detail(QStringLiteral("the event channel never had %1 connections").arg(connections));
        return reached;
    }

    // Requests and KiB a minute over `span`, after what was under way has ended.
    void idle(std::chrono::seconds span, const char* requestsName, const char* kibName)
    {
        quiet();
        const QStringList kinds{QStringLiteral("/api/search/metadata"),
                                QStringLiteral("/api/albums"), QStringLiteral("/api/assets"),
                                QStringLiteral("/api/socket.io")};
        QList<Traffic> before;
        for (const QString& kind : kinds)
            before.append(traffic(m_drive, kind));
        const Traffic all = traffic(m_drive);
        pause(span);
        const Traffic spent = traffic(m_drive) - all;
        QStringList parts;
        for (qsizetype i = 0; i < kinds.size(); ++i) {
            const Traffic kind = traffic(m_drive, kinds[i]) - before[i];
            parts.append(QStringLiteral("%1 %2").arg(kind.requests).arg(kinds[i]));
        }
        detail(QStringLiteral("idle over %1 min: %2 requests (%3), %4 KiB")
                   .arg(minutes(span))
                   .arg(spent.requests)
                   .arg(parts.join(QStringLiteral(", ")))
                   .arg(double(spent.bytes) / kKiB));
        figure(requestsName, double(spent.requests) / minutes(span), 2);
        figure(kibName, double(spent.bytes) / kKiB / minutes(span), 2);
    }

    // Waits until the drive has asked nothing for two seconds (a listing's thumbnails seeded).
    void quiet()
    {
        QElapsedTimer timer;
        timer.start();
        qint64 last = traffic(m_drive).requests;
        QElapsedTimer still;
        still.start();
        while (timer.elapsed() < 180'000 && still.elapsed() < 2'000) {
            QThread::msleep(250);
            const qint64 now = traffic(m_drive).requests;
            if (now != last)
                still.restart();
            last = now;
        }
    }

    // The first look at kMonth, as a user opening it before the changes.
    void showMonth()
    {
        const Traffic before = traffic(m_drive, QStringLiteral("/api/assets/"));
        detail(QStringLiteral("%1: %2 entries").arg(kMonth).arg(m_drive.ls(kMonth).size()));
        quiet();
        detail(QStringLiteral("its thumbnails: %1 requests")
                   .arg((traffic(m_drive, QStringLiteral("/api/assets/")) - before).requests));
    }

    // Another client's upload into kMonth, and the time until `ls` shows it.
    double uploadSeen(const QString& name, int deadlineMs)
    {
        QElapsedTimer timer;
        timer.start();
        m_lastId = upload(name);
        if (m_lastId.isEmpty()) {
            detail(QStringLiteral("the upload of %1 failed").arg(name));
            return std::nan("");
        }
        return waitFor(timer, deadlineMs, [&] { return m_drive.ls(kMonth).contains(name); });
    }

    // Another client's trash of the last upload, and the time until `ls` no longer shows it.
    double trashSeen(const QString& name, int deadlineMs)
    {
        QElapsedTimer timer;
        timer.start();
        m_drive.api(QStringLiteral("DELETE"), QStringLiteral("/api/assets"),
                    {{QStringLiteral("ids"), QJsonArray{m_lastId}}});
        return waitFor(timer, deadlineMs, [&] { return !m_drive.ls(kMonth).contains(name); });
    }

    void changeBytes()
    {
        quiet();
        const Traffic before = traffic(m_drive, QStringLiteral("/api/search/metadata"));
        QStringList names;
        for (int i = 0; i < kChanges; ++i) {
            names.append(QStringLiteral("lot-%1.jpg").arg(i, 2, 10, QLatin1Char('0')));
            m_drive.addAsset(kMe, names.last(), kMonthDate, randomBytes(4096));
        }
        QElapsedTimer timer;
        timer.start();
        const double seen = waitFor(timer, kEventDeadlineMs, [&] {
            const QStringList shown = m_drive.ls(kMonth);
            return std::all_of(names.begin(), names.end(),
                               [&](const QString& name) { return shown.contains(name); });
        });
        pause(kSettle);
        const Traffic delta = traffic(m_drive, QStringLiteral("/api/search/metadata")) - before;
        detail(QStringLiteral("%1 changes seen after %2 ms; their change listings: %3 requests, "
                              "%4 bytes")
                   .arg(kChanges)
                   .arg(seen)
                   .arg(delta.requests)
                   .arg(delta.bytes));
        figure("delta_vs_full_bytes",
               m_full.bytes > 0 ? double(delta.bytes) / double(m_full.bytes) : std::nan(""), 5);
    }

    void refuseChannel()
    {
        m_drive.server().control(
            "POST", QStringLiteral("/_double/events"),
            QJsonDocument(QJsonObject{{QStringLiteral("channel"), QStringLiteral("404")}}));
        m_drive.server().control("POST", QStringLiteral("/_double/events/drop"),
                                 QJsonDocument(QJsonObject{}));
    }

    void stop() { m_drive.stop(); }

private:
    static QByteArray randomBytes(qsizetype size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
        return bytes;
    }

    // Multipart, as any uploader sends it; the new asset's id.
    QString upload(const QString& name)
    {
        const QString file = m_local.filePath(name);
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly) || out.write(randomBytes(40'000)) != 40'000)
            return {};
        out.close();
        const ToolRun run = m_drive.run(
            QStringLiteral("curl"),
            {QStringLiteral("-sf"), QStringLiteral("-H"), QStringLiteral("x-api-key: ") + kMyKey,
             QStringLiteral("-F"), QStringLiteral("assetData=@") + file, QStringLiteral("-F"),
             QStringLiteral("deviceAssetId=") + name, QStringLiteral("-F"),
             QStringLiteral("deviceId=autre-client"), QStringLiteral("-F"),
             QStringLiteral("fileCreatedAt=") + kMonthDate, QStringLiteral("-F"),
             QStringLiteral("fileModifiedAt=") + kMonthDate,
             m_drive.server().url().toString() + QStringLiteral("/api/assets")});
        return QJsonDocument::fromJson(run.out)[u"id"].toString();
    }

    DriveHarness m_drive;
    QTemporaryDir m_local;
    Traffic m_full;
    QString m_lastId;
};

} // namespace

int main(int argc, char** argv)
{
    // Never the user's own settings, key, mount or caches.
    QTemporaryDir home;
    isolateFrom(home.path());
    qunsetenv("PIXAVELLA_FULL_REFRESH");
    QCoreApplication app(argc, argv);
    QElapsedTimer total;
    total.start();

    // `--walk`: only the whole listing and the walk, for a quick look at the daemon's memory.
    const bool walkOnly = QCoreApplication::arguments().contains(QStringLiteral("--walk"));
    Scale scale;
    if (!scale.start() || !scale.mount(true))
        return 0;
    if (walkOnly) {
        scale.walk();
        scale.stop();
        return 0;
    }
    if (scale.awaitChannel(1)) {
        // Before any month is shown: listing one seeds its thumbnails, which is no idle cost.
        scale.idle(kIdle, "idle_requests_per_min", "idle_server_kib_per_min");
        scale.showMonth();
        figure("change_visible_ms",
               scale.uploadSeen(QStringLiteral("autre-client.jpg"), kEventDeadlineMs), 0);
        figure("trash_visible_ms",
               scale.trashSeen(QStringLiteral("autre-client.jpg"), kEventDeadlineMs), 0);
        scale.changeBytes();
    }
    scale.refuseChannel();
    if (scale.awaitChannel(0)) {
        pause(1s);
        figure("change_visible_ms_polling",
               scale.uploadSeen(QStringLiteral("sans-canal.jpg"), kPollDeadlineMs), 0);
    }
    // Last: every month it lists has its thumbnails seeded for minutes.
    scale.walk();
    scale.stop();

    // The daemon reads the switch at its start.
    qputenv("PIXAVELLA_FULL_REFRESH", "1");
    if (scale.mount(false))
        scale.idle(kIdleBefore, "idle_requests_per_min_before", "idle_server_kib_per_min_before");
    scale.stop();
    printLoadAverage();
    detail(QStringLiteral("whole run: %1 s").arg(double(total.elapsed()) / 1000));
    return 0;
}
