#pragma once

#include "FileProviderItemProtocol.h"

#include <functional>

namespace pixavella {

// Asks the framework to enumerate containers again, as the manager of the drive's domain
// does for the application; from any thread, without waiting.
namespace EnumerationSignals {

void signal(const FileProviderItemIdentifier& container);

// Replaces how signals are sent: the daemon signals the host it runs in directly, tests record
// them. An empty function restores the manager, for a process that hosts no drive.
using Sender = std::function<void(const FileProviderItemIdentifier&)>;
void setSender(Sender sender);

} // namespace EnumerationSignals

} // namespace pixavella
