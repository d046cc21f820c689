#pragma once

#include "ExtensionStores.h"
#include "FPNode.h"
#include "FileProviderReplicatedExtension.h"
#include "ImmichClient.h"

namespace pixavella {

// New items made in the drive: a folder becomes an album on the server; a file is checked and
// taken into the upload quarantine, answered with its pending item.
namespace ItemCreation {

using ChangeCompletion = FileProviderReplicatedExtension::ItemChangeCompletion;

void createAlbum(const ExtensionStores& stores, const ImmichClient& client,
                 const std::optional<FPNode>& parent, const QString& name, ChangeCompletion done);

// Refuses, before any byte is written, a file the drive never takes: a name that is no photo
// or video, or a parent that holds no files (the album roots).
Result<void> checkFile(const ExtensionStores& stores, const std::optional<FPNode>& parent,
                       const FileProviderItemProtocol& itemTemplate);

// `contents` belongs to the caller, which may delete it once `done` has run: the quarantine
// holds its own complete payload by then. Refusals are errors (not taken here, a duplicate),
// so that the program that wrote the file is told and keeps its copy.
ProgressRef createFile(const ExtensionStores& stores, const ImmichClient& client,
                       const std::optional<FPNode>& parent,
                       const FileProviderItemProtocol& itemTemplate,
                       const std::optional<QString>& contents, FileProviderCreateOptions options,
                       ChangeCompletion done);

// New contents for a photo of the drive (written over, or a file renamed onto its name):
// queued as a drop that replaces the photo's asset once uploaded, and answered with its pending
// item. New contents without a date of their own keep the photo's date.
ProgressRef replaceFile(const ExtensionStores& stores, const ImmichClient& client,
                        const FileProviderItemProtocol& item, const QString& contents,
                        ChangeCompletion done);

} // namespace ItemCreation

} // namespace pixavella
