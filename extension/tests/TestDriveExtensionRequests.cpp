// Contents requests the drive tests do not reach: uploads served from the quarantine without
// giving their payload away, and failed downloads ending the activity they started.
#include "ExtensionTestSupport.h"

#include "FileProviderError.h"
#include "SyncActivity.h"

#include <QFile>

using namespace pixavella;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDriveExtensionRequests : public QObject {
    Q_OBJECT

private:
    SmallLibrary m_lib;
    Uploads m_uploads;
    DriveExtension m_extension{FileProviderDomain{u"app.pixavella.fileprovider"_s, u"Pixavella"_s},
                               processStores()};

    Result<FileProviderFetchedContents> fetch(const QString& identifier)
    {
        Awaited<FileProviderFetchedContents> answer;
        m_extension.fetchContents(identifier, std::nullopt, {}, answer.completion());
        return answer.wait();
    }

    Result<FileProviderItemRef> lookUp(const QString& identifier)
    {
        Awaited<FileProviderItemRef> answer;
        m_extension.itemForIdentifier(identifier, answer.completion());
        return answer.wait();
    }

private slots:
    void initTestCase() { QVERIFY(m_lib.start(u"v3"_s)); }

    void init()
    {
        Uploads::clear();
        m_lib.server.reset();
        signIn(m_lib.server);
    }

    void yearPastTheFirstPageExists()
    {
        ImmichDoubleProcess big;
        QVERIFY(big.start({u"--seed"_s, u"1499"_s}));
        big.addAsset({{u"originalFileName"_s, u"old.jpg"_s},
                      {u"base64"_s, u"b2xk"_s},
                      {u"fileCreatedAt"_s, u"2010-06-15T12:00:00.000Z"_s}});
        big.reset();
        signIn(big, u"demo-api-key"_s);

        QVERIFY(lookUp(u"year:2010"_s).ok());
        // Both pages, and a third asked for ahead of the second's answer.
        QTRY_COMPARE(apiRequests(big, u"/api/search/metadata"_s), 3);
        QCOMPARE(lookUp(u"month:2010-06"_s).value()->filename(), u"Juin"_s);
        QVERIFY(
            isFileProviderError(lookUp(u"year:2009"_s).error(), FileProviderErrorCode::noSuchItem));
        // The whole list went to the fetch cache.
        QCOMPARE(apiRequests(big, u"/api/search/metadata"_s), 3);
    }

    void uploadServedFromQuarantine()
    {
        const QString entry = m_uploads.add(u"up.jpg"_s, utc("2024-03-01T00:00:00Z"),
                                            UploadQuarantine::Target::library(), 0, "jpeg bytes");
        SharedSettings::setServerURL(u"http://127.0.0.1:9"_s); // nothing answers

        const Result<FileProviderFetchedContents> contents = fetch(u"pending:"_s + entry);
        QVERIFY2(contents.ok(),
                 qPrintable(contents.ok() ? QString() : contents.error().description));
        QCOMPARE(readAll(contents.value().path), QByteArray("jpeg bytes"));
        QCOMPARE(contents.value().item->parentItemIdentifier(), u"month:2024-03"_s);

        // The framework takes the file it is given; the upload must keep its own.
        QVERIFY(QFile::remove(contents.value().path));
        const std::optional<QString> payload = UploadQuarantine::shared().payloadURL(entry);
        QVERIFY(payload);
        QCOMPARE(readAll(*payload), QByteArray("jpeg bytes"));
    }

    void failedContents_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<int>("code");
        const int none = FileProviderErrorCode::noSuchItem;
        QTest::newRow("folder") << u"photos"_s << true << none;
        QTest::newRow("unknown photo") << u"asset:nope"_s << true << none;
        QTest::newRow("unknown upload") << u"pending:nope"_s << true << none;
        QTest::newRow("signed out")
            << u"asset:x"_s << false << int(FileProviderErrorCode::notAuthenticated);
        QTest::newRow("server failure") << u"asset:<nov02.jpg>"_s << true << 500;
    }
    void failedContents()
    {
        QFETCH(QString, identifier);
        QFETCH(bool, signedIn);
        QFETCH(int, code);
        if (!signedIn)
            signOut();
        identifier.replace(u"<nov02.jpg>"_s, m_lib.asset("nov02.jpg"));
        if (code == 500)
            m_lib.server.fail(500, 1,
                              u"/api/assets/"_s + m_lib.asset("nov02.jpg") + u"/original"_s);
        const Result<FileProviderFetchedContents> contents = fetch(identifier);
        QVERIFY(!contents.ok());
        if (code == 500)
            QCOMPARE(contents.error().code, 500);
        else
            QVERIFY2(isFileProviderError(contents.error(), code),
                     qPrintable(contents.error().description));
        // A download counted as started is counted as ended.
        driveStores().activity.waitForQueue();
        QVERIFY(!driveStores().activity.isHeartbeatRunning());
    }
};

QTEST_GUILESS_MAIN(TestDriveExtensionRequests)
#include "TestDriveExtensionRequests.moc"
