"""The `corvane` command: look into a store (ls, info, verify) and sync categories from the server.

ls, info and verify only read: they list directories and open files themselves, so they never create
a directory or change a file (the store class creates directories on every path it resolves).
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import types
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import pandas as pd
import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]
from tqdm import tqdm

MONTH = re.compile(r"_(\d{4})-(\d{2})\.parquet")
LEFTOVER = re.compile(r"\.corvane-write-.*\.tmp")


class Failure(Exception):
    """A reason to stop with a message and exit status 1."""


@dataclass
class StoredFile:
    path: str
    kind: str  # "table", "month", "leftover" or "other"
    month: str | None = None  # YYYY-MM of a month file


def classify(category: str, name: str) -> StoredFile:
    if LEFTOVER.fullmatch(name):
        return StoredFile(name, "leftover")
    if name == f"{category}.parquet":
        return StoredFile(name, "table")
    match = MONTH.fullmatch(name[len(category):]) if name.startswith(category) else None
    if match and 1 <= int(match.group(2)) <= 12:
        return StoredFile(name, "month", f"{match.group(1)}-{match.group(2)}")
    return StoredFile(name, "other")


def require_local(root: str) -> None:
    if "://" in root:
        raise Failure(f"{root}: ls, info and verify read local stores only")


def categories(root: str) -> list[str]:
    require_local(root)
    if not os.path.isdir(root):
        raise Failure(f"{root}: no such store directory")
    return sorted(name for name in os.listdir(root)
                  if not name.startswith(".") and os.path.isdir(os.path.join(root, name)))


def category_files(root: str, category: str) -> list[StoredFile]:
    require_local(root)
    directory = os.path.join(root, category)
    if not os.path.isdir(directory):
        raise Failure(f"{directory}: no such category")
    found = []
    with os.scandir(directory) as listing:
        entries = sorted(listing, key=lambda entry: entry.name)
    for item in entries:
        # As the store's reads do: only regular files are tables or months; opening a FIFO would hang.
        entry = classify(category, item.name) if item.is_file() else StoredFile(item.name, "other")
        entry.path = item.path
        found.append(entry)
    return found


def months_of(files: Iterable[StoredFile]) -> dict[str, str]:
    return {entry.month: entry.path for entry in files if entry.kind == "month" and entry.month}


@dataclass
class Footer:
    rows: int
    labels: list[str]  # the data columns; for a month file, its day labels


def read_footer(path: str) -> Footer:
    """Rows and column labels from the Parquet footer alone, without reading the data."""
    parquet = pq.ParquetFile(path)
    schema = parquet.schema_arrow
    index_columns = {name for name in (schema.pandas_metadata or {}).get("index_columns", [])
                     if isinstance(name, str)}
    return Footer(parquet.metadata.num_rows, [name for name in schema.names if name not in index_columns])


def try_footer(path: str) -> Footer | None:
    try:
        return read_footer(path)
    except Exception:  # a damaged file; verify says what is wrong with it
        return None


def days(labels: Sequence[str]) -> list[pd.Timestamp]:
    parsed = pd.to_datetime(list(labels), errors="coerce", format="mixed")
    return sorted(day for day in parsed if not pd.isna(day))


def progress(items: Sequence[Any], what: str) -> Iterable[Any]:
    # disable=None: a bar on a terminal, nothing in a cron job's mail.
    return tqdm(items, desc=what, unit="file", leave=False, disable=None)


def human_size(size: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size:.0f} {unit}" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError("unreachable")


def print_table(header: Sequence[str], rows: Sequence[Sequence[object]]) -> None:
    cells = [list(header)] + [[str(cell) for cell in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(header))]
    for row in cells:
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def day_text(day: pd.Timestamp | None) -> str:
    return "-" if day is None else day.strftime("%Y-%m-%d")


# --- commands ----------------------------------------------------------------------------------


def command_ls(args: argparse.Namespace) -> int:
    rows = []
    unreadable = 0
    for category in progress(categories(args.root), "categories"):
        files = category_files(args.root, category)
        months = months_of(files)
        has_table = any(entry.kind == "table" for entry in files)
        kind = {(True, False): "table", (False, True): "monthly", (True, True): "table+monthly"}.get(
            (has_table, bool(months)), "empty")
        read = [try_footer(entry.path) for entry in files if entry.kind in ("table", "month")]
        footers = [footer for footer in read if footer is not None]
        unreadable += len(read) - len(footers)
        stored = days([label for footer in footers for label in footer.labels]) if months else []
        size = sum(os.path.getsize(entry.path) for entry in files)
        rows.append([category, kind, len(months), day_text(stored[0] if stored else None),
                     day_text(stored[-1] if stored else None), sum(f.rows for f in footers), human_size(size)])
    print_table(["CATEGORY", "KIND", "MONTHS", "FIRST", "LAST", "ROWS", "SIZE"], rows)
    if unreadable:
        print(f"{unreadable} files could not be read and are left out; see corvane verify", file=sys.stderr)
    return 0


def month_range(start: str | None, end: str | None, stored: Sequence[str]) -> list[str]:
    """The calendar months from start to end (both ends' months included); by default those from the
    first to the last stored month."""
    first = parse_day(start, "--start") if start else (pd.Timestamp(stored[0] + "-01") if stored else None)
    last = parse_day(end, "--end") if end else (pd.Timestamp(stored[-1] + "-01") if stored else None)
    if first is None or last is None:
        return []
    if first > last:
        raise Failure(f"--start {start} lies after --end {end}")
    return [month.strftime("%Y-%m") for month in pd.period_range(first, last, freq="M")]


def parse_day(text: str, option: str) -> pd.Timestamp:
    try:
        return pd.Timestamp(text)
    except ValueError as error:
        raise Failure(f"{option} {text!r} is not a date: {error}") from None


def command_info(args: argparse.Namespace) -> int:
    files = category_files(args.root, args.category)
    months = months_of(files)
    for entry in files:
        footer = try_footer(entry.path) if entry.kind == "table" else None
        if entry.kind == "table" and footer is None:
            print(f"{args.category}: whole table, unreadable (see corvane verify)")
        elif footer is not None:
            print(f"{args.category}: whole table, {footer.rows} rows, {len(footer.labels)} columns, "
                  f"{human_size(os.path.getsize(entry.path))}")
    wanted = month_range(args.start, args.end, sorted(months))
    rows = []
    for month in progress([m for m in wanted if m in months], "months"):
        footer = try_footer(months[month])
        if footer is None:
            rows.append([month, "unreadable", "-", "-", "-"])
            continue
        stored = days(footer.labels)
        rows.append([month, len(footer.labels), footer.rows, day_text(stored[0] if stored else None),
                     day_text(stored[-1] if stored else None)])
    if rows:
        print_table(["MONTH", "DAYS", "ROWS", "FIRST", "LAST"], rows)
    missing = [month for month in wanted if month not in months]
    if wanted:
        print(f"missing months: {', '.join(missing) if missing else 'none'}")
    elif not any(entry.kind == "table" for entry in files):
        print(f"{args.category}: nothing stored")
    return 0


def damage(entry: StoredFile) -> str | None:
    """Why a table or month file is damaged, or None: it must read whole, and a month file's day
    labels must be days of its own month."""
    try:
        # One open file for the whole read, so a writer replacing the file meanwhile cannot mix
        # versions; pyarrow's own file, as a Python file object read by pyarrow can abort at exit.
        with pa.OSFile(entry.path) as handle:
            frame = pd.read_parquet(handle)
    except Exception as error:  # any reader failure means the file cannot be used
        return f"unreadable: {type(error).__name__}: {error}"
    if entry.kind == "month":
        labels = [str(label) for label in frame.columns]
        stored = days(labels)
        if len(stored) != len(labels):
            return "day labels that are not dates"
        strays = [day_text(day) for day in stored if day.strftime("%Y-%m") != entry.month]
        if strays:
            return f"days of another month: {', '.join(strays[:3])}"
    return None


def command_verify(args: argparse.Namespace) -> int:
    entries = [entry for category in categories(args.root) for entry in category_files(args.root, category)]
    damaged = []
    for entry in progress([e for e in entries if e.kind in ("table", "month")], "reading"):
        reason = damage(entry)
        if reason:
            damaged.append(entry)
            print(f"damaged: {entry.path}: {reason}")
    for entry in entries:
        if entry.kind == "other":
            print(f"not a table or month: {entry.path}")
        elif entry.kind == "leftover":
            print(f"leftover temporary file: {entry.path}")
    checked = sum(entry.kind in ("table", "month") for entry in entries)
    print(f"{checked} files read, {len(damaged)} damaged, "
          f"{sum(e.kind == 'other' for e in entries)} unknown, {sum(e.kind == 'leftover' for e in entries)} leftover")
    return 1 if damaged else 0


class _PortRedirect:
    """The redis package with every connection sent to another port (CORVANE_PORT)."""

    def __init__(self, redis: types.ModuleType, port: int) -> None:
        self._redis, self._port = redis, port

    def __getattr__(self, name: str) -> Any:
        return getattr(self._redis, name)

    def Redis(self, **settings: Any) -> Any:
        return self._redis.Redis(**{**settings, "port": self._port})


def command_sync(args: argparse.Namespace) -> int:
    account, token = os.environ.get("CORVANE_ACCOUNT"), os.environ.get("CORVANE_TOKEN")
    if not account or not token:
        raise Failure("set CORVANE_ACCOUNT and CORVANE_TOKEN in the environment")
    if (args.start is None) != (args.end is None):
        raise Failure("give both --start and --end (monthly sync) or neither (whole-table sync)")
    if args.start is not None:
        month_range(args.start, args.end, [])  # refuses bad dates before anything is touched
    from corvane import CVClient

    port = os.environ.get("CORVANE_PORT")
    if port:
        # The client module looks its globals up at call time; this is its redis package.
        setattr(CVClient, "redis", _PortRedirect(getattr(CVClient, "redis"), int(port)))
    client = CVClient.CorvaneClient(account, token, args.root)
    for category in args.categories:
        if args.start is None:
            client.UpdateUnstackParquet(category)
        else:
            client.UpdatePivotParquet(category, args.start, args.end)
    return 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="corvane", description="Look into a corvane store, or sync it from the server.")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    ls = commands.add_parser("ls", help="list the categories of a store",
                             description="Each category: kind (whole table or monthly), month count, first "
                                         "and last stored day, rows (summed over its files) and size on disk.")
    ls.add_argument("root", metavar="ROOT", help="the store's root directory")
    ls.set_defaults(run=command_ls)

    info = commands.add_parser("info", help="months, days and rows of one category",
                               description="Per month: the days and rows stored; then the months of the "
                                           "range that have no file. The range defaults to the first to the "
                                           "last stored month.")
    info.add_argument("root", metavar="ROOT")
    info.add_argument("category", metavar="CATEGORY")
    info.add_argument("--start", metavar="D", help="first day of the range (its month is included)")
    info.add_argument("--end", metavar="D", help="last day of the range (its month is included)")
    info.set_defaults(run=command_info)

    verify = commands.add_parser("verify", help="read every file and report damage",
                                 description="Reads every table and month file; reports unreadable or damaged "
                                             "files, files that are neither a table nor a month, and leftover "
                                             "temporary files. Exit status 1 when a file is damaged.")
    verify.add_argument("root", metavar="ROOT")
    verify.set_defaults(run=command_verify)

    sync = commands.add_parser("sync", help="bring categories up to date from the server",
                               description="With --start and --end: UpdatePivotParquet for each category (the "
                                           "months whose first day lies in the range); without them: "
                                           "UpdateUnstackParquet (the whole table). Account and token come "
                                           "from CORVANE_ACCOUNT and CORVANE_TOKEN, the host from CORVANE_HOST.")
    sync.add_argument("root", metavar="ROOT", help="the store's root directory (created when missing)")
    sync.add_argument("categories", metavar="CATEGORY", nargs="+")
    sync.add_argument("--start", metavar="D")
    sync.add_argument("--end", metavar="D")
    sync.set_defaults(run=command_sync)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except Failure as failure:
        print(f"corvane {args.command}: {failure}", file=sys.stderr)
        return 1
    except Exception as error:
        print(f"corvane {args.command}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return status
