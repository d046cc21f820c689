#pragma once

#include "FPNode.h"
#include "ImmichClient.h"

#include <functional>

namespace pixavella {

// What trashing and deleting share: hiding the item before the server is asked, the server
// call, the feedback once it succeeded, and the cancellation of a pending upload.
namespace ItemRemoval {

// Writes the node's deletion tombstone and invalidates the cached listings that show it, so
// that a listing fetched while the server works does not bring the item back.
void hide(const FPNode& node, const FileProviderItemIdentifier& identifier);

// Sends a library asset to the server's trash, deletes an album, or takes an album or shared
// album photo out of its album (the photo stays in the library).
void removeOnServer(const ImmichClient& client, const FPNode& node, Completion<void> done);

// The message and notice of a removal the server confirmed; `then` runs once they are given
// (the album removal messages first read the album's name from the server).
void giveFeedback(const ImmichClient& client, const FPNode& node, std::function<void()> then);

// Drops a pending upload from the quarantine and records it as cancelled, so the application
// never sends it. An entry already gone is no error.
void cancelPendingUpload(const QString& entryId);

} // namespace ItemRemoval

} // namespace pixavella
