// Contents requests the drive tests do not reach: uploads served from the quarantine without
// giving their payload away, and failed downloads ending the activity they started.
#include "ExtensionTestSupport.h"

#include "FileProviderError.h"
#include "SyncActivity.h"

#include <QFile>

using namespace pixavella;
using namespace pixavella::testing;

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
    DriveExtension m_extension{FileProviderDomain{QStringLiteral("app.pixavella.fileprovider"),
                                                  QStringLiteral("Pixavella")},
                               processStores()};

    Result<FileProviderFetchedContents> fetch(const QString& identifier)
    {
        Answer<FileProviderFetchedContents> answer;
        m_extension.fetchContents(identifier, std::nullopt, {}, answer.completion());
        if (!answer.wait())
            return Error{QStringLiteral("Test"), 0, QStringLiteral("no completion")};
        return *answer.result;
    }

    Result<FileProviderItemRef> lookUp(const QString& identifier)
    {
        Answer<FileProviderItemRef> answer;
        m_extension.itemForIdentifier(identifier, answer.completion());
        if (!answer.wait())
            return Error{QStringLiteral("Test"), 0, QStringLiteral("no completion")};
        return *answer.result;
    }

private slots:
    void initTestCase() { QVERIFY(m_lib.start(QStringLiteral("v3"))); }

    void init()
    {
        Uploads::clear();
        m_lib.server.reset();
        signIn(m_lib.server);
    }

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
        // Both pages, and a third asked for ahead of the second's answer.
        QTRY_COMPARE(apiRequests(big, QStringLiteral("/api/search/metadata")), 3);
        QCOMPARE(lookUp(QStringLiteral("month:2010-06")).value()->filename(),
                 QStringLiteral("Juin"));
        QVERIFY(isFileProviderError(lookUp(QStringLiteral("year:2009")).error(),
                                    FileProviderErrorCode::noSuchItem));
        // The whole list went to the fetch cache.
        QCOMPARE(apiRequests(big, QStringLiteral("/api/search/metadata")), 3);
    }

    void uploadServedFromQuarantine()
    {
        const QString entry = m_uploads.add(QStringLiteral("up.jpg"), utc("2024-03-01T00:00:00Z"),
                                            UploadQuarantine::Target::library(), 0, "jpeg bytes");
        SharedSettings::setServerURL(QStringLiteral("http://127.0.0.1:9")); // nothing answers

        const Result<FileProviderFetchedContents> contents =
            fetch(QStringLiteral("pending:") + entry);
        QVERIFY2(contents.ok(),
                 qPrintable(contents.ok() ? QString() : contents.error().description));
        QCOMPARE(readAll(contents.value().path), QByteArray("jpeg bytes"));
        QCOMPARE(contents.value().item->parentItemIdentifier(), QStringLiteral("month:2024-03"));

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
        QTest::newRow("folder") << QStringLiteral("photos") << true << none;
        QTest::newRow("unknown photo") << QStringLiteral("asset:nope") << true << none;
        QTest::newRow("unknown upload") << QStringLiteral("pending:nope") << true << none;
        QTest::newRow("signed out")
            << QStringLiteral("asset:x") << false << int(FileProviderErrorCode::notAuthenticated);
        QTest::newRow("server failure") << QStringLiteral("asset:<nov02.jpg>") << true << 500;
    }
    void failedContents()
    {
        QFETCH(QString, identifier);
        QFETCH(bool, signedIn);
        QFETCH(int, code);
        if (!signedIn)
            signOut();
        identifier.replace(QStringLiteral("<nov02.jpg>"), m_lib.asset("nov02.jpg"));
        if (code == 500)
            m_lib.server.fail(500, 1,
                              QStringLiteral("/api/assets/") + m_lib.asset("nov02.jpg") +
                                  QStringLiteral("/original"));
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
