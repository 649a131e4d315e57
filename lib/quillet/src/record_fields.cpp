#include "quillet/record_fields.hpp"

namespace quillet {

namespace {
// Written and read only by the owning thread. Every record reads it: on ELF the initial-exec
// model makes that one load instead of a __tls_get_addr call (16 bytes of the static TLS that
// glibc keeps for libraries loaded later).
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local record_fields current_fields;
}  // namespace

record_fields current_record_fields() noexcept { return current_fields; }

record_fields_scope::record_fields_scope(record_fields fields) noexcept : previous_(current_fields) {
    current_fields = fields;
}

record_fields_scope::~record_fields_scope() { current_fields = previous_; }

}  // namespace quillet
