// libquillet's version, flushing on demand, and the argument checks its operations share.
#include "quillet/quillet.hpp"

#include <stdexcept>

#include "checks.hpp"
#include "file_flusher.hpp"

namespace quillet {

const char* version() noexcept { return QUILLET_VERSION; }

void flush_file_sinks() noexcept { details::file_flusher::instance().flush_all(); }

namespace details {

void check_level(spdlog::level::level_enum lvl) {
    const int n = static_cast<int>(lvl);
    if (n < spdlog::level::trace || n > spdlog::level::off)
        throw std::invalid_argument(std::to_string(n) + " is not a valid Level");
}

void check_color(int code) {
    if (code < -1 || code > 255)
        throw std::invalid_argument("colour " + std::to_string(code) + " is neither -1 nor a code in 0..255");
}

}  // namespace details
}  // namespace quillet
