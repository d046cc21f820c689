// The extension's read requests. Item lookup: fixed folders and uploads without the server,
// deleted assets hidden, each server node described or reported missing, year folders found
// past the first page. Contents: originals downloaded, uploads served from the quarantine.
// Thumbnails: one answer per identifier, then one completion.
#include "ExtensionTestSupport.h"

#include "DeletionTombstones.h"
#include "FileProviderError.h"
#include "PedagogicalNoticeQueue.h"
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

// Records the per-thumbnail answers and the final completion.
struct Thumbnails {
    QMutex mutex;
    QStringList order;
    QHash<QString, Result<QByteArray>> answers;
    int finals = 0;
    qsizetype answeredBeforeFinal = -1;
    std::optional<Error> finalError;
    QSemaphore finished;

    FileProviderReplicatedExtension::PerThumbnailCompletion perThumbnail()
    {
        return [this](const FileProviderItemIdentifier& id, Result<QByteArray> bytes) {
            QMutexLocker lock(&mutex);
            order.append(id);
            answers.insert(id, std::move(bytes));
        };
    }
    FileProviderReplicatedExtension::ThumbnailsCompletion completion()
    {
        return [this](Result<void> r) {
            {
                QMutexLocker lock(&mutex);
                ++finals;
                answeredBeforeFinal = order.size();
                if (!r.ok())
                    finalError = r.error();
            }
            finished.release();
        };
    }
};

} // namespace

class TestDriveExtensionRequests : public QObject {
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

    std::pair<Result<FileProviderFetchedContents>, ProgressRef> fetch(const QString& identifier)
    {
        Answer<FileProviderFetchedContents> answer;
        ProgressRef progress =
            m_extension.fetchContents(identifier, std::nullopt, answer.completion());
        if (!answer.wait())
            return {Error{QStringLiteral("Test"), 0, QStringLiteral("no completion")}, progress};
        return {*answer.result, progress};
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
        PedagogicalNoticeQueue::shared().drain();
        signIn(m_lib.server);
    }

    void localItemsNeedNoServer_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::newRow("root") << FileProviderContainer::root << QStringLiteral("Pixavella")
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
        const auto row = [](const char* identifier, const char* name, const char* parent,
                            int caps) {
            QTest::newRow(identifier) << identifier << name << parent << caps;
        };
        row("asset:<nov02.jpg>", "nov02.jpg", "month:2024-11", 63);
        row("ai:<Vacances>:<jul01.mp4>", "jul01.mp4", "album:<Vacances>", 63);
        row("album:<Vacances>", "Vacances", "albums", 59);
        row("salbum:<Famille>", "Famille", "shared", 3);
        row("salbum:<Mariage>", "Mariage", "shared", 1);
        row("si:<Famille>:<theirs1.jpg>", "theirs1.jpg", "salbum:<Famille>", 51);
        row("si:<Mariage>:<theirs2.jpg>", "theirs2.jpg", "salbum:<Mariage>", 1);
        row("year:2023", "2023", "photos", 3);
        row("month:2024-03", "Mars", "year:2024", 3);
        row("month:2020-06", "Juin", "year:2020", 3); // an upload's month only
        // No such item:
        row("si:<Famille>:<theirs2.jpg>", "", "", 0);
        row("asset:nope", "", "", 0);
        row("month:2024-3", "", "", 0);
        row("year:2022", "", "", 0);
        row("ai:only-one", "", "", 0);
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

    void uploadServedFromQuarantine()
    {
        const QString entry = m_uploads.add(QStringLiteral("up.jpg"), utc("2024-03-01T00:00:00Z"),
                                            UploadQuarantine::Target::library(), 0, "jpeg bytes");
        SharedSettings::setServerURL(QStringLiteral("http://127.0.0.1:9")); // nothing answers

        const auto [contents, progress] = fetch(QStringLiteral("pending:") + entry);
        QVERIFY2(contents.ok(),
                 qPrintable(contents.ok() ? QString() : contents.error().description));
        QCOMPARE(readAll(contents.value().path), QByteArray("jpeg bytes"));
        QCOMPARE(contents.value().item->itemIdentifier(), QStringLiteral("pending:") + entry);
        QCOMPARE(contents.value().item->parentItemIdentifier(), QStringLiteral("month:2024-03"));

        // The framework takes the file it is given; the upload must keep its own.
        QVERIFY(QFile::remove(contents.value().path));
        const std::optional<QString> payload = UploadQuarantine::shared().payloadURL(entry);
        QVERIFY(payload);
        QCOMPARE(readAll(*payload), QByteArray("jpeg bytes"));
        QCOMPARE(UploadQuarantine::shared().list().size(), 1);
    }

    void photoOriginalIsDownloaded()
    {
        const QString identifier =
            QStringLiteral("ai:") + m_lib.album("Vacances") + u':' + m_lib.asset("mar05.jpg");
        const auto [contents, progress] = fetch(identifier);
        QVERIFY2(contents.ok(),
                 qPrintable(contents.ok() ? QString() : contents.error().description));
        QCOMPARE(readAll(contents.value().path), (kMe + QStringLiteral("mar05.jpg")).toUtf8());
        QFile::remove(contents.value().path);
        QCOMPARE(contents.value().item->itemIdentifier(), identifier);
        QCOMPARE(contents.value().item->parentItemIdentifier(),
                 QStringLiteral("album:") + m_lib.album("Vacances"));
        QCOMPARE(progress->totalUnitCount(), 100);
        QCOMPARE(progress->fractionCompleted(), 1.0);
        QCOMPARE(PedagogicalNoticeQueue::shared().drain(),
                 QList<PedagogicalNotice>{PedagogicalNotice::materialize});
        SyncActivity::shared().waitForQueue();
        QVERIFY(!SyncActivity::shared().isHeartbeatRunning());
    }

    void missingContents_data()
    {
        QTest::addColumn<QString>("identifier");
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<int>("code");
        QTest::newRow("folder") << QStringLiteral("photos") << true
                                << FileProviderErrorCode::noSuchItem;
        QTest::newRow("unknown photo")
            << QStringLiteral("asset:nope") << true << FileProviderErrorCode::noSuchItem;
        QTest::newRow("unknown upload")
            << QStringLiteral("pending:nope") << true << FileProviderErrorCode::noSuchItem;
        QTest::newRow("photo, signed out")
            << QStringLiteral("asset:x") << false << FileProviderErrorCode::notAuthenticated;
    }
    void missingContents()
    {
        QFETCH(QString, identifier);
        QFETCH(bool, signedIn);
        QFETCH(int, code);
        if (!signedIn)
            signOut();
        const auto [contents, progress] = fetch(identifier);
        QVERIFY(!contents.ok());
        QVERIFY2(isFileProviderError(contents.error(), code),
                 qPrintable(contents.error().description));
        // A download counted as started is counted as ended.
        SyncActivity::shared().waitForQueue();
        QVERIFY(!SyncActivity::shared().isHeartbeatRunning());
    }

    void failedDownloadPassesTheErrorOn()
    {
        m_lib.server.fail(500, 1,
                          QStringLiteral("/api/assets/") + m_lib.asset("nov02.jpg") +
                              QStringLiteral("/original"));
        const auto [contents, progress] =
            fetch(QStringLiteral("asset:") + m_lib.asset("nov02.jpg"));
        QVERIFY(!contents.ok());
        QCOMPARE(contents.error().domain, ErrorDomain::Client);
        QCOMPARE(contents.error().code, 500);
    }

    void thumbnailsAnswerEachIdentifierOnce()
    {
        const QString upload = m_uploads.add(QStringLiteral("u.jpg"), std::nullopt);
        const QString broken = QStringLiteral("asset:") + m_lib.asset("jul01.mp4");
        m_lib.server.fail(500, 1, QStringLiteral("/api/assets/") + m_lib.asset("jul01.mp4"));
        const QStringList ids{QStringLiteral("photos"),
                              QStringLiteral("asset:") + m_lib.asset("mar05.jpg"),
                              QStringLiteral("month:2024-03"),
                              QStringLiteral("si:") + m_lib.album("Famille") + u':' +
                                  m_lib.asset("theirs1.jpg"),
                              QStringLiteral("pending:") + upload,
                              broken,
                              QStringLiteral("garbage")};
        Thumbnails t;
        const ProgressRef progress =
            m_extension.fetchThumbnails(ids, QSize(256, 256), t.perThumbnail(), t.completion());
        QCOMPARE(progress->totalUnitCount(), ids.size());
        QVERIFY(t.finished.tryAcquire(1, 30'000));
        QMutexLocker lock(&t.mutex);
        QCOMPARE(t.finals, 1);
        QCOMPARE(t.answeredBeforeFinal, ids.size());
        QVERIFY(!t.finalError);
        QCOMPARE(t.order.size(), ids.size());
        QCOMPARE(QSet<QString>(t.order.cbegin(), t.order.cend()).size(), ids.size());
        for (const QString& id : ids) {
            const Result<QByteArray>& answer = t.answers.value(id, QByteArray("unset"));
            const bool photo =
                id.startsWith(QLatin1String("asset:")) || id.startsWith(QLatin1String("si:"));
            if (id == broken) {
                QVERIFY(!answer.ok());
                QCOMPARE(answer.error().code, 500);
            } else if (photo) {
                QVERIFY2(answer.ok() && !answer.value().isEmpty(), qPrintable(id));
            } else {
                QVERIFY2(answer.ok() && answer.value().isEmpty(), qPrintable(id));
            }
        }
        QCOMPARE(progress->completedUnitCount(), ids.size());
    }
};

QTEST_GUILESS_MAIN(TestDriveExtensionRequests)
#include "TestDriveExtensionRequests.moc"
