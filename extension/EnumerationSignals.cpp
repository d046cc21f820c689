#include "EnumerationSignals.h"

#include "ExtensionLog.h"
#include "FileProviderManager.h"
#include "SharedSettings.h"

#include <QCoreApplication>
#include <QMutex>

namespace pixavella::EnumerationSignals {

namespace {

QMutex senderLock;
Sender replacedSender; // guarded by senderLock

// The manager lives on the main thread, whose event loop carries its socket. The daemon
// replaces it with its host's own signal, so this goes out only from a process without one.
void sendThroughManager(const FileProviderItemIdentifier& container)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app)
        return;
    QMetaObject::invokeMethod(app, [container] {
        auto* manager = new FileProviderManager(FileProviderDomain{
            QString::fromLatin1(SharedSettings::kDomainId), QStringLiteral("Pixavella")});
        manager->signalEnumerator(container, [manager, container](Result<void> done) {
            if (!done)
                qCDebug(lcFileProvider).noquote()
                    << "signal of" << container << "not delivered:" << done.error().description;
            manager->deleteLater();
        });
    });
}

} // namespace

void signal(const FileProviderItemIdentifier& container)
{
    Sender sender;
    {
        QMutexLocker lock(&senderLock);
        sender = replacedSender;
    }
    if (sender)
        sender(container);
    else
        sendThroughManager(container);
}

void setSender(Sender sender)
{
    QMutexLocker lock(&senderLock);
    replacedSender = std::move(sender);
}

} // namespace pixavella::EnumerationSignals
