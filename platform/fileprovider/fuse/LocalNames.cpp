#include "LocalNames.h"

#include <array>

namespace pixavella::LocalNames {

bool isLocal(const QByteArray& name)
{
    if (name.startsWith('.') || name.endsWith('~'))
        return true;
    static constexpr std::array<const char*, 5> kTemporarySuffixes = {".part", ".crdownload",
                                                                      ".tmp", ".swp", ".partial"};
    const QByteArray lower = name.toLower();
    for (const char* suffix : kTemporarySuffixes)
        if (lower.endsWith(suffix) && lower.size() > qsizetype(qstrlen(suffix)))
            return true;
    return false;
}

} // namespace pixavella::LocalNames
