#include "FreedesktopThumbnail.h"
#include "MountedHost.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

using namespace pixavella;
using namespace std::chrono_literals;

namespace {

const QString root = FileProviderContainer::root;
constexpr int kPhotos = 12;

QByteArray pngImage()
{
    QImage image(320, 240, QImage::Format_RGB32);
    image.fill(Qt::darkYellow);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QString photoName(int i)
{
    return QStringLiteral("IMG_%1.jpg").arg(i);
}

} // namespace

class TestFuseHostThumbnails : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void viewerListingWaitsForThumbnails();
    void viewerListingWaitIsBounded();
    void otherProgramsAreAnsweredAtOnce();
    void thumbnailerReadsTheThumbnail();
    void thumbnailerReadsOriginalWhenServerHasNone();
    void serverChangeAsksHeldBackThumbnailsAgain();

private:
    QString largeThumbnail(const QString& name) const
    {
        const QByteArray uri =
            FreedesktopThumbnail::fileUri(QFile::encodeName(m_mount->path("Mes photos/" + name)));
        return FreedesktopThumbnail::pathFor(m_mount->options().thumbnailDirectory, "large", uri);
    }
    int thumbnailsPresent() const
    {
        int present = 0;
        for (int i = 0; i < kPhotos; ++i)
            present += QFile::exists(largeThumbnail(photoName(i)));
        return present;
    }
    // A copy of `tool` under `name`, as the drive tells programs apart by their executable.
    QString programNamed(const QString& tool, const QString& name)
    {
        const QString copy = m_bin.filePath(name);
        if (!QFile::exists(copy))
            QFile::copy(tool, copy);
        return copy;
    }

    QTemporaryDir m_bin;
    std::shared_ptr<MemoryExtension> m_ext;
    std::unique_ptr<MountedHost> m_mount;
};

void TestFuseHostThumbnails::init()
{
    m_ext = std::make_shared<MemoryExtension>();
    m_ext->put(MemoryExtension::folder("photos", root, "Mes photos"));
    const QByteArray png = pngImage();
    for (int i = 0; i < kPhotos; ++i) {
        const QString id = QStringLiteral("p%1").arg(i);
        m_ext->put(MemoryExtension::file(id, "photos", photoName(i), 0),
                   "original bytes of " + id.toUtf8());
        m_ext->setThumbnail(id, png);
    }
    m_ext->setThumbnailDelay(200);
    m_mount = std::make_unique<MountedHost>(m_ext, [](FuseHostOptions& o) {
        o.thumbnailViewers = {QStringLiteral("viewer")};
        o.thumbnailWait = 5s;
    });
    const Result<void> mounted = m_mount->mount();
    QVERIFY2(mounted, qPrintable(mounted ? QString() : mounted.error().description));
}

void TestFuseHostThumbnails::cleanup()
{
    m_mount.reset();
    m_ext.reset();
}

void TestFuseHostThumbnails::viewerListingWaitsForThumbnails()
{
    // Batches of 16 at 200 ms each, the listing's thumbnails first.
    const ToolRun listed =
        runTool(programNamed(QStringLiteral("/bin/ls"), QStringLiteral("viewer")),
                {m_mount->path("Mes photos")});
    QCOMPARE(listed.exitCode, 0);
    QCOMPARE(listed.out.count('\n'), kPhotos);
    QCOMPARE(thumbnailsPresent(), kPhotos);
    QCOMPARE(m_ext->fetchCount(), 0);
}

void TestFuseHostThumbnails::viewerListingWaitIsBounded()
{
    m_mount.reset();
    m_ext->setThumbnailDelay(3000);
    m_mount = std::make_unique<MountedHost>(m_ext, [](FuseHostOptions& o) {
        o.thumbnailViewers = {QStringLiteral("viewer")};
        o.thumbnailWait = 500ms;
    });
    QVERIFY(m_mount->mount());
    QElapsedTimer timer;
    timer.start();
    const ToolRun listed =
        runTool(programNamed(QStringLiteral("/bin/ls"), QStringLiteral("viewer")),
                {m_mount->path("Mes photos")});
    QCOMPARE(listed.exitCode, 0);
    QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(thumbnailsPresent(), 0);
}

void TestFuseHostThumbnails::otherProgramsAreAnsweredAtOnce()
{
    const ToolRun listed = runTool(QStringLiteral("ls"), {m_mount->path("Mes photos")});
    QCOMPARE(listed.exitCode, 0);
    QCOMPARE(thumbnailsPresent(), 0); // still on their way
    QTRY_COMPARE(thumbnailsPresent(), kPhotos);
}

void TestFuseHostThumbnails::thumbnailerReadsTheThumbnail()
{
    const QString thumbnailer =
        programNamed(QStringLiteral("/bin/cat"), QStringLiteral("fake-thumbnailer"));
    // The listing put the thumbnail on its way; the read waits for it.
    QCOMPARE(runTool(QStringLiteral("ls"), {m_mount->path("Mes photos")}).exitCode, 0);
    const ToolRun read = runTool(thumbnailer, {m_mount->path("Mes photos/" + photoName(3))});
    QCOMPARE(read.exitCode, 0);
    QFile large(largeThumbnail(photoName(3)));
    QVERIFY(large.open(QIODevice::ReadOnly));
    QCOMPARE(read.out, large.readAll());
    QVERIFY(!QImage::fromData(read.out).isNull());
    QCOMPARE(m_ext->fetchCount(), 0);

    // Anyone else reads the photo itself.
    QCOMPARE(runTool(QStringLiteral("cat"), {m_mount->path("Mes photos/" + photoName(3))}).out,
             QByteArray("original bytes of p3"));
    QCOMPARE(m_ext->fetchCount(), 1);
    QCOMPARE(m_ext->systemFetchCount(), 0);
}

void TestFuseHostThumbnails::thumbnailerReadsOriginalWhenServerHasNone()
{
    m_ext->setThumbnail(QStringLiteral("p5"), {});
    const QString thumbnailer =
        programNamed(QStringLiteral("/bin/cat"), QStringLiteral("fake-thumbnailer"));
    const ToolRun read = runTool(thumbnailer, {m_mount->path("Mes photos/" + photoName(5))});
    QCOMPARE(read.exitCode, 0);
    QCOMPARE(read.out, QByteArray("original bytes of p5"));
    // Asked on no one's behalf: no download notice.
    QCOMPARE(m_ext->systemFetchCount(), 1);
    QCOMPARE(m_ext->fetchCount(), 1);
}

void TestFuseHostThumbnails::serverChangeAsksHeldBackThumbnailsAgain()
{
    m_ext->setThumbnail(QStringLiteral("p7"), {}); // not made yet: asked again in 15 s
    QCOMPARE(runTool(QStringLiteral("ls"), {m_mount->path("Mes photos")}).exitCode, 0);
    QTRY_COMPARE(thumbnailsPresent(), kPhotos - 1);
    QCOMPARE(m_ext->thumbnailAsks(QStringLiteral("p7")), 1);
    // The server tells of a change, as it does once an upload's thumbnails are made.
    m_ext->setThumbnail(QStringLiteral("p7"), pngImage());
    m_mount->host().signalEnumerator(FileProviderContainer::workingSet);
    QTRY_COMPARE_WITH_TIMEOUT(thumbnailsPresent(), kPhotos, 5000);
    QCOMPARE(m_ext->thumbnailAsks(QStringLiteral("p7")), 2);
}

QTEST_GUILESS_MAIN(TestFuseHostThumbnails)
#include "TestFuseHostThumbnails.moc"
