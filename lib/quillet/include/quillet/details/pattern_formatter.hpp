// The formatter of korvo's sinks: a compiled pattern for the common flags, spdlog's
// pattern_formatter for everything else, byte for byte the same output either way.
#pragma once

#include <memory>
#include <string>

#include <spdlog/common.h>
#include <spdlog/details/os.h>
#include <spdlog/formatter.h>

#include "quillet/details/export.hpp"

namespace quillet::details {

// A formatter for `pattern` that writes what spdlog::pattern_formatter(pattern, time_type, eol)
// writes, colour range included: quillet's own when it handles the whole pattern, else spdlog's.
// Like spdlog's, one formatter serves one thread at a time (the sink's lock).
QUILLET_API std::unique_ptr<spdlog::formatter> make_pattern_formatter(
    const std::string& pattern, spdlog::pattern_time_type time_type = spdlog::pattern_time_type::local,
    std::string eol = spdlog::details::os::default_eol);

// quillet's own formatter for `pattern`, or null when the pattern holds anything it does not
// handle: padding (%-10n), a flag outside the set below, or a '%' that ends the pattern.
// Handled: literal text, %%, the date and time flags %Y %C %m %d %H %I %M %S %a %A %b %h %B %c
// %D %x %p %r %R %T %X %e %f %F %E, and %n %l %L %v %t %P %^ %$ %@ %s %g %# %!.
QUILLET_API std::unique_ptr<spdlog::formatter> make_compiled_formatter(
    const std::string& pattern, spdlog::pattern_time_type time_type = spdlog::pattern_time_type::local,
    std::string eol = spdlog::details::os::default_eol);

}  // namespace quillet::details
