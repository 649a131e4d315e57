// MaxSinkLevel: forwards records up to a maximum level to the sink it wraps.
#include "quillet/details/max_sink_level.hpp"

#include <stdexcept>

#include "checks.hpp"

namespace quillet::spdlog_internal {

namespace {
spdlog::sink_ptr non_null(spdlog::sink_ptr sink) {
    if (!sink) throw std::invalid_argument("MaxSinkLevel needs a sink to wrap");
    return sink;
}
}  // namespace

MaxSinkLevel::MaxSinkLevel(spdlog::sink_ptr sink, spdlog::level::level_enum max_level)
    : sink_(non_null(std::move(sink))), max_level_(max_level) {
    details::check_level(max_level);
}

void MaxSinkLevel::sink_it_(const spdlog::details::log_msg& msg) {
    if (msg.level <= max_level_ && sink_->should_log(msg.level)) sink_->log(msg);
}

void MaxSinkLevel::flush_() { sink_->flush(); }

void MaxSinkLevel::set_pattern_(const std::string& pattern) { sink_->set_pattern(pattern); }

void MaxSinkLevel::set_formatter_(std::unique_ptr<spdlog::formatter> formatter) {
    sink_->set_formatter(std::move(formatter));
}

}  // namespace quillet::spdlog_internal
