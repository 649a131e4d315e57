// Key-value fields carried by a record, beside its message.
//
// spdlog's log_msg has no room for them, so the fields of the record being written travel on
// the writing thread: whoever logs with fields opens a record_fields_scope around the sinks'
// log calls, and a sink that writes structured output (JSON lines, syslog structured data) reads
// current_record_fields() while it formats. Sinks run on the logging thread, inside the call,
// so the scope outlives every read. A record logged without a scope (every plain spdlog call)
// has no fields. Each kind of sink documents how it shows them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "quillet/details/export.hpp"

namespace quillet {

// One value: JSON's scalar types. Anything else is given as its text.
struct field_value {
    enum class kind : unsigned char { null, boolean, integer, real, text };

    kind type = kind::null;
    bool boolean = false;
    std::int64_t integer = 0;
    double real = 0.0;
    std::string_view text;  // kind::text: UTF-8 as given; writers escape or replace what they must

    static constexpr field_value of_bool(bool b) noexcept {
        return make(kind::boolean, [&](field_value& v) { v.boolean = b; });
    }
    static constexpr field_value of_int(std::int64_t i) noexcept {
        return make(kind::integer, [&](field_value& v) { v.integer = i; });
    }
    static constexpr field_value of_real(double d) noexcept {
        return make(kind::real, [&](field_value& v) { v.real = d; });
    }
    static constexpr field_value of_text(std::string_view t) noexcept {
        return make(kind::text, [&](field_value& v) { v.text = t; });
    }

private:
    template <class Set>
    static constexpr field_value make(kind k, Set set) noexcept {
        field_value v;
        v.type = k;
        set(v);
        return v;
    }
};

struct record_field {
    std::string_view key;
    field_value value;
};

using record_fields = std::span<const record_field>;

// The fields of the record this thread is writing now; empty outside a record_fields_scope.
QUILLET_API record_fields current_record_fields() noexcept;

// Makes `fields` the current record's fields on this thread until destroyed, then restores
// what was current before (scopes nest). The fields and the texts they view must outlive it.
class QUILLET_API record_fields_scope {
public:
    explicit record_fields_scope(record_fields fields) noexcept;
    ~record_fields_scope();
    record_fields_scope(const record_fields_scope&) = delete;
    record_fields_scope& operator=(const record_fields_scope&) = delete;

private:
    record_fields previous_;
};

}  // namespace quillet
