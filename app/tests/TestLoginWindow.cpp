#include "DomainController.h"
#include "LoginWindow.h"
#include "RecordingDomainBackend.h"
#include "SessionModel.h"
#include "SharedSettings.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace pixavella;

class TestLoginWindow : public QObject {
    Q_OBJECT

private slots:
    void filledFromSettingsAndShowsErrors()
    {
        SharedSettings::setServerURL(QStringLiteral("https://photos.example"));
        SharedSettings::setUserEmail(QStringLiteral("lea@example.fr"));
        auto state = std::make_shared<testing::RecordingDomainBackend::State>();
        DomainController domain(std::make_unique<testing::RecordingDomainBackend>(state));
        SessionModel session(domain);
        LoginWindowController controller(session);
        controller.show();
        LoginView& window = *controller.window();
        QCOMPARE(window.emailField()->text(), QStringLiteral("lea@example.fr"));
        QCOMPARE(window.passwordField()->echoMode(), QLineEdit::Password);
        QVERIFY(window.errorLine()->isHidden());

        QTest::mouseClick(window.signInButton(), Qt::LeftButton);
        QVERIFY(!window.errorLine()->isHidden());
        QCOMPARE(window.errorLine()->text(),
                 QStringLiteral("Renseigne l'adresse du serveur, l'email et le mot de passe."));

        // Typed text is kept when the window shows again.
        window.emailField()->setText(QStringLiteral("autre@example.fr"));
        window.close();
        controller.show();
        QCOMPARE(controller.window(), &window);
        QCOMPARE(window.emailField()->text(), QStringLiteral("autre@example.fr"));
    }
};

QTEST_MAIN(TestLoginWindow)
#include "TestLoginWindow.moc"
