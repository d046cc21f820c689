#include "Clock.h"
#include "SharedSettings.h"
#include "Signals.h"
#include "StoreFiles.h"
#include "UploadQuarantine.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

namespace pixavella {
// Readable failures: QCOMPARE prints entries as their manifest.
char* toString(const UploadQuarantine::Entry& entry)
{
    return QTest::toString(UploadQuarantine::encodeManifest(entry));
}
} // namespace pixavella

using namespace pixavella;
using namespace Qt::StringLiterals;
using Entry = UploadQuarantine::Entry;
using Target = UploadQuarantine::Target;

namespace {

const char* kChildSwitch = "--enqueue-child";

QByteArray fileHash(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(&file);
    return hash.result();
}

} // namespace

class TestUploadQuarantine : public QObject {
    Q_OBJECT

    QTemporaryDir m_sources;

    QString root() const { return UploadQuarantine().directoryURL().value_or(QString()); }

    QString source(const QByteArray& content = "photo bytes")
    {
        const QString path = m_sources.filePath(u"source-%1"_s.arg(++m_counter));
        QFile file(path);
        file.open(QIODevice::WriteOnly);
        file.write(content);
        return path;
    }

    Entry enqueue(UploadQuarantine& quarantine, const QString& name = u"IMG.HEIC"_s)
    {
        Result<Entry> entry =
            quarantine.enqueue(source(), name, std::nullopt, Target::library(), std::nullopt);
        if (!entry)
            qFatal("enqueue failed: %s", qPrintable(entry.error().description));
        return entry.value();
    }

    QJsonObject manifest(const QString& id) const
    {
        return QJsonDocument::fromJson(
                   StoreFiles::read(root() + "/" + id + "/.manifest.json").value_or(QByteArray()))
            .object();
    }

    int m_counter = 0;

private slots:
    void init() { QDir(root()).removeRecursively(); }

    void enqueueKeepsThePayloadInsideItsEntry_data()
    {
        QTest::addColumn<QString>("dropped");
        QTest::addColumn<QString>("stored");
        const auto row = [](const char* dropped, const char* stored) {
            QTest::newRow(dropped) << QString(dropped) << QString(stored);
        };
        row("IMG_1234.HEIC", "IMG_1234.HEIC");
        row("../../etc/passwd", "passwd");
        // Each name the payload could not take is a check of its own.
        for (const char* name : {".manifest.json", "sub/.incoming", ".", "photos/..", "album/"})
            row(name, "payload");
    }
    void enqueueKeepsThePayloadInsideItsEntry()
    {
        QFETCH(QString, dropped);
        QFETCH(QString, stored);
        ManualClock clock;
        UploadQuarantine quarantine;
        const Result<Entry> entry =
            quarantine.enqueue(source("bytes of " + dropped.toUtf8()), dropped, std::nullopt,
                               Target::album(u"album-id"_s), u"Été"_s);
        QVERIFY(entry);
        QVERIFY(QRegularExpression("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")
                    .match(entry.value().id)
                    .hasMatch());
        QCOMPARE(QDir(root()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList{entry.value().id});
        const QString folder = root() + "/" + entry.value().id;
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                                        QDir::Name),
                 (QStringList{".manifest.json", stored})); // the dot sorts first
        QCOMPARE(quarantine.payloadURL(entry.value().id), folder + "/" + stored);
        QCOMPARE(StoreFiles::read(folder + "/" + stored), "bytes of " + dropped.toUtf8());
        QCOMPARE(quarantine.list(), QList<Entry>{entry.value()});
        QCOMPARE(entry.value().filename, dropped);
    }

    void manifestFormat()
    {
        std::atomic<int> posts = 0;
        const auto subscription =
            Signals::observe(QLatin1String(SignalName::quarantineChanged), [&posts] { ++posts; });
        ManualClock clock(QDateTime::fromMSecsSinceEpoch(1'714'552'200'750, Qt::UTC));
        UploadQuarantine quarantine;
        const QDateTime captured = QDateTime::fromMSecsSinceEpoch(1'700'000'000'999, Qt::UTC);
        const Result<Entry> entry = quarantine.enqueue(source(), "IMG.HEIC", captured,
                                                       Target::sharedAlbum("S1"), std::nullopt);
        QVERIFY(entry);
        const QString id = entry.value().id;
        QCOMPARE(manifest(id),
                 (QJsonObject{{"id", id},
                              {"filename", "IMG.HEIC"},
                              {"capturedAt", "2023-11-14T22:13:20Z"},
                              {"target", QJsonObject{{"sharedAlbum", QJsonObject{{"_0", "S1"}}}}},
                              {"enqueuedAt", "2024-05-01T08:30:00Z"},
                              {"attempts", 0},
                              {"payloadSize", 11}}));
        // Instants come back truncated to the second.
        const std::optional<Entry> read = quarantine.entry(id);
        QVERIFY(read);
        QCOMPARE(read->enqueuedAt, QDateTime(QDate(2024, 5, 1), QTime(8, 30), Qt::UTC));
        QCOMPARE(read->capturedAt, QDateTime::fromSecsSinceEpoch(1'700'000'000, Qt::UTC));

        quarantine.recordFailure(id, "Serveur injoignable", true);
        QCOMPARE(manifest(id).value("lastError").toString(), u"Serveur injoignable"_s);
        QCOMPARE(manifest(id).value("lastErrorWasNetwork").toBool(false), true);
        QCOMPARE(manifest(id).value("attempts").toInteger(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(posts > 0, 10'000);
    }

    void listShowsOnlyCompleteEntriesOldestFirst()
    {
        ManualClock clock;
        UploadQuarantine quarantine;
        clock.advance(1);
        const Entry later = enqueue(quarantine);
        clock.advance(-1);
        const Entry complete = enqueue(quarantine);
        const Entry vanished = enqueue(quarantine);
        const Entry badTarget = enqueue(quarantine);
        QVERIFY(QFile::remove(*quarantine.payloadURL(vanished.id)));
        // A creation in progress in the other process: payload staged, no manifest yet.
        QVERIFY(QDir(root()).mkpath("STAGING"));
        QFile staging(root() + "/STAGING/.incoming");
        QVERIFY(staging.open(QIODevice::WriteOnly));
        // A manifest that no longer decodes.
        QJsonObject broken = manifest(badTarget.id);
        broken["target"] =
            QJsonObject{{"library", QJsonObject{}}, {"album", QJsonObject{{"_0", "A"}}}};
        QVERIFY(StoreFiles::writeAtomically(root() + "/" + badTarget.id + "/.manifest.json",
                                            QJsonDocument(broken).toJson()));

        QCOMPARE(quarantine.list(), (QList<Entry>{complete, later}));
        QVERIFY(!QFileInfo::exists(root() + "/" + vanished.id));
        QVERIFY(QFileInfo::exists(root() + "/STAGING/.incoming"));
        QVERIFY(QFileInfo::exists(root() + "/" + badTarget.id));
        QCOMPARE(quarantine.entry(badTarget.id), std::nullopt);
        QCOMPARE(quarantine.payloadURL(badTarget.id), std::nullopt);
        QCOMPARE(quarantine.payloadURL("STAGING"), std::nullopt);
    }

    // A payload removed by hand after its entry was listed: the entry goes within half a minute.
    void payloadRemovedLaterIsFoundAtTheNextLook()
    {
        ManualClock clock;
        UploadQuarantine quarantine;
        const Entry entry = enqueue(quarantine);
        QCOMPARE(quarantine.list().size(), 1);
        QVERIFY(QFile::remove(*quarantine.payloadURL(entry.id)));
        clock.advance(31);
        QCOMPARE(quarantine.list(), QList<Entry>());
        QVERIFY(!QFileInfo::exists(root() + "/" + entry.id));
    }

    // Manifests are decoded once per process; a change made by the other process is still seen.
    void listingsSeeWhatTheOtherProcessChanged()
    {
        UploadQuarantine here;
        UploadQuarantine elsewhere;
        const Entry entry = enqueue(here);
        QCOMPARE(here.list().value(0).attempts, 0);
        elsewhere.recordFailure(entry.id, u"hors ligne"_s, true);
        QCOMPARE(here.list().value(0).attempts, 1);
        QCOMPARE(here.entry(entry.id)->lastError, u"hors ligne"_s);
        QVERIFY(elsewhere.remove(entry.id));
        QCOMPARE(here.list(), QList<Entry>());
        QCOMPARE(here.entry(entry.id), std::nullopt);
    }

    // Listings made one after the other read the queue once; what may have changed since is
    // read again.
    void recentListsAreReadAgainOnceSomethingChanged()
    {
        ManualClock clock;
        UploadQuarantine quarantine;
        const Entry entry = enqueue(quarantine);
        // The queue's folder as after a pause: older than the file system's clock tick.
        const auto pause = [this] {
            const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 5, 0}};
            QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(root()).constData(), times, 0), 0);
        };
        pause();
        QCOMPARE(quarantine.recentList().value(0).attempts, 0);
        // Another process rewrites the manifest: seen once the listing is a second old.
        Entry failed = entry;
        failed.attempts = 3;
        QVERIFY(StoreFiles::writeAtomically(root() + "/" + entry.id + "/.manifest.json",
                                            UploadQuarantine::encodeManifest(failed)));
        QCOMPARE(quarantine.recentList().value(0).attempts, 0);
        clock.advance(1);
        QCOMPARE(quarantine.recentList().value(0).attempts, 3);
        // A change by this process, or an entry anyone removed, is seen at once.
        UploadQuarantine().resetAttempts(entry.id);
        QCOMPARE(quarantine.recentList().value(0).attempts, 0);
        pause();
        QCOMPARE(quarantine.recentList().size(), 1);
        QVERIFY(QDir(root() + "/" + entry.id).removeRecursively());
        QCOMPARE(quarantine.recentList(), QList<Entry>());
    }

    void idsStayInsideTheQuarantine_data()
    {
        QTest::addColumn<QString>("id");
        QTest::newRow("parent") << "..";
        QTest::newRow("self") << ".";
        QTest::newRow("empty") << "";
        QTest::newRow("nested") << "../Quarantine";
        QTest::newRow("unknown") << "NO-SUCH-ENTRY";
    }
    void idsStayInsideTheQuarantine()
    {
        QFETCH(QString, id);
        ManualClock clock;
        UploadQuarantine quarantine;
        const Entry kept = enqueue(quarantine);
        quarantine.recordFailure(id, u"x"_s, false);
        quarantine.resetAttempts(id);
        const Result<void> removed = quarantine.remove(id);
        QVERIFY(!removed);
        QCOMPARE(removed.error().domain, ErrorDomain::File);
        QCOMPARE(quarantine.list(), QList<Entry>{kept});
        QVERIFY(quarantine.remove(kept.id));
        QVERIFY(quarantine.list().isEmpty());
        QVERIFY(QFileInfo(root()).isDir());
    }

    void enqueueFailuresLeaveNothing()
    {
        UploadQuarantine quarantine;
        Result<Entry> entry = quarantine.enqueue(m_sources.filePath("missing"), "a.jpg",
                                                 std::nullopt, Target::library(), {});
        QVERIFY(!entry);
        QCOMPARE(entry.error().domain, ErrorDomain::File);
        QCOMPARE(entry.error().code, ENOENT);
        QVERIFY(QDir(root()).isEmpty());

        const QByteArray saved = qgetenv("XDG_DATA_HOME");
        // A data folder below a plain file can never be created.
        qputenv("XDG_DATA_HOME", QFile::encodeName(source()) + "/data");
        entry = quarantine.enqueue(source(), "a.jpg", std::nullopt, Target::library(), {});
        const QList<Entry> listed = quarantine.list();
        qputenv("XDG_DATA_HOME", saved);
        QVERIFY(!entry);
        QCOMPARE(entry.error().domain, UploadQuarantine::errorDomain);
        QCOMPARE(entry.error().code, int(UploadQuarantine::QError::noContainer));
        QVERIFY(listed.isEmpty());
    }

    // A payload that no longer is what was dropped (cut short by a power loss after the
    // drop, or changed behind the quarantine's back) is told apart before anything is sent.
    void payloadsAreCheckedAgainstTheirManifest_data()
    {
        QTest::addColumn<bool>("withChecksum");
        QTest::addColumn<QByteArray>("payloadAfter");
        QTest::addColumn<bool>("matches");
        const QByteArray dropped = "photo bytes";
        QTest::newRow("untouched") << false << dropped << true;
        QTest::newRow("truncated") << false << QByteArray("photo") << false;
        QTest::newRow("same size, checksum recorded") << true << QByteArray("PHOTO BYTES") << false;
        QTest::newRow("same size, no checksum") << false << QByteArray("PHOTO BYTES") << true;
        QTest::newRow("untouched with checksum") << true << dropped << true;
    }
    void payloadsAreCheckedAgainstTheirManifest()
    {
        QFETCH(bool, withChecksum);
        QFETCH(QByteArray, payloadAfter);
        QFETCH(bool, matches);
        UploadQuarantine quarantine;
        UploadQuarantine::DropFacts facts;
        if (withChecksum)
            facts.checksum = QString::fromLatin1(
                QCryptographicHash::hash("photo bytes", QCryptographicHash::Sha1).toBase64());
        const Result<Entry> entry =
            quarantine.enqueue(source("photo bytes"), "p.jpg", std::nullopt, Target::library(),
                               std::nullopt, UploadQuarantine::Intake::copy, facts);
        QVERIFY(entry);
        QCOMPARE(entry.value().payloadSize, std::optional<qint64>(11));
        const QString payload = quarantine.payloadURL(entry.value().id).value();
        QFile file(payload);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(payloadAfter);
        file.close();
        QCOMPARE(quarantine.payloadMatches(quarantine.entry(entry.value().id).value(), payload),
                 matches);
    }

    void manifestsWithoutPayloadFactsStillLoad()
    {
        UploadQuarantine quarantine;
        const Result<Entry> entry =
            quarantine.enqueue(source(), "old.jpg", std::nullopt, Target::library(), std::nullopt);
        QVERIFY(entry);
        QJsonObject old = manifest(entry.value().id);
        old.remove("payloadSize");
        const QString path = root() + u'/' + entry.value().id + "/.manifest.json";
        QVERIFY(StoreFiles::writeAtomically(path, QJsonDocument(old).toJson()));
        const std::optional<Entry> read = quarantine.entry(entry.value().id);
        QVERIFY(read);
        QVERIFY(!read->payloadSize);
        QVERIFY(quarantine.payloadMatches(*read, quarantine.payloadURL(read->id).value()));
        old.insert("payloadSize", -1);
        QVERIFY(StoreFiles::writeAtomically(path, QJsonDocument(old).toJson()));
        QVERIFY(!quarantine.entry(entry.value().id));
    }

    // An entry linked in by this process is listed as another process reads it, and a manifest
    // replaced at once by another process is read again.
    void linkedEntriesListAsWritten()
    {
        ManualClock clock;
        UploadQuarantine quarantine;
        const Result<Entry> made =
            quarantine.enqueue(source(), "IMG.jpg", std::nullopt, Target::library(), "Été",
                               UploadQuarantine::Intake::link, {});
        QVERIFY(made);
        QCOMPARE(quarantine.list(), QList<Entry>{made.value()});
        QCOMPARE(UploadQuarantine().list(), QList<Entry>{made.value()});
        Entry failed = made.value();
        failed.attempts = 2;
        QVERIFY(StoreFiles::writeAtomically(root() + "/" + failed.id + "/.manifest.json",
                                            UploadQuarantine::encodeManifest(failed)));
        QCOMPARE(quarantine.list(), QList<Entry>{failed});
    }

    // A payload known not to be whole is kept, but only the user can send it.
    void entriesEnteredGivenUpWaitForTheUser()
    {
        UploadQuarantine quarantine;
        UploadQuarantine::DropFacts facts;
        facts.givenUpReason = "fichier incomplet";
        const Result<Entry> entry =
            quarantine.enqueue(source(), "cut.jpg", std::nullopt, Target::library(), std::nullopt,
                               UploadQuarantine::Intake::link, facts);
        QVERIFY(entry);
        const std::optional<Entry> read = quarantine.entry(entry.value().id);
        QCOMPARE(read->attempts, UploadQuarantine::kGivenUpAttempts);
        QCOMPARE(read->lastError, std::optional<QString>("fichier incomplet"));
        QCOMPARE(read->lastErrorWasNetwork, std::optional<bool>(false));
        // The network coming back does not send it; the user's retry does.
        QCOMPARE(quarantine.rearmNetworkFailures(UploadQuarantine::kGivenUpAttempts), 0);
        quarantine.resetAttempts(read->id);
        QCOMPARE(quarantine.entry(read->id)->attempts, 0);

        quarantine.giveUp(read->id, "abîmé");
        QCOMPARE(quarantine.entry(read->id)->attempts, UploadQuarantine::kGivenUpAttempts);
        QCOMPARE(quarantine.entry(read->id)->lastError, std::optional<QString>("abîmé"));
    }

    // A drive killed while it copies a dropped file must never leave an entry that the
    // application would upload half.
    void killedEnqueueNeverListsAPartialPayload_data()
    {
        QTest::addColumn<int>("delayAfterStagingMs");
        QTest::newRow("as soon as the copy starts") << 0;
        QTest::newRow("mid copy") << 100;
        QTest::newRow("after a while") << 1500;
        QTest::newRow("not killed") << -1;
    }
    void killedEnqueueNeverListsAPartialPayload()
    {
        QFETCH(int, delayAfterStagingMs);
        const QString big = m_sources.filePath("big.bin");
        if (!QFileInfo::exists(big)) {
            QFile file(big);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QByteArray chunk(1 << 20, Qt::Uninitialized);
            for (int mib = 0; mib < 200; ++mib) {
                for (int i = 0; i < chunk.size(); i += 4)
                    *reinterpret_cast<quint32*>(chunk.data() + i) = quint32(mib * 2654435761u + i);
                QCOMPARE(file.write(chunk), chunk.size());
            }
        }
        const QByteArray expectedHash = fileHash(big);

        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {kChildSwitch, big});
        QVERIFY(child.waitForStarted());

        // Wait for the staging copy of the new entry to appear.
        bool staged = false;
        const QDeadlineTimer deadline(60'000);
        while (!staged && !deadline.hasExpired()) {
            const QStringList folders = QDir(root()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            for (const QString& folder : folders)
                staged = staged || QFileInfo::exists(root() + "/" + folder + "/.incoming");
            if (!staged && child.waitForFinished(1))
                break;
        }
        if (delayAfterStagingMs >= 0) {
            QThread::msleep(delayAfterStagingMs);
            ::kill(pid_t(child.processId()), SIGKILL);
        }
        QVERIFY(child.waitForFinished(120'000));

        UploadQuarantine quarantine;
        const QList<Entry> entries = quarantine.list();
        QVERIFY(entries.size() <= 1);
        for (const Entry& entry : entries) {
            const std::optional<QString> payload = quarantine.payloadURL(entry.id);
            QVERIFY(payload);
            QCOMPARE(QFileInfo(*payload).size(), QFileInfo(big).size());
            QCOMPARE(fileHash(*payload), expectedHash);
        }
        if (delayAfterStagingMs < 0) {
            QCOMPARE(child.exitStatus(), QProcess::NormalExit);
            QCOMPARE(child.exitCode(), 0);
            QCOMPARE(entries.size(), 1);
        }
        if (!staged)
            qInfo("the child finished before its staging copy was seen");
    }
};

// Run as `TestUploadQuarantine --enqueue-child FILE`, enqueues FILE and exits: the process
// that the crash test kills.
int main(int argc, char** argv)
{
    if (argc == 3 && qstrcmp(argv[1], kChildSwitch) == 0) {
        QCoreApplication app(argc, argv);
        const Result<Entry> entry =
            UploadQuarantine::shared().enqueue(QString::fromLocal8Bit(argv[2]), u"big.bin"_s,
                                               std::nullopt, Target::library(), std::nullopt);
        return entry ? 0 : 1;
    }
    QCoreApplication app(argc, argv);
    TestUploadQuarantine test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "TestUploadQuarantine.moc"
