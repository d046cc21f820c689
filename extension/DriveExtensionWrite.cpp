// Write requests of the drive: creation (ItemCreation), modification (ItemModification) and
// deletion (ItemDeletion).

#include "DriveExtension.h"

#include "FileProviderError.h"
#include "ItemCreation.h"
#include "ItemDeletion.h"
#include "ItemModification.h"
#include "ServerStorage.h"
#include "SharedSettings.h"

namespace pixavella {

Result<void> DriveExtension::checkFileCreation(const FileProviderItemProtocol& itemTemplate)
{
    return ItemCreation::checkFile(m_stores, FPNode::parse(itemTemplate.parentItemIdentifier()),
                                   itemTemplate);
}

ProgressRef DriveExtension::createItem(FileProviderItemRef itemTemplate, FileProviderItemFields,
                                       const std::optional<QString>& contents,
                                       FileProviderCreateOptions options,
                                       ItemChangeCompletion completion)
{
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    if (!client) {
        completion(fileProviderError(FileProviderErrorCode::notAuthenticated));
        return Progress::make();
    }
    const std::optional<FPNode> parent = FPNode::parse(itemTemplate->parentItemIdentifier());
    if (itemTemplate->contentType() == ContentType::folder()) {
        ItemCreation::createAlbum(m_stores, *client, parent, itemTemplate->filename(),
                                  std::move(completion));
        return Progress::make();
    }
    return ItemCreation::createFile(m_stores, *client, parent, *itemTemplate, contents, options,
                                    std::move(completion));
}

ProgressRef DriveExtension::modifyItem(FileProviderItemRef item, const FileProviderItemVersion&,
                                       FileProviderItemFields changedFields,
                                       const std::optional<QString>& newContents,
                                       ItemChangeCompletion completion)
{
    using namespace FileProviderItemField;
    // A time set on an item that is no waiting upload changes nothing (cp -p and rsync -a over
    // the drive set one on every photo): answered without reading the session.
    const std::optional<FPNode> node = FPNode::parse(item->itemIdentifier());
    if (changedFields == contentModificationDate && !(node && node->is(FPNode::Kind::pending))) {
        completion(FileProviderItemChange{std::move(item)});
        return Progress::make();
    }
    const std::optional<ImmichClient> client = SharedSettings::makeClient();
    // New contents are queued like any drop; signed out they are refused as a drop is, so that
    // the writer keeps its bytes.
    if ((changedFields & contents) && newContents) {
        if (!client) {
            completion(fileProviderError(FileProviderErrorCode::notAuthenticated));
            return Progress::make();
        }
        return ItemCreation::replaceFile(m_stores, *client, *item, *newContents,
                                         std::move(completion));
    }
    // Signed out, nothing can be carried out; the framework keeps what the user did.
    if (!client) {
        completion(FileProviderItemChange{std::move(item)});
        return Progress::make();
    }
    return ItemModification::modify(m_stores, *client, item, changedFields, std::move(completion));
}

std::optional<FileProviderReplicatedExtension::VolumeSpace> DriveExtension::volumeSpace()
{
    return m_stores.storage.current();
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
    return ItemDeletion::remove(m_stores, *client, identifier, std::move(completion));
}

} // namespace pixavella
