#pragma once

#include "ExtensionStores.h"
#include "FPNode.h"
#include "ImmichClient.h"

#include <functional>
#include <optional>

namespace pixavella {

// What trashing and deleting share: hiding the item before the server is asked, the server
// call, the feedback once it succeeded, and the cancellation of a pending upload.
namespace ItemRemoval {

// Writes the node's deletion tombstone and invalidates the cached listings that show it, so
// that a listing fetched while the server works does not bring the item back.
void hide(const ExtensionStores& stores, const FPNode& node,
          const FileProviderItemIdentifier& identifier);

// Sends a library asset to the server's trash, deletes an album, or takes an album or shared
// album photo out of its album (the photo stays in the library).
void removeOnServer(const ImmichClient& client, const FPNode& node, Completion<void> done);

// The message and notice of a removal the server confirmed; `then` runs once they are given
// (the album removal messages first read the album's name from the server).
void giveFeedback(const ExtensionStores& stores, const ImmichClient& client, const FPNode& node,
                  std::function<void()> then);

// Drops a pending upload from the quarantine and records it as cancelled, so the application
// never sends it. An entry already gone is no error.
// `superseded`: newer bytes of the same file took its place, which the user is not told about.
void cancelPendingUpload(const ExtensionStores& stores, const QString& entryId,
                         bool superseded = false);

// The asset a pending upload became, once its entry has left the queue; nothing while the
// entry waits or is being sent (cancelling it then trashes what the upload makes).
std::optional<QString> uploadedAsset(const ExtensionStores& stores, const QString& entryId);

} // namespace ItemRemoval

} // namespace pixavella
