// What every forwarded or written record reads of the interpreter's own state, read the way the
// interpreter keeps it. A log call's site is found on every record: making a frame object for
// each frame passed over (PyFrame_GetBack) would cost more than writing the record. A forwarded
// record's attributes are all looked at on every record: making a dict for them would too.
#pragma once

#include <Python.h>

#include <span>

namespace korvo::quillet {

// The frame functions read the calling thread's own frames, which no other thread changes. The
// attribute functions read another object's memory: call them inside that object's critical
// section (critical_section), where the free-threaded interpreter changes it, and take a
// reference to what they give before leaving it.

// Whether the running interpreter lays out thread states, frames, code objects and dicts as the
// headers this file was compiled against do, by the offsets it publishes for debuggers. A
// release of 3.14 that moved them must refuse the import rather than read the wrong memory.
bool interpreter_layout_matches() noexcept;

// One executing Python frame of the calling thread; valid while no Python code runs on it.
using interp_frame = struct _PyInterpreterFrame;

// The innermost Python frame of the calling thread, or null when no Python code runs on it.
// Frames the interpreter has only begun to set up are passed over, as PyThreadState_GetFrame does.
interp_frame* innermost_frame() noexcept;
// The frame that called `frame` (the next complete one), or null.
interp_frame* calling_frame(interp_frame* frame) noexcept;
// The code object `frame` runs, borrowed from it.
PyCodeObject* frame_code(interp_frame* frame) noexcept;

// The offset of the instruction `frame` runs, and its line number.
inline int frame_offset(interp_frame* frame) noexcept { return PyUnstable_InterpreterFrame_GetLasti(frame); }
inline int frame_line_number(interp_frame* frame) noexcept { return PyUnstable_InterpreterFrame_GetLine(frame); }

// True when `obj` has exactly the instance attributes `names` (a tuple of str), set in that
// order, and holds them the interpreter's compact way (no dict made for them), as an instance
// straight from a class's __init__ does; `values` (names' size) then gets them, borrowed from
// obj (valid inside its critical section). False otherwise, with nothing learnt: read the
// attributes the ordinary way then.
bool inline_attributes_exactly(PyObject* obj, PyObject* names, std::span<PyObject*> values) noexcept;
// True when `obj` holds its instance attributes the compact way and has one whose key is the
// very object `name` (as interned names are): `value` then gets it, borrowed from obj. False
// otherwise: read it the ordinary way then.
bool inline_attribute(PyObject* obj, PyObject* name, PyObject*& value) noexcept;

}  // namespace korvo::quillet
