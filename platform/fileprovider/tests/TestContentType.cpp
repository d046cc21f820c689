#include "ContentType.h"

#include <QTest>

using namespace pixavella;

class TestContentType : public QObject {
    Q_OBJECT
private slots:
    void extensionTypes_data();
    void extensionTypes();
    void filenameExtensions_data();
    void filenameExtensions();
    void abstractTypes();
};

void TestContentType::extensionTypes_data()
{
    QTest::addColumn<QString>("extension");
    QTest::addColumn<bool>("known");
    QTest::addColumn<bool>("image");
    QTest::addColumn<bool>("movie");
    QTest::addColumn<bool>("audiovisual");

    QTest::newRow("HEIC upper case") << "HEIC" << true << true << false << false;
    QTest::newRow("jpg") << "jpg" << true << true << false << false;
    QTest::newRow("MOV") << "MOV" << true << false << true << true;
    QTest::newRow("mp4") << "mp4" << true << false << true << true;
    QTest::newRow("m4a") << "m4a" << true << false << false << true;
    QTest::newRow("pdf") << "pdf" << true << false << false << false;
    QTest::newRow("unknown") << "zzqx" << false << false << false << false;
    QTest::newRow("empty") << "" << false << false << false << false;
}

void TestContentType::extensionTypes()
{
    QFETCH(QString, extension);
    QFETCH(bool, known);
    const auto type = ContentType::fromFilenameExtension(extension);
    QCOMPARE(type.has_value(), known);
    if (!type)
        return;
    QVERIFY(type->conformsTo(ContentKind::data));
    QVERIFY(!type->conformsTo(ContentKind::folder));
    QTEST(type->conformsTo(ContentKind::image), "image");
    QTEST(type->conformsTo(ContentKind::movie), "movie");
    QTEST(type->conformsTo(ContentKind::audiovisual), "audiovisual");
}

void TestContentType::filenameExtensions_data()
{
    QTest::addColumn<QString>("filename");
    QTest::addColumn<QString>("extension");
    QTest::newRow("plain") << "IMG_1.HEIC"
                           << "HEIC";
    QTest::newRow("two dots") << "a.tar.gz"
                              << "gz";
    QTest::newRow("none") << "IMG_1"
                          << "";
    QTest::newRow("trailing dot") << "IMG_1."
                                  << "";
    QTest::newRow("hidden file") << ".profile"
                                 << "";
    QTest::newRow("dot in folder only") << "dir.d/IMG"
                                        << "";
}

void TestContentType::filenameExtensions()
{
    QFETCH(QString, filename);
    QTEST(filenameExtension(filename), "extension");
}

void TestContentType::abstractTypes()
{
    QVERIFY(ContentType::folder().conformsTo(ContentKind::folder));
    QVERIFY(!ContentType::folder().conformsTo(ContentKind::data));
    QVERIFY(ContentType::image().conformsTo(ContentKind::image));
    QVERIFY(ContentType::movie().conformsTo(ContentKind::audiovisual));
    QVERIFY(!ContentType::data().conformsTo(ContentKind::image));
}

QTEST_GUILESS_MAIN(TestContentType)
#include "TestContentType.moc"
