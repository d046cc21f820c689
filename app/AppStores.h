#pragma once

#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "NamesServiceHealth.h"
#include "PedagogicalNoticeQueue.h"
#include "PromotedPendingList.h"
#include "RenameQueue.h"
#include "UploadJournal.h"
#include "UploadReconciler.h"
#include "UserNoticeQueue.h"

namespace pixavella {

class HttpSession;
class SettingsSuite;
class UploadQuarantine;

// The tray application's stores, built once by whoever runs the uploads (the application's main,
// a bench, a test), each after those it is handed; the drive's processes open the same files. The
// settings suite, the HTTP session and the quarantine are the process's own instances, handed in.
// Main keeps them past the application object: answers still on their way when it goes may reach
// them.
struct AppStores {
    AppStores(SettingsSuite& suite, HttpSession& http, UploadQuarantine& quarantine);
    AppStores(const AppStores&) = delete;
    AppStores& operator=(const AppStores&) = delete;

    UploadQuarantine& quarantine;
    UploadJournal journal;
    CancelledUploads cancelled;
    RenameQueue renames;
    NamesServiceHealth namesHealth;
    UserNoticeQueue userNotices;
    AssetNameStore names;
    PedagogicalNoticeQueue pedagogicalNotices;
    PromotedPendingList promoted;

    // What the uploads are handed.
    UploadReconciler::Stores forUploads();
};

} // namespace pixavella
