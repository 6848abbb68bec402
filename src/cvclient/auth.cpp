#include "cvclient/client.hpp"
#include "bindings/names.hpp"

namespace corvane::client {

namespace {

using namespace pybind11::literals;

// The one port every known server listens on.
constexpr int server_port = 6379;

// The connection password: account and token as text, joined by a colon.
py::str connection_password(const py::object &account, const py::object &api_token) {
    return native::concat(account, ":", api_token);
}

py::object open_connection(const py::object &host, const py::object &account, const py::object &api_token) {
    return global("redis").attr("Redis")("host"_a = host, "port"_a = server_port,
                                         "password"_a = connection_password(account, api_token));
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
    native::print_line(native::concat("Corvane ", min_key, " | Ping: ", ping_dict[min_key], "ms"));

    // Errors here reach the caller as they are; nothing is caught.
    self.attr("r") = open_connection(host_dict[min_key], account, api_token);
    if (!py::bool_(self.attr("r").attr("ping")())) {
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
