#include "cvclient/client.hpp"
#include "bindings/names.hpp"

namespace corvane::client {

namespace {

using namespace pybind11::literals;

// The port every known server listens on, unless CORVANE_PORT names another (read at each
// connection, as the host is).
py::int_ server_port() {
    py::object setting = global("os").attr("environ").attr("get")("CORVANE_PORT");
    if (setting.is_none() || py::len(py::str(setting).attr("strip")()) == 0) {
        return py::int_(6379);
    }
    py::str text = py::str(setting).attr("strip")();
    if (py::bool_(text.attr("isdecimal")())) {
        py::int_ port = py::module_::import("builtins").attr("int")(text);
        if (port.cast<long long>() >= 1 && port.cast<long long>() <= 65535) {
            return port;
        }
    }
    raise_error(PyExc_ValueError,
                native::concat("CORVANE_PORT must be a port number from 1 to 65535, not ", py::repr(setting)));
}

// The connection password: account and token as text, joined by a colon.
py::str connection_password(const py::object &account, const py::object &api_token) {
    return native::concat(account, ":", api_token);
}

py::object open_connection(const py::object &host, const py::object &account, const py::object &api_token) {
    return global("redis").attr("Redis")("host"_a = host, "port"_a = server_port(),
                                         "password"_a = connection_password(account, api_token));
}

// Probes mark a server they could not measure with the integer 999; a measured latency is a float.
bool is_failure_mark(const py::handle &latency) {
    return PyLong_CheckExact(latency.ptr()) && py::int_(999).equal(latency);
}

// ConnectionError of both kinds: callers catching the redis package's or the builtin one see it.
py::object unreachable_server_error() {
    return py::module_::import("corvane._server_errors").attr("ServerUnreachable");
}

// One line naming the server and the reason, instead of the redis package's chain of retries.
[[noreturn]] void raise_unreachable(const py::handle &label, const py::handle &host, py::error_already_set &error) {
    py::object exception = unreachable_server_error()(native::concat(
        "cannot reach the server ", label, " at ", host, ":", server_port(), ": ", py::str(error.value()),
        " (set CORVANE_HOST and CORVANE_PORT to the server's address)"));
    exception.attr("__suppress_context__") = true;
    PyErr_SetObject(unreachable_server_error().ptr(), exception.ptr());
    native::raise_pending();
}

}  // namespace

py::dict get_host_info(py::object /*self*/) {
    // The deployment chooses the host through the environment; read at each call so a changed
    // setting takes effect for the next authentication.
    py::dict hosts;
    hosts["上海-1"] = global("os").attr("environ").attr("get")("CORVANE_HOST", "127.0.0.1");
    return hosts;
}

py::object measure_latency(py::object r) {
    py::object time = global("time");
    py::object start_time = time.attr("time")();
    r.attr("ping")();
    py::object latency_ms = (time.attr("time")() - start_time) * py::int_(1000);
    return py::module_::import("builtins").attr("round")(latency_ms, 2);
}

py::object get_auth_ping(py::object host, py::object account, py::object api_token) {
    try {
        py::object temp_r = open_connection(host, account, api_token);
        return client_class().attr("measure_latency")(temp_r);
    } catch (py::error_already_set &error) {
        // Any ordinary failure marks the server unusable; interrupts and exits still pass.
        if (error.matches(PyExc_Exception)) {
            return py::int_(999);
        }
        throw;
    }
}

void auth(py::object self, py::object account, py::object api_token) {
    py::dict host_dict = self.attr("get_host_info")();
    py::dict ping_dict;
    for (auto item : host_dict) {
        ping_dict[item.first] = client_class().attr("get_auth_ping")(item.second, account, api_token);
    }
    py::object builtins = py::module_::import("builtins");
    py::object min_key = builtins.attr("min")(ping_dict, "key"_a = ping_dict.attr("get"));
    // A failed probe measured nothing, so no figure is shown for it.
    if (!is_failure_mark(ping_dict[min_key])) {
        native::print_line(native::concat("Corvane ", min_key, " | Ping: ", ping_dict[min_key], "ms"));
    }

    // Errors here reach the caller as they are, but for a server that cannot be reached.
    self.attr("r") = open_connection(host_dict[min_key], account, api_token);
    bool answered = false;
    try {
        answered = py::bool_(self.attr("r").attr("ping")());
    } catch (py::error_already_set &error) {
        if (error.matches(global("redis").attr("ConnectionError")) &&
            !error.matches(global("redis").attr("AuthenticationError"))) {
            raise_unreachable(min_key, host_dict[min_key], error);
        }
        throw;
    }
    if (!answered) {
        return;
    }
    native::print_line(native::concat("Auth Succeeded: ", account));
    // The server may hold keys of other programs: one that is not UTF-8 is not ours, and one
    // without a dash, or whose second field could not name a directory, names no category.
    py::list keys;
    for (py::handle key : self.attr("r").attr("keys")()) {
        try {
            keys.append(key.attr("decode")("utf-8"));
        } catch (py::error_already_set &error) {
            if (!error.matches(PyExc_UnicodeDecodeError)) {
                throw;
            }
        }
    }
    self.attr("keys") = keys;
    py::set categories;
    for (py::handle key : keys) {
        py::list fields = key.attr("split")("-");
        if (py::len(fields) > 1 && native::is_category_name(fields[1])) {
            categories.add(fields[1]);
        }
    }
    self.attr("r_category") = builtins.attr("sorted")(categories);
}

}  // namespace corvane::client
