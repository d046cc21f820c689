#pragma once

#include "ExtensionStores.h"
#include "FetchCache.h"
#include "FileProviderItemProtocol.h"
#include "PhotoFolders.h"

namespace pixavella {

// One whole listing of a container, shared by item and change enumeration. Never paged.
namespace ContainerListing {

// normal: server listings younger than FetchCache::kLifetime come from the cache; refresh:
// the server is always asked and the name store refresh is forced. Completes exactly once,
// with the items after the deletion filter or with the error of the first failed server call.
// Signed out, an unknown container and the leaves list nothing, successfully.
void list(const ExtensionStores& stores, const FileProviderItemIdentifier& container,
          FetchCache::Mode mode, Completion<ItemList> done);

// Hides pending items whose upload has just succeeded and items deleted a moment ago.
ItemList deletionFiltered(const ExtensionStores& stores, const ItemList& items);

// Longest wait for the names service before a listing goes on with the names it has.
inline constexpr double kNameRefreshWait = 4.0;

} // namespace ContainerListing

} // namespace pixavella
