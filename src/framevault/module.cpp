// The store module: its imports and the class ParquetDataManager, in definition order.
#include "framevault/store.hpp"

namespace corvane::store {

namespace {

using py::arg;

void fill_store_module(py::module_ &module) {
    py::options options;
    options.disable_function_signatures();

    native::import_into("os", "os");
    native::import_from("concurrent.futures", "ThreadPoolExecutor");
    native::import_from("concurrent.futures", "as_completed");
    native::import_into("pandas", "pd");
    native::import_from("tqdm", "tqdm");
    native::import_into("re", "re");

    py::object cls = native::make_plain_class(module, "ParquetDataManager");
    native::add_method(cls, "__init__", "Initialize with the root directory to store all parquet files.",
                       &init_store, arg("root_dir"), arg("max_workers") = 10);
    native::add_method(cls, "_if_exists_unstack_category", "", &if_exists_unstack_category, arg("category"));
    native::add_method(cls, "_if_exists_pivot_category", "", &if_exists_pivot_category, arg("category"));
    native::add_method(cls, "_get_category_path",
                       "Create and return the directory path for a specific category, optionally with year and month.",
                       &get_category_path, arg("category"));
    native::add_static(cls, "GSOI", "", &gsoi, arg("choice"), arg("df"));
    native::add_static(cls, "extract_year_month", "", &extract_year_month, arg("input_string"));
    native::add_method(cls, "_get_pivot_year_month", "", &get_pivot_year_month, arg("category"));
    native::add_method(cls, "_get_pivot_file_path",
                       "Generate the full file path for a parquet file based on category, year, and month.",
                       &get_pivot_file_path, arg("category"), arg("year"), arg("month"));
    native::add_method(cls, "_get_unstack_file_path",
                       "Generate the full file path for a parquet file based on category.",
                       &get_unstack_file_path, arg("category"));
    native::add_static(cls, "read_parquet", "", &read_parquet, arg("file_path"));
    native::add_method(cls, "update_unstack_category", "\n        更新unstack数据\n        ",
                       &update_unstack_category, arg("category"), arg("sub_df"),
                       arg("key_columns") = py::list());
    native::add_method(cls, "read_unstack_category", "", &read_unstack_category, arg("category"));
    native::add_static(cls, "update_unstack_df", "", &update_unstack_df, arg("original_df"),
                       arg("new_data"), arg("key_columns"));
    native::add_static(cls, "run_concurrently", "", &run_concurrently, arg("tasks"),
                       arg("worker_function"), arg("max_workers") = 5,
                       arg("task_desc") = "Processing tasks");
}

}  // namespace

}  // namespace corvane::store

PYBIND11_PLUGIN_IMPL(FrameVault) {
    PYBIND11_CHECK_PYTHON_VERSION
    try {
        pybind11::detail::get_internals();
        return corvane::native::init_or_reuse_module("corvane.FrameVault",
                                                     &corvane::store::fill_store_module);
    }
    PYBIND11_CATCH_INIT_EXCEPTIONS
    return nullptr;
}
