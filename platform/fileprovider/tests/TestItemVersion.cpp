#include "FileProviderItemProtocol.h"

#include <QTest>

using namespace pixavella;

// The two tokens share one buffer; whatever they hold, each must read back as written, and two
// versions must be equal exactly when both their tokens are.
class TestItemVersion : public QObject {
    Q_OBJECT

private slots:
    void tokensReadBackAndCompareAsWritten_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QByteArray>("metadata");
        QTest::newRow("photo: metadata starts with content")
            << QByteArray("Zk9vYmFy+/=") << QByteArray("Zk9vYmFy+/=|IMG_1.jpg");
        QTest::newRow("folder: unrelated tokens") << QByteArray("folder") << QByteArray("1");
        QTest::newRow("equal tokens") << QByteArray("v1") << QByteArray("v1");
        QTest::newRow("empty content") << QByteArray() << QByteArray("m");
        QTest::newRow("empty metadata") << QByteArray("c") << QByteArray();
        QTest::newRow("both empty") << QByteArray() << QByteArray();
        QTest::newRow("non-ASCII name") << QByteArray("c") << QByteArray("c|\xc3\xa9t\xc3\xa9.jpg");
        QTest::newRow("zero bytes") << QByteArray("a\0b", 3) << QByteArray("a\0b\0c", 5);
    }

    void tokensReadBackAndCompareAsWritten()
    {
        QFETCH(QByteArray, content);
        QFETCH(QByteArray, metadata);
        const FileProviderItemVersion version(content, metadata);
        QCOMPARE(version.contentVersion(), content);
        QCOMPARE(version.metadataVersion(), metadata);
        QVERIFY(version == FileProviderItemVersion(content, metadata));

        // The same bytes split elsewhere are another version.
        const QByteArray joined = content + metadata;
        for (qsizetype cut = 0; cut <= joined.size(); ++cut) {
            const FileProviderItemVersion other(joined.left(cut), joined.mid(cut));
            QCOMPARE(other == version, cut == content.size());
        }
        const QByteArray held = metadata.startsWith(content) ? metadata : QByteArray();
        for (qsizetype cut = 0; cut <= held.size(); ++cut) {
            const FileProviderItemVersion other(held.left(cut), held);
            QCOMPARE(other == version, cut == content.size() && held == metadata);
        }

        FileProviderItemVersion changed = version;
        changed.setMetadataVersion(metadata + "|renamed");
        QCOMPARE(changed.contentVersion(), content);
        QVERIFY(!(changed == version));
        changed.setContentVersion(content + "2");
        QCOMPARE(changed.metadataVersion(), metadata + "|renamed");
    }
};

QTEST_GUILESS_MAIN(TestItemVersion)
#include "TestItemVersion.moc"
