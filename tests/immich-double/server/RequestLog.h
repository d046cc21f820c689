#pragma once

#include "ApiMessage.h"

#include <QJsonArray>

#include <mutex>

namespace immichdouble {

// Every /api request since start or the last reset, as GET /_double/requests gives them.
// Thread-safe.
class RequestLog {
public:
    static constexpr qsizetype kMaxLoggedBody = 64 * 1024;

    void record(const ApiRequest& request);
    QJsonArray entries() const;
    void clear();

private:
    mutable std::mutex m_mutex; // guards m_entries
    QJsonArray m_entries;
};

} // namespace immichdouble
