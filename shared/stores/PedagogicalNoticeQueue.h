#pragma once

#include "TextQueue.h"

#include "PedagogicalNotice.h"

#include <QList>

namespace pixavella {

class SettingsSuite;

// Notices waiting for the application to present them, kept in the shared settings under
// "pending.pedagogicalNotices" as keys in order of arrival; duplicates are kept.
class PedagogicalNoticeQueue {
public:
    static constexpr const char* kSettingsKey = "pending.pedagogicalNotices";

    explicit PedagogicalNoticeQueue(SettingsSuite& suite);

    // Appends the notice's key, then posts "app.pixavella.noticePosted".
    void post(PedagogicalNotice notice);
    // Takes the whole queue, removes the key and returns the known notices in order; texts
    // that name no notice are dropped with the rest.
    QList<PedagogicalNotice> drain();

private:
    TextQueue m_queue;
};

} // namespace pixavella
