// quillet: korvo's native logger library on spdlog. Builds loggers from handler
// descriptions and keeps the process-wide default logger.
#pragma once

#if defined(_WIN32)
#  if defined(QUILLET_BUILDING)
#    define QUILLET_API __declspec(dllexport)
#  else
#    define QUILLET_API __declspec(dllimport)
#  endif
#else
#  define QUILLET_API __attribute__((visibility("default")))
#endif

namespace quillet {

// The library's version text, "major.minor.patch".
QUILLET_API const char* version() noexcept;

}  // namespace quillet
