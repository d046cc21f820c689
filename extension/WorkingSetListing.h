#pragma once

#include "ExtensionStores.h"
#include "FetchCache.h"
#include "PhotoFolders.h"

namespace pixavella {

// Every item the drive knows (the framework's working set, for search and recent items): the
// fixed folders, the library by year and month, own and shared albums with their photos, and
// the uploads waiting. Fetches run in parallel; a piece that fails is left out, except the
// asset list when no copy of it is known. Order carries no meaning.
void listWorkingSet(const ExtensionStores& stores, const ImmichClient& client,
                    FetchCache::Mode mode, Completion<ItemList> done);

} // namespace pixavella
