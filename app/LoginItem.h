#pragma once

#include "Result.h"

#include <QByteArray>
#include <QString>

namespace pixavella {

// Starting at login: the XDG autostart entry "pixavella.desktop" in the user's configuration
// folder ($XDG_CONFIG_HOME/autostart, by default ~/.config/autostart).
namespace LoginItem {

QString autostartFilePath();
// The entry that starts `program`.
QByteArray desktopEntry(const QString& program);
// `program` as one argument of an Exec line, quoted and escaped as desktop entries require.
QString execArgument(const QString& program);
// The entry at `path` starts `program` and the user has not turned it off (Hidden=true or
// X-GNOME-Autostart-enabled=false).
bool isEnabled(const QString& path, const QString& program);
// Writes the entry unless it is already enabled. Failures are returned, not logged.
Result<void> ensureRegistered(const QString& path, const QString& program);
// ensureRegistered for this program at autostartFilePath(); a failure is logged and ignored.
void registerLoginItem();

} // namespace LoginItem
} // namespace pixavella
