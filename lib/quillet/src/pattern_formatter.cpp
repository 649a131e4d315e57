// compiled_formatter: a pattern turned once into a short list of steps. Literal runs are
// appended as one block each, and the date and time text is made once per second (spdlog
// recomputes its std::tm once per second but formats every field of it for every record).
#include "quillet/details/pattern_formatter.hpp"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>
#include <utility>
#include <vector>

#include <spdlog/details/fmt_helper.h>
#include <spdlog/details/log_msg.h>
#include <spdlog/pattern_formatter.h>

#include "quillet/details/json_formatter.hpp"
#include "quillet/record_fields.hpp"

namespace quillet::details {

namespace {

namespace fmt_helper = spdlog::details::fmt_helper;
using spdlog::memory_buf_t;
using spdlog::details::log_msg;

// What one step of a compiled pattern appends.
enum class field : std::uint8_t {
    text,          // literal text (with the line end when it is last)
    seconds_text,  // a run of literal text and date/time flags, as made for the cached second
    millis,
    micros,
    nanos,
    epoch_seconds,
    logger_name,
    level,
    short_level,
    message,
    thread_id,
    pid,
    color_start,
    color_stop,
    source_location,
    source_file,
    source_basename,
    source_line,
    source_function,
};

// The flags whose text changes at most once a second (spdlog reads them from its cached std::tm).
bool is_time_flag(char flag) { return std::string_view("YCmdHIMSaAbhBcDxprRTX").find(flag) != std::string_view::npos; }

// The flags whose text is made for each record, and what each appends.
struct record_flag {
    char flag;
    field kind;
};
constexpr std::array<record_flag, 17> record_flags{{
    {'e', field::millis},
    {'f', field::micros},
    {'F', field::nanos},
    {'E', field::epoch_seconds},
    {'n', field::logger_name},
    {'l', field::level},
    {'L', field::short_level},
    {'v', field::message},
    {'t', field::thread_id},
    {'P', field::pid},
    {'^', field::color_start},
    {'$', field::color_stop},
    {'@', field::source_location},
    {'g', field::source_file},
    {'s', field::source_basename},
    {'#', field::source_line},
    {'!', field::source_function},
}};

bool record_field_of(char flag, field& out) {
    for (const record_flag& f : record_flags) {
        if (f.flag == flag) {
            out = f.kind;
            return true;
        }
    }
    return false;
}

inline void append(memory_buf_t& dest, const char* data, std::size_t size) {
    if (size == 0) return;
    const std::size_t at = dest.size();
    dest.resize(at + size);
    std::memcpy(dest.data() + at, data, size);
}

inline void append(memory_buf_t& dest, std::string_view text) { append(dest, text.data(), text.size()); }

// A source text as spdlog prints it; a missing one prints as nothing rather than crashing.
inline std::string_view text_of(const char* text) {
    return text != nullptr ? std::string_view(text) : std::string_view();
}

// The file name without its folders, split at the same separators as spdlog's %s.
std::string_view basename_of(const char* filename) {
    const std::string_view name = text_of(filename);
    constexpr std::string_view seps(spdlog::details::os::folder_seps, sizeof(spdlog::details::os::folder_seps) - 1);
    for (std::size_t i = name.size(); i > 0; --i) {
        for (char sep : seps) {
            if (name[i - 1] == sep) return name.substr(i);
        }
    }
    return name;
}

constexpr std::array<std::string_view, 7> days{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> full_days{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                    "Thursday", "Friday", "Saturday"};
constexpr std::array<std::string_view, 12> months{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 12> full_months{"January",   "February", "March",    "April",
                                                       "May",       "June",     "July",     "August",
                                                       "September", "October",  "November", "December"};

std::string_view ampm(const std::tm& t) { return t.tm_hour >= 12 ? "PM" : "AM"; }
int to12h(const std::tm& t) { return t.tm_hour > 12 ? t.tm_hour - 12 : t.tm_hour; }

void append_hms(int hour, const std::tm& t, memory_buf_t& out) {
    fmt_helper::pad2(hour, out);
    out.push_back(':');
    fmt_helper::pad2(t.tm_min, out);
    out.push_back(':');
    fmt_helper::pad2(t.tm_sec, out);
}

// The flags written as two digits (spdlog's pad2), and their values.
struct two_digit_flag {
    char flag;
    int (*value)(const std::tm&);
};
constexpr std::array<two_digit_flag, 7> two_digit_flags{{
    {'C', [](const std::tm& t) { return t.tm_year % 100; }},
    {'m', [](const std::tm& t) { return t.tm_mon + 1; }},
    {'d', [](const std::tm& t) { return t.tm_mday; }},
    {'H', [](const std::tm& t) { return t.tm_hour; }},
    {'I', [](const std::tm& t) { return to12h(t); }},
    {'M', [](const std::tm& t) { return t.tm_min; }},
    {'S', [](const std::tm& t) { return t.tm_sec; }},
}};

// The flags written as a day or month name, and the field that picks it.
struct name_flag {
    char flag;
    const std::string_view* names;
    int std::tm::* field;
};
constexpr std::array<name_flag, 5> name_flags{{
    {'a', days.data(), &std::tm::tm_wday},
    {'A', full_days.data(), &std::tm::tm_wday},
    {'b', months.data(), &std::tm::tm_mon},
    {'h', months.data(), &std::tm::tm_mon},
    {'B', full_months.data(), &std::tm::tm_mon},
}};

// One date or time flag, written as spdlog's flag formatter for it writes it.
void append_time_flag(char flag, const std::tm& t, memory_buf_t& out) {
    for (const two_digit_flag& f : two_digit_flags) {
        if (f.flag == flag) {
            fmt_helper::pad2(f.value(t), out);
            return;
        }
    }
    for (const name_flag& f : name_flags) {
        if (f.flag == flag) {
            append(out, f.names[static_cast<std::size_t>(t.*f.field)]);
            return;
        }
    }
    switch (flag) {
        case 'Y':
            fmt_helper::append_int(t.tm_year + 1900, out);
            break;
        case 'c':
            append(out, days[static_cast<std::size_t>(t.tm_wday)]);
            out.push_back(' ');
            append(out, months[static_cast<std::size_t>(t.tm_mon)]);
            out.push_back(' ');
            fmt_helper::append_int(t.tm_mday, out);
            out.push_back(' ');
            append_hms(t.tm_hour, t, out);
            out.push_back(' ');
            fmt_helper::append_int(t.tm_year + 1900, out);
            break;
        case 'D':
        case 'x':
            fmt_helper::pad2(t.tm_mon + 1, out);
            out.push_back('/');
            fmt_helper::pad2(t.tm_mday, out);
            out.push_back('/');
            fmt_helper::pad2(t.tm_year % 100, out);
            break;
        case 'p':
            append(out, ampm(t));
            break;
        case 'r':
            append_hms(to12h(t), t, out);
            out.push_back(' ');
            append(out, ampm(t));
            break;
        case 'R':
            fmt_helper::pad2(t.tm_hour, out);
            out.push_back(':');
            fmt_helper::pad2(t.tm_min, out);
            break;
        case 'T':
        case 'X':
            append_hms(t.tm_hour, t, out);
            break;
        default:
            break;  // is_time_flag admits nothing else
    }
}

class compiled_formatter final : public spdlog::formatter {
public:
    compiled_formatter(std::string pattern, spdlog::pattern_time_type time_type, std::string eol)
        : pattern_(std::move(pattern)), eol_(std::move(eol)), time_type_(time_type) {
        for (int lvl = 0; lvl < spdlog::level::n_levels; ++lvl) {
            const auto level = static_cast<spdlog::level::level_enum>(lvl);
            const spdlog::string_view_t name = spdlog::level::to_string_view(level);
            level_names_[lvl] = std::string_view(name.data(), name.size());
            short_level_names_[lvl] = spdlog::level::to_short_c_str(level);
        }
    }

    // False when the pattern holds anything this formatter does not handle.
    bool compile();

    void format(const log_msg& msg, memory_buf_t& dest) override;

    std::unique_ptr<spdlog::formatter> clone() const override {
        auto copy = std::make_unique<compiled_formatter>(pattern_, time_type_, eol_);
        copy->compile();  // the same pattern compiled before
        return copy;
    }

private:
    // A piece of a seconds_text run: a date/time flag, or (flag 0) text_[begin, begin + size).
    struct time_piece {
        char flag;
        std::uint32_t begin;
        std::uint32_t size;
    };
    // text: text_[begin, begin + size); seconds_text: seconds_text_[begin, begin + size).
    struct step {
        field kind;
        std::uint32_t begin = 0;
        std::uint32_t size = 0;
    };
    // The pieces [first, end) of pieces_ that make the seconds_text of steps_[step].
    struct time_run {
        std::size_t step;
        std::size_t first;
        std::size_t end;
    };

    void make_seconds_text();
    std::string_view level_name(spdlog::level::level_enum lvl) const {
        const auto index = static_cast<std::size_t>(lvl);
        if (index < level_names_.size()) return level_names_[index];
        const spdlog::string_view_t name = spdlog::level::to_string_view(lvl);
        return std::string_view(name.data(), name.size());
    }
    std::string_view short_level_name(spdlog::level::level_enum lvl) const {
        const auto index = static_cast<std::size_t>(lvl);
        return index < short_level_names_.size() ? short_level_names_[index] : spdlog::level::to_short_c_str(lvl);
    }

    const std::string pattern_;
    const std::string eol_;
    const spdlog::pattern_time_type time_type_;
    std::string text_;  // every literal run and the line end
    std::vector<step> steps_;
    std::vector<time_piece> pieces_;
    std::vector<time_run> runs_;
    std::array<std::string_view, spdlog::level::n_levels> level_names_;
    std::array<std::string_view, spdlog::level::n_levels> short_level_names_;
    // The second the runs were made for, its std::tm and their text. They start as spdlog's
    // cache does (second 0, a zeroed std::tm), so a record of that second prints the same too.
    std::chrono::seconds cached_second_{0};
    std::tm cached_tm_{};
    memory_buf_t seconds_text_;
};

bool compiled_formatter::compile() {
    if (pattern_.size() + eol_.size() >= std::numeric_limits<std::uint32_t>::max()) return false;
    steps_.clear();
    pieces_.clear();
    runs_.clear();
    text_.clear();
    // The open run: literal text and date/time flags since the last per-record field.
    std::size_t run_first = 0;
    bool run_has_time = false;
    const auto add_text = [&](const char* data, std::size_t size) {
        if (size == 0) return;
        const auto at = static_cast<std::uint32_t>(text_.size());
        if (pieces_.size() > run_first && pieces_.back().flag == 0 &&
            pieces_.back().begin + pieces_.back().size == at) {
            pieces_.back().size += static_cast<std::uint32_t>(size);
        } else {
            pieces_.push_back({0, at, static_cast<std::uint32_t>(size)});
        }
        text_.append(data, size);
    };
    const auto close_run = [&] {
        if (pieces_.size() == run_first) return;
        if (run_has_time) {
            runs_.push_back({steps_.size(), run_first, pieces_.size()});
            steps_.push_back({field::seconds_text});
            run_first = pieces_.size();
        } else {  // text alone: one piece, since adjacent text merges
            steps_.push_back({field::text, pieces_.back().begin, pieces_.back().size});
            pieces_.pop_back();
        }
        run_has_time = false;
    };

    for (std::size_t i = 0; i < pattern_.size(); ++i) {
        if (pattern_[i] != '%') {
            add_text(&pattern_[i], 1);
            continue;
        }
        if (++i == pattern_.size()) return false;  // spdlog drops a '%' that ends the pattern
        const char flag = pattern_[i];
        field kind = field::text;
        if (flag == '%') {
            add_text("%", 1);
        } else if (is_time_flag(flag)) {
            pieces_.push_back({flag, 0, 0});
            run_has_time = true;
        } else if (record_field_of(flag, kind)) {
            close_run();
            steps_.push_back({kind});
        } else {
            return false;  // padding, an unknown flag or one left to spdlog
        }
    }
    add_text(eol_.data(), eol_.size());
    close_run();
    make_seconds_text();
    return true;
}

void compiled_formatter::make_seconds_text() {
    seconds_text_.clear();
    for (const time_run& run : runs_) {
        const auto begin = seconds_text_.size();
        for (std::size_t i = run.first; i < run.end; ++i) {
            const time_piece& piece = pieces_[i];
            if (piece.flag == 0) {
                append(seconds_text_, text_.data() + piece.begin, piece.size);
            } else {
                append_time_flag(piece.flag, cached_tm_, seconds_text_);
            }
        }
        steps_[run.step].begin = static_cast<std::uint32_t>(begin);
        steps_[run.step].size = static_cast<std::uint32_t>(seconds_text_.size() - begin);
    }
}

void compiled_formatter::format(const log_msg& msg, memory_buf_t& dest) {
    using std::chrono::duration_cast;
    if (!runs_.empty()) {
        const auto second = duration_cast<std::chrono::seconds>(msg.time.time_since_epoch());
        if (second != cached_second_) {
            const std::time_t time = spdlog::log_clock::to_time_t(msg.time);
            cached_tm_ = time_type_ == spdlog::pattern_time_type::local ? spdlog::details::os::localtime(time)
                                                                        : spdlog::details::os::gmtime(time);
            cached_second_ = second;
            make_seconds_text();
        }
    }
    for (const step& s : steps_) {
        switch (s.kind) {
            case field::text:
                append(dest, text_.data() + s.begin, s.size);
                break;
            case field::seconds_text:
                append(dest, seconds_text_.data() + s.begin, s.size);
                break;
            case field::millis: {
                const auto ms = fmt_helper::time_fraction<std::chrono::milliseconds>(msg.time);
                fmt_helper::pad3(static_cast<std::uint32_t>(ms.count()), dest);
                break;
            }
            case field::micros: {
                const auto us = fmt_helper::time_fraction<std::chrono::microseconds>(msg.time);
                fmt_helper::pad6(static_cast<std::size_t>(us.count()), dest);
                break;
            }
            case field::nanos: {
                const auto ns = fmt_helper::time_fraction<std::chrono::nanoseconds>(msg.time);
                fmt_helper::pad9(static_cast<std::size_t>(ns.count()), dest);
                break;
            }
            case field::epoch_seconds:
                fmt_helper::append_int(duration_cast<std::chrono::seconds>(msg.time.time_since_epoch()).count(), dest);
                break;
            case field::logger_name:
                append(dest, msg.logger_name.data(), msg.logger_name.size());
                break;
            case field::level:
                append(dest, level_name(msg.level));
                break;
            case field::short_level:
                append(dest, short_level_name(msg.level));
                break;
            case field::message:
                append(dest, msg.payload.data(), msg.payload.size());
                append_fields_text(dest, current_record_fields());
                break;
            case field::thread_id:
                fmt_helper::append_int(msg.thread_id, dest);
                break;
            case field::pid:
                fmt_helper::append_int(static_cast<std::uint32_t>(spdlog::details::os::pid()), dest);
                break;
            case field::color_start:
                msg.color_range_start = dest.size();
                break;
            case field::color_stop:
                msg.color_range_end = dest.size();
                break;
            case field::source_location:
                if (msg.source.empty()) break;
                append(dest, text_of(msg.source.filename));
                dest.push_back(':');
                fmt_helper::append_int(msg.source.line, dest);
                break;
            case field::source_file:
                if (!msg.source.empty()) append(dest, text_of(msg.source.filename));
                break;
            case field::source_basename:
                if (!msg.source.empty()) append(dest, basename_of(msg.source.filename));
                break;
            case field::source_line:
                if (!msg.source.empty()) fmt_helper::append_int(msg.source.line, dest);
                break;
            case field::source_function:
                if (!msg.source.empty()) append(dest, text_of(msg.source.funcname));
                break;
        }
    }
}

// spdlog's %v with the record's fields after the message, as the compiled %v writes it
// (padding applies to the whole, as spdlog pads it).
class message_with_fields final : public spdlog::custom_flag_formatter {
public:
    void format(const log_msg& msg, const std::tm&, memory_buf_t& dest) override {
        memory_buf_t text;
        text.append(msg.payload.data(), msg.payload.data() + msg.payload.size());
        append_fields_text(text, current_record_fields());
        std::size_t size = text.size();
        const std::size_t width = padinfo_.width_;
        if (padinfo_.truncate_ && size > width) size = width;
        const std::size_t pad = width > size ? width - size : 0;
        using side = spdlog::details::padding_info::pad_side;
        const std::size_t before = padinfo_.side_ == side::left ? pad : padinfo_.side_ == side::center ? pad / 2 : 0;
        for (std::size_t i = 0; i < before; ++i) dest.push_back(' ');
        dest.append(text.data(), text.data() + size);
        for (std::size_t i = before; i < pad; ++i) dest.push_back(' ');
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<message_with_fields>(); }
};

}  // namespace

std::unique_ptr<spdlog::formatter> make_compiled_formatter(const std::string& pattern,
                                                           spdlog::pattern_time_type time_type, std::string eol) {
    auto formatter = std::make_unique<compiled_formatter>(pattern, time_type, std::move(eol));
    if (!formatter->compile()) return nullptr;
    return formatter;
}

std::unique_ptr<spdlog::formatter> make_pattern_formatter(const std::string& pattern,
                                                          spdlog::pattern_time_type time_type, std::string eol) {
    if (auto formatter = make_compiled_formatter(pattern, time_type, eol)) return formatter;
    auto formatter = std::make_unique<spdlog::pattern_formatter>(time_type, std::move(eol));
    formatter->add_flag<message_with_fields>('v').set_pattern(pattern);
    return formatter;
}

}  // namespace quillet::details
