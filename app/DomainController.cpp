#include "DomainController.h"

#include "Log.h"

#include <QDesktopServices>
#include <QDir>
#include <QPointer>

Q_LOGGING_CATEGORY(lcDomain, "app.pixavella.domain")

namespace pixavella {

const QString DomainController::kRootContainer =
    QStringLiteral("NSFileProviderRootContainerItemIdentifier");
const QString DomainController::kWorkingSetContainer =
    QStringLiteral("NSFileProviderWorkingSetContainerItemIdentifier");
const QStringList DomainController::kTopFolders = {
    QStringLiteral("photos"), QStringLiteral("albums"), QStringLiteral("shared")};

DomainController::DomainController(std::unique_ptr<DomainBackend> backend, QObject* parent)
    : QObject(parent), m_backend(std::move(backend)),
      m_opener([](const QUrl& url) { QDesktopServices::openUrl(url); })
{
}

DomainController::~DomainController() = default;

void DomainController::registerDomain()
{
    QPointer<DomainController> self(this);
    m_backend->add([self](Result<void> added) {
        if (!added) {
            qCWarning(lcDomain).noquote()
                << PIXAVELLA_LOG_PREFIX "échec ajout domaine: " + added.error().description;
            return;
        }
        qCInfo(lcDomain).noquote()
            << PIXAVELLA_LOG_PREFIX "domaine enregistré, visible dans le gestionnaire de fichiers.";
        if (self)
            self->signalTopFolders();
    });
}

void DomainController::removeDomain(std::function<void()> done)
{
    m_backend->remove([done = std::move(done)](Result<void> removed) {
        if (!removed)
            qCWarning(lcDomain).noquote()
                << PIXAVELLA_LOG_PREFIX "échec retrait domaine: " + removed.error().description;
        if (done)
            done();
    });
}

void DomainController::resetDomain(std::function<void()> done)
{
    QPointer<DomainController> self(this);
    m_backend->remove([self, done = std::move(done)](Result<void>) {
        if (!self)
            return;
        self->m_backend->add([self, done](Result<void> added) {
            if (!added) {
                qCWarning(lcDomain).noquote()
                    << PIXAVELLA_LOG_PREFIX "reset/ajout échoué: " + added.error().description;
            } else {
                qCInfo(lcDomain).noquote() << PIXAVELLA_LOG_PREFIX "domaine ré-initialisé";
                if (self)
                    self->signalTopFolders();
            }
            if (done)
                done();
        });
    });
}

void DomainController::removeDomainAndWait(std::chrono::milliseconds timeout)
{
    const Result<void> removed = m_backend->removeAndWait(timeout);
    if (!removed)
        qCWarning(lcDomain).noquote()
            << PIXAVELLA_LOG_PREFIX "retrait à la fermeture échoué: " + removed.error().description;
}

void DomainController::signalTopFolders()
{
    signalContainers(QStringList{kRootContainer} + kTopFolders);
}

void DomainController::signalAllFolders(const QStringList& extraFolders)
{
    signalContainers(QStringList{kWorkingSetContainer, kRootContainer} + kTopFolders +
                     extraFolders);
}

void DomainController::signalContainers(const QStringList& containers)
{
    if (!m_backend->hasManager())
        return;
    for (const QString& container : containers)
        m_backend->signalEnumerator(container, [](Result<void>) {});
}

QUrl DomainController::fallbackFolder()
{
    return QUrl::fromLocalFile(QDir::homePath() +
                               QStringLiteral("/Library/CloudStorage/Pixavella-Pixavella"));
}

void DomainController::openInFileManager()
{
    std::optional<QUrl> url;
    if (m_backend->hasManager())
        url = m_backend->userVisibleURL();
    m_opener(url && url->isValid() ? *url : fallbackFolder());
}

} // namespace pixavella
