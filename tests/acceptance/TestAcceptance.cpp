// What a user does with Pixavella, through the real programs on a real mount: the demo library
// listed from the root to a month, a photo dropped with cp reaching the server and its month,
// an album made with mkdir and filled with mv, a rename, a trash and restore, an upload the
// server refuses five times shown in "Envois échoués" and retried from the notification, and
// the sign-out that removes the drive and the secret.
#include "AcceptanceSession.h"
#include "ContainerPaths.h"
#include "DemoPictures.h"
#include "FakeNotificationServer.h"
#include "MediaWriters.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QImageWriter>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <optional>

using namespace pixavella;
using namespace pixavella::acceptance;

namespace {

// Generous: the machine running the tests may be busy with several builds.
constexpr int kSlow = 90'000;
// Five refused uploads take four sweeps of the reconciler, 30 seconds apart.
constexpr int kFiveFailures = 240'000;

// A JPEG no library holds, captured at `captured` (UTC), with camera EXIF.
QByteArray newPhoto(quint32 seed, const QDateTime& captured)
{
    const QSize size(640, 480);
    const QImage image = demolibrary::drawLandscape(size, seed, captured.date().month(),
                                                    QStringLiteral("Nouvelle photo %1").arg(seed));
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "jpeg").write(image);
    return demolibrary::withExif(
        jpeg, {QStringLiteral("Orsa"), QStringLiteral("Orsa X2"), captured, size});
}

QString sha1Hex(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every object below `value` (arrays and objects walked) for which `keep` holds.
void collect(const QJsonValue& value, const std::function<bool(const QJsonObject&)>& keep,
             QList<QJsonObject>* found)
{
    if (value.isArray()) {
        for (const QJsonValue& item : value.toArray())
            collect(item, keep, found);
    } else if (value.isObject()) {
        const QJsonObject object = value.toObject();
        if (keep(object))
            found->append(object);
        for (const QJsonValue& item : object)
            collect(item, keep, found);
    }
}

} // namespace

class TestAcceptance : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    AcceptanceSession m_session;
    std::unique_ptr<testing::FakeNotificationServer> m_notifications;

    // The main user's live assets that `keep` accepts, as the server lists them.
    QList<QJsonObject> assetsWhere(const std::function<bool(const QJsonObject&)>& keep) const
    {
        const QJsonDocument page =
            m_session.api("POST", QStringLiteral("search/metadata"),
                          QJsonDocument(QJsonObject{{QStringLiteral("size"), 1000}}));
        QList<QJsonObject> found;
        collect(
            page.object().value(QLatin1String("assets")).toObject().value(QLatin1String("items")),
            keep, &found);
        return found;
    }

    QList<QJsonObject> assetsNamed(const QString& name) const
    {
        return assetsWhere([&name](const QJsonObject& asset) {
            return asset.value(QLatin1String("originalFileName")).toString() == name;
        });
    }

    QJsonObject albumNamed(const QString& name) const
    {
        const QJsonArray albums = m_session.api("GET", QStringLiteral("albums")).array();
        for (const QJsonValue& album : albums) {
            if (album[QLatin1String("albumName")].toString() == name)
                return album.toObject();
        }
        return {};
    }

    QStringList albumAssetIds(const QString& albumId) const
    {
        // The v3 server lists an album's assets through search.
        const QJsonDocument page = m_session.api(
            "POST", QStringLiteral("search/metadata"),
            QJsonDocument(QJsonObject{{QStringLiteral("albumIds"), QJsonArray{albumId}},
                                      {QStringLiteral("size"), 1000}}));
        QStringList ids;
        for (const QJsonValue& asset :
             page.object()[QLatin1String("assets")][QLatin1String("items")].toArray())
            ids << asset[QLatin1String("id")].toString();
        return ids;
    }

    QList<QJsonObject> journalEvents(const QString& filename) const
    {
        const QJsonDocument journal = QJsonDocument::fromJson(
            readFile(ContainerPaths::container() + QStringLiteral("/upload-journal.json")));
        QList<QJsonObject> found;
        collect(
            journal.isArray() ? QJsonValue(journal.array()) : QJsonValue(journal.object()),
            [&filename](const QJsonObject& event) {
                return event.value(QLatin1String("filename")).toString() == filename &&
                       event.contains(QLatin1String("outcome"));
            },
            &found);
        return found;
    }

    QStringList quarantine() const
    {
        return QDir(ContainerPaths::container() + QStringLiteral("/Quarantine"))
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QString localFile(const QString& name, const QByteArray& bytes) const
    {
        const QString path = m_dir.filePath(QStringLiteral("desktop/") + name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return path;
    }

    // "Mes photos/<year>/<month>" of a photo of the main user, from the server's capture date.
    QString monthFolderOf(const QString& name) const
    {
        const QList<QJsonObject> assets = assetsNamed(name);
        if (assets.size() != 1)
            return QStringLiteral("<%1 assets named %2>").arg(assets.size()).arg(name);
        const QDate date =
            QDateTime::fromString(assets.first().value(QLatin1String("fileCreatedAt")).toString(),
                                  Qt::ISODateWithMs)
                .toUTC()
                .date();
        QString month = QLocale(QLocale::French).standaloneMonthName(date.month());
        month[0] = month[0].toUpper();
        return QStringLiteral("Mes photos/%1/%2").arg(date.year()).arg(month);
    }

    QString assetId(const QString& name) const
    {
        const QList<QJsonObject> assets = assetsNamed(name);
        return assets.size() == 1 ? assets.first().value(QLatin1String("id")).toString()
                                  : QString();
    }

    bool isTrashed(const QString& id) const
    {
        return m_session.api("GET", QStringLiteral("assets/") + id)
            .object()
            .value(QLatin1String("isTrashed"))
            .toBool();
    }

    // The application's key in the Secret Service, as a user finds it with secret-tool.
    ToolRun storedSecret() const
    {
        return m_session.run(QStringLiteral("secret-tool"),
                             {QStringLiteral("lookup"), QStringLiteral("server"),
                              QStringLiteral("app.pixavella.immich"), QStringLiteral("user"),
                              QStringLiteral("immich.apiKey")});
    }

    void requireRunning()
    {
        if (!m_session.applicationRunning() || !AcceptanceSession::isMounted())
            QSKIP("the application or its drive is not running");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_notifications = std::make_unique<testing::FakeNotificationServer>();
        QVERIFY2(m_notifications->start(), "no notification server on the session bus");
        QVERIFY2(m_session.startServers(m_dir.filePath(QStringLiteral("library"))),
                 qPrintable(m_session.error()));
        QVERIFY2(m_session.startApplication(), qPrintable(m_session.error()));
    }

    // The listing road: from the root down to a month, and the albums of both kinds; the bytes
    // read through the drive are the originals'.
    void listsTheLibrary()
    {
        requireRunning();
        QTRY_COMPARE_WITH_TIMEOUT(
            m_session.ls({}),
            (QStringList{QStringLiteral("Mes albums"), QStringLiteral("Mes albums partagés"),
                         QStringLiteral("Mes photos")}),
            kSlow);
        QCOMPARE(
            m_session.ls(QStringLiteral("Mes photos")),
            (QStringList{QStringLiteral("2022"), QStringLiteral("2023"), QStringLiteral("2024")}));
        QVERIFY(
            m_session.ls(QStringLiteral("Mes photos/2023")).contains(QStringLiteral("Juillet")));

        // The demo's July 2023: IMG_0018 to IMG_0020 and the clip.
        const QStringList july = m_session.ls(QStringLiteral("Mes photos/2023/Juillet"));
        QCOMPARE(july,
                 (QStringList{QStringLiteral("IMG_0018.jpg"), QStringLiteral("IMG_0019.jpg"),
                              QStringLiteral("IMG_0020.jpg"), QStringLiteral("VID_0001.avi")}));
        for (const QString& name : july) {
            const QString original =
                m_dir.filePath(name.startsWith(QLatin1String("VID"))
                                   ? QStringLiteral("library/videos/") + name
                                   : QStringLiteral("library/photos/2023/") + name);
            const ToolRun same = m_session.run(
                QStringLiteral("cmp"),
                {original, m_session.path(QStringLiteral("Mes photos/2023/Juillet/") + name)});
            QVERIFY2(same.exitCode == 0, qPrintable(name + u' ' + same.describe()));
        }

        QCOMPARE(
            m_session.ls(QStringLiteral("Mes albums")),
            (QStringList{QStringLiteral("Anniversaires"), QStringLiteral("Vacances d'été 2023")}));
        QCOMPARE(m_session.ls(QStringLiteral("Mes albums partagés")),
                 QStringList{QStringLiteral("Week-end à Lyon")});
        QCOMPARE(m_session.ls(QStringLiteral("Mes albums partagés/Week-end à Lyon")).size(), 6);
        QVERIFY(m_session.ls(QStringLiteral("Mes albums/Vacances d'été 2023"))
                    .contains(QStringLiteral("VID_0001.avi")));
    }

    // The road of one dropped photo: cp into "Mes photos", uploaded by the application, then
    // in its month under the server's asset, with nothing left queued.
    void dropsAPhoto()
    {
        requireRunning();
        const QByteArray bytes =
            newPhoto(2101, QDateTime(QDate(2021, 2, 14), QTime(16, 20), Qt::UTC));
        const QString local = localFile(QStringLiteral("IMG_2101.jpg"), bytes);
        const ToolRun copied = m_session.run(
            QStringLiteral("cp"), {local, m_session.path(QStringLiteral("Mes photos/"))});
        QVERIFY2(copied.exitCode == 0, qPrintable(copied.describe()));

        QTRY_COMPARE_WITH_TIMEOUT(assetsNamed(QStringLiteral("IMG_2101.jpg")).size(), 1, kSlow);
        const QJsonObject asset = assetsNamed(QStringLiteral("IMG_2101.jpg")).first();
        QCOMPARE(asset.value(QLatin1String("checksum")).toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toBase64()));
        QTRY_VERIFY_WITH_TIMEOUT(quarantine().isEmpty(), kSlow);
        const QList<QJsonObject> events = journalEvents(QStringLiteral("IMG_2101.jpg"));
        QCOMPARE(events.size(), 1);
        QCOMPARE(events.first().value(QLatin1String("outcome")).toString(),
                 QStringLiteral("uploaded"));
        QCOMPARE(events.first().value(QLatin1String("assetId")).toString(),
                 asset.value(QLatin1String("id")).toString());

        QTRY_VERIFY_WITH_TIMEOUT(
            m_session.ls(QStringLiteral("Mes photos")).contains(QStringLiteral("2021")), kSlow);
        QTRY_COMPARE_WITH_TIMEOUT(m_session.ls(QStringLiteral("Mes photos/2021/Février")),
                                  QStringList{QStringLiteral("IMG_2101.jpg")}, kSlow);
        QCOMPARE(sha1Hex(readFile(
                     m_session.path(QStringLiteral("Mes photos/2021/Février/IMG_2101.jpg")))),
                 sha1Hex(bytes));
    }

    // Names that multipart forms, shells and file systems handle badly are listed after their
    // upload exactly as they were copied.
    void keepsTheNamesAsTyped()
    {
        requireRunning();
        const QStringList names{
            QStringLiteral("a\"b.jpg"), QStringLiteral("back\\slash.jpg"),
            QStringLiteral("a\rb.jpg"), QStringLiteral("a\nb.jpg"),
            QString::fromUtf8("\xF0\x9F\x8C\x85 coucher.jpg"),
            QString::fromUtf8("caf\xC3\xA9.jpg"), QString::fromUtf8("cafe\xCC\x81.jpg"),
            QString(251, u'x') + QStringLiteral(".jpg"), QStringLiteral("-leading.jpg")};
        QStringList sources{QStringLiteral("--")};
        for (int i = 0; i < names.size(); ++i)
            sources << localFile(QStringLiteral("typed/") + names[i],
                                 newPhoto(3000 + quint32(i),
                                          QDateTime(QDate(2020, 5, 1 + i), QTime(9, 0), Qt::UTC)));
        const ToolRun copied = m_session.run(
            QStringLiteral("cp"), sources << m_session.path(QStringLiteral("Mes photos/")));
        QVERIFY2(copied.exitCode == 0, qPrintable(copied.describe()));
        QTRY_VERIFY_WITH_TIMEOUT(quarantine().isEmpty(), kSlow);

        QStringList expected = names;
        expected.sort();
        const auto listed = [this] {
            QStringList files = QDir(m_session.path(QStringLiteral("Mes photos/2020/Mai")))
                                    .entryList(QDir::Files, QDir::Name);
            files.sort();
            return files;
        };
        QTRY_COMPARE_WITH_TIMEOUT(listed(), expected, kSlow);
        // What the server itself keeps, for the record: the multipart filename as it was sent.
        const QList<QJsonObject> stored = assetsWhere([](const QJsonObject& asset) {
            return asset.value(QLatin1String("fileCreatedAt")).toString().startsWith("2020-05");
        });
        for (const QJsonObject& asset : stored)
            qInfo("the server stored %s",
                  asset.value(QLatin1String("originalFileName")).toString().toUtf8().toPercentEncoding(" ").constData());
    }

    // A folder made in "Mes albums" is an album; photos moved into it join it and stay in the
    // library.
    void makesAnAlbumAndFillsIt()
    {
        requireRunning();
        const QString album = QStringLiteral("Mes albums/Randonnées");
        const ToolRun made = m_session.run(QStringLiteral("mkdir"), {m_session.path(album)});
        QVERIFY2(made.exitCode == 0, qPrintable(made.describe()));
        QTRY_VERIFY_WITH_TIMEOUT(!albumNamed(QStringLiteral("Randonnées")).isEmpty(), kSlow);
        const QString albumId =
            albumNamed(QStringLiteral("Randonnées")).value(QLatin1String("id")).toString();

        const QStringList photos{QStringLiteral("IMG_0003.jpg"), QStringLiteral("IMG_0004.jpg")};
        QStringList ids;
        for (const QString& photo : photos) {
            const QString from = monthFolderOf(photo) + u'/' + photo;
            ids << assetId(photo);
            const ToolRun moved = m_session.run(
                QStringLiteral("mv"), {m_session.path(from), m_session.path(album + u'/')});
            QVERIFY2(moved.exitCode == 0, qPrintable(from + u' ' + moved.describe()));
        }
        QTRY_COMPARE_WITH_TIMEOUT(albumAssetIds(albumId).size(), 2, kSlow);
        for (const QString& id : ids)
            QVERIFY(albumAssetIds(albumId).contains(id));
        QTRY_COMPARE_WITH_TIMEOUT(m_session.ls(album), photos, kSlow);
        for (const QString& photo : photos)
            QTRY_VERIFY_WITH_TIMEOUT(m_session.ls(monthFolderOf(photo)).contains(photo), kSlow);
    }

    // A rename keeps the server's file name and stores the new name in the names service.
    void renamesAPhoto()
    {
        requireRunning();
        const QString folder = monthFolderOf(QStringLiteral("IMG_0030.jpg"));
        const QString id = assetId(QStringLiteral("IMG_0030.jpg"));
        const ToolRun renamed =
            m_session.run(QStringLiteral("mv"),
                          {m_session.path(folder + QStringLiteral("/IMG_0030.jpg")),
                           m_session.path(folder + QStringLiteral("/Coucher de soleil.jpg"))});
        QVERIFY2(renamed.exitCode == 0, qPrintable(renamed.describe()));
        QTRY_COMPARE_WITH_TIMEOUT(m_session.names(kTestKey).object().value(id).toString(),
                                  QStringLiteral("Coucher de soleil.jpg"), kSlow);
        QTRY_VERIFY_WITH_TIMEOUT(
            m_session.ls(folder).contains(QStringLiteral("Coucher de soleil.jpg")), kSlow);
        QVERIFY(!m_session.ls(folder).contains(QStringLiteral("IMG_0030.jpg")));
        QCOMPARE(assetsNamed(QStringLiteral("IMG_0030.jpg")).size(), 1);
    }

    // gio trash sends the photo to the server's trash; gio trash --restore takes it out again.
    void trashesAndRestoresAPhoto()
    {
        requireRunning();
        const QString name = QStringLiteral("IMG_0031.jpg");
        const QString folder = monthFolderOf(name);
        const QString id = assetId(name);
        const ToolRun trashed = m_session.run(
            QStringLiteral("gio"), {QStringLiteral("trash"), m_session.path(folder + u'/' + name)});
        QVERIFY2(trashed.exitCode == 0, qPrintable(trashed.describe()));
        QTRY_VERIFY_WITH_TIMEOUT(isTrashed(id), kSlow);
        QTRY_VERIFY_WITH_TIMEOUT(!m_session.ls(folder).contains(name), kSlow);

        // Restored as from the file manager's trash: gio asks the desktop's trash backend.
        const QString original = m_session.path(folder + u'/' + name);
        const ToolRun listed = m_session.run(QStringLiteral("gio"),
                                             {QStringLiteral("trash"), QStringLiteral("--list")});
        QString uri;
        for (const QString& line : listed.text().split(u'\n')) {
            if (line.section(u'\t', 1) == original)
                uri = line.section(u'\t', 0, 0);
        }
        QVERIFY2(!uri.isEmpty(), qPrintable(listed.describe()));
        const ToolRun restored = m_session.run(
            QStringLiteral("gio"), {QStringLiteral("trash"), QStringLiteral("--restore"), uri});
        QVERIFY2(restored.exitCode == 0, qPrintable(restored.describe()));
        QTRY_VERIFY_WITH_TIMEOUT(!isTrashed(id), kSlow);
        QTRY_VERIFY_WITH_TIMEOUT(m_session.ls(folder).contains(name), kSlow);
    }

    // Five refusals of the server put the upload in "Envois échoués" and tell the user; the
    // notification's "Réessayer" uploads it.
    void retriesAFailedUpload()
    {
        requireRunning();
        m_session.server().control(
            "POST", QStringLiteral("/_double/fail"),
            QJsonDocument(QJsonObject{{QStringLiteral("status"), 400},
                                      {QStringLiteral("count"), 5},
                                      {QStringLiteral("path"), QStringLiteral("/api/assets")},
                                      {QStringLiteral("method"), QStringLiteral("POST")}}));
        const QString name = QStringLiteral("IMG_2102.jpg");
        const QByteArray bytes = newPhoto(2102, QDateTime(QDate(2021, 3, 3), QTime(9, 0), Qt::UTC));
        const ToolRun copied =
            m_session.run(QStringLiteral("cp"),
                          {localFile(name, bytes), m_session.path(QStringLiteral("Mes photos/"))});
        QVERIFY2(copied.exitCode == 0, qPrintable(copied.describe()));

        const QString failed = QStringLiteral("Mes photos/Envois échoués");
        QTRY_COMPARE_WITH_TIMEOUT(m_session.ls(failed), QStringList{name}, kFiveFailures);
        QCOMPARE(assetsNamed(name).size(), 0);
        QVERIFY(!journalEvents(name).isEmpty());
        QCOMPARE(journalEvents(name).last().value(QLatin1String("outcome")).toString(),
                 QStringLiteral("failed"));

        const auto retryOffer = [this]() -> std::optional<testing::NotifyCall> {
            const QList<testing::NotifyCall> calls = m_notifications->notifies();
            for (auto call = calls.rbegin(); call != calls.rend(); ++call) {
                if (call->actions.contains(QStringLiteral("Réessayer")))
                    return *call;
            }
            return std::nullopt;
        };
        QTRY_VERIFY_WITH_TIMEOUT(retryOffer().has_value(), kSlow);
        const testing::NotifyCall offer = *retryOffer();
        m_notifications->invoke(
            offer.id, offer.actions.at(offer.actions.indexOf(QStringLiteral("Réessayer")) - 1));

        QTRY_COMPARE_WITH_TIMEOUT(assetsNamed(name).size(), 1, kSlow);
        QTRY_VERIFY_WITH_TIMEOUT(
            !m_session.ls(QStringLiteral("Mes photos")).contains(QStringLiteral("Envois échoués")),
            kSlow);
        QTRY_VERIFY_WITH_TIMEOUT(
            m_session.ls(QStringLiteral("Mes photos/2021/Mars")).contains(name), kSlow);
        QVERIFY(quarantine().isEmpty());
    }

    // Signing out revokes the application's key, deletes it from the Secret Service and
    // removes the drive; quitting then leaves nothing running.
    void signsOutAndQuits()
    {
        requireRunning();
        const ToolRun secret = storedSecret();
        QVERIFY2(secret.exitCode == 0 && !secret.out.trimmed().isEmpty(),
                 qPrintable(secret.describe()));
        const auto appKeys = [this] {
            QStringList keys;
            for (const QJsonValue& user :
                 m_session.server().control("GET", QStringLiteral("/_double/users")).array()) {
                if (user[QLatin1String("email")].toString() == kEmail)
                    for (const QJsonValue& key : user[QLatin1String("apiKeys")].toArray())
                        keys << key.toString();
            }
            keys.removeAll(kTestKey);
            return keys;
        };
        QCOMPARE(appKeys(), QStringList{QString::fromUtf8(secret.out.trimmed())});

        const ToolRun signedOut = m_session.application({QStringLiteral("--sign-out")});
        QVERIFY2(signedOut.exitCode == 0, qPrintable(signedOut.describe()));
        QTRY_VERIFY_WITH_TIMEOUT(!AcceptanceSession::isMounted(), kSlow);
        QTRY_COMPARE_WITH_TIMEOUT(storedSecret().out.trimmed(), QByteArray(), kSlow);
        QTRY_COMPARE_WITH_TIMEOUT(appKeys(), QStringList(), kSlow);

        QVERIFY(m_session.applicationRunning());
        m_session.stopApplication();
        QCOMPARE(m_session.applicationExitCode(), 0);
        QVERIFY(!AcceptanceSession::isMounted());
        // The daemon writes to the application's output: sanitizer reports of either show here.
        const QString output = m_session.applicationOutput();
        QVERIFY2(!output.contains(QLatin1String("AddressSanitizer")) &&
                     !output.contains(QLatin1String("runtime error:")),
                 qPrintable(output.right(4000)));
    }
};

QTEST_MAIN(TestAcceptance)
#include "TestAcceptance.moc"
