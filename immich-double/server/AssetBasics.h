#pragma once

#include <QtGlobal>

#include <array>

namespace immichdouble {

// What an asset's bytes decide: its kind and its SHA-1, shared by the library and the code that
// reads and makes media bytes.
enum class AssetType : quint8 { Image, Video };
using Sha1 = std::array<char, 20>;

} // namespace immichdouble
