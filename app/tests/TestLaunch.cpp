// The start of the application in one process: the switches, the one-instance channel between
// two ends (its lock is the program test's), the delegate applying switches to a session on a
// recording drive, the hop of completions back to the main thread, and the drive's removal at quit.
#include "AppDelegate.h"
#include "DomainController.h"
#include "FileProviderDomainBackend.h"
#include "ImmichDoubleProcess.h"
#include "InstanceChannel.h"
#include "LaunchOptions.h"
#include "MainThread.h"
#include "ProcessStores.h"
#include "RecordingDomainBackend.h"
#include "SessionModel.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "UploadQuarantine.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <future>
#include <thread>

using namespace pixavella;
using namespace std::chrono_literals;

namespace {

const QString kEmail = QStringLiteral("lea@exemple.fr");
const QString kPassword = QStringLiteral("bon-mot-de-passe");

// What parse() found, in one line.
QString found(const LaunchOptions& o)
{
    QStringList set;
    const std::pair<bool, const char*> flags[] = {
        {o.remove, "remove"},       {o.reset, "reset"},          {o.showLogin, "login"},
        {o.showHistory, "history"}, {o.resetNotices, "notices"}, {o.serverRejected, "rejected"},
        {o.signOut, "signOut"},     {o.verbose, "verbose"},      {o.help, "help"}};
    for (auto [on, name] : flags) {
        if (on)
            set << QLatin1String(name);
    }
    if (o.showNotice)
        set << QStringLiteral("notice=") + noticeKey(*o.showNotice);
    if (o.server)
        set << QStringLiteral("server=") + *o.server;
    if (o.signInEmail)
        set << QStringLiteral("signIn=") + *o.signInEmail;
    return set.join(QLatin1Char(' '));
}

// The delegate on a session on a recording drive; the hooks it ran, in order.
struct Launch : testing::RecordedSession {
    QStringList ran;
    AppDelegate delegate{domain, session, hooks()};
    std::optional<InstanceChannel::Reply> reply;

    // The drive's life cycle, without the re-listings.
    QStringList lifeCycle() const { return drive->calls.filter(QRegularExpression("^(add|rem)")); }

    AppDelegate::Hooks hooks()
    {
        const auto record = [this](const char* what) {
            return [this, what] { ran << QLatin1String(what); };
        };
        return {record("login item"),
                record("sign-in"),
                record("history"),
                record("notices"),
                [this](PedagogicalNotice notice) { ran << noticeKey(notice); },
                [this](QuitConfirmation::Reply answer) {
                    ran << QStringLiteral("prompt");
                    answer({true, false});
                }};
    }
    InstanceChannel::Respond respond()
    {
        reply.reset();
        return [this](const InstanceChannel::Reply& answer) { reply = answer; };
    }
    bool quits()
    {
        bool quit = false;
        delegate.shouldTerminate([&quit](bool answer) { quit = answer; });
        return quit;
    }
};

} // namespace

class TestLaunch : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        SharedSettings::setApiKey(QString());
        SharedSettings::setServerURL(QString());
    }

    void switchesAreExactAndTakeTheirValue()
    {
        // The arguments, split at spaces.
        const auto row = [](const char*, const char* arguments, const char* found) {
            const QStringList split = QString::fromUtf8(arguments).split(QLatin1Char(' '));
            QCOMPARE(::found(LaunchOptions::parse(split)), QString::fromUtf8(found));
        };
        row("program name", "--help", "");
        row("anywhere, exact", "p --verbose --helpx --help --show-history", "history verbose help");
        row("--remove over --reset", "p --reset --remove", "remove");
        row("notice", "p --show-notice trash", "notice=trash");
        row("no such notice", "p --show-notice x", "");
        row("notice last", "p --show-login --show-notice", "login");
        row("server, trimmed", "p --server \thttps://h.fr/i\n", "server=https://h.fr/i");
        row("ftp server", "p --server ftp://h.fr", "rejected");
        row("no host", "p --server https://", "rejected");
        row("server last", "p --reset --server", "reset rejected");
        row("sign-in", "p --sign-in a@b.fr --sign-out", "signOut signIn=a@b.fr");
        row("sign-in last", "p --reset-notices --sign-in", "notices signIn=");
    }

    // Signed out: the sign-in window, whatever else was asked; the notice once the loop runs.
    void launchSignedOut()
    {
        Launch launch;
        launch.delegate.didFinishLaunching({"p", "--server", "https://h.fr", "--reset",
                                            "--show-history", "--reset-notices", "--show-notice",
                                            "trash"},
                                           {}, launch.respond());
        QCOMPARE(SharedSettings::serverURL(), QStringLiteral("https://h.fr"));
        QCOMPARE(launch.lifeCycle(), (QStringList{"remove", "add", "remove"}));
        QCOMPARE(launch.ran, (QStringList{"login item", "sign-in", "history", "notices"}));
        QVERIFY(launch.reply && launch.reply->exitCode == 0);
        QTRY_COMPARE(launch.ran.last(), QStringLiteral("trash"));
        QVERIFY(launch.quits());
        QVERIFY(!launch.ran.contains(QStringLiteral("prompt")));

        // A scripted sign-in stands for the window; its refusal is the launch's failure.
        launch.ran.clear();
        launch.delegate.handleForwarded({{"p", "--sign-in", kEmail}, {}}, launch.respond());
        QVERIFY(launch.reply && launch.reply->exitCode == 1);
        QCOMPARE(launch.reply->message, launch.session.loginErrorText());
        QCOMPARE(launch.ran, QStringList());
    }

    // Signed in by the switches, then later starts' switches on the running session.
    void forwardedSwitchesOnTheSession()
    {
        testing::ImmichDoubleProcess server;
        QVERIFY(server.start({QStringLiteral("--user"), kEmail + QLatin1Char(':') + kPassword}));
        const QString url = server.url().toString();
        Launch launch;
        launch.delegate.didFinishLaunching({"p", "--server", url, "--sign-in", kEmail}, kPassword,
                                           launch.respond());
        QTRY_VERIFY_WITH_TIMEOUT(launch.reply.has_value(), 20'000);
        QCOMPARE(launch.reply->exitCode, 0);
        QVERIFY(launch.session.isAuthenticated());
        QCOMPARE(launch.ran, QStringList{"login item"});

        // --remove puts the drive back while a session exists; a bad address changes nothing.
        launch.drive->calls.clear();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("--server attend"));
        launch.delegate.handleForwarded({{"p", "--remove", "--server", "ftp://h.fr"}, {}},
                                        launch.respond());
        QCOMPARE(launch.lifeCycle(), (QStringList{"remove", "add"}));
        QCOMPARE(SharedSettings::serverURL(), url);
        QVERIFY(launch.reply && launch.reply->exitCode == 0);

        QVERIFY(launch.quits());
        QCOMPARE(launch.ran, (QStringList{"login item", "prompt"}));
        launch.delegate.willTerminate();
        QCOMPARE(launch.drive->calls.last(), QStringLiteral("removeAndWait 5000"));

        launch.delegate.handleForwarded({{"p", "--sign-out"}, {}}, launch.respond());
        QVERIFY(launch.reply && launch.reply->exitCode == 0);
        QVERIFY(!launch.session.isAuthenticated());
        QCOMPARE(launch.ran.last(), QStringLiteral("sign-in"));
    }

    // The later start blocks in forward(): here on a thread of its own.
    void requestAndReplyCrossTheChannel()
    {
        InstanceChannel running;
        QVERIFY(running.claim());
        InstanceChannel::Request seen;
        InstanceChannel::Respond respond;
        QVERIFY(running.listen(
            [&](const InstanceChannel::Request& request, InstanceChannel::Respond later) {
                seen = request;
                respond = std::move(later);
            }));
        // Neither the group nor others may connect.
        QCOMPARE(QFileInfo(InstanceChannel::socketPath()).permissions() & 0x77, 0);
        const QStringList arguments{"pixavella", "--sign-in", kEmail};
        auto reply = std::async(std::launch::async, [arguments] {
            return InstanceChannel::forward({arguments, kPassword}, 20s);
        });
        QTRY_VERIFY(respond != nullptr);
        QCOMPARE(seen.arguments, arguments);
        QCOMPARE(seen.password, kPassword);
        respond({3, QStringLiteral("Refusé « é »\nsur deux lignes")});
        QTRY_VERIFY(reply.wait_for(0s) == std::future_status::ready);
        const Result<InstanceChannel::Reply> answer = reply.get();
        QVERIFY(answer);
        QCOMPARE(answer.value().exitCode, 3);
        QCOMPARE(answer.value().message, QStringLiteral("Refusé « é »\nsur deux lignes"));
    }

    // No arguments, not JSON, an endless line.
    void strayRequestsAreDropped()
    {
        InstanceChannel running;
        QVERIFY(running.claim());
        bool handled = false;
        QVERIFY(running.listen([&](auto&, auto) { handled = true; }));
        for (const QByteArray& sent :
             {QByteArray("{\"password\":\"x\"}\n"), QByteArray("--show-history\n"),
              QByteArray(70 * 1024, 'x')}) {
            QLocalSocket stray;
            stray.connectToServer(InstanceChannel::socketPath());
            QVERIFY(stray.waitForConnected(5'000));
            stray.write(sent);
            QTRY_COMPARE(stray.state(), QLocalSocket::UnconnectedState);
        }
        QVERIFY(!handled);
    }

    void nobodyListeningIsAnError()
    {
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!InstanceChannel::forward({{"pixavella"}, {}}, 300ms));
        QVERIFY(clock.elapsed() < 5'000);
    }

    void completionsHopToTheMainThread()
    {
        auto target = std::make_unique<QObject>();
        const QPointer<QObject> guard(target.get());
        QList<QThread*> ranOn;
        const auto post = [&] {
            std::thread([&] {
                onMainThread(guard, [&](QObject&) { ranOn << QThread::currentThread(); });
            }).join();
        };
        post();
        QCOMPARE(ranOn.size(), 0);
        QTRY_COMPARE(ranOn, QList<QThread*>{QThread::currentThread()});
        post();
        target.reset();
        QTest::qWait(50);
        QCOMPARE(ranOn.size(), 1);
    }

    // The main thread blocks while the manager's completions need an event loop.
    void removalAtQuitRunsBesideTheBlockedThread()
    {
        QTemporaryDir dir;
        FileProviderManager::Options options = FileProviderManager::Options::defaults();
        options.socketPath = dir.filePath(QStringLiteral("control.sock"));
        options.mountPoint = dir.filePath(QStringLiteral("mnt"));
        options.cacheDirectory = dir.filePath(QStringLiteral("cache"));
        QVERIFY(QDir().mkpath(options.cacheDirectory));
        QVERIFY(FileProviderDomainBackend(options).removeAndWait(5s));
        QVERIFY(!QFileInfo::exists(options.cacheDirectory));

        QLocalServer mute;
        QVERIFY(mute.listen(options.socketPath));
        QElapsedTimer clock;
        clock.start();
        const Result<void> late = FileProviderDomainBackend(options).removeAndWait(300ms);
        QVERIFY(!late);
        QCOMPARE(late.error().code, ETIMEDOUT);
        QVERIFY(clock.elapsed() < 5'000);
    }
};

QTEST_GUILESS_MAIN(TestLaunch)
#include "TestLaunch.moc"
