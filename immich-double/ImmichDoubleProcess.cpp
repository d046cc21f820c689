#include "ImmichDoubleProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <httplib.h>

namespace pixavella::testing {

namespace {

constexpr int kStartTimeoutMs = 20000;

QString executablePath()
{
    const QString buildDir = qEnvironmentVariable("PIXAVELLA_BUILD_DIR");
    if (!buildDir.isEmpty()) {
        const QString candidate = buildDir + QStringLiteral("/immich-double/immich-double");
        if (QFileInfo(candidate).isExecutable())
            return candidate;
    }
    return QStringLiteral(IMMICH_DOUBLE_EXECUTABLE);
}

} // namespace

ImmichDoubleProcess::ImmichDoubleProcess() = default;

ImmichDoubleProcess::~ImmichDoubleProcess()
{
    stop();
}

void ImmichDoubleProcess::stop()
{
    if (!m_process)
        return;
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    m_process.reset();
    m_port = 0;
}

bool ImmichDoubleProcess::start(const QStringList& args)
{
    stop();
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(executablePath());
    // The double exits by itself when this process dies, so a crashed test leaves no server.
    m_process->setArguments(args +
                            QStringList{QStringLiteral("--parent-pid"),
                                        QString::number(QCoreApplication::applicationPid())});
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QIODevice::ReadOnly);
    if (!m_process->waitForStarted(kStartTimeoutMs)) {
        qWarning("immich-double: cannot start %s: %s", qPrintable(m_process->program()),
                 qPrintable(m_process->errorString()));
        stop();
        return false;
    }

    static const QRegularExpression listening(
        QStringLiteral("^listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QDeadlineTimer deadline(kStartTimeoutMs);
    QByteArray pending;
    while (!deadline.hasExpired()) {
        if (!m_process->canReadLine() &&
            !m_process->waitForReadyRead(int(deadline.remainingTime())))
            break;
        while (m_process->canReadLine()) {
            const QString line = QString::fromUtf8(m_process->readLine()).trimmed();
            const auto match = listening.match(line);
            if (match.hasMatch()) {
                m_port = quint16(match.captured(1).toUInt());
                return true;
            }
        }
        if (m_process->state() == QProcess::NotRunning)
            break;
    }
    qWarning("immich-double: no \"listening on\" line from %s", qPrintable(m_process->program()));
    stop();
    return false;
}

QUrl ImmichDoubleProcess::url() const
{
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(m_port);
    return url;
}

quint16 ImmichDoubleProcess::port() const
{
    return m_port;
}

QJsonDocument ImmichDoubleProcess::control(const QByteArray& method, const QString& path,
                                           const QJsonDocument& body) const
{
    if (m_port == 0) {
        qWarning("immich-double: control call %s %s before start()", method.constData(),
                 qPrintable(path));
        return {};
    }
    httplib::Client client("127.0.0.1", m_port);
    client.set_connection_timeout(10);
    client.set_read_timeout(60);
    httplib::Request request;
    request.method = method.toStdString();
    request.path = path.toStdString();
    if (!body.isNull()) {
        request.body = body.toJson(QJsonDocument::Compact).toStdString();
        request.set_header("Content-Type", "application/json");
    }
    const auto result = client.send(request);
    if (!result) {
        qWarning("immich-double: control call %s %s failed: %s", method.constData(),
                 qPrintable(path), httplib::to_string(result.error()).c_str());
        return {};
    }
    if (result->status < 200 || result->status > 299)
        qWarning("immich-double: control call %s %s answered %d: %s", method.constData(),
                 qPrintable(path), result->status, result->body.c_str());
    return QJsonDocument::fromJson(QByteArray::fromStdString(result->body));
}

QString ImmichDoubleProcess::addAsset(const QJsonObject& asset)
{
    return control("POST", QStringLiteral("/_double/assets"), QJsonDocument(asset))
        .object()
        .value(QLatin1String("id"))
        .toString();
}

QString ImmichDoubleProcess::addAlbum(const QJsonObject& album)
{
    return control("POST", QStringLiteral("/_double/albums"), QJsonDocument(album))
        .object()
        .value(QLatin1String("id"))
        .toString();
}

void ImmichDoubleProcess::fail(int status, int count, const QString& pathPrefix)
{
    QJsonObject body{{QStringLiteral("status"), status}, {QStringLiteral("count"), count}};
    if (!pathPrefix.isEmpty())
        body.insert(QStringLiteral("path"), pathPrefix);
    control("POST", QStringLiteral("/_double/fail"), QJsonDocument(body));
}

void ImmichDoubleProcess::drop(int count, const QString& pathPrefix)
{
    QJsonObject body{{QStringLiteral("count"), count}};
    if (!pathPrefix.isEmpty())
        body.insert(QStringLiteral("path"), pathPrefix);
    control("POST", QStringLiteral("/_double/drop"), QJsonDocument(body));
}

void ImmichDoubleProcess::setLatency(int ms)
{
    control("POST", QStringLiteral("/_double/latency"),
            QJsonDocument(QJsonObject{{QStringLiteral("ms"), ms}}));
}

QJsonArray ImmichDoubleProcess::requests() const
{
    return control("GET", QStringLiteral("/_double/requests")).array();
}

void ImmichDoubleProcess::reset()
{
    control("POST", QStringLiteral("/_double/reset"), QJsonDocument(QJsonObject{}));
}

} // namespace pixavella::testing
