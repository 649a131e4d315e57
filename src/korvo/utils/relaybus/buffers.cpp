// Conversions of Python objects into byte runs, and CBufferView.
#include "buffers.hpp"

#include <array>

#include "common/args.hpp"
#include "common/critical_section.hpp"
#include "common/errors.hpp"
#include "common/pickling.hpp"
#include "common/publish.hpp"
#include "common/published_type.hpp"
#include "common/ref.hpp"
#include "common/repr.hpp"
#include "common/type.hpp"
#include "korvo/relaybus.hpp"
#include "state.hpp"

namespace korvo::relaybus {

// What bytes(obj) yields: PyObject_Bytes alone refuses an int, which bytes() turns into zeros.
int obj_to_cbuf(PyObject* obj, PyObject** holder, char const** data, size_t* size) {
    *holder = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), obj);
    if (*holder == nullptr) return -1;
    *data = PyBytes_AS_STRING(*holder);
    *size = static_cast<size_t>(PyBytes_GET_SIZE(*holder));
    return 0;
}

int buf_to_cbuf(PyObject* obj, Py_buffer* view, char const** data, size_t* size) {
    if (PyObject_GetBuffer(obj, view, PyBUF_SIMPLE) < 0) {
        view->buf = nullptr;
        view->obj = nullptr;
        return -1;
    }
    *data = static_cast<const char*>(view->buf);
    *size = static_cast<size_t>(view->len);
    return 0;
}

int bytes_to_cbuf(PyObject* obj, char const** data, size_t* size) {
    *data = PyBytes_AS_STRING(obj);
    *size = static_cast<size_t>(PyBytes_GET_SIZE(obj));
    return 0;
}

int str_to_cbuf(PyObject* obj, char const** data, size_t* size) {
    Py_ssize_t length = 0;
    *data = PyUnicode_AsUTF8AndSize(obj, &length);
    if (*data == nullptr) return -1;
    *size = static_cast<size_t>(length);
    return 0;
}

void publish_conversions(PyObject* module) {
    publish_function(module, "obj_to_cbuf", reinterpret_cast<void*>(obj_to_cbuf), k_obj_to_cbuf_sig);
    publish_function(module, "buf_to_cbuf", reinterpret_cast<void*>(buf_to_cbuf), k_buf_to_cbuf_sig);
    publish_function(module, "bytes_to_cbuf", reinterpret_cast<void*>(bytes_to_cbuf), k_bytes_to_cbuf_sig);
    publish_function(module, "str_to_cbuf", reinterpret_cast<void*>(str_to_cbuf), k_str_to_cbuf_sig);
}

namespace {

struct view_desc {
    // The buffer export and the bytes holder are the only things an instance owns; the holder
    // is bytes and makes no cycles, so the type needs no GC.
    static void teardown(cbuffer_view_object& self) noexcept {
        if (self.view.buf != nullptr) PyBuffer_Release(&self.view);
        field_ref(self.pb).clear();
    }
};
using view_type = type_slots<cbuffer_view_object, view_desc>;

cbuffer_view_object* as_view(PyObject* self) noexcept { return view_type::cast(self); }

// Points the view at what `convert(&data, &size)` yields; after a failed conversion data
// and size describe nothing.
template <class Convert>
int load_with(cbuffer_view_object* self, Convert&& convert) {
    const char* data = nullptr;
    size_t size = 0;
    if (convert(&data, &size) < 0) {
        self->data = nullptr;
        self->size = 0;
        return -1;
    }
    self->data = data;
    self->size = size;
    return 0;
}

int load_bytes(cbuffer_view_object* self, PyObject* source) {
    return load_with(self, [&](const char** data, size_t* size) { return bytes_to_cbuf(source, data, size); });
}

int load_str(cbuffer_view_object* self, PyObject* source) {
    return load_with(self, [&](const char** data, size_t* size) { return str_to_cbuf(source, data, size); });
}

// Threads: a view serves one caller at a time, since what one load points data / size at is valid
// only until the next load. The export and the bytes it holds are still only ever let go of once:
// the loads that replace them run under the view's critical section (on the free-threaded build
// two threads could otherwise both release the same export). An export, once taken, keeps its
// exporter from resizing (a bytearray refuses with BufferError), so data stays put meanwhile.
int load_buf(cbuffer_view_object* self, PyObject* source) {
    critical_section section(reinterpret_cast<PyObject*>(self));
    if (self->view.buf != nullptr) PyBuffer_Release(&self->view);
    self->view.buf = nullptr;
    return load_with(self,
                     [&](const char** data, size_t* size) { return buf_to_cbuf(source, &self->view, data, size); });
}

int load_obj(cbuffer_view_object* self, PyObject* source) {
    critical_section section(reinterpret_cast<PyObject*>(self));
    field_ref(self->pb).clear();
    return load_with(self, [&](const char** data, size_t* size) { return obj_to_cbuf(source, &self->pb, data, size); });
}

int load_auto(cbuffer_view_object* self, PyObject* source) {
    if (PyBytes_Check(source)) return load_bytes(self, source);
    if (PyUnicode_Check(source)) return load_str(self, source);
    if (PyObject_CheckBuffer(source)) return load_buf(self, source);
    return load_obj(self, source);
}

constexpr cbuffer_view_vtable k_vtable{load_bytes, load_buf, load_str, load_obj, load_auto};

cbuffer_loader loader_for(int kind) noexcept {
    switch (kind) {
        case k_kind_bytes:
            return load_bytes;
        case k_kind_text:
            return load_str;
        case k_kind_buffer:
            return load_buf;
        case k_kind_object:
            return load_obj;
        default:
            return load_auto;
    }
}

PyObject* view_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* view = as_view(self);
    view->vtab = &k_vtable;
    view->msg_kind = k_kind_auto;
    view->loader = load_auto;  // never null, even before __init__
    return self;
}

int view_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr std::array<const char*, 1> names{"msg_kind"};
        std::array<PyObject*, 1> values{};
        parse_tuple_args("CBufferView", args, kwargs, names, 0, values);
        const int kind = values[0] != nullptr ? to_int32(values[0]) : k_kind_auto;
        as_view(self)->msg_kind = kind;
        as_view(self)->loader = loader_for(kind);
        return 0;
    });
}

PyObject* view_repr(PyObject* self) {
    return guard(nullptr, [&] {
        const std::array<repr_arg, 1> args{
            {{"msg_kind", object::steal(check(PyLong_FromLong(as_view(self)->msg_kind)))}}};
        return call_repr(self, args).release();
    });
}

PyMethodDef view_methods[] = {KORVO_REFUSE_PICKLING_METHODS, k_methods_end};

auto view_slots =
    view_type::slots(constructed_slots(view_new, view_init, view_methods,
                                       "CBufferView(int msg_kind=4)\n\n"
                                       "Reads Python objects as byte runs for native callers, by message kind.",
                                       view_repr));
PyType_Spec view_spec = type_spec("korvo.utils.relaybus.relaybus.CBufferView", sizeof(cbuffer_view_object),
                                  k_type_flags, view_slots.data());

}  // namespace

void add_cbuffer_view_type(relaybus_state& st) {
    st.cbuffer_view_type = add_published_type(st.module, &view_spec, &k_vtable);
}

}  // namespace korvo::relaybus
