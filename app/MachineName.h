#pragma once

#include <QString>

namespace pixavella {

// The computer's name as the user knows it, for naming the API key created at sign-in so the
// user can tell it apart in the server's list of keys.
namespace MachineName {

inline constexpr const char* kMachineInfoPath = "/etc/machine-info";

// PRETTY_HOSTNAME of a machine-info file (shell-style KEY=VALUE lines); empty when absent.
QString prettyHostName(const QString& machineInfoPath = QLatin1String(kMachineInfoPath));
// The pretty name, else the host name, else "Linux".
QString choose(const QString& prettyName, const QString& hostName);
// This computer's name: choose(prettyHostName(), QSysInfo::machineHostName()).
QString current();
// "Pixavella Linux — " followed by `machineName`.
QString apiKeyName(const QString& machineName);

} // namespace MachineName
} // namespace pixavella
