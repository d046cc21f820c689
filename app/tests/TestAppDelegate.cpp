#include "AppDelegate.h"
#include "DomainController.h"
#include "RecordingDomainBackend.h"
#include "SessionModel.h"
#include "SharedSettings.h"

#include <QTest>

using namespace pixavella;
using testing::RecordingDomainBackend;

namespace {

// Nothing listens there: a stored session's checks fail fast as offline.
const QString kUnreachableServer = QStringLiteral("http://127.0.0.1:9");

void storeSession(bool signedIn)
{
    SharedSettings::setServerURL(kUnreachableServer);
    SharedSettings::setApiKey(signedIn ? QStringLiteral("launch-key") : QString());
}

// The delegate on a recording domain, with hooks that record what they were asked.
struct Launch {
    std::shared_ptr<RecordingDomainBackend::State> domainState =
        std::make_shared<RecordingDomainBackend::State>();
    DomainController domain{std::make_unique<RecordingDomainBackend>(domainState)};
    SessionModel session{domain};
    QStringList events;
    int prompts = 0;
    QuitConfirmation::Answer answer;
    AppDelegate delegate{domain, session, hooks()};

    AppDelegate::Hooks hooks()
    {
        AppDelegate::Hooks h;
        h.registerLoginItem = [this] { events << "loginItem"; };
        h.createUpdater = [this] { events << "updater"; };
        h.showSignIn = [this] { events << "signIn"; };
        h.showHistory = [this] { events << "history"; };
        h.resetNotices = [this] { events << "resetNotices"; };
        h.showNotice = [this](PedagogicalNotice notice) {
            events << QStringLiteral("notice ") + noticeKey(notice);
        };
        h.quitPrompt = [this](QuitConfirmation::Reply reply) {
            ++prompts;
            reply(answer);
        };
        return h;
    }

    void launch(const QStringList& switches)
    {
        delegate.didFinishLaunching(QStringList{"pixavella"} + switches);
        QCoreApplication::sendPostedEvents();
    }

    // Replies of one quit request, in order.
    QList<bool> quit()
    {
        QList<bool> replies;
        delegate.shouldTerminate([&replies](bool q) { replies << q; });
        return replies;
    }
};

} // namespace

class TestAppDelegate : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        storeSession(false);
        SharedSettings::setSkipQuitConfirmation(false);
    }

    void launch_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<QStringList>("domainCalls");
        QTest::addColumn<QStringList>("events");
        const QStringList start = {"loginItem", "updater"};
        const QStringList signedInStart =
            QStringList{"add"} + testing::topFolderSignals() + testing::allFolderSignals();
        const QStringList reset = QStringList{"remove", "add"} + testing::topFolderSignals();

        QTest::newRow("signed out")
            << false << QStringList{} << QStringList{"remove"} << start + QStringList{"signIn"};
        QTest::newRow("signed in") << true << QStringList{} << signedInStart << start;
        QTest::newRow("--remove with --reset removes only")
            << false << QStringList{"--reset", "--remove"} << QStringList{"remove", "remove"}
            << start + QStringList{"signIn"};
        QTest::newRow("--remove signed in: added again")
            << true << QStringList{"--remove"} << QStringList{"remove"} + signedInStart << start;
        QTest::newRow("--reset") << false << QStringList{"--reset"} << reset + QStringList{"remove"}
                                 << start + QStringList{"signIn"};
        QTest::newRow("--show-login signed in") << true << QStringList{"--show-login"}
                                                << signedInStart << start + QStringList{"signIn"};
        QTest::newRow("history and notices reset")
            << true << QStringList{"--reset-notices", "--show-history"} << signedInStart
            << start + QStringList{"history", "resetNotices"};
        QTest::newRow("--show-notice with a notice")
            << true << QStringList{"--show-notice", "trash"} << signedInStart
            << start + QStringList{"notice trash"};
        QTest::newRow("--show-notice last does nothing")
            << true << QStringList{"trash", "--show-notice"} << signedInStart << start;
        QTest::newRow("--show-notice with no notice")
            << true << QStringList{"--show-notice", "Trash"} << signedInStart << start;
        // Handed over by a later start: no second launch, the domain comes back at once.
        QTest::newRow("later --remove signed in")
            << true << QStringList{"later", "--remove"}
            << QStringList{"remove", "add"} + testing::topFolderSignals() << QStringList{};
        QTest::newRow("later start signed out: sign-in window")
            << false << QStringList{"later"} << QStringList{} << QStringList{"signIn"};
    }

    void launch()
    {
        QFETCH(bool, signedIn);
        QFETCH(QStringList, switches);
        QFETCH(QStringList, domainCalls);
        QFETCH(QStringList, events);
        storeSession(signedIn);
        Launch l;
        if (switches.value(0) == QLatin1String("later")) {
            l.launch({});
            l.domainState->calls.clear();
            l.events.clear();
            l.delegate.handleForwarded({QStringList{"pixavella"} + switches.mid(1), {}},
                                       [](const InstanceChannel::Reply&) {});
        } else {
            l.launch(switches);
        }
        QCOMPARE(l.domainState->calls, domainCalls);
        QCOMPARE(l.events, events);
    }

    void serverSwitch_data()
    {
        QTest::addColumn<QStringList>("switches");
        QTest::addColumn<QString>("stored");
        QTest::newRow("stored before the domain is touched")
            << QStringList{"--remove", "--server", " http://photos.example:2283 "}
            << QStringLiteral("http://photos.example:2283");
        QTest::newRow("last: ignored") << QStringList{"--remove", "--server"} << kUnreachableServer;
        QTest::newRow("not an address: ignored")
            << QStringList{"--remove", "--server", "photos.example"} << kUnreachableServer;
    }

    void serverSwitch()
    {
        QFETCH(QStringList, switches);
        QFETCH(QString, stored);
        Launch l;
        QString storedAtFirstCall;
        l.domainState->onFirstCall = [&storedAtFirstCall] {
            storedAtFirstCall = SharedSettings::serverURL();
        };
        l.launch(switches);
        QCOMPARE(storedAtFirstCall, stored);
    }

    void quitConfirmation_data()
    {
        QTest::addColumn<bool>("signedIn");
        QTest::addColumn<bool>("alreadySkipped");
        QTest::addColumn<bool>("pressQuit");
        QTest::addColumn<bool>("tickSuppress");
        QTest::addColumn<int>("prompts");
        QTest::addColumn<bool>("quits");
        QTest::newRow("signed out: no alert") << false << false << false << false << 0 << true;
        QTest::newRow("suppressed earlier: no alert")
            << true << true << false << false << 0 << true;
        QTest::newRow("Quitter") << true << false << true << false << 1 << true;
        QTest::newRow("Annuler") << true << false << false << false << 1 << false;
        QTest::newRow("Annuler, suppressed") << true << false << false << true << 1 << false;
    }

    void quitConfirmation()
    {
        QFETCH(bool, signedIn);
        QFETCH(bool, alreadySkipped);
        QFETCH(bool, pressQuit);
        QFETCH(bool, quits);
        QFETCH(int, prompts);
        QFETCH(bool, tickSuppress);
        storeSession(signedIn);
        SharedSettings::setSkipQuitConfirmation(alreadySkipped);
        Launch l;
        l.answer = {pressQuit, tickSuppress};
        QCOMPARE(l.quit(), QList<bool>{quits});
        QCOMPARE(l.prompts, prompts);

        // The next quit: asked again unless the box was ticked.
        const int promptsBefore = l.prompts;
        l.answer = {false, false};
        const QList<bool> next = l.quit();
        if (tickSuppress) {
            QCOMPARE(next, QList<bool>{true});
            QCOMPARE(l.prompts, promptsBefore);
        }
        QVERIFY(l.domainState->calls.isEmpty());
    }
};

QTEST_MAIN(TestAppDelegate)
#include "TestAppDelegate.moc"
