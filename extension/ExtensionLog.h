#pragma once

#include <QLoggingCategory>

// The extension's requests (listings, lookups, contents).
Q_DECLARE_LOGGING_CATEGORY(lcFileProvider)
