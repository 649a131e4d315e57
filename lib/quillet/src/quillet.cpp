// quillet library entry points.
#include "quillet/quillet.hpp"

namespace quillet {

const char* version() noexcept { return "0.1.0"; }

}  // namespace quillet
