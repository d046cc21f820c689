#pragma once

#include "ApiMessage.h"

#include <QJsonArray>
#include <QJsonObject>

#include <mutex>
#include <vector>

namespace immichdouble {

// Every /api request since start or the last reset, as GET /_double/requests gives them, and
// the bytes of every answer written to them, as GET /_double/traffic sums them. Thread-safe.
class RequestLog {
public:
    static constexpr qsizetype kMaxLoggedBody = 64 * 1024;

    void record(const ApiRequest& request);
    QJsonArray entries() const;
    // An answer written: the bytes on the wire, head and body.
    void answered(const QByteArray& method, const QString& path, qint64 bytes);
    // {"requests","answerBytes"} of the answers whose path starts with `pathPrefix` and whose
    // method is `method` (empty: any).
    QJsonObject traffic(const QByteArray& method, const QString& pathPrefix) const;
    void clear();

private:
    struct Answer {
        QByteArray method;
        QString path;
        qint64 bytes;
    };

    mutable std::mutex m_mutex; // guards m_entries and m_answers
    QJsonArray m_entries;
    std::vector<Answer> m_answers;
};

} // namespace immichdouble
