#pragma once

#include <QByteArray>

namespace pixavella::LocalNames {

// Names that programs write before renaming into place, or that are nobody's content: hidden
// names (editors' and rsync's temporary copies) and the temporary names of browsers and editors
// (".part", ".crdownload", ".tmp", ".swp", a trailing "~"). Such files stay local to the drive,
// listed and writable, until renamed to a name the extension takes.
bool isLocal(const QByteArray& name);

} // namespace pixavella::LocalNames
