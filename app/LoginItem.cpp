#include "LoginItem.h"

#include "Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>

Q_LOGGING_CATEGORY(lcLoginItem, "app.pixavella.loginitem")

namespace pixavella::LoginItem {

namespace {

const QString kGroup = QStringLiteral("[Desktop Entry]");

// Characters that make an Exec argument need quotes.
bool needsQuotes(const QString& text)
{
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    for (QChar c : text) {
        if (reserved.contains(c))
            return true;
    }
    return text.isEmpty();
}

// A desktop entry string value: backslash and control characters escaped.
QString escapeValue(const QString& text)
{
    QString out;
    for (QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else
            out += c;
    }
    return out;
}

QString execLine(const QString& program)
{
    return QStringLiteral("Exec=") + escapeValue(execArgument(program));
}

} // namespace

QString autostartFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/pixavella.desktop");
}

QString execArgument(const QString& program)
{
    QString argument = program;
    argument.replace(QLatin1Char('%'), QLatin1String("%%"));
    if (!needsQuotes(argument))
        return argument;
    QString quoted;
    for (QChar c : std::as_const(argument)) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QByteArray desktopEntry(const QString& program)
{
    const QStringList lines = {
        kGroup,
        QStringLiteral("Type=Application"),
        QStringLiteral("Name=Pixavella"),
        QStringLiteral("Comment=Vos photos, au bon endroit."),
        execLine(program),
        QStringLiteral("Terminal=false"),
        QStringLiteral("X-GNOME-Autostart-enabled=true"),
    };
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

bool isEnabled(const QString& path, const QString& program)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    bool inGroup = false;
    bool startsProgram = false;
    const QString wantedExec = execLine(program);
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == kGroup;
            continue;
        }
        if (!inGroup)
            continue;
        const QString compact = QString(line).remove(QLatin1Char(' '));
        if (compact == QLatin1String("Hidden=true") ||
            compact == QLatin1String("X-GNOME-Autostart-enabled=false"))
            return false;
        if (line == wantedExec)
            startsProgram = true;
    }
    return startsProgram;
}

Result<void> ensureRegistered(const QString& path, const QString& program)
{
    if (isEnabled(path, program))
        return Result<void>::success();
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder))
        return Error{ErrorDomain::File, EIO, QStringLiteral("cannot create %1").arg(folder)};
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(desktopEntry(program)) < 0 || !file.commit())
        return Error{ErrorDomain::File, EIO, path + QStringLiteral(": ") + file.errorString()};
    return Result<void>::success();
}

void registerLoginItem()
{
    const Result<void> registered =
        ensureRegistered(autostartFilePath(), QCoreApplication::applicationFilePath());
    if (!registered)
        qCWarning(lcLoginItem).noquote()
            << PIXAVELLA_LOG_PREFIX "login item non enregistré: " + registered.error().description;
}

} // namespace pixavella::LoginItem
