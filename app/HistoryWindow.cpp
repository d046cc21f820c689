#include "HistoryWindow.h"

#include "SharedSettings.h"
#include "Symbols.h"
#include "UploadStatusModel.h"

#include <QApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace pixavella {

namespace {

const QColor kOrange(0xE6, 0x7E, 0x00);
const QColor kGreen(0x2E, 0x9E, 0x44);

QColor secondary(const QWidget* w)
{
    return w->palette().color(QPalette::PlaceholderText);
}

QFrame* divider(QWidget* parent)
{
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

QLabel* symbolLabel(const QString& name, const QColor& color, int size, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setPixmap(symbolPixmap(name, color, size, parent->devicePixelRatioF()));
    label->setFixedWidth(qMax(size, 12));
    label->setAlignment(Qt::AlignCenter);
    return label;
}

void scaleFont(QWidget* w, qreal factor, bool bold = false)
{
    QFont font = w->font();
    font.setPointSizeF(font.pointSizeF() * factor);
    font.setBold(bold);
    w->setFont(font);
}

// Draws its text truncated in the middle to whatever width the layout gives it.
class ElidedLabel : public QLabel {
public:
    ElidedLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
    {
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    }
    QSize minimumSizeHint() const override { return {fontMetrics().averageCharWidth() * 4, 0}; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setPen(palette().color(foregroundRole()));
        painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideMiddle, width()));
    }
};

bool hasFailure(const UploadJournal::Batch& batch)
{
    return std::any_of(batch.events.begin(), batch.events.end(),
                       [](const auto& e) { return e.outcome == UploadJournal::Outcome::failed; });
}

} // namespace

HistoryView::HistoryView(HistoryModel* model, UploadStatusModel* status, QWidget* parent)
    : QWidget(parent), m_model(model), m_status(status)
{
    m_model->setParent(this);
    setFixedSize(kWidth, kHeight);

    m_header = new QLabel(this);
    scaleFont(m_header, 1.1, true);
    m_header->setContentsMargins(18, 14, 18, 14);

    m_statusLine = new QLabel(this);
    m_statusLine->setContentsMargins(18, 8, 18, 8);
    m_statusLine->setForegroundRole(QPalette::PlaceholderText);
    m_statusDivider = divider(this);

    m_empty = new QWidget(this);
    auto* emptyLayout = new QVBoxLayout(m_empty);
    emptyLayout->addStretch(1);
    const QColor tertiary = [this] {
        QColor c = secondary(this);
        c.setAlphaF(0.55);
        return c;
    }();
    auto* tray = symbolLabel(QStringLiteral("tray"), tertiary, 28, m_empty);
    tray->setFixedWidth(kWidth - 40);
    emptyLayout->addWidget(tray, 0, Qt::AlignHCenter);
    auto* emptyText = new QLabel(tr("Aucun envoi pour l'instant"), m_empty);
    emptyText->setForegroundRole(QPalette::PlaceholderText);
    emptyLayout->addWidget(emptyText, 0, Qt::AlignHCenter);
    emptyLayout->addStretch(1);

    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_header);
    layout->addWidget(divider(this));
    layout->addWidget(m_statusLine);
    layout->addWidget(m_statusDivider);
    layout->addWidget(m_empty, 1);
    layout->addWidget(m_scroll, 1);

    connect(m_model, &HistoryModel::statsChanged, this, &HistoryView::updateHeader);
    connect(m_model, &HistoryModel::sectionsChanged, this, &HistoryView::rebuildList);
    connect(m_model, &HistoryModel::expandedChanged, this, &HistoryView::rebuildList);
    if (m_status)
        connect(m_status, &UploadStatusModel::statusChanged, this, &HistoryView::updateStatus);
    updateHeader();
    updateStatus();
    rebuildList();
}

QString HistoryView::headerText() const
{
    return m_header->text();
}

QString HistoryView::statusText() const
{
    return m_statusLine->isHidden() ? QString() : m_statusLine->text();
}

void HistoryView::updateHeader()
{
    m_header->setText(HistoryModel::statisticsText(m_model->stats()));
}

void HistoryView::updateStatus()
{
    const QString line = m_status ? HistoryModel::statusLine(m_status->status()) : QString();
    m_statusLine->setText(line);
    m_statusLine->setHidden(line.isEmpty());
    m_statusDivider->setHidden(line.isEmpty());
}

void HistoryView::rebuildList()
{
    const int scrolled = m_scroll->verticalScrollBar() ? m_scroll->verticalScrollBar()->value() : 0;
    const bool empty = m_model->sections().isEmpty();
    m_empty->setVisible(empty);
    m_scroll->setVisible(!empty);

    auto* content = new QWidget;
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 8);
    layout->setSpacing(0);
    for (const DaySection& section : m_model->sections()) {
        auto* label = new QLabel(section.label, content);
        label->setObjectName(QStringLiteral("daySection"));
        scaleFont(label, 0.9, true);
        label->setForegroundRole(QPalette::PlaceholderText);
        label->setContentsMargins(18, 12, 18, 4);
        layout->addWidget(label);
        for (const UploadJournal::Batch& batch : section.batches) {
            layout->addWidget(batchRow(batch));
            if (m_model->isExpanded(batch.id())) {
                for (const UploadJournal::Event& event : batch.events)
                    layout->addWidget(eventRow(event));
            }
        }
    }
    layout->addStretch(1);
    // The rows may be rebuilt from the click of one of them: delete them once it returned.
    if (QWidget* old = m_scroll->takeWidget())
        old->deleteLater();
    m_scroll->setWidget(content);
    m_scroll->verticalScrollBar()->setValue(scrolled);
}

QWidget* HistoryView::batchRow(const UploadJournal::Batch& batch)
{
    auto* button = new QPushButton;
    button->setObjectName(QStringLiteral("batch"));
    button->setProperty("batchId", batch.id());
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QPushButton { border: none; text-align: left; }"));
    const QString id = batch.id();
    connect(button, &QPushButton::clicked, m_model, [model = m_model, id] { model->toggle(id); });

    auto* row = new QHBoxLayout(button);
    row->setContentsMargins(18, 5, 18, 5);
    row->setSpacing(8);
    const bool unfolded = m_model->isExpanded(id);
    row->addWidget(
        symbolLabel(unfolded ? QStringLiteral("chevron-down") : QStringLiteral("chevron-right"),
                    secondary(this), 10, button));
    const bool failed = hasFailure(batch);
    auto* status =
        symbolLabel(failed ? QStringLiteral("warning") : QStringLiteral("checkmark-circle"),
                    failed ? kOrange : kGreen, 16, button);
    status->setObjectName(failed ? QStringLiteral("failedSymbol") : QStringLiteral("doneSymbol"));
    row->addWidget(status);
    auto* summary = new ElidedLabel(batch.summary(), button);
    row->addWidget(summary, 1);
    auto* time = new QLabel(HistoryModel::timeText(batch.startedAt()), button);
    QFont digits = time->font();
    digits.setFamily(QStringLiteral("monospace"));
    digits.setStyleHint(QFont::Monospace);
    time->setFont(digits);
    time->setForegroundRole(QPalette::PlaceholderText);
    row->addWidget(time);
    button->setMinimumHeight(row->sizeHint().height());
    return button;
}

QWidget* HistoryView::eventRow(const UploadJournal::Event& event)
{
    auto* widget = new QWidget;
    widget->setObjectName(QStringLiteral("event"));
    auto* row = new QHBoxLayout(widget);
    row->setContentsMargins(56, 2, 18, 2);
    row->setSpacing(6);
    const bool failed = event.outcome == UploadJournal::Outcome::failed;
    row->addWidget(symbolLabel(failed ? QStringLiteral("warning") : QStringLiteral("checkmark"),
                               failed ? kOrange : kGreen, 12, widget));
    auto* name = new ElidedLabel(event.filename, widget);
    scaleFont(name, 0.95);
    // The destination follows the name; the name gives way when the row is short.
    name->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    row->addWidget(name);
    auto* dot = new QLabel(QStringLiteral("·"), widget);
    QPalette tertiary = dot->palette();
    QColor c = secondary(this);
    c.setAlphaF(0.55);
    tertiary.setColor(QPalette::WindowText, c);
    dot->setPalette(tertiary);
    row->addWidget(dot);
    auto* destination = new ElidedLabel(HistoryModel::destination(event.target), widget);
    scaleFont(destination, 0.95);
    destination->setForegroundRole(QPalette::PlaceholderText);
    // The file name takes what the destination leaves, the destination at most a third.
    destination->setMaximumWidth(kWidth / 3);
    destination->setMinimumWidth(std::min(destination->sizeHint().width(), kWidth / 3));
    destination->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Preferred);
    row->addWidget(destination);
    row->addStretch(1);
    if (failed) {
        auto* retry = new QPushButton(tr("Réessayer"), widget);
        retry->setObjectName(QStringLiteral("retry"));
        retry->setFlat(true);
        retry->setCursor(Qt::PointingHandCursor);
        scaleFont(retry, 0.9);
        retry->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0 2px; color: "
                                            "palette(link); }"));
        connect(retry, &QPushButton::clicked, m_model,
                [model = m_model, event] { model->retry(event); });
        row->addWidget(retry);
    }
    return widget;
}

HistoryWindowController::HistoryWindowController(UploadJournal& journal,
                                                 HistoryModel::RetryAction retry,
                                                 UploadStatusModel* status, QObject* parent)
    : QObject(parent), m_journal(journal), m_retry(std::move(retry)), m_status(status)
{
}

// Its model calls the retry handed to this controller: the window must not outlive it.
HistoryWindowController::~HistoryWindowController()
{
    delete m_window.data();
}

void HistoryWindowController::show()
{
    if (!m_window) {
        auto* model = new HistoryModel(m_journal, &SharedSettings::makeClient, m_retry);
        model->observeJournal();
        auto* view = new HistoryView(model, m_status);
        view->setWindowTitle(tr("Historique des envois Pixavella"));
        view->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                             Qt::WindowMinimizeButtonHint);
        m_window = view;
        if (const QScreen* screen = QGuiApplication::primaryScreen())
            view->move(screen->availableGeometry().center() - view->rect().center());
    }
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

} // namespace pixavella
