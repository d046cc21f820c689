#include "FreedesktopThumbnail.h"
#include "MemoryExtension.h"
#include "ThumbnailSeeder.h"

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <mutex>

using namespace pixavella;
using namespace std::chrono_literals;

namespace {

QByteArray pngImage()
{
    QImage image(300, 200, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

ThumbnailSeeder::Candidate candidate(const QString& id, const QByteArray& version = "v1")
{
    return {id, "file:///mnt/photos/" + id.toUtf8() + ".jpg", 1'700'000'000, version};
}

} // namespace

class TestThumbnailSeeder : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void waitedForThumbnailsAreWrittenFirst();
    void thumbnailNotMadeYetIsAskedAgainLater();
    void newVersionAsksHeldBackThumbnailAtOnce();
    void goneItemIsNotAskedAgain();
    void walkKeepsTheNewestFoldersOnly();

private:
    bool written(const QString& id) const
    {
        const ThumbnailSeeder::Candidate c = candidate(id);
        return FreedesktopThumbnail::isValid(
            FreedesktopThumbnail::pathFor(m_root->path(), QStringLiteral("large"), c.uri), c.uri,
            c.mtime);
    }
    std::unique_ptr<ThumbnailSeeder> makeSeeder(QList<std::chrono::milliseconds> delays = {},
                                                int maxQueued = 1024)
    {
        ThumbnailSeeder::Options options;
        options.concurrentRequests = 1;
        options.batchSize = 2;
        options.maxQueued = maxQueued;
        if (!delays.isEmpty())
            options.retryDelays = delays;
        return std::make_unique<ThumbnailSeeder>(m_extension, m_root->path(), options,
                                                 [this](const FileProviderItemIdentifier& id)
                                                     -> std::optional<ThumbnailSeeder::Candidate> {
                                                     std::lock_guard lock(m_mutex);
                                                     if (m_gone.contains(id))
                                                         return std::nullopt;
                                                     return candidate(id, m_version);
                                                 });
    }

    std::shared_ptr<MemoryExtension> m_extension;
    std::unique_ptr<QTemporaryDir> m_root;
    std::mutex m_mutex; // guards the two below, read by the seeder's lookups
    QSet<QString> m_gone;
    QByteArray m_version = "v1";
};

void TestThumbnailSeeder::init()
{
    m_extension = std::make_shared<MemoryExtension>();
    m_root = std::make_unique<QTemporaryDir>();
    std::lock_guard lock(m_mutex);
    m_gone.clear();
    m_version = "v1";
}

void TestThumbnailSeeder::cleanup()
{
    m_root.reset();
    m_extension.reset();
}

void TestThumbnailSeeder::waitedForThumbnailsAreWrittenFirst()
{
    const QByteArray png = pngImage();
    for (const char* id : {"a", "b", "c", "d", "e", "f", "w"})
        m_extension->setThumbnail(QString::fromLatin1(id), png);
    m_extension->setThumbnailDelay(100);
    auto seeder = makeSeeder();
    seeder->seed({candidate("a"), candidate("b"), candidate("c"), candidate("d"), candidate("e"),
                  candidate("f")});
    std::atomic<int> settled{0};
    std::atomic<bool> writtenWhenSettled{false};
    seeder->seed({candidate("w"), candidate("e")}, [&] {
        writtenWhenSettled = written("w") && written("e");
        ++settled;
    });
    QTRY_COMPARE(settled.load(), 1);
    QVERIFY(writtenWhenSettled);
    // Asked ahead of the queue: the first batch was on its way, the rest waited.
    QVERIFY(!written("f"));
    QTRY_VERIFY(written("f"));
    QCOMPARE(m_extension->thumbnailAsks(QStringLiteral("e")), 1);

    // Present: settled without asking the extension again.
    seeder->seed({candidate("w")}, [&] { ++settled; });
    QTRY_COMPARE(settled.load(), 2);
    QCOMPARE(m_extension->thumbnailAsks(QStringLiteral("w")), 1);
    QTest::qWait(50);
    QCOMPARE(settled.load(), 2);
}

void TestThumbnailSeeder::thumbnailNotMadeYetIsAskedAgainLater()
{
    m_extension->setThumbnail(QStringLiteral("ok"), pngImage());
    auto seeder = makeSeeder({300ms, 600ms});
    std::atomic<int> settled{0};
    seeder->seed({candidate("late"), candidate("ok")}, [&] { ++settled; });
    // Held back is settled: a listing waiting for it is not kept waiting.
    QTRY_COMPARE(settled.load(), 1);
    QVERIFY(written("ok"));
    QCOMPARE(m_extension->thumbnailAsks(QStringLiteral("late")), 1);

    // Listed again meanwhile: not asked before its time.
    seeder->seed({candidate("late")}, [&] { ++settled; });
    QTRY_COMPARE(settled.load(), 2);
    QCOMPARE(m_extension->thumbnailAsks(QStringLiteral("late")), 1);

    QTRY_COMPARE_WITH_TIMEOUT(m_extension->thumbnailAsks(QStringLiteral("late")), 2, 2000);
    // The next wait is longer, and the last one repeats.
    QTest::qWait(350);
    QCOMPARE(m_extension->thumbnailAsks(QStringLiteral("late")), 2);
    QTRY_COMPARE_WITH_TIMEOUT(m_extension->thumbnailAsks(QStringLiteral("late")), 3, 2000);
    m_extension->setThumbnail(QStringLiteral("late"), pngImage());
    QTRY_VERIFY_WITH_TIMEOUT(written("late"), 3000);
    QCOMPARE(m_extension->thumbnailAsks(QStringLiteral("late")), 4);
    QCOMPARE(m_extension->thumbnailAsks(QStringLiteral("ok")), 1);
}

void TestThumbnailSeeder::newVersionAsksHeldBackThumbnailAtOnce()
{
    auto seeder = makeSeeder({10min});
    std::atomic<bool> heldBack{false};
    seeder->seed({candidate("x")}, [&] { heldBack = true; });
    QTRY_VERIFY(heldBack);

    // A new version of the photo (its checksum or its date changed).
    m_extension->setThumbnail(QStringLiteral("x"), pngImage());
    seeder->seed({candidate("x", "v2")});
    QTRY_VERIFY(written("x"));
    QCOMPARE(m_extension->thumbnailAsks(QStringLiteral("x")), 2);
}

void TestThumbnailSeeder::goneItemIsNotAskedAgain()
{
    auto seeder = makeSeeder({300ms});
    seeder->seed({candidate("gone"), candidate("kept")});
    QTRY_COMPARE(m_extension->thumbnailAsks(QStringLiteral("kept")), 1);
    {
        std::lock_guard lock(m_mutex);
        m_gone.insert(QStringLiteral("gone"));
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_extension->thumbnailAsks(QStringLiteral("kept")), 3, 3000);
    QCOMPARE(m_extension->thumbnailAsks(QStringLiteral("gone")), 1);
}

QTEST_GUILESS_MAIN(TestThumbnailSeeder)
// A walk lists folder after folder faster than thumbnails come: only the newest are kept in
// the background, while a program's wait is never cut short.
void TestThumbnailSeeder::walkKeepsTheNewestFoldersOnly()
{
    const QByteArray png = pngImage();
    const auto folder = [&](const QString& prefix) {
        QList<ThumbnailSeeder::Candidate> list;
        for (int i = 0; i < 6; ++i) {
            m_extension->setThumbnail(prefix + QString::number(i), png);
            list.append(candidate(prefix + QString::number(i)));
        }
        return list;
    };
    m_extension->setThumbnailDelay(100);
    auto seeder = makeSeeder({}, 4);
    const auto asks = [&](const char* id) { return m_extension->thumbnailAsks(QLatin1String(id)); };
    // Six queued, four kept: the two after them go first.
    seeder->seed(folder(QStringLiteral("old")));
    QTRY_COMPARE(asks("old2"), 1);
    seeder->seed(folder(QStringLiteral("new")));
    std::atomic<bool> settled{false};
    seeder->seed(folder(QStringLiteral("shown")), [&] { settled = true; });
    QTRY_VERIFY(settled.load());
    for (int i = 0; i < 6; ++i)
        QVERIFY(written(QStringLiteral("shown") + QString::number(i)));
    QTRY_VERIFY(written(QStringLiteral("new5")));
    QTest::qWait(300);
    for (const char* id : {"old0", "old1", "old4", "old5", "new0", "new1"})
        QCOMPARE(asks(id), 0);
    for (const char* id : {"old3", "new2", "new3", "new4"})
        QCOMPARE(asks(id), 1);
}

#include "TestThumbnailSeeder.moc"
