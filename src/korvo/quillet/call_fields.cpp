// Fields of records logged from Python (call_fields.hpp).
#include "call_fields.hpp"

#include <algorithm>
#include <cstdint>

#include "common/args.hpp"
#include "common/errors.hpp"

namespace korvo::quillet {

using ::quillet::field_value;
using ::quillet::record_field;

std::string_view loggable_utf8(PyObject* str, object& keep) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) return {utf8, static_cast<std::size_t>(size)};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw python_error{};
    PyErr_Clear();
    keep = object::steal(check(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace")));
    return {PyBytes_AS_STRING(keep.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(keep.ptr()))};
}

namespace {

// The value of `obj`; a text views `obj`'s UTF-8 or an object left in `keep`. An int outside
// int64 and anything that is not None, a bool, an int, a float or a str is given as its str().
field_value value_of(PyObject* obj, object& keep) {
    field_value v;
    if (obj == Py_None) return v;
    if (PyBool_Check(obj)) {
        v.type = field_value::kind::boolean;
        v.boolean = obj == Py_True;
        return v;
    }
    if (PyLong_Check(obj)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (n == -1 && PyErr_Occurred()) throw python_error{};
        if (overflow == 0) {
            v.type = field_value::kind::integer;
            v.integer = static_cast<std::int64_t>(n);
            return v;
        }
    } else if (PyFloat_Check(obj)) {
        v.type = field_value::kind::real;
        v.real = PyFloat_AS_DOUBLE(obj);
        return v;
    }
    object text = PyUnicode_Check(obj) ? object::borrow(obj) : object::steal(check(PyObject_Str(obj)));
    object encoded;
    v.type = field_value::kind::text;
    v.text = loggable_utf8(text.ptr(), encoded);
    keep = encoded ? std::move(encoded) : std::move(text);
    return v;
}

std::string_view key_of(PyObject* key, object& keep) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "fields keys must be str, not %.200s", Py_TYPE(key)->tp_name);
        throw python_error{};
    }
    keep = object::borrow(key);
    object encoded;
    const std::string_view text = loggable_utf8(key, encoded);
    if (encoded) keep = std::move(encoded);
    return text;
}

}  // namespace

void raise_fields_type(PyObject* fields) {
    PyErr_Format(PyExc_TypeError, "fields must be a dict with str keys, not %.200s", Py_TYPE(fields)->tp_name);
    throw python_error{};
}

record_fields_builder::record_fields_builder(const bound_fields* bound, ::quillet::record_fields outer)
    : outer_(outer) {
    if (bound == nullptr) return;
    fields_.reserve(outer_.size() + bound->items.size());
    for (const bound_fields::item& i : bound->items) put(i.key, i.value);
}

void record_fields_builder::put(std::string_view key, const field_value& value) {
    // The outer fields are copied only once something is added to them.
    if (!added_) fields_.insert(fields_.begin(), outer_.begin(), outer_.end());
    added_ = true;
    for (record_field& f : fields_) {
        if (f.key == key) {
            f.value = value;
            return;
        }
    }
    fields_.push_back({key, value});
}

void record_fields_builder::add(PyObject* key, PyObject* value) {
    object key_keep;
    const std::string_view k = key_of(key, key_keep);
    object value_keep;
    const field_value v = value_of(value, value_keep);
    put(k, v);
    keep_.push_back(std::move(key_keep));
    if (value_keep) keep_.push_back(std::move(value_keep));
}

void record_fields_builder::add_dict(PyObject* fields) {
    check_fields_arg(fields);
    if (fields == nullptr || fields == Py_None || PyDict_GET_SIZE(fields) == 0) return;
    // A copy of the items: a value's __str__ may change the dict.
    object items = object::steal(check(PyDict_Items(fields)));
    const Py_ssize_t n = PyList_GET_SIZE(items.ptr());
    fields_.reserve(std::max(fields_.size(), outer_.size()) + static_cast<std::size_t>(n));
    keep_.reserve(keep_.size() + 2 * static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        add(PyTuple_GET_ITEM(item, 0), PyTuple_GET_ITEM(item, 1));
    }
}

bound_fields_ptr bind_fields(const bound_fields_ptr& base, PyObject* fields) {
    record_fields_builder merged(base.get(), {});
    merged.add_dict(fields);
    auto out = std::make_shared<bound_fields>();
    out->items.reserve(merged.view().size());
    for (const record_field& f : merged.view()) {
        bound_fields::item& i = out->items.emplace_back();
        i.key = std::string(f.key);
        i.value = f.value;
        if (f.value.type == field_value::kind::text) i.text = std::string(f.value.text);
    }
    // The texts are in place now (the vector no longer grows): point the values at them.
    for (bound_fields::item& i : out->items)
        if (i.value.type == field_value::kind::text) i.value.text = i.text;
    return out;
}

bound_fields_ptr bind_call(const bound_fields_ptr& base, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "bind() takes no positional arguments (%zd given); pass fields as keywords",
                     nargs);
        throw python_error{};
    }
    object fields = object::steal(check(PyDict_New()));
    const Py_ssize_t n = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) check(PyDict_SetItem(fields.ptr(), PyTuple_GET_ITEM(kwnames, i), args[i]));
    return bind_fields(base, fields.ptr());
}

object bound_fields_dict(const bound_fields* bound) {
    object dict = object::steal(check(PyDict_New()));
    if (bound == nullptr) return dict;
    for (const bound_fields::item& i : bound->items) {
        object value;
        switch (i.value.type) {
            case field_value::kind::null:
                value = object::borrow(Py_None);
                break;
            case field_value::kind::boolean:
                value = object::borrow(i.value.boolean ? Py_True : Py_False);
                break;
            case field_value::kind::integer:
                value = object::steal(check(PyLong_FromLongLong(i.value.integer)));
                break;
            case field_value::kind::real:
                value = object::steal(check(PyFloat_FromDouble(i.value.real)));
                break;
            case field_value::kind::text:
                value = object::steal(check(
                    PyUnicode_DecodeUTF8(i.text.data(), static_cast<Py_ssize_t>(i.text.size()), "surrogateescape")));
                break;
        }
        object key = object::steal(
            check(PyUnicode_DecodeUTF8(i.key.data(), static_cast<Py_ssize_t>(i.key.size()), "surrogateescape")));
        check(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()));
    }
    return dict;
}

}  // namespace korvo::quillet
