// KoPipe: per-instance push/pop/release pointers that forward to its queue.
#include "pipe.hpp"

#include <array>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/critical_section.hpp"
#include "common/errors.hpp"
#include "common/pickling.hpp"
#include "common/published_type.hpp"
#include "common/ref.hpp"
#include "common/repr.hpp"
#include "common/type.hpp"
#include "korvo/relaybus.hpp"
#include "queue_options.hpp"
#include "state.hpp"

namespace korvo::relaybus {
namespace {

struct pipe_desc {
    template <class F>
    static void fields(kopipe_object& self, F&& f) {
        f(self._q);
    }
};
using pipe_type = type_slots<kopipe_object, pipe_desc>;

kopipe_object* as_pipe(PyObject* self) noexcept { return pipe_type::cast(self); }

// Native entries: forwards to the queue, results unchanged. No interpreter lock. The members
// they read are set by __init__, which must not run again while a native thread uses the pipe;
// Python-side readers (repr) take them under the object's critical section.
int pipe_push(kopipe_object* self, const char* data, std::size_t size) {
    return queue_ops().push(as_queue(self->_q), data, size);
}
int pipe_push_var(kopipe_object* self, const char* data, std::size_t size) {
    return queue_ops().push_var(as_queue(self->_q), data, size);
}
int pipe_pop(kopipe_object* self, const char** data, std::size_t* size) {
    return queue_ops().pop(as_queue(self->_q), data, size);
}
int pipe_pop_var(kopipe_object* self, const char** data, std::size_t* size) {
    return queue_ops().pop_var(as_queue(self->_q), data, size);
}
void pipe_release(kopipe_object* self) { queue_ops().release(as_queue(self->_q)); }
void pipe_release_var(kopipe_object*) {}

constexpr kopipe_vtable k_vtable{pipe_push, pipe_push_var, pipe_pop, pipe_pop_var, pipe_release, pipe_release_var};

PyObject* pipe_new(PyTypeObject* type, PyObject*, PyObject*) {
    return guard(nullptr, [&] { return pipe_type::allocate(type, &k_vtable).release(); });
}

int pipe_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        static constexpr auto names = parameter_names(k_bridge_options);
        std::array<PyObject*, names.size()> v{};
        parse_tuple_args("KoPipe", args, kwargs, names, 0, v);
        const queue_options options = parse_queue_options(k_bridge_options, v);
        const bool variable_size = options.variable_size;

        auto* pipe = as_pipe(self);
        object queue = options.make_queue();
        object old_queue;
        {
            critical_section section(self);
            old_queue = object::steal(std::exchange(pipe->_q, queue.release()));
            pipe->_push = variable_size ? pipe_push_var : pipe_push;
            pipe->_pop = variable_size ? pipe_pop_var : pipe_pop;
            pipe->_release = variable_size ? pipe_release_var : pipe_release;
        }
        return 0;
    });
}

PyObject* pipe_repr(PyObject* self) {
    return guard(nullptr, [&] {
        std::vector<repr_arg> args;
        const kopipe_object* pipe = as_pipe(self);
        object queue;
        bool variable_size = false;
        {
            critical_section section(self);
            queue = object::borrow(pipe->_q);
            variable_size = pipe->_push == pipe_push_var;
        }
        if (queue.ptr() != Py_None) {
            add_queue_repr_args(args, queue.ptr(), k_bridge_options);
            args.push_back({"variable_size", object::borrow(variable_size ? Py_True : Py_False)});
        }
        return call_repr(self, args).release();
    });
}

PyMethodDef pipe_methods[] = {KORVO_REFUSE_PICKLING_METHODS, k_methods_end};

auto pipe_slots = pipe_type::slots(
    constructed_slots(pipe_new, pipe_init, pipe_methods,
                      "KoPipe(size_t capacity=16384, size_t slot_size=2048, bool zerocopy=False, bool overwrite=False, "
                      "bool block_on_full=False, bool variable_size=False)\n\n"
                      "A ring queue for one native producer and one native consumer (see korvo/relaybus.hpp).",
                      pipe_repr));
PyType_Spec pipe_spec =
    type_spec("korvo.utils.relaybus.relaybus.KoPipe", sizeof(kopipe_object), k_gc_type_flags, pipe_slots.data());

}  // namespace

void add_kopipe_type(relaybus_state& st) { st.kopipe_type = add_published_type(st.module, &pipe_spec, &k_vtable); }

}  // namespace korvo::relaybus
