// Renders the tray's windows to PNG so that a person can look at them:
//   xvfb-run -a pixavella-screenshots <folder>
// Everything it writes (journal, settings) goes to a temporary home.
#include "AssetNameStore.h"
#include "Clock.h"
#include "DomainController.h"
#include "HistoryModel.h"
#include "HistoryWindow.h"
#include "HttpSession.h"
#include "LoginWindow.h"
#include "NoticeWindow.h"
#include "ProcessStores.h"
#include "QuitConfirmation.h"
#include "RecordingDomainBackend.h"
#include "SessionModel.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "TrayMenu.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"
#include "UploadStatus.h"

#include <httplib.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <thread>

using namespace pixavella;
using testing::appStores;

namespace {

UploadJournal::Event journalEvent(const QString& id, const QString& name, const QDateTime& at,
                                  const UploadJournal::Target& target = {},
                                  UploadJournal::Outcome outcome = UploadJournal::Outcome::uploaded)
{
    UploadJournal::Event e;
    e.id = id;
    e.filename = name;
    e.target = target;
    e.enqueuedAt = at;
    e.resolvedAt = at.addSecs(20);
    e.outcome = outcome;
    return e;
}

bool save(QWidget& widget, const QString& folder, const QString& name)
{
    widget.show();
    QTest::qWait(200);
    const QPixmap pixmap = widget.grab();
    return pixmap.save(QDir(folder).filePath(name));
}

MenuState signedIn()
{
    MenuState state;
    state.signedIn = true;
    state.email = QStringLiteral("marie.dupont@exemple.fr");
    const QDateTime now = Clock::now();
    state.statusLine =
        statusLine(UploadStatus::uploading(1, 3), 1, ConnectionState::ok, now, QString(), now);
    state.failedCount = 1;
    state.busy = true;
    state.canCheckForUpdates = true;
    state.version = QStringLiteral("0.1.0");
    return state;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    for (const char* variable : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        qputenv(variable, home.filePath(QString::fromLatin1(variable)).toLocal8Bit());
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    QDir().mkpath(folder);

    httplib::Server server;
    server.Get("/api/assets/statistics", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(R"({"images":1284,"videos":37,"total":1321})", "application/json");
    });
    server.Post("/api/auth/login", [](const httplib::Request&, httplib::Response& res) {
        res.status = 401;
        res.set_content(R"({"message":"Incorrect email or password","statusCode":401})",
                        "application/json");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread serving([&server] { server.listen_after_bind(); });

    const QDateTime now = Clock::now();
    const QDateTime today = QDateTime(now.date(), QTime(14, 5));
    const QDateTime yesterday = QDateTime(now.date().addDays(-1), QTime(19, 42));
    const auto vacances = UploadJournal::Target::album(QStringLiteral("Vacances en Bretagne"));
    QList<UploadJournal::Event> events = {
        journalEvent("Y1", "IMG_2031.HEIC", yesterday),
        journalEvent("Y2", "IMG_2032.HEIC", yesterday.addSecs(5)),
        journalEvent("Y3", "VID_2033.MOV", yesterday.addSecs(9)),
        journalEvent("T1", "IMG_3101.HEIC", today, vacances),
        journalEvent("T2", "IMG_3102.HEIC", today.addSecs(3), vacances),
        journalEvent("T3", "Coucher de soleil sur la plage de Kerlouan.jpg", today.addSecs(4),
                     vacances, UploadJournal::Outcome::failed),
        journalEvent("T4", "IMG_3104.HEIC", today.addSecs(6), vacances),
        journalEvent("L1", "scan-facture.png", today.addSecs(-3 * 3600)),
    };
    {
        QMutexLocker locker(&appStores().journal.lock());
        appStores().journal.saveEvents(events);
    }
    const QUrl url(QStringLiteral("http://127.0.0.1:%1").arg(port));
    auto* model = new HistoryModel(appStores().journal,
                                   [url] { return std::optional(ImmichClient(url, "key")); }, {});
    HistoryView history(model, nullptr);
    history.setWindowTitle(QStringLiteral("Historique des envois Pixavella"));
    bool ok = QTest::qWaitFor([model] { return model->stats().has_value(); }, 5000);
    model->toggle(model->sections().first().batches.first().id());
    ok &= save(history, folder, QStringLiteral("history.png"));

    NoticeWindowController notice(PedagogicalNotice::library, {});
    ok &= save(notice, folder, QStringLiteral("notice-library.png"));

    QMenu menuIn;
    TrayMenu::fill(menuIn, TrayMenu::rows(signedIn(), {}));
    ok &= save(menuIn, folder, QStringLiteral("menu-signed-in.png"));

    MenuState out;
    out.version = QStringLiteral("0.1.0");
    QMenu menuOut;
    TrayMenu::fill(menuOut, TrayMenu::rows(out, {}));
    ok &= save(menuOut, folder, QStringLiteral("menu-signed-out.png"));

    // The sign-in window after a wrong password.
    SharedSettings::setServerURL(url.toString());
    DomainController domain(std::make_unique<testing::RecordingDomainBackend>(
        std::make_shared<testing::RecordingDomainBackend::State>()));
    SessionModel session(domain, UploadQuarantine::shared(), SettingsSuite::shared(),
                         appStores().names);
    LoginWindowController login(session);
    login.show();
    LoginView& form = *login.window();
    form.emailField()->setText(QStringLiteral("marie.dupont@exemple.fr"));
    form.passwordField()->setText(QStringLiteral("pas-le-bon"));
    form.signInButton()->click();
    ok &= QTest::qWaitFor([&form] { return !form.errorLine()->isHidden(); }, 5000);
    ok &= save(form, folder, QStringLiteral("sign-in-wrong-password.png"));

    std::unique_ptr<QMessageBox> alert(QuitConfirmation::createAlert());
    ok &= save(*alert, folder, QStringLiteral("quit-alert.png"));

    server.stop();
    serving.join();
    return ok ? 0 : 1;
}
