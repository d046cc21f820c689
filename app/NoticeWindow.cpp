#include "NoticeWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace pixavella {

NoticeView::NoticeView(PedagogicalNotice notice, QWidget* parent) : QWidget(parent)
{
    auto* title = new QLabel(noticeTitle(notice), this);
    QFont headline = title->font();
    headline.setBold(true);
    headline.setPointSizeF(headline.pointSizeF() * 1.1);
    title->setFont(headline);
    title->setWordWrap(true);

    auto* text = new QLabel(noticeText(notice), this);
    text->setWordWrap(true);
    text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    text->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);

    m_switch = new QCheckBox(tr("Ne plus afficher ce message"), this);
    QFont caption = m_switch->font();
    caption.setPointSizeF(caption.pointSizeF() * 0.9);
    m_switch->setFont(caption);
    QPalette secondary = m_switch->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
    secondary.setColor(QPalette::ButtonText, secondary.color(QPalette::PlaceholderText));
    m_switch->setPalette(secondary);

    m_confirm = new QPushButton(tr("J'ai compris"), this);
    m_confirm->setDefault(true);
    m_confirm->setAutoDefault(true);
    connect(m_confirm, &QPushButton::clicked, this, &NoticeView::confirmed);

    auto* row = new QHBoxLayout;
    row->addWidget(m_switch);
    row->addStretch(1);
    row->addWidget(m_confirm);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 16, 20, 16);
    layout->setSpacing(10);
    layout->addWidget(title);
    layout->addWidget(text, 1);
    layout->addLayout(row);
}

bool NoticeView::suppress() const
{
    return m_switch->isChecked();
}

NoticeWindowController::NoticeWindowController(PedagogicalNotice notice,
                                               std::function<void(bool)> onClose, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_view(new NoticeView(notice, this)), m_onClose(std::move(onClose))
{
    setWindowTitle(QStringLiteral("Pixavella"));
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_ShowWithoutActivating);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    resize(kWidth, std::max(kHeight, heightForWidth(kWidth)));
    connect(m_view, &NoticeView::confirmed, this, &QWidget::close);
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void NoticeWindowController::closeEvent(QCloseEvent* event)
{
    if (m_onClose) {
        auto onClose = std::move(m_onClose);
        m_onClose = nullptr;
        onClose(m_view->suppress());
    }
    event->accept();
}

} // namespace pixavella
