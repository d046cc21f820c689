#include "Routes.h"

namespace immichdouble {

void addAlbumRoutes(Router&, DoubleContext&) {}

} // namespace immichdouble
