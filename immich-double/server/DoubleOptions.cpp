#include "DoubleOptions.h"

#include <QDir>

namespace immichdouble {

QString DoubleOptions::usage()
{
    return QStringLiteral(
        "usage: immich-double [--port N] [--dialect v3|classic] [--user "
        "EMAIL:PASSWORD[:APIKEY]]...\n"
        "                     [--seed N] [--demo DIR] [--data-dir DIR] [--parent-pid PID]\n"
        "                     [--ping-interval MS] [--ping-timeout MS]\n"
        "                     [--event-channel open|404|400|200] [--events on|off]\n"
        "                     [--thumbnail-delay MS] [--metadata-delay MS]\n");
}

QString DoubleOptions::dataFolderPath() const
{
    if (!dataFolder.isEmpty())
        return dataFolder;
    return demoFolder.isEmpty() ? QDir::tempPath() : demoFolder;
}

std::optional<DoubleOptions> DoubleOptions::parse(const QStringList& arguments, QString* error)
{
    DoubleOptions options;
    const auto fail = [error](const QString& text) {
        if (error)
            *error = text;
        return std::nullopt;
    };
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& name = arguments[i];
        if (i + 1 >= arguments.size())
            return fail(QStringLiteral("%1 needs a value, or is unknown").arg(name));
        const QString value = arguments[++i];
        bool number = false;
        if (name == QLatin1String("--port")) {
            options.port = value.toInt(&number);
            if (!number || options.port < 0 || options.port > 65535)
                return fail(QStringLiteral("--port takes a number from 0 to 65535"));
        } else if (name == QLatin1String("--dialect")) {
            if (value == QLatin1String("v3"))
                options.dialect = Dialect::V3;
            else if (value == QLatin1String("classic"))
                options.dialect = Dialect::Classic;
            else
                return fail(QStringLiteral("--dialect takes v3 or classic"));
        } else if (name == QLatin1String("--user")) {
            const QStringList parts = value.split(QLatin1Char(':'));
            if (parts.size() < 2 || parts[0].isEmpty())
                return fail(QStringLiteral("--user takes EMAIL:PASSWORD[:APIKEY]"));
            options.users.append({parts[0], parts[1], parts.mid(2).join(QLatin1Char(':'))});
        } else if (name == QLatin1String("--seed")) {
            options.seed = value.toInt(&number);
            if (!number || options.seed < 0)
                return fail(QStringLiteral("--seed takes a count"));
        } else if (name == QLatin1String("--demo")) {
            options.demoFolder = value;
        } else if (name == QLatin1String("--data-dir")) {
            options.dataFolder = value;
        } else if (name == QLatin1String("--ping-interval") ||
                   name == QLatin1String("--ping-timeout") ||
                   name == QLatin1String("--thumbnail-delay") ||
                   name == QLatin1String("--metadata-delay")) {
            const int ms = value.toInt(&number);
            const bool ping = name.startsWith(QLatin1String("--ping"));
            if (!number || ms < (ping ? 1 : 0))
                return fail(QStringLiteral("%1 takes milliseconds%2")
                                .arg(name, ping ? QStringLiteral(", at least 1") : QString()));
            (name == QLatin1String("--ping-interval")     ? options.pingIntervalMs
             : name == QLatin1String("--ping-timeout")    ? options.pingTimeoutMs
             : name == QLatin1String("--thumbnail-delay") ? options.thumbnailDelayMs
                                                          : options.metadataDelayMs) = ms;
        } else if (name == QLatin1String("--event-channel")) {
            const auto mode = EventChannel::modeNamed(value);
            if (!mode)
                return fail(QStringLiteral("--event-channel takes open, 404, 400 or 200"));
            options.eventChannel = *mode;
        } else if (name == QLatin1String("--events")) {
            if (value != QLatin1String("on") && value != QLatin1String("off"))
                return fail(QStringLiteral("--events takes on or off"));
            options.emitEvents = value == QLatin1String("on");
        } else if (name == QLatin1String("--parent-pid")) {
            options.parentPid = value.toLongLong(&number);
            if (!number)
                return fail(QStringLiteral("--parent-pid takes a process id"));
        } else {
            return fail(QStringLiteral("unknown option %1").arg(name));
        }
    }
    if (options.users.isEmpty())
        options.users.append({QStringLiteral("demo@pixavella.local"), QStringLiteral("demo"),
                              QStringLiteral("demo-api-key")});
    return options;
}

} // namespace immichdouble
