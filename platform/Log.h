#pragma once

#include <QLoggingCategory>

// One logging category per subsystem, switchable with QT_LOGGING_RULES
// (for example "app.pixavella.fileprovider.upload.debug=true").
Q_DECLARE_LOGGING_CATEGORY(lcPlatform)
Q_DECLARE_LOGGING_CATEGORY(lcHttp)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcSecrets)
Q_DECLARE_LOGGING_CATEGORY(lcSignals)

// Every line the product writes to the system log begins with this prefix.
#define PIXAVELLA_LOG_PREFIX "Pixavella: "
