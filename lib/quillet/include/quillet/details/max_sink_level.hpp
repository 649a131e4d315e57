// spdlog_internal::MaxSinkLevel: a wrapper sink that caps the levels reaching another sink.
#pragma once

#include <memory>
#include <string>

#include <spdlog/details/null_mutex.h>
#include <spdlog/sinks/base_sink.h>

#include "quillet/details/export.hpp"

namespace quillet::spdlog_internal {

// Passes a record to the wrapped sink when its level is at most max_level (and at least the
// wrapped sink's own level); the wrapper's own level, as for any sink, is the lower bound the
// logger tests. It keeps no lock: the wrapped sink serialises its own output. Patterns and
// formatters set on the wrapper go to the wrapped sink, which does the formatting.
class QUILLET_API MaxSinkLevel : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
public:
    // Throws std::invalid_argument for a null sink or a level outside trace..off.
    MaxSinkLevel(spdlog::sink_ptr sink, spdlog::level::level_enum max_level);

    // The sink this wrapper delegates to; never null.
    const spdlog::sink_ptr& get_sink() const noexcept { return sink_; }
    spdlog::level::level_enum max_level() const noexcept { return max_level_; }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;
    void set_pattern_(const std::string& pattern) override;
    void set_formatter_(std::unique_ptr<spdlog::formatter> formatter) override;

private:
    const spdlog::sink_ptr sink_;
    const spdlog::level::level_enum max_level_;
};

}  // namespace quillet::spdlog_internal
