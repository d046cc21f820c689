#pragma once

#include <QString>

#include <mutex>
#include <optional>
#include <vector>

namespace immichdouble {

// Failures, dropped connections and latency asked for by tests through /_double/. Thread-safe.
class FaultInjection {
public:
    struct Decision {
        bool drop = false;
        std::optional<int> failStatus;
        int latencyMs = 0;
    };

    void reset();
    // The next `count` requests whose path starts with `pathPrefix` (every /api path when empty).
    void addFailure(int status, int count, const QString& pathPrefix);
    void addDrop(int count, const QString& pathPrefix);
    void setLatency(int ms);

    // What to do with one request; uses up one count of the first matching drop, or else of
    // the first matching failure.
    Decision next(const QString& path);

private:
    struct Rule {
        QString prefix;
        int remaining = 0;
        int status = 0;
    };
    static bool consume(std::vector<Rule>& rules, const QString& path, int* status);

    std::mutex m_mutex; // guards everything below
    std::vector<Rule> m_drops;
    std::vector<Rule> m_failures;
    int m_latencyMs = 0;
};

} // namespace immichdouble
