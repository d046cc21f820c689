#include "NameDisambiguator.h"

#include <QTest>

using namespace pixavella;

class TestNameDisambiguator : public QObject {
    Q_OBJECT
private slots:
    void diskName_data();
    void diskName();
    void uniqueNames_data();
    void uniqueNames();
    void uniqueNamesIgnoreInputOrder();
    void reservedNamesAreNeverGiven();
};

void TestNameDisambiguator::diskName_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<bool>("isFolder");
    QTest::addColumn<QByteArray>("expected");

    const QString longStem = QString(300, QChar(0xE9)); // "é", two bytes each
    QTest::newRow("dot dot") << ".." << true << QByteArray("\xE2\x80\xA5");
    QTest::newRow("empty") << "" << false << QByteArray("_");
    QTest::newRow("hidden file keeps its name") << ".profile" << false << QByteArray(".profile");
    // 255 bytes at most: 125 "é" (250 bytes) fit before ".jpg", a 126th would split a char.
    QTest::newRow("long name keeps its extension")
        << longStem + ".jpg" << false << QByteArray(QString(125, QChar(0xE9)).toUtf8() + ".jpg");
    QTest::newRow("long folder name is cut whole")
        << longStem + ".jpg" << true << QString(127, QChar(0xE9)).toUtf8();
    QTest::newRow("extension too long to keep")
        << "a." + QString(300, u'x') << false << QByteArray("a." + QByteArray(253, 'x'));
}

void TestNameDisambiguator::diskName()
{
    QFETCH(QString, filename);
    QFETCH(bool, isFolder);
    QFETCH(QByteArray, expected);
    const QByteArray name = NameDisambiguator::diskName(filename, isFolder);
    QCOMPARE(name, expected);
    QVERIFY(name.size() <= kMaxDiskNameBytes);
    QVERIFY(QString::fromUtf8(name).toUtf8() == name); // still valid UTF-8
}

using Entries = QList<NameDisambiguator::Entry>;
using Names = QHash<QString, QByteArray>;

void TestNameDisambiguator::uniqueNames_data()
{
    QTest::addColumn<Entries>("entries");
    QTest::addColumn<Names>("expected");

    QTest::newRow("numbers before the extension, by identifier")
        << Entries{{"c", "IMG_0001.JPG", false},
                   {"a", "IMG_0001.JPG", false},
                   {"b", "IMG_0001.JPG", false}}
        << Names{{"a", "IMG_0001.JPG"}, {"b", "IMG_0001 2.JPG"}, {"c", "IMG_0001 3.JPG"}};
    QTest::newRow("a real numbered name keeps it")
        << Entries{{"a", "x.jpg", false}, {"b", "x.jpg", false}, {"c", "x 2.jpg", false}}
        << Names{{"a", "x.jpg"}, {"b", "x 3.jpg"}, {"c", "x 2.jpg"}};
    QTest::newRow("folders are numbered at the end")
        << Entries{{"a", "Vacances 2.0", true}, {"b", "Vacances 2.0", true}}
        << Names{{"a", "Vacances 2.0"}, {"b", "Vacances 2.0 2"}};
    QTest::newRow("names equal once sanitised")
        << Entries{{"a", "a/b", false}, {"b", "a\u2215b", false}}
        << Names{{"a", "a\xE2\x88\x95"
                       "b"},
                 {"b", "a\xE2\x88\x95"
                       "b 2"}};
    QTest::newRow("case differs: no clash") << Entries{{"a", "A.jpg", false}, {"b", "a.jpg", false}}
                                            << Names{{"a", "A.jpg"}, {"b", "a.jpg"}};
}

void TestNameDisambiguator::uniqueNames()
{
    QFETCH(Entries, entries);
    QFETCH(Names, expected);
    QCOMPARE(NameDisambiguator::uniqueNames(entries), expected);
}

void TestNameDisambiguator::uniqueNamesIgnoreInputOrder()
{
    // Long names that only differ after the cut collide too; numbering must still fit.
    const QString longName = QString(260, u'n') + QStringLiteral(".jpg");
    Entries entries;
    for (int i = 0; i < 12; ++i)
        entries.append({QStringLiteral("id%1").arg(i, 2, 10, QChar(u'0')), longName, false});
    const Names forward = NameDisambiguator::uniqueNames(entries);
    std::reverse(entries.begin(), entries.end());
    QCOMPARE(NameDisambiguator::uniqueNames(entries), forward);
    const QList<QByteArray> names = forward.values();
    QCOMPARE(QSet<QByteArray>(names.begin(), names.end()).size(), 12);
    for (const QByteArray& n : names) {
        QVERIFY2(n.size() <= kMaxDiskNameBytes, n.constData());
        QVERIFY(n.endsWith(".jpg"));
    }
    QVERIFY(forward.value("id11").endsWith(" 12.jpg"));
}

void TestNameDisambiguator::reservedNamesAreNeverGiven()
{
    const Names names =
        NameDisambiguator::uniqueNames({{"a", ".Trash-1000", true}}, {QByteArray(".Trash-1000")});
    QCOMPARE(names.value("a"), QByteArray(".Trash-1000 2"));
}

QTEST_GUILESS_MAIN(TestNameDisambiguator)
#include "TestNameDisambiguator.moc"
