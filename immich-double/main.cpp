// immich-double: an Immich-compatible server for tests. See README.md beside this file.
#include "DoubleOptions.h"
#include "DoubleServer.h"
#include "LibraryLoader.h"

#include <QCoreApplication>
#include <QLoggingCategory>

#include <malloc.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include <unistd.h>

using namespace immichdouble;

namespace {

// Leaves when the process that started us is gone, so a crashed test leaves no server behind.
void exitWithParent(qint64 parentPid)
{
    std::thread([parentPid] {
        for (;;) {
            if (getppid() != pid_t(parentPid))
                _exit(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    }).detach();
}

} // namespace

int main(int argc, char** argv)
{
    // Answers of a large library are megabytes built and freed on many threads: keep freed
    // memory instead of handing it back to the system and faulting it in again for each page.
    mallopt(M_ARENA_MAX, 2);
    mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
    mallopt(M_TOP_PAD, 16 * 1024 * 1024);
    QCoreApplication app(argc, argv);
    // A photo that does not decode is answered 404, as by the server; the image readers'
    // own complaints about it would only fill the tests' logs.
    QLoggingCategory::setFilterRules(QStringLiteral("qt.gui.imageio*.warning=false"));
    std::signal(SIGPIPE, SIG_IGN); // a client that hangs up must not end the server

    QString error;
    const auto options = DoubleOptions::parse(app.arguments().mid(1), &error);
    if (!options) {
        std::fprintf(stderr, "immich-double: %s\n%s", qPrintable(error),
                     qPrintable(DoubleOptions::usage()));
        return 2;
    }
    if (options->parentPid > 0)
        exitWithParent(options->parentPid);

    LibraryState state;
    for (const auto& spec : options->users) {
        const int user = state.addUser(spec.email, spec.password);
        if (!spec.apiKey.isEmpty())
            state.addApiKey(user, QStringLiteral("immich-double"),
                            QJsonArray{QStringLiteral("all")}, spec.apiKey.toUtf8());
    }
    seedAssets(state, 0, options->seed);
    if (!options->demoFolder.isEmpty() &&
        loadDemoFolder(state, 0, options->demoFolder, &error) < 0) {
        std::fprintf(stderr, "immich-double: %s\n", qPrintable(error));
        return 2;
    }

    DoubleServer server(state, *options);
    const int port = server.bind(options->port);
    if (port <= 0) {
        std::fprintf(stderr, "immich-double: cannot listen on 127.0.0.1:%d\n", options->port);
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", port);
    std::fflush(stdout);
    return server.run() ? 0 : 1;
}
