// The wake-up socket factory. It goes through Python's socket module (so options and errors are
// the interpreter's own) and reports through the module-level `logger`.
#include "setup_socket.hpp"

#include <array>
#include <utility>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/ref.hpp"
#include "common/type.hpp"
#include "state.hpp"
#include "wakeup_socket.hpp"

namespace korvo::relaybus {
namespace {

constexpr int k_so_rcvbufforce = 33;  // Linux: beyond the system limit, needs CAP_NET_ADMIN

// Calls logger.<method>(text) on the module-level logger, looked up now.
void log_through_module_logger(const char* method, PyObject* text) {
    call_method(get_attr(relaybus_module::state().module, "logger").ptr(), method, text);
}

void set_option(PyObject* sock, PyObject* socket_module, PyObject* option, int value) {
    object level = get_attr(socket_module, "SOL_SOCKET");
    object number = object::steal(check(PyLong_FromLong(value)));
    call_method(sock, "setsockopt", level.ptr(), option, number.ptr());
}

void set_rcvbuf(PyObject* sock, PyObject* socket_module, int recvbuf) {
    set_option(sock, socket_module, get_attr(socket_module, "SO_RCVBUF").ptr(), recvbuf);
}

bool platform_is_linux() {
    object platform = get_attr(get_attr(relaybus_module::state().module, "sys").ptr(), "platform");
    object prefix = object::steal(check(PyUnicode_FromString("linux")));
    return check(PyUnicode_Tailmatch(platform.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1)) == 1;
}

// Tries SO_RCVBUFFORCE; on OSError logs why and falls back to SO_RCVBUF.
void force_rcvbuf(PyObject* sock, PyObject* socket_module, int recvbuf) {
    try {
        object option = object::steal(check(PyLong_FromLong(k_so_rcvbufforce)));
        set_option(sock, socket_module, option.ptr(), recvbuf);
        return;
    } catch (const python_error&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
    }
    object error = object::steal(PyErr_GetRaisedException());
    object err_no = get_attr(error.ptr(), "errno");
    const long code = PyLong_Check(err_no.ptr()) ? PyLong_AsLong(err_no.ptr()) : 0;
    if (code == -1 && PyErr_Occurred()) throw python_error{};
    object text = object::steal(check(
        code == 1 || code == 13
            ? PyUnicode_FromString("SO_RCVBUFFORCE needs CAP_NET_ADMIN (sudo or setcap). Falling back to SO_RCVBUF.")
            : PyUnicode_FromFormat("WARNING: SO_RCVBUFFORCE failed (%S). Falling back.", error.ptr())));
    log_through_module_logger("warn", text.ptr());
    set_rcvbuf(sock, socket_module, recvbuf);
}

PyObject* setup_socket_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guard(nullptr, [&] {
        static constexpr std::array<const char*, 2> names{"blocking", "recvbuf"};
        std::array<PyObject*, 2> values{};
        parse_args("setup_socket", args, nargs, kwnames, names, 2, values);
        const bool blocking = to_bool(values[0]);
        return setup_socket(blocking, to_int32(values[1]));
    });
}

PyMethodDef setup_socket_def[] = {
    method_fastcall("setup_socket", setup_socket_py,
                    "setup_socket(bool blocking, int recvbuf)\n\n"
                    "An unbound IPv4 datagram socket with the given blocking mode and receive buffer."),
    k_methods_end,
};

// Unpacks getsockname() into exactly (address text, port).
std::pair<object, object> unpack_pair(PyObject* pair) {
    object iter = object::steal(check(PyObject_GetIter(pair)));
    object first = object::steal(PyIter_Next(iter.ptr()));
    object second = first ? object::steal(PyIter_Next(iter.ptr())) : object{};
    if (!second) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", first ? 1 : 0);
        throw python_error{};
    }
    object third = object::steal(PyIter_Next(iter.ptr()));
    if (third) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw python_error{};
    }
    if (PyErr_Occurred()) throw python_error{};
    return {std::move(first), std::move(second)};
}

}  // namespace

PyObject* setup_socket(bool blocking, int recvbuf) {
    object socket_module = object::steal(check(PyImport_ImportModule("socket")));
    object sock = call_method(socket_module.ptr(), "socket", get_attr(socket_module.ptr(), "AF_INET").ptr(),
                              get_attr(socket_module.ptr(), "SOCK_DGRAM").ptr());
    try {
        call_method(sock.ptr(), "setblocking", blocking ? Py_True : Py_False);
        if (recvbuf > 0) {
            if (platform_is_linux())
                force_rcvbuf(sock.ptr(), socket_module.ptr(), recvbuf);
            else
                set_rcvbuf(sock.ptr(), socket_module.ptr(), recvbuf);
        }
        object granted = call_method(sock.ptr(), "getsockopt", get_attr(socket_module.ptr(), "SOL_SOCKET").ptr(),
                                     get_attr(socket_module.ptr(), "SO_RCVBUF").ptr());
        object text = object::steal(check(PyUnicode_FromFormat("SO_RCVBUF= %S", granted.ptr())));
        log_through_module_logger("debug", text.ptr());
    } catch (const python_error&) {
        close_socket_quietly(sock.ptr());  // dropped with the error, but closed rather than left to the collector
        throw;
    }
    return sock.release();
}

void close_socket_quietly(PyObject* sock) noexcept {
    saved_error pending;
    try {
        call_method(sock, "close");
    } catch (const python_error&) {
        PyErr_Clear();
    }
}

platform_socket bind_for_wakeups(PyObject* sock, PyObject* host, ipv4_address& address) {
    object any_port = object::steal(check(PyLong_FromLong(0)));
    object address_pair = object::steal(check(PyTuple_Pack(2, host, any_port.ptr())));
    call_method(sock, "bind", address_pair.ptr());
    object name = call_method(sock, "getsockname");
    auto [bound_host, port_obj] = unpack_pair(name.ptr());
    const long port = PyLong_AsLong(port_obj.ptr());
    if (port == -1 && PyErr_Occurred()) throw python_error{};
    if (port < 0 || port > 65535) {
        PyErr_SetString(PyExc_OverflowError, "value out of range for an unsigned 16-bit port");
        throw python_error{};
    }
    object encoded = object::steal(check(PyUnicode_AsUTF8String(bound_host.ptr())));
    object fileno = call_method(sock, "fileno");
    const long long handle = PyLong_AsLongLong(fileno.ptr());
    if (handle == -1 && PyErr_Occurred()) throw python_error{};
    if (handle < 0) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to PLATFORM_SOCKET");
        throw python_error{};
    }
    const platform_socket native = wakeup::duplicate(static_cast<platform_socket>(handle));
    if (native == k_no_socket) {
        PyErr_SetFromErrno(PyExc_OSError);
        throw python_error{};
    }
    wakeup::fill_address(address, PyBytes_AS_STRING(encoded.ptr()), static_cast<unsigned short>(port));
    return native;
}

setup_arguments parse_setup_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<const char*, 2> names{"host", "recvbuf"};
    std::array<PyObject*, 2> v{};
    parse_args("setup", args, nargs, kwnames, names, 0, v);
    object host = v[0] ? object::borrow(v[0]) : object::steal(check(PyUnicode_FromString("127.0.0.1")));
    check_exact_type(host.ptr(), &PyUnicode_Type, "host", /*allow_none=*/true);
    return {std::move(host), v[1] ? to_int32(v[1]) : 16777216};
}

void add_setup_socket(PyObject* module) { check(PyModule_AddFunctions(module, setup_socket_def)); }

}  // namespace korvo::relaybus
