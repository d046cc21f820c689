// ItemCreation and ItemRedating against the double: folders become albums where albums can be
// made, files pass the checks in order and land in the upload quarantine filed under their
// capture month, and a time set after the drop redates only what took the file's time.
#include "WriteTestSupport.h"

#include "ItemCreation.h"
#include "ItemRedating.h"

#include "DedupIndex.h"
#include "ExifCaptureDate.h"
#include "FetchCache.h"
#include "FileProviderError.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <sys/stat.h>

using namespace pixavella;
using namespace pixavella::testing;
using namespace Qt::StringLiterals;

namespace {

ino_t inodeOf(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

} // namespace

class TestItemCreation : public QObject {
    Q_OBJECT

private:
    SmallLibrary m_lib;
    QTemporaryDir m_dir;
    DriveExtension m_extension{FileProviderDomain{u"app.pixavella.fileprovider"_s, u"Pixavella"_s},
                               processStores()};

    ImmichClient client() const { return ImmichClient(m_lib.server.url(), kMyKey); }
    Result<FileProviderItemChange> create(const QString& parent, const QString& name,
                                          const ContentType& type,
                                          const std::optional<QString>& contents,
                                          FileProviderCreateOptions options = 0)
    {
        Awaited<FileProviderItemChange> answer;
        if (type == ContentType::folder())
            ItemCreation::createAlbum(processStores(), client(), FPNode::parse(parent), name,
                                      answer.completion());
        else
            ItemCreation::createFile(processStores(), client(), FPNode::parse(parent),
                                     *itemWith(QString(), parent, name, type), contents, options,
                                     answer.completion());
        return answer.wait();
    }
    QString placeholders(QString text) const
    {
        for (auto it = m_lib.albums.cbegin(); it != m_lib.albums.cend(); ++it)
            text.replace(u'<' + it.key() + u'>', it.value());
        return text;
    }
    // A photo of June 2021 whose bytes the library already holds under the name "dup.jpg".
    QString photo(const char* name)
    {
        const QString path = m_dir.filePath(QString::fromLatin1(name));
        if (!writeJpeg(path, "2021:06:15 10:00:00"))
            return {};
        ImmichAsset known;
        known.originalFileName = u"dup.jpg"_s;
        known.fileCreatedAt = u"2021-06-15T10:00:00.000Z"_s;
        known.checksum = DedupIndex::fileChecksum(path);
        driveStores().dedup.rebuild({known}, [](const ImmichAsset&) { return std::nullopt; });
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_lib.start(u"v3"_s));
        signIn(m_lib.server);
    }

    void init()
    {
        Uploads::clear();
        m_lib.server.reset();
        drainedNotices();
        driveStores().userNotices.drain();
    }

    void captureDate_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QByteArray>("original");
        QTest::addColumn<QByteArray>("digitized");
        QTest::addColumn<QString>("expected");
        QTest::newRow("original first")
            << "jpeg" << QByteArray("2019:02:03 04:05:06") << QByteArray("2020:01:01 00:00:00")
            << "2019-02-03T04:05:06Z";
        QTest::newRow("digitized") << "jpeg" << QByteArray() << QByteArray("2020:01:01 00:00:00")
                                   << "2020-01-01T00:00:00Z";
        QTest::newRow("unreadable text: file time")
            << "jpeg" << QByteArray("sometime") << QByteArray("2020:01:01 00:00:00")
            << "2018-07-01T12:00:00Z";
        QTest::newRow("no exif: file time")
            << "jpeg" << QByteArray() << QByteArray() << "2018-07-01T12:00:00Z";
        QTest::newRow("heic") << "heic" << QByteArray("2017:12:31 23:59:59") << QByteArray()
                              << "2017-12-31T23:59:59Z";
    }
    void captureDate()
    {
        QFETCH(QString, format);
        QFETCH(QByteArray, original);
        QFETCH(QByteArray, digitized);
        QFETCH(QString, expected);
        QString path = m_dir.filePath(u"date.jpg"_s);
        QFile::remove(path);
        QVERIFY(writeJpeg(path, original.constData(), digitized.constData()));
        if (format == u"heic") {
            const QString encoder = QStandardPaths::findExecutable(u"heif-enc"_s);
            if (encoder.isEmpty())
                QSKIP("heif-enc (libheif-examples) is not installed");
            const QString heic = m_dir.filePath(u"date.heic"_s);
            QFile::remove(heic);
            QCOMPARE(QProcess::execute(encoder, {path, u"-o"_s, heic}), 0);
            path = heic;
        }
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(utc("2018-07-01T12:00:00Z"), QFileDevice::FileModificationTime));
        file.close();
        QCOMPARE(dropCaptureDate(path), utc(expected.toLatin1().constData()));
    }

    // Each row is stopped by a different check; none leaves anything in the quarantine or on
    // the server, and each is an error the writing program is told of (it keeps its file).
    void refusedFiles_data()
    {
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("notices");
        const auto row = [](const char* tag, const QString& parent, const char* name,
                            const char* answer, const char* notices = "") {
            QTest::newRow(tag) << parent << name << answer << notices;
        };
        const char* notTaken = "error -2010";
        row("pdf", "photos", "facture.pdf", notTaken, "nonmedia");
        row("album root", "albums", "a.jpg", notTaken);
        row("viewer", "salbum:<Mariage>", "a.jpg", notTaken);
        row("missing shared album", "salbum:nope", "a.jpg", notTaken);
        row("duplicate", FileProviderContainer::root, "dup.jpg", "error -1001", "duplicate");
        row("duplicate in a month", "month:2021-06", "dup.jpg", "error -1001", "duplicate");
    }
    void refusedFiles()
    {
        QFETCH(QString, parent);
        QFETCH(QString, name);
        QFETCH(QString, answer);
        QFETCH(QString, notices);
        const QString path = photo("dup.jpg");

        const Result<FileProviderItemChange> change =
            create(placeholders(parent), name,
                   ContentType::fromFilenameExtension(filenameExtension(name)).value(), path);
        QCOMPARE(identifierOf(change), answer);
        QCOMPARE(drainedNotices().join(u','), notices);
        QVERIFY(UploadQuarantine::shared().list().isEmpty());
        QCOMPARE(apiRequests(m_lib.server, u"/api/assets"_s), 0);
        QVERIFY(QFile::exists(path));
    }

    // Accepted drops: the pending item sits where the listing shows it, the payload is the
    // caller's file linked in (no copy), and stays whole once the caller deletes its file.
    void acceptedFiles_data()
    {
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expectedParent");
        QTest::addColumn<QString>("albumName");
        const auto row = [](const char* tag, const QString& parent, const char* name,
                            const char* expectedParent, const char* albumName = "") {
            QTest::newRow(tag) << parent << name << expectedParent << albumName;
        };
        row("root", FileProviderContainer::root, "a.jpg", "month:2021-06");
        row("photos, generic type", "photos", "a.jpg", "month:2021-06");
        row("album, duplicate not checked", "album:<Vacances>", "dup.jpg", "album:<Vacances>",
            "Vacances");
        row("editor", "salbum:<Famille>", "a.jpg", "salbum:<Famille>", "Famille");
    }
    void acceptedFiles()
    {
        QFETCH(QString, parent);
        QFETCH(QString, name);
        QFETCH(QString, expectedParent);
        QFETCH(QString, albumName);
        const QString path = photo("drop.jpg");
        // Album names come from the listings already fetched.
        Awaited<QList<ImmichAlbum>> own, shared;
        driveStores().cache.albums(*SharedSettings::makeClient(), false, FetchCache::Mode::refresh,
                                   own.completion());
        driveStores().cache.albums(*SharedSettings::makeClient(), true, FetchCache::Mode::refresh,
                                   shared.completion());
        QVERIFY(own.wait() && shared.wait());

        const ContentType type = QTest::currentDataTag() == QByteArray("photos, generic type")
                                     ? ContentType::data()
                                     : ContentType(u"image/jpeg"_s);
        const Result<FileProviderItemChange> change =
            create(placeholders(parent), name, type, path);
        QVERIFY2(change, qPrintable(identifierOf(change)));

        const QList<UploadQuarantine::Entry> entries = UploadQuarantine::shared().list();
        QCOMPARE(entries.size(), 1);
        const UploadQuarantine::Entry& entry = entries.first();
        const FileProviderItemRef item = change.value().item;
        QCOMPARE(item->itemIdentifier(), u"pending:"_s + entry.id);
        QCOMPARE(item->parentItemIdentifier(), placeholders(expectedParent));
        QCOMPARE(item->filename(), name);
        QCOMPARE(entry.filename, name);
        QCOMPARE(entry.capturedAt, utc("2021-06-15T10:00:00Z"));
        QCOMPARE(entry.albumName.value_or(QString()), albumName);

        const QString payload = UploadQuarantine::shared().payloadURL(entry.id).value();
        QCOMPARE(inodeOf(payload), inodeOf(path));
        QFile original(path);
        QVERIFY(original.open(QIODevice::ReadOnly));
        const QByteArray bytes = original.readAll();
        original.close();
        QVERIFY(QFile::remove(path));
        QFile kept(payload);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), bytes);
        QVERIFY(drainedNotices().isEmpty());
    }

    // What the bytes say decides too: a text named like a photo is refused before it is
    // queued; a photo cut short, or written by a program that was killed, waits with the
    // failed uploads instead of being sent.
    void dropsJudgedByTheirBytes_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<unsigned>("options");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<qint64>("attempts");
        QTest::newRow("text named .jpg") << "text" << 0u << "error -2010" << qint64(-1);
        QTest::newRow("whole photo") << "photo" << 0u << "pending" << qint64(0);
        QTest::newRow("photo cut short") << "cut" << 0u << "pending" << qint64(5);
        QTest::newRow("writer killed")
            << "photo" << FileProviderCreateOption::contentsMayBeIncomplete << "pending"
            << qint64(5);
        QTest::newRow("writer asked for the disk")
            << "photo" << FileProviderCreateOption::contentsMustBeDurable << "pending" << qint64(0);
    }
    void dropsJudgedByTheirBytes()
    {
        QFETCH(QString, kind);
        QFETCH(unsigned, options);
        QFETCH(QString, answer);
        QFETCH(qint64, attempts);
        const QString path = m_dir.filePath(u"judged.jpg"_s);
        QFile::remove(path);
        if (kind == QLatin1String("text")) {
            QFile text(path);
            QVERIFY(text.open(QIODevice::WriteOnly));
            text.write("Liste de courses : pain, lait, fromage.\n");
        } else {
            QVERIFY(writeJpeg(path, "2021:06:20 10:00:00"));
            if (kind == QLatin1String("cut"))
                QVERIFY(QFile::resize(path, QFileInfo(path).size() / 2));
        }
        const Result<FileProviderItemChange> change =
            create(u"photos"_s, u"judged.jpg"_s, ContentType::image(), path, options);
        const QList<UploadQuarantine::Entry> entries = UploadQuarantine::shared().list();
        if (attempts < 0) {
            QCOMPARE(identifierOf(change), answer);
            QVERIFY(entries.isEmpty());
            QCOMPARE(drainedNotices().join(u','), u"nonmedia"_s);
            return;
        }
        QVERIFY2(change, qPrintable(identifierOf(change)));
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries[0].attempts, attempts);
        QCOMPARE(entries[0].lastError.value_or(QString()),
                 attempts ? u"fichier incomplet"_s : QString());
        QCOMPARE(entries[0].payloadSize, std::optional<qint64>(QFileInfo(path).size()));
        // Given up at once, it shows in the failed folder, not in its month.
        QCOMPARE(change.value().item->parentItemIdentifier(),
                 attempts ? u"failed"_s : u"month:2021-06"_s);
    }

    void folders_data()
    {
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("created");
        QTest::addColumn<QString>("notices");
        const auto row = [](const char* tag, const QString& parent, const char* name, bool created,
                            const char* notices = "") {
            QTest::newRow(tag) << parent << name << created << notices;
        };
        row("root", FileProviderContainer::root, "Vacances", true, "newfolder");
        row("albums", "albums", "Été", true, "albumready");
        row("month", "month:2024-03", "Mars", true);
        row("inside an album", "album:<Vacances>", "Bis", true);
        row("shared album", "salbum:<Famille>", "Non", false);
        row("volume trash", FileProviderContainer::root, ".Trash-1000", false);
    }
    void folders()
    {
        QFETCH(QString, parent);
        QFETCH(QString, name);
        QFETCH(bool, created);
        QFETCH(QString, notices);
        const Result<FileProviderItemChange> change =
            create(placeholders(parent), name, ContentType::folder(), std::nullopt);
        QVERIFY(change);
        const QStringList messages = driveStores().userNotices.drain();
        QCOMPARE(drainedNotices().join(u','), notices);
        if (!created) {
            QVERIFY(!change.value().item);
            QCOMPARE(apiRequests(m_lib.server, u"/api/albums"_s), 0);
            return;
        }
        const FileProviderItemRef item = change.value().item;
        QVERIFY(item);
        QVERIFY(item->itemIdentifier().startsWith(u"album:"_s));
        QCOMPARE(item->parentItemIdentifier(), u"albums"_s);
        QCOMPARE(item->filename(), name);
        const QString id = item->itemIdentifier().mid(6);
        Awaited<AlbumMeta> album;
        SharedSettings::makeClient()->getAlbumMeta(id, album.completion());
        const Result<AlbumMeta> meta = album.wait();
        QVERIFY(meta);
        QCOMPARE(meta.value().albumName, name);
        if (notices.isEmpty())
            QVERIFY(messages.isEmpty());
        else
            QCOMPARE(messages, QStringList{u"Album « "_s + name +
                                           QStringLiteral(" » créé — les photos sont aussi "
                                                          "dans Mes photos.")});
    }

    void failuresLeaveNothing()
    {
        m_lib.server.fail(500, 1, u"/api/albums"_s);
        const Result<FileProviderItemChange> change =
            create(u"photos"_s, u"X"_s, ContentType::folder(), std::nullopt);
        QVERIFY(!change);
        QVERIFY(driveStores().userNotices.drain().isEmpty());
        QVERIFY(drainedNotices().isEmpty());

        // Signed out, the extension refuses the drop before it reaches ItemCreation.
        signOut();
        Awaited<FileProviderItemChange> answer;
        m_extension.createItem(itemWith(QString(), u"photos"_s, u"a.jpg"_s, ContentType::image()),
                               0, photo("a.jpg"), 0, answer.completion());
        signIn(m_lib.server);
        const Result<FileProviderItemChange> refused = answer.wait();
        QVERIFY(!refused &&
                isFileProviderError(refused.error(), FileProviderErrorCode::notAuthenticated));
        QVERIFY(UploadQuarantine::shared().list().isEmpty());
    }

    // New contents of a waiting drop take its place without a word to the user; those of a
    // photo without a date of their own keep the photo's date and replace its asset.
    void replacements()
    {
        const QString plain = m_dir.filePath(u"plain-again.jpg"_s);
        QVERIFY(writeJpeg(plain));
        const auto replace = [this, &plain](FileProviderItemProperties item) {
            Awaited<FileProviderItemChange> answer;
            ItemCreation::replaceFile(processStores(), client(),
                                      *FileProviderItemSnapshot::make(item), plain,
                                      answer.completion());
            const Result<FileProviderItemChange> change = answer.wait();
            return change ? change.value().item : FileProviderItemRef();
        };
        const Result<FileProviderItemChange> dropped =
            create(u"photos"_s, u"a.jpg"_s, ContentType::image(), plain);
        QVERIFY(dropped && replace(FileProviderItemProperties::of(*dropped.value().item)));
        const QString old = dropped.value().item->itemIdentifier().mid(8);
        QVERIFY(!UploadQuarantine::shared().entry(old) && driveStores().cancelled.contains(old));
        QVERIFY(driveStores().userNotices.drain().isEmpty());

        FileProviderItemProperties asset;
        asset.itemIdentifier = u"asset:"_s + m_lib.asset("nov02.jpg");
        asset.filename = u"nov02.jpg"_s;
        asset.creationDate = utc("2024-11-02T10:00:00Z");
        const FileProviderItemRef over = replace(asset);
        QVERIFY(over);
        QCOMPARE(over->parentItemIdentifier(), u"month:2024-11"_s);
        QCOMPARE(UploadQuarantine::shared().entry(over->itemIdentifier().mid(8))->replacesAssetId,
                 std::optional<QString>(m_lib.asset("nov02.jpg")));
    }

    // A time set once the bytes are written redates a drop that took its file's time: the
    // waiting entry and the answered item move to its month, an uploaded one has the server's
    // asset redated. A drop dated by its EXIF keeps its date.
    void redating()
    {
        const QString plain = m_dir.filePath(u"plain.jpg"_s);
        QVERIFY(writeJpeg(plain));
        const auto entryOf = [this](const QString& path) {
            const Result<FileProviderItemChange> change =
                create(u"photos"_s, QFileInfo(path).fileName(), ContentType::image(), path);
            return change ? change.value().item->itemIdentifier().mid(8) : QString();
        };
        const auto redate = [this](const QString& entryId) {
            FileProviderItemProperties p;
            p.itemIdentifier = u"pending:"_s + entryId;
            p.contentModificationDate = utc("2019-04-02T08:00:00Z");
            Awaited<FileProviderItemChange> answer;
            ItemRedating::redate(processStores(), client(), FileProviderItemSnapshot::make(p),
                                 answer.completion());
            const Result<FileProviderItemChange> change = answer.wait();
            return change ? change.value().item->parentItemIdentifier() : u"error"_s;
        };
        const QString byFileTime = entryOf(plain), byExif = entryOf(photo("dated.jpg"));
        QCOMPARE(redate(byFileTime), u"month:2019-04"_s);
        QCOMPARE(UploadQuarantine::shared().entry(byFileTime)->capturedAt,
                 utc("2019-04-02T08:00:00Z"));
        QCOMPARE(redate(byExif), QString());
        QCOMPARE(UploadQuarantine::shared().entry(byExif)->capturedAt, utc("2021-06-15T10:00:00Z"));
        QCOMPARE(apiRequests(m_lib.server), 0);

        // Uploaded in the meantime: the asset it became takes the date.
        QVERIFY(UploadQuarantine::shared().remove(byFileTime));
        recordUploaded(byFileTime, m_lib.asset("nov02.jpg"));
        QCOMPARE(redate(byFileTime), QString());
        const QJsonArray requests = m_lib.server.requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0][u"method"].toString() + u' ' + requests[0][u"path"].toString(),
                 u"PUT /api/assets/"_s + m_lib.asset("nov02.jpg"));
        QVERIFY(requests[0][u"body"].toString().contains(u"2019-04-02T08:00:00Z"));
    }
};

QTEST_GUILESS_MAIN(TestItemCreation)
#include "TestItemCreation.moc"
