// drive-screenshot OUTPUT.png [REFUSED.png REMOVED.png]: the drive open in Nautilus under Xvfb
// on a month of the demo library, captured to OUTPUT.png; then, when asked, what Nautilus shows
// when its own copy of a text file into the month is refused, and once the drive is removed.
// The double's thumbnails are a fixed 1×1 image, so the drive talks to it through
// thumbnail-relay.py, which answers thumbnail requests with real 250 px renditions, as a real
// server makes them. Needs xvfb-run, dbus-run-session, nautilus, gdbus, import and python3.

#include "DriveHarness.h"
#include "SharedSettings.h"

#include <QBuffer>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QGuiApplication>
#include <QImage>
#include <QJsonDocument>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

int fail(const QString& text)
{
    std::fprintf(stderr, "drive-screenshot: %s\n", qPrintable(text));
    return 1;
}

quint16 freePort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost, 0) ? server.serverPort() : 0;
}

// A photo itself; for a Motion-JPEG clip, its first frame.
QImage pictureOf(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const qsizetype frame = bytes.indexOf("\xff\xd8\xff");
    return frame < 0 ? QImage() : QImage::fromData(bytes.mid(frame), "JPEG");
}

// Writes <root>/<id>.jpg for every photo and clip of `demo`; returns how many.
int writeThumbnails(const QString& demo, const QHash<QString, QString>& ids, const QString& root)
{
    int written = 0;
    QDirIterator it(demo, {QStringLiteral("*.jpg"), QStringLiteral("*.avi")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString id = ids.value(it.fileName());
        const QImage image = pictureOf(path);
        if (id.isEmpty() || image.isNull())
            continue;
        if (image.scaled(250, 250, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                .save(root + u'/' + id + QStringLiteral(".jpg"), "JPEG", 85))
            ++written;
    }
    return written;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    isolateFrom(home.path());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // GTK 4 draws nothing under Xvfb with its GL renderer.
    qputenv("GSK_RENDERER", "cairo");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 2 && args.size() != 4)
        return fail(QStringLiteral("usage: drive-screenshot OUTPUT.png [REFUSED.png REMOVED.png]"));
    const QString output = QFileInfo(args.at(1)).absoluteFilePath();
    const bool more = args.size() == 4;
    const QString refused = more ? QFileInfo(args.at(2)).absoluteFilePath() : QString();
    const QString removed = more ? QFileInfo(args.at(3)).absoluteFilePath() : QString();
    const QString buildDir = qEnvironmentVariable("PIXAVELLA_BUILD_DIR");
    if (buildDir.isEmpty())
        return fail(QStringLiteral("PIXAVELLA_BUILD_DIR names the build tree"));

    QTemporaryDir work;
    const QString demo = work.filePath(QStringLiteral("demo"));
    if (runTool(buildDir + QStringLiteral("/immich-double/demo-library"), {demo, kMe},
                120'000)
            .exitCode != 0)
        return fail(QStringLiteral("demo-library failed"));

    DriveHarness drive;
    if (!drive.startServer({QStringLiteral("--demo"), demo}))
        return fail(QStringLiteral("the Immich double did not start"));
    const QHash<QString, QString> ids = drive.assetIdsByName();
    const QString thumbnails = work.filePath(QStringLiteral("thumbnails"));

    QDir().mkpath(thumbnails);
    const int count = writeThumbnails(demo, ids, thumbnails);
    const quint16 port = freePort();
    QProcess relay;
    relay.setProcessChannelMode(QProcess::ForwardedChannels);
    relay.start(QStringLiteral(DRIVE_TESTS_DIR "/thumbnail-relay.py"),
                {QString::number(port), drive.server().url().toString(), thumbnails});
    if (!relay.waitForStarted())
        return fail(QStringLiteral("thumbnail-relay.py did not start"));
    for (int i = 0; i < 100; ++i) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200))
            break;
        QThread::msleep(100);
    }
    std::fprintf(stderr, "%d assets, %d thumbnails\n", int(ids.size()), count);

    drive.signIn();
    SharedSettings::setServerURL(QStringLiteral("http://127.0.0.1:%1").arg(port));
    if (const Result<void> mounted = drive.mount(); !mounted)
        return fail(QStringLiteral("no mount: ") + mounted.error().description);
    const QString month = drive.path(QStringLiteral("Mes photos/2023/Juillet"));
    const QStringList names = drive.ls(QStringLiteral("Mes photos/2023/Juillet"));
    std::fprintf(stderr, "%s\n", qPrintable(names.join(QStringLiteral(", "))));
    // The drive seeds the thumbnail cache in the background after a listing.
    for (int i = 0; i < 100; ++i) {
        bool all = true;
        for (const QString& name : names)
            all = all && drive
                             .run(QStringLiteral("gio"),
                                  {QStringLiteral("info"), QStringLiteral("-a"),
                                   QStringLiteral("thumbnail::is-valid"), month + u'/' + name})
                             .out.contains("TRUE");
        if (all)
            break;
        QThread::msleep(200);
    }

    // With the two later captures: Nautilus copies a text file into the month itself (its
    // FileOperations2 D-Bus call, as a paste does), then the drive is removed under it.
    const QString notes = work.filePath(QStringLiteral("notes.txt"));
    if (QFile file(notes); file.open(QIODevice::WriteOnly))
        file.write("pas une photo\n");
    const QString unmountNow = work.filePath(QStringLiteral("unmount-now"));
    const QString unmounted = work.filePath(QStringLiteral("unmounted"));
    const QString script = QStringLiteral(
        "nautilus --new-window \"$1\" & sleep 15; import -window root \"$2\" && "
        "convert \"$2\" -trim +repage \"$2\" || exit 1\n"
        "[ -n \"$3\" ] || exit 0\n"
        "gdbus call --session --dest org.gnome.Nautilus "
        "--object-path /org/gnome/Nautilus/FileOperations2 "
        "--method org.gnome.Nautilus.FileOperations2.CopyURIs \"['file://$5']\" \"file://$1\" "
        "'{}' >&2\n"
        "sleep 6; import -window root \"$3\"\n"
        // A fresh window on the month, without the error dialog, to see what removal does.
        "nautilus -q; sleep 2; nautilus --new-window \"$1\" & sleep 10\n"
        "touch \"$6\"; while [ ! -e \"$7\" ]; do sleep 0.2; done\n"
        "sleep 6; import -window root \"$4\"\n");
    QProcess shot;
    shot.setProcessChannelMode(QProcess::ForwardedChannels);
    shot.start(QStringLiteral("xvfb-run"),
               {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 1280x800x24"),
                QStringLiteral("dbus-run-session"), QStringLiteral("--"), QStringLiteral("sh"),
                QStringLiteral("-c"), script, QStringLiteral("sh"), month, output, refused,
                removed, notes, unmountNow, unmounted});
    const QDeadlineTimer deadline(180'000);
    while (more && !QFileInfo::exists(unmountNow) && !deadline.hasExpired() &&
           !shot.waitForFinished(200)) {
    }
    relay.terminate();
    relay.waitForFinished();
    drive.stop();
    if (QFile marker(unmounted); more)
        marker.open(QIODevice::WriteOnly);
    shot.waitForFinished(int(qMax<qint64>(deadline.remainingTime(), 1000)));
    if (shot.exitStatus() != QProcess::NormalExit || shot.exitCode() != 0)
        return fail(QStringLiteral("capture failed (its messages are above)"));
    std::fprintf(stderr, "written %s\n", qPrintable(output));
    return 0;
}
