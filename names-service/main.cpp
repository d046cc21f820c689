#include "ApiKeyVerifier.h"
#include "NameStorage.h"
#include "NamesServer.h"
#include "ServiceOptions.h"
#include "StopSignals.h"

#include <QCoreApplication>

#include <cstdio>

using namespace pixavella::names;

int main(int argc, char** argv)
{
    StopSignals::block();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("pixavella-names"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PIXAVELLA_VERSION));

    const auto parsed = ServiceOptions::parse(QCoreApplication::arguments());
    if (const auto* help = std::get_if<ServiceOptions::Help>(&parsed)) {
        std::fputs(qPrintable(help->text), stdout);
        return 0;
    }
    if (const auto* invalid = std::get_if<ServiceOptions::Invalid>(&parsed)) {
        std::fprintf(stderr, "pixavella-names: %s (see --help)\n", qPrintable(invalid->message));
        return 2;
    }
    const auto& options = std::get<ServiceOptions>(parsed);

    NameStorage storage(options.database);
    if (!storage.open())
        return 1;
    ApiKeyVerifier verifier(options.immichUrl);
    NamesServer server(storage, verifier, options.prefix, options.limits);

    const auto port = server.bind(options.listenHost, options.listenPort);
    if (!port) {
        std::fprintf(stderr, "pixavella-names: cannot listen on %s:%d\n",
                     qPrintable(options.listenHost), options.listenPort);
        return 1;
    }
    const QString host =
        options.listenHost.contains(u':') ? u'[' + options.listenHost + u']' : options.listenHost;
    std::printf("listening on %s:%d\n", qPrintable(host), *port);
    std::fflush(stdout);

    StopSignals stopSignals([&server] { server.stop(); });
    return server.serve() ? 0 : 1;
}
