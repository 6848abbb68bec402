// Bodies of CorvaneClient's methods and of timing_decorator, one group per concern. module.cpp
// assembles them into the module in definition order; everything else reaches them through Python
// attribute lookup.
#pragma once

#include "bindings/pyglue.hpp"
#include "bindings/storage.hpp"

#include <optional>

namespace corvane::client {

namespace py = pybind11;
using native::global;
using native::raise_error;

// The class as currently bound in the module: auth reaches the static probes through it, so a
// subclass overriding them does not change what auth calls.
inline py::object client_class() { return global("CorvaneClient"); }

// construction_timing.cpp: the decorator and the constructor.
// Runs func(*args, **kwargs) and prints how long it took; the body of timing_decorator's wrapper.
py::object timed_call(py::object func, py::tuple args, py::dict kwargs);
// The private factory that closes a Python function named `wrapper` over func; see the definition.
py::object make_timing_decorator();
void init_client(py::object self, py::object account, py::object api_token, py::object save_path);
// CorvaneClient(account=..., server='host:port', save_path=...), the API token left out.
py::str repr_client(py::object self);

// auth.cpp: the server table, probes, and the authenticated connection with its key snapshot.
py::dict get_host_info(py::object self);
py::object get_auth_ping(py::object host, py::object account, py::object api_token);
py::object measure_latency(py::object r);
void auth(py::object self, py::object account, py::object api_token);

// loading.cpp: one pickled frame per server key.
py::object load_df_from_cvdb(py::object self, py::object key);
// The class's own load_df_from_cvdb, kept when the module is built.
py::handle &own_loader();
// Whether `self` loads values with the class's own load_df_from_cvdb (not one replaced on the
// instance, a subclass or the class).
bool loads_with_own_loader(const py::object &self);

// value_sandbox.cpp: a server value loaded in the client's worker process and handed back as a
// validated DataFrame; an error naming the key for anything else (pickle.UnpicklingError for a refused
// or broken value or a crashed worker, TypeError for a value that is not a frame or not bytes-like,
// MemoryError and TimeoutError for a value over its limits).
py::object sandboxed_loads(py::object self, const py::handle &key, const py::handle &data);
// The frames of `keys`, fetched in turn with self.r.get and loaded as sandboxed_loads loads each, the
// worker unpickling one value while this thread converts the one before; the first failing key's
// error, as when they are loaded one by one.
py::list sandboxed_load_each(py::object self, const py::iterable &keys);

// arrow_frames.cpp: a month value (float64 days, text row labels) from its validated Arrow table as
// the DataFrame to_pandas gives; nullopt for any other table, and with CORVANE_NATIVE=0.
std::optional<py::object> month_frame_from_arrow(const py::object &table);

// sync.cpp: the commands that copy server data into the store and read it back.
void update_unstack_parquet(py::object self, py::object category);
void update_pivot_parquet(py::object self, py::object category, py::object start_date,
                          py::object end_date, py::object strf);
py::object get_unstack_category(py::object self, py::object category);
// The server's months of the range (keys cv1-<category>-YYYYMM in the key snapshot), checked,
// loaded and joined side by side; None when the server holds none of them.
py::object load_server_months(py::object self, py::object category, py::object start_date, py::object end_date);
py::object get_pivot_category(py::object self, py::object category, py::object start_date,
                              py::object end_date);

// corrections.cpp: the monthly sync with the server's values winning over stored ones.
py::object correct_pivot_parquet(py::object self, py::object category, py::object start_date, py::object end_date,
                                 py::object strf);

}  // namespace corvane::client
