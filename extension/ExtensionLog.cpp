#include "ExtensionLog.h"

Q_LOGGING_CATEGORY(lcFileProvider, "app.pixavella.fileprovider")
