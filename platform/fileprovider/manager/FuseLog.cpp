#include "FuseLog.h"

Q_LOGGING_CATEGORY(lcFuseHost, "app.pixavella.fileprovider.fuse")
