#pragma once

#include "DesktopNotifications.h"

#include <QObject>

#include <memory>

namespace pixavella {

class UserNoticeQueue;
namespace Signals {
class Subscription;
}

// Shows the deletion notices the drive leaves in "pending.deletionNotices" (for instance that
// a photo went to the server's trash) as desktop notifications, in the order they were queued.
// Main thread only; the signal that announces new notices is taken back to it.
class DeletionNotifier : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kCategory = "PIXAVELLA_DELETION";

    DeletionNotifier(DesktopNotifications& center, UserNoticeQueue& queue,
                     QObject* parent = nullptr);
    ~DeletionNotifier() override;

    // Once per object: watches "app.pixavella.deletionRecorded", then drains what was queued
    // while the application was not running. Later calls do nothing.
    void start();
    bool isStarted() const { return m_started; }
    // Takes every pending notice and posts each as one notification.
    void drain();

private:
    DesktopNotifications& m_center;
    UserNoticeQueue& m_queue;
    bool m_started = false;
    std::unique_ptr<Signals::Subscription> m_subscription;
};

} // namespace pixavella
