#pragma once

#include <QByteArray>
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
    // The next `count` requests whose path starts with `pathPrefix` (every /api path when empty)
    // and whose method is `method` (any when empty).
    void addFailure(int status, int count, const QString& pathPrefix,
                    const QByteArray& method = {});
    void addDrop(int count, const QString& pathPrefix, const QByteArray& method = {});
    void setLatency(int ms);

    // What to do with one request; uses up one count of the first matching drop, or else of
    // the first matching failure.
    Decision next(const QByteArray& method, const QString& path);

private:
    struct Rule {
        QString prefix;
        QByteArray method;
        int remaining = 0;
        int status = 0;
    };
    static bool consume(std::vector<Rule>& rules, const QByteArray& method, const QString& path,
                        int* status);

    std::mutex m_mutex; // guards everything below
    std::vector<Rule> m_drops;
    std::vector<Rule> m_failures;
    int m_latencyMs = 0;
};

} // namespace immichdouble
