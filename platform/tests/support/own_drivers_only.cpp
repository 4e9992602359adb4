// The platform tests load only the drivers they register themselves: without
// this the device layer would also load the drivers of the tree from their
// default directory. A caller's explicit VELDON_DRIVER_PATH still wins.
#include <cstdlib>

namespace {
const bool kOwnDriversOnly = [] { return ::setenv("VELDON_DRIVER_PATH", "", 0) == 0; }();
} // namespace
