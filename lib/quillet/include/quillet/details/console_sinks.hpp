// The console sinks of this platform: the one file a port to another platform changes.
// Console sinks use spdlog's console mutex, so every console sink of the process (ours and
// spdlog's own default logger) serialises on one lock per stream.
#pragma once

#include <spdlog/common.h>
#include <spdlog/details/console_globals.h>
#include <spdlog/sinks/sink.h>
#include <spdlog/sinks/stdout_sinks.h>

#if defined(_WIN32)
#include <cstdint>
#include <spdlog/details/windows_include.h>
#include <spdlog/sinks/wincolor_sink.h>
#else
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/fmt/fmt.h>
#endif

namespace quillet::details {

using console_mutex = spdlog::details::console_mutex;
using stdout_sink = spdlog::sinks::stdout_sink<console_mutex>;
using stderr_sink = spdlog::sinks::stderr_sink<console_mutex>;

#if defined(_WIN32)
using color_sink = spdlog::sinks::wincolor_sink<console_mutex>;
using color_stdout_sink = spdlog::sinks::wincolor_stdout_sink<console_mutex>;
using color_stderr_sink = spdlog::sinks::wincolor_stderr_sink<console_mutex>;
#else
using color_sink = spdlog::sinks::ansicolor_sink<console_mutex>;
using color_stdout_sink = spdlog::sinks::ansicolor_stdout_sink<console_mutex>;
using color_stderr_sink = spdlog::sinks::ansicolor_stderr_sink<console_mutex>;
#endif

// True when `sink` writes to the console: spdlog's plain stdout/stderr sinks and this platform's
// colour console sinks, all with the console mutex, or a type derived from one of them.
// Wrapper sinks are not looked through here.
inline bool is_console_sink_type(const spdlog::sinks::sink* sink) noexcept {
    return dynamic_cast<const color_stdout_sink*>(sink) != nullptr ||
           dynamic_cast<const stdout_sink*>(sink) != nullptr ||
           dynamic_cast<const color_stderr_sink*>(sink) != nullptr || dynamic_cast<const stderr_sink*>(sink) != nullptr;
}

#if defined(_WIN32)
// The colour sink keeps its decision to itself; a derived class may name it.
struct color_sink_decision : color_sink {
    static bool colours(const color_sink& sink) noexcept { return sink.*(&color_sink_decision::should_do_colors_); }
};
#endif

// True when `sink` is this platform's colour console sink (or a type derived from one) and
// colours what it writes: its stream was a terminal when it was made (the sink's own test, made
// once). A plain console sink, or a colour sink writing into a pipe or a file, writes plain text.
// Wrapper sinks are not looked through here.
inline bool colours_output(const spdlog::sinks::sink* sink) noexcept {
    const auto* colour = dynamic_cast<const color_sink*>(sink);
    if (colour == nullptr) return false;
#if defined(_WIN32)
    return color_sink_decision::colours(*colour);
#else
    return colour->should_color();
#endif
}

// Gives `level` the 256-colour code `code` (0..255) for its colour range on a colour sink.
inline void set_level_color(color_sink& sink, spdlog::level::level_enum level, int code) {
#if defined(_WIN32)
    // The legacy console has 16 attribute colours: codes 0..15 map onto them (xterm order is
    // RGB, console attributes BGR); the 256-colour cube keeps spdlog's colour.
    if (code > 15) return;
    std::uint16_t attr = 0;
    if (code & 1) attr |= FOREGROUND_RED;
    if (code & 2) attr |= FOREGROUND_GREEN;
    if (code & 4) attr |= FOREGROUND_BLUE;
    if (code & 8) attr |= FOREGROUND_INTENSITY;
    sink.set_color(level, attr);
#else
    sink.set_color(level, fmt::format("\033[38;5;{}m", code));
#endif
}

}  // namespace quillet::details
