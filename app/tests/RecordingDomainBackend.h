#pragma once

#include "DomainController.h"
#include "ProcessStores.h"
#include "SessionModel.h"

#include <QStringList>

namespace pixavella::testing {

// A domain backend that records each call as a line ("add", "remove", "signal photos",
// "removeAndWait 5000") and succeeds at once.
class RecordingDomainBackend : public DomainBackend {
public:
    struct State {
        QStringList calls;
    };

    explicit RecordingDomainBackend(std::shared_ptr<State> state) : m_state(std::move(state)) {}

    void add(Completion completion) override { record(QStringLiteral("add"), completion); }
    void remove(Completion completion) override { record(QStringLiteral("remove"), completion); }
    bool hasManager() const override { return true; }
    void signalEnumerator(const QString& container, Completion completion) override
    {
        record(QStringLiteral("signal ") + container, completion);
    }
    std::optional<QUrl> userVisibleURL() const override { return std::nullopt; }
    Result<void> removeAndWait(std::chrono::milliseconds timeout) override
    {
        m_state->calls << QStringLiteral("removeAndWait ") + QString::number(timeout.count());
        return Result<void>::success();
    }

private:
    void record(const QString& call, const Completion& completion)
    {
        m_state->calls << call;
        completion(Result<void>::success());
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

// A session on a recording drive, on the process's stores.
struct RecordedSession {
    std::shared_ptr<RecordingDomainBackend::State> drive =
        std::make_shared<RecordingDomainBackend::State>();
    DomainController domain{std::make_unique<RecordingDomainBackend>(drive)};
    SessionModel session{domain, UploadQuarantine::shared(), SettingsSuite::shared(),
                         appStores().names};
};

} // namespace pixavella::testing
