#pragma once

#include "PedagogicalNotice.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace pixavella {

// The application's command-line switches. Each is looked up anywhere in the argument list
// and must match exactly; the program name (first argument) is never taken for a switch.
struct LaunchOptions {
    bool remove = false;       // "--remove": remove the domain first
    bool reset = false;        // "--reset": remove and add the domain (not with --remove)
    bool showLogin = false;    // "--show-login"
    bool showHistory = false;  // "--show-history"
    bool resetNotices = false; // "--reset-notices"
    // "--show-notice NAME": absent when the switch is last or NAME is no notice.
    std::optional<PedagogicalNotice> showNotice;
    // "--server URL": stored as the server address before anything else happens. Absent when
    // the switch is last or URL is not an absolute http(s) address with a host.
    std::optional<QString> server;
    // "--server" was given with something that is not a server address.
    bool serverRejected = false;
    // "--sign-in EMAIL": signs in with the password of kPasswordVariable. Empty when the
    // switch is last, which the sign-in then refuses like an empty field.
    std::optional<QString> signInEmail;
    bool signOut = false; // "--sign-out"
    bool verbose = false; // "--verbose": debug lines too, the drive's daemon's included
    bool help = false;    // "--help"

    // Where "--sign-in" reads the password, so that it never shows in the process list.
    static constexpr const char* kPasswordVariable = "PIXAVELLA_PASSWORD";

    static LaunchOptions parse(const QStringList& arguments);
    // The text of "--help", in French.
    static QString helpText();
    // An address the client can use: http or https, with a host.
    static bool isServerAddress(const QString& text);
};

} // namespace pixavella
