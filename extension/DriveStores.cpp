#include "DriveStores.h"

namespace pixavella {

DriveStores::DriveStores(SettingsSuite& suite, HttpSession& http, UploadQuarantine& quarantine)
    : namesHealth(suite), userNotices(suite), names(renames, namesHealth, suite, http, userNotices),
      dedup(suite, &names), cache(currentUser, &dedup), library(dedup), snapshots(suite),
      promoted(suite), notices(suite),
      activity(suite), stores{quarantine, journal,     cancelled,   names,     cache,
                              library,    currentUser, tombstones,  snapshots, promoted,
                              dedup,      notices,     userNotices, activity,  storage}
{
}

} // namespace pixavella
