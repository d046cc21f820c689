#pragma once

#include <QLoggingCategory>

// The extension's requests (listings, lookups, contents, changes).
Q_DECLARE_LOGGING_CATEGORY(lcFileProvider)
// Files taken into the upload quarantine.
Q_DECLARE_LOGGING_CATEGORY(lcUpload)
