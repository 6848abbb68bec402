// The client module: its imports, timing_decorator and the class CorvaneClient, in definition order.
#include "cvclient/client.hpp"
#include "cvclient/method_docs.hpp"

namespace corvane::client {

namespace {

using py::arg;
using namespace pybind11::literals;

void fill_client_module(py::module_ &module) {
    py::options options;
    options.disable_function_signatures();

    native::import_into("os", "os");
    native::import_into("pickle", "pickle");
    native::import_into("time", "time");
    native::import_into("pandas", "pd");
    native::import_into("redis", "redis");
    native::import_from("tqdm", "tqdm");
    // The store by its top-level name, which is how scripts that run beside it import it too.
    native::import_from("FrameVault", "ParquetDataManager");

    // A function of this module, so that it pickles by reference like the class's methods.
    module.attr("timing_decorator") = make_timing_decorator();

    py::object cls = native::make_plain_class(module, "CorvaneClient", docs::client_class);
    native::add_init(cls, docs::init, &init_client, arg("account"), arg("api_token"), arg("save_path"));
    native::add_static(cls, "get_auth_ping", docs::get_auth_ping, &get_auth_ping, arg("host"), arg("account"),
                       arg("api_token"));
    native::add_static(cls, "measure_latency", docs::measure_latency, &measure_latency, arg("r"));
    native::add_method(cls, "get_host_info", docs::get_host_info, &get_host_info);
    native::add_method(cls, "auth", docs::auth, &auth, arg("account"), arg("api_token"));
    native::add_method(cls, "load_df_from_cvdb", docs::load_df_from_cvdb, &load_df_from_cvdb, arg("key"));
    // Kept for the module's life, so that a sync can tell when a caller has replaced it.
    own_loader() = py::object(cls.attr("load_df_from_cvdb")).release();
    native::add_method(cls, "UpdateUnstackParquet", docs::update_unstack_parquet, &update_unstack_parquet, arg("category"));
    native::add_annotated_method(cls, "UpdatePivotParquet", docs::update_pivot_parquet, py::dict("start_date"_a = "str", "end_date"_a = "str"),
                                 &update_pivot_parquet, arg("category"), arg("start_date"), arg("end_date"),
                                 arg("strf") = "%Y-%m-%d");
    native::add_method(cls, "GetUnstackCategory", docs::get_unstack_category, &get_unstack_category, arg("category"));
    native::add_method(cls, "GetPivotCategory", docs::get_pivot_category, &get_pivot_category, arg("category"),
                       arg("start_date"), arg("end_date"));
    // Addition beyond the methods above.
    native::add_annotated_method(cls, "CorrectPivotParquet", docs::correct_pivot_parquet, py::dict("start_date"_a = "str", "end_date"_a = "str"),
                                 &correct_pivot_parquet, arg("category"), arg("start_date"), arg("end_date"),
                                 arg("strf") = "%Y-%m-%d");
    native::add_method(cls, "__repr__", docs::repr, &repr_client);
}

}  // namespace

}  // namespace corvane::client

PyMODINIT_FUNC PyInit_CVClient() {
    return corvane::native::init_or_reuse_module("corvane.CVClient", &corvane::client::fill_client_module);
}
