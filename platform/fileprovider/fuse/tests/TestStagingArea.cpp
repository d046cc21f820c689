// The staging area's rules for the bytes a program writes on the drive. Breaking one loses or
// tears a photo: a file already handed to the extension rewritten under it, a name left listed
// that the drive will never keep, or an item hidden behind a copy nobody wrote to.
#include "StagingArea.h"

#include "Clock.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <fcntl.h>

using namespace pixavella;

namespace {

constexpr double kGraceSeconds = 30;
const FileProviderItemIdentifier kMonth = QStringLiteral("month:2023-07");

QByteArray contentsOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

struct Answers {
    QList<int> errors;
    StagingArea::Waiter waiter()
    {
        return [this](int error) { errors.append(error); };
    }
};

} // namespace

class TestStagingArea : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<Replica> m_replica;
    std::unique_ptr<StagingArea> m_staging;
    InodeNumber m_month = 0;

    quint64 created(const QByteArray& name, const QByteArray& bytes)
    {
        const auto made = m_staging->create(m_month, name, 0644);
        if (!made)
            return 0;
        const auto wrote = m_staging->write(made.value().second, bytes.constData(),
                                            size_t(bytes.size()), 0);
        return wrote && wrote.value() == size_t(bytes.size()) ? made.value().second : 0;
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        m_replica = std::make_unique<Replica>();
        m_month = m_replica->addFixedFolder(kMonth, FileProviderContainer::root, "Juillet", 0755,
                                            true);
        m_staging = std::make_unique<StagingArea>(m_dir.path(), *m_replica, kGraceSeconds);
    }

    void cleanup()
    {
        m_staging.reset();
        m_replica.reset();
    }

    void handedOverBytesAreNeverRewritten()
    {
        // The extension may link the handed-over file into the upload queue: a write that
        // comes while it does so must go to a copy of its own.
        const quint64 fh = created("a.jpg", "AAAA");
        QVERIFY(fh);
        Answers first;
        const std::optional<StagedHandOver> handOver = m_staging->flush(fh, first.waiter());
        QVERIFY(handOver);
        QCOMPARE(handOver->name, QByteArray("a.jpg"));
        QCOMPARE(handOver->parentIdentifier, kMonth);
        QCOMPARE(handOver->size, 4);
        QCOMPARE(contentsOf(handOver->path), QByteArray("AAAA"));

        QVERIFY(m_staging->write(fh, "BB", 2, 0));
        QCOMPARE(contentsOf(handOver->path), QByteArray("AAAA"));
        char back[8] = {};
        const auto read = m_staging->read(fh, back, sizeof back, 0);
        QVERIFY(read);
        QCOMPARE(QByteArray(back, int(read.value())), QByteArray("BBAA"));

        // A close while the first creation runs waits for it, then hands over what it wrote.
        Answers second;
        QVERIFY(!m_staging->flush(fh, second.waiter()));
        QVERIFY(first.errors.isEmpty() && second.errors.isEmpty());
        const std::optional<StagedHandOver> next = m_staging->creationEnded(
            *handOver, StagingArea::Outcome(std::optional(QStringLiteral("asset:a"))), 0);
        QCOMPARE(first.errors, QList<int>{0});
        QVERIFY(next);
        QVERIFY(next->path != handOver->path);
        QCOMPARE(contentsOf(next->path), QByteArray("BBAA"));
        QCOMPARE(next->replaces, std::optional(QStringLiteral("asset:a")));
        QVERIFY(!m_staging->creationEnded(
            *next, StagingArea::Outcome(std::optional(QStringLiteral("asset:b"))), 0));
        QCOMPARE(second.errors, QList<int>{0});
    }

    void refusedCloseTakesTheNameAway_data()
    {
        QTest::addColumn<int>("error");
        QTest::newRow("no space on the server") << ENOSPC;
        QTest::newRow("no reason given") << 0;
    }

    void refusedCloseTakesTheNameAway()
    {
        // The writing program is told and keeps its copy; nothing may stay listed that the
        // drive will never keep.
        QFETCH(int, error);
        const quint64 fh = created("b.jpg", "bytes");
        QVERIFY(fh);
        Answers close;
        const std::optional<StagedHandOver> handOver = m_staging->flush(fh, close.waiter());
        QVERIFY(handOver);
        QVERIFY(m_staging->find(m_month, "b.jpg"));
        QVERIFY(!m_staging->creationEnded(
            *handOver, StagingArea::Outcome(Error{QStringLiteral("test"), 1, {}}), error));
        QCOMPARE(close.errors, QList<int>{error ? error : EIO});
        QVERIFY(!m_staging->find(m_month, "b.jpg"));
        QVERIFY(m_staging->entriesIn(m_month).isEmpty());
        m_staging->release(fh);
    }

    void filedNamesLastTheGracePeriod()
    {
        // Tools set times or modes on the name after closing: it leads to the item filed
        // elsewhere for a while, then to nothing, so the folder's own listing speaks again.
        ManualClock clock;
        m_staging->remember(m_month, "c.jpg", QStringLiteral("asset:c"), 42, false);
        std::optional<StagedName> found = m_staging->find(m_month, "c.jpg");
        QVERIFY(found);
        QCOMPARE(found->alias, QStringLiteral("asset:c"));
        QCOMPARE(found->ino, InodeNumber(42));
        clock.advance(kGraceSeconds - 1);
        QVERIFY(m_staging->find(m_month, "c.jpg"));
        clock.advance(2);
        QVERIFY(!m_staging->find(m_month, "c.jpg"));
    }

    void unchangedCopyGivesTheNameBack()
    {
        // An open for writing without O_TRUNC starts from a copy of the photo; closed without a
        // write, the copy goes and the name leads to the photo again.
        const QString original = m_dir.filePath(QStringLiteral("original"));
        {
            QFile file(original);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("photo");
        }
        const auto copy = m_staging->createOver(m_month, "d.jpg", 0644,
                                                QStringLiteral("asset:d"), 77, original);
        QVERIFY(copy);
        QCOMPARE(m_staging->fileOpenedAs(77)->size, 5);
        Answers close;
        QVERIFY(!m_staging->flush(copy.value().second, close.waiter()));
        QCOMPARE(close.errors, QList<int>{0});
        const auto freed = m_staging->release(copy.value().second);
        QVERIFY(freed);
        QCOMPARE(freed->first, m_month);
        QCOMPARE(freed->second, QByteArray("d.jpg"));
        QVERIFY(!m_staging->find(m_month, "d.jpg"));

        // Written to, the copy replaces the photo at close.
        const auto edited = m_staging->createOver(m_month, "d.jpg", 0644,
                                                  QStringLiteral("asset:d"), 77, original);
        QVERIFY(edited);
        QVERIFY(m_staging->write(edited.value().second, "P", 1, 0));
        Answers editedClose;
        const std::optional<StagedHandOver> handOver =
            m_staging->flush(edited.value().second, editedClose.waiter());
        QVERIFY(handOver);
        QCOMPARE(handOver->replaces, std::optional(QStringLiteral("asset:d")));
        QCOMPARE(contentsOf(handOver->path), QByteArray("Photo"));
    }
};

QTEST_GUILESS_MAIN(TestStagingArea)
#include "TestStagingArea.moc"
