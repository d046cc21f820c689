#pragma once

#include "Result.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUrl>

namespace pixavella {

// The releases an appcast-style RSS feed announces: one <item> per release, its version in a
// "sparkle:shortVersionString" or "sparkle:version" attribute of the <enclosure> (or element of
// the item), else the first number in its <title>; its download in the enclosure's url, else
// the item's <link>.
class ReleaseFeed {
public:
    struct Release {
        QString version;
        QUrl url;
        bool operator==(const Release&) const = default;
    };

    // Domain of the feed's own errors; transport errors keep their domain.
    static inline const QString errorDomain = QStringLiteral("SoftwareUpdate");
    enum Code { noFeed = 1, httpStatus = 2, malformed = 3, noRelease = 4 };

    // Releases in feed order; relative addresses are resolved against `feedUrl`. Fails when the
    // text is not a well-formed RSS document or names no release with a version and an address.
    static Result<QList<Release>> parse(const QByteArray& xml, const QUrl& feedUrl);
    // The release with the highest version; the first of equals.
    static Release newest(const QList<Release>& releases);
    // Compares dotted versions number by number ("1.10" > "1.9", "1.2" == "1.2.0"); a number
    // followed by text ("2rc1") comes before the plain number.
    static int compareVersions(const QString& a, const QString& b);
};

} // namespace pixavella
