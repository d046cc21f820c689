// The process-wide instances of the session and the domain, on the product's backends. Kept
// apart from the classes so that tests can build them on their own backends.
#include "DomainController.h"
#include "FileProviderDomainBackend.h"
#include "SessionModel.h"
#include "SettingsSuite.h"
#include "UploadQuarantine.h"

#include <QCoreApplication>
#include <QPointer>

namespace pixavella {

DomainController* DomainController::shared()
{
    static QPointer<DomainController> instance;
    if (!instance)
        instance = new DomainController(std::make_unique<FileProviderDomainBackend>(),
                                        QCoreApplication::instance());
    return instance;
}

SessionModel* SessionModel::shared()
{
    static QPointer<SessionModel> instance;
    if (!instance)
        instance = new SessionModel(*DomainController::shared(), UploadQuarantine::shared(),
                                    SettingsSuite::shared(), QCoreApplication::instance());
    return instance;
}

} // namespace pixavella
