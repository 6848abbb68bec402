"""Loads the client's server values in a process of their own.

A pickle decides by its arguments what the callables it names do, so even a value built only from
pandas' own rebuilders can read or corrupt memory, exhaust it, or patch a class. The client therefore
never unpickles: it starts this module as a fresh interpreter (no credential, no connection, no store
state, a clean environment) and sends it one value at a time. Here each value is unpickled under a
memory and CPU limit with only pandas', numpy's and pyarrow's rebuilders admitted, and a DataFrame
goes back as an Arrow IPC stream, data that runs no code; the client validates it fully before use.

Protocol on stdin/stdout, little-endian: once ready, the worker writes b"R"; a request is the value's
length, the memory allowance in bytes and the CPU allowance in seconds (three u64), then the value; a
reply is one kind byte and a u64 length, then the IPC stream (kind OK) or a UTF-8 message. End of
input ends the process.
"""

import io
import itertools
import operator
import os
import pickle
import resource
import struct
import sys

OK, REFUSED, NOT_A_PICKLE, NOT_A_FRAME, NO_SAFE_FORMAT, OUT_OF_MEMORY, CHANGED_A_CLASS = range(7)
REQUEST = struct.Struct("<QQQ")
REPLY = struct.Struct("<BQ")

# Names as pandas 2.2 and 3.x, numpy 1.x and 2.x, and pyarrow write them in pickles of frames of
# every dtype and index kind (old protocols spell builtins and copyreg the Python 2 way; the base
# class maps those spellings).
ADMITTED = {
    # builtins and the standard library pieces of frames' pickles
    "builtins": {"bytearray", "slice", "complex", "object", "frozenset", "set", "range"},
    "__builtin__": {"bytearray", "slice", "complex", "object", "frozenset", "set"},
    "copyreg": {"_reconstructor"}, "copy_reg": {"_reconstructor"},
    "_codecs": {"encode"},
    "datetime": {"date", "datetime", "time", "timedelta", "timezone"},
    "zoneinfo": {"ZoneInfo"}, "pytz": {"_p", "_UTC"}, "dateutil.tz.tz": {"tzutc"},
    "dateutil.relativedelta": {"relativedelta"},
    # numpy arrays and scalars
    "numpy": {"dtype", "ndarray"},
    "numpy._core.multiarray": {"_reconstruct", "scalar"}, "numpy._core.numeric": {"_frombuffer"},
    "numpy.core.multiarray": {"_reconstruct", "scalar"}, "numpy.core.numeric": {"_frombuffer"},
    # pyarrow-backed string arrays
    "pyarrow.lib": {"_restore_array", "py_buffer", "type_for_alias"},
    # pandas 3 names
    "pandas": {
        "DataFrame", "Series", "Index", "RangeIndex", "DatetimeIndex", "TimedeltaIndex", "PeriodIndex",
        "IntervalIndex", "CategoricalIndex", "MultiIndex", "Categorical", "CategoricalDtype",
        "DatetimeTZDtype", "PeriodDtype", "IntervalDtype", "StringDtype", "BooleanDtype", "ArrowDtype",
        "Int8Dtype", "Int16Dtype", "Int32Dtype", "Int64Dtype", "UInt8Dtype", "UInt16Dtype", "UInt32Dtype",
        "UInt64Dtype", "Float32Dtype", "Float64Dtype", "NA", "NaT", "Timestamp", "Timedelta", "Period",
        "Interval",
    },
    "pandas.arrays": {
        "BooleanArray", "DatetimeArray", "FloatingArray", "IntegerArray", "IntervalArray", "PeriodArray",
        "TimedeltaArray", "StringArray", "ArrowStringArray", "ArrowExtensionArray", "NumpyExtensionArray",
    },
    # pandas 2.2 names
    "pandas.core.frame": {"DataFrame"}, "pandas.core.series": {"Series"},
    "pandas.core.internals.managers": {"BlockManager", "SingleBlockManager"},
    "pandas.core.indexes.base": {"Index", "_new_Index"},
    "pandas.core.indexes.range": {"RangeIndex"}, "pandas.core.indexes.multi": {"MultiIndex"},
    "pandas.core.indexes.category": {"CategoricalIndex"},
    "pandas.core.indexes.datetimes": {"DatetimeIndex", "_new_DatetimeIndex"},
    "pandas.core.indexes.timedeltas": {"TimedeltaIndex", "_new_TimedeltaIndex"},
    "pandas.core.indexes.period": {"PeriodIndex"},
    "pandas.core.indexes.interval": {"IntervalIndex", "_new_IntervalIndex"},
    "pandas.core.arrays.boolean": {"BooleanArray", "BooleanDtype"},
    "pandas.core.arrays.categorical": {"Categorical"}, "pandas.core.arrays.datetimes": {"DatetimeArray"},
    "pandas.core.arrays.floating": {"FloatingArray", "Float32Dtype", "Float64Dtype"},
    "pandas.core.arrays.integer": {
        "IntegerArray", "Int8Dtype", "Int16Dtype", "Int32Dtype", "Int64Dtype", "UInt8Dtype", "UInt16Dtype",
        "UInt32Dtype", "UInt64Dtype",
    },
    "pandas.core.arrays.interval": {"IntervalArray"}, "pandas.core.arrays.period": {"PeriodArray"},
    "pandas.core.arrays.string_": {"StringArray", "StringDtype"},
    "pandas.core.arrays.string_arrow": {"ArrowStringArray"},
    "pandas.core.arrays.timedeltas": {"TimedeltaArray"},
    "pandas.core.dtypes.dtypes": {"CategoricalDtype", "DatetimeTZDtype", "IntervalDtype", "PeriodDtype"},
    # pandas' compiled rebuilders, both versions
    "pandas._libs.arrays": {"__pyx_unpickle_NDArrayBacked"}, "pandas._libs.internals": {"_unpickle_block"},
    "pandas._libs.interval": {"__pyx_unpickle_IntervalMixin", "Interval"},
    "pandas._libs.missing": {"NA"},
    "pandas._libs.tslibs.nattype": {"_nat_unpickle", "__nat_unpickle"},
    "pandas._libs.tslibs.timestamps": {"_unpickle_timestamp"},
    "pandas._libs.tslibs.timedeltas": {"_timedelta_unpickle"}, "pandas._libs.tslibs.period": {"Period"},
    "pandas._libs.tslibs.offsets": {
        "Day", "Hour", "Minute", "Second", "Milli", "Micro", "Nano", "Week", "BusinessDay", "MonthBegin",
        "MonthEnd", "BusinessMonthBegin", "BusinessMonthEnd", "QuarterBegin", "QuarterEnd", "YearBegin",
        "YearEnd",
    },
}


class Refused(pickle.UnpicklingError):
    pass


def refuse(what):
    raise Refused(f"refused to load {what}: server values may only rebuild pandas and numpy objects")


def restricted_getattr(target, attribute):
    # pandas pickles a zone as getattr(ZoneInfo, "_unpickle"); a free getattr would walk from any
    # admitted function through __globals__ to eval.
    import zoneinfo

    if attribute == "_unpickle" and target is zoneinfo.ZoneInfo:
        return target._unpickle
    refuse(f"builtins.getattr({target!r}, {attribute!r})")


def validated(restore_array):
    """pyarrow's rebuilder of arrays trusts the lengths it is given: an array longer than its buffers
    would read this process's memory. Each array is checked in full before anything can use it."""

    def restore_validated_array(state):
        array = restore_array(state)
        try:
            array.validate(full=True)
        except Exception as error:
            raise Refused(f"refused to load an Arrow array that its buffers do not hold ({error})") from None
        return array

    return restore_validated_array


class RestrictedUnpickler(pickle.Unpickler):
    def __init__(self, file):
        super().__init__(file)
        self.found = []  # the globals this value reached, which are all a BUILD could change

    def find_class(self, module, name):
        if "." in name:  # a dotted name walks attributes from the global it starts at
            refuse(f"global '{module}.{name}'")
        if name == "getattr" and module in ("builtins", "__builtin__"):
            return restricted_getattr
        if name not in ADMITTED.get(module, ()):
            refuse(f"global '{module}.{name}'")
        found = super().find_class(module, name)
        self.found.append(found)
        return validated(found) if (module, name) == ("pyarrow.lib", "_restore_array") else found


# --- what a value may not change -----------------------------------------------------------------


def admitted_globals():
    found = []
    for module, names in ADMITTED.items():
        for name in names:
            try:
                found.append(pickle.Unpickler.find_class(RestrictedUnpickler(io.BytesIO()), module, name))
            except (ImportError, AttributeError):
                pass  # a name of the other pandas or numpy version
    return found


def state_of(target):
    """What BUILD could reach on an admitted global: a class's namespace (its names and values, one
    flat tuple), a function's defaults."""
    namespace = getattr(target, "__dict__", None)
    # A BUILD fills a function's __dict__ in place, so its entries count, not the dictionary.
    entries = tuple(itertools.chain.from_iterable(namespace.items())) if namespace is not None else ()
    if isinstance(target, type):
        return entries
    return tuple(getattr(target, name, None) for name in ("__defaults__", "__kwdefaults__", "__code__")) + entries


def changed_global(found, baseline):
    """The first admitted global whose state differs from the worker's start, or None. Compared by
    identity: an attribute set to an equal object is still a change, and == could run its code."""
    for target in {id(target): target for target in found}.values():
        now, then = state_of(target), baseline.get(id(target))
        if then is None or len(now) != len(then) or not all(map(operator.is_, now, then)):
            return target
    return None


# --- frames as Arrow ------------------------------------------------------------------------------


def union_of_scalars(values, pa, pd):
    """A mixed object column (text beside numbers or dates) as a dense union; None when a cell is of a
    kind no Arrow type carries faithfully."""
    import datetime
    import numbers

    kinds = [("null", pa.null(), lambda v: v is None),
             ("bool", pa.bool_(), lambda v: isinstance(v, bool)),
             ("int", pa.int64(), lambda v: isinstance(v, numbers.Integral)),
             ("float", pa.float64(), lambda v: isinstance(v, float)),
             ("str", pa.large_string(), lambda v: isinstance(v, str)),
             ("bytes", pa.large_binary(), lambda v: isinstance(v, bytes)),
             ("timestamp", pa.timestamp("ns"), lambda v: isinstance(v, pd.Timestamp) and v.tz is None),
             ("timedelta", pa.duration("ns"), lambda v: isinstance(v, pd.Timedelta)),
             ("date", pa.date32(), lambda v: type(v) is datetime.date)]
    children = [[] for _ in kinds]
    codes, offsets = [], []
    for value in values:
        for code, (_, _, matches) in enumerate(kinds):
            if matches(value):
                break
        else:
            return None
        codes.append(code)
        offsets.append(len(children[code]))
        children[code].append(None if code == 0 else (int(value) if code == 2 else value))
    arrays = [pa.array(cells, type=kind) if code else pa.nulls(len(cells))
              for code, (cells, (_, kind, _)) in enumerate(zip(children, kinds))]
    return pa.UnionArray.from_dense(pa.array(codes, pa.int8()), pa.array(offsets, pa.int32()), arrays,
                                    [name for name, _, _ in kinds])


# frame kind -> (schema of a one-cell frame of that kind, its pandas metadata)
ARROW_TEMPLATES: dict[tuple[str, str, object, str, object], tuple[object, dict[str, object]]] = {}


def numeric_block_as_arrow(frame, pa, pd):
    """The common frame (one numpy number dtype, unique text column labels, a plain index of text or
    integers) without pyarrow's conversion, whose fixed cost is many times that of the data: the
    schema and pandas metadata of a one-cell frame of the same kind, with one column per label. None
    when the frame is not of that kind."""
    import json

    import numpy as np

    index, columns, dtypes = frame.index, frame.columns, frame.dtypes
    if (frame.shape[1] == 0 or type(columns) is not pd.Index or type(index) is not pd.Index
            or len(set(dtypes)) != 1 or dtypes.iloc[0].kind not in "biuf"
            or index.dtype.kind not in "iuOT" or not (index.name is None or type(index.name) is str)
            or not (columns.name is None or type(columns.name) is str)
            or pd.api.types.infer_dtype(columns, skipna=False) != "string" or not columns.is_unique):
        return None
    kind = (str(dtypes.iloc[0]), str(index.dtype), index.name, str(columns.dtype), columns.name)
    if kind not in ARROW_TEMPLATES:
        sample = pa.Table.from_pandas(frame.iloc[:1, :1], nthreads=1).schema
        ARROW_TEMPLATES[kind] = (sample, json.loads(sample.metadata[b"pandas"]))
    sample, metadata = ARROW_TEMPLATES[kind]
    if len(sample) != 2 or metadata["index_columns"] != [sample.field(1).name]:
        return None
    entries = [dict(metadata["columns"][0], name=label, field_name=label) for label in columns]
    metadata = dict(metadata, columns=entries + metadata["columns"][1:])
    # The cells as one run per column (a copy only where the frame's block is not laid out so), each
    # column a slice of one Arrow array over them.
    rows = len(index)
    cells = pa.array(np.ascontiguousarray(frame.to_numpy().T).reshape(-1), type=sample.field(0).type)
    arrays = [cells.slice(position * rows, rows) for position in range(len(columns))]
    arrays.append(pa.array(index, type=sample.field(1).type, from_pandas=True))
    fields = [pa.field(label, sample.field(0).type) for label in columns] + [sample.field(1)]
    schema = pa.schema(fields, metadata={**sample.metadata, b"pandas": json.dumps(metadata).encode()})
    return pa.Table.from_arrays(arrays, schema=schema)


# --- text containers ------------------------------------------------------------------------------
# pandas 3 reads text back from Arrow as its str dtype, pandas 2.2 as python-backed strings; a frame
# may hold text as object labels and levels, object categories or strings of the other backing. The
# worker names them, and the client (which imports this module for restore_text alone) puts them back.


STRING_KINDS = ("string[python]", "string[pyarrow]")


def text_kind(dtype, pd):
    if isinstance(dtype, pd.CategoricalDtype):
        return "object categories" if dtype.categories.dtype == object else None
    if isinstance(dtype, pd.StringDtype):
        # pandas' own name of strings missing as NA, which either pandas may read back otherwise
        kind = f"string[{dtype.storage}]"
        return kind if dtype.na_value is pd.NA and kind in STRING_KINDS else None
    return "object" if dtype == object else None


def text_containers(frame, pd):
    def levels(labels):
        if isinstance(labels, pd.MultiIndex):
            return [text_kind(level.dtype, pd) for level in labels.levels]
        return [text_kind(labels.dtype, pd)]

    columns = [text_kind(dtype, pd) for dtype in frame.dtypes]
    return {"columns": [kind if kind != "object" else None for kind in columns],
            "index": levels(frame.index), "column labels": levels(frame.columns)}


def as_text_kind(values, kind, pd):
    if kind in STRING_KINDS:
        return values.astype(kind)
    if kind == "object categories":
        return pd.Categorical.from_codes(values.codes, categories=values.categories.astype(object),
                                         ordered=values.ordered)
    return values.astype(object)


def labels_as_text_kind(labels, kind, pd):
    if kind is None:
        return labels
    if kind == "object categories":
        return pd.CategoricalIndex(as_text_kind(labels.array, kind, pd), name=labels.name)
    return labels.astype(kind if kind in STRING_KINDS else object)


def restore_text(frame, containers):
    """Puts back the text containers text_containers named (in the client, on a validated frame)."""
    import pandas as pd

    for position, kind in enumerate(containers.get("columns", [])):
        if kind is not None and position < frame.shape[1]:
            frame.isetitem(position, as_text_kind(frame.iloc[:, position].array, kind, pd))
    for axis, key in (("index", "index"), ("columns", "column labels")):
        kinds, labels = containers.get(key, []), getattr(frame, axis)
        if not any(kinds):
            continue
        if isinstance(labels, pd.MultiIndex) and len(kinds) == labels.nlevels:
            levels = [labels_as_text_kind(level, kind, pd) for level, kind in zip(labels.levels, kinds)]
            labels = labels.set_levels(levels)
        elif len(kinds) == 1:
            labels = labels_as_text_kind(labels, kinds[0], pd)
        setattr(frame, axis, labels)


END_OF_STREAM = b"\xff\xff\xff\xff\x00\x00\x00\x00"


def frame_as_ipc(frame):
    """The frame as the buffers of an Arrow IPC stream with pandas' metadata; ValueError naming what
    cannot go."""
    import json

    import pandas as pd
    import pyarrow as pa  # type: ignore[import-untyped]

    try:
        table = numeric_block_as_arrow(frame, pa, pd)
    except MemoryError:
        raise
    except (pa.ArrowException, TypeError, ValueError) as error:
        raise ValueError(f"no safe format carries it ({type(error).__name__}: {error})") from None
    mixed = {}
    if table is None:
        table, mixed = other_frame_as_arrow(frame, pa, pd)
    # Arrow keeps no frequency of date and duration labels; the client puts it back.
    frequencies = {axis: labels.freqstr if isinstance(labels, (pd.DatetimeIndex, pd.TimedeltaIndex)) else None
                   for axis, labels in (("index", frame.index), ("columns", frame.columns))}
    metadata = dict(table.schema.metadata or {})
    metadata[b"corvane"] = json.dumps({"mixed": sorted(mixed), "freq": frequencies,
                                       "text": text_containers(frame, pd)}).encode()
    table = table.replace_schema_metadata(metadata)
    # An array rebuilt over a buffer too small for it would hand over this process's memory.
    table.validate(full=True)
    if not any(pa.types.is_dictionary(field.type) for field in table.schema):
        # The stream's messages as they are, without copying them into one buffer first.
        return [table.schema.serialize(), *(batch.serialize() for batch in table.to_batches()), END_OF_STREAM]
    sink = pa.BufferOutputStream()
    with pa.ipc.new_stream(sink, table.schema) as writer:
        writer.write_table(table)
    return [sink.getvalue()]


def other_frame_as_arrow(frame, pa, pd):
    """Any other frame through pyarrow's conversion, mixed object columns as unions: (table, {position:
    union})."""
    carried = frame
    mixed = {}
    for position in [p for p, dtype in enumerate(frame.dtypes) if dtype == object]:
        column = frame.iloc[:, position]
        if pd.api.types.infer_dtype(column, skipna=False) in ("mixed", "mixed-integer", "mixed-integer-float"):
            if carried is frame:
                carried = frame.copy(deep=False)
            union = union_of_scalars(column.tolist(), pa, pd)
            if union is None:
                raise ValueError(f"column {carried.columns[position]!r} holds values of a kind no safe format carries")
            mixed[position] = union
            carried.isetitem(position, pd.Series([None] * len(carried), dtype=object, index=carried.index))
    try:
        table = pa.Table.from_pandas(carried, nthreads=1)
    except MemoryError:
        raise
    except (pa.ArrowException, TypeError, ValueError) as error:
        raise ValueError(f"no safe format carries it ({type(error).__name__}: {error})") from None
    for position, union in mixed.items():
        table = table.set_column(position, table.field(position).name, union)
    return table, mixed


# --- limits ---------------------------------------------------------------------------------------


def address_space_in_use():
    with open("/proc/self/statm", "rb") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


def limit(memory, cpu_seconds):
    """At most `memory` more bytes of address space and `cpu_seconds` more CPU time for this value; a
    CPU overrun kills the process even when nobody waits for it any more."""
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    wanted = address_space_in_use() + memory
    resource.setrlimit(resource.RLIMIT_AS, (wanted if hard == resource.RLIM_INFINITY else min(wanted, hard), hard))
    usage = resource.getrusage(resource.RUSAGE_SELF)
    _, cpu_hard = resource.getrlimit(resource.RLIMIT_CPU)
    resource.setrlimit(resource.RLIMIT_CPU, (int(usage.ru_utime + usage.ru_stime) + cpu_seconds + 1, cpu_hard))


def unlimit():
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))


def load(value, memory, cpu_seconds, baseline):
    import pandas as pd

    limit(memory, cpu_seconds)
    try:
        unpickler = RestrictedUnpickler(io.BytesIO(value))
        try:
            loaded = unpickler.load()
        except Refused as error:
            return REFUSED, str(error)
        except MemoryError:
            return OUT_OF_MEMORY, "the value needs more memory than its limit"
        except RecursionError:
            return NOT_A_PICKLE, "the value is nested too deeply"
        except Exception as error:
            return NOT_A_PICKLE, f"{type(error).__name__}: {error}"
        changed = changed_global(unpickler.found, baseline)
        if changed is not None:
            return CHANGED_A_CLASS, f"the value changes {getattr(changed, '__qualname__', changed)!r} while loading"
        if not isinstance(loaded, pd.DataFrame):
            return NOT_A_FRAME, type(loaded).__name__
        try:
            return OK, frame_as_ipc(loaded)
        except MemoryError:
            return OUT_OF_MEMORY, "the value needs more memory than its limit"
        except (ValueError, RecursionError) as error:
            return NO_SAFE_FORMAT, str(error)
    finally:
        unlimit()


# --- the loop -------------------------------------------------------------------------------------


def read_exact(size):
    """`size` bytes from stdin, read straight into one buffer (a value is about a MiB)."""
    data = bytearray(size)
    view, got = memoryview(data), 0
    while got < size:
        count = os.readv(0, [view[got:]])
        if not count:
            return None
        got += count
    return data


def write_all(*parts):
    views = [memoryview(part).cast("B") for part in parts]
    while views:
        written = os.writev(1, views)
        while views and written >= len(views[0]):
            written -= len(views.pop(0))
        if views:
            views[0] = views[0][written:]


def serve():
    import warnings

    warnings.simplefilter("ignore")  # nobody reads this process's stderr; replies carry the errors
    import pandas  # noqa: F401  (before the first value, so every value finds it loaded)
    import pyarrow  # type: ignore[import-untyped]

    pyarrow.set_cpu_count(1)
    baseline = {id(target): state_of(target) for target in admitted_globals()}
    write_all(b"R")  # ready: the client's time limit for a value starts now
    while True:
        header = read_exact(REQUEST.size)
        if header is None:
            return
        size, memory, cpu_seconds = REQUEST.unpack(header)
        value = read_exact(size)
        if value is None:
            return
        kind, payload = load(value, memory, cpu_seconds, baseline)
        del value
        parts = [payload.encode("utf-8", "replace")] if isinstance(payload, str) else payload
        write_all(REPLY.pack(kind, sum(len(memoryview(part).cast("B")) for part in parts)), *parts)
        del parts, payload
        if kind == CHANGED_A_CLASS:
            return  # this interpreter is no longer the one it was; the client starts another


if __name__ == "__main__":
    # The client hands over its import path: this interpreter runs isolated, without site or environment.
    sys.path[:] = sys.argv[1:]
    serve()
