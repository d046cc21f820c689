#pragma once

#include <QPointer>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace pixavella {

class SessionModel;

// The sign-in form: the application's icon and name, the tagline, e-mail and password, the
// last error and the button that hands them to the session with the stored server address.
class LoginView : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 340;

    explicit LoginView(SessionModel& session, QWidget* parent = nullptr);

    QLineEdit* emailField() const { return m_email; }
    QLineEdit* passwordField() const { return m_password; }
    QLabel* errorLine() const { return m_error; }
    QPushButton* signInButton() const { return m_signIn; }

private:
    void submit();
    void updateFromSession();

    SessionModel& m_session;
    QLineEdit* m_email;
    QLineEdit* m_password;
    QLabel* m_error;
    QPushButton* m_signIn;
};

// The one sign-in window of the run: created on first show, kept when closed, closed when a
// sign-in succeeds.
class LoginWindowController : public QObject {
    Q_OBJECT

public:
    explicit LoginWindowController(SessionModel& session, QObject* parent = nullptr);
    ~LoginWindowController() override;

    // Shows the window in front; the e-mail field starts with the stored address.
    void show();
    // Null before the first show.
    LoginView* window() const { return m_window; }
    bool isVisible() const;

private:
    SessionModel& m_session;
    QPointer<LoginView> m_window;
};

} // namespace pixavella
