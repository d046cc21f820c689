#include "ItemDeletion.h"

#include "EnumerationSignals.h"
#include "FileProviderError.h"
#include "ItemRemoval.h"
#include "PedagogicalNoticeQueue.h"

namespace pixavella::ItemDeletion {

using Kind = FPNode::Kind;

ProgressRef remove(const ExtensionStores& stores, const ImmichClient& client,
                   const FileProviderItemIdentifier& identifier,
                   FileProviderReplicatedExtension::DeleteCompletion done)
{
    ProgressRef progress = Progress::make(1);
    auto answer = [progress, done = std::move(done)](Result<void> outcome) {
        progress->setCompletedUnitCount(1);
        done(std::move(outcome));
    };
    const std::optional<FPNode> node = FPNode::parse(identifier);
    if (!node) {
        answer(unsupportedOperationError());
        return progress;
    }
    ItemRemoval::hide(stores, *node, identifier);
    const auto feedbackThenAnswer = [stores, client, node = *node, answer](Result<void> removed) {
        if (!removed)
            return answer(removed);
        ItemRemoval::giveFeedback(stores, client, node,
                                  [answer] { answer(Result<void>::success()); });
    };
    switch (node->kind()) {
    case Kind::asset:
    case Kind::album:
    case Kind::albumItem:
        ItemRemoval::removeOnServer(client, *node, feedbackThenAnswer);
        break;
    case Kind::sharedItem:
        // Members may take out only the photos they added themselves.
        client.removeAssetFromAlbum(
            node->albumId(), *node->assetId(),
            [&notices = stores.notices, feedbackThenAnswer, answer](Result<bool> removed) {
                if (!removed)
                    return answer(removed.error());
                if (!removed.value()) {
                    notices.post(PedagogicalNotice::shareRemoveOwnOnly);
                    return answer(unsupportedOperationError());
                }
                feedbackThenAnswer(Result<void>::success());
            });
        break;
    case Kind::pending:
        // Listed before its upload ended: the photo itself goes to the trash, or "rm" would
        // answer success and leave it on the server.
        if (const std::optional<QString> assetId =
                ItemRemoval::uploadedAsset(stores, node->entryId())) {
            const FPNode asset = FPNode::asset(*assetId);
            ItemRemoval::hide(stores, asset, asset.identifier());
            ItemRemoval::removeOnServer(
                client, asset, [stores, client, asset, answer](Result<void> removed) {
                    if (!removed)
                        return answer(removed);
                    // Its month still lists it: have it listed again.
                    EnumerationSignals::signal(FileProviderContainer::workingSet);
                    ItemRemoval::giveFeedback(stores, client, asset,
                                              [answer] { answer(Result<void>::success()); });
                });
            break;
        }
        ItemRemoval::cancelPendingUpload(stores, node->entryId());
        answer(Result<void>::success());
        break;
    default:
        answer(unsupportedOperationError());
        break;
    }
    return progress;
}

} // namespace pixavella::ItemDeletion
