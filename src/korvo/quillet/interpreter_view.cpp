// Reading the interpreter's frames and compact instance attributes (interpreter_view.hpp).
// Their layout is the interpreter's own and changes between minor releases: this is the one
// file that sees it, compiled against the headers of the interpreter the module is built for,
// which is the only one that loads it.
#include "interpreter_view.hpp"

#include <atomic>

#if PY_VERSION_HEX < 0x030E0000 || PY_VERSION_HEX >= 0x030F0000
#error "interpreter_view.cpp reads the frame and instance layouts of CPython 3.14"
#endif

#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#include <internal/pycore_frame.h>
#include <internal/pycore_interpframe.h>
#include <internal/pycore_object.h>
#include <internal/pycore_runtime.h>
#undef Py_BUILD_CORE

namespace korvo::quillet {

bool interpreter_layout_matches() noexcept {
    const _Py_DebugOffsets& running = _PyRuntime.debug_offsets;
    const auto same = [](std::uint64_t published, std::size_t compiled) { return published == compiled; };
#ifdef Py_GIL_DISABLED
    constexpr std::uint64_t free_threaded = 1;
#else
    constexpr std::uint64_t free_threaded = 0;
#endif
    return (running.version >> 16) == (static_cast<std::uint64_t>(PY_VERSION_HEX) >> 16) &&
           running.free_threaded == free_threaded &&
           same(running.thread_state.current_frame, offsetof(PyThreadState, current_frame)) &&
           same(running.interpreter_frame.size, sizeof(_PyInterpreterFrame)) &&
           same(running.interpreter_frame.previous, offsetof(_PyInterpreterFrame, previous)) &&
           same(running.interpreter_frame.executable, offsetof(_PyInterpreterFrame, f_executable)) &&
           same(running.interpreter_frame.instr_ptr, offsetof(_PyInterpreterFrame, instr_ptr)) &&
           same(running.interpreter_frame.owner, offsetof(_PyInterpreterFrame, owner)) &&
           same(running.code_object.size, sizeof(PyCodeObject)) &&
           same(running.code_object.filename, offsetof(PyCodeObject, co_filename)) &&
           same(running.code_object.name, offsetof(PyCodeObject, co_name)) &&
           same(running.dict_object.size, sizeof(PyDictObject)) &&
           same(running.dict_object.ma_keys, offsetof(PyDictObject, ma_keys)) &&
           same(running.dict_object.ma_values, offsetof(PyDictObject, ma_values));
}

interp_frame* innermost_frame() noexcept { return _PyFrame_GetFirstComplete(PyThreadState_Get()->current_frame); }

interp_frame* calling_frame(interp_frame* frame) noexcept { return _PyFrame_GetFirstComplete(frame->previous); }

PyCodeObject* frame_code(interp_frame* frame) noexcept { return _PyFrame_GetCode(frame); }

namespace {

// A shared key table only grows, under its own lock; on the free-threaded build its entry count
// and keys are published with release stores, read here with acquire loads (the interpreter's
// own readers do the same). The object's values are guarded by its critical section instead.
Py_ssize_t key_count(PyDictKeysObject* keys) noexcept {
#ifdef Py_GIL_DISABLED
    return std::atomic_ref<Py_ssize_t>(keys->dk_nentries).load(std::memory_order_acquire);
#else
    return keys->dk_nentries;
#endif
}

PyObject* key_at(const PyDictUnicodeEntry* entries, std::uint8_t index) noexcept {
#ifdef Py_GIL_DISABLED
    // atomic_ref takes no const object before C++26; the load writes nothing.
    return std::atomic_ref<PyObject*>(const_cast<PyObject*&>(entries[index].me_key)).load(std::memory_order_acquire);
#else
    return entries[index].me_key;
#endif
}

// The compact attributes of obj and their keys, or false when obj keeps them in a dict.
bool compact_attributes(PyObject* obj, PyDictValues*& values, PyDictKeysObject*& keys) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (!PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) || _PyObject_GetManagedDict(obj) != nullptr) return false;
    values = _PyObject_InlineValues(obj);
    keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
    return values->valid && keys != nullptr && keys->dk_kind == DICT_KEYS_SPLIT;
}

}  // namespace

bool inline_attributes_exactly(PyObject* obj, PyObject* names, std::span<PyObject*> values) noexcept {
    PyDictValues* inline_values = nullptr;
    PyDictKeysObject* keys = nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(names);
    if (!compact_attributes(obj, inline_values, keys) || inline_values->size != count ||
        static_cast<std::size_t>(count) != values.size())
        return false;
    const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    const std::uint8_t* order = get_insertion_order_array(inline_values);
    const Py_ssize_t entry_count = key_count(keys);
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::uint8_t index = order[i];
        if (index >= entry_count || key_at(entries, index) != PyTuple_GET_ITEM(names, i)) return false;
        PyObject* value = inline_values->values[index];
        if (value == nullptr) return false;
        values[static_cast<std::size_t>(i)] = value;
    }
    return true;
}

bool inline_attribute(PyObject* obj, PyObject* name, PyObject*& value) noexcept {
    PyDictValues* inline_values = nullptr;
    PyDictKeysObject* keys = nullptr;
    if (!compact_attributes(obj, inline_values, keys)) return false;
    const PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    const std::uint8_t* order = get_insertion_order_array(inline_values);
    const Py_ssize_t entry_count = key_count(keys);
    for (std::uint8_t i = 0; i < inline_values->size; ++i) {
        const std::uint8_t index = order[i];
        if (index >= entry_count) return false;
        if (key_at(entries, index) == name) {
            value = inline_values->values[index];
            return value != nullptr;
        }
    }
    return false;  // none, or a key equal to name but not the same object: the lookup decides
}

}  // namespace korvo::quillet
