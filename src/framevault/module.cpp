// The store module: its imports and the class ParquetDataManager, in definition order.
#include "framevault/method_docs.hpp"
#include "framevault/store.hpp"
#include "core/store_layout.hpp"

namespace corvane::store {

namespace {

using py::arg;
using native::documented;

const char *const update_pivot_parquet_doc =
    "\n"
    "        更新或创建一个Parquet文件。\n"
    "        针对某一分区下的Parquet数据进行更新\n"
    "        参数:\n"
    "        - file_path: str，Parquet文件的存储路径。\n"
    "        - sub_df: pd.DataFrame，要合并或存储的新DataFrame。\n"
    "        - date_format: str，日期列的格式字符串，默认为'%Y-%m-%d'。\n"
    "\n"
    "        如果Parquet文件存在，函数会尝试合并旧数据和新数据。\n"
    "        如果列名或数据有差异，合并后的数据将被存储回同一文件。\n"
    "        如果文件不存在，sub_df将直接保存为新文件。\n"
    "        ";

void fill_store_module(py::module_ &module) {
    py::options options;
    options.disable_function_signatures();

    native::import_into("os", "os");
    native::import_from("concurrent.futures", "ThreadPoolExecutor");
    native::import_from("concurrent.futures", "as_completed");
    native::import_into("pandas", "pd");
    native::import_from("tqdm", "tqdm");
    native::import_into("re", "re");

    py::object cls = native::make_plain_class(module, "ParquetDataManager", docs::store_class);
    native::add_init(cls, documented("Initialize with the root directory to store all parquet files.", docs::init).c_str(),
                     &init_store,
                     arg("root_dir"), arg("max_workers") = 10);
    native::add_method(cls, "_if_exists_unstack_category", "", &if_exists_unstack_category, arg("category"));
    native::add_method(cls, "_if_exists_pivot_category", "", &if_exists_pivot_category, arg("category"));
    native::add_method(cls, "_get_category_path",
                       "Create and return the directory path for a specific category, optionally with year and month.",
                       &get_category_path, arg("category"));
    native::add_static(cls, "GSOI", docs::gsoi, &gsoi, arg("choice"), arg("df"));
    native::add_static(cls, "extract_year_month", docs::extract_year_month, &extract_year_month, arg("input_string"));
    native::add_method(cls, "_get_pivot_year_month", "", &get_pivot_year_month, arg("category"));
    native::add_method(cls, "_get_pivot_file_path",
                       "Generate the full file path for a parquet file based on category, year, and month.",
                       &get_pivot_file_path, arg("category"), arg("year"), arg("month"));
    native::add_method(cls, "_get_unstack_file_path",
                       "Generate the full file path for a parquet file based on category.",
                       &get_unstack_file_path, arg("category"));
    native::add_method(cls, "update_pivot_category",
                       documented("\n        多线程更新pivot类型的数据\n        ", docs::update_pivot_category).c_str(),
                       &update_pivot_category, arg("df"), arg("category"), arg("strf") = "%Y-%m-%d");
    native::add_method(cls, "read_pivot_category",
                       documented("Read all dataframes from a specific category.", docs::read_pivot_category).c_str(),
                       &read_pivot_category, arg("category"), arg("start_date") = py::none(),
                       arg("end_date") = py::none(), arg("column_type") = "str");
    native::add_static(cls, "read_parquet", docs::read_parquet, &read_parquet, arg("file_path"));
    native::add_method(cls, "update_unstack_category",
                       documented("\n        更新unstack数据\n        ", docs::update_unstack_category).c_str(),
                       &update_unstack_category, arg("category"), arg("sub_df"),
                       arg("key_columns") = py::list());
    native::add_method(cls, "read_unstack_category", docs::read_unstack_category, &read_unstack_category, arg("category"));
    native::add_static(cls, "update_unstack_df", docs::update_unstack_df, &update_unstack_df, arg("original_df"),
                       arg("new_data"), arg("key_columns"));
    native::add_static(cls, "update_pivot_parquet", documented(update_pivot_parquet_doc, docs::update_pivot_parquet).c_str(),
                       &update_pivot_parquet,
                       arg("file_path"), arg("sub_df"), arg("date_format") = "%Y-%m-%d");
    native::add_static(cls, "run_concurrently", docs::run_concurrently, &run_concurrently, arg("tasks"),
                       arg("worker_function"), arg("max_workers") = 5,
                       arg("task_desc") = "Processing tasks");
    native::add_method(cls, "get_download_days", docs::get_download_days, &get_download_days, arg("category"),
                       arg("template_date"));

    // Additions beyond the methods above, after them so the definition order stays as it was.
    native::add_method(cls, "overwrite_pivot_category", docs::overwrite_pivot_category,
                       &overwrite_pivot_category, arg("df"), arg("category"), arg("strf") = "%Y-%m-%d");
    native::add_method(cls, "overwrite_unstack_category", docs::overwrite_unstack_category,
                       &overwrite_unstack_category, arg("category"), arg("sub_df"), arg("key_columns") = py::none());
    native::add_method(cls, "delete_pivot_days", docs::delete_pivot_days,
                       &delete_pivot_days, arg("category"), arg("start_date"), arg("end_date"));
    native::add_method(cls, "delete_pivot_rows", docs::delete_pivot_rows,
                       &delete_pivot_rows, arg("category"), arg("rows"));
    native::add_method(cls, "delete_unstack_rows", docs::delete_unstack_rows,
                       &delete_unstack_rows, arg("category"), arg("keys"));
    native::add_method(cls, "delete_category", docs::delete_category,
                       &delete_category, arg("category"));
    native::add_method(cls, "list_categories", docs::list_categories,
                       &list_categories);
    native::add_method(cls, "list_pivot_months", docs::list_pivot_months,
                       &list_pivot_months, arg("category"));
    native::add_method(cls, "read_pivot_rows", docs::read_pivot_rows,
                       &read_pivot_rows, arg("category"), arg("rows"), arg("start_date") = py::none(),
                       arg("end_date") = py::none(), arg("column_type") = "str");
    native::add_method(cls, "__repr__", docs::repr, &repr_store);

    // The class's own reader, runner and month writer, kept for the module's life, so that a read or
    // a write can tell when a caller has replaced one.
    own_month_hooks() = {py::object(cls.attr("read_parquet")).release(), py::object(cls.attr("run_concurrently")).release(),
                         py::object(cls.attr("update_pivot_parquet")).release()};

    // The file names' patterns for Python tools that look at a store (the corvane command), so that
    // they find files as the store does: the module corvane._store_layout, made here from the one
    // place that names them (the store module's globals stay its own).
    namespace layout = core::layout;
    py::object names = py::module_::import("types").attr("ModuleType")("corvane._store_layout",
                                                                       "The store's file names and their patterns.");
    names.attr("month_file_pattern") = layout::month_file_pattern;
    names.attr("month_key_pattern") = layout::month_key_pattern;
    names.attr("temporary_prefix") = layout::temporary_prefix;
    names.attr("temporary_file_pattern") = layout::temporary_file_pattern;
    names.attr("state_directory") = layout::state_directory;
    names.attr("table_suffix") = layout::table_suffix;
    names.attr("digest_directory") = layout::digest_directory;
    names.attr("digest_suffix") = layout::digest_suffix;
    py::module_::import("sys").attr("modules")["corvane._store_layout"] = names;
}

}  // namespace

}  // namespace corvane::store

PyMODINIT_FUNC PyInit_FrameVault() {
    return corvane::native::init_or_reuse_module("corvane.FrameVault", &corvane::store::fill_store_module);
}
