"""Frames of every dtype and index kind a server may hold. Importable by a second interpreter with
another pandas, which pickles them for the loader tests (see test_loading.py)."""

import pickle
import sys

import numpy as np
import pandas as pd


def sample_frames():
    days = pd.date_range("2024-03-01", periods=3)
    frames = {
        "float": pd.DataFrame({"a": [1.5, np.nan, 3.0]}),
        "int": pd.DataFrame({"a": [1, 2**53 + 1, -3], "b": np.array([1, 2, 3], dtype="uint8")}),
        "bool": pd.DataFrame({"a": [True, False, True]}),
        "nullable": pd.DataFrame({"i": pd.array([1, None, 3], dtype="Int64"), "f": pd.array([1.5, None, 3], dtype="Float64"),
                                  "b": pd.array([True, None, False], dtype="boolean")}),
        "string": pd.DataFrame({"a": pd.array(["x", None, "z"], dtype="string")}),
        "str": pd.DataFrame({"a": ["x", "y", None]}),
        "object": pd.DataFrame({"a": pd.Series(["x", 1, pd.Timestamp("2024-01-01")], dtype=object)}),
        "categorical": pd.DataFrame({"a": pd.Categorical(["x", "y", "x"], ordered=True)}),
        "datetime": pd.DataFrame({"a": days, "b": pd.to_datetime(["2024-01-01", None, "2024-01-03"])}),
        "datetime_tz": pd.DataFrame({"a": days.tz_localize("Asia/Shanghai"), "b": days.tz_localize("UTC")}),
        "timedelta": pd.DataFrame({"a": pd.to_timedelta([1, 2, 3], unit="D")}),
        "period": pd.DataFrame({"a": pd.period_range("2024-01", periods=3, freq="M")}),
        "interval": pd.DataFrame({"a": pd.interval_range(0, 3)}),
        "range_index": pd.DataFrame({"a": [1.0, 2.0]}, index=pd.RangeIndex(2)),
        "datetime_index": pd.DataFrame({"a": [1.0, 2.0, 3.0]}, index=days),
        "datetime_columns": pd.DataFrame(np.ones((2, 3)), index=["r", "s"], columns=days),
        "tz_columns": pd.DataFrame(np.ones((2, 3)), columns=days.tz_localize("Asia/Shanghai")),
        "multi_index": pd.DataFrame({"a": [1, 2]}, index=pd.MultiIndex.from_tuples([("x", 1), ("y", 2)], names=["k", "n"])),
        "multi_columns": pd.DataFrame([[1, 2]], columns=pd.MultiIndex.from_tuples([("x", "2024-03-01"), ("y", "2024-03-02")])),
        "categorical_index": pd.DataFrame({"a": [1, 2]}, index=pd.CategoricalIndex(["x", "y"])),
        "period_index": pd.DataFrame({"a": [1, 2]}, index=pd.period_range("2024-01", periods=2, freq="M")),
        "interval_index": pd.DataFrame({"a": [1, 2]}, index=pd.interval_range(0, 2)),
        "timedelta_index": pd.DataFrame({"a": [1, 2]}, index=pd.to_timedelta([1, 2], unit="D")),
        "month": pd.DataFrame([[1.5, np.nan, 3.0], [4.0, 5.0, np.nan]], index=["000001.XSHE", "600000.XSHG"],
                              columns=["2024-03-01", "2024-03-04", "2024-03-05"]),
        "month_named": pd.DataFrame([[1.5, np.nan], [4.0, 5.0]],
                                    index=pd.Index(["000001.XSHE", "600000.XSHG"], name="order_book_id"),
                                    columns=pd.Index(["2024-03-01", "2024-03-04"], name="date")),
        "month_object_labels": pd.DataFrame([[1.5, np.nan]], index=pd.Index(["000001.XSHE"], dtype=object),
                                            columns=pd.Index(["2024-03-01", "2024-03-04"], dtype=object)),
        "object_labels": pd.DataFrame(np.arange(4).reshape(2, 2), index=pd.Index([3, 1], name="id"),
                                      columns=pd.Index(["x", "y"], dtype=object, name="field")),
        "empty": pd.DataFrame(),
    }
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return frames
    frames["string_pyarrow"] = pd.DataFrame({"a": pd.array(["x", None, "z"], dtype="string[pyarrow]")})
    return frames


if __name__ == "__main__":
    # name -> pickled bytes for each protocol, written to the file named by the first argument.
    pickled = {(name, protocol): pickle.dumps(frame, protocol=protocol)
               for name, frame in sample_frames().items() for protocol in (0, 2, 5)}
    with open(sys.argv[1], "wb") as out:
        pickle.dump(pickled, out)
