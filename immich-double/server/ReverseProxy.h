#pragma once

#include "ApiMessage.h"

#include <QString>
#include <QUrl>

#include <mutex>
#include <optional>
#include <vector>

namespace immichdouble {

// Paths handed on to another server, as the reverse proxy in front of a real Immich hands
// "/pixavella-names" to the names service. Thread-safe.
class ReverseProxy {
public:
    // Requests whose path is `prefix` or lies below it go to `target` (http://host:port), path
    // and query unchanged. A later rule for the same prefix replaces the earlier one.
    void add(const QString& prefix, const QUrl& target);

    // The target's answer (502 when it cannot be reached), or nothing when no rule matches.
    std::optional<ApiResponse> forward(const ApiRequest& request) const;

private:
    struct Rule {
        QString prefix;
        QUrl target;
    };

    mutable std::mutex m_mutex; // guards m_rules
    std::vector<Rule> m_rules;
};

} // namespace immichdouble
