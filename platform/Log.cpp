#include "Log.h"

#include <QByteArray>

Q_LOGGING_CATEGORY(lcPlatform, "app.pixavella.platform")
Q_LOGGING_CATEGORY(lcHttp, "app.pixavella.http")
Q_LOGGING_CATEGORY(lcSettings, "app.pixavella.settings")
Q_LOGGING_CATEGORY(lcSecrets, "app.pixavella.secrets")
Q_LOGGING_CATEGORY(lcSignals, "app.pixavella.signals")

namespace pixavella::Log {

void configure(bool verbose)
{
    if (verbose)
        qputenv(kVerboseVariable, QByteArrayLiteral("1"));
    const bool on = verbose || qEnvironmentVariableIntValue(kVerboseVariable) == 1;
    // Rules set here rank below the environment's, so QT_LOGGING_RULES can still open one
    // category of a quiet program, or close one of a verbose one.
    QLoggingCategory::setFilterRules(on ? QStringLiteral("app.pixavella.*.debug=true")
                                        : QStringLiteral("app.pixavella.*.debug=false"));
}

} // namespace pixavella::Log
