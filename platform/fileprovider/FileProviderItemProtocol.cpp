#include "FileProviderItemProtocol.h"

namespace pixavella {

FileProviderItemProperties FileProviderItemProperties::of(const FileProviderItemProtocol& item)
{
    return FileProviderItemProperties{item.itemIdentifier(),
                                      item.parentItemIdentifier(),
                                      item.filename(),
                                      item.contentType(),
                                      item.documentSize(),
                                      item.creationDate(),
                                      item.contentModificationDate(),
                                      item.capabilities(),
                                      item.itemVersion(),
                                      item.nameRank()};
}

FileProviderItemRef FileProviderItemSnapshot::make(FileProviderItemProperties properties)
{
    return std::make_shared<const FileProviderItemSnapshot>(std::move(properties));
}

} // namespace pixavella
