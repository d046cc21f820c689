#include "Routes.h"

namespace immichdouble {

void addAssetRoutes(Router&, DoubleContext&) {}

} // namespace immichdouble
