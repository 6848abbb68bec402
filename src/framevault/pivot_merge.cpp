// One month file of a category kept by month: created from the month's new days, or merged with them.
#include "framevault/month_blocks.hpp"
#include "framevault/month_reader.hpp"
#include "framevault/numeric_frames.hpp"
#include "framevault/store.hpp"
#include "bindings/dates.hpp"

namespace corvane::store {

namespace {

using namespace pybind11::literals;

py::object first_label(const py::object &labels) { return labels.attr("__getitem__")(0); }
py::object last_label(const py::object &labels) { return labels.attr("__getitem__")(-1); }

bool same_labels(const py::object &left, const py::object &right) {
    return py::bool_(left.attr("equals")(right));
}

// Whether either side holds a label that the other lacks.
bool one_sided_labels(const py::object &stored, const py::object &incoming) {
    return py::len(stored.attr("difference")(incoming)) > 0 || py::len(incoming.attr("difference")(stored)) > 0;
}

// New rows or days make the frames differ as much as missing ones do; otherwise the cells decide.
// compare only accepts identically labelled frames, so the new frame is first put in stored order.
bool frames_differ(const py::object &existing_df, const py::object &sub_df) {
    py::object stored_days = existing_df.attr("columns");
    py::object stored_rows = existing_df.attr("index");
    bool days_in_order = same_labels(stored_days, sub_df.attr("columns"));
    bool rows_in_order = same_labels(stored_rows, sub_df.attr("index"));
    if ((!days_in_order && one_sided_labels(stored_days, sub_df.attr("columns"))) ||
        (!rows_in_order && one_sided_labels(stored_rows, sub_df.attr("index")))) {
        return true;
    }
    py::object aligned = sub_df;
    if (!days_in_order || !rows_in_order) {
        aligned = sub_df.attr("reindex")("index"_a = stored_rows, "columns"_a = stored_days);
    }
    if (same_content(existing_df, aligned)) {
        return false;
    }
    // An empty comparison means equal; its values cannot tell, since a stored gap against a new 0
    // is a difference whose cells read as false.
    return !py::bool_(existing_df.attr("compare")(aligned).attr("empty"));
}

// stored.combine_first(incoming), with nullable integer columns filled cell by cell: pandas 2.2's
// combine_first passes them through float64 and so rounds integers beyond 2**53.
py::object combine_months(const py::object &stored, const py::object &incoming) {
    py::object merged = stored.attr("combine_first")(incoming);
    py::object index = merged.attr("index");
    py::str nullable_integers("Int64");
    for (py::handle label : py::list(merged.attr("columns"))) {
        py::object dtype = merged[label].attr("dtype");
        if (!dtype.equal(nullable_integers)) {
            continue;
        }
        py::object ours = stored.attr("columns").contains(label) ? stored[label].attr("reindex")(index) : py::object();
        py::object theirs =
            incoming.attr("columns").contains(label) ? incoming[label].attr("reindex")(index) : py::object();
        py::object exact = !ours ? theirs : !theirs ? ours : ours.attr("where")(ours.attr("notna")(), theirs);
        merged.attr("__setitem__")(label, exact);
    }
    return merged;
}

// Whether writing `merged` under the text labels `text` would store exactly what the file holds:
// its stored labels `stored_text`, and `existing_df` (with day labels) in its own row order.
bool month_unchanged(const py::object &existing_df, const py::object &stored_text, const py::object &merged,
                     const py::object &text) {
    if (!same_labels(existing_df.attr("columns"), merged.attr("columns")) || !same_labels(stored_text, text)) {
        return false;
    }
    py::object stored_rows = existing_df.attr("index");
    py::object aligned = merged;
    if (!same_labels(stored_rows, merged.attr("index"))) {
        if (one_sided_labels(stored_rows, merged.attr("index"))) {
            return false;
        }
        aligned = merged.attr("reindex")("index"_a = stored_rows);
    }
    return same_content(existing_df, aligned);
}

// The stored month as the merge compares it, read by the reader month_readers picks.
py::object stored_month(const py::object &file_path) {
    py::list paths;
    paths.append(file_path);
    MonthReaders readers = month_readers(MonthRead::kMerge, paths);
    if (readers.first == MonthReader::kBlock) {
        if (std::optional<py::object> block = read_stored_month_block(file_path)) {
            return *block;
        }
    }
    return readers.fallback == MonthReader::kPandas ? native::read_stored_parquet(file_path)
                                                    : native::read_stored_month(file_path);
}

void create_month_file(const py::object &file_path, const py::object &sub_df, const py::object &days,
                       const py::object &date_format) {
    py::object rows = rows_with_values(sub_df);
    py::object text = to_text_labels(days, date_format);
    // A shallow copy takes the text labels, so the caller's frame keeps its own.
    py::object written = rows.attr("copy")("deep"_a = false);
    written.attr("columns") = text;
    write_month_file(written, file_path);
    record_month_digest(file_path, written, date_format);
    native::print_status_line(native::concat(file_path, ": Initializing: Shape ", written.attr("shape"), " From ",
                                             first_label(text), " To ", last_label(text)));
}

// The stored frame with the new one merged in, the pandas way: stored values win, new cells fill
// holes, and integers too large for float64 stay exact.
py::object combined_by_pandas(const py::object &existing_df, const py::object &sub_df) {
    py::object merged = merge_keeping_integers({existing_df, sub_df}, [](const std::vector<py::object> &frames) {
        return rows_with_values(combine_months(frames[0], frames[1]));
    }, true);
    // Newer pandas keeps the caller's column order in combine_first; files hold their days in order.
    if (!py::bool_(merged.attr("columns").attr("is_monotonic_increasing"))) {
        merged = merged.attr("sort_index")("axis"_a = 1);
    }
    return merged;
}

void merge_month_file(const py::object &file_path, py::object sub_df, const py::object &date_format) {
    // The cells are taken out once for the row check and the digest: each take asks pandas for the
    // frame's dtypes, which costs more than the check.
    std::optional<FloatCells> cells = native_core_enabled() ? float_cells(sub_df) : std::nullopt;
    if (!cells || !float_rows_all_have_values(*cells)) {
        sub_df = rows_with_values(sub_df);
        cells = native_core_enabled() ? float_cells(sub_df) : std::nullopt;
    }
    // A re-sent month that matches the digest recorded with the file needs no read.
    if (print_identical_from_digest(file_path, sub_df, date_format, cells)) {
        return;
    }
    auto read_as = month_file_identity(file_path);
    py::object existing_df = stored_month(file_path);
    py::object stored_text = existing_df.attr("columns");
    existing_df.attr("columns") = to_day_labels(existing_df.attr("columns"), file_path, date_format);
    try {
        // The native core decides and merges float64 months; it returns nothing where it does not apply.
        std::optional<MergedMonth> core_merge = merge_numeric_months(existing_df, sub_df);
        if (core_merge ? core_merge->identical : !frames_differ(existing_df, sub_df)) {
            py::object days = existing_df.attr("columns");
            native::print_status_line(native::concat(file_path, ": Dataframes are identical. From ",
                                                     first_label(days), " To ", last_label(days), " Total Shape ",
                                                     existing_df.attr("shape")));
            record_unchanged_month(file_path, existing_df, date_format, read_as);
            return;
        }
        py::object merged = core_merge ? core_merge->frame : combined_by_pandas(existing_df, sub_df);
        py::object text = to_text_labels(merged.attr("columns"), date_format);
        // A merge that gives back the stored month needs no write; the line reports the merge all the same.
        bool changed = (core_merge && core_merge->changed) || !month_unchanged(existing_df, stored_text, merged, text);
        if (changed) {
            merged.attr("columns") = text;
            write_month_file(merged, file_path);
            record_month_digest(file_path, merged, date_format);
        } else {
            record_unchanged_month(file_path, existing_df, date_format, read_as);
        }
        native::print_status_line(native::concat(file_path, ": UpdatingDF  From ", first_label(text), " To ",
                                                 last_label(text), " Total Shape ", merged.attr("shape")));
        native::print_status_empty_line();
    } catch (py::error_already_set &error) {
        if (native::is_write_conflict(error)) {
            throw;
        }
        // Shown where the month is known, then passed on so the run reports the failure.
        native::print_status_line(py::str(error.value()));
        throw;
    }
}

}  // namespace

void update_pivot_parquet(py::object file_path, py::object sub_df, py::object date_format) {
    require_frame(sub_df, "sub_df");
    if (py::len(sub_df.attr("columns")) == 0) {
        raise_error(PyExc_ValueError, "sub_df has no day columns");
    }
    py::object days = to_day_labels(sub_df.attr("columns"), py::str("sub_df"));
    require_unique_labels(days, sub_df.attr("index"), "sub_df");
    native::require_storable_years(days, py::str("sub_df"));
    // From the existence test to the rewrite, so that no other writer's days are lost in between.
    native::run_exclusively(file_path, [&] {
        if (!native::path_exists(file_path)) {
            create_month_file(file_path, sub_df, days, date_format);
            return;
        }
        // The caller's frame keeps the datetime labels, as callers of the merge expect.
        sub_df.attr("columns") = days;
        merge_month_file(file_path, sub_df, date_format);
    });
}

}  // namespace corvane::store
