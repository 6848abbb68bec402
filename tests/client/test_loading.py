import os
import pickle
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from sample_frames import sample_frames

FRAMES = sample_frames()


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_round_trip_of_a_stored_frame(server, make_client, month_frame, protocol):
    frame = month_frame(2024, 3)
    server.seed({"cv1-daily-202403": pickle.dumps(frame, protocol=protocol)})
    loaded = make_client().load_df_from_cvdb("cv1-daily-202403")
    pd.testing.assert_frame_equal(loaded, frame)


def test_frames_of_every_dtype_and_index_kind_load_as_pickle_loads_them(server, make_client):
    values = {f"cv1-{name}-{protocol}": pickle.dumps(frame, protocol=protocol)
              for name, frame in FRAMES.items() for protocol in (0, 2, 5)}
    server.seed(values)
    client = make_client()
    for key, value in values.items():
        pd.testing.assert_frame_equal(client.load_df_from_cvdb(key), pickle.loads(value), obj=key)


def older_pandas_pickles(tmp_path):
    """Pickles made by another interpreter whose pandas is older, named by CORVANE_OLD_PANDAS_PYTHON."""
    python = os.environ.get("CORVANE_OLD_PANDAS_PYTHON", "")
    if not python or not os.path.exists(python):
        pytest.skip("CORVANE_OLD_PANDAS_PYTHON names no interpreter with an older pandas")
    out = tmp_path / "pickles"
    subprocess.run([python, str(Path(__file__).with_name("sample_frames.py")), str(out)], check=True)
    with open(out, "rb") as pickled:
        return pickle.load(pickled)


def test_frames_pickled_by_an_older_pandas_load(server, make_client, tmp_path):
    values = older_pandas_pickles(tmp_path)
    server.seed({f"cv1-{name}-{protocol}": value for (name, protocol), value in values.items()})
    client = make_client()
    loaded = 0
    for (name, protocol), value in values.items():
        try:
            expected = pickle.loads(value)
        except ImportError:  # a zone library that only the older pandas brings
            continue
        pd.testing.assert_frame_equal(client.load_df_from_cvdb(f"cv1-{name}-{protocol}"), expected)
        loaded += 1
    assert loaded >= len(values) - 6


class Call:
    """Pickles as a call of func(*args): what a hostile value looks like."""

    def __init__(self, func, *args):
        self.func, self.args = func, args

    def __reduce__(self):
        return self.func, self.args


def text(value):
    return b"V" + value.encode("raw_unicode_escape") + b"\n"


def call(func, *args):
    return func + b"(" + b"".join(args) + b"tR"


GETATTR = b"cbuiltins\ngetattr\n"


def getattr_chain_to_eval(marker):
    # getattr(getattr(DataFrame.__init__, "__globals__").get("__builtins__"), ...)["eval"](code)
    init = call(GETATTR, b"cpandas\nDataFrame\n", text("__init__"))
    namespace = call(GETATTR, init, text("__globals__"))
    builtins_ = call(call(GETATTR, namespace, text("get")), text("__builtins__"))
    evaluate = call(call(GETATTR, builtins_, text("__getitem__")), text("eval"))
    return call(evaluate, text(f"open({str(marker)!r}, 'w').close()")) + b"."


def getattr_past_the_zone_loader(marker):
    # The one admitted attribute, then on from it.
    loader = call(GETATTR, b"czoneinfo\nZoneInfo\n", text("_unpickle"))
    return call(GETATTR, loader, text("__self__")) + b"."


def dotted_name(marker):
    module, name = b"pandas", b"DataFrame.__init__.__globals__"
    return b"\x80\x04\x8c" + bytes([len(module)]) + module + b"\x8c" + bytes([len(name)]) + name + b"\x93."


def pickle_file_that_writes(marker, tmp_path):
    path = tmp_path / "evil.pkl"
    path.write_bytes(pickle.dumps(Call(os.system, f"touch {marker}")))
    return path


def npy_file_that_writes(marker, tmp_path):
    path = tmp_path / "evil.npy"
    np.save(path, np.array([Call(os.system, f"touch {marker}")], dtype=object), allow_pickle=True)
    return path


def opens(marker):
    return f"open({str(marker)!r}, 'w').close()"


# name: (payload builder, text the refusal names, whether plain pickle.loads runs it)
PAYLOADS = {
    "os.system": (lambda marker, tmp: pickle.dumps(Call(os.system, f"touch {marker}")), "system", True),
    "eval": (lambda marker, tmp: pickle.dumps(Call(eval, opens(marker))), "builtins.eval", True),
    "builtins.exec": (lambda marker, tmp: pickle.dumps(Call(exec, opens(marker))), "builtins.exec", True),
    "pandas.read_pickle": (
        lambda marker, tmp: pickle.dumps(Call(pd.read_pickle, str(pickle_file_that_writes(marker, tmp)))),
        "read_pickle", True),
    "numpy.load": (
        lambda marker, tmp: pickle.dumps(Call(np.load, str(npy_file_that_writes(marker, tmp)), None, True)),
        "numpy.load", True),
    "subprocess": (lambda marker, tmp: pickle.dumps(Call(subprocess.run, ["touch", str(marker)])), "subprocess.run", True),
    "getattr chain to eval": (lambda marker, tmp: getattr_chain_to_eval(marker), "__init__", True),
    "getattr past the zone loader": (lambda marker, tmp: getattr_past_the_zone_loader(marker), "__self__", False),
    "dotted name": (lambda marker, tmp: dotted_name(marker), "DataFrame.__init__.__globals__", False),
}


@pytest.mark.parametrize("payload, refused, live", PAYLOADS.values(), ids=PAYLOADS.keys())
def test_hostile_values_are_refused_and_run_nothing(server, make_client, tmp_path, payload, refused, live):
    if live:  # the payload is real: plain pickle runs it
        ran = tmp_path / "ran-under-plain-pickle"
        try:
            pickle.loads(payload(ran, tmp_path))
        except Exception:
            pass
        assert ran.exists()
    marker = tmp_path / "ran"
    server.seed({"cv1-evil": payload(marker, tmp_path)})
    client = make_client()
    with pytest.raises(pickle.UnpicklingError, match=re.escape(refused)):
        client.load_df_from_cvdb("cv1-evil")
    assert not marker.exists()


def test_the_module_keeps_its_pickle_global():
    import corvane.CVClient as CVClient

    assert CVClient.pickle is pickle


def test_missing_key_raises_type_error_silently(server, make_client, capsys):
    client = make_client()
    with pytest.raises(TypeError):
        client.load_df_from_cvdb("cv1-nothing")
    assert capsys.readouterr().out == ""


def test_key_is_used_verbatim(server, make_client, instruments_frame):
    server.seed({"cv1-instruments": instruments_frame()})
    client = make_client()
    with pytest.raises(TypeError):
        client.load_df_from_cvdb("cv1-instruments  ")


@pytest.mark.parametrize("value, timeout, error, message", [
    (None, None, TypeError, "a bytes-like object is required, not 'NoneType': key 'cv1-x' is not on the server"),
    (pickle.dumps([1.0]), None, TypeError, "cv1-x holds a list, not a pandas DataFrame"),
    (pickle.dumps(pd.DataFrame()), "soon", ValueError,
     "CORVANE_VALUE_TIMEOUT must be a number of seconds > 0, not 'soon'"),
    (pickle.dumps(pd.DataFrame()), "0", ValueError, "CORVANE_VALUE_TIMEOUT must be a number of seconds > 0, not '0'"),
], ids=["missing key", "not a frame", "timeout not a number", "timeout zero"])
def test_refused_values_raise_their_exact_error(server, make_client, monkeypatch, value, timeout, error, message):
    if value is not None:
        server.seed({"cv1-x": value})
    if timeout is not None:
        monkeypatch.setenv("CORVANE_VALUE_TIMEOUT", timeout)
    with pytest.raises(error) as raised:
        make_client().load_df_from_cvdb("cv1-x")
    assert type(raised.value) is error and str(raised.value) == message
