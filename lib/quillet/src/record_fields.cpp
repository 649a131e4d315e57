#include "quillet/record_fields.hpp"

namespace quillet {

namespace {
// Written and read only by the owning thread.
thread_local record_fields current_fields;
}  // namespace

record_fields current_record_fields() noexcept { return current_fields; }

record_fields_scope::record_fields_scope(record_fields fields) noexcept : previous_(current_fields) {
    current_fields = fields;
}

record_fields_scope::~record_fields_scope() { current_fields = previous_; }

}  // namespace quillet
