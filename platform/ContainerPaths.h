#pragma once

#include <QString>

namespace pixavella {

// Where the two desktop programs keep their files. Every function creates the folder it
// names when missing.
namespace ContainerPaths {

inline constexpr const char* kAppGroupId = "QX7K4R9T2W.group.app.pixavella";
inline constexpr const char* kDomainId = "app.pixavella.fileprovider";

// $XDG_DATA_HOME/pixavella and $XDG_CACHE_HOME/pixavella: everything of the product's below
// them. Both are kept 0700 (a folder others cannot enter hides whatever is inside).
QString productDataDirectory();
QString productCacheDirectory();
// $XDG_DATA_HOME/pixavella/QX7K4R9T2W.group.app.pixavella
QString container();
// container()/Signals
QString signalsDirectory();
// The same paths, neither made nor checked: for a look that reads what is there, or a write
// that tells by its own failure when they are missing, as often as once per dropped file.
QString containerPath();
QString signalsPath();
// $XDG_CACHE_HOME/pixavella/app.pixavella.fileprovider (replica, content cache, staging)
QString domainCache();
// $XDG_RUNTIME_DIR/pixavella (control socket), always 0700. Without the variable:
// /run/user/<uid>/pixavella, or a private folder of the temporary directory.
QString runtimeDirectory();
// ~/Library/CloudStorage/Pixavella-Pixavella (not created here: the mount makes it)
QString mountPoint();

} // namespace ContainerPaths
} // namespace pixavella
