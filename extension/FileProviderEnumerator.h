#pragma once

#include "ExtensionStores.h"
#include "FileProviderEnumeration.h"
#include "FileProviderItemProtocol.h"

namespace pixavella {

// Lists one container for the framework: whole, in one batch, never paged. Item enumeration
// uses the fetch cache; change enumeration lists anew from the server and compares with the
// identifiers saved by the container's last listing ("snap." + container). The enumerator
// keeps nothing but its container; an unknown container lists nothing.
class FileProviderEnumerator final : public FileProviderEnumeratorProtocol {
public:
    FileProviderEnumerator(FileProviderItemIdentifier containerIdentifier, ExtensionStores stores);

    const FileProviderItemIdentifier& containerIdentifier() const { return m_container; }

    // Wall-clock seconds since 1970, shortest exact decimal text; marks when an answer was
    // given and is never read back.
    static FileProviderSyncAnchor anchorForNow();

    void invalidate() override {}
    void enumerateItems(std::shared_ptr<FileProviderEnumerationObserver> observer,
                        const FileProviderPage& page) override;
    // A failed listing is not reported: the framework is told nothing changed since `anchor`
    // and asks again later.
    void enumerateChanges(std::shared_ptr<FileProviderChangeObserver> observer,
                          const FileProviderSyncAnchor& anchor) override;
    void currentSyncAnchor(
        std::function<void(std::optional<FileProviderSyncAnchor>)> completion) override;

private:
    const FileProviderItemIdentifier m_container;
    const ExtensionStores m_stores;
};

} // namespace pixavella
