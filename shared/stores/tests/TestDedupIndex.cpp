#include "Clock.h"
#include "DedupIndex.h"
#include "SettingsSuite.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace pixavella;

namespace {

ImmichAsset asset(const QString& id, const QString& name, const QString& created,
                  std::optional<QString> exifDate, std::optional<QString> checksum)
{
    ImmichAsset a;
    a.id = id;
    a.type = QStringLiteral("IMAGE");
    a.originalFileName = name;
    a.fileCreatedAt = created;
    a.checksum = std::move(checksum);
    if (exifDate) {
        a.exifInfo = ExifInfo{};
        a.exifInfo->dateTimeOriginal = exifDate;
    }
    return a;
}

struct Query {
    QString name;
    int year = 0;
    int month = 0;
    QSet<QString> expected;
};

} // namespace

Q_DECLARE_METATYPE(QList<ImmichAsset>)
Q_DECLARE_METATYPE(Query)
Q_DECLARE_METATYPE(std::optional<QString>)

class TestDedupIndex : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<SettingsSuite> m_suite;

private slots:
    void init()
    {
        m_suite = std::make_unique<SettingsSuite>(m_dir.filePath(QStringLiteral("prefs.sqlite")));
        m_suite->remove(QString::fromLatin1(DedupIndex::kSettingsKey));
    }
    void cleanup() { m_suite.reset(); }

    void rebuildAndLookup_data()
    {
        QTest::addColumn<QList<ImmichAsset>>("assets");
        QTest::addColumn<QList<Query>>("queries");

        const QString created = QStringLiteral("2023-01-05T08:00:00.000Z");
        QTest::newRow("capture date beats creation date")
            << QList{asset("1", "a.jpg", created, "2024-03-01T10:00:00.000Z", "c1")}
            << QList<Query>{{"a.jpg", 2024, 3, {"c1"}}, {"a.jpg", 2023, 1, {}}};
        QTest::newRow("same name and month gather checksums")
            << QList{asset("1", "a.jpg", created, std::nullopt, "c1"),
                     asset("2", "a.jpg", "2023-01-28T08:00:00Z", std::nullopt, "c2"),
                     asset("3", "b.jpg", created, std::nullopt, "c3")}
            << QList<Query>{{"a.jpg", 2023, 1, {"c1", "c2"}}, {"b.jpg", 2023, 1, {"c3"}}};
        QTest::newRow("no checksum, no entry")
            << QList{asset("1", "a.jpg", created, std::nullopt, std::nullopt)}
            << QList<Query>{{"a.jpg", 2023, 1, {}}};
        QTest::newRow("unreadable capture date, no entry")
            << QList{asset("1", "a.jpg", created, "2024:03:01 10:00:00", "c1")}
            << QList<Query>{{"a.jpg", 2024, 3, {}}, {"a.jpg", 2023, 1, {}}};
        QTest::newRow("names beyond ASCII")
            << QList{asset("1", "Été à Noël.jpg", created, std::nullopt, "c1"),
                     asset("2", "Été à Noël.jpg", created, std::nullopt, "c2")}
            << QList<Query>{{"Été à Noël.jpg", 2023, 1, {"c1", "c2"}}};
        // Counts past the one-byte and two-byte lengths of the stored encoding.
        QList<ImmichAsset> many;
        QSet<QString> burst;
        for (int i = 0; i < 70'300; ++i) {
            const QString name = i < 300 ? QStringLiteral("Rafale du même instant.jpg")
                                         : QStringLiteral("IMG_%1.jpg").arg(i % 69'990);
            many.append(asset(QString::number(i), name, created, std::nullopt,
                              QStringLiteral("c%1").arg(i)));
            if (i < 300)
                burst.insert(QStringLiteral("c%1").arg(i));
        }
        QTest::newRow("a large library")
            << many
            << QList<Query>{{"IMG_305.jpg", 2023, 1, {"c305", "c70295"}},
                            {"IMG_69989.jpg", 2023, 1, {"c69989"}},
                            {"Rafale du même instant.jpg", 2023, 1, burst}};
        QTest::newRow("user-given name replaces the original")
            << QList{asset("renamed", "IMG_1.jpg", created, std::nullopt, "c1"),
                     asset("other", "IMG_2.jpg", created, std::nullopt, "c2")}
            << QList<Query>{{"Vacances.jpg", 2023, 1, {"c1"}},
                            {"IMG_1.jpg", 2023, 1, {}},
                            {"IMG_2.jpg", 2023, 1, {"c2"}}};
    }
    void rebuildAndLookup()
    {
        QFETCH(QList<ImmichAsset>, assets);
        QFETCH(QList<Query>, queries);
        const DedupIndex::NameLookup names = [](const ImmichAsset& a) -> std::optional<QString> {
            if (a.id == QLatin1String("renamed"))
                return QStringLiteral("Vacances.jpg");
            return std::nullopt;
        };
        DedupIndex index(*m_suite);
        index.rebuild(assets, names);
        for (const Query& q : queries)
            QCOMPARE(index.checksums(q.name, q.year, q.month), q.expected);

        // Gathered page by page, as listings do, the index is the same.
        m_suite->remove(QString::fromLatin1(DedupIndex::kSettingsKey));
        DedupIndex::Builder builder(names);
        for (const ImmichAsset& a : assets)
            builder.add({a});
        index.store(builder);
        for (const Query& q : queries)
            QCOMPARE(index.checksums(q.name, q.year, q.month), q.expected);
    }

    void rebuildReplacesPreviousIndex()
    {
        DedupIndex index(*m_suite);
        index.rebuild({asset("1", "a.jpg", "2023-01-05T08:00:00Z", std::nullopt, "old")});
        index.rebuild({asset("2", "b.jpg", "2023-01-05T08:00:00Z", std::nullopt, "new")});
        QVERIFY(index.checksums(QStringLiteral("a.jpg"), 2023, 1).isEmpty());
        QCOMPARE(index.checksums(QStringLiteral("b.jpg"), 2023, 1), QSet<QString>{"new"});

        // Two listings overlap: the list begun last wins, whichever store ends last.
        DedupIndex::Builder older;
        auto newer = std::make_shared<DedupIndex::Builder>();
        older.add({asset("1", "a.jpg", "2023-01-05T08:00:00Z", std::nullopt, "older")});
        newer->add({asset("1", "a.jpg", "2023-01-05T08:00:00Z", std::nullopt, "newer")});
        index.storeInBackground(newer);
        index.waitForBackgroundStores();
        index.store(older);
        QCOMPARE(index.checksums(QStringLiteral("a.jpg"), 2023, 1), QSet<QString>{"newer"});

        // Another process replaces the index: a read a second later sees it, not the copy
        // decoded before.
        ManualClock clock;
        QCOMPARE(index.checksums(QStringLiteral("a.jpg"), 2023, 1), QSet<QString>{"newer"});
        m_suite->remove(QString::fromLatin1(DedupIndex::kSettingsKey));
        QCOMPARE(index.checksums(QStringLiteral("a.jpg"), 2023, 1), QSet<QString>{"newer"});
        clock.advance(1);
        QVERIFY(index.checksums(QStringLiteral("a.jpg"), 2023, 1).isEmpty());
        // One in this process: the next read.
        DedupIndex(*m_suite).rebuild(
            {asset("1", "a.jpg", "2023-01-05T08:00:00Z", std::nullopt, "elsewhere")});
        QCOMPARE(index.checksums(QStringLiteral("a.jpg"), 2023, 1), QSet<QString>{"elsewhere"});
    }

    void wrongShapeReadsEmpty_data()
    {
        QTest::addColumn<QVariant>("stored");
        const QString key = DedupIndex::key(2023, 1, QStringLiteral("a.jpg"));
        QTest::newRow("text") << QVariant(QStringLiteral("nonsense"));
        QTest::newRow("value not a list") << QVariant(QVariantMap{{key, 12.0}});
        QTest::newRow("list of numbers") << QVariant(QVariantMap{{key, QVariantList{1.0, 2.0}}});
    }
    void wrongShapeReadsEmpty()
    {
        QFETCH(QVariant, stored);
        m_suite->setValue(QString::fromLatin1(DedupIndex::kSettingsKey), stored);
        QVERIFY(DedupIndex(*m_suite).checksums(QStringLiteral("a.jpg"), 2023, 1).isEmpty());
    }

    void fileChecksum_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("sparseSize");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("empty") << QByteArray() << qint64(-1)
                               << std::optional<QString>("2jmj7l5rSw0yVb/vlWAYkK/YBwk=");
        QTest::newRow("one byte past a chunk")
            << QByteArray(DedupIndex::kChunkSize + 1, 'a') << qint64(-1)
            << std::optional<QString>("diDzOda4zV+hvFl/KRv3E1eblnI=");
        QTest::newRow("exactly the size limit")
            << QByteArray() << DedupIndex::kMaxChecksumFileSize
            << std::optional<QString>("e5Hb3FbFeB7fbIhHtKppZVZsXHU=");
        QTest::newRow("one byte over the limit")
            << QByteArray() << DedupIndex::kMaxChecksumFileSize + 1 << std::optional<QString>();
    }
    void fileChecksum()
    {
        QFETCH(QByteArray, content);
        QFETCH(qint64, sparseSize);
        QFETCH(std::optional<QString>, expected);
        const QString path = m_dir.filePath(QStringLiteral("payload.bin"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        if (sparseSize >= 0)
            QVERIFY(file.resize(sparseSize));
        else
            QCOMPARE(file.write(content), content.size());
        file.close();
        QCOMPARE(DedupIndex::fileChecksum(path), expected);
        QFile::remove(path);
    }

    void fileChecksumOfWhatIsNoFile()
    {
        QCOMPARE(DedupIndex::fileChecksum(m_dir.filePath(QStringLiteral("missing"))),
                 std::optional<QString>());
        QCOMPARE(DedupIndex::fileChecksum(m_dir.path()), std::optional<QString>());
    }
};

QTEST_GUILESS_MAIN(TestDedupIndex)
#include "TestDedupIndex.moc"
