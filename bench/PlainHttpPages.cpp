#include "PlainHttpPages.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

namespace pixavella::bench {

PlainPages fetchPlainPages(QNetworkAccessManager& nam, const QUrl& server, const QString& apiKey,
                           int pages)
{
    QUrl url = server;
    url.setPath(QStringLiteral("/api/search/metadata"));
    PlainPages result;
    QElapsedTimer timer;
    timer.start();
    for (int page = 1; page <= pages; ++page) {
        QNetworkRequest request(url);
        request.setRawHeader("x-api-key", apiKey.toUtf8());
        request.setRawHeader("Accept", "application/json");
        request.setRawHeader("Content-Type", "application/json");
        const QByteArray body =
            QJsonDocument(QJsonObject{{QStringLiteral("page"), page},
                                      {QStringLiteral("size"), 1000},
                                      {QStringLiteral("withExif"), true},
                                      {QStringLiteral("order"), QStringLiteral("desc")}})
                .toJson(QJsonDocument::Compact);
        QNetworkReply* reply = nam.post(request, body);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
        result.bytes += reply->readAll().size();
        reply->deleteLater();
    }
    result.ms = double(timer.nsecsElapsed()) / 1e6;
    return result;
}

} // namespace pixavella::bench
