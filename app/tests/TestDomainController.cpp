#include "DomainController.h"
#include "FileProviderDomainBackend.h"
#include "LogCapture.h"
#include "MountTable.h"
#include "RecordingDomainBackend.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

using namespace pixavella;
using testing::LogCapture;
using testing::RecordingDomainBackend;
using State = RecordingDomainBackend::State;

Q_DECLARE_METATYPE(std::optional<pixavella::Error>)
Q_DECLARE_METATYPE(std::optional<QUrl>)

namespace {

std::optional<Error> failing(const char* text)
{
    return RecordingDomainBackend::failure(QString::fromUtf8(text));
}

struct Fixture {
    std::shared_ptr<State> state = std::make_shared<State>();
    DomainController controller{std::make_unique<RecordingDomainBackend>(state)};
    LogCapture log;
};

} // namespace

class TestDomainController : public QObject {
    Q_OBJECT

private slots:
    void registerDomain_data()
    {
        QTest::addColumn<std::optional<Error>>("addError");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("added: top folders signalled")
            << std::optional<Error>() << QStringList{"add"} + testing::topFolderSignals()
            << QStringList{"Pixavella: domaine enregistré, visible dans le Finder."};
        QTest::newRow("refused: nothing signalled")
            << failing("boom") << QStringList{"add"}
            << QStringList{"Pixavella: échec ajout domaine: boom"};
    }

    void registerDomain()
    {
        QFETCH(QStringList, calls);
        QFETCH(QStringList, log);
        QFETCH(std::optional<Error>, addError);
        Fixture f;
        f.state->addError = addError;
        f.controller.registerDomain();
        QCOMPARE(f.state->calls, calls);
        QCOMPARE(f.log.productLines(), log);
    }

    void removeDomain_data()
    {
        QTest::addColumn<std::optional<Error>>("removeError");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("removed: silent") << std::optional<Error>() << QStringList{};
        QTest::newRow("refused") << failing("busy")
                                 << QStringList{"Pixavella: échec retrait domaine: busy"};
    }

    void removeDomain()
    {
        QFETCH(std::optional<Error>, removeError);
        QFETCH(QStringList, log);
        Fixture f;
        f.state->removeError = removeError;
        f.controller.removeDomain();
        QCOMPARE(f.state->calls, QStringList{"remove"});
        QCOMPARE(f.log.productLines(), log);
    }

    void resetDomain_data()
    {
        QTest::addColumn<std::optional<Error>>("removeError");
        QTest::addColumn<std::optional<Error>>("addError");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("log");
        const QStringList reset = QStringList{"remove", "add"} + testing::topFolderSignals();
        QTest::newRow("both succeed") << std::optional<Error>() << std::optional<Error>() << reset
                                      << QStringList{"Pixavella: domaine ré-initialisé"};
        QTest::newRow("failed removal still adds")
            << failing("gone") << std::optional<Error>() << reset
            << QStringList{"Pixavella: domaine ré-initialisé"};
        QTest::newRow("failed add")
            << std::optional<Error>() << failing("no daemon") << QStringList{"remove", "add"}
            << QStringList{"Pixavella: reset/ajout échoué: no daemon"};
    }

    void resetDomain()
    {
        QFETCH(std::optional<Error>, removeError);
        QFETCH(std::optional<Error>, addError);
        QFETCH(QStringList, calls);
        QFETCH(QStringList, log);
        Fixture f;
        f.state->removeError = removeError;
        f.state->addError = addError;
        int completions = 0;
        f.controller.resetDomain([&completions] { ++completions; });
        QCOMPARE(completions, 1);
        QCOMPARE(f.state->calls, calls);
        QCOMPARE(f.log.productLines(), log);
    }

    void removeDomainAndWait_data()
    {
        QTest::addColumn<std::optional<Error>>("error");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("removed") << std::optional<Error>() << QStringList{};
        QTest::newRow("timed out")
            << failing("too slow")
            << QStringList{"Pixavella: retrait à la fermeture échoué: too slow"};
    }

    void removeDomainAndWait()
    {
        QFETCH(std::optional<Error>, error);
        QFETCH(QStringList, log);
        Fixture f;
        f.state->removeAndWaitError = error;
        f.controller.removeDomainAndWait(DomainController::kQuitRemovalTimeout);
        QCOMPARE(f.state->calls, QStringList{"removeAndWait 5000"});
        QCOMPARE(f.log.productLines(), log);
    }

    void signalAllFolders_data()
    {
        QTest::addColumn<bool>("hasManager");
        QTest::addColumn<QStringList>("extra");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("fixed folders") << true << QStringList{} << testing::allFolderSignals();
        QTest::newRow("years after the fixed folders")
            << true << QStringList{"year:2024", "year:2019"}
            << testing::allFolderSignals() + QStringList{"signal year:2024", "signal year:2019"};
        QTest::newRow("no manager") << false << QStringList{"year:2024"} << QStringList{};
    }

    void signalAllFolders()
    {
        QFETCH(bool, hasManager);
        QFETCH(QStringList, extra);
        QFETCH(QStringList, calls);
        Fixture f;
        f.state->hasManager = hasManager;
        f.controller.signalAllFolders(extra);
        QCOMPARE(f.state->calls, calls);
    }

    void openInFileManager_data()
    {
        QTest::addColumn<bool>("hasManager");
        QTest::addColumn<std::optional<QUrl>>("managerURL");
        QTest::addColumn<bool>("opensManagerURL");
        const QUrl mounted = QUrl::fromLocalFile(QStringLiteral("/run/mounted/drive"));
        QTest::newRow("manager's folder") << true << std::optional<QUrl>(mounted) << true;
        QTest::newRow("manager without folder") << true << std::optional<QUrl>() << false;
        QTest::newRow("no manager") << false << std::optional<QUrl>(mounted) << false;
    }

    void openInFileManager()
    {
        QFETCH(bool, hasManager);
        QFETCH(bool, opensManagerURL);
        QFETCH(std::optional<QUrl>, managerURL);
        Fixture f;
        f.state->hasManager = hasManager;
        f.state->url = managerURL;
        QList<QUrl> opened;
        f.controller.setOpener([&opened](const QUrl& url) { opened << url; });
        f.controller.openInFileManager();
        const QUrl expected =
            opensManagerURL
                ? *managerURL
                : QUrl::fromLocalFile(QDir::homePath() +
                                      QStringLiteral("/Library/CloudStorage/Pixavella-Pixavella"));
        QCOMPARE(opened, QList<QUrl>{expected});
    }

    // The drive's daemon, when it is part of this build: added, mounted, removed at quit.
    void realDaemonAddAndRemove()
    {
        const QString daemon =
            qEnvironmentVariable("PIXAVELLA_BUILD_DIR") + QStringLiteral("/passerelle/passerelle");
        if (!QFileInfo(daemon).isExecutable())
            QSKIP("the daemon passerelle is not built");
        if (!QFileInfo::exists(QStringLiteral("/dev/fuse")))
            QSKIP("no /dev/fuse");
        FileProviderManager::Options options = FileProviderManager::Options::defaults();
        options.daemonProgram = daemon;
        DomainController controller(std::make_unique<FileProviderDomainBackend>(options));
        LogCapture log;

        controller.registerDomain();
        QTRY_VERIFY_WITH_TIMEOUT(!log.productLines().isEmpty(), 20'000);
        QCOMPARE(log.productLines(),
                 QStringList{"Pixavella: domaine enregistré, visible dans le Finder."});
        QVERIFY(MountTable::find(options.mountPoint).has_value());

        controller.removeDomainAndWait(DomainController::kQuitRemovalTimeout);
        QCOMPARE(log.productLines().size(), 1);
        QVERIFY(!MountTable::find(options.mountPoint).has_value());
    }
};

QTEST_GUILESS_MAIN(TestDomainController)
#include "TestDomainController.moc"
