// Write requests of the drive: creation (ItemCreation), modification (ItemModification) and
// deletion (ItemDeletion).

#include "DriveExtension.h"

#include "FileProviderError.h"
#include "ItemCreation.h"
#include "ItemDeletion.h"
#include "ItemModification.h"
#include "SharedSettings.h"

namespace pixavella {

ProgressRef DriveExtension::createItem(FileProviderItemRef itemTemplate, FileProviderItemFields,
                                       const std::optional<QString>& contents,
                                       FileProviderCreateOptions, ItemChangeCompletion completion)
{
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client) {
        completion(fileProviderError(FileProviderErrorCode::notAuthenticated));
        return Progress::make();
    }
    const std::optional<FPNode> parent = FPNode::parse(itemTemplate->parentItemIdentifier());
    if (itemTemplate->contentType() == ContentType::folder()) {
        ItemCreation::createAlbum(*client, parent, itemTemplate->filename(), std::move(completion));
        return Progress::make();
    }
    return ItemCreation::createFile(*client, parent, *itemTemplate, contents,
                                    std::move(completion));
}

ProgressRef DriveExtension::modifyItem(FileProviderItemRef item, const FileProviderItemVersion&,
                                       FileProviderItemFields changedFields,
                                       const std::optional<QString>&,
                                       ItemChangeCompletion completion)
{
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    // Signed out, nothing can be carried out; the framework keeps what the user did.
    if (!client) {
        completion(FileProviderItemChange{std::move(item)});
        return Progress::make();
    }
    return ItemModification::modify(*client, item, changedFields, std::move(completion));
}

ProgressRef DriveExtension::deleteItem(const FileProviderItemIdentifier& identifier,
                                       const FileProviderItemVersion&, FileProviderDeleteOptions,
                                       DeleteCompletion completion)
{
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client) {
        completion(fileProviderError(FileProviderErrorCode::notAuthenticated));
        return Progress::make();
    }
    return ItemDeletion::remove(*client, identifier, std::move(completion));
}

} // namespace pixavella
