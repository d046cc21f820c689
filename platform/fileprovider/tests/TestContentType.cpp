// The type a dropped file is judged by, read from its name alone.
#include "ContentType.h"

#include <QTest>

using namespace pixavella;

class TestContentType : public QObject {
    Q_OBJECT
private slots:
    void typesFromNames_data()
    {
        QTest::addColumn<QString>("filename");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("kinds"); // image, movie, audiovisual; "-": no type known
        const auto row = [](const char* name, const char* extension, const char* kinds) {
            QTest::newRow(name) << name << extension << kinds;
        };
        row("IMG_1.HEIC", "HEIC", "image");
        row("clip.MOV", "MOV", "movie,audiovisual");
        row("voice.m4a", "m4a", "audiovisual");
        row("facture.pdf", "pdf", "");
        row("a.tar.zzqx", "zzqx", "-");
        row("IMG_1.", "", "-");
        row(".profile", "", "-");
        row("dir.d/IMG", "", "-");
    }
    void typesFromNames()
    {
        QFETCH(QString, filename);
        QFETCH(QString, kinds);
        QTEST(filenameExtension(filename), "extension");
        const auto type = ContentType::fromFilenameExtension(filenameExtension(filename));
        QCOMPARE(type.has_value(), kinds != u"-");
        // Asked again, from what was kept.
        QVERIFY(ContentType::fromFilenameExtension(filenameExtension(filename)) == type);
        if (!type)
            return;
        QVERIFY(type->conformsTo(ContentKind::data));
        QVERIFY(!type->conformsTo(ContentKind::folder));
        QStringList found;
        if (type->conformsTo(ContentKind::image))
            found << "image";
        if (type->conformsTo(ContentKind::movie))
            found << "movie";
        if (type->conformsTo(ContentKind::audiovisual))
            found << "audiovisual";
        QCOMPARE(found.join(u','), kinds);
    }
};

QTEST_GUILESS_MAIN(TestContentType)
#include "TestContentType.moc"
