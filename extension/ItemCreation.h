#pragma once

#include "FPNode.h"
#include "FileProviderReplicatedExtension.h"
#include "ImmichClient.h"

namespace pixavella {

// New items made in the drive: a folder becomes an album on the server; a file is checked and
// taken into the upload quarantine, answered with its pending item.
namespace ItemCreation {

using ChangeCompletion = FileProviderReplicatedExtension::ItemChangeCompletion;

void createAlbum(const ImmichClient& client, const std::optional<FPNode>& parent,
                 const QString& name, ChangeCompletion done);

// `contents` belongs to the caller, which may delete it once `done` has run: the quarantine
// holds its own complete payload by then.
ProgressRef createFile(const ImmichClient& client, const std::optional<FPNode>& parent,
                       const FileProviderItemProtocol& itemTemplate,
                       const std::optional<QString>& contents, ChangeCompletion done);

} // namespace ItemCreation

} // namespace pixavella
