#include "AppServices.h"

#include "AssetNameStore.h"
#include "CancelledUploads.h"
#include "FileProviderDomainBackend.h"
#include "HttpSession.h"
#include "PedagogicalNoticeQueue.h"
#include "PromotedPendingList.h"
#include "SettingsSuite.h"
#include "UploadJournal.h"
#include "UploadQuarantine.h"
#include "UserNoticeQueue.h"

#include <QDBusConnection>

namespace pixavella {

AppServices::AppServices(bool withWindows)
    : quarantine(UploadQuarantine::shared()), journal(UploadJournal::shared()),
      cancelled(CancelledUploads::shared()), names(AssetNameStore::shared()),
      pedagogicalNotices(PedagogicalNoticeQueue::shared()), userNotices(UserNoticeQueue::shared()),
      promoted(PromotedPendingList::shared()), suite(SettingsSuite::shared()),
      http(HttpSession::shared()), domain(std::make_unique<FileProviderDomainBackend>()),
      session(domain, quarantine, suite, names), notifications(QDBusConnection::sessionBus()),
      uploadAlerts(notifications, quarantine),
      reconciler({quarantine, journal, cancelled, names, pedagogicalNotices, promoted},
                 &uploadAlerts),
      deletions(notifications, userNotices), updater(http)
{
    if (!withWindows)
        return;
    notices = std::make_unique<NoticeCenter>(NoticeCenter::panelPresenter());
    noticeObserver = std::make_unique<NoticeObserver>(*notices, pedagogicalNotices);
    status = std::make_unique<UploadStatusModel>(
        quarantine, suite, journal, UploadStatusModel::sessionSource(session),
        [center = notices.get()](PedagogicalNotice notice) { center->enqueue(notice); });
    // The history's "Réessayer": the entry is due again, the uploads and the status look now.
    auto retry = [this](const QString& entryId) {
        quarantine.resetAttempts(entryId);
        reconciler.kick();
        status->requestRefresh();
    };
    history = std::make_unique<HistoryWindowController>(journal, retry, status.get());
}

AppServices::~AppServices() = default;

} // namespace pixavella
