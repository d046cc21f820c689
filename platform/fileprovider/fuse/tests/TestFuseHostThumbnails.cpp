#include "FreedesktopThumbnail.h"
#include "MountedHost.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QStandardPaths>
#include <QTest>

using namespace pixavella;

namespace {

const QString root = FileProviderContainer::root;

QByteArray encoded(const char* format, QSize size, Qt::GlobalColor color)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

// What GIO (and so the file manager) thinks of the thumbnail of `path`.
QByteArray gioThumbnailValidity(const QString& path)
{
    const ToolRun gio = runTool("gio", {"info", "-a", "thumbnail::*", path});
    for (const QByteArray& line : gio.out.split('\n'))
        if (line.trimmed().startsWith("thumbnail::is-valid:"))
            return line.trimmed().mid(21);
    return gio.out + gio.err;
}

} // namespace

class TestFuseHostThumbnails : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void listedImagesAndVideosGetValidThumbnails();
    void validThumbnailsAreNotAskedForAgain();

private:
    QString thumbnails() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
               "/thumbnails";
    }

    std::shared_ptr<MemoryExtension> m_ext;
    std::unique_ptr<MountedHost> m_mount;
};

void TestFuseHostThumbnails::init()
{
    QDir(thumbnails()).removeRecursively();
    m_ext = std::make_shared<MemoryExtension>();
    m_ext->put(MemoryExtension::folder("photos", root, "Photos"));
    m_ext->put(MemoryExtension::file("jpeg", "photos", "Été 2024.jpg", 4), "jpeg",
               encoded("JPG", {400, 300}, Qt::red));
    m_ext->put(MemoryExtension::file("webp", "photos", "b#1.heic", 4, "image/heic"), "webp",
               encoded("WEBP", {300, 400}, Qt::blue));
    m_ext->put(MemoryExtension::file("video", "photos", "clip.mp4", 4, "video/mp4"), "clip",
               encoded("JPG", {160, 90}, Qt::green));
    m_ext->put(MemoryExtension::file("text", "photos", "notes.txt", 4, "text/plain"), "text",
               encoded("JPG", {10, 10}, Qt::black));
    m_mount = std::make_unique<MountedHost>(m_ext);
    QVERIFY(m_mount->mount());
}

void TestFuseHostThumbnails::cleanup()
{
    m_mount.reset();
    m_ext.reset();
}

void TestFuseHostThumbnails::listedImagesAndVideosGetValidThumbnails()
{
    QCOMPARE(runTool("ls", {m_mount->path("Photos")}).exitCode, 0);
    for (const char* name : {"Été 2024.jpg", "b#1.heic", "clip.mp4"}) {
        const QString path = m_mount->path(QStringLiteral("Photos/") + QString::fromUtf8(name));
        QTRY_COMPARE_WITH_TIMEOUT(gioThumbnailValidity(path), QByteArray("TRUE"), 20'000);
        const QByteArray uri = FreedesktopThumbnail::fileUri(QFile::encodeName(path));
        const QImage normal(FreedesktopThumbnail::pathFor(thumbnails(), "normal", uri));
        const QImage large(FreedesktopThumbnail::pathFor(thumbnails(), "large", uri));
        QVERIFY2(!normal.isNull() && !large.isNull(), name);
        QVERIFY(qMax(normal.width(), normal.height()) <= 128);
        QVERIFY(qMax(large.width(), large.height()) <= 256);
    }
    QCOMPARE(m_mount->host().thumbnailsWritten(), 3);
    // Not an image or a video: never asked for.
    const QByteArray text =
        FreedesktopThumbnail::fileUri(QFile::encodeName(m_mount->path("Photos/notes.txt")));
    QVERIFY(!QFile::exists(FreedesktopThumbnail::pathFor(thumbnails(), "normal", text)));
}

void TestFuseHostThumbnails::validThumbnailsAreNotAskedForAgain()
{
    QCOMPARE(runTool("ls", {m_mount->path("Photos")}).exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(m_mount->host().thumbnailsWritten(), 3, 20'000);
    const int requests = m_ext->thumbnailRequests();

    // A new photo, then a relisting: only the new one is asked for.
    m_ext->put(MemoryExtension::file("new", "photos", "new.jpg", 1), "n",
               encoded("JPG", {50, 50}, Qt::yellow));
    m_mount->host().signalEnumerator("photos");
    QTRY_COMPARE_WITH_TIMEOUT(gioThumbnailValidity(m_mount->path("Photos/new.jpg")),
                              QByteArray("TRUE"), 20'000);
    QCOMPARE(m_ext->thumbnailRequests(), requests + 1);
    QCOMPARE(m_mount->host().thumbnailsWritten(), 4);
}

QTEST_GUILESS_MAIN(TestFuseHostThumbnails)
#include "TestFuseHostThumbnails.moc"
