#pragma once

#include "DomainController.h"

#include <QStringList>

#include <cerrno>

namespace pixavella::testing {

// A domain backend that records each call as a line ("add", "remove", "signal photos",
// "removeAndWait 5000") and completes at once with the outcome set for that operation.
class RecordingDomainBackend : public DomainBackend {
public:
    struct State {
        QStringList calls;
        std::optional<Error> addError;
        std::optional<Error> removeError;
        std::optional<Error> removeAndWaitError;
        bool hasManager = true;
        std::optional<QUrl> url;
        // Called at the first call of any kind, before it is recorded.
        std::function<void()> onFirstCall;
    };

    explicit RecordingDomainBackend(std::shared_ptr<State> state) : m_state(std::move(state)) {}

    static Error failure(const QString& text) { return Error{ErrorDomain::File, EIO, text}; }

    void add(Completion completion) override
    {
        record(QStringLiteral("add"));
        completion(outcome(m_state->addError));
    }
    void remove(Completion completion) override
    {
        record(QStringLiteral("remove"));
        completion(outcome(m_state->removeError));
    }
    bool hasManager() const override { return m_state->hasManager; }
    void signalEnumerator(const QString& container, Completion completion) override
    {
        record(QStringLiteral("signal ") + container);
        completion(Result<void>::success());
    }
    std::optional<QUrl> userVisibleURL() const override { return m_state->url; }
    Result<void> removeAndWait(std::chrono::milliseconds timeout) override
    {
        record(QStringLiteral("removeAndWait ") + QString::number(timeout.count()));
        return outcome(m_state->removeAndWaitError);
    }

private:
    void record(const QString& call)
    {
        if (m_state->calls.isEmpty() && m_state->onFirstCall)
            m_state->onFirstCall();
        m_state->calls << call;
    }
    static Result<void> outcome(const std::optional<Error>& error)
    {
        return error ? Result<void>(*error) : Result<void>::success();
    }

    std::shared_ptr<State> m_state;
};

// The calls signalTopFolders makes.
inline QStringList topFolderSignals()
{
    return {QStringLiteral("signal NSFileProviderRootContainerItemIdentifier"),
            QStringLiteral("signal photos"), QStringLiteral("signal albums"),
            QStringLiteral("signal shared")};
}

// The calls signalAllFolders makes without extra folders.
inline QStringList allFolderSignals()
{
    return QStringList{QStringLiteral("signal NSFileProviderWorkingSetContainerItemIdentifier")} +
           topFolderSignals();
}

} // namespace pixavella::testing
