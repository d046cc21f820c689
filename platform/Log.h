#pragma once

#include <QLoggingCategory>

// One logging category per subsystem, switchable with QT_LOGGING_RULES
// (for example "app.pixavella.fileprovider.upload.debug=true"). Their debug lines are off
// unless asked for (see pixavella::Log::configure).
Q_DECLARE_LOGGING_CATEGORY(lcPlatform)
Q_DECLARE_LOGGING_CATEGORY(lcHttp)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcSecrets)
Q_DECLARE_LOGGING_CATEGORY(lcSignals)

// Every line the product writes to the system log begins with this prefix.
#define PIXAVELLA_LOG_PREFIX "Pixavella: "

namespace pixavella::Log {

// Set by a program started with --verbose for the programs it starts in turn, so that the
// drive's daemon, started by the tray application, is as talkative as its parent.
inline constexpr const char* kVerboseVariable = "PIXAVELLA_VERBOSE";

// Turns the debug lines of every "app.pixavella." category off, or on when `verbose` (the
// program's --verbose) or PIXAVELLA_VERBOSE=1 asks for them; info lines, warnings and errors
// show either way. QT_LOGGING_RULES and QT_LOGGING_CONF still have the last word. With
// `verbose`, PIXAVELLA_VERBOSE is set for the programs started from here on. Call it early
// in main.
void configure(bool verbose);

} // namespace pixavella::Log
