#include "FreedesktopThumbnail.h"

#include "MountedHost.h"

#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace pixavella;

class TestFreedesktopThumbnail : public QObject {
    Q_OBJECT
private slots:
    void uriEscapesAsGio_data();
    void uriEscapesAsGio();
    void writesBothSizesWithTexts();
    void validityNeedsUriAndMtime();
};

void TestFreedesktopThumbnail::uriEscapesAsGio_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("space and hash") << "a b#c.jpg";
    QTest::newRow("path punctuation kept") << "!$&'()*+,-.:=@_~.jpg";
    QTest::newRow("escaped punctuation") << "\"%;<>?[\\]^`{|}.jpg";
    QTest::newRow("accents and division slash") << "Été\u2215Noël.jpg";
}

void TestFreedesktopThumbnail::uriEscapesAsGio()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QString path = dir.path() + u'/' + name;
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    // gio prints the URI GLib builds for a path; the thumbnail's name hangs on it.
    const ToolRun gio = runTool(QStringLiteral("gio"), {QStringLiteral("info"), path});
    QCOMPARE(gio.exitCode, 0);
    QByteArray gioUri;
    for (const QByteArray& line : gio.out.split('\n'))
        if (line.startsWith("uri: "))
            gioUri = line.mid(5);
    QCOMPARE(FreedesktopThumbnail::fileUri(QFile::encodeName(path)), gioUri);
}

void TestFreedesktopThumbnail::writesBothSizesWithTexts()
{
    QTemporaryDir root;
    QImage image(1000, 500, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    // Longer than 40 characters: Qt would compress this text, GLib would not read it.
    const QByteArray uri = "file:///home/user/Library/CloudStorage/Pixavella-Pixavella/x%20y.jpg";
    QVERIFY(FreedesktopThumbnail::write(root.path(), uri, 1'700'000'100, image));

    for (const auto& [flavor, size] : {std::pair{"normal", 128}, std::pair{"large", 256}}) {
        const QString path = FreedesktopThumbnail::pathFor(root.path(), flavor, uri);
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        const QByteArray png = file.readAll();
        const auto texts = FreedesktopThumbnail::textChunks(png);
        QCOMPARE(texts.value("Thumb::URI"), uri);
        QCOMPARE(texts.value("Thumb::MTime"), QByteArray("1700000100"));
        QImage decoded;
        QVERIFY(decoded.loadFromData(png, "PNG"));
        QCOMPARE(decoded.size(), QSize(size, size / 2));
    }
}

void TestFreedesktopThumbnail::validityNeedsUriAndMtime()
{
    QTemporaryDir root;
    QImage small(20, 10, QImage::Format_RGB32);
    small.fill(Qt::red);
    const QByteArray uri = "file:///m/a.jpg";
    QVERIFY(FreedesktopThumbnail::write(root.path(), uri, 42, small));
    const QString normal = FreedesktopThumbnail::pathFor(root.path(), "normal", uri);
    QVERIFY(FreedesktopThumbnail::isValid(normal, uri, 42));
    QVERIFY(!FreedesktopThumbnail::isValid(normal, uri, 43));
    QVERIFY(!FreedesktopThumbnail::isValid(normal, "file:///m/b.jpg", 42));
    QVERIFY(!FreedesktopThumbnail::isValid(root.path() + "/missing.png", uri, 42));
    // Never enlarged.
    QImage decoded(normal);
    QCOMPARE(decoded.size(), QSize(20, 10));
}

QTEST_GUILESS_MAIN(TestFreedesktopThumbnail)
#include "TestFreedesktopThumbnail.moc"
