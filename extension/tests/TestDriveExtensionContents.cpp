// Contents and thumbnails: originals downloaded for photos, uploads served from the
// quarantine without the server, and one answer per thumbnail with one final completion.
#include "ExtensionTestSupport.h"

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

class TestDriveExtensionContents : public QObject {
    Q_OBJECT

private:
    ManualClock m_clock{utc("2025-01-10T12:00:00Z")};
    SmallLibrary m_lib;
    Uploads m_uploads;
    DriveExtension m_extension{FileProviderDomain{QStringLiteral("app.pixavella.fileprovider"),
                                                  QStringLiteral("Pixavella")}};

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

    void uploadServedFromQuarantine_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::newRow("server down") << true;
        QTest::newRow("signed out") << false;
    }
    void uploadServedFromQuarantine()
    {
        QFETCH(bool, signedIn);
        const QString entry = m_uploads.add(QStringLiteral("up.jpg"), utc("2024-03-01T00:00:00Z"),
                                            UploadQuarantine::Target::library(), 0, "jpeg bytes");
        if (signedIn)
            SharedSettings::setServerURL(QStringLiteral("http://127.0.0.1:9"));
        else
            signOut();

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

    void thumbnailsNeedSignIn()
    {
        signOut();
        Thumbnails t;
        m_extension.fetchThumbnails({QStringLiteral("asset:x"), QStringLiteral("photos")},
                                    QSize(64, 64), t.perThumbnail(), t.completion());
        QVERIFY(t.finished.tryAcquire(1, 30'000));
        QVERIFY(t.finalError);
        QVERIFY(isFileProviderError(*t.finalError, FileProviderErrorCode::notAuthenticated));
        QVERIFY(t.order.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDriveExtensionContents)
#include "TestDriveExtensionContents.moc"
