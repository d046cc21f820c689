#pragma once

#include "ExtensionStores.h"
#include "FileProviderReplicatedExtension.h"
#include "ImmichClient.h"

namespace pixavella {

namespace ItemDeletion {

// Photos go to the server's trash, albums are deleted, album photos leave their album and
// pending uploads are cancelled; the item is hidden from listings before the server answers.
ProgressRef remove(const ExtensionStores& stores, const ImmichClient& client,
                   const FileProviderItemIdentifier& identifier,
                   FileProviderReplicatedExtension::DeleteCompletion done);

} // namespace ItemDeletion

} // namespace pixavella
