#include "DomainController.h"
#include "LogCapture.h"
#include "RecordingDomainBackend.h"

#include <QDir>
#include <QTest>

using namespace pixavella;
using testing::LogCapture;
using testing::RecordingDomainBackend;

// The domain's operations on a recording backend: what reaches the manager, in which order,
// and what a failure leaves in the log. The real daemon is driven by TestPixavellaProgram.
class TestDomainController : public QObject {
    Q_OBJECT

private slots:
    void operations_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("failing"); // "add", "remove", "removeAndWait" or ""
        QTest::addColumn<bool>("hasManager");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<QStringList>("log");
        const QStringList top = testing::topFolderSignals();
        QTest::newRow("added: top folders signalled")
            << "register"
            << "" << true << QStringList{"add"} + top
            << QStringList{"Pixavella: domaine enregistré, visible dans le Finder."};
        QTest::newRow("add refused: nothing signalled")
            << "register"
            << "add" << true << QStringList{"add"}
            << QStringList{"Pixavella: échec ajout domaine: refused"};
        QTest::newRow("removal refused")
            << "remove"
            << "remove" << true << QStringList{"remove"}
            << QStringList{"Pixavella: échec retrait domaine: refused"};
        QTest::newRow("reset adds after a failed removal")
            << "reset"
            << "remove" << true << QStringList{"remove", "add"} + top
            << QStringList{"Pixavella: domaine ré-initialisé"};
        QTest::newRow("reset whose add fails")
            << "reset"
            << "add" << true << QStringList{"remove", "add"}
            << QStringList{"Pixavella: reset/ajout échoué: refused"};
        QTest::newRow("removal at quit too slow")
            << "quit"
            << "removeAndWait" << true << QStringList{"removeAndWait 5000"}
            << QStringList{"Pixavella: retrait à la fermeture échoué: refused"};
        QTest::newRow("years after the fixed folders")
            << "signal"
            << "" << true << testing::allFolderSignals() + QStringList{"signal year:2019"}
            << QStringList{};
        QTest::newRow("no manager: nothing signalled")
            << "signal"
            << "" << false << QStringList{} << QStringList{};
    }

    void operations()
    {
        QFETCH(QString, operation);
        QFETCH(QString, failing);
        QFETCH(bool, hasManager);
        auto state = std::make_shared<RecordingDomainBackend::State>();
        const std::optional<Error> refused = RecordingDomainBackend::failure("refused");
        if (failing == QLatin1String("add"))
            state->addError = refused;
        if (failing == QLatin1String("remove"))
            state->removeError = refused;
        if (failing == QLatin1String("removeAndWait"))
            state->removeAndWaitError = refused;
        state->hasManager = hasManager;
        DomainController controller(std::make_unique<RecordingDomainBackend>(state));
        LogCapture log;
        int completions = 0;
        const auto done = [&completions] { ++completions; };

        if (operation == QLatin1String("register"))
            controller.registerDomain();
        else if (operation == QLatin1String("remove"))
            controller.removeDomain(done);
        else if (operation == QLatin1String("reset"))
            controller.resetDomain(done);
        else if (operation == QLatin1String("quit"))
            controller.removeDomainAndWait(DomainController::kQuitRemovalTimeout);
        else
            controller.signalAllFolders({QStringLiteral("year:2019")});

        QTEST(state->calls, "calls");
        QTEST(log.productLines(), "log");
        const bool completes = operation == QLatin1String("remove") || operation == "reset";
        QCOMPARE(completions, completes ? 1 : 0);
    }

    void openInFileManagerFallsBackToTheDrivePath()
    {
        auto state = std::make_shared<RecordingDomainBackend::State>();
        DomainController controller(std::make_unique<RecordingDomainBackend>(state));
        QList<QUrl> opened;
        controller.setOpener([&opened](const QUrl& url) { opened << url; });
        const QUrl mounted = QUrl::fromLocalFile(QStringLiteral("/run/mounted/drive"));
        const QUrl fallback = QUrl::fromLocalFile(
            QDir::homePath() + QStringLiteral("/Library/CloudStorage/Pixavella-Pixavella"));

        state->url = mounted;
        controller.openInFileManager();
        state->hasManager = false;
        controller.openInFileManager();
        state->hasManager = true;
        state->url.reset();
        controller.openInFileManager();
        QCOMPARE(opened, (QList<QUrl>{mounted, fallback, fallback}));
    }
};

QTEST_GUILESS_MAIN(TestDomainController)
#include "TestDomainController.moc"
