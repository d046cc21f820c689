#include "SignInWindow.h"

#include "SessionModel.h"
#include "SharedSettings.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace pixavella {

SignInWindow::SignInWindow(SessionModel& session, QWidget* parent)
    : QWidget(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      m_session(session), m_server(new QLineEdit(this)), m_email(new QLineEdit(this)),
      m_password(new QLineEdit(this)), m_error(new QLabel(this)),
      m_signIn(new QPushButton(tr("Se connecter"), this))
{
    setWindowTitle(tr("Connexion à Pixavella"));

    m_server->setPlaceholderText(QStringLiteral("https://photos.exemple.fr"));
    m_email->setPlaceholderText(QStringLiteral("prenom.nom@exemple.fr"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setPlaceholderText(QStringLiteral("••••••••"));
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #c0392b;"));
    m_error->hide();
    m_signIn->setDefault(true);

    auto* tagline = new QLabel(tr("Vos photos, au bon endroit."), this);
    auto* form = new QFormLayout;
    form->addRow(tr("Serveur"), m_server);
    form->addRow(tr("Email"), m_email);
    form->addRow(tr("Mot de passe"), m_password);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tagline);
    layout->addLayout(form);
    layout->addWidget(m_error);
    layout->addWidget(m_signIn, 0, Qt::AlignRight);
    setFixedWidth(360);

    connect(m_signIn, &QPushButton::clicked, this, &SignInWindow::submit);
    connect(m_password, &QLineEdit::returnPressed, this, &SignInWindow::submit);
    connect(&m_session, &SessionModel::loginErrorChanged, this, &SignInWindow::updateFromSession);
    connect(&m_session, &SessionModel::isWorkingChanged, this, &SignInWindow::updateFromSession);
    connect(&m_session, &SessionModel::signedIn, this, [this] {
        m_password->clear();
        close();
    });
    updateFromSession();
}

void SignInWindow::present()
{
    if (m_server->text().isEmpty())
        m_server->setText(SharedSettings::serverURL());
    if (m_email->text().isEmpty())
        m_email->setText(SharedSettings::userEmail());
    show();
    raise();
    activateWindow();
}

void SignInWindow::submit()
{
    m_session.signIn(m_server->text(), m_email->text(), m_password->text());
}

void SignInWindow::updateFromSession()
{
    const QString error = m_session.loginErrorText();
    m_error->setText(error);
    m_error->setVisible(!error.isEmpty());
    m_signIn->setEnabled(!m_session.isWorking());
}

} // namespace pixavella
