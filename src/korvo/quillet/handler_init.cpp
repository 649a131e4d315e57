// The configuration classes' __init__ steps shared by every class.
#include "handler_init.hpp"

#include <iterator>

#include "common/attr.hpp"
#include "common/errors.hpp"
#include "levels.hpp"

namespace korvo::quillet {

namespace {

object stored_text(PyObject* text) { return text == Py_None ? object() : object::borrow(text); }

}  // namespace

std::int64_t convert_number(const field& f, PyObject* value) {
    switch (f.kind) {
        case field_kind::boolean:
            return to_bool(value);
        case field_kind::level:
            return level_number(value);
        case field_kind::size:
            return static_cast<std::int64_t>(to_size(value));
        case field_kind::colour:
            return to_int32(value);
        case field_kind::text:
        case field_kind::value:
            break;
    }
    return 0;
}

PyObject* text_param(const init_param& p, PyObject* value) {
    PyObject* fallback = p.fallback == k_default_pattern ? state().default_handler_pattern.ptr() : nullptr;
    PyObject* text = value != nullptr ? value : fallback;
    check_exact_type(text, &PyUnicode_Type, p.f->name, true);
    check_path(*p.f, text);
    return text;
}

void store(PyObject* self, const field& f, const init_values& a, std::size_t i) noexcept {
    switch (f.kind) {
        case field_kind::boolean:
            store_slot<bool>(self, f, a.flag(i));
            return;
        case field_kind::text:
        case field_kind::value: {
            object old = stored_text(a.text[i]);
            {
                const critical_section lock(self);
                std::swap(old, text_slot(self, f));
            }
            return;  // the replaced text is dropped after the lock
        }
        case field_kind::level:
        case field_kind::colour:
            store_slot<std::int32_t>(self, f, a.level(i));
            return;
        case field_kind::size:
            store_slot<std::uint64_t>(self, f, static_cast<std::uint64_t>(a.number[i]));
            return;
    }
}

void init_base(config_class own, PyObject* self, std::initializer_list<PyObject*> args) {
    PyObject* own_type = reinterpret_cast<PyObject*>(state().config(own));
    object super = object::steal(
        check(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), own_type, self, nullptr)));
    object init = get_attr(super.ptr(), "__init__");
    object result = object::steal(check(PyObject_Vectorcall(init.ptr(), std::data(args), args.size(), nullptr)));
}

}  // namespace korvo::quillet
