#pragma once

#include "AppStores.h"
#include "DeletionNotifier.h"
#include "DesktopNotifications.h"
#include "DomainController.h"
#include "HistoryWindow.h"
#include "NoticeCenter.h"
#include "SessionModel.h"
#include "SoftwareUpdater.h"
#include "UploadIssueNotifier.h"
#include "UploadReconciler.h"
#include "UploadStatusModel.h"

#include <memory>

namespace pixavella {

class HttpSession;
class SettingsSuite;

// What the tray application keeps for its whole run, built once, each object after those it is
// handed, and destroyed in the reverse order. Every object gets the stores it uses from here.
// Without a display there are no windows: no notices, no status model, no history.
class AppServices {
public:
    AppServices(bool withWindows, AppStores& stores, SettingsSuite& suite, HttpSession& http);
    ~AppServices();

    AppServices(const AppServices&) = delete;
    AppServices& operator=(const AppServices&) = delete;

    UploadQuarantine& quarantine;
    UploadJournal& journal;
    CancelledUploads& cancelled;
    AssetNameStore& names;
    PedagogicalNoticeQueue& pedagogicalNotices;
    UserNoticeQueue& userNotices;
    PromotedPendingList& promoted;
    SettingsSuite& suite;
    HttpSession& http;

    DomainController domain;
    SessionModel session;
    DesktopNotifications notifications;
    UploadIssueNotifier uploadAlerts;
    UploadReconciler reconciler;
    DeletionNotifier deletions;
    SoftwareUpdater updater;

    // With a display only; null without.
    std::unique_ptr<NoticeCenter> notices;
    std::unique_ptr<NoticeObserver> noticeObserver;
    std::unique_ptr<UploadStatusModel> status;
    std::unique_ptr<HistoryWindowController> history;
};

} // namespace pixavella
