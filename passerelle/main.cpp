// passerelle: mounts the drive and serves it with the extension, until the tray application
// removes the domain or the daemon is told to stop.

#include "DriveExtension.h"
#include "DriveStores.h"
#include "EnumerationSignals.h"
#include "HttpSession.h"
#include "ImmichClient.h"
#include "LiveUpdates.h"
#include "Log.h"
#include "PasserelleDaemon.h"
#include "PrivateFiles.h"
#include "ServerEventChannel.h"
#include "SettingsSuite.h"
#include "SharedSettings.h"
#include "UploadQuarantine.h"

#include <QCoreApplication>

#include <cstdio>
#include <malloc.h>
#include <optional>

namespace {

QString usage()
{
    return QCoreApplication::translate(
        "passerelle",
        "Utilisation : passerelle [options]\n"
        "\n"
        "Le démon du dossier Pixavella : monte ~/Library/CloudStorage/Pixavella-Pixavella avec\n"
        "FUSE et le sert jusqu'à ce que l'application Pixavella retire le dossier, ou jusqu'à\n"
        "SIGTERM ou SIGINT. L'application le lance elle-même quand vous êtes connecté.\n"
        "\n"
        "Options :\n"
        "  --verbose   affiche aussi les lignes de débogage (chaque requête HTTP, chaque\n"
        "              listage…) ; la variable QT_LOGGING_RULES règle les lignes catégorie par\n"
        "              catégorie (par exemple app.pixavella.http.debug=true)\n"
        "  --help      affiche cette aide\n");
}

void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

} // namespace

int main(int argc, char** argv)
{
    // Without TZ the C library looks at /etc/localtime again for every local time it makes,
    // several times per file copied into the drive; named once, it is read once.
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
#ifdef __GLIBC__
    // The FUSE workers, the HTTP thread and the pools each get an arena of their own by default
    // (up to eight per core), and memory one of them freed stays held for that one: a walk of a
    // large library then costs a hundred megabytes more than the library it leaves listed.
    mallopt(M_ARENA_MAX, 2);
#endif
    // Declared before the application so that it goes after it: requests and background stores
    // still under way end with the application, and may reach the stores until then.
    std::optional<pixavella::DriveStores> owned;
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("passerelle"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PIXAVELLA_VERSION));

    bool verbose = false;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--help")) {
            print(stdout, usage());
            return 0;
        }
        if (argument == QLatin1String("--verbose")) {
            verbose = true;
            continue;
        }
        // Refused rather than ignored: a mistyped --verbose would start a quiet daemon.
        print(stderr,
              QCoreApplication::translate("passerelle", "passerelle : option inconnue « %1 »\n\n")
                      .arg(argument) +
                  usage());
        return 2;
    }
    pixavella::Log::configure(verbose);
    pixavella::PrivateFiles::keepPrivate();

    using namespace pixavella;
    // The process's own stores, built here once: every part of the drive is handed them.
    owned.emplace(SettingsSuite::shared(), HttpSession::shared(), UploadQuarantine::shared());
    const ExtensionStores& stores = owned->stores;

    // The server's changes reach the folders without anybody looking: told by its event
    // channel while that is up, polled while it is not. Declared after `live`, so that it goes
    // first and never reports to a LiveUpdates being destroyed.
    pixavella::LiveUpdates live(stores);
    pixavella::ServerEventChannel channel(&pixavella::SharedSettings::makeClient);
    QObject::connect(&channel, &pixavella::ServerEventChannel::upChanged, &live,
                     &pixavella::LiveUpdates::setChannelUp);
    QObject::connect(&channel, &pixavella::ServerEventChannel::serverEvent, &live,
                     &pixavella::LiveUpdates::serverEvent);
    if (!pixavella::LiveUpdates::fullRefreshOnly())
        channel.start();
    auto extension = std::make_unique<pixavella::DriveExtension>(
        pixavella::FileProviderDomain{QString::fromLatin1(pixavella::SharedSettings::kDomainId),
                                      QStringLiteral("Pixavella")},
        stores);
    PasserelleOptions options = PasserelleOptions::defaults();
    // The extension's signals reach the host in this process directly, not through the
    // control socket and back.
    options.hostSignals = [](PasserelleOptions::HostSignal signal) {
        EnumerationSignals::setSender(std::move(signal));
    };
    return pixavella::runPasserelleDaemon(std::move(extension), std::move(options));
}
