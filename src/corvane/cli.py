"""The `corvane` command: look into a store (ls, info, verify) and sync categories from the server
(sync, correct).

ls, info and verify only read: they list directories and open files themselves, so they never create
a directory or change a file (the store class creates directories on every path it resolves). They
take local roots and s3://bucket/prefix roots alike.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import functools
import io
import json
import os
import re
import sys
import threading
import types
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import pandas as pd
import pyarrow as pa  # type: ignore[import-untyped]
import pyarrow.parquet as pq  # type: ignore[import-untyped]
from tqdm import tqdm

from corvane import _store_layout  # the store's own file names, published by its module

MONTH = re.compile(_store_layout.month_file_pattern)
LEFTOVER = re.compile(_store_layout.temporary_file_pattern)


class Failure(Exception):
    """A reason to stop with a message and exit status 1."""


class UsageError(Failure):
    """A wrong command line: the message, and exit status 2 as for argparse's own refusals."""


# --- output that outlives its reader ------------------------------------------------------------


def discard(stream: Any) -> None:
    """The reader of stream went away (`corvane ls | head -1`): what is left to print goes to
    /dev/null, so the command still finishes its work and the interpreter's last flush cannot fail."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, stream.fileno())
    finally:
        os.close(devnull)


def say(text: str = "", file: Any = None) -> None:
    stream = sys.stdout if file is None else file
    try:
        print(text, file=stream)
    except BrokenPipeError:
        discard(stream)


def flush_output() -> None:
    for stream in (sys.stdout, sys.stderr):
        if stream is None:  # started with the descriptor closed
            continue
        try:
            stream.flush()
        except BrokenPipeError:
            discard(stream)


def closest(name: str, names: Iterable[str]) -> str:
    """ "; did you mean 'x'?" for the existing name nearest to a mistyped one, or nothing."""
    found = difflib.get_close_matches(name, list(names), n=1, cutoff=0.6)
    return f"; did you mean {found[0]!r}?" if found else ""


@dataclass
class StoredFile:
    path: str
    kind: str  # "table", "month", "leftover" or "other"
    month: str | None = None  # YYYY-MM of a month file
    size: int = 0


def classify(category: str, name: str) -> StoredFile:
    if LEFTOVER.fullmatch(name):
        return StoredFile(name, "leftover")
    if name == category + _store_layout.table_suffix:
        return StoredFile(name, "table")
    match = MONTH.fullmatch(name[len(category):]) if name.startswith(category) else None
    if match and 1 <= int(match.group(2)) <= 12:
        return StoredFile(name, "month", f"{match.group(1)}-{match.group(2)}")
    return StoredFile(name, "other")


def is_remote(path: str) -> bool:
    return path.startswith("s3://")


def join(base: str, *names: str) -> str:
    return "/".join([base.rstrip("/"), *names]) if is_remote(base) else os.path.join(base, *names)


@dataclass
class Entry:
    name: str
    is_file: bool  # a regular file (an object on s3://)
    is_dir: bool  # a directory (a prefix on s3://)
    size: int


def list_entries(path: str) -> list[Entry] | None:
    """The names directly under a directory (an object prefix on s3://), or None when there is none."""
    if not is_remote(path):
        if not os.path.isdir(path):
            return None
        with os.scandir(path) as found:
            return [Entry(item.name, item.is_file(), item.is_dir(), item.stat().st_size if item.is_file() else 0)
                    for item in found]
    from corvane import _object_storage as objects

    # Sizes come with the listing; the store's own seam lists names only.
    files, prefixes = objects.list_with_sizes(path)
    if not files and not prefixes:
        return None
    return [Entry(name, True, False, size) for name, size in files] + [Entry(name, False, True, 0) for name in prefixes]


def open_source(path: str) -> Any:
    """A source pyarrow and pandas read from: the open file, or the whole object read once."""
    if is_remote(path):
        from corvane import _object_storage as objects

        # A copy in pyarrow's memory: a reader holding a Python object can abort the process at
        # exit when a pyarrow thread lets go of it then.
        sink = pa.BufferOutputStream()
        sink.write(objects.read_bytes(path))
        return pa.BufferReader(sink.getvalue())
    return pa.OSFile(path)


def categories(root: str) -> list[str]:
    entries = list_entries(root)
    if entries is None:
        raise Failure(f"{root}: no such store directory")
    return sorted(entry.name for entry in entries if not entry.name.startswith(".") and entry.is_dir)


def category_files(root: str, category: str) -> list[StoredFile]:
    directory = join(root, category)
    entries = list_entries(directory)
    if entries is None:
        raise Failure(f"{directory}: no such category{closest(category, categories(root))}")
    found = []
    for item in sorted(entries, key=lambda item: item.name):
        # As the store's reads do: only regular files are tables or months; opening a FIFO would hang.
        entry = classify(category, item.name) if item.is_file else StoredFile(item.name, "other")
        entry.path = join(directory, item.name)
        entry.size = item.size
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
    parquet = pq.ParquetFile(open_source(path))
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


def progress(items: Sequence[Any], what: str, quiet: bool = False) -> Iterable[Any]:
    # disable=None: a bar on a terminal, nothing in a cron job's mail.
    return tqdm(items, desc=what, unit="file", leave=False, disable=True if quiet else None)


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
        say("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())


def day_text(day: pd.Timestamp | None) -> str:
    return "-" if day is None else day.strftime("%Y-%m-%d")


# --- commands ----------------------------------------------------------------------------------


def emit_json(document: Any) -> None:
    say(json.dumps(document, indent=2, ensure_ascii=False))


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
        rows.append({"category": category, "kind": kind, "months": len(months),
                     "first": day_text(stored[0]) if stored else None, "last": day_text(stored[-1]) if stored else None,
                     "rows": sum(f.rows for f in footers), "size_bytes": sum(entry.size for entry in files)})
    if args.json:
        emit_json({"categories": rows, "unreadable_files": unreadable})
    else:
        print_table(["CATEGORY", "KIND", "MONTHS", "FIRST", "LAST", "ROWS", "SIZE"],
                    [[row["category"], row["kind"], row["months"], row["first"] or "-", row["last"] or "-", row["rows"],
                      human_size(row["size_bytes"])] for row in rows])
    if unreadable:
        say(f"{unreadable} files could not be read and are left out; see corvane verify", file=sys.stderr)
    return 0


def month_range(start: str | None, end: str | None, stored: Sequence[str]) -> list[str]:
    """The calendar months from start to end (both ends' months included); by default those from the
    first to the last stored month."""
    first = parse_day(start, "--start") if start else (pd.Timestamp(stored[0] + "-01") if stored else None)
    last = parse_day(end, "--end") if end else (pd.Timestamp(stored[-1] + "-01") if stored else None)
    if first is None or last is None:
        return []
    if first > last:
        raise UsageError(f"--start {start} lies after --end {end}")
    return [month.strftime("%Y-%m") for month in pd.period_range(first, last, freq="M")]


def parse_day(text: str, option: str) -> pd.Timestamp:
    try:
        return pd.Timestamp(text)
    except ValueError as error:
        raise UsageError(f"{option} {text!r} is not a date: {error}") from None


def command_info(args: argparse.Namespace) -> int:
    files = category_files(args.root, args.category)
    months = months_of(files)
    table = None
    for entry in files:
        if entry.kind == "table":
            footer = try_footer(entry.path)
            table = ({"unreadable": True} if footer is None else
                     {"rows": footer.rows, "columns": len(footer.labels), "size_bytes": entry.size})
    wanted = month_range(args.start, args.end, sorted(months))
    rows: list[dict[str, Any]] = []
    for month in progress([m for m in wanted if m in months], "months"):
        footer = try_footer(months[month])
        if footer is None:
            rows.append({"month": month, "unreadable": True})
            continue
        stored = days(footer.labels)
        rows.append({"month": month, "days": len(footer.labels), "rows": footer.rows,
                     "first": day_text(stored[0]) if stored else None, "last": day_text(stored[-1]) if stored else None})
    missing = [month for month in wanted if month not in months]
    if args.json:
        emit_json({"category": args.category, "table": table, "months": rows, "missing_months": missing})
        return 0
    if table is not None and table.get("unreadable"):
        say(f"{args.category}: whole table, unreadable (see corvane verify)")
    elif table is not None:
        say(f"{args.category}: whole table, {table['rows']} rows, {table['columns']} columns, "
              f"{human_size(table['size_bytes'])}")
    if rows:
        print_table(["MONTH", "DAYS", "ROWS", "FIRST", "LAST"],
                    [[row["month"], "unreadable", "-", "-", "-"] if row.get("unreadable") else
                     [row["month"], row["days"], row["rows"], row["first"] or "-", row["last"] or "-"] for row in rows])
    if wanted:
        say(f"missing months: {', '.join(missing) if missing else 'none'}")
    elif table is None:
        say(f"{args.category}: nothing stored")
    return 0


def damage(entry: StoredFile) -> str | None:
    """Why a table or month file is damaged, or None: it must read whole, and a month file's day
    labels must be days of its own month."""
    try:
        # One open file (or one whole object) for the whole read: a writer replacing the file
        # meanwhile cannot mix versions. pyarrow's own file, as a Python file object read by
        # pyarrow can abort the process at exit.
        with open_source(entry.path) as handle:
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
    for entry in progress([e for e in entries if e.kind in ("table", "month")], "reading", args.quiet):
        reason = damage(entry)
        if reason:
            damaged.append({"path": entry.path, "reason": reason})
    unknown = [entry.path for entry in entries if entry.kind == "other"]
    leftover = [entry.path for entry in entries if entry.kind == "leftover"]
    checked = sum(entry.kind in ("table", "month") for entry in entries)
    if args.json:
        emit_json({"files_read": checked, "damaged": damaged, "unknown": unknown, "leftover": leftover})
    else:
        for found in damaged:
            say(f"damaged: {found['path']}: {found['reason']}")
        for entry in entries:
            if entry.kind == "other":
                say(f"not a table or month: {entry.path}")
            elif entry.kind == "leftover":
                say(f"leftover temporary file: {entry.path}")
        if not args.quiet:
            say(f"{checked} files read, {len(damaged)} damaged, {len(unknown)} unknown, {len(leftover)} leftover")
    return 1 if damaged else 0


# --- sync and correct ----------------------------------------------------------------------------

# How long the command waits for the server to answer before it says which way it failed.
SERVER_WAIT_SECONDS = 5.0


class _ServerSettings:
    """The redis package with every connection sent to CORVANE_PORT (when set) and bounded in time,
    so that a server that never answers fails the command instead of hanging a cron job."""

    def __init__(self, redis: types.ModuleType, port: int | None) -> None:
        self._redis, self._port = redis, port

    def __getattr__(self, name: str) -> Any:
        return getattr(self._redis, name)

    def Redis(self, **settings: Any) -> Any:
        settings.setdefault("socket_connect_timeout", SERVER_WAIT_SECONDS)
        if self._port is not None:
            settings["port"] = self._port
        return self._redis.Redis(**settings)


def server_address() -> tuple[str, int]:
    port = os.environ.get("CORVANE_PORT")
    return os.environ.get("CORVANE_HOST", "127.0.0.1"), int(port) if port else 6379


def check_server(account: str, token: str) -> None:
    """Fails within SERVER_WAIT_SECONDS, saying whether the server refused the credentials or could
    not be reached. The client's own probe turns both into a latency of 999 and waits without limit."""
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    host, port = server_address()
    outcome: list[BaseException | None] = []

    def ping() -> None:
        # No retries: redis-py's default backoff turns one refused connection into seconds of
        # retrying, long enough on a busy machine to be reported as a silent server.
        connection = redis.Redis(host=host, port=port, password=f"{account}:{token}",
                                 socket_connect_timeout=SERVER_WAIT_SECONDS, socket_timeout=SERVER_WAIT_SECONDS,
                                 retry=Retry(NoBackoff(), 0))
        try:
            connection.ping()
            outcome.append(None)
        except BaseException as error:  # reported on the calling thread
            outcome.append(error)
        finally:
            connection.close()

    worker = threading.Thread(target=ping, daemon=True)
    worker.start()
    worker.join(SERVER_WAIT_SECONDS)
    if not outcome:
        raise Failure(f"the server at {host}:{port} did not answer within {SERVER_WAIT_SECONDS:g} s")
    error = outcome[0]
    if error is None:
        return
    refused = isinstance(error, redis.AuthenticationError) or (
        isinstance(error, redis.ResponseError) and any(word in str(error) for word in ("WRONGPASS", "NOAUTH", "invalid")))
    if refused:
        raise Failure(f"the server at {host}:{port} refused account {account!r}: check CORVANE_ACCOUNT and CORVANE_TOKEN")
    raise Failure(f"cannot reach the server at {host}:{port}: {error}")


def quiet_bars(modules: Iterable[types.ModuleType], disable: bool | None) -> None:
    """Progress bars on a terminal only (disable=None), or never: the modules look tqdm up at call time."""
    for module in modules:
        setattr(module, "tqdm", functools.partial(tqdm, disable=disable))


def captured(call: Callable[[], Any]) -> tuple[Any, list[str]]:
    """call()'s result and the status lines it printed."""
    buffer = io.StringIO()
    with contextlib.redirect_stdout(buffer):
        result = call()
    return result, buffer.getvalue().splitlines()


def server_months(client: Any, category: str) -> list[str]:
    prefix = f"cv1-{category}-"
    return sorted(key[len(prefix):] for key in client.keys
                  if key.startswith(prefix) and len(key) == len(prefix) + 6 and key[len(prefix):].isdigit())


def server_categories(client: Any) -> set[str]:
    """The categories the server holds, from its keys cv1-NAME and cv1-NAME-YYYYMM (a name may hold dashes)."""
    names = set()
    for key in client.keys:
        if isinstance(key, str) and key.startswith("cv1-"):
            month = re.fullmatch(r"(.+)-\d{6}", key[4:])
            names.add(month.group(1) if month else key[4:])
    return names


def default_range(client: Any, category: str, months: list[str]) -> tuple[str, str]:
    """From the first day of the latest stored month (or of the server's first month) to today."""
    stored = client.CV_db.list_pivot_months(category)
    first = f"{stored[-1]}-01" if stored else f"{months[0][:4]}-{months[0][4:]}-01"
    return first, pd.Timestamp.today().strftime("%Y-%m-%d")


def sync_category(client: Any, category: str, args: argparse.Namespace) -> tuple[dict[str, Any], list[str]]:
    """One category brought up to date: what was done (a record of --json) and the store's own lines."""
    correcting = args.command == "correct"
    if not correcting and f"cv1-{category}" in client.keys:
        _, lines = captured(lambda: client.UpdateUnstackParquet(category))
        return {"category": category, "kind": "table",
                "written": not any("No need to combine" in line for line in lines)}, lines
    on_server = server_months(client, category)
    if not on_server:
        raise Failure(f"the server holds no category {category!r} (no key cv1-{category} or "
                      f"cv1-{category}-YYYYMM){closest(category, server_categories(client))}")
    start, end = (args.start, args.end) if args.start else default_range(client, category, on_server)
    wanted = [month.replace("-", "") for month in month_range(start, end, [])]
    if not args.start:
        # Months after the server's latest are not missing, only not published yet.
        wanted = [month for month in wanted if month <= on_server[-1]]
    record: dict[str, Any] = {"category": category, "kind": "monthly", "start": start, "end": end}
    missing = [f"{month[:4]}-{month[4:]}" for month in wanted if month not in on_server]
    if correcting:
        changed, lines = captured(lambda: client.CorrectPivotParquet(category, start, end))
        record["months_written"] = sum(" stored cells changed" in line and "nothing written" not in line
                                       for line in lines)
        record["stored_cells_changed"] = changed
    else:
        _, lines = captured(lambda: client.UpdatePivotParquet(category, start, end))
        record["months_written"] = sum(": Initializing: " in line or ": UpdatingDF " in line for line in lines)
        record["months_unchanged"] = sum(": Dataframes are identical." in line for line in lines)
    record["missing_months"] = missing
    return record, lines


def summary(record: dict[str, Any]) -> str:
    """The one line per category that sync and correct print."""
    if record["kind"] == "table":
        return f"{record['category']}: table {'written' if record['written'] else 'unchanged'}"
    counts = (f"{record['stored_cells_changed']} stored cells changed" if "stored_cells_changed" in record
              else f"{record['months_unchanged']} unchanged")
    return (f"{record['category']}: monthly, {record['months_written']} months written, {counts}, "
            f"missing months: {', '.join(record['missing_months']) or 'none'}")


def check_sync_range(args: argparse.Namespace) -> None:
    """Refuses a wrong range before the environment or the server is looked at."""
    if (args.start is None) != (args.end is None):
        raise UsageError("give both --start and --end, or neither")
    if args.command == "correct" and args.start is None:
        raise UsageError("a correction needs --start and --end")
    if args.start is not None:
        month_range(args.start, args.end, [])


def command_sync(args: argparse.Namespace) -> int:
    check_sync_range(args)
    account, token = os.environ.get("CORVANE_ACCOUNT"), os.environ.get("CORVANE_TOKEN")
    if not account or not token:
        raise Failure("set CORVANE_ACCOUNT and CORVANE_TOKEN in the environment")
    check_server(account, token)
    from corvane import CVClient, FrameVault

    quiet_bars([CVClient, FrameVault], True if args.quiet or args.json else None)
    # The client module looks its globals up at call time; this is its redis package.
    host_port = os.environ.get("CORVANE_PORT")
    setattr(CVClient, "redis", _ServerSettings(getattr(CVClient, "redis"), int(host_port) if host_port else None))
    client, lines = captured(lambda: CVClient.CorvaneClient(account, token, args.root))
    talk = not args.quiet and not args.json
    if talk:
        say("\n".join(lines))
    host, port = server_address()
    records = []
    for category in args.categories:
        try:
            record, lines = sync_category(client, category, args)
        except Exception as error:  # one category's failure does not stop the others
            reason = str(error) if isinstance(error, Failure) else f"{type(error).__name__}: {error}"
            records.append({"category": category, "error": reason})
            say(f"corvane {args.command}: {category}: {reason}", file=sys.stderr)
            continue
        if args.verbose:
            record["lines"] = lines
        records.append(record)
        if talk and args.verbose:
            say("\n".join(lines))
        if talk:
            say(summary(record))
    failed = sum("error" in record for record in records)
    if args.json:
        emit_json({"command": args.command, "root": args.root, "server": f"{host}:{port}", "categories": records,
                   "failed": failed})
    return 1 if failed else 0


def parser() -> argparse.ArgumentParser:
    from corvane import __version__

    top = argparse.ArgumentParser(prog="corvane", description="Look into a corvane store, or sync it from the server.")
    top.add_argument("--version", action="version", version=f"corvane {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    ls = commands.add_parser("ls", help="list the categories of a store",
                             description="Each category: kind (whole table or monthly), month count, first "
                                         "and last stored day, rows (summed over its files) and size.")
    ls.add_argument("root", metavar="ROOT", help="the store's root directory, or s3://bucket/prefix")
    ls.add_argument("--json", action="store_true", help="print one JSON document instead of a table")
    ls.set_defaults(run=command_ls)

    info = commands.add_parser("info", help="months, days and rows of one category",
                               description="Per month: the days and rows stored; then the months of the "
                                           "range that have no file. The range defaults to the first to the "
                                           "last stored month.")
    info.add_argument("root", metavar="ROOT")
    info.add_argument("category", metavar="CATEGORY")
    info.add_argument("--start", metavar="D", help="first day of the range (its month is included)")
    info.add_argument("--end", metavar="D", help="last day of the range (its month is included)")
    info.add_argument("--json", action="store_true", help="print one JSON document instead of a table")
    info.set_defaults(run=command_info)

    verify = commands.add_parser("verify", help="read every file and report damage",
                                 description="Reads every table and month file; reports unreadable or damaged "
                                             "files, files that are neither a table nor a month, and leftover "
                                             "temporary files. Exit status 1 when a file is damaged.")
    verify.add_argument("root", metavar="ROOT")
    verify_output = verify.add_mutually_exclusive_group()
    verify_output.add_argument("--json", action="store_true", help="print one JSON document instead of lines")
    verify_output.add_argument("--quiet", action="store_true",
                               help="print only the problems found, without the closing count (for cron)")
    verify.set_defaults(run=command_verify)

    for name, help_text, description in (
        ("sync", "bring categories up to date from the server",
         "Each CATEGORY is synced on its own: a whole table (server key cv1-CATEGORY) with UpdateUnstackParquet, a "
         "monthly category (keys cv1-CATEGORY-YYYYMM) with UpdatePivotParquet over --start to --end, by default "
         "from the latest stored month to today. Whole months are synced: every month the range touches, so "
         "--start 2024-01-15 also syncs January from its first day. One summary line per category; a category "
         "that fails is reported on standard error and the others still run; exit status 1 when any failed, 2 "
         "for a wrong command line. Account and token come from CORVANE_ACCOUNT and CORVANE_TOKEN, the server "
         "from CORVANE_HOST and CORVANE_PORT."),
        ("correct", "sync monthly categories with the server's values winning",
         "Like sync for monthly categories, but the server's values replace stored ones (CorrectPivotParquet) "
         "over --start to --end (whole months, as for sync). One summary line per category with the number of "
         "stored cells changed."),
    ):
        sync = commands.add_parser(name, help=help_text, description=description)
        sync.add_argument("root", metavar="ROOT", help="the store's root directory (created when missing), or s3://...")
        sync.add_argument("categories", metavar="CATEGORY", nargs="+")
        sync.add_argument("--start", metavar="D",
                          help="first day of the range; its whole month is synced (2024-01-15 also syncs January)")
        sync.add_argument("--end", metavar="D", help="last day of the range; its whole month is synced")
        output = sync.add_mutually_exclusive_group()
        output.add_argument("--quiet", action="store_true", help="print only failures (for cron)")
        output.add_argument("--json", action="store_true",
                            help="print one JSON document of what was done instead of lines (failures also go "
                                 "to standard error)")
        sync.add_argument("--verbose", action="store_true",
                          help="also print the store's line for every file (with --json: each category's lines)")
        sync.set_defaults(run=command_sync)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    try:
        return run(argv)
    finally:
        # Here rather than at exit, where a reader that went away would make the flush print a traceback.
        flush_output()


def run(argv: Sequence[str] | None) -> int:
    args = parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except UsageError as failure:
        say(f"corvane {args.command}: {failure} (see corvane {args.command} --help)", file=sys.stderr)
        return 2
    except Failure as failure:
        say(f"corvane {args.command}: {failure}", file=sys.stderr)
        return 1
    except Exception as error:
        say(f"corvane {args.command}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return status
