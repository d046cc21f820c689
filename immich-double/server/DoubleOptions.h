#pragma once

#include "EventChannel.h"
#include "JsonViews.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace immichdouble {

struct DoubleOptions {
    struct UserSpec {
        QString email;
        QString password;
        QString apiKey; // empty: none made in advance
    };

    int port = 0;
    Dialect dialect = Dialect::V3;
    QList<UserSpec> users; // the first one is the main user
    int seed = 0;
    QString demoFolder;
    QString dataFolder;   // the disk GET server/storage describes; empty: see dataFolderPath()
    qint64 parentPid = 0; // exit when this process is gone; 0: never
    int pingIntervalMs = 25000;
    int pingTimeoutMs = 20000;
    EventChannel::Mode eventChannel = EventChannel::Mode::Open;
    bool emitEvents = true;
    int thumbnailDelayMs = 0; // after an upload, thumbnails answer 404 this long
    int metadataDelayMs = 0;  // after a date edit, fileCreatedAt follows this late

    // The data folder, else the demo folder, else the temporary folder.
    QString dataFolderPath() const;

    // Parses the arguments after the program name; on failure *error says why.
    static std::optional<DoubleOptions> parse(const QStringList& arguments, QString* error);
    static QString usage();
};

} // namespace immichdouble
