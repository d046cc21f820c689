#include "AppServices.h"

#include "FileProviderDomainBackend.h"
#include "HttpSession.h"
#include "SettingsSuite.h"
#include "UploadQuarantine.h"

#include <QDBusConnection>

namespace pixavella {

AppServices::AppServices(bool withWindows, AppStores& stores, SettingsSuite& suite,
                         HttpSession& http)
    : quarantine(stores.quarantine), journal(stores.journal), cancelled(stores.cancelled),
      names(stores.names), pedagogicalNotices(stores.pedagogicalNotices),
      userNotices(stores.userNotices), promoted(stores.promoted), suite(suite), http(http),
      domain(std::make_unique<FileProviderDomainBackend>()),
      session(domain, quarantine, suite, names), notifications(QDBusConnection::sessionBus()),
      uploadAlerts(notifications, quarantine), reconciler(stores.forUploads(), &uploadAlerts),
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
