#pragma once

#include "ExtensionStores.h"
#include "FileProviderReplicatedExtension.h"
#include "ImmichClient.h"

namespace pixavella {

// Capture dates set on a dropped file after it was closed: file managers and `gio copy -p`
// copy the modification time only once the bytes are written, and a photo without an EXIF
// date is filed under that time.
namespace ItemRedating {

using ChangeCompletion = FileProviderReplicatedExtension::ItemChangeCompletion;

// The quarantine entry took its date from the file's time (it has no EXIF date).
void noteDatedByFileTime(const QString& entryId);

// `item` is a pending item whose contentModificationDate the user's program set. While the
// entry waits or is being sent its manifest takes the date (an upload under way carries it to
// the server when it ends); once uploaded, the server's asset takes it. A photo dated by its
// EXIF keeps that date.
ProgressRef redate(const ExtensionStores& stores, const ImmichClient& client,
                   const FileProviderItemRef& item, ChangeCompletion done);

} // namespace ItemRedating

} // namespace pixavella
