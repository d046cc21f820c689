// The double's multipart/form-data parser, on the bodies clients send and on broken ones.
#include "MultipartForm.h"

#include <QTest>

using immichdouble::MultipartForm;

class TestMultipartForm : public QObject {
    Q_OBJECT

private slots:
    void parsesFieldsAndFile_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("fileName");
        QTest::addColumn<QByteArray>("data");

        const QByteArray type = "multipart/form-data; boundary=Boundary-X";
        const QByteArray binary = QByteArray(1, '\0') + "\r\n--Boundary\r\n--Boundary-";
        QTest::newRow("fields then file, binary data holding CR LF and dashes")
            << type
            << "--Boundary-X\r\nContent-Disposition: form-data; name=\"fileCreatedAt\"\r\n\r\n"
               "2024-05-01T10:11:12Z\r\n"
               "--Boundary-X\r\nContent-Disposition: form-data; name=\"assetData\"; "
               "filename=\"IMG_1.HEIC\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
                   binary + "\r\n--Boundary-X--\r\n"
            << QStringLiteral("IMG_1.HEIC") << binary;
        QTest::newRow("quoted boundary, preamble, escaped quote, epilogue")
            << QByteArray("Multipart/Form-Data; charset=utf-8; boundary=\"b q\"")
            << QByteArray(
                   "preamble\r\n--b q\r\nContent-Disposition: form-data; "
                   "name=\"fileCreatedAt\"\r\n\r\n"
                   "2024-05-01T10:11:12Z\r\n--b q\r\ncontent-disposition: form-data; "
                   "name=assetData; filename=\"a \\\"b\\\".jpg\"\r\n\r\nxyz\r\n--b q--\r\nepilogue")
            << QStringLiteral("a \"b\".jpg") << QByteArray("xyz");
        QTest::newRow("extended file name wins")
            << type
            << QByteArray(
                   "--Boundary-X\r\nContent-Disposition: form-data; name=\"fileCreatedAt\"\r\n\r\n"
                   "2024-05-01T10:11:12Z\r\n--Boundary-X\r\nContent-Disposition: form-data; "
                   "name=\"assetData\"; filename=\"e.jpg\"; "
                   "filename*=UTF-8''%C3%A9t%C3%A9.jpg\r\n\r\n"
                   "\r\n--Boundary-X--")
            << QStringLiteral("été.jpg") << QByteArray();
    }

    void parsesFieldsAndFile()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(QString, fileName);
        QFETCH(QByteArray, data);

        const auto form = MultipartForm::parse(contentType, body);
        QVERIFY(form);
        QCOMPARE(form->parts().size(), 2);
        QCOMPARE(form->field(QStringLiteral("fileCreatedAt")),
                 QStringLiteral("2024-05-01T10:11:12Z"));
        const auto* file = form->part(QStringLiteral("assetData"));
        QVERIFY(file);
        QCOMPARE(file->fileName, fileName);
        QCOMPARE(file->data, data);
        QVERIFY(!form->field(QStringLiteral("assetData"))); // a file is no field
    }

    // Backslashes escape only a quote or a backslash; percent signs are decoded only in the
    // RFC 5987 form.
    void readsFileNamesAsTheServer_data()
    {
        QTest::addColumn<QByteArray>("disposition");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("lone backslash")
            << QByteArray("filename=\"back\\slash.jpg\"") << QStringLiteral("back\\slash.jpg");
        QTest::newRow("escaped backslash")
            << QByteArray("filename=\"double\\\\bs.jpg\"") << QStringLiteral("double\\bs.jpg");
        QTest::newRow("escaped quote")
            << QByteArray("filename=\"q\\\"uote.jpg\"") << QStringLiteral("q\"uote.jpg");
        QTest::newRow("percent kept")
            << QByteArray("filename=\"pct%5Cbs.jpg\"") << QStringLiteral("pct%5Cbs.jpg");
        QTest::newRow("extended, percent-decoded")
            << QByteArray("filename*=UTF-8''back%5Cslash.jpg") << QStringLiteral("back\\slash.jpg");
        QTest::newRow("UTF-8 kept byte for byte")
            << QByteArray("filename=\"\xf0\x9f\x93\xb7 e\xcc\x81te\xcc\x81.jpg\"")
            << QString::fromUtf8("\xf0\x9f\x93\xb7 e\xcc\x81te\xcc\x81.jpg");
    }

    void readsFileNamesAsTheServer()
    {
        QFETCH(QByteArray, disposition);
        QFETCH(QString, fileName);
        const QByteArray body = "--B\r\nContent-Disposition: form-data; name=\"assetData\"; " +
                                disposition + "\r\n\r\nx\r\n--B--\r\n";
        const auto form = MultipartForm::parse("multipart/form-data; boundary=B", body);
        QVERIFY(form);
        QCOMPARE(form->part(QStringLiteral("assetData"))->fileName, fileName);
    }

    void refusesMalformedBodies_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        const QByteArray type = "multipart/form-data; boundary=B";
        const QByteArray part = "--B\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nv";
        QTest::newRow("no boundary") << QByteArray("multipart/form-data") << part + "\r\n--B--";
        QTest::newRow("not multipart")
            << QByteArray("application/json; boundary=B") << part + "\r\n--B--";
        QTest::newRow("no closing delimiter") << type << part;
        QTest::newRow("no opening delimiter") << type << QByteArray("hello\r\n");
        QTest::newRow("headers never end")
            << type << QByteArray("--B\r\nContent-Disposition: form-data");
        QTest::newRow("part without disposition")
            << type << QByteArray("--B\r\nX: y\r\n\r\nv\r\n--B--");
        QTest::newRow("disposition without name")
            << type << QByteArray("--B\r\nContent-Disposition: form-data\r\n\r\nv\r\n--B--");
    }

    void refusesMalformedBodies()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QVERIFY(!MultipartForm::parse(contentType, body));
    }
};

QTEST_GUILESS_MAIN(TestMultipartForm)
#include "TestMultipartForm.moc"
