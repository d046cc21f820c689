#pragma once

#include "PedagogicalNotice.h"

#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

namespace pixavella {

class PedagogicalNoticeQueue;
namespace Signals {
class Subscription;
}

// Shows the pedagogical notices one at a time: the one on screen and those waiting, without
// duplicates. A notice the user asked not to see again is dropped, also when it was already
// waiting. Main thread only; nothing of it survives the process but the suppression flags.
class NoticeCenter : public QObject {
    Q_OBJECT

public:
    // Opens the notice; `closed` must be called once, with the switch's value, when it closes.
    using Presenter =
        std::function<void(PedagogicalNotice notice, std::function<void(bool suppress)> closed)>;

    // Opens the product's notice panel.
    static Presenter panelPresenter();
    explicit NoticeCenter(Presenter presenter, QObject* parent = nullptr);
    ~NoticeCenter() override;

    void enqueue(PedagogicalNotice notice);

    std::optional<PedagogicalNotice> showing() const { return m_showing; }
    const QList<PedagogicalNotice>& queue() const { return m_queue; }

    // The application's own settings "notice.suppressed.<key>", and "didShowMoveNotice" for
    // the move notice.
    static bool isSuppressed(PedagogicalNotice notice);
    static void suppress(PedagogicalNotice notice);
    // Forgets every suppression.
    static void resetSuppressed();

private:
    void showNext();
    void closed(PedagogicalNotice notice, bool suppress);

    Presenter m_presenter;
    QList<PedagogicalNotice> m_queue;
    std::optional<PedagogicalNotice> m_showing;
};

// Brings the notices that the drive queued in the shared settings into the centre, at start
// and at every "app.pixavella.noticePosted".
class NoticeObserver : public QObject {
    Q_OBJECT

public:
    NoticeObserver(NoticeCenter& center, PedagogicalNoticeQueue& queue, QObject* parent = nullptr);
    ~NoticeObserver() override;

    // Runs once.
    void start();
    // Empties the shared queue into the centre, in order.
    void drain();

private:
    NoticeCenter& m_center;
    PedagogicalNoticeQueue& m_queue;
    std::unique_ptr<Signals::Subscription> m_subscription;
};

} // namespace pixavella
