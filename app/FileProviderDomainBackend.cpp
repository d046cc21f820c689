#include "FileProviderDomainBackend.h"

#include "ContainerPaths.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <future>

namespace pixavella {

FileProviderDomain FileProviderDomainBackend::productDomain()
{
    return FileProviderDomain{QString::fromLatin1(ContainerPaths::kDomainId),
                              QStringLiteral("Pixavella")};
}

FileProviderManager::Options FileProviderDomainBackend::productOptions()
{
    FileProviderManager::Options options = FileProviderManager::Options::defaults();
    if (QFileInfo(options.daemonProgram).isExecutable())
        return options;
    const QString built =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../../passerelle/passerelle");
    if (QFileInfo(built).isExecutable())
        options.daemonProgram = QFileInfo(built).canonicalFilePath();
    return options;
}

FileProviderDomainBackend::FileProviderDomainBackend(FileProviderManager::Options options)
    : m_options(std::move(options)),
      m_manager(std::make_unique<FileProviderManager>(productDomain(), m_options))
{
}

FileProviderDomainBackend::~FileProviderDomainBackend() = default;

void FileProviderDomainBackend::add(Completion completion)
{
    m_manager->add(std::move(completion));
}

void FileProviderDomainBackend::remove(Completion completion)
{
    m_manager->remove(std::move(completion));
}

void FileProviderDomainBackend::signalEnumerator(const QString& container, Completion completion)
{
    m_manager->signalEnumerator(container, std::move(completion));
}

std::optional<QUrl> FileProviderDomainBackend::userVisibleURL() const
{
    return m_manager->userVisibleURL();
}

Result<void> FileProviderDomainBackend::removeAndWait(std::chrono::milliseconds timeout)
{
    QThread thread;
    thread.start();
    auto* manager = new FileProviderManager(productDomain(), m_options);
    manager->moveToThread(&thread);
    auto outcome = std::make_shared<std::promise<Result<void>>>();
    std::future<Result<void>> removed = outcome->get_future();
    QMetaObject::invokeMethod(manager, [manager, outcome] {
        manager->remove([outcome](Result<void> result) { outcome->set_value(std::move(result)); });
    });
    const bool answered = removed.wait_for(timeout) == std::future_status::ready;
    // Deleting the manager drops a removal still under way; its completion then never runs.
    QMetaObject::invokeMethod(manager, [manager] {
        delete manager;
        QThread::currentThread()->quit();
    });
    thread.wait();
    if (!answered)
        return fileError(ETIMEDOUT, QStringLiteral("passerelle did not remove the drive in time"));
    return removed.get();
}

} // namespace pixavella
