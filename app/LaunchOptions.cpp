#include "LaunchOptions.h"

#include <QUrl>

namespace pixavella {

namespace {

// The argument after `name`, when `name` is present and not last.
std::optional<QString> valueAfter(const QStringList& arguments, const QString& name)
{
    const qsizetype at = arguments.indexOf(name, 1);
    if (at < 0 || at + 1 >= arguments.size())
        return std::nullopt;
    return arguments.at(at + 1);
}

} // namespace

bool LaunchOptions::isServerAddress(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() &&
           (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https"));
}

LaunchOptions LaunchOptions::parse(const QStringList& arguments)
{
    const QStringList switches = arguments.mid(1);
    LaunchOptions options;
    options.remove = switches.contains(QStringLiteral("--remove"));
    options.reset = !options.remove && switches.contains(QStringLiteral("--reset"));
    options.showLogin = switches.contains(QStringLiteral("--show-login"));
    options.showHistory = switches.contains(QStringLiteral("--show-history"));
    options.resetNotices = switches.contains(QStringLiteral("--reset-notices"));
    if (const std::optional<QString> name = valueAfter(arguments, QStringLiteral("--show-notice")))
        options.showNotice = noticeFromKey(*name);
    if (switches.contains(QStringLiteral("--server"))) {
        const QString server =
            valueAfter(arguments, QStringLiteral("--server")).value_or(QString()).trimmed();
        if (isServerAddress(server))
            options.server = server;
        else
            options.serverRejected = true;
    }
    return options;
}

} // namespace pixavella
