#include "ExtensionLog.h"

Q_LOGGING_CATEGORY(lcFileProvider, "app.pixavella.fileprovider")
Q_LOGGING_CATEGORY(lcUpload, "app.pixavella.fileprovider.upload")
