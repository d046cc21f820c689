// Renames made with mv on the real mount while the names service is away: kept through a
// restart of the drive and stored once the service is back; and a rename the service refuses
// is undone on the mount and told.
#include "DriveHarness.h"
#include "NamesServiceHealth.h"
#include "RecordingServer.h"
#include "RenameQueue.h"
#include "SettingsSuite.h"
#include "UserNoticeQueue.h"

#include <QJsonObject>
#include <QTest>

using namespace pixavella;
using namespace pixavella::testing;

namespace {

const QString kMonth = QStringLiteral("Mes photos/2024/Mars");

} // namespace

class TestDriveRenames : public QObject {
    Q_OBJECT

private:
    ToolRun mv(const QString& from, const QString& to) const
    {
        return m_drive.run("mv",
                           {m_drive.path(kMonth + u'/' + from), m_drive.path(kMonth + u'/' + to)});
    }
    QString storedName(const QString& photo) const
    {
        return m_drive.api("GET", "/pixavella-names/names")[m_ids[photo]].toString();
    }

    DriveHarness m_drive;
    QHash<QString, QString> m_ids;

private slots:
    void initTestCase()
    {
        QVERIFY(m_drive.startServer());
        QVERIFY(m_drive.startNamesService());
        for (const QString& name : {QStringLiteral("plage.jpg"), QStringLiteral("refus.jpg")})
            m_ids[name] = m_drive.addAsset(kMe, name, "2024-03-06T10:00:00.000Z", name.toUtf8());
        m_drive.signIn();
        QVERIFY(m_drive.mount());
        QCOMPARE(m_drive.ls(kMonth), (QStringList{"plage.jpg", "refus.jpg"}));
    }
    void cleanupTestCase() { m_drive.stop(); }

    void aRenameOutlivesTheServiceAndTheDrive()
    {
        m_drive.stopNamesService();
        QCOMPARE(mv("plage.jpg", "Plage de Nice.jpg").exitCode, 0);
        QCOMPARE(m_drive.ls(kMonth), (QStringList{"Plage de Nice.jpg", "refus.jpg"}));
        QTRY_VERIFY_WITH_TIMEOUT(NamesServiceHealth::isMarkedUnreachable(SettingsSuite::shared()),
                                 20'000);
        QCOMPARE(RenameQueue().find(m_ids["plage.jpg"])->name, QString("Plage de Nice.jpg"));

        // The restarted drive lists with the service still away: the queued name shows.
        m_drive.stop();
        QVERIFY(m_drive.mount());
        QCOMPARE(m_drive.ls(kMonth), (QStringList{"Plage de Nice.jpg", "refus.jpg"}));

        QVERIFY(m_drive.startNamesService());
        // Asked again 5 s, then 30 s after the restarted drive found it away.
        QTRY_COMPARE_WITH_TIMEOUT(storedName("plage.jpg"), QString("Plage de Nice.jpg"), 60'000);
        QTRY_VERIFY_WITH_TIMEOUT(RenameQueue().list().isEmpty(), 10'000);
        QTRY_VERIFY_WITH_TIMEOUT(!NamesServiceHealth::isMarkedUnreachable(SettingsSuite::shared()),
                                 10'000);
        QCOMPARE(m_drive.ls(kMonth), (QStringList{"Plage de Nice.jpg", "refus.jpg"}));
    }

    void aRefusedRenameIsUndoneOnTheMount()
    {
        // A names service that refuses every rename but lists what the real one holds.
        RecordingServer refusing;
        const QByteArray stored =
            QJsonDocument(QJsonObject{{m_ids["plage.jpg"], "Plage de Nice.jpg"}})
                .toJson(QJsonDocument::Compact);
        refusing.setScript([stored](const RecordingServer::Request& request) {
            return request.method == "PUT"
                       ? RecordingServer::Answer{403, R"({"message": "Forbidden"})"}
                       : RecordingServer::Answer{200, stored};
        });
        m_drive.server().control("POST", "/_double/forward",
                                 QJsonDocument(QJsonObject{{"prefix", "/pixavella-names"},
                                                           {"url", refusing.url().toString()}}));
        UserNoticeQueue(SettingsSuite::shared()).drain();

        QCOMPARE(mv("refus.jpg", "Interdit.jpg").exitCode, 0);
        QTRY_COMPARE_WITH_TIMEOUT(m_drive.ls(kMonth),
                                  (QStringList{"Plage de Nice.jpg", "refus.jpg"}), 20'000);
        const QStringList told = UserNoticeQueue(SettingsSuite::shared()).drain();
        QCOMPARE(told.size(), 1);
        QVERIFY2(told[0].contains("« Interdit.jpg »"), qPrintable(told[0]));
        QVERIFY(RenameQueue().list().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDriveRenames)
#include "TestDriveRenames.moc"
