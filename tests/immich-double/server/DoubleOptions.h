#pragma once

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
    qint64 parentPid = 0; // exit when this process is gone; 0: never

    // Parses the arguments after the program name; on failure *error says why.
    static std::optional<DoubleOptions> parse(const QStringList& arguments, QString* error);
    static QString usage();
};

} // namespace immichdouble
