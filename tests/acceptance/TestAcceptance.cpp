// What a user does with Pixavella, through the real programs on a real mount: the demo library
// listed from the root to a month, photos dropped with cp reaching the server and their month
// under the names they were given, an upload the server refuses five times shown in "Envois
// échoués" and retried from the notification, and the sign-out that removes the drive and the
// secret. What the drive alone does with mkdir, mv and gio trash is TestDriveWriting's.
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
#include <QTemporaryDir>
#include <QTest>

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
    return demolibrary::withExif(jpeg, {"Orsa", "Orsa X2", captured, size});
}

} // namespace

class TestAcceptance : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    AcceptanceSession m_session;
    std::unique_ptr<testing::FakeNotificationServer> m_notifications;

    // The main user's live assets of that name, as the server lists them.
    QList<QJsonObject> assetsNamed(const QString& name) const
    {
        const QJsonDocument page =
            m_session.api("POST", "search/metadata", QJsonDocument(QJsonObject{{"size", 1000}}));
        QList<QJsonObject> found;
        for (const QJsonValue& asset : page[u"assets"][u"items"].toArray())
            if (asset[u"originalFileName"].toString() == name)
                found.append(asset.toObject());
        return found;
    }

    QStringList quarantine() const
    {
        return QDir(ContainerPaths::container() + "/Quarantine")
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QString localFile(const QString& name, const QByteArray& bytes) const
    {
        const QString path = m_dir.filePath("desktop/" + name);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return {};
        return path;
    }

    // The application's key in the Secret Service, as a user finds it with secret-tool.
    ToolRun storedSecret() const
    {
        return m_session.run("secret-tool",
                             {"lookup", "server", "app.pixavella.immich", "user", "immich.apiKey"});
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
        QVERIFY2(m_session.startServers(m_dir.filePath("library")), qPrintable(m_session.error()));
        QVERIFY2(m_session.startApplication(), qPrintable(m_session.error()));
    }

    // The listing road: from the root down to a month, whose bytes read through the drive are
    // the originals'.
    void listsTheLibrary()
    {
        requireRunning();
        QTRY_COMPARE_WITH_TIMEOUT(m_session.ls({}),
                                  (QStringList{"Mes albums", "Mes albums partagés", "Mes photos"}),
                                  kSlow);
        QCOMPARE(m_session.ls("Mes photos"), (QStringList{"2022", "2023", "2024"}));

        // The demo's July 2023: IMG_0018 to IMG_0020 and the clip.
        const QStringList july = m_session.ls("Mes photos/2023/Juillet");
        QCOMPARE(july,
                 (QStringList{"IMG_0018.jpg", "IMG_0019.jpg", "IMG_0020.jpg", "VID_0001.avi"}));
        for (const QString& name : july) {
            const QString original = m_dir.filePath(
                (name.startsWith(u"VID") ? "library/videos/" : "library/photos/2023/") + name);
            const ToolRun same =
                m_session.run("cmp", {original, m_session.path("Mes photos/2023/Juillet/" + name)});
            QVERIFY2(same.exitCode == 0, qPrintable(name + u' ' + same.describe()));
        }
    }

    // The road of one dropped photo: cp into "Mes photos", uploaded by the application, then
    // in its month under the server's asset, with nothing left queued.
    void dropsAPhoto()
    {
        requireRunning();
        const QByteArray bytes =
            newPhoto(2101, QDateTime(QDate(2021, 2, 14), QTime(16, 20), Qt::UTC));
        const ToolRun copied =
            m_session.run("cp", {localFile("IMG_2101.jpg", bytes), m_session.path("Mes photos/")});
        QVERIFY2(copied.exitCode == 0, qPrintable(copied.describe()));

        QTRY_COMPARE_WITH_TIMEOUT(assetsNamed("IMG_2101.jpg").size(), 1, kSlow);
        const QJsonObject asset = assetsNamed("IMG_2101.jpg").first();
        QCOMPARE(asset[u"checksum"].toString(),
                 QString::fromLatin1(
                     QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toBase64()));
        QTRY_VERIFY_WITH_TIMEOUT(quarantine().isEmpty(), kSlow);

        QTRY_COMPARE_WITH_TIMEOUT(m_session.ls("Mes photos/2021/Février"),
                                  QStringList{"IMG_2101.jpg"}, kSlow);
        QFile shown(m_session.path("Mes photos/2021/Février/IMG_2101.jpg"));
        QVERIFY(shown.open(QIODevice::ReadOnly) && shown.readAll() == bytes);
    }

    // Names that multipart forms, shells and file systems handle badly are listed after their
    // upload exactly as they were copied.
    void keepsTheNamesAsTyped()
    {
        requireRunning();
        // UTF-8: an emoji, then "café" composed and decomposed.
        const QStringList names{"a\"b.jpg",
                                "back\\slash.jpg",
                                "a\rb.jpg",
                                "a\nb.jpg",
                                "\xF0\x9F\x8C\x85 coucher.jpg",
                                "caf\xC3\xA9.jpg",
                                "cafe\xCC\x81.jpg",
                                QString(251, u'x') + ".jpg",
                                "-leading.jpg"};
        QStringList sources{"--"};
        for (int i = 0; i < names.size(); ++i)
            sources << localFile("typed/" + names[i],
                                 newPhoto(3000 + quint32(i),
                                          QDateTime(QDate(2020, 5, 1 + i), QTime(9, 0), Qt::UTC)));
        const ToolRun copied = m_session.run("cp", sources << m_session.path("Mes photos/"));
        QVERIFY2(copied.exitCode == 0, qPrintable(copied.describe()));
        QTRY_VERIFY_WITH_TIMEOUT(quarantine().isEmpty(), kSlow);

        QStringList expected = names;
        expected.sort();
        const auto listed = [this] {
            QStringList files =
                QDir(m_session.path("Mes photos/2020/Mai")).entryList(QDir::Files, QDir::Name);
            files.sort();
            return files;
        };
        QTRY_COMPARE_WITH_TIMEOUT(listed(), expected, kSlow);
    }

    // Five refusals of the server put the upload in "Envois échoués" and tell the user; the
    // notification's "Réessayer" uploads it.
    void retriesAFailedUpload()
    {
        requireRunning();
        m_session.server().control(
            "POST", "/_double/fail",
            QJsonDocument(QJsonObject{
                {"status", 400}, {"count", 5}, {"path", "/api/assets"}, {"method", "POST"}}));
        const QString name = "IMG_2102.jpg";
        const QByteArray bytes = newPhoto(2102, QDateTime(QDate(2021, 3, 3), QTime(9, 0), Qt::UTC));
        const ToolRun copied =
            m_session.run("cp", {localFile(name, bytes), m_session.path("Mes photos/")});
        QVERIFY2(copied.exitCode == 0, qPrintable(copied.describe()));

        QTRY_COMPARE_WITH_TIMEOUT(m_session.ls("Mes photos/Envois échoués"), QStringList{name},
                                  kFiveFailures);
        QCOMPARE(assetsNamed(name).size(), 0);

        const auto retryOffer = [this]() -> std::optional<testing::NotifyCall> {
            const QList<testing::NotifyCall> calls = m_notifications->notifies();
            for (auto call = calls.rbegin(); call != calls.rend(); ++call)
                if (call->actions.contains("Réessayer"))
                    return *call;
            return std::nullopt;
        };
        QTRY_VERIFY_WITH_TIMEOUT(retryOffer().has_value(), kSlow);
        const testing::NotifyCall offer = *retryOffer();
        m_notifications->invoke(offer.id, offer.actions.at(offer.actions.indexOf("Réessayer") - 1));

        QTRY_COMPARE_WITH_TIMEOUT(assetsNamed(name).size(), 1, kSlow);
        QTRY_VERIFY_WITH_TIMEOUT(!m_session.ls("Mes photos").contains("Envois échoués"), kSlow);
        QTRY_VERIFY_WITH_TIMEOUT(m_session.ls("Mes photos/2021/Mars").contains(name), kSlow);
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
                 m_session.server().control("GET", "/_double/users").array())
                if (user[u"email"].toString() == kEmail)
                    for (const QJsonValue& key : user[u"apiKeys"].toArray())
                        keys << key.toString();
            keys.removeAll(kTestKey);
            return keys;
        };
        QCOMPARE(appKeys(), QStringList{QString::fromUtf8(secret.out.trimmed())});

        const ToolRun signedOut = m_session.application({"--sign-out"});
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
        QVERIFY2(!output.contains(u"AddressSanitizer") && !output.contains(u"runtime error:"),
                 qPrintable(output.right(4000)));
    }
};

QTEST_MAIN(TestAcceptance)
#include "TestAcceptance.moc"
