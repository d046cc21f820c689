// Item lookup: fixed folders and uploads without the server, deleted assets hidden, each
// server node described or reported missing, and year folders found past the first page.
#include "ExtensionTestSupport.h"

#include "DeletionTombstones.h"
#include "FileProviderError.h"

using namespace pixavella;
using namespace pixavella::testing;

class TestDriveExtensionLookup : public QObject {
    Q_OBJECT

private:
    ManualClock m_clock{utc("2025-01-10T12:00:00Z")};
    SmallLibrary m_lib;
    Uploads m_uploads;
    DriveExtension m_extension{FileProviderDomain{QStringLiteral("app.pixavella.fileprovider"),
                                                  QStringLiteral("Pixavella")}};

    Result<FileProviderItemRef> lookUp(const QString& identifier)
    {
        Answer<FileProviderItemRef> answer;
        const ProgressRef progress = m_extension.itemForIdentifier(identifier, answer.completion());
        if (!answer.wait())
            return Error{QStringLiteral("Test"), 0, QStringLiteral("no completion")};
        // The completion has run: a progress with units is complete.
        if (progress->totalUnitCount() > 0 && progress->completedUnitCount() != 1)
            return Error{QStringLiteral("Test"), 1, QStringLiteral("progress not complete")};
        return *answer.result;
    }
    QString replaced(QString text) const
    {
        for (auto it = m_lib.assets.cbegin(); it != m_lib.assets.cend(); ++it)
            text.replace(u'<' + it.key() + u'>', it.value());
        for (auto it = m_lib.albums.cbegin(); it != m_lib.albums.cend(); ++it)
            text.replace(u'<' + it.key() + u'>', it.value());
        return text;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_lib.start(QStringLiteral("v3")));
        m_uploads.setClock(&m_clock);
    }

    void init()
    {
        m_clock.advance(600);
        Uploads::clear();
        m_lib.server.reset();
        signIn(m_lib.server);
    }

    void localItemsNeedNoServer_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::newRow("root") << FileProviderContainer::root << QStringLiteral("Pixavella")
                              << FileProviderContainer::root;
        QTest::newRow("shared") << QStringLiteral("shared") << QStringLiteral("Mes albums partagés")
                                << FileProviderContainer::root;
        QTest::newRow("failed") << QStringLiteral("failed") << QStringLiteral("Envois échoués")
                                << QStringLiteral("photos");
        QTest::newRow("upload") << QStringLiteral("<upload>") << QStringLiteral("up.jpg")
                                << QStringLiteral("month:2024-03");
    }
    void localItemsNeedNoServer()
    {
        QFETCH(QString, identifier);
        QFETCH(QString, name);
        QFETCH(QString, parent);
        const QString upload = m_uploads.add(QStringLiteral("up.jpg"), utc("2024-03-01T00:00:00Z"));
        m_uploads.add(QStringLiteral("x.jpg"), std::nullopt, UploadQuarantine::Target::library(),
                      5);
        identifier.replace(QStringLiteral("<upload>"), QStringLiteral("pending:") + upload);
        signOut();

        const Result<FileProviderItemRef> item = lookUp(identifier);
        QVERIFY2(item.ok(), qPrintable(item.ok() ? QString() : item.error().description));
        QCOMPARE(item.value()->itemIdentifier(), identifier);
        QCOMPARE(item.value()->filename(), name);
        QCOMPARE(item.value()->parentItemIdentifier(), parent);
        QCOMPARE(apiRequests(m_lib.server), 0);
    }

    void failedFolderExistsOnlyWithGivenUpUploads()
    {
        m_uploads.add(QStringLiteral("a.jpg"), std::nullopt, UploadQuarantine::Target::library(),
                      4);
        QVERIFY(isFileProviderError(lookUp(QStringLiteral("failed")).error(),
                                    FileProviderErrorCode::noSuchItem));
        m_uploads.add(QStringLiteral("b.jpg"), std::nullopt, UploadQuarantine::Target::library(),
                      5);
        QVERIFY(lookUp(QStringLiteral("failed")).ok());
    }

    void serverItems_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("name"); // empty: no such item
        QTest::addColumn<QString>("parent");
        QTest::addColumn<int>("caps");
        QTest::newRow("library photo")
            << QStringLiteral("asset:<nov02.jpg>") << QStringLiteral("nov02.jpg")
            << QStringLiteral("month:2024-11") << 63;
        QTest::newRow("photo of own album")
            << QStringLiteral("ai:<Vacances>:<jul01.mp4>") << QStringLiteral("jul01.mp4")
            << QStringLiteral("album:<Vacances>") << 63;
        QTest::newRow("own album") << QStringLiteral("album:<Vacances>")
                                   << QStringLiteral("Vacances") << QStringLiteral("albums") << 59;
        QTest::newRow("shared album, editor")
            << QStringLiteral("salbum:<Famille>") << QStringLiteral("Famille")
            << QStringLiteral("shared") << 3;
        QTest::newRow("shared album, viewer")
            << QStringLiteral("salbum:<Mariage>") << QStringLiteral("Mariage")
            << QStringLiteral("shared") << 1;
        QTest::newRow("shared photo, editor")
            << QStringLiteral("si:<Famille>:<theirs1.jpg>") << QStringLiteral("theirs1.jpg")
            << QStringLiteral("salbum:<Famille>") << 51;
        QTest::newRow("shared photo, viewer")
            << QStringLiteral("si:<Mariage>:<theirs2.jpg>") << QStringLiteral("theirs2.jpg")
            << QStringLiteral("salbum:<Mariage>") << 1;
        QTest::newRow("photo not in that shared album")
            << QStringLiteral("si:<Famille>:<theirs2.jpg>") << QString() << QString() << 0;
        QTest::newRow("unknown photo")
            << QStringLiteral("asset:nope") << QString() << QString() << 0;
        QTest::newRow("unknown album")
            << QStringLiteral("album:nope") << QString() << QString() << 0;
        QTest::newRow("year") << QStringLiteral("year:2023") << QStringLiteral("2023")
                              << QStringLiteral("photos") << 3;
        QTest::newRow("month") << QStringLiteral("month:2024-03") << QStringLiteral("Mars")
                               << QStringLiteral("year:2024") << 3;
        QTest::newRow("month of an upload")
            << QStringLiteral("month:2020-06") << QStringLiteral("Juin")
            << QStringLiteral("year:2020") << 3;
        QTest::newRow("one-digit month")
            << QStringLiteral("month:2024-3") << QString() << QString() << 0;
        QTest::newRow("empty year") << QStringLiteral("year:2022") << QString() << QString() << 0;
        QTest::newRow("unparseable")
            << QStringLiteral("ai:only-one") << QString() << QString() << 0;
    }
    void serverItems()
    {
        QFETCH(QString, identifier);
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(int, caps);
        m_uploads.add(QStringLiteral("june.jpg"), utc("2020-06-01T00:00:00Z"));
        identifier = replaced(identifier);
        const Result<FileProviderItemRef> item = lookUp(identifier);
        if (name.isEmpty()) {
            QVERIFY(!item.ok());
            QVERIFY2(isFileProviderError(item.error(), FileProviderErrorCode::noSuchItem),
                     qPrintable(item.error().description));
            return;
        }
        QVERIFY2(item.ok(), qPrintable(item.ok() ? QString() : item.error().description));
        QCOMPARE(item.value()->itemIdentifier(), identifier);
        QCOMPARE(item.value()->filename(), name);
        QCOMPARE(item.value()->parentItemIdentifier(), replaced(parent));
        QCOMPARE(int(item.value()->capabilities()), caps);
    }

    void serverItemsNeedSignIn()
    {
        signOut();
        const Result<FileProviderItemRef> item =
            lookUp(QStringLiteral("asset:") + m_lib.asset("mar05.jpg"));
        QVERIFY(isFileProviderError(item.error(), FileProviderErrorCode::notAuthenticated));
    }

    void deletedAssetsAreMissing_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::newRow("library photo") << QStringLiteral("asset:<mar05.jpg>");
        QTest::newRow("same photo in an album") << QStringLiteral("ai:<Vacances>:<mar05.jpg>");
    }
    void deletedAssetsAreMissing()
    {
        QFETCH(QString, identifier);
        identifier = replaced(identifier);
        QVERIFY(lookUp(identifier).ok());
        DeletionTombstones::shared().recordAsset(m_lib.asset("mar05.jpg"));
        QVERIFY(isFileProviderError(lookUp(identifier).error(), FileProviderErrorCode::noSuchItem));
        m_clock.advance(DeletionTombstones::ttl);
        QVERIFY(lookUp(identifier).ok());
    }

    void trashedPhotoIsMissing()
    {
        const QString id = m_lib.server.addAsset(assetFor(
            kMe, QStringLiteral("t.jpg"), QStringLiteral("2024-05-01T00:00:00.000Z"), true));
        QVERIFY(isFileProviderError(lookUp(QStringLiteral("asset:") + id).error(),
                                    FileProviderErrorCode::noSuchItem));
    }

    // More than one page of assets, the oldest year on the second page only.
    void yearPastTheFirstPageExists()
    {
        ImmichDoubleProcess big;
        QVERIFY(big.start({QStringLiteral("--seed"), QStringLiteral("1499")}));
        big.addAsset(
            {{QStringLiteral("originalFileName"), QStringLiteral("old.jpg")},
             {QStringLiteral("base64"), QStringLiteral("b2xk")},
             {QStringLiteral("fileCreatedAt"), QStringLiteral("2010-06-15T12:00:00.000Z")}});
        big.reset();
        signIn(big, QStringLiteral("demo-api-key"));

        QVERIFY(lookUp(QStringLiteral("year:2010")).ok());
        QCOMPARE(apiRequests(big, QStringLiteral("/api/search/metadata")), 2);
        QCOMPARE(lookUp(QStringLiteral("month:2010-06")).value()->filename(),
                 QStringLiteral("Juin"));
        QVERIFY(isFileProviderError(lookUp(QStringLiteral("year:2009")).error(),
                                    FileProviderErrorCode::noSuchItem));
        // The whole list went to the fetch cache.
        QCOMPARE(apiRequests(big, QStringLiteral("/api/search/metadata")), 2);
    }
};

QTEST_GUILESS_MAIN(TestDriveExtensionLookup)
#include "TestDriveExtensionLookup.moc"
