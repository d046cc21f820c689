#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

namespace pixavella {

class SessionModel;

// The sign-in window: server address, e-mail and password, the last error, and the button
// that hands them to the session. Created once and kept; closing only hides it.
class SignInWindow : public QWidget {
    Q_OBJECT

public:
    explicit SignInWindow(SessionModel& session, QWidget* parent = nullptr);

    // Shows the window in front, fields filled from the stored server address and e-mail
    // when the user has not typed anything yet.
    void present();

    QLineEdit* serverField() const { return m_server; }
    QLineEdit* emailField() const { return m_email; }
    QLineEdit* passwordField() const { return m_password; }
    QLabel* errorLine() const { return m_error; }
    QPushButton* signInButton() const { return m_signIn; }

private:
    void submit();
    void updateFromSession();

    SessionModel& m_session;
    QLineEdit* m_server;
    QLineEdit* m_email;
    QLineEdit* m_password;
    QLabel* m_error;
    QPushButton* m_signIn;
};

} // namespace pixavella
