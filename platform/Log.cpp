#include "Log.h"

Q_LOGGING_CATEGORY(lcPlatform, "app.pixavella.platform")
Q_LOGGING_CATEGORY(lcHttp, "app.pixavella.http")
Q_LOGGING_CATEGORY(lcSettings, "app.pixavella.settings")
Q_LOGGING_CATEGORY(lcSecrets, "app.pixavella.secrets")
Q_LOGGING_CATEGORY(lcSignals, "app.pixavella.signals")
