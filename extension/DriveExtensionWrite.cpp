// Write requests of the drive. Until they are mapped onto server operations, every one is
// refused with the drive's "unsupported" error, which the host turns into ENOTSUP.

#include "DriveExtension.h"

#include "FileProviderError.h"

namespace pixavella {

ProgressRef DriveExtension::createItem(FileProviderItemRef, FileProviderItemFields,
                                       const std::optional<QString>&, FileProviderCreateOptions,
                                       ItemChangeCompletion completion)
{
    completion(unsupportedOperationError());
    return Progress::make();
}

ProgressRef DriveExtension::modifyItem(FileProviderItemRef, const FileProviderItemVersion&,
                                       FileProviderItemFields, const std::optional<QString>&,
                                       ItemChangeCompletion completion)
{
    completion(unsupportedOperationError());
    return Progress::make();
}

ProgressRef DriveExtension::deleteItem(const FileProviderItemIdentifier&,
                                       const FileProviderItemVersion&, FileProviderDeleteOptions,
                                       DeleteCompletion completion)
{
    completion(unsupportedOperationError());
    return Progress::make();
}

} // namespace pixavella
