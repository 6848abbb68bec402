"""help() at hand: every public method says what each parameter means and what it returns, the
fixed texts lead, the stubs carry the same docstrings, and repr shows the store's root."""

import ast
import inspect
import pydoc
import re
from pathlib import Path

import pytest

import corvane
import corvane.CVClient as CVClient
import corvane.FrameVault as FrameVault

STUBS = Path(corvane.__file__).resolve().parent
CLASSES = {"FrameVault.pyi": FrameVault.ParquetDataManager, "CVClient.pyi": CVClient.CorvaneClient}


def public_methods(cls):
    return [name for name, value in vars(cls).items()
            if callable(getattr(cls, name)) and (not name.startswith("_") or name in ("__init__", "__repr__"))]


METHODS = [(cls, name) for cls in CLASSES.values() for name in public_methods(cls)]


@pytest.mark.parametrize("cls, name", METHODS, ids=[f"{cls.__name__}.{name}" for cls, name in METHODS])
def test_every_public_method_names_its_parameters_and_result(cls, name):
    method = getattr(cls, name)
    doc = inspect.getdoc(method)
    assert doc, f"{name} has no docstring"
    parameters = [p for p in inspect.signature(method).parameters if p != "self"]
    for parameter in parameters:
        assert re.search(rf"^(- )?{re.escape(parameter)}:", doc, re.MULTILINE), f"{name} does not describe {parameter}"
    assert re.search(r"^Returns\b", doc, re.MULTILINE), f"{name} does not say what it returns"


@pytest.mark.parametrize("cls", CLASSES.values(), ids=lambda cls: cls.__name__)
def test_classes_carry_a_docstring_help_shows(cls):
    doc = inspect.getdoc(cls)
    assert doc is not None and "CORVANE_QUIET" in doc
    assert doc.splitlines()[0] in pydoc.render_doc(cls, renderer=pydoc.plaintext)


@pytest.mark.parametrize("method, own", [
    ("__init__", "Initialize with the root directory to store all parquet files."),
    ("read_pivot_category", "Read all dataframes from a specific category."),
    ("update_pivot_category", "\n        多线程更新pivot类型的数据\n        "),
    ("update_unstack_category", "\n        更新unstack数据\n        "),
    ("_get_unstack_file_path", "Generate the full file path for a parquet file based on category."),
])
def test_fixed_texts_lead_with_the_details_after_them(method, own):
    doc = getattr(FrameVault.ParquetDataManager, method).__doc__
    assert doc.startswith(own)
    # The fixed text stays a paragraph of its own in help().
    cleaned = inspect.cleandoc(doc)
    first = inspect.cleandoc(own)
    assert cleaned == first or cleaned.startswith(first + "\n\n")


def stub_docstrings(stub_name):
    tree = ast.parse((STUBS / stub_name).read_text(encoding="utf-8"))
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    methods = {node.name: ast.get_docstring(node, clean=True)
               for node in cls.body if isinstance(node, ast.FunctionDef)}
    return ast.get_docstring(cls, clean=True), methods


@pytest.mark.parametrize("stub_name", CLASSES, ids=str)
def test_stubs_carry_the_runtime_docstrings(stub_name):
    cls = CLASSES[stub_name]
    class_doc, methods = stub_docstrings(stub_name)
    assert class_doc == inspect.cleandoc(cls.__doc__)
    for name in public_methods(cls):
        assert methods.get(name) == inspect.cleandoc(getattr(cls, name).__doc__), name
    documented_privates = {name: doc for name, doc in methods.items() if doc and name not in public_methods(cls)}
    for name, doc in documented_privates.items():
        assert doc == inspect.cleandoc(getattr(cls, name).__doc__), name


def test_signatures_survive_the_docstrings(store):
    # A docstring is never read as the signature: parameters and defaults stay those of the method.
    assert str(inspect.signature(store.read_pivot_category)) == (
        "(category, start_date=None, end_date=None, column_type='str')")
    assert str(inspect.signature(FrameVault.ParquetDataManager.update_pivot_parquet)) == (
        "(file_path, sub_df, date_format='%Y-%m-%d')")
    assert str(inspect.signature(CVClient.CorvaneClient.UpdatePivotParquet)) == (
        "(self, category, start_date: 'str', end_date: 'str', strf='%Y-%m-%d')")


def test_repr_shows_the_root(tmp_path):
    root = str(tmp_path / "data")
    store = FrameVault.ParquetDataManager(root, max_workers=3)
    assert repr(store) == f"ParquetDataManager(root_dir={root!r}, max_workers=3)"

    class Daily(FrameVault.ParquetDataManager):
        pass

    assert repr(Daily(root)) == f"Daily(root_dir={root!r}, max_workers=10)"
    half_built = FrameVault.ParquetDataManager.__new__(FrameVault.ParquetDataManager)
    assert repr(half_built) == "ParquetDataManager(root_dir=None, max_workers=None)"
