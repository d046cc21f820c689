#pragma once

#include "TextQueue.h"

#include <QStringList>

namespace pixavella {

class SettingsSuite;

// Short French sentences the extension leaves for the application to show as notifications,
// kept in the shared settings under "pending.deletionNotices" in order of arrival.
class UserNoticeQueue {
public:
    static constexpr const char* kSettingsKey = "pending.deletionNotices";

    explicit UserNoticeQueue(SettingsSuite& suite);

    // Appends and then posts "app.pixavella.deletionRecorded".
    void append(const QString& message);
    // Takes every queued message, in order, and removes the key.
    QStringList drain();

private:
    TextQueue m_queue;
};

} // namespace pixavella
