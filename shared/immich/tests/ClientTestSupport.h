#pragma once

// Waiting for one client completion from a test.

#include "ImmichClient.h"

#include <QMutex>
#include <QSemaphore>

#include <memory>
#include <optional>

namespace pixavella::testing {

template <typename T> class Awaited {
public:
    Completion<T> completion() const
    {
        return [state = m_state](Result<T> result) {
            {
                QMutexLocker lock(&state->mutex);
                ++state->calls;
                if (!state->result)
                    state->result.emplace(std::move(result));
            }
            state->arrived.release();
        };
    }
    // The result (waiting for it the first time), or a "Test" error when none arrived in time.
    Result<T> wait(int ms = 30'000) const
    {
        {
            QMutexLocker lock(&m_state->mutex);
            if (m_state->result)
                return *m_state->result;
        }
        if (!m_state->arrived.tryAcquire(1, ms))
            return Error{QStringLiteral("Test"), 0, QStringLiteral("no completion")};
        QMutexLocker lock(&m_state->mutex);
        return *m_state->result;
    }
    int calls() const
    {
        QMutexLocker lock(&m_state->mutex);
        return m_state->calls;
    }

private:
    struct State {
        QMutex mutex;
        QSemaphore arrived;
        std::optional<Result<T>> result;
        int calls = 0;
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

inline QStringList assetIds(const QList<ImmichAsset>& assets)
{
    QStringList ids;
    for (const ImmichAsset& a : assets)
        ids.append(a.id);
    return ids;
}

// The failure of a result as text, for messages of failed checks.
template <typename T> QByteArray describe(const Result<T>& r)
{
    if (r.ok())
        return "success";
    return (r.error().domain + QStringLiteral(" %1: ").arg(r.error().code) + r.error().description)
        .toUtf8();
}

} // namespace pixavella::testing
