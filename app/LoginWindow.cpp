#include "LoginWindow.h"

#include "SessionModel.h"
#include "SharedSettings.h"

#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace pixavella {

namespace {

QLabel* image(const QString& resource, QSize size, QWidget* parent)
{
    auto* label = new QLabel(parent);
    const qreal ratio = parent->devicePixelRatioF();
    QPixmap pixmap = QIcon(resource).pixmap(size * ratio);
    pixmap.setDevicePixelRatio(ratio);
    label->setPixmap(pixmap);
    label->setFixedSize(size);
    return label;
}

QLabel* fieldLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setWeight(QFont::DemiBold);
    label->setFont(font);
    return label;
}

} // namespace

LoginView::LoginView(SessionModel& session, QWidget* parent)
    : QWidget(parent), m_session(session), m_email(new QLineEdit(this)),
      m_password(new QLineEdit(this)), m_error(new QLabel(this)),
      m_signIn(new QPushButton(tr("Se connecter"), this))
{
    m_email->setPlaceholderText(QStringLiteral("marie.dupont@exemple.fr"));
    m_email->setClearButtonEnabled(true);
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setPlaceholderText(QStringLiteral("••••••••"));
    m_error->setWordWrap(true);
    m_error->setAlignment(Qt::AlignCenter);
    m_error->setTextFormat(Qt::PlainText);
    QPalette errorPalette = m_error->palette();
    errorPalette.setColor(QPalette::WindowText, QColor(0xc0, 0x39, 0x2b));
    m_error->setPalette(errorPalette);
    m_error->hide();
    m_signIn->setDefault(true);
    m_signIn->setAutoDefault(true);
    m_signIn->setMinimumHeight(32);

    auto* tagline = new QLabel(tr("Vos photos, au bon endroit."), this);
    tagline->setAlignment(Qt::AlignCenter);
    tagline->setForegroundRole(QPalette::PlaceholderText);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 24);
    layout->setSpacing(6);
    layout->addWidget(image(QStringLiteral(":/images/login-icon.svg"), {72, 72}, this), 0,
                      Qt::AlignHCenter);
    layout->addSpacing(4);
    layout->addWidget(image(QStringLiteral(":/images/login-wordmark.svg"), {165, 36}, this), 0,
                      Qt::AlignHCenter);
    layout->addWidget(tagline);
    layout->addSpacing(14);
    layout->addWidget(fieldLabel(tr("Email"), this));
    layout->addWidget(m_email);
    layout->addSpacing(6);
    layout->addWidget(fieldLabel(tr("Mot de passe"), this));
    layout->addWidget(m_password);
    layout->addSpacing(6);
    layout->addWidget(m_error);
    layout->addSpacing(6);
    layout->addWidget(m_signIn);
    setFixedWidth(kWidth);

    connect(m_signIn, &QPushButton::clicked, this, &LoginView::submit);
    connect(m_email, &QLineEdit::returnPressed, this, &LoginView::submit);
    connect(m_password, &QLineEdit::returnPressed, this, &LoginView::submit);
    connect(&m_session, &SessionModel::loginErrorChanged, this, &LoginView::updateFromSession);
    connect(&m_session, &SessionModel::isWorkingChanged, this, &LoginView::updateFromSession);
    updateFromSession();
}

void LoginView::submit()
{
    m_session.signIn(SharedSettings::serverURL(), m_email->text(), m_password->text());
}

void LoginView::updateFromSession()
{
    const QString error = m_session.loginErrorText();
    m_error->setText(error);
    m_error->setVisible(!error.isEmpty());
    m_signIn->setEnabled(!m_session.isWorking());
    // The height follows the error line.
    adjustSize();
}

LoginWindowController::LoginWindowController(SessionModel& session, QObject* parent)
    : QObject(parent), m_session(session)
{
    connect(&m_session, &SessionModel::signedIn, this, [this] {
        if (!m_window)
            return;
        m_window->passwordField()->clear();
        m_window->close();
    });
}

LoginWindowController::~LoginWindowController()
{
    delete m_window;
}

void LoginWindowController::show()
{
    if (!m_window) {
        m_window = new LoginView(m_session);
        m_window->setWindowTitle(tr("Connexion à Pixavella"));
        m_window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                                 Qt::CustomizeWindowHint);
        m_window->emailField()->setText(SharedSettings::userEmail());
        m_window->adjustSize();
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            m_window->move(screen->availableGeometry().center() - m_window->rect().center());
    }
    if (m_window->emailField()->text().isEmpty())
        m_window->emailField()->setText(SharedSettings::userEmail());
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    (m_window->emailField()->text().isEmpty() ? m_window->emailField() : m_window->passwordField())
        ->setFocus();
}

bool LoginWindowController::isVisible() const
{
    return m_window && m_window->isVisible();
}

} // namespace pixavella
