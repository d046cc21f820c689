// passerelle: mounts the drive and serves it with the extension, until the tray application
// removes the domain or the daemon is told to stop.

#include "DriveExtension.h"
#include "PasserelleDaemon.h"
#include "SharedSettings.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("passerelle"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PIXAVELLA_VERSION));

    auto extension = std::make_unique<pixavella::DriveExtension>(pixavella::FileProviderDomain{
        QString::fromLatin1(pixavella::SharedSettings::kDomainId), QStringLiteral("Pixavella")});
    return pixavella::runPasserelleDaemon(std::move(extension));
}
