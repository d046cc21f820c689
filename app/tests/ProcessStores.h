#pragma once

// The process's stores, built once as the application's main builds its own; the drive's files
// are written through them.

#include "AppStores.h"
#include "HttpSession.h"
#include "SettingsSuite.h"
#include "UploadQuarantine.h"

#include <QFile>
#include <QTemporaryDir>

namespace pixavella::testing {

inline AppStores& appStores()
{
    static AppStores owned(SettingsSuite::shared(), HttpSession::shared(),
                           UploadQuarantine::shared());
    return owned;
}

inline void clearQuarantine()
{
    for (const UploadQuarantine::Entry& entry : UploadQuarantine::shared().list())
        (void)UploadQuarantine::shared().remove(entry.id);
}

// An entry for the library that failed `attempts` times; its id, empty when it could not be made.
inline QString enqueueFailed(int attempts, bool network = true)
{
    static QTemporaryDir dir;
    const QString payload = dir.filePath(QStringLiteral("photo.jpg"));
    QFile file(payload);
    if (!file.exists() && (!file.open(QIODevice::WriteOnly) || file.write("photo") != 5))
        return {};
    file.close();
    const Result<UploadQuarantine::Entry> entry = UploadQuarantine::shared().enqueue(
        payload, QStringLiteral("IMG.JPG"), std::nullopt, {}, std::nullopt);
    for (int i = 0; entry && i < attempts; ++i)
        UploadQuarantine::shared().recordFailure(entry.value().id, QStringLiteral("500"), network);
    return entry ? entry.value().id : QString();
}

} // namespace pixavella::testing
