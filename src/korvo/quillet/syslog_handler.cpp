// SyslogHandler: layout, constructor, attributes, pickled state, and the sink it owns.
#include "syslog_handler.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/pickled_state.hpp"
#include "common/publish.hpp"
#include "common/repr.hpp"
#include "common/type.hpp"
#include "fields.hpp"
#include "handlers.hpp"
#include "levels.hpp"
#include "common/critical_section.hpp"
#include "pickle_state.hpp"
#include "quillet/details/syslog_sink.hpp"
#include "state.hpp"

namespace korvo::quillet {

namespace {

namespace qd = ::quillet::details;

struct syslog_handler_object {
    log_handler_object base;
    object address;    // (host, port) for udp and tcp, a path (str) for unix
    object transport;  // "udp", "tcp" or "unix"
    object facility;   // a syslog facility name
    object app_name;   // str, or None for the program's name
    std::uint64_t queue_size;
    // The sink made for the Loggers built from this description (Logger construction and
    // `dropped`); read and replaced only inside the object's critical section, as the fields are.
    std::shared_ptr<qd::syslog_sink> sink;
};

syslog_handler_object* as_syslog(PyObject* self) noexcept { return reinterpret_cast<syslog_handler_object*>(self); }

constexpr std::uint64_t k_default_queue_size = 10000;

// --- Checks -----------------------------------------------------------------------------------

void check_transport(PyObject* value) { qd::syslog_transport_named(utf8_of(value)); }

void check_facility(PyObject* value) { qd::syslog_facility_named(utf8_of(value)); }

// (host, port) with a str host and a port 0..65535, or a str path.
void check_address(PyObject* value) {
    if (PyUnicode_CheckExact(value)) return;
    if (PyTuple_Check(value) && PyTuple_GET_SIZE(value) == 2 && PyUnicode_Check(PyTuple_GET_ITEM(value, 0)) &&
        PyLong_Check(PyTuple_GET_ITEM(value, 1))) {
        const long port = PyLong_AsLong(PyTuple_GET_ITEM(value, 1));
        if (port == -1 && PyErr_Occurred() != nullptr) PyErr_Clear();
        if (port >= 0 && port <= 65535) return;
        throw std::invalid_argument("address port must be 0 to 65535");
    }
    PyErr_Format(PyExc_TypeError, "address must be a (host, port) tuple or a socket path (str), not %.200s",
                 Py_TYPE(value)->tp_name);
    throw python_error{};
}

void check_queue_size(PyObject* value) {
    if (to_size(value) == 0) throw std::invalid_argument("queue_size must be at least 1");
}

// A path for unix, (host, port) otherwise.
void check_pairing(PyObject* address, PyObject* transport) {
    if (address == Py_None || transport == Py_None || !PyUnicode_Check(transport)) return;
    const bool local = utf8_of(transport) == "unix";
    if (local && !PyUnicode_Check(address))
        throw std::invalid_argument("transport 'unix' needs the socket's path (a str) as address");
    if (!local && PyUnicode_Check(address))
        throw std::invalid_argument("transport '" + std::string(utf8_of(transport)) +
                                    "' needs a (host, port) tuple as address");
}

// --- Fields -----------------------------------------------------------------------------------

constexpr field f_address{
    "address",    "address: (str, int) | str", field_kind::value, offsetof(syslog_handler_object, address), false,
    check_address};
constexpr field f_transport{"transport", "transport: str", field_kind::text, offsetof(syslog_handler_object, transport),
                            false,       check_transport};
constexpr field f_facility{"facility", "facility: str", field_kind::text, offsetof(syslog_handler_object, facility),
                           false,      check_facility};
constexpr field f_app_name{"app_name", "app_name: str", field_kind::text, offsetof(syslog_handler_object, app_name)};
constexpr field f_level{"level", "level: 'Level'", field_kind::level, offsetof(log_handler_object, level)};
constexpr field f_queue_size{
    "queue_size", "queue_size: 'size_t'", field_kind::size, offsetof(syslog_handler_object, queue_size),
    false,        check_queue_size};

// Constructor order.
constexpr std::array<const field*, 6> params{&f_address,  &f_transport, &f_facility,
                                             &f_app_name, &f_level,     &f_queue_size};

// --- Lifetime ---------------------------------------------------------------------------------

// Fields as after allocation: objects None, numbers 0, no sink.
PyObject* syslog_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    syslog_handler_object* h = as_syslog(self);
    new (&h->base.pattern) object();
    for (object* o : {&h->address, &h->transport, &h->facility, &h->app_name}) new (o) object();
    new (&h->sink) std::shared_ptr<qd::syslog_sink>();
    return self;
}

struct syslog_desc {
    template <class F>
    static void objects(PyObject& obj, F&& f) {
        syslog_handler_object& self = *as_syslog(&obj);
        f(self.base.pattern);
        f(self.address);
        f(self.transport);
        f(self.facility);
        f(self.app_name);
    }
    // Loggers built from it keep the sink; without them it goes now (its thread is joined).
    static void teardown(PyObject& self) noexcept { std::destroy_at(&as_syslog(&self)->sink); }
};

// SyslogHandler(address=("127.0.0.1", 514), transport="udp", facility="user", app_name=None,
//               level=Level.TRACE, queue_size=10000)
int syslog_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guard(-1, [&] {
        std::array<const char*, params.size()> names{};
        for (std::size_t i = 0; i < params.size(); ++i) names[i] = params[i]->name;
        std::array<PyObject*, params.size()> v{};
        parse_tuple_args("__init__", args, kwargs, names, 0, v);
        object default_address = object::steal(check(Py_BuildValue("(si)", "127.0.0.1", 514)));
        object udp = object::steal(check(PyUnicode_FromString("udp")));
        object user = object::steal(check(PyUnicode_FromString("user")));
        object trace = level_object(0);
        object queue = object::steal(check(PyLong_FromUnsignedLongLong(k_default_queue_size)));
        const std::array<PyObject*, params.size()> defaults{default_address.ptr(), udp.ptr(),  user.ptr(), Py_None,
                                                            trace.ptr(),           queue.ptr()};
        for (std::size_t i = 0; i < params.size(); ++i)
            if (v[i] == nullptr) v[i] = defaults[i];
        // Everything is checked before anything is stored.
        const std::int32_t level = level_number(v[4]);
        check_queue_size(v[5]);
        for (std::size_t i = 0; i < 4; ++i) {
            if (params[i]->kind == field_kind::text) check_exact_type(v[i], &PyUnicode_Type, params[i]->name, i == 3);
            if (params[i]->check != nullptr) params[i]->check(v[i]);
        }
        check_pairing(v[0], v[1]);
        if (!is_level(level)) level_object(level);  // ValueError "<n> is not a valid Level"
        object level_member = level_object(level);
        PyObject* base_args[] = {Py_False, Py_None, level_member.ptr()};
        object super = object::steal(check(PyObject_CallFunctionObjArgs(
            reinterpret_cast<PyObject*>(&PySuper_Type), state().config(config_class::syslog_handler), self, nullptr)));
        object init = get_attr(super.ptr(), "__init__");
        object done = object::steal(check(PyObject_Vectorcall(init.ptr(), base_args, 3, nullptr)));
        for (std::size_t i = 0; i < params.size(); ++i) write_field(self, *params[i], v[i]);
        return 0;
    });
}

PyObject* syslog_repr(PyObject* self) {
    return guard(nullptr, [&] {
        std::vector<repr_arg> args;
        for (const field* f : params) args.push_back({f->name, repr_value(self, *f)});
        return call_repr(self, args).release();
    });
}

std::shared_ptr<qd::syslog_sink> sink_of(PyObject* self) {
    const critical_section lock(self);
    return as_syslog(self)->sink;
}

PyObject* syslog_dropped(PyObject* self, void*) {
    const std::shared_ptr<qd::syslog_sink> sink = sink_of(self);
    return PyLong_FromUnsignedLongLong(sink ? sink->counts().dropped : 0);
}

// --- Pickled state ----------------------------------------------------------------------------

constexpr std::array<const field*, 6> state_fields{&f_address, &f_app_name,   &f_facility,
                                                   &f_level,   &f_queue_size, &f_transport};
constexpr field_checksums sums{74706646, 169167826, 110619101,
                               "address, app_name, facility, level, queue_size, transport"};

PyTypeObject* syslog_type() { return state().config(config_class::syslog_handler); }

constexpr pickled_class pickled = pickled_fields<state_fields, syslog_type>("__pyx_unpickle_SyslogHandler", sums);

auto pickling = method_table(pickling_method_defs<pickled>());

PyGetSetDef getset[] = {
    field_getset(f_address),
    field_getset(f_transport),
    field_getset(f_facility),
    field_getset(f_app_name),
    field_getset(f_queue_size),
    {"dropped", syslog_dropped, nullptr,
     "dropped: int\n\nRecords the sink of this description has lost (queue full) since it was made.", nullptr},
    {},
};

auto slots = type_slots<PyObject, syslog_desc>::slots(std::to_array({
    doc_slot("SyslogHandler(address=('127.0.0.1', 514), str transport='udp', str facility='user', "
             "str app_name=None, Level level=Level.TRACE, size_t queue_size=10000)"),
    slot(Py_tp_init, syslog_init),
    slot(Py_tp_repr, syslog_repr),
    PyType_Slot{Py_tp_getset, getset},
    PyType_Slot{Py_tp_methods, pickling.data()},
    slot(Py_tp_new, syslog_new),
}));

PyMethodDef unpickle_functions[] = {
    unpickle_def<pickled>("__pyx_unpickle_SyslogHandler(__pyx_type, long __pyx_checksum, tuple __pyx_state)"),
    k_methods_end,
};

// --- Building ---------------------------------------------------------------------------------

// The program's name as syslog shows it: sys.argv[0] after its last separator, else "python".
std::string program_name() {
    // Held, as is its first item: another thread may replace sys.argv or change the list.
    object sys = object::steal(PyImport_ImportModule("sys"));
    PyObject* found = nullptr;
    object argv =
        sys && PyObject_GetOptionalAttrString(sys.ptr(), "argv", &found) > 0 ? object::steal(found) : object();
    object first = argv && PyList_Check(argv.ptr()) ? object::steal(PyList_GetItemRef(argv.ptr(), 0)) : object();
    if (!first) PyErr_Clear();
    if (first && PyUnicode_Check(first.ptr())) {
        std::string_view path = utf8_of(first.ptr());
        const auto slash = path.find_last_of("/\\");
        if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
        if (!path.empty() && path != "-c" && path != "-m") return std::string(path);
    }
    return "python";
}

qd::syslog_options read_options(PyObject* handler) {
    object address = get_attr(handler, "address");
    object transport = get_attr(handler, "transport");
    object facility = get_attr(handler, "facility");
    object app_name = get_attr(handler, "app_name");
    object queue_size = get_attr(handler, "queue_size");
    check_exact_type(transport.ptr(), &PyUnicode_Type, "transport");
    check_exact_type(facility.ptr(), &PyUnicode_Type, "facility");
    check_exact_type(app_name.ptr(), &PyUnicode_Type, "app_name", true);
    check_address(address.ptr());
    check_pairing(address.ptr(), transport.ptr());
    qd::syslog_options o;
    o.transport = qd::syslog_transport_named(utf8_of(transport.ptr()));
    o.facility = qd::syslog_facility_named(utf8_of(facility.ptr()));
    o.app_name = app_name.ptr() == Py_None ? program_name() : std::string(utf8_of(app_name.ptr()));
    o.queue_size = to_size(queue_size.ptr());
    if (PyUnicode_Check(address.ptr())) {
        o.path = std::string(utf8_of(address.ptr()));
    } else {
        o.host = std::string(utf8_of(PyTuple_GET_ITEM(address.ptr(), 0)));
        o.port = static_cast<std::uint16_t>(PyLong_AsLong(PyTuple_GET_ITEM(address.ptr(), 1)));
    }
    return o;
}

bool same_options(const qd::syslog_options& a, const qd::syslog_options& b) noexcept {
    return a.transport == b.transport && a.host == b.host && a.port == b.port && a.path == b.path &&
           a.facility == b.facility && a.app_name == b.app_name && a.queue_size == b.queue_size;
}

}  // namespace

void add_syslog_handler(::quillet::LoggerFactory& factory, PyObject* handler) {
    qd::syslog_options options = read_options(handler);
    const auto lvl = static_cast<spdlog::level::level_enum>(to_int32(get_attr(handler, "level").ptr()));
    if (!is_level(lvl)) level_object(lvl);      // ValueError "<n> is not a valid Level"
    std::shared_ptr<qd::syslog_sink> replaced;  // dropped after the lock (its thread is joined)
    std::shared_ptr<qd::syslog_sink> sink;
    {
        // Loggers built from one description on several threads share one sink.
        const critical_section lock(handler);
        std::shared_ptr<qd::syslog_sink>& kept = as_syslog(handler)->sink;
        if (!kept || kept->level() != lvl || !same_options(kept->options(), options)) {
            // A description changed since: later Loggers get a sink as it now says.
            auto fresh = std::make_shared<qd::syslog_sink>(std::move(options));
            fresh->set_level(lvl);
            replaced = std::exchange(kept, std::move(fresh));
        }
        sink = kept;
    }
    factory.add_syslog_handler(std::move(sink));
}

void add_syslog_handler_type(PyObject* module) {
    quillet_state& st = quillet_module::of_module(module);
    static PyType_Spec spec = type_spec("korvo.quillet.quillet.SyslogHandler", sizeof(syslog_handler_object),
                                        k_immutable_gc_type_flags, slots.data());
    PyObject* base = st.config_types[static_cast<std::size_t>(config_class::log_handler)].ptr();
    PyTypeObject* type = add_type(module, &spec, base);
    st.config_types[static_cast<std::size_t>(config_class::syslog_handler)] =
        object::steal(reinterpret_cast<PyObject*>(type));
    check(PyModule_AddFunctions(module, unpickle_functions));
}

}  // namespace korvo::quillet
