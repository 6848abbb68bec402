#include "cvclient/client.hpp"

#include <pybind11/eval.h>

namespace corvane::client {

py::object timed_call(py::object func, py::tuple args, py::dict kwargs) {
    py::object start_time = global("time").attr("time")();
    py::object result = func(*args, **kwargs);
    py::object end_time = global("time").attr("time")();
    // __name__ is read only after the call: a callable without one still runs, then fails here.
    py::str elapsed = py::str("{:.3f}").format(end_time - start_time);
    native::print_line(native::concat(func.attr("__name__"), " Running: ", elapsed, " Seconds"));
    return result;
}

py::object make_timing_decorator() {
    // A builtin function cannot carry a qualified name of its own, keep a closure, or bind as a
    // method when it decorates one; a real function can. Its body only hands over to timed_call, and
    // it lives in a private namespace so the module gains no globals.
    py::dict scope;
    scope["__name__"] = "corvane.CVClient";
    scope["timed_call"] = py::cpp_function(&timed_call, py::name("timed_call"), py::arg("func"),
                                           py::arg("args"), py::arg("kwargs"));
    py::exec(R"(
def timing_decorator(func):
    def wrapper(*args, **kwargs):
        return timed_call(func, args, kwargs)
    return wrapper
)",
             scope);
    return scope["timing_decorator"];
}

void init_client(py::object self, py::object account, py::object api_token, py::object save_path) {
    self.attr("account") = account;
    self.attr("api_token") = api_token;
    self.attr("auth")(account, api_token);
    if (!native::path_exists(save_path)) {
        native::make_directories(save_path);
        native::print_line(native::concat("Creating Saving Dir: ", save_path));
    } else {
        native::print_line(native::concat("Found Saving Dir: ", save_path));
    }
    self.attr("save_path") = save_path;
    self.attr("CV_db") = global("ParquetDataManager")(save_path);
}

py::str repr_client(py::object self) {
    // Shown in tracebacks and notebooks: never the token, and never an error of its own.
    py::object none = py::none();
    py::object server = none;
    try {
        py::object settings = py::getattr(self, "r", none).attr("connection_pool").attr("connection_kwargs");
        server = native::concat(settings.attr("get")("host"), ":", settings.attr("get")("port"));
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_Exception)) {
            throw;
        }
    }
    return native::concat(py::type::of(self).attr("__name__"), "(account=", py::repr(py::getattr(self, "account", none)),
                          ", server=", py::repr(server), ", save_path=", py::repr(py::getattr(self, "save_path", none)),
                          ")");
}

}  // namespace corvane::client
