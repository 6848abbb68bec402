"""How the store module looks to the interpreter: names, class shape, import aliases."""

import inspect
import subprocess
import sys

import pandas as pd
import pytest

import corvane.FrameVault as FrameVault

STATIC = ["GSOI", "extract_year_month", "read_parquet", "update_unstack_df", "run_concurrently"]


def test_globals_are_bound_in_import_order():
    public = [name for name in vars(FrameVault) if not name.startswith("__")]
    assert public == ["os", "ThreadPoolExecutor", "as_completed", "pd", "tqdm", "re", "ParquetDataManager"]
    assert FrameVault.pd is pd


def test_class_is_an_ordinary_class(store_cls, store, root):
    assert type(store_cls) is type
    assert store_cls.__bases__ == (object,)
    assert store_cls.__module__ == "corvane.FrameVault"
    assert store.__dict__ == {"root_dir": root, "max_workers": 10}
    for name in STATIC:
        assert isinstance(store_cls.__dict__[name], staticmethod), name
    assert store_cls.__init__.__name__ == "__init__"

    class Custom(store_cls):
        def __init__(self, root_dir):
            super().__init__(root_dir, max_workers=3)

    assert Custom(root).max_workers == 3


@pytest.mark.parametrize(
    "method, doc",
    [
        ("__init__", "Initialize with the root directory to store all parquet files."),
        ("_get_unstack_file_path", "Generate the full file path for a parquet file based on category."),
        ("update_unstack_category", "\n        更新unstack数据\n        "),
    ],
)
def test_docstrings(store_cls, method, doc):
    # The fixed text first; what each parameter means follows it.
    assert getattr(store_cls, method).__doc__.startswith(doc)


def test_signatures_name_every_parameter_and_default(store_cls, store):
    assert str(inspect.signature(store_cls.__init__)) == "(self, root_dir, max_workers=10)"
    assert str(inspect.signature(store.read_pivot_category)) == (
        "(category, start_date=None, end_date=None, column_type='str')")
    assert str(inspect.signature(store_cls.run_concurrently)) == (
        "(tasks, worker_function, max_workers=5, task_desc='Processing tasks')")
    assert inspect.signature(store_cls.update_unstack_category).parameters["key_columns"].default == []
    assert store_cls.__init__.__qualname__ == "ParquetDataManager.__init__"


def test_parameters_pass_by_keyword_with_defaults(store_cls, tmp_path):
    store = store_cls(root_dir=str(tmp_path / "kw"), max_workers=4)
    assert store.max_workers == 4
    assert store._get_pivot_file_path(category="c", year=2024, month=1).endswith("/c/c_2024-01.parquet")
    assert store_cls.run_concurrently(tasks=[(2, 5)], worker_function=pow) == [32]


def test_methods_call_static_methods_through_the_module_global(store, monkeypatch, capsys):
    calls = []

    def recording_merge(original_df, new_data, key_columns):
        calls.append(key_columns)
        return pd.concat([original_df, new_data])

    class Override(FrameVault.ParquetDataManager):
        @staticmethod
        def update_unstack_df(original_df, new_data, key_columns):
            raise AssertionError("a subclass override must not be used")

    # Rebinding a static method on the module's class is seen; a subclass override is not.
    monkeypatch.setattr(FrameVault.ParquetDataManager, "update_unstack_df", staticmethod(recording_merge))
    sub = Override(store.root_dir)
    sub.update_unstack_category("t", pd.DataFrame({"k": [1]}), ["k"])
    sub.update_unstack_category("t", pd.DataFrame({"k": [2]}), ["k"])
    assert calls == [["k"]]


def test_globals_are_looked_up_at_call_time(store, monkeypatch):
    reads = []
    real = FrameVault.pd

    class RecordingPandas:
        def __getattr__(self, name):
            if name == "read_parquet":
                return lambda source: reads.append((source, source.tell())) or real.read_parquet(source)
            return getattr(real, name)

    store.update_unstack_category("t", pd.DataFrame({"k": [1]}))
    monkeypatch.setattr(FrameVault, "pd", RecordingPandas())
    store.read_unstack_category("t")
    # Read through one open file, so that a concurrent replace cannot mix two versions.
    assert [(type(source).__name__, position) for source, position in reads] == [("OSFile", 0)]


@pytest.mark.parametrize(
    "statements",
    [
        "import corvane.FrameVault as a; import FrameVault as b",
        "import FrameVault as b; import corvane.FrameVault as a",
        "import corvane, sys; a = corvane.FrameVault; b = sys.modules['FrameVault']",
    ],
)
def test_one_module_object_under_both_names(statements):
    code = statements + "; assert a is b, (a, b); assert a.__name__ == 'corvane.FrameVault'"
    subprocess.run([sys.executable, "-c", code], check=True, cwd="/")


def test_every_function_pickles_by_reference_and_reads_as_written(tmp_path):
    import multiprocessing
    import pickle
    import pydoc
    from concurrent.futures import ProcessPoolExecutor

    import corvane.CVClient as CVClient

    functions = [(FrameVault, "ParquetDataManager", name) for name in vars(FrameVault.ParquetDataManager)
                 if not name.startswith("__") or name == "__init__"]
    functions += [(CVClient, "CorvaneClient", name) for name in vars(CVClient.CorvaneClient)
                  if not name.startswith("__") or name == "__init__"]
    assert len(functions) >= 18 + 10
    for module, owner, name in functions:
        function = getattr(getattr(module, owner), name)
        assert (function.__qualname__, function.__module__) == (f"{owner}.{name}", module.__name__)
        assert pickle.loads(pickle.dumps(function)) is function, name
    assert pickle.loads(pickle.dumps(CVClient.timing_decorator)) is CVClient.timing_decorator
    for cls in (FrameVault.ParquetDataManager, CVClient.CorvaneClient):
        assert "pybind11" not in pydoc.render_doc(cls)

    paths = []
    for number in range(2):
        paths.append(str(tmp_path / f"{number}.parquet"))
        pd.DataFrame({"v": [number]}).to_parquet(paths[-1])
    with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("forkserver")) as pool:
        frames = list(pool.map(FrameVault.ParquetDataManager.read_parquet, paths))
    assert [frame["v"].tolist() for frame in frames] == [[0], [1]]
