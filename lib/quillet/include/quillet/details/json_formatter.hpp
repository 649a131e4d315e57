// Structured output of records: JSON lines, and the text form of a record's fields that
// pattern sinks append after the message.
//
// A JSON line is one object per record, in this key order:
//   "time"     local time, RFC 3339 with microseconds and a numeric offset
//              ("2026-12-09T04:14:18.123456+01:00")
//   "level"    spdlog's level name: "trace", "debug", "info", "warning", "error", "critical"
//   "logger"   the logger's name
//   "message"  the payload
//   "file", "line", "function"   the source location (file name as the record gives it; the
//              three are null when the record carries none, as plain spdlog calls do)
//   "thread"   the OS thread id, "process" the process id
//   "fields"   an object of the record's fields (record_fields.hpp), {} when it has none
// Texts are escaped as JSON requires (quotes, backslashes, every control character) and
// invalid UTF-8 becomes U+FFFD, one per maximal invalid subsequence, so every line parses
// whatever bytes a caller logged. Field values keep their JSON type; a real that is not finite
// is written as the string "NaN", "Infinity" or "-Infinity".
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include <spdlog/common.h>
#include <spdlog/details/os.h>
#include <spdlog/formatter.h>

#include "quillet/details/export.hpp"
#include "quillet/record_fields.hpp"

namespace quillet::details {

// A formatter writing one JSON line per record (above). Colour ranges are left empty.
QUILLET_API std::unique_ptr<spdlog::formatter> make_json_formatter(std::string eol = spdlog::details::os::default_eol);

// `text` as a quoted JSON string: escaped, invalid UTF-8 replaced by U+FFFD.
QUILLET_API void append_json_string(spdlog::memory_buf_t& dest, std::string_view text);
// One value as JSON (see above for reals that are not finite).
QUILLET_API void append_json_value(spdlog::memory_buf_t& dest, const field_value& value);
// The fields as one JSON object.
QUILLET_API void append_json_fields(spdlog::memory_buf_t& dest, record_fields fields);

// The fields as pattern sinks show them: " key=value" for each, in order. Numbers, true,
// false and null are written bare; a text (or key) is written bare when it is not empty and
// holds only printable non-blank characters other than '"', '=' and '\\', else as a quoted
// JSON string, so a field never splits the line.
QUILLET_API void append_fields_text(spdlog::memory_buf_t& dest, record_fields fields);

}  // namespace quillet::details
