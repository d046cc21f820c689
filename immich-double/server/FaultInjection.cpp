#include "FaultInjection.h"

#include <algorithm>

namespace immichdouble {

void FaultInjection::reset()
{
    std::lock_guard lock(m_mutex);
    m_drops.clear();
    m_failures.clear();
    m_latencyMs = 0;
}

void FaultInjection::addFailure(int status, int count, const QString& pathPrefix,
                                const QByteArray& method)
{
    if (count <= 0)
        return;
    std::lock_guard lock(m_mutex);
    m_failures.push_back(Rule{pathPrefix, method.toUpper(), count, status});
}

void FaultInjection::addDrop(int count, const QString& pathPrefix, const QByteArray& method)
{
    if (count <= 0)
        return;
    std::lock_guard lock(m_mutex);
    m_drops.push_back(Rule{pathPrefix, method.toUpper(), count, 0});
}

void FaultInjection::setLatency(int ms)
{
    std::lock_guard lock(m_mutex);
    m_latencyMs = std::max(0, ms);
}

bool FaultInjection::consume(std::vector<Rule>& rules, const QByteArray& method,
                             const QString& path, int* status)
{
    const auto it = std::find_if(rules.begin(), rules.end(), [&](const Rule& rule) {
        return (rule.prefix.isEmpty() || path.startsWith(rule.prefix)) &&
               (rule.method.isEmpty() || rule.method == method);
    });
    if (it == rules.end())
        return false;
    if (status)
        *status = it->status;
    if (--it->remaining == 0)
        rules.erase(it);
    return true;
}

FaultInjection::Decision FaultInjection::next(const QByteArray& method, const QString& path)
{
    std::lock_guard lock(m_mutex);
    Decision decision;
    decision.latencyMs = m_latencyMs;
    if (consume(m_drops, method, path, nullptr)) {
        decision.drop = true;
        return decision;
    }
    int status = 0;
    if (consume(m_failures, method, path, &status))
        decision.failStatus = status;
    return decision;
}

} // namespace immichdouble
