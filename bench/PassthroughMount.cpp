#include "PassthroughMount.h"

#include "MountTable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>
#include <utility>

namespace pixavella::bench {

namespace {

QString binaries()
{
    return qEnvironmentVariable("PIXAVELLA_BUILD_DIR") + QStringLiteral("/passthrough");
}

void fusermount(const QStringList& arguments)
{
    QProcess unmount;
    unmount.start(QStringLiteral("fusermount3"), arguments);
    unmount.waitForFinished(20'000);
}

} // namespace

QString PassthroughMount::unavailable()
{
    QFile reason(binaries() + QStringLiteral("/unavailable"));
    if (reason.open(QIODevice::ReadOnly))
        return QString::fromUtf8(reason.readAll().trimmed());
    for (const char* program : {"passthrough_hp", "passthrough_ll"}) {
        if (!QFile::exists(binaries() + QStringLiteral("/bin/") + QLatin1String(program)))
            return QStringLiteral("%1 is not built in %2/bin (bench/passthrough.sh builds it, "
                                  "scripts/bench.sh runs that)")
                .arg(QLatin1String(program), binaries());
    }
    return {};
}

PassthroughMount::PassthroughMount(const QString& program, const QStringList& options,
                                   const QString& source, const QString& mountPoint)
    : m_mountPoint(QDir(mountPoint).absolutePath())
{
    if (m_error = unavailable(); !m_error.isEmpty())
        return;
    QDir().mkpath(source);
    QDir().mkpath(m_mountPoint);
    // In the foreground, so that the daemon stays this process's child and its end is seen.
    const QStringList arguments =
        program == QLatin1String("passthrough_ll")
            ? options + QStringList{QStringLiteral("-f"), QStringLiteral("-o"),
                                    QStringLiteral("source=") + source, m_mountPoint}
            : options + QStringList{QStringLiteral("--foreground"), source, m_mountPoint};
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(binaries() + QStringLiteral("/bin/") + program, arguments);
    QElapsedTimer waited;
    waited.start();
    while (!MountTable::find(m_mountPoint)) {
        if (m_process.state() == QProcess::NotRunning || waited.hasExpired(20'000)) {
            m_error = QStringLiteral("%1 did not mount %2 (%3)")
                          .arg(program, m_mountPoint, m_process.errorString());
            return;
        }
        m_process.waitForFinished(20);
    }
}

PassthroughMount::~PassthroughMount()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    fusermount({QStringLiteral("-u"), m_mountPoint});
    if (!m_process.waitForFinished(20'000)) {
        m_process.kill();
        m_process.waitForFinished(5'000);
        fusermount({QStringLiteral("-u"), QStringLiteral("-z"), m_mountPoint});
    }
}

void sayWhyNoPassthrough(const QString& why)
{
    static bool said = false;
    if (!why.isEmpty() && !std::exchange(said, true)) {
        std::printf("# no passthrough figures: %s\n", qPrintable(why));
        std::fflush(stdout);
    }
}

QString PassthroughMount::path(const QString& relative) const
{
    return relative.isEmpty() ? m_mountPoint : m_mountPoint + u'/' + relative;
}

} // namespace pixavella::bench
