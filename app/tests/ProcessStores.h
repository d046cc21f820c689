#pragma once

// The process's stores, built once as the application's main builds its own; the drive's files
// are written through them.

#include "AppStores.h"
#include "HttpSession.h"
#include "SettingsSuite.h"
#include "UploadQuarantine.h"

namespace pixavella::testing {

inline AppStores& appStores()
{
    static AppStores owned(SettingsSuite::shared(), HttpSession::shared(),
                           UploadQuarantine::shared());
    return owned;
}

inline void clearQuarantine()
{
    for (const UploadQuarantine::Entry& entry : UploadQuarantine::shared().list())
        (void)UploadQuarantine::shared().remove(entry.id);
}

} // namespace pixavella::testing
