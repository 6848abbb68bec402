"""Whole-category tables: create, merge by key, skip identical writes, never damage the stored file."""

import os

import numpy as np
import pandas as pd
import pytest

KEYS = ["order_book_id", "start_date", "end_date"]


def table(ids, price=1.0):
    return pd.DataFrame(
        {
            "order_book_id": ids,
            "start_date": ["2020-01-02"] * len(ids),
            "end_date": ["2099-12-31"] * len(ids),
            "price": [price] * len(ids),
        }
    )


def status_lines(capsys):
    return capsys.readouterr().out.splitlines()


def test_create_identical_update_lines(store, capsys):
    path = store._get_unstack_file_path("instruments")
    first = table(["A", "B"])
    store.update_unstack_category("instruments", first, KEYS)
    pd.testing.assert_frame_equal(store.read_unstack_category("instruments"), first, check_dtype=False)
    mtime = os.stat(path).st_mtime_ns

    # Same content built in memory (object columns) and as read back (str columns): no rewrite.
    store.update_unstack_category("instruments", first, KEYS)
    store.update_unstack_category("instruments", store.read_unstack_category("instruments"), KEYS)
    assert os.stat(path).st_mtime_ns == mtime

    store.update_unstack_category("instruments", table(["A"]), KEYS)
    assert status_lines(capsys) == [
        f"{path}: 初始化 Unstack Parquet",
        f"{path}: No need to combine, dataframes are identical.",
        f"{path}: No need to combine, dataframes are identical.",
        f"{path}: 更新 Unstack Parquet",
    ]


@pytest.mark.parametrize(
    "change",
    [
        lambda frame: frame.assign(price=frame["price"].astype("float32")),
        lambda frame: frame.assign(price=[1.0, 2.0]),
        lambda frame: frame.rename(columns={"price": "close"}),
        lambda frame: frame.set_axis([5, 6]),
    ],
    ids=["numeric-dtype", "value", "column-label", "row-label"],
)
def test_real_differences_are_written(store, capsys, change):
    store.update_unstack_category("t", table(["A", "B"]), KEYS)
    store.update_unstack_category("t", change(table(["A", "B"])), KEYS)
    assert status_lines(capsys)[-1].endswith(": 更新 Unstack Parquet")


def test_merge_keeps_stored_rows_and_replaces_by_key(store):
    store.update_unstack_category("t", pd.DataFrame({"K": ["A", "B"], "v": [1, 2]}), ["K"])
    store.update_unstack_category("t", pd.DataFrame({"K": ["B", "C"], "v": [20, 30]}), "K")
    merged = store.read_unstack_category("t")
    assert merged["K"].tolist() == ["A", "B", "C"]
    assert merged["v"].tolist() == [1, 20, 30]
    assert merged.index.tolist() == [0, 0, 1]


def test_without_key_columns_whole_rows_identify_a_row(store, store_cls):
    store.update_unstack_category("t", pd.DataFrame({"K": ["A", "B"], "v": [1, 2]}))
    store.update_unstack_category("t", pd.DataFrame({"K": ["B", "B"], "v": [2, 3]}))
    assert store.read_unstack_category("t")[["K", "v"]].values.tolist() == [["A", 1], ["B", 2], ["B", 3]]
    merged = store_cls.update_unstack_df(pd.DataFrame({"K": [1]}), pd.DataFrame({"K": [1]}), [])
    assert merged["K"].tolist() == [1]


def read_bytes(path):
    with open(path, "rb") as handle:
        return handle.read()


@pytest.mark.parametrize(
    "bad, error",
    [
        ([{"K": "B"}], TypeError),
        (pd.DataFrame({"other": ["B"]}), KeyError),
        (pd.DataFrame({"K": ["B"], "v": [object()]}), Exception),
    ],
    ids=["not-a-frame", "missing-key-column", "unwritable-value"],
)
def test_bad_input_leaves_the_stored_table(store, capsys, bad, error):
    store.update_unstack_category("t", pd.DataFrame({"K": ["A"], "v": [1]}), ["K"])
    path = store._get_unstack_file_path("t")
    before = read_bytes(path)
    capsys.readouterr()
    with pytest.raises(error):
        store.update_unstack_category("t", bad, ["K"])
    assert read_bytes(path) == before
    assert os.listdir(os.path.dirname(path)) == ["t.parquet"]
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.update_unstack_category("t", [{"K": "B"}], ["K"]), TypeError,
         "sub_df must be a pandas DataFrame, not list"),
        (lambda s: s.update_unstack_category("t", pd.DataFrame({"v": [2]}), ["K"]), KeyError,
         "key columns not found in the new frame: ['K']"),
        (lambda s: s.overwrite_unstack_category("t", pd.DataFrame({"v": [2]}), ["K"]), KeyError,
         "key columns not found in the new frame: ['K']"),
        (lambda s: s.overwrite_unstack_category("t", pd.DataFrame({"J": [2]}), ["J"]), KeyError,
         "key columns not found in the stored frame: ['J']"),
        (lambda s: s.delete_unstack_rows("t", pd.DataFrame({"J": [1]})), KeyError,
         "key columns not found in the stored frame: ['J']"),
    ],
    ids=["not-a-frame", "update-new", "overwrite-new", "overwrite-stored", "delete-stored"],
)
def test_refused_calls_raise_their_exact_error_and_print_nothing(store, capsys, call, error, message):
    store.update_unstack_category("t", pd.DataFrame({"K": ["A"], "v": [1]}), ["K"])
    before = read_bytes(store._get_unstack_file_path("t"))
    capsys.readouterr()
    with pytest.raises(error) as raised:
        call(store)
    assert type(raised.value) is error and raised.value.args == (message,)
    assert read_bytes(store._get_unstack_file_path("t")) == before
    assert capsys.readouterr().out == ""


def test_write_failing_midway_keeps_old_file_and_no_temporary(store, monkeypatch, capsys):
    store.update_unstack_category("t", pd.DataFrame({"K": ["A"]}), ["K"])
    path = store._get_unstack_file_path("t")
    before = read_bytes(path)
    written = []

    def half_write(frame, target, *args, **kwargs):
        written.append(target)
        with open(target, "wb") as handle:
            handle.write(b"PAR1 truncated")
        raise OSError("disk full")

    monkeypatch.setattr(pd.DataFrame, "to_parquet", half_write)
    capsys.readouterr()
    with pytest.raises(OSError, match="disk full"):
        store.update_unstack_category("t", pd.DataFrame({"K": ["B"]}), ["K"])
    assert read_bytes(path) == before
    assert os.listdir(os.path.dirname(path)) == ["t.parquet"]
    assert capsys.readouterr().out == ""
    # The temporary name can never pass for a stored table or a month file.
    name = os.path.basename(written[0])
    assert os.path.dirname(written[0]) == os.path.dirname(path)
    assert not name.endswith(".parquet")
    assert store.extract_year_month(name) == (None, None)


def test_corrupt_stored_table_raises_and_is_left_alone(store):
    path = store._get_unstack_file_path("t")
    with open(path, "wb") as handle:
        handle.write(b"not parquet")
    with pytest.raises(Exception):
        store.update_unstack_category("t", pd.DataFrame({"K": ["A"]}), ["K"])
    assert read_bytes(path) == b"not parquet"


def test_reading_a_missing_table_raises_and_leaves_the_directory(store, root):
    with pytest.raises(FileNotFoundError):
        store.read_unstack_category("never")
    assert os.listdir(os.path.join(root, "never")) == []


def rows(frame):
    return frame.reset_index().values.tolist()


@pytest.mark.parametrize(
    "stored, new, keys, expected",
    [
        # a real index identifies a row: equal values under another label are another row
        (pd.DataFrame({"p": [10, 20]}, index=["AAPL", "MSFT"]), pd.DataFrame({"p": [10]}, index=["GOOG"]), [],
         [["AAPL", 10], ["MSFT", 20], ["GOOG", 10]]),
        (pd.DataFrame({"p": [10, 20]}, index=["AAPL", "MSFT"]), pd.DataFrame({"p": [11]}, index=["MSFT"]), [],
         [["AAPL", 10], ["MSFT", 20], ["MSFT", 11]]),
        # stored rows that repeat each other all stay when another row is merged
        (pd.DataFrame({"k": ["x", "x"], "v": [1, 1]}), pd.DataFrame({"k": ["y"], "v": [2]}), [],
         [[0, "x", 1], [1, "x", 1], [0, "y", 2]]),
        # stored history sharing a key stays unless the update carries that key; the last new row wins
        (pd.DataFrame({"k": ["x", "x", "z"], "v": [1, 2, 3]}), pd.DataFrame({"k": ["y", "z", "z"], "v": [4, 5, 6]}),
         ["k"], [[0, "x", 1], [1, "x", 2], [0, "y", 4], [2, "z", 6]]),
    ],
    ids=["new-label", "same-label-new-value", "stored-duplicates", "stored-history"],
)
def test_merge_replaces_only_rows_the_update_carries(store, capsys, stored, new, keys, expected):
    store.update_unstack_category("t", stored, keys)
    store.update_unstack_category("t", new, keys)
    assert rows(store.read_unstack_category("t")) == expected
    assert status_lines(capsys)[-1].endswith(": 更新 Unstack Parquet")


def test_first_write_checks_the_key_columns(store, root):
    with pytest.raises(KeyError, match="K"):
        store.update_unstack_category("t", pd.DataFrame({"other": [1]}), ["K"])
    assert not os.path.exists(os.path.join(root, "t", "t.parquet"))


@pytest.mark.parametrize(
    "new",
    [pd.DataFrame({"K": ["B"], "w": [1.5]}), pd.DataFrame({"K": ["B"], "v": [None]}), pd.DataFrame({"K": ["B"], "v": [np.nan]})],
    ids=["column-missing", "missing-object", "missing-float"],
)
def test_large_integers_stay_exact(store, new):
    store.update_unstack_category("t", pd.DataFrame({"K": ["A"], "v": [2**53 + 1]}), ["K"])
    store.update_unstack_category("t", new, ["K"])
    assert int(store.read_unstack_category("t")["v"].iloc[0]) == 2**53 + 1


def test_large_integers_beside_fractions_are_refused(store):
    store.update_unstack_category("t", pd.DataFrame({"K": ["A"], "v": [2**53 + 1]}), ["K"])
    before = read_bytes(store._get_unstack_file_path("t"))
    with pytest.raises(ValueError, match="'v'"):
        store.update_unstack_category("t", pd.DataFrame({"K": ["B"], "v": [0.5]}), ["K"])
    assert read_bytes(store._get_unstack_file_path("t")) == before


@pytest.mark.parametrize("distinct", [3, 20_000], ids=["identities-fit-one-number", "identities-too-wide-for-one"])
def test_upsert_by_many_key_columns_matches_a_plain_model(store_cls, distinct):
    # Five key columns of `distinct` values each: with 20,000 the identities no longer fit one
    # 64-bit number and are compared as whole tuples.
    rng = np.random.default_rng(5)
    keys = [f"k{n}" for n in range(5)]

    def frame(rows, first_value):
        columns = {key: rng.integers(0, distinct, rows) for key in keys}
        return pd.DataFrame({**columns, "v": np.arange(first_value, first_value + rows)})

    stored, new = frame(20_000, 0), frame(2_000, 100_000)
    new.iloc[: len(new) // 2, :5] = stored.iloc[: len(new) // 2, :5].to_numpy()  # half replace stored rows
    new.iloc[-1, :5] = new.iloc[0, :5].to_numpy()  # and one repeats an incoming key: the last wins
    new_keys = {tuple(row) for row in new[keys].itertuples(index=False)}
    expected = pd.concat([stored[[tuple(row) not in new_keys for row in stored[keys].itertuples(index=False)]],
                          new.drop_duplicates(keys, keep="last")])
    merged = store_cls.update_unstack_df(stored, new, keys)
    pd.testing.assert_frame_equal(merged, expected)


@pytest.mark.parametrize("source", ["bytes", "open-file", "directory-of-parts", "file-url", "path-object"])
def test_read_parquet_reads_what_pandas_reads(store_cls, tmp_path, source):
    import io

    frame = pd.DataFrame({"v": [1.5, 2.5]}, index=["a", "b"])
    path = tmp_path / "t.parquet"
    frame.to_parquet(path)
    parts = tmp_path / "parts"
    parts.mkdir()
    frame.iloc[:1].to_parquet(parts / "part-0.parquet")
    frame.iloc[1:].to_parquet(parts / "part-1.parquet")
    with open(path, "rb") as handle:
        given = {"bytes": io.BytesIO(path.read_bytes()), "open-file": handle, "directory-of-parts": str(parts),
                 "file-url": path.as_uri(), "path-object": path}[source]
        pd.testing.assert_frame_equal(store_cls.read_parquet(given), frame)


def test_large_ids_stay_int64_and_unchanged_resyncs_write_nothing(store, capsys):
    ids = [2**60 + n for n in range(3)]
    server = pd.DataFrame({"order_book_id": ids, "v": [1, 5, 3]})
    store.update_unstack_category("t", server.iloc[:2].copy(), ["order_book_id"])
    store.update_unstack_category("t", server, ["order_book_id"])
    stored = store.read_unstack_category("t")
    assert (stored.dtypes.tolist(), stored["order_book_id"].tolist()) == ([np.int64, np.int64], ids)
    path = store._get_unstack_file_path("t")
    before = os.stat(path)
    for _ in range(3):
        store.update_unstack_category("t", server, ["order_book_id"])
    after = os.stat(path)
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert status_lines(capsys)[2:] == [f"{path}: No need to combine, dataframes are identical."] * 3


def test_an_update_that_changes_nothing_is_not_written(store, capsys):
    store.update_unstack_category("instruments", table(["A", "B", "C"]), KEYS)
    # The server no longer holds C; the store keeps it, behind the rows the server sent.
    store.update_unstack_category("instruments", table(["A", "B"]), KEYS)
    path = store._get_unstack_file_path("instruments")
    before = os.stat(path)
    for _ in range(2):
        store.update_unstack_category("instruments", table(["A", "B"]), KEYS)
    after = os.stat(path)
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
    assert status_lines(capsys)[1:] == [f"{path}: 更新 Unstack Parquet"] * 3
    assert store.read_unstack_category("instruments")["order_book_id"].tolist() == ["C", "A", "B"]


@pytest.mark.parametrize(
    "stored, new, expected",
    [
        # an incoming fraction followed by an incoming integer of its key: the fraction never lands
        (pd.DataFrame({"K": ["A"], "v": [2**53 + 1]}), pd.DataFrame({"K": ["A", "A"], "v": pd.Series([0.5, 2**53 + 3], dtype=object)}),
         [2**53 + 3]),
        # the only stored fraction is replaced by a large integer
        (pd.DataFrame({"K": ["A", "B"], "v": [0.5, 2.0]}), pd.DataFrame({"K": ["A"], "v": [2**53 + 1]}),
         [2, 2**53 + 1]),
    ],
    ids=["fraction-loses-to-a-later-row", "stored-fraction-replaced"],
)
def test_fractions_that_do_not_reach_the_result_are_no_refusal(store, stored, new, expected):
    store.update_unstack_category("t", stored, ["K"])
    store.update_unstack_category("t", new, ["K"])
    assert [int(value) for value in store.read_unstack_category("t")["v"]] == expected
