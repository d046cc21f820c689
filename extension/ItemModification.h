#pragma once

#include "ExtensionStores.h"
#include "FileProviderReplicatedExtension.h"
#include "ImmichClient.h"

namespace pixavella {

// Renames, moves, trashing and restoring, mapped onto the server's model.
namespace ItemModification {

using ChangeCompletion = FileProviderReplicatedExtension::ItemChangeCompletion;

// `item` carries the properties as the user left them. Answering `item` itself accepts the
// change; answering the item at its old place undoes a move.
ProgressRef modify(const ExtensionStores& stores, const ImmichClient& client,
                   const FileProviderItemRef& item, FileProviderItemFields changedFields,
                   ChangeCompletion done);

// Has a rename the names service refused for good shown undone: the folders that show the
// photo are listed again, now with its previous name.
void showRefusedRenames(const ExtensionStores& stores);

} // namespace ItemModification

} // namespace pixavella
