#include "Routes.h"

#include <QFile>

#include <sys/statvfs.h>

#include <cmath>

namespace immichdouble {

namespace {

// "73.6 GiB", as the server writes sizes: one decimal, binary units.
QString humanSize(double bytes)
{
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    size_t magnitude = 0;
    while (bytes >= 1024 && magnitude + 1 < std::size(units)) {
        bytes /= 1024;
        ++magnitude;
    }
    return QString::number(bytes, 'f', 1) + QLatin1Char(' ') + QLatin1String(units[magnitude]);
}

// The disk of the double's data folder, as the server describes that of its upload folder.
ApiResponse storage(DoubleContext& context, ApiRequest&)
{
    struct statvfs disk {};
    const QByteArray folder = QFile::encodeName(context.options.dataFolderPath());
    if (::statvfs(folder.constData(), &disk) != 0)
        return ApiResponse::message(500, QStringLiteral("Internal server error"));
    const qint64 size = qint64(disk.f_blocks) * qint64(disk.f_frsize);
    const qint64 available = qint64(disk.f_bavail) * qint64(disk.f_frsize);
    const qint64 use = size - qint64(disk.f_bfree) * qint64(disk.f_frsize);
    const double percentage = size > 0 ? std::round(double(use) / double(size) * 10000) / 100 : 0;
    return ApiResponse::json(200,
                             QJsonObject{
                                 {QStringLiteral("diskAvailable"), humanSize(double(available))},
                                 {QStringLiteral("diskSize"), humanSize(double(size))},
                                 {QStringLiteral("diskUse"), humanSize(double(use))},
                                 {QStringLiteral("diskAvailableRaw"), available},
                                 {QStringLiteral("diskSizeRaw"), size},
                                 {QStringLiteral("diskUseRaw"), use},
                                 {QStringLiteral("diskUsagePercentage"), percentage},
                             });
}

} // namespace

void addServerRoutes(Router& router, DoubleContext& context)
{
    using Access = Router::Access;
    router.add("GET", QStringLiteral("/api/server/version"), Access::Public, [](ApiRequest&) {
        return ApiResponse::json(200, QJsonObject{{QStringLiteral("major"), 3},
                                                  {QStringLiteral("minor"), 0},
                                                  {QStringLiteral("patch"), 3},
                                                  {QStringLiteral("prerelease"), QJsonValue()}});
    });
    router.add("GET", QStringLiteral("/api/server/ping"), Access::Public, [](ApiRequest&) {
        return ApiResponse::json(200, QJsonObject{{QStringLiteral("res"), QStringLiteral("pong")}});
    });
    router.add("GET", QStringLiteral("/api/server/storage"), Access::User,
               [&context](ApiRequest& request) { return storage(context, request); });
}

} // namespace immichdouble
