#pragma once

#include "PedagogicalNotice.h"

#include <QWidget>

#include <functional>

class QCheckBox;
class QPushButton;

namespace pixavella {

// The panel's content: title, text, the switch "Ne plus afficher ce message" and the button
// "J'ai compris" (Return).
class NoticeView : public QWidget {
    Q_OBJECT

public:
    NoticeView(PedagogicalNotice notice, QWidget* parent = nullptr);

    bool suppress() const;
    QCheckBox* suppressSwitch() const { return m_switch; }
    QPushButton* confirmButton() const { return m_confirm; }

signals:
    void confirmed();

private:
    QCheckBox* m_switch;
    QPushButton* m_confirm;
};

// A small tool window that stays on top without taking the focus from the file manager; it
// reports the switch's value once, when it closes, then deletes itself.
class NoticeWindowController : public QWidget {
    Q_OBJECT

public:
    static constexpr int kWidth = 440;
    static constexpr int kHeight = 220;

    NoticeWindowController(PedagogicalNotice notice, std::function<void(bool suppress)> onClose,
                           QWidget* parent = nullptr);

    NoticeView* view() const { return m_view; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    NoticeView* m_view;
    std::function<void(bool)> m_onClose;
};

} // namespace pixavella
