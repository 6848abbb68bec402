"""Corrections, deletes, the catalog, row reads and the read-only commands on an s3:// root of the
real SeaweedFS server: the same results, lines and layout as on local disk."""

import json
import subprocess
import sys

import numpy as np
import obstore
import pandas as pd
import pytest

import corvane._object_storage as object_storage
from corvane.FrameVault import ParquetDataManager
from test_s3_store import on_both_roots


def seeded(root):
    store = ParquetDataManager(root)
    days = pd.bdate_range("2024-01-25", "2024-03-05").strftime("%Y-%m-%d")
    values = np.arange(3 * len(days), dtype=float).reshape(3, len(days))
    store.update_pivot_category(pd.DataFrame(values, index=["a", "b", "c"], columns=days), "close")
    store.update_unstack_category("table", pd.DataFrame({"id": [1, 2, 3], "v": ["x", "y", "z"]}), key_columns=["id"])
    return store


def overwrite(store):
    new = pd.DataFrame({"2024-01-31": [9.0, np.nan], "2024-03-06": [1.0, 2.0]}, index=["a", "d"])
    return [store.overwrite_pivot_category(new, "close"), store.overwrite_pivot_category(new, "close"),
            store.overwrite_unstack_category("table", pd.DataFrame({"id": [2, 4], "v": ["Y", "w"]}), ["id"]),
            store.read_pivot_category("close", "2024-01-01", "2024-03-31"), store.read_unstack_category("table")]


def delete(store):
    return [store.delete_pivot_days("close", "2024-01-01", "2024-01-31"), store.delete_pivot_rows("close", ["b"]),
            store.delete_unstack_rows("table", pd.DataFrame({"id": [1, 5]})), store.delete_pivot_days("close", "2020-01-01", "2020-01-02"),
            store.list_pivot_months("close"), store.read_pivot_category("close", "2024-02-01", "2024-03-31"),
            store.read_unstack_category("table"), store.delete_category("close"), store.list_categories()]


def catalog(store):
    store.update_unstack_category("close", pd.DataFrame({"id": [1]}))
    return [store.list_categories(), store.list_pivot_months("close"), store.list_pivot_months("never")]


def row_reads(store):
    return [store.read_pivot_rows("close", ["c", "a", "zz"], "2024-01-30", "2024-03-01"),
            store.read_pivot_rows("close", "b", column_type="datetime")]


def same(left, right):
    if isinstance(left, pd.DataFrame):
        pd.testing.assert_frame_equal(left, right)
    else:
        assert left == right


@pytest.mark.parametrize("addition", [overwrite, delete, catalog, row_reads])
def test_each_addition_gives_what_local_disk_gives(addition, s3_root, tmp_path, capsys):
    local, remote, _ = on_both_roots(lambda root: addition(seeded(root)), str(tmp_path / "data"), s3_root, capsys)
    for ours, theirs in zip(remote, local):
        same(ours, theirs)


def test_read_only_commands_take_s3_roots(s3_root, tmp_path):
    local_root = str(tmp_path / "data")
    seeded(local_root), seeded(s3_root)

    def run(*args):
        result = subprocess.run([sys.executable, "-m", "corvane", *args, "--json"], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        return result.stdout

    for command in (["ls"], ["info", "close"], ["verify"]):
        remote = json.loads(run(command[0], s3_root, *command[1:]).replace(s3_root, "ROOT"))
        local = json.loads(run(command[0], local_root, *command[1:]).replace(local_root, "ROOT"))
        if command == ["ls"]:  # Parquet bytes may differ by writer metadata; the rest must not
            for category in remote["categories"] + local["categories"]:
                category.pop("size_bytes")
        assert remote == local


def digest_records(root):
    store, base = object_storage.store_for(root)
    return sorted(meta["path"][len(base) + 1:] for chunk in obstore.list(store, f"{base}/.corvane/digests")
                  for meta in chunk)


@pytest.mark.parametrize("delete, left", [
    (lambda store: store.delete_category("close"), []),
    (lambda store: store.delete_pivot_days("close", "2024-01-01", "2024-01-31"),
     [".corvane/digests/close/close_2024-02.parquet.digest", ".corvane/digests/close/close_2024-03.parquet.digest"]),
])
def test_deletes_take_the_digest_records_of_what_they_remove(s3_root, delete, left):
    store = seeded(s3_root)
    assert len(digest_records(s3_root)) == 3  # one per month written
    delete(store)
    assert digest_records(s3_root) == left
