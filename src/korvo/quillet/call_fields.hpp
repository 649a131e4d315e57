// Key-value fields of records logged from Python: a call's `fields` dict and a bound logger's
// fields, merged into the record's fields (quillet/record_fields.hpp) while its sinks write it.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ref.hpp"
#include "quillet/record_fields.hpp"

namespace korvo::quillet {

// Text for a record: the str's UTF-8, or, for a str holding lone surrogates (which strict
// UTF-8 refuses), its UTF-8 with each of them written as a \udcXX escape, held by `keep`. A
// record is never lost to its text. Throws python_error only when memory runs out.
std::string_view loggable_utf8(PyObject* str, object& keep);

// Fields bound to a logger, converted once when bound: their texts are owned here. Immutable
// once made, so that bound loggers share them.
struct bound_fields {
    struct item {
        std::string key;
        ::quillet::field_value value;  // a text value views `text`
        std::string text;
    };
    std::vector<item> items;
};
using bound_fields_ptr = std::shared_ptr<const bound_fields>;

// TypeError for `fields` that is no dict. Throws python_error.
[[noreturn]] void raise_fields_type(PyObject* fields);
// TypeError unless `fields` is a dict (None is no fields): checked before the level test,
// since it costs nothing. Throws python_error.
inline void check_fields_arg(PyObject* fields) {
    if (fields != nullptr && fields != Py_None && !PyDict_Check(fields)) raise_fields_type(fields);
}

// `base` with the items of the dict `fields` (str keys) added, a key already there replaced.
// Throws python_error (TypeError for a key that is no str, or a value whose str() raises).
bound_fields_ptr bind_fields(const bound_fields_ptr& base, PyObject* fields);

// The arguments of bind(**fields) (a vectorcall's): `base` with those fields added. TypeError
// for a positional argument. Throws python_error.
bound_fields_ptr bind_call(const bound_fields_ptr& base, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The fields of one record: those already current on this thread (a native caller's
// record_fields_scope around its call), then a logger's bound ones, then the call's; a later
// key replaces an earlier one. Texts view the call's objects, `bound` or the outer scope's,
// which must outlive this.
class record_fields_builder {
public:
    explicit record_fields_builder(const bound_fields* bound,
                                   ::quillet::record_fields outer = ::quillet::current_record_fields());
    // Adds the items of `fields` (a dict or null/None). Throws python_error.
    void add_dict(PyObject* fields);
    // Adds one field whose key and value are Python objects. Throws python_error.
    void add(PyObject* key, PyObject* value);
    ::quillet::record_fields view() const noexcept { return added_ ? ::quillet::record_fields(fields_) : outer_; }
    bool empty() const noexcept { return view().empty(); }
    // Makes these the current record's fields on this thread until the builder goes; add nothing
    // after it. Without bound or call fields the outer ones are current already: no scope.
    void make_current() noexcept {
        if (added_) scope_.emplace(view());
    }

private:
    void put(std::string_view key, const ::quillet::field_value& value);

    ::quillet::record_fields outer_;
    std::vector<::quillet::record_field> fields_;  // outer_ and what was added, once something was
    std::vector<object> keep_;                     // the texts the fields view
    bool added_ = false;
    std::optional<::quillet::record_fields_scope> scope_;  // last: closed before what it views goes
};

// A dict of `bound`'s fields as Python values (text values as str). Throws python_error.
object bound_fields_dict(const bound_fields* bound);

}  // namespace korvo::quillet
