#pragma once

#include <QLoggingCategory>

// The FUSE host, its manager and its daemon ("app.pixavella.fileprovider.fuse").
Q_DECLARE_LOGGING_CATEGORY(lcFuseHost)
