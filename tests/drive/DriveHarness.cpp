#include "DriveHarness.h"

#include "ContainerPaths.h"
#include "ControlProtocol.h"
#include "MountTable.h"
#include "SharedSettings.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QThread>
#include <QTimer>

#include <exiv2/exiv2.hpp>

#include <csignal>

namespace pixavella::testing {

namespace {

bool processGone(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
}

} // namespace

QJsonObject member(const QString& email, const QString& role)
{
    return {{QStringLiteral("email"), email}, {QStringLiteral("role"), role}};
}

QByteArray writePhoto(const QString& path, const char* taken, int width)
{
    QImage image(width, width * 3 / 4, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            image.setPixel(x, y, QRandomGenerator::global()->generate() | 0xff000000u);
    if (!image.save(path, "JPEG", 95))
        return {};
    auto file = Exiv2::ImageFactory::open(QFile::encodeName(path).toStdString());
    file->readMetadata();
    Exiv2::ExifData exif = file->exifData();
    exif["Exif.Photo.DateTimeOriginal"] = std::string(taken);
    file->setExifData(exif);
    file->writeMetadata();
    QFile written(path);
    return written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray();
}

std::optional<UploadQuarantine::Entry> queued(const QString& name)
{
    for (const UploadQuarantine::Entry& entry : UploadQuarantine::shared().list())
        if (entry.filename == name)
            return entry;
    return std::nullopt;
}

QByteArray queuedBytes(const QString& name)
{
    const std::optional<UploadQuarantine::Entry> entry = queued(name);
    QFile payload(entry ? UploadQuarantine::shared().payloadURL(entry->id).value_or(QString())
                        : QString());
    return payload.open(QIODevice::ReadOnly) ? payload.readAll() : QByteArray();
}

void isolateFrom(const QString& root)
{
    for (const char* name :
         {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"}) {
        const QString path = root + u'/' + QString::fromLatin1(name);
        QDir().mkpath(path);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ExeOwner);
        qputenv(name, QFile::encodeName(path));
    }
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
}

DriveHarness::DriveHarness()
{
    if (qEnvironmentVariableIsEmpty("PIXAVELLA_PASSERELLE"))
        qputenv("PIXAVELLA_PASSERELLE",
                qgetenv("PIXAVELLA_BUILD_DIR") + QByteArrayLiteral("/passerelle/passerelle"));
    m_manager = std::make_unique<FileProviderManager>(FileProviderDomain{
        QString::fromLatin1(ContainerPaths::kDomainId), QStringLiteral("Pixavella")});
}

DriveHarness::~DriveHarness()
{
    stop();
}

bool DriveHarness::startServer(const QStringList& extra)
{
    m_server = std::make_unique<ImmichDoubleProcess>();
    return m_server->start(
        QStringList{QStringLiteral("--user"), kMe + QStringLiteral(":pw:") + kMyKey,
                    QStringLiteral("--user"), kOther + QStringLiteral(":pw:other-key")} +
        extra);
}

void DriveHarness::signIn(const QString& key, const QString& url)
{
    SharedSettings::setServerURL(url.isEmpty() ? m_server->url().toString() : url);
    SharedSettings::setUserEmail(kMe);
    SharedSettings::setApiKey(key);
}

Result<void> DriveHarness::await(const std::function<void(FileProviderManager::Completion)>& call)
{
    std::optional<Result<void>> outcome;
    QEventLoop loop;
    QTimer::singleShot(60'000, &loop, &QEventLoop::quit);
    call([&](Result<void> r) {
        outcome = std::move(r);
        loop.quit();
    });
    if (!outcome)
        loop.exec();
    return outcome ? *outcome : fileError(ETIMEDOUT, QStringLiteral("no completion"));
}

Result<void> DriveHarness::mount()
{
    Result<void> mounted = await([this](auto done) { m_manager->add(done); });
    if (!mounted)
        qWarning("mount: %s", qPrintable(mounted.error().description));
    return mounted;
}

Result<void> DriveHarness::signal(const QString& container)
{
    return await([&](auto done) { m_manager->signalEnumerator(container, done); });
}

Result<void> DriveHarness::remove()
{
    return await([this](auto done) { m_manager->remove(done); });
}

void DriveHarness::stop()
{
    const qint64 pid = daemonPid();
    if (pid) {
        (void)remove();
        for (int i = 0; i < 100 && !processGone(pid); ++i)
            QThread::msleep(50);
        if (!processGone(pid))
            ::kill(pid_t(pid), SIGKILL);
    }
    stopNamesService();
    const QString mountPoint = ContainerPaths::mountPoint();
    if (MountTable::find(mountPoint))
        runTool(QStringLiteral("fusermount3"),
                {QStringLiteral("-u"), QStringLiteral("-z"), mountPoint}, 10'000);
}

QString DriveHarness::path(const QString& relative) const
{
    const QString root = ContainerPaths::mountPoint();
    return relative.isEmpty() ? root : root + u'/' + relative;
}

ToolRun DriveHarness::run(const QString& program, const QStringList& arguments, int timeoutMs) const
{
    return runTool(program, arguments, timeoutMs);
}

QStringList DriveHarness::ls(const QString& relative, const QStringList& options) const
{
    const ToolRun r = run(QStringLiteral("ls"), QStringList{QStringLiteral("-1")} + options +
                                                    QStringList{path(relative)});
    if (r.exitCode != 0)
        return {QStringLiteral("<ls failed: %1>").arg(QString::fromUtf8(r.err.trimmed()))};
    return QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts);
}

qint64 DriveHarness::daemonPid() const
{
    QLocalSocket socket;
    socket.connectToServer(ControlProtocol::socketPath());
    if (!socket.waitForConnected(2'000))
        return 0;
    socket.write(ControlProtocol::encode({{QStringLiteral("command"), QStringLiteral("ping")}}));
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(5'000))
            return 0;
    const auto answer = ControlProtocol::decode(socket.readLine());
    return answer ? qint64(answer->value(QStringLiteral("pid")).toDouble()) : 0;
}

int DriveHarness::requestsEndingWith(const QString& suffix) const
{
    int n = 0;
    for (const QJsonValue& r : m_server->requests())
        n += r[QLatin1String("path")].toString().endsWith(suffix) ? 1 : 0;
    return n;
}

QString DriveHarness::addAsset(const QString& owner, const QString& name, const QString& date,
                               const QByteArray& bytes)
{
    return m_server->addAsset({{"owner", owner},
                               {"originalFileName", name},
                               {"base64", QString::fromLatin1(bytes.toBase64())},
                               {"fileCreatedAt", date}});
}

bool DriveHarness::startNamesService()
{
    m_names = std::make_unique<QProcess>();
    m_names->setProcessChannelMode(QProcess::SeparateChannels);
    m_names->start(qEnvironmentVariable("PIXAVELLA_BUILD_DIR") + "/names-service/pixavella-names",
                   {"--immich-url", m_server->url().toString(), "--listen", "127.0.0.1:0",
                    "--database", QDir::tempPath() + "/names.sqlite"});
    QByteArray line;
    while (!line.contains('\n') && m_names->waitForReadyRead(20'000))
        line += m_names->readAllStandardOutput();
    const QByteArray address = line.mid(line.indexOf("listening on ") + 13).trimmed();
    if (!line.contains("listening on ") || address.isEmpty())
        return false;
    m_server->control("POST", "/_double/forward",
                      QJsonDocument(QJsonObject{{"prefix", "/pixavella-names"},
                                                {"url", "http://" + QString::fromUtf8(address)}}));
    return true;
}

void DriveHarness::stopNamesService()
{
    if (!m_names)
        return;
    m_names->terminate();
    m_names->waitForFinished(5'000);
    m_names.reset();
}

QJsonDocument DriveHarness::api(const QString& method, const QString& path,
                                const QJsonObject& body) const
{
    QStringList args{"-sf", "-X", method, "-H", "x-api-key: " + kMyKey};
    if (!body.isEmpty())
        args << "-H"
             << "content-type: application/json"
             << "-d" << QString::fromUtf8(QJsonDocument(body).toJson());
    return QJsonDocument::fromJson(runTool("curl", args << m_server->url().toString() + path).out);
}

QStringList DriveHarness::albumAssetNames(const QString& albumId) const
{
    const QJsonDocument found =
        api("POST", "/api/search/metadata", {{"albumIds", QJsonArray{albumId}}, {"size", 1000}});
    QStringList names;
    for (const QJsonValue& item : found[u"assets"][u"items"].toArray())
        names.append(item[u"originalFileName"].toString());
    names.sort();
    return names;
}

QHash<QString, QString> DriveHarness::assetIdsByName() const
{
    QHash<QString, QString> ids;
    for (int page = 1; page < 1000; ++page) {
        const QJsonObject assets =
            api("POST", "/api/search/metadata", {{"page", page}, {"size", 1000}})[u"assets"]
                .toObject();
        for (const QJsonValue& item : assets[u"items"].toArray())
            ids.insert(item[u"originalFileName"].toString(), item[u"id"].toString());
        if (!assets[u"nextPage"].isString())
            break;
    }
    return ids;
}

QString DriveHarness::addAlbum(const QString& owner, const QString& name,
                               const QStringList& assetIds, const QJsonArray& members)
{
    return m_server->addAlbum({{"owner", owner},
                               {"albumName", name},
                               {"assetIds", QJsonArray::fromStringList(assetIds)},
                               {"members", members}});
}

} // namespace pixavella::testing
