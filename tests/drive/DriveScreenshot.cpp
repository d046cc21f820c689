// drive-screenshot OUTPUT.png: the drive open in Nautilus under Xvfb on a month of the demo
// library, captured to OUTPUT.png. The double's thumbnails are a fixed 1×1 image, so the drive
// talks to it through thumbnail-relay.py, which answers thumbnail requests with real 250 px
// renditions, as a real server makes them. Needs xvfb-run, dbus-run-session, nautilus, import
// and python3.

#include "DriveHarness.h"
#include "SharedSettings.h"

#include <QBuffer>
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
    if (app.arguments().size() != 2)
        return fail(QStringLiteral("usage: drive-screenshot OUTPUT.png"));
    const QString output = QFileInfo(app.arguments().at(1)).absoluteFilePath();
    const QString buildDir = qEnvironmentVariable("PIXAVELLA_BUILD_DIR");
    if (buildDir.isEmpty())
        return fail(QStringLiteral("PIXAVELLA_BUILD_DIR names the build tree"));

    QTemporaryDir work;
    const QString demo = work.filePath(QStringLiteral("demo"));
    if (runTool(buildDir + QStringLiteral("/tests/immich-double/demo-library"), {demo, kMe},
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

    const ToolRun shot = runTool(
        QStringLiteral("xvfb-run"),
        {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 1280x800x24"),
         QStringLiteral("dbus-run-session"), QStringLiteral("--"), QStringLiteral("sh"),
         QStringLiteral("-c"),
         QStringLiteral("nautilus --new-window \"$1\" & sleep 15; import -window root \"$2\" && "
                        "convert \"$2\" -trim +repage \"$2\""),
         QStringLiteral("sh"), month, output},
        120'000);
    relay.terminate();
    relay.waitForFinished();
    drive.stop();
    if (shot.exitCode != 0)
        return fail(QStringLiteral("capture failed: ") + QString::fromUtf8(shot.err));
    std::fprintf(stderr, "written %s\n", qPrintable(output));
    return 0;
}
