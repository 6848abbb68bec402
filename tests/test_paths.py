"""Directory and file naming under the store root."""

import os
import re

import pandas as pd
import pytest

import corvane.FrameVault as FrameVault


def test_constructor_creates_root_once(tmp_path, store_cls):
    root = tmp_path / "a" / "b"
    store_cls(str(root))
    marker = root / "keep.txt"
    marker.write_text("x")
    store_cls(str(root))
    assert sorted(os.listdir(root)) == ["keep.txt"]


@pytest.mark.parametrize(
    "year, month, name",
    [(2024, 3, "daily_2024-03.parquet"), (2024, 12, "daily_2024-12.parquet"), (2024, 123, "daily_2024-123.parquet"), (24, 1, "daily_24-01.parquet")],
)
def test_pivot_file_path(store, root, year, month, name):
    assert store._get_pivot_file_path("daily", year, month) == f"{root}/daily/{name}"
    assert os.path.isdir(os.path.join(root, "daily"))


def test_pivot_file_path_rejects_a_text_month(store):
    with pytest.raises(ValueError, match="Unknown format code 'd'"):
        store._get_pivot_file_path("daily", 2024, "03")


def test_unstack_existence_and_path(store, root):
    assert store._get_unstack_file_path("daily") == f"{root}/daily/daily.parquet"
    assert store._if_exists_unstack_category("daily") is False
    store.update_unstack_category("daily", pd.DataFrame({"k": [1]}))
    assert store._if_exists_unstack_category("daily") is True


def test_pivot_existence_needs_a_month_file(store, root):
    assert store._if_exists_pivot_category("daily") is False
    assert os.path.isdir(os.path.join(root, "daily"))
    open(os.path.join(root, "daily", "daily_2024-03.parquet"), "wb").close()
    assert store._if_exists_pivot_category("daily") is True


@pytest.mark.parametrize(
    "name, expected",
    [
        ("daily_2024-03.parquet", ("2024", "03")),
        ("daily.parquet", (None, None)),
        ("a_2023-01.x_2024-02.parquet", ("2023", "01")),
        ("daily_2024-3.parquet", (None, None)),
    ],
)
def test_extract_year_month(store_cls, name, expected):
    assert store_cls.extract_year_month(name) == expected


def test_pivot_year_month_in_listing_order(store, root):
    directory = os.path.join(root, "daily")
    os.makedirs(directory)
    for name in ["daily_2024-03.parquet", "notes.txt"]:
        open(os.path.join(directory, name), "w").close()
    expected = [FrameVault.ParquetDataManager.extract_year_month(n) for n in os.listdir(directory)]
    assert store._get_pivot_year_month("daily") == expected
    assert sorted(expected, key=str) == [("2024", "03"), (None, None)]


def test_gsoi(store_cls):
    frame = pd.DataFrame({"a": [1, 2]}, index=["x", "y"])
    assert store_cls.GSOI(1, frame) is frame.columns
    assert store_cls.GSOI(True, frame) is frame.columns
    assert store_cls.GSOI(0, frame) is frame.index
    for choice in (2, "1", None):
        assert store_cls.GSOI(choice, frame) == "Invalid input. Please enter 1 for columns or 0 for index."


def test_directory_created_by_someone_else_meanwhile(store, root, monkeypatch):
    # The existence test says "missing", then another creator wins the race before makedirs.
    target = os.path.join(root, "daily")
    real_exists = os.path.exists

    def exists_but_racing(path):
        if path == target and not real_exists(path):
            os.mkdir(path)
            return False
        return real_exists(path)

    monkeypatch.setattr(os.path, "exists", exists_but_racing)
    assert store._get_category_path("daily") == target


def test_directory_errors_other_than_the_race_still_raise(tmp_path, store_cls):
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    store = store_cls(str(blocker))  # an existing path is accepted as it is
    with pytest.raises(NotADirectoryError):
        store._get_category_path("daily")
    with pytest.raises(FileExistsError):
        store_cls(str(blocker) + "/")


BAD_NAMES = ["", ".", "..", "../escape", "/abs/dir", "a/b", "nul\x00byte", 5, None, b"daily", ".corvane",
             "back\\slash", "esc\x1b[2Jfake line", "new\nline", "del\x7f", "é" * 101, "lone\udcff",
             "rtl\u202ecod.exe", "zero\u200bwidth", "c1\x85control", "line\u2028break", "bom\ufeff"]
CATEGORY_CALLS = {
    "update_unstack_category": lambda s, c: s.update_unstack_category(c, pd.DataFrame({"k": [1]})),
    "read_unstack_category": lambda s, c: s.read_unstack_category(c),
    "update_pivot_category": lambda s, c: s.update_pivot_category(pd.DataFrame({"2024-03-01": [1.0]}), c),
    "read_pivot_category": lambda s, c: s.read_pivot_category(c, "2024-03-01", "2024-03-31"),
    "get_download_days": lambda s, c: s.get_download_days(c, [pd.Timestamp("2024-03-01")]),
    "_get_category_path": lambda s, c: s._get_category_path(c),
    "_get_unstack_file_path": lambda s, c: s._get_unstack_file_path(c),
    "_get_pivot_file_path": lambda s, c: s._get_pivot_file_path(c, 2024, 3),
    "_if_exists_unstack_category": lambda s, c: s._if_exists_unstack_category(c),
    "_if_exists_pivot_category": lambda s, c: s._if_exists_pivot_category(c),
    "_get_pivot_year_month": lambda s, c: s._get_pivot_year_month(c),
    "overwrite_pivot_category": lambda s, c: s.overwrite_pivot_category(pd.DataFrame({"2024-03-01": [1.0]}), c),
    "overwrite_unstack_category": lambda s, c: s.overwrite_unstack_category(c, pd.DataFrame({"k": [1]}), ["k"]),
    "delete_pivot_days": lambda s, c: s.delete_pivot_days(c, "2024-03-01", "2024-03-31"),
    "delete_pivot_rows": lambda s, c: s.delete_pivot_rows(c, ["a"]),
    "delete_unstack_rows": lambda s, c: s.delete_unstack_rows(c, pd.DataFrame({"k": [1]})),
    "delete_category": lambda s, c: s.delete_category(c),
    "list_pivot_months": lambda s, c: s.list_pivot_months(c),
    "read_pivot_rows": lambda s, c: s.read_pivot_rows(c, ["a"], "2024-03-01", "2024-03-31"),
}


@pytest.mark.parametrize("root", ["new\nline", "esc\x1b[2J", "c1\x85", "lone\ud800", "tab\there"], ids=repr)
def test_a_root_that_would_print_as_something_else_is_refused(tmp_path, store_cls, root):
    with pytest.raises(ValueError, match=r"^invalid root_dir .*\((a control character|a lone surrogate)"):
        store_cls(str(tmp_path / root / "data"))
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("method", CATEGORY_CALLS.values(), ids=CATEGORY_CALLS.keys())
@pytest.mark.parametrize("name", BAD_NAMES, ids=repr)
def test_a_category_is_one_path_component(tmp_path, store_cls, method, name):
    store = store_cls(str(tmp_path / "outer" / "data"))
    with pytest.raises(ValueError, match="category"):
        method(store, name)
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")) == ["outer", "outer/data"]


UNWRITABLE_FRAMES = {
    "duplicate column labels": lambda s: s.update_unstack_category(
        "t", pd.DataFrame([[1, 2, 3]], columns=["k", "v", "v"]), ["k"]),
    "key values of mixed kinds": lambda s: s.update_unstack_category("t", pd.DataFrame({"k": [1, "x"]}), ["k"]),
    "table row labels of mixed kinds": lambda s: s.update_unstack_category(
        "t", pd.DataFrame({"k": [1, 2]}, index=[1, "x"])),
    "month row labels of mixed kinds": lambda s: s.update_pivot_category(
        pd.DataFrame({"2024-03-01": [1.0, 2.0]}, index=[1, "x"]), "daily"),
}


@pytest.mark.parametrize("write", UNWRITABLE_FRAMES.values(), ids=UNWRITABLE_FRAMES.keys())
def test_a_frame_the_store_cannot_write_is_refused_before_anything_is_made(tmp_path, store_cls, write):
    store = store_cls(str(tmp_path / "data"))
    with pytest.raises(ValueError, match="duplicate column labels|mix integers"):
        write(store)
    assert list((tmp_path / "data").iterdir()) == []


@pytest.mark.parametrize("root, message", [
    ("xyz://bucket/data", "unsupported storage scheme 'xyz' in 'xyz://bucket/data': give a local path or s3://bucket/prefix"),
    ("file://tmp/data", "unsupported storage scheme 'file'"),
    ("S3A://bucket/data", "unsupported storage scheme 'S3A'"),
    ("s3:///data", "'s3:///data' names no bucket: give s3://bucket/prefix"),
    ("s3://", "'s3://' names no bucket"),
])
def test_a_root_of_another_scheme_is_refused_not_made_a_directory(tmp_path, store_cls, monkeypatch, root, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError, match=re.escape(message)):
        store_cls(root)
    assert list(tmp_path.iterdir()) == []
