// Server values are pickles, and a pickle names the callables that rebuild it. Only the callables
// that pandas and numpy use to rebuild a DataFrame are let through; anything else is refused when
// its name is read, before it could be called.
#include "cvclient/client.hpp"

#include <cstring>
#include <string>

namespace corvane::client {

namespace {

using namespace pybind11::literals;

struct GlobalName {
    const char *module;
    const char *name;
};

// Names as pandas 2.2 and 3.x, numpy 1.x and 2.x, and pyarrow write them in pickles of frames of
// every dtype and index kind (old protocols spell builtins and copyreg the Python 2 way; the base
// class maps those spellings).
constexpr GlobalName admitted_globals[] = {
    // builtins and the standard library pieces of frames' pickles
    {"builtins", "bytearray"}, {"builtins", "slice"}, {"builtins", "complex"}, {"builtins", "object"},
    {"builtins", "frozenset"}, {"builtins", "set"}, {"builtins", "range"},
    {"__builtin__", "bytearray"}, {"__builtin__", "slice"}, {"__builtin__", "complex"},
    {"__builtin__", "object"}, {"__builtin__", "frozenset"}, {"__builtin__", "set"},
    {"copyreg", "_reconstructor"}, {"copy_reg", "_reconstructor"},
    {"_codecs", "encode"},
    {"datetime", "date"}, {"datetime", "datetime"}, {"datetime", "time"}, {"datetime", "timedelta"},
    {"datetime", "timezone"},
    {"zoneinfo", "ZoneInfo"}, {"pytz", "_p"}, {"pytz", "_UTC"}, {"dateutil.tz.tz", "tzutc"},
    {"dateutil.relativedelta", "relativedelta"},
    // numpy arrays and scalars
    {"numpy", "dtype"}, {"numpy", "ndarray"},
    {"numpy._core.multiarray", "_reconstruct"}, {"numpy._core.multiarray", "scalar"},
    {"numpy._core.numeric", "_frombuffer"},
    {"numpy.core.multiarray", "_reconstruct"}, {"numpy.core.multiarray", "scalar"},
    {"numpy.core.numeric", "_frombuffer"},
    // pyarrow-backed string arrays
    {"pyarrow.lib", "_restore_array"}, {"pyarrow.lib", "py_buffer"}, {"pyarrow.lib", "type_for_alias"},
    // pandas 3 names
    {"pandas", "DataFrame"}, {"pandas", "Series"}, {"pandas", "Index"}, {"pandas", "RangeIndex"},
    {"pandas", "DatetimeIndex"}, {"pandas", "TimedeltaIndex"}, {"pandas", "PeriodIndex"},
    {"pandas", "IntervalIndex"}, {"pandas", "CategoricalIndex"}, {"pandas", "MultiIndex"},
    {"pandas", "Categorical"}, {"pandas", "CategoricalDtype"}, {"pandas", "DatetimeTZDtype"},
    {"pandas", "PeriodDtype"}, {"pandas", "IntervalDtype"}, {"pandas", "StringDtype"},
    {"pandas", "BooleanDtype"}, {"pandas", "ArrowDtype"},
    {"pandas", "Int8Dtype"}, {"pandas", "Int16Dtype"}, {"pandas", "Int32Dtype"}, {"pandas", "Int64Dtype"},
    {"pandas", "UInt8Dtype"}, {"pandas", "UInt16Dtype"}, {"pandas", "UInt32Dtype"}, {"pandas", "UInt64Dtype"},
    {"pandas", "Float32Dtype"}, {"pandas", "Float64Dtype"},
    {"pandas", "NA"}, {"pandas", "NaT"}, {"pandas", "Timestamp"}, {"pandas", "Timedelta"},
    {"pandas", "Period"}, {"pandas", "Interval"},
    {"pandas.arrays", "BooleanArray"}, {"pandas.arrays", "DatetimeArray"}, {"pandas.arrays", "FloatingArray"},
    {"pandas.arrays", "IntegerArray"}, {"pandas.arrays", "IntervalArray"}, {"pandas.arrays", "PeriodArray"},
    {"pandas.arrays", "TimedeltaArray"}, {"pandas.arrays", "StringArray"}, {"pandas.arrays", "ArrowStringArray"},
    {"pandas.arrays", "ArrowExtensionArray"}, {"pandas.arrays", "NumpyExtensionArray"},
    // pandas 2.2 names
    {"pandas.core.frame", "DataFrame"}, {"pandas.core.series", "Series"},
    {"pandas.core.internals.managers", "BlockManager"}, {"pandas.core.internals.managers", "SingleBlockManager"},
    {"pandas.core.indexes.base", "Index"}, {"pandas.core.indexes.base", "_new_Index"},
    {"pandas.core.indexes.range", "RangeIndex"}, {"pandas.core.indexes.multi", "MultiIndex"},
    {"pandas.core.indexes.category", "CategoricalIndex"},
    {"pandas.core.indexes.datetimes", "DatetimeIndex"}, {"pandas.core.indexes.datetimes", "_new_DatetimeIndex"},
    {"pandas.core.indexes.timedeltas", "TimedeltaIndex"}, {"pandas.core.indexes.timedeltas", "_new_TimedeltaIndex"},
    {"pandas.core.indexes.period", "PeriodIndex"},
    {"pandas.core.indexes.interval", "IntervalIndex"}, {"pandas.core.indexes.interval", "_new_IntervalIndex"},
    {"pandas.core.arrays.boolean", "BooleanArray"}, {"pandas.core.arrays.boolean", "BooleanDtype"},
    {"pandas.core.arrays.categorical", "Categorical"}, {"pandas.core.arrays.datetimes", "DatetimeArray"},
    {"pandas.core.arrays.floating", "FloatingArray"}, {"pandas.core.arrays.floating", "Float32Dtype"},
    {"pandas.core.arrays.floating", "Float64Dtype"}, {"pandas.core.arrays.integer", "IntegerArray"},
    {"pandas.core.arrays.integer", "Int8Dtype"}, {"pandas.core.arrays.integer", "Int16Dtype"},
    {"pandas.core.arrays.integer", "Int32Dtype"}, {"pandas.core.arrays.integer", "Int64Dtype"},
    {"pandas.core.arrays.integer", "UInt8Dtype"}, {"pandas.core.arrays.integer", "UInt16Dtype"},
    {"pandas.core.arrays.integer", "UInt32Dtype"}, {"pandas.core.arrays.integer", "UInt64Dtype"},
    {"pandas.core.arrays.interval", "IntervalArray"}, {"pandas.core.arrays.period", "PeriodArray"},
    {"pandas.core.arrays.string_", "StringArray"}, {"pandas.core.arrays.string_", "StringDtype"},
    {"pandas.core.arrays.string_arrow", "ArrowStringArray"},
    {"pandas.core.arrays.timedeltas", "TimedeltaArray"},
    {"pandas.core.dtypes.dtypes", "CategoricalDtype"}, {"pandas.core.dtypes.dtypes", "DatetimeTZDtype"},
    {"pandas.core.dtypes.dtypes", "IntervalDtype"}, {"pandas.core.dtypes.dtypes", "PeriodDtype"},
    // pandas' compiled rebuilders, both versions
    {"pandas._libs.arrays", "__pyx_unpickle_NDArrayBacked"}, {"pandas._libs.internals", "_unpickle_block"},
    {"pandas._libs.interval", "__pyx_unpickle_IntervalMixin"}, {"pandas._libs.interval", "Interval"},
    {"pandas._libs.missing", "NA"}, {"pandas._libs.tslibs.nattype", "_nat_unpickle"},
    {"pandas._libs.tslibs.nattype", "__nat_unpickle"},
    {"pandas._libs.tslibs.timestamps", "_unpickle_timestamp"},
    {"pandas._libs.tslibs.timedeltas", "_timedelta_unpickle"}, {"pandas._libs.tslibs.period", "Period"},
    {"pandas._libs.tslibs.offsets", "Day"}, {"pandas._libs.tslibs.offsets", "Hour"},
    {"pandas._libs.tslibs.offsets", "Minute"}, {"pandas._libs.tslibs.offsets", "Second"},
    {"pandas._libs.tslibs.offsets", "Milli"}, {"pandas._libs.tslibs.offsets", "Micro"},
    {"pandas._libs.tslibs.offsets", "Nano"}, {"pandas._libs.tslibs.offsets", "Week"},
    {"pandas._libs.tslibs.offsets", "BusinessDay"}, {"pandas._libs.tslibs.offsets", "MonthBegin"},
    {"pandas._libs.tslibs.offsets", "MonthEnd"}, {"pandas._libs.tslibs.offsets", "BusinessMonthBegin"},
    {"pandas._libs.tslibs.offsets", "BusinessMonthEnd"}, {"pandas._libs.tslibs.offsets", "QuarterBegin"},
    {"pandas._libs.tslibs.offsets", "QuarterEnd"}, {"pandas._libs.tslibs.offsets", "YearBegin"},
    {"pandas._libs.tslibs.offsets", "YearEnd"},
};

// builtins.getattr is admitted only to reach these attributes of these admitted classes: pandas
// pickles a zone as getattr(ZoneInfo, "_unpickle"). A free getattr would walk from any admitted
// function through __globals__ to eval.
struct AdmittedAttribute {
    const char *module;
    const char *name;
    const char *attribute;
};
constexpr AdmittedAttribute admitted_attributes[] = {{"zoneinfo", "ZoneInfo", "_unpickle"}};

bool is_getattr(const std::string &module, const std::string &name) {
    return name == "getattr" && (module == "builtins" || module == "__builtin__");
}

bool is_admitted(const std::string &module, const std::string &name) {
    for (const GlobalName &admitted : admitted_globals) {
        if (module == admitted.module && name == admitted.name) {
            return true;
        }
    }
    return false;
}

[[noreturn]] void refuse(const py::str &what) {
    py::object error = global("pickle").attr("UnpicklingError");
    PyErr_SetObject(error.ptr(),
                    native::concat("refused to load ", what,
                                   ": server values may only rebuild pandas and numpy objects")
                        .ptr());
    throw py::error_already_set();
}

py::object restricted_getattr(py::object target, py::str attribute) {
    for (const AdmittedAttribute &admitted : admitted_attributes) {
        if (!attribute.equal(py::str(admitted.attribute))) {
            continue;
        }
        py::module_ module = py::module_::import(admitted.module);
        if (target.is(module.attr(admitted.name))) {
            return target.attr(attribute);
        }
    }
    refuse(native::concat("builtins.getattr(", py::repr(target), ", ", py::repr(attribute), ")"));
}

py::object find_admitted_class(py::object self, py::str module, py::str name) {
    std::string module_text = module.cast<std::string>();
    std::string name_text = name.cast<std::string>();
    py::str full_name = native::concat(module, ".", name);
    // A dotted name walks attributes from the global it starts at: never admitted.
    if (name_text.find('.') != std::string::npos) {
        refuse(native::concat("global ", py::repr(full_name)));
    }
    if (is_getattr(module_text, name_text)) {
        return py::cpp_function(&restricted_getattr, py::name("getattr"), py::arg("object"), py::arg("name"));
    }
    if (!is_admitted(module_text, name_text)) {
        refuse(native::concat("global ", py::repr(full_name)));
    }
    return global("pickle").attr("Unpickler").attr("find_class")(self, module, name);
}

// A subclass of the module's pickle.Unpickler whose find_class admits only the names above. Built
// per call from the module's current pickle, like every other global.
py::object restricted_unpickler_class() {
    py::dict namespace_;
    namespace_["__module__"] = py::str("corvane.CVClient");
    py::object bases = py::make_tuple(global("pickle").attr("Unpickler"));
    py::object cls = py::module_::import("builtins").attr("type")("RestrictedUnpickler", bases, namespace_);
    native::add_method(cls, "find_class", "", &find_admitted_class, py::arg("module"), py::arg("name"));
    return cls;
}

}  // namespace

py::object restricted_loads(const py::handle &data) {
    if (!PyObject_CheckBuffer(data.ptr())) {
        // The same complaint pickle.loads makes, so a missing key still reads as TypeError.
        PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.200s'", Py_TYPE(data.ptr())->tp_name);
        throw py::error_already_set();
    }
    py::object stream = py::module_::import("io").attr("BytesIO")(data);
    return restricted_unpickler_class()(stream).attr("load")();
}

}  // namespace corvane::client
