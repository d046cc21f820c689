#pragma once

#include <QNetworkAccessManager>
#include <QString>
#include <QUrl>

namespace pixavella::bench {

struct PlainPages {
    double ms = 0;
    qint64 bytes = 0;
};

// The plain tool the listings are measured against: pages 1 to `pages` of
// POST search/metadata, asked for one after the other as the client asks them, each answer
// read whole and dropped, with a bare QNetworkAccessManager on this thread's event loop.
PlainPages fetchPlainPages(QNetworkAccessManager& nam, const QUrl& server, const QString& apiKey,
                           int pages);

} // namespace pixavella::bench
