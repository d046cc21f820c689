#include "AppStores.h"

namespace pixavella {

AppStores::AppStores(SettingsSuite& suite, HttpSession& http, UploadQuarantine& quarantine)
    : quarantine(quarantine), namesHealth(suite), userNotices(suite),
      names(renames, namesHealth, suite, http, userNotices), pedagogicalNotices(suite),
      promoted(suite)
{
}

UploadReconciler::Stores AppStores::forUploads()
{
    return {quarantine, journal, cancelled, names, pedagogicalNotices, promoted};
}

} // namespace pixavella
