#pragma once

#include <QString>

namespace pixavella::PrivateFiles {

// Photos, the library's listing, the server's address and the key's id are the user's alone:
// every file and folder the program creates from now on is the user's only (0600 and 0700),
// whatever the umask, and what an earlier version left readable to others under the product's
// data and cache folders is tightened. Called first thing by each desktop program.
void keepPrivate();

// Takes group and other permissions away from `root` and everything below it that this user
// owns; symbolic links are neither followed nor changed. Returns how many entries changed.
int tightenTree(const QString& root);

} // namespace pixavella::PrivateFiles
