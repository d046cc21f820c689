#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

namespace pixavella {

// Runs `step` on the main thread with the object behind `guard`, unless it is gone by then.
// Network completions arrive on other threads and may outlive the object, so they never touch
// it directly; take the guard on the main thread when the request starts.
template <typename T, typename Step> void onMainThread(const QPointer<T>& guard, Step step)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(
        app,
        [guard, step = std::move(step)]() mutable {
            if (guard)
                step(*guard);
        },
        Qt::QueuedConnection);
}

} // namespace pixavella
