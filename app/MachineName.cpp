#include "MachineName.h"

#include <QFile>
#include <QSysInfo>

namespace pixavella::MachineName {

namespace {

// A value as systemd writes it: bare, or in single or double quotes with backslash escapes
// inside double quotes.
QString unquote(const QString& raw)
{
    const QString value = raw.trimmed();
    if (value.size() >= 2 && value.front() == QLatin1Char('\'') &&
        value.back() == QLatin1Char('\''))
        return value.mid(1, value.size() - 2);
    if (value.size() < 2 || value.front() != QLatin1Char('"') || value.back() != QLatin1Char('"'))
        return value;
    QString out;
    const QString inner = value.mid(1, value.size() - 2);
    for (qsizetype i = 0; i < inner.size(); ++i) {
        if (inner.at(i) == QLatin1Char('\\') && i + 1 < inner.size())
            ++i;
        out += inner.at(i);
    }
    return out;
}

} // namespace

QString prettyHostName(const QString& machineInfoPath)
{
    QFile file(machineInfoPath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString name;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1String("PRETTY_HOSTNAME=")))
            name = unquote(line.mid(int(qstrlen("PRETTY_HOSTNAME="))));
    }
    return name.trimmed();
}

QString choose(const QString& prettyName, const QString& hostName)
{
    if (!prettyName.trimmed().isEmpty())
        return prettyName.trimmed();
    if (!hostName.trimmed().isEmpty())
        return hostName.trimmed();
    return QStringLiteral("Linux");
}

QString current()
{
    return choose(prettyHostName(), QSysInfo::machineHostName());
}

QString apiKeyName(const QString& machineName)
{
    return QStringLiteral("Pixavella Linux — ") + machineName;
}

} // namespace pixavella::MachineName
