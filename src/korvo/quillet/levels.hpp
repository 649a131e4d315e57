// Level, the level enumeration, the default patterns, and level number <-> Level conversions.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/ref.hpp"
#include "state.hpp"

namespace korvo::quillet {

// A literal too, for the texts that quote it (the handler classes' signatures).
#define KORVO_QUILLET_HANDLER_PATTERN "[%Y-%m-%d %H:%M:%S.%e] [%n] [%^%l%$] %v"
inline constexpr const char* k_default_handler_pattern = KORVO_QUILLET_HANDLER_PATTERN;
inline constexpr const char* k_default_logger_pattern = "[%d-%m-%Y %H:%M:%S.%f] [%n] [%^%l%$] %v";

// Creates the IntEnum `Level` (TRACE 0 .. OFF 6, spdlog's numbering) and binds it in the module.
// Throws python_error.
void add_level_enum(PyObject* module);

// Binds default_handler_pattern and default_logger_pattern. Throws python_error.
void add_default_patterns(PyObject* module);

// Whether n names a Level member (TRACE 0 .. OFF 6).
inline constexpr bool is_level(std::int32_t n) noexcept { return n >= 0 && n <= 6; }

// The member of whatever is bound to `module`.Level now, named after n (0..6); ValueError
// "<n> is not a valid Level" for any other number. Throws python_error.
object level_object(PyObject* module, std::int32_t n);
// The same for this module.
inline object level_object(std::int32_t n) { return level_object(state().module, n); }

// A level given from Python: any int (bool and Level included) or object with __int__, as a
// signed 32-bit number, unchecked. TypeError "an integer is required", OverflowError outside
// 32 bits. Throws python_error.
std::int32_t level_number(PyObject* obj);

}  // namespace korvo::quillet
