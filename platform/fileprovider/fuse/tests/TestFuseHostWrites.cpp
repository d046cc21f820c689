#include "Clock.h"
#include "FileProviderError.h"
#include "MountedHost.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

using namespace pixavella;

namespace {

const QString root = FileProviderContainer::root;

QStringList names(const QByteArray& out)
{
    QStringList list = QString::fromUtf8(out).split(u'\n', Qt::SkipEmptyParts);
    list.sort();
    return list;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

} // namespace

// Writes on a real mount with the tools a user has; the extension is the in-memory one.
class TestFuseHostWrites : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void refiledFileStaysAtItsDropPlaceForAWhile();
    void fileFiledInAFolderNotListedYetShowsUp();
    void batchDoesNotWaitForTheFoldersItStarts();
    void creationAnsweredWithNothingFailsTheClose();
    void failedCreationFailsTheClose();
    void everyCloseAfterAWriteCreatesAgain();
    void rsyncOfAFolderCreatesOnlyVisibleNames();
    void editorSaveCreatesUnderTheVisibleName();
    void removals();

private:
    QString photos(const QString& name = {}) const
    {
        return m_mount->path(name.isEmpty() ? QStringLiteral("Photos") : "Photos/" + name);
    }
    QString source(const QString& name, const QByteArray& bytes);

    std::unique_ptr<ManualClock> m_clock;
    std::unique_ptr<QTemporaryDir> m_src;
    std::shared_ptr<MemoryExtension> m_ext;
    std::unique_ptr<MountedHost> m_mount;
};

void TestFuseHostWrites::init()
{
    m_clock = std::make_unique<ManualClock>();
    m_src = std::make_unique<QTemporaryDir>();
    m_ext = std::make_shared<MemoryExtension>();
    m_ext->put(MemoryExtension::folder("photos", root, "Photos"));
    m_ext->put(MemoryExtension::folder("albums", root, "Albums"));
    m_ext->put(MemoryExtension::folder("month", "photos", "Mars"));
    m_ext->put(MemoryExtension::file("a", "photos", "a.jpg", 1), "a");
    m_mount =
        std::make_unique<MountedHost>(m_ext, [](FuseHostOptions& o) { o.dropGraceSeconds = 30; });
    QVERIFY(m_mount->mount());
}

void TestFuseHostWrites::cleanup()
{
    m_mount.reset();
    m_ext.reset();
    m_src.reset();
    m_clock.reset();
}

QString TestFuseHostWrites::source(const QString& name, const QByteArray& bytes)
{
    const QString path = m_src->filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    writeFile(path, bytes);
    return path;
}

void TestFuseHostWrites::refiledFileStaysAtItsDropPlaceForAWhile()
{
    m_ext->fileNewItemsUnder("month", "albums");
    const QString from = source("b.jpg", "bytes");
    QCOMPARE(runTool("cp", {from, photos("b.jpg")}).exitCode, 0);
    // Reachable where it was dropped, for tools that set attributes after the close.
    QCOMPARE(runTool("touch", {"-d", "2020-01-01", photos("b.jpg")}).exitCode, 0);
    QCOMPARE(runTool("chmod", {"600", photos("b.jpg")}).exitCode, 0);
    QCOMPARE(runTool("stat", {"-c", "%s", photos("b.jpg")}).out, QByteArray("5\n"));
    QVERIFY(names(runTool("ls", {photos()}).out).contains("b.jpg"));
    QCOMPARE(names(runTool("ls", {photos("Mars")}).out), QStringList{"b.jpg"});
    QCOMPARE(runTool("cat", {photos("Mars/b.jpg")}).out, QByteArray("bytes"));
    m_clock->advance(31);
    QVERIFY(runTool("stat", {photos("b.jpg")}).exitCode != 0);
    QCOMPARE(names(runTool("ls", {photos()}).out), (QStringList{"Mars", "a.jpg"}));
    QCOMPARE(names(runTool("ls", {photos("Mars")}).out), QStringList{"b.jpg"});
}

void TestFuseHostWrites::fileFiledInAFolderNotListedYetShowsUp()
{
    QCOMPARE(names(runTool("ls", {photos()}).out), (QStringList{"Mars", "a.jpg"}));
    m_ext->put(MemoryExtension::folder("april", "photos", "Avril"));
    m_ext->fileNewItemsUnder("april", "albums");
    QCOMPARE(runTool("cp", {source("b.jpg", "bytes"), photos("b.jpg")}).exitCode, 0);
    m_clock->advance(31);
    QCOMPARE(names(runTool("ls", {photos()}).out), (QStringList{"Avril", "Mars", "a.jpg"}));
    QCOMPARE(names(runTool("ls", {photos("Avril")}).out), QStringList{"b.jpg"});
}

// The first photo filed in a folder not listed yet makes the listed folders list again: not while
// the program that dropped it looks up the next names of its batch, but as soon as another
// program looks.
void TestFuseHostWrites::batchDoesNotWaitForTheFoldersItStarts()
{
    QCOMPARE(names(runTool("ls", {photos()}).out), (QStringList{"Mars", "a.jpg"}));
    m_ext->put(MemoryExtension::folder("april", "photos", "Avril"));
    m_ext->fileNewItemsUnder("april", "albums");
    const auto listings = [this] {
        return m_ext->listingCount("photos") + m_ext->changesCount("photos");
    };
    const int before = listings();
    QCOMPARE(runTool("cp", {source("b.jpg", "b"), source("c.jpg", "c"), photos()}).exitCode, 0);
    QCOMPARE(listings(), before);
    QCOMPARE(runTool("stat", {photos("Avril")}).exitCode, 0);
    QCOMPARE(listings(), before + 1);
}

void TestFuseHostWrites::creationAnsweredWithNothingFailsTheClose()
{
    // Success would let mv delete its source while the drive keeps nothing.
    m_ext->createNothing(true);
    const ToolRun cp = runTool("cp", {source("doc.pdf", "%PDF"), photos("doc.pdf")});
    QVERIFY(cp.exitCode != 0);
    QVERIFY2(cp.err.contains("Operation not permitted"), cp.err.constData());
    QVERIFY(runTool("stat", {photos("doc.pdf")}).exitCode != 0);
    QCOMPARE(names(runTool("ls", {photos()}).out), (QStringList{"Mars", "a.jpg"}));
    // A folder the extension did not make is refused rather than shown for a while.
    const ToolRun mkdir = runTool("mkdir", {photos("Nouveau")});
    QVERIFY(mkdir.exitCode != 0);
    QVERIFY2(mkdir.err.contains("Operation not permitted"), mkdir.err.constData());
}

void TestFuseHostWrites::failedCreationFailsTheClose()
{
    m_ext->failChanges(fileProviderError(FileProviderErrorCode::notAuthenticated));
    const ToolRun cp = runTool("cp", {source("c.jpg", "c"), photos("c.jpg")});
    QVERIFY(cp.exitCode != 0);
    QVERIFY2(cp.err.contains("Permission denied"), cp.err.constData());
    // The name went with the failed close; once the extension answers again, a new copy is
    // created.
    m_ext->failChanges(std::nullopt);
    QCOMPARE(runTool("cp", {source("c.jpg", "cc"), photos("c.jpg")}).exitCode, 0);
    QCOMPARE(m_ext->creations().size(), 2);
    QCOMPARE(m_ext->creations().last().contents, QByteArray("cc"));
}

void TestFuseHostWrites::everyCloseAfterAWriteCreatesAgain()
{
    const QByteArray path = QFile::encodeName(photos("d.jpg"));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    QVERIFY(fd >= 0);
    QCOMPARE(::write(fd, "one", 3), 3);
    const int dup = ::dup(fd);
    const int reader = ::open(path.constData(), O_RDONLY);
    QCOMPARE(::close(reader), 0); // wrote nothing: creates nothing
    QCOMPARE(m_ext->creations().size(), 0);
    QCOMPARE(::close(fd), 0);
    QCOMPARE(m_ext->creations().size(), 1);
    QCOMPARE(::close(::dup(dup)), 0); // nothing written since
    QCOMPARE(m_ext->creations().size(), 1);
    QCOMPARE(::write(dup, "two", 3), 3);
    QCOMPARE(::close(dup), 0);
    const QList<MemoryExtension::Creation> made = m_ext->creations();
    QCOMPARE(made.size(), 2);
    // The first copy handed over was not touched by the later write.
    QCOMPARE(made[0].contents, QByteArray("one"));
    QCOMPARE(made[1].contents, QByteArray("onetwo"));
}

void TestFuseHostWrites::rsyncOfAFolderCreatesOnlyVisibleNames()
{
    m_ext->fileNewItemsUnder({}, "albums");
    const QDateTime taken = QDateTime::fromSecsSinceEpoch(1'400'000'000, Qt::UTC);
    {
        QFile x(source("Vacances/x.jpg", "x"));
        QVERIFY(x.open(QIODevice::ReadWrite));
        QVERIFY(x.setFileTime(taken, QFileDevice::FileModificationTime));
    }
    source("Vacances/y.jpg", "yy");
    source("Vacances/Plage/z.jpg", "zzz");
    const ToolRun rsync = runTool("rsync", {"-a", m_src->filePath("Vacances"), photos()});
    QVERIFY2(rsync.exitCode == 0, rsync.err.constData());
    QStringList made;
    for (const MemoryExtension::Creation& c : m_ext->creations()) {
        QVERIFY2(!c.filename.startsWith(u'.'), qPrintable(c.filename));
        made.append(c.parent + u'/' + c.filename);
        // rsync sets times on its temporary file, before the rename hands it over.
        if (c.filename == "x.jpg")
            QCOMPARE(c.modified, taken);
    }
    made.sort();
    // Folders became albums filed elsewhere; the files went into them by identifier.
    QCOMPARE(made, (QStringList{"new:1/Plage", "new:1/x.jpg", "new:1/y.jpg", "new:2/z.jpg",
                                "photos/Vacances"}));
    QCOMPARE(names(runTool("ls", {m_mount->path("Albums")}).out),
             (QStringList{"Plage", "Vacances"}));
    QCOMPARE(runTool("cat", {m_mount->path("Albums/Vacances/y.jpg")}).out, QByteArray("yy"));
    // Copies check the free space first: the staging folder's is reported.
    QVERIFY(runTool("stat", {"-f", "-c", "%a", photos()}).out.toLongLong() > 0);
}

void TestFuseHostWrites::editorSaveCreatesUnderTheVisibleName()
{
    const QString temp = photos(".a.jpg.swp");
    QVERIFY(writeFile(temp, "edited"));
    QCOMPARE(m_ext->creations().size(), 0);
    QCOMPARE(::rename(QFile::encodeName(temp).constData(),
                      QFile::encodeName(photos("a.jpg")).constData()),
             0);
    const QList<MemoryExtension::Creation> made = m_ext->creations();
    QCOMPARE(made.size(), 1);
    QCOMPARE(made[0].filename, QString("a.jpg"));
    QCOMPARE(made[0].contents, QByteArray("edited"));
    QCOMPARE(runTool("cat", {photos("a.jpg")}).out, QByteArray("edited"));
    QVERIFY(!QFile::exists(temp));
}

void TestFuseHostWrites::removals()
{
    QCOMPARE(runTool("rm", {photos("a.jpg")}).exitCode, 0);
    QCOMPARE(m_ext->deleteCount(), 1);
    QCOMPARE(names(runTool("ls", {photos()}).out), QStringList{"Mars"});
    m_ext->put(MemoryExtension::file("m", "month", "m.jpg", 1), "m");
    const ToolRun full = runTool("rmdir", {photos("Mars")});
    QVERIFY(full.exitCode != 0);
    QVERIFY2(full.err.contains("not empty"), full.err.constData());
    QCOMPARE(runTool("rm", {"-r", photos("Mars")}).exitCode, 0);
    QCOMPARE(m_ext->deleteCount(), 3);
    QCOMPARE(runTool("ls", {photos()}).out, QByteArray());
}

QTEST_GUILESS_MAIN(TestFuseHostWrites)
#include "TestFuseHostWrites.moc"
