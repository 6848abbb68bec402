import functools
import inspect
import os
import re
import sys

import pytest

import corvane.CVClient as CVClient
import corvane.FrameVault as FrameVault

ACCOUNT, TOKEN = "analyst", "t0ken-42"  # as the server fixture expects


def test_module_binds_its_globals_in_order_and_is_one_object():
    names = [name for name in vars(CVClient) if not name.startswith("__")]
    assert names == ["os", "pickle", "time", "pd", "redis", "tqdm", "ParquetDataManager",
                     "timing_decorator", "CorvaneClient"]
    assert CVClient.ParquetDataManager is FrameVault.ParquetDataManager
    assert sys.modules["corvane.CVClient"] is CVClient


def test_client_is_a_plain_class_with_its_methods_in_order():
    cls = CVClient.CorvaneClient
    assert type(cls) is type and cls.__bases__ == (object,) and cls.__module__ == "corvane.CVClient"
    methods = [name for name in vars(cls) if not name.startswith("__") or name == "__init__"]
    assert methods == ["__init__", "get_auth_ping", "measure_latency", "get_host_info", "auth",
                       "load_df_from_cvdb", "UpdateUnstackParquet", "UpdatePivotParquet",
                       "GetUnstackCategory", "GetPivotCategory", "CorrectPivotParquet"]  # additions last
    assert [name for name in methods if isinstance(vars(cls)[name], staticmethod)] == [
        "get_auth_ping", "measure_latency"]


def test_signatures_and_annotations_as_a_script_sees_them(tmp_path):
    cls = CVClient.CorvaneClient
    assert str(inspect.signature(cls.__init__)) == "(self, account, api_token, save_path)"
    assert str(inspect.signature(cls.get_auth_ping)) == "(host, account, api_token)"
    assert str(inspect.signature(cls.GetPivotCategory)) == "(self, category, start_date, end_date)"
    assert str(inspect.signature(cls.UpdatePivotParquet)) == (
        "(self, category, start_date: 'str', end_date: 'str', strf='%Y-%m-%d')")
    assert cls.UpdatePivotParquet.__annotations__ == {"start_date": "str", "end_date": "str"}
    client = object.__new__(cls)
    assert str(inspect.signature(client.auth)) == "(account, api_token)"
    assert str(inspect.signature(CVClient.timing_decorator)) == "(func)"
    assert CVClient.timing_decorator.__doc__ is None
    assert str(inspect.signature(CVClient.timing_decorator(len))) == "(*args, **kwargs)"


class TestTimingDecorator:
    def test_wrapper_identity_and_closure(self):
        def load():
            return None

        wrapper = CVClient.timing_decorator(load)
        assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == (
            "wrapper", "timing_decorator.<locals>.wrapper", "corvane.CVClient")
        assert [cell.cell_contents for cell in wrapper.__closure__] == [load]
        assert wrapper.__doc__ is None

    def test_prints_elapsed_seconds_and_returns_the_result(self, clock, capsys):
        clock(100.0, 101.5)
        result = object()

        def load(*args, **kwargs):
            return result, args, kwargs

        assert CVClient.timing_decorator(load)(1, 2, key="v") == (result, (1, 2), {"key": "v"})
        assert capsys.readouterr().out == "load Running: 1.500 Seconds\n"

    def test_binds_self_when_decorating_a_method(self, capsys):
        class Job:
            @CVClient.timing_decorator
            def run(self, n):
                return self, n

        job = Job()
        assert job.run(5) == (job, 5)
        assert capsys.readouterr().out.startswith("run Running: ")

    def test_exception_passes_through_without_a_line(self, capsys):
        def fail():
            raise KeyError("boom")

        with pytest.raises(KeyError, match="boom"):
            CVClient.timing_decorator(fail)()
        assert capsys.readouterr().out == ""

    def test_callable_without_name_runs_then_fails(self, capsys):
        calls = []
        nameless = functools.partial(calls.append, "ran")
        with pytest.raises(AttributeError):
            CVClient.timing_decorator(nameless)()
        assert calls == ["ran"] and capsys.readouterr().out == ""


class TestConstruction:
    def test_lines_attributes_and_store(self, server, connect_to, tmp_path, capsys):
        connect_to(server)
        save_path = str(tmp_path)
        client = CVClient.CorvaneClient(ACCOUNT, TOKEN, save_path)
        lines = capsys.readouterr().out.splitlines()
        assert len(lines) == 3
        assert re.fullmatch(r"Corvane 上海-1 \| Ping: \d+(\.\d{1,2})?ms", lines[0])
        assert lines[1:] == [f"Auth Succeeded: {ACCOUNT}", f"Found Saving Dir: {save_path}"]
        assert list(vars(client)) == ["account", "api_token", "r", "keys", "r_category", "save_path", "CV_db"]
        assert (client.account, client.api_token, client.save_path) == (ACCOUNT, TOKEN, save_path)
        assert type(client.CV_db) is FrameVault.ParquetDataManager
        assert (client.CV_db.root_dir, client.CV_db.max_workers) == (save_path, 10)

    def test_missing_directory_is_created_with_its_parents(self, server, connect_to, tmp_path, capsys):
        connect_to(server)
        save_path = str(tmp_path / "a" / "b" / "store")
        CVClient.CorvaneClient(ACCOUNT, TOKEN, save_path)
        assert os.path.isdir(save_path)
        assert capsys.readouterr().out.splitlines()[-1] == f"Creating Saving Dir: {save_path}"

    def test_regular_file_counts_as_existing(self, server, connect_to, tmp_path, capsys):
        connect_to(server)
        save_path = tmp_path / "occupied"
        save_path.write_text("not a directory")
        client = CVClient.CorvaneClient(ACCOUNT, TOKEN, str(save_path))
        assert capsys.readouterr().out.splitlines()[-1] == f"Found Saving Dir: {save_path}"
        assert save_path.read_text() == "not a directory" and client.CV_db.root_dir == str(save_path)
