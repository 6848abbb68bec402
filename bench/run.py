"""Benchmarks: each corvane workload beside its floor, the least pandas/pyarrow work for the same result.

Usage: python bench/run.py [--quick] [--runs N] [--only W1,W4,W8] [--json PATH] [--peers] [--s3]
       python bench/run.py --sizes 5000x120,5000x240,20000x120 [--runs N] [--peers] [--no-memory]

Prints one table (workload, corvane median, floor median, ratio, peak memory) and writes the same
figures as JSON. Peak memory is measured in a fresh child process per workload: the largest resident
set seen while the workload runs once, above the resident set just before it. With --s3 the write and
read workloads also run against an s3:// store on a SeaweedFS server on loopback (the test extra's
weed binary), beside their local-disk figures.

With --sizes SERIESxMONTHS,... the month workloads W1, W3, W4, W5 and W8 run at each size instead (one
table with a row per size and workload; --only picks among them), each with its fresh-child peak and,
with --peers, ArcticDB's figure for the same operation from a fresh bench/peers.py process per size.
"""

import argparse
import contextlib
import json
import os
import pickle
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
import pyarrow.parquet  # noqa: F401  (imported before any pool starts)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))

from corvane.FrameVault import ParquetDataManager  # noqa: E402

FULL = {"series": 5000, "months": 120, "table_rows": 1_000_000, "table_changes": 10_000}
QUICK = {"series": 200, "months": 6, "table_rows": 20_000, "table_changes": 500}
START = "2015-01-01"
CATEGORY = "close"
TABLE = "instruments"
KEYS = ["order_book_id", "start_date", "end_date"]
# The scaling run's workloads, and the ArcticDB operation (bench/peers.py) each is set beside.
SCALING = {"W1": "write", "W3": "new_day", "W4": "read_all", "W5": "read_month", "W8": "read_series"}


def parse_sizes(text):
    """"5000x120,20000x120" -> one sizes dict per entry (no whole table: W6 is not a scaling workload)."""
    sizes = []
    for entry in filter(None, text.split(",")):
        try:
            series, months = (int(part) for part in entry.lower().split("x"))
        except ValueError:
            raise SystemExit(f"--sizes: {entry!r} is not SERIESxMONTHS (e.g. 5000x120)") from None
        if series < 3 or months < 1:
            raise SystemExit(f"--sizes: {entry!r} needs at least 3 series (W8 reads the third) and 1 month")
        sizes.append({"series": series, "months": months, "table_rows": 0, "table_changes": 0})
    if not sizes:
        raise SystemExit("--sizes: no size given")
    return sizes


def size_label(sizes):
    return f"{sizes['series']}x{sizes['months']}"


# --- data -----------------------------------------------------------------------------------------


def series_codes(count):
    return [f"{n:06d}.{'XSHG' if n % 2 else 'XSHE'}" for n in range(count)]


def pivot_frame(sizes, seed=7):
    """One row per series, one column per trading day ("%Y-%m-%d" labels), ~3% missing."""
    days = pd.bdate_range(START, periods=sizes["months"] * 31)
    days = days[days < pd.Timestamp(START) + pd.DateOffset(months=sizes["months"])]
    rng = np.random.default_rng(seed)
    values = rng.lognormal(2.5, 0.4, size=(sizes["series"], len(days)))
    values[rng.random(values.shape) < 0.03] = np.nan
    return pd.DataFrame(values, index=series_codes(sizes["series"]), columns=days.strftime("%Y-%m-%d").tolist())


def whole_table(rows, seed=11, first_id=0):
    rng = np.random.default_rng(seed)
    ids = np.arange(first_id, first_id + rows)
    return pd.DataFrame(
        {
            "order_book_id": [f"{n:07d}.XSHE" for n in ids],
            "start_date": "2015-01-05",
            "end_date": "2099-12-31",
            "symbol": [f"S{n}" for n in ids],
            "lot_size": rng.integers(1, 10, rows) * 100,
            "price": rng.lognormal(2.5, 0.4, rows),
            "listed": rng.random(rows) < 0.9,
            "exchange": rng.choice(["XSHG", "XSHE"], rows),
        }
    )


def table_update(table, changes):
    changed = table.iloc[:changes].copy()
    changed["price"] = changed["price"] * 1.01
    fresh = whole_table(changes, seed=12, first_id=len(table))
    return pd.concat([changed, fresh], ignore_index=True)


def month_groups(frame):
    """Month key -> the frame's columns of that month, from the label text alone."""
    months = {}
    for position, label in enumerate(frame.columns):
        months.setdefault(label[:7], []).append(position)
    return {month: frame.iloc[:, positions] for month, positions in months.items()}


# --- workloads ------------------------------------------------------------------------------------


class Workload:
    """setup() runs untimed before each run; corvane() and floor() are the timed bodies."""

    def __init__(self, name, title, setup, corvane, floor):
        self.name, self.title, self.setup, self.corvane, self.floor = name, title, setup, corvane, floor


def quiet():
    """Status lines and progress bars are part of the work, but not of the report."""
    sink = open(os.devnull, "w")
    stack = contextlib.ExitStack()
    stack.enter_context(sink)
    stack.enter_context(contextlib.redirect_stdout(sink))
    stack.enter_context(contextlib.redirect_stderr(sink))
    return stack


def fresh_dir(path):
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)


def write_months_plainly(frame, directory):
    os.makedirs(directory, exist_ok=True)
    for month, part in month_groups(frame).items():
        part.to_parquet(f"{directory}/{CATEGORY}_{month}.parquet")


def read_months_plainly(paths, workers):
    with ThreadPoolExecutor(max_workers=workers) as pool:
        frames = list(pool.map(pd.read_parquet, paths))
    joined = pd.concat(frames, axis=1)
    return joined.sort_index(axis=1)


# W8's series: one from the middle of the frame.
ONE_SERIES = series_codes(3)[-1]


def read_rows_plainly(paths, rows, workers):
    """The given rows of every month: pyarrow filters on the stored index column, then one join."""
    import pyarrow.parquet as pq

    def one(path):
        return pq.read_table(path, filters=[("__index_level_0__", "in", rows)]).to_pandas()

    with ThreadPoolExecutor(max_workers=workers) as pool:
        frames = list(pool.map(one, paths))
    return pd.concat(frames, axis=1).sort_index(axis=1)


def daily_increment(frame, last_month):
    """W3's new day: the latest day of the latest month that the frame lacks, so that the increment
    really adds a column (the frame ends on the month's last business day, so the next one lies in
    another month)."""
    first_of_month = pd.Timestamp(last_month + "-01")
    month_days = pd.date_range(first_of_month, first_of_month + pd.offsets.MonthEnd(0)).strftime("%Y-%m-%d")
    next_day = max(set(month_days) - set(frame.columns))
    return pd.DataFrame({next_day: frame.iloc[:, -1].to_numpy() * 1.001}, index=frame.index)


def build_workloads(work, sizes, data):
    frame, table, update = data["frame"], data["table"], data["update"]
    store_root, floor_root = f"{work}/store", f"{work}/floor"
    stored_root = f"{work}/stored"  # all months stored once, read by W2 to W5
    one_root = f"{work}/one"  # only the latest month stored, for W3's scaling check
    months = sorted(month_groups(frame))
    last_month = months[-1]
    # The floors read and merge files as pandas writes them by default; corvane reads its own.
    plain_root, plain_one_root = f"{work}/plain", f"{work}/plain-one"
    stored_paths = [f"{plain_root}/{CATEGORY}/{CATEGORY}_{m}.parquet" for m in months]
    increment = daily_increment(frame, last_month)

    def prepare_stored():
        if not os.path.exists(stored_root):
            with quiet():
                ParquetDataManager(stored_root).update_pivot_category(frame.copy(deep=False), CATEGORY)
                ParquetDataManager(one_root).update_pivot_category(
                    frame[[c for c in frame.columns if c.startswith(last_month)]].copy(deep=False), CATEGORY
                )
            write_months_plainly(frame, f"{plain_root}/{CATEGORY}")
            write_months_plainly(frame[[c for c in frame.columns if c.startswith(last_month)]],
                                 f"{plain_one_root}/{CATEGORY}")

    synced_root = f"{work}/synced"  # all months as a client sync wrote them, for W7's re-sync

    def prepare_synced():
        prepare_stored()
        if not os.path.exists(synced_root):
            with quiet():
                data["client"](synced_root).UpdatePivotParquet(CATEGORY, months[0] + "-01", frame.columns[-1])

    def copy_tree(source, target):
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(source, target)

    state = {}
    workloads = [
        Workload(
            "W1", f"full write, {len(months)} months",
            lambda: (fresh_dir(store_root), fresh_dir(floor_root)),
            lambda: ParquetDataManager(store_root).update_pivot_category(frame.copy(deep=False), CATEGORY),
            lambda: write_months_plainly(frame, f"{floor_root}/{CATEGORY}"),
        ),
        Workload(
            "W2", "identical re-sync",
            prepare_stored,
            lambda: ParquetDataManager(stored_root).update_pivot_category(frame.copy(deep=False), CATEGORY),
            lambda: [pd.read_parquet(p) for p in stored_paths],
        ),
        Workload(
            "W3", f"daily increment, {len(months)} months stored",
            lambda: (prepare_stored(), copy_tree(stored_root, store_root), copy_tree(plain_root, floor_root)),
            lambda: ParquetDataManager(store_root).update_pivot_category(increment.copy(deep=False), CATEGORY),
            lambda: plain_increment(f"{floor_root}/{CATEGORY}/{CATEGORY}_{last_month}.parquet", increment),
        ),
        Workload(
            "W3-1", "daily increment, 1 month stored",
            lambda: (prepare_stored(), copy_tree(one_root, store_root), copy_tree(plain_one_root, floor_root)),
            lambda: ParquetDataManager(store_root).update_pivot_category(increment.copy(deep=False), CATEGORY),
            lambda: plain_increment(f"{floor_root}/{CATEGORY}/{CATEGORY}_{last_month}.parquet", increment),
        ),
        Workload(
            "W4", f"{len(months)}-month read",
            prepare_stored,
            lambda: ParquetDataManager(stored_root).read_pivot_category(CATEGORY, frame.columns[0], frame.columns[-1]),
            lambda: read_months_plainly(stored_paths, 10),
        ),
        Workload(
            "W4-w1", f"{len(months)}-month read, max_workers=1",
            prepare_stored,
            lambda: ParquetDataManager(stored_root, 1).read_pivot_category(CATEGORY, frame.columns[0], frame.columns[-1]),
            lambda: read_months_plainly(stored_paths, 1),
        ),
        Workload(
            "W5", "one-month read",
            prepare_stored,
            lambda: ParquetDataManager(stored_root).read_pivot_category(CATEGORY),
            lambda: pd.read_parquet(stored_paths[-1]),
        ),
        Workload(
            "W6", f"whole-table merge, {len(table):,} rows",
            lambda: prepare_table(work, table, state),
            lambda: ParquetDataManager(state["store"]).update_unstack_category(TABLE, update, KEYS),
            lambda: plain_table_merge(state["floor"], update),
        ),
        Workload(
            "W7", f"client sync, {len(months)} months",
            lambda: (fresh_dir(store_root), fresh_dir(floor_root)),
            lambda: data["client"]().UpdatePivotParquet(CATEGORY, months[0] + "-01", frame.columns[-1]),
            lambda: plain_client_sync(data["server"], months, f"{floor_root}/{CATEGORY}"),
        ),
        Workload(
            "W7-re", f"client re-sync, {len(months)} unchanged months",
            prepare_synced,
            lambda: data["client"](synced_root).UpdatePivotParquet(CATEGORY, months[0] + "-01", frame.columns[-1]),
            lambda: plain_client_resync(data["server"], months, stored_paths),
        ),
        Workload(
            "W8", f"one series over {len(months)} months",
            prepare_stored,
            lambda: ParquetDataManager(stored_root).read_pivot_rows(CATEGORY, [ONE_SERIES], frame.columns[0], frame.columns[-1]),
            lambda: read_rows_plainly(stored_paths, [ONE_SERIES], 10),
        ),
    ]
    return workloads


def plain_increment(path, increment):
    stored = pd.read_parquet(path)
    merged = stored.combine_first(increment)
    merged.to_parquet(path)


def prepare_table(work, table, state):
    state["store"], state["floor"] = f"{work}/table-store", f"{work}/table-floor"
    for root in (state["store"], state["floor"]):
        fresh_dir(f"{root}/{TABLE}")
        table.to_parquet(f"{root}/{TABLE}/{TABLE}.parquet")


def plain_table_merge(root, update):
    path = f"{root}/{TABLE}/{TABLE}.parquet"
    stored = pd.read_parquet(path)
    merged = pd.concat([stored, update]).drop_duplicates(subset=KEYS, keep="last")
    merged.to_parquet(path)


def plain_client_sync(server, months, directory):
    connection = server.admin()
    frames = [pickle.loads(connection.get(f"cv1-{CATEGORY}-{m.replace('-', '')}")) for m in months]
    write_months_plainly(pd.concat(frames, axis=1), directory)


def plain_client_resync(server, months, stored_paths):
    """Loads every month as the sync does, then reads the stored months to find them unchanged."""
    connection = server.admin()
    [pickle.loads(connection.get(f"cv1-{CATEGORY}-{m.replace('-', '')}")) for m in months]
    [pd.read_parquet(p) for p in stored_paths]


# --- measuring ------------------------------------------------------------------------------------


def rss_bytes():
    with open("/proc/self/statm") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def peak_rss_during(body):
    """Largest resident set seen while body() runs, above the resident set before it."""
    baseline = rss_bytes()
    peak = [baseline]
    done = threading.Event()

    def sample():
        while not done.is_set():
            peak[0] = max(peak[0], rss_bytes())
            time.sleep(0.002)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        result = body()
    finally:
        done.set()
        sampler.join()
    peak[0] = max(peak[0], rss_bytes())
    return peak[0] - baseline, result


def timed(workload, which):
    workload.setup()
    body = getattr(workload, which)
    with quiet():
        start = time.perf_counter()
        body()
        return time.perf_counter() - start


def median_seconds(workload, runs, scale_runs=True):
    """Medians of corvane and floor runs taken in turns, so both see the same machine. Short workloads
    get more runs (unless told not to): a few milliseconds are easily disturbed."""
    first = timed(workload, "corvane")
    if scale_runs:
        runs = max(runs, min(200, int(0.5 / max(first, 1e-4))))
    times = {"corvane": [], "floor": []}
    for _ in range(runs):
        for which in times:
            times[which].append(timed(workload, which))
    return statistics.median(times["corvane"]), statistics.median(times["floor"]), runs


def load_data(sizes, work):
    frame = pivot_frame(sizes)
    table = whole_table(sizes["table_rows"])
    return {"frame": frame, "table": table, "update": table_update(table, sizes["table_changes"])}


def attach_server(data, work):
    """A local redis-server holding the frame month by month, and a factory for a client on it."""
    from local_redis import LocalRedis, PortRedirect
    from corvane import CVClient

    server = LocalRedis(password="bench:token").start()
    server.seed({f"cv1-{CATEGORY}-{month.replace('-', '')}": part for month, part in month_groups(data["frame"]).items()})
    CVClient.redis = PortRedirect(server.port)

    def client(root=f"{work}/store"):
        with quiet():
            return CVClient.CorvaneClient("bench", "token", root)

    data["server"], data["client"] = server, client
    return server


def child_peak(args, name, sizes=None):
    """Runs one workload once in a fresh interpreter and returns its peak memory figure."""
    command = [sys.executable, os.path.abspath(__file__), "--child", name, "--work", args.work]
    if args.sizes:
        command += ["--sizes", size_label(sizes)]
    elif args.quick:
        command.append("--quick")
    if args.warm:
        command.append("--warm")
    output = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


def run_child(args, sizes):
    data = load_data(sizes, args.work)
    if args.child.startswith("W7"):
        attach_server(data, args.work)
    workloads = {w.name: w for w in build_workloads(args.work, sizes, data)}
    workload = workloads[args.child]
    if args.warm:
        workload.setup()
        with quiet():
            workload.corvane()
    workload.setup()
    with quiet():
        peak, result = peak_rss_during(workload.corvane)
    size = int(result.memory_usage(deep=True).sum()) if isinstance(result, pd.DataFrame) else None
    if "server" in data:
        data["server"].stop()
    print(json.dumps({"peak_bytes": peak, "result_bytes": size}))


def run_profiled(args, sizes):
    """Runs one workload's corvane body --runs times in this process, for a profiler to watch:
    `py-spy record --gil -- .venv/bin/python bench/run.py --profile W1 --runs 10` (with `--sizes 5000x240`,
    at that one size), or `perf record -k CLOCK_MONOTONIC` and bench/fold_profile.py."""
    data = load_data(sizes, args.work)
    if args.profile.startswith("W7"):
        attach_server(data, args.work)
    workload = {w.name: w for w in build_workloads(args.work, sizes, data)}[args.profile]
    for _ in range(args.runs):
        workload.setup()
        with quiet():
            started, clock = time.perf_counter(), time.monotonic()
            workload.corvane()
            elapsed = time.perf_counter() - started
        ended = time.monotonic()
        print(f"{args.profile}: {elapsed:.3f}s", flush=True)
        # The run's span on CLOCK_MONOTONIC, which `perf record -k CLOCK_MONOTONIC` stamps its samples with,
        # so bench/fold_profile.py --windows keeps only the timed bodies' samples.
        print(f"{args.profile}: monotonic {clock:.6f} to {ended:.6f}", file=sys.stderr, flush=True)
    if "server" in data:
        data["server"].stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", default="", help="comma-separated workload names")
    parser.add_argument("--json", help="where the figures go (default bench/results/latest.json; "
                                         "with --sizes, bench/results/scaling.json)")
    parser.add_argument("--sizes", metavar="SERIESxMONTHS,...",
                        help="run W1, W3, W4, W5 and W8 at each size (e.g. 5000x120,5000x240,20000x120)")
    parser.add_argument("--no-memory", action="store_true", help="skip the per-workload memory runs")
    parser.add_argument("--warm", action="store_true",
                        help="memory runs: run the workload once first, so the peak leaves out what a process pays on "
                             "first use (lazily imported modules, the decoding threads' allocator arenas)")
    parser.add_argument("--peers", action="store_true", help="also time ArcticDB and deltalake (own venv)")
    parser.add_argument("--s3", action="store_true", help="also time W1 to W5 on a loopback SeaweedFS")
    parser.add_argument("--profile", metavar="NAME", help="run one workload --runs times, untimed against its floor, for a profiler")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--work", help=argparse.SUPPRESS)
    args = parser.parse_args()
    results = os.path.join(os.path.dirname(__file__), "results")
    args.json = args.json or os.path.join(results, "scaling.json" if args.sizes else "latest.json")
    scaling = parse_sizes(args.sizes) if args.sizes else None
    if args.profile and scaling and len(scaling) != 1:
        raise SystemExit("--profile takes one size in --sizes")
    if scaling and args.s3:
        raise SystemExit("--sizes runs on local disk only; --s3 runs the default sizes")
    sizes = scaling[0] if scaling else QUICK if args.quick else FULL
    if args.child:
        return run_child(args, sizes)

    args.work = tempfile.mkdtemp(prefix="corvane-bench-")
    if scaling and not args.profile:
        try:
            return run_scaling(args, scaling)
        finally:
            shutil.rmtree(args.work, ignore_errors=True)
    if args.profile:
        try:
            return run_profiled(args, sizes)
        finally:
            shutil.rmtree(args.work, ignore_errors=True)
    try:
        data = load_data(sizes, args.work)
        wanted = set(filter(None, args.only.split(",")))
        server = attach_server(data, args.work) if not wanted or wanted & {"W7", "W7-re"} else None
        try:
            rows = measure(args, sizes, data)
        finally:
            if server:
                server.stop()
        peers = measure_peers(args, data) if args.peers or "peers" in wanted else None
        remote = measure_s3(args, data, rows) if args.s3 else None
    finally:
        shutil.rmtree(args.work, ignore_errors=True)
    report(args, sizes, rows, peers, remote)


def measure(args, sizes, data, wanted=None):
    wanted = wanted or set(filter(None, args.only.split(",")))
    rows = []
    for workload in build_workloads(args.work, sizes, data):
        if wanted and workload.name not in wanted:
            continue
        corvane, floor, runs = median_seconds(workload, args.runs, scale_runs=not args.quick)
        row = {"workload": workload.name, "title": workload.title, "corvane_s": corvane, "floor_s": floor,
               "ratio": corvane / floor, "runs": runs}
        if not args.no_memory:
            row.update(child_peak(args, workload.name, sizes))
        rows.append(row)
        print(f"  measured {workload.name}: {corvane:.3f}s vs {floor:.3f}s", file=sys.stderr)
    return rows


PEER_WORKLOADS = {
    "write": "full write, {months} months",
    "new_day": "one new day into the latest month",
    "read_all": "read all {months} months",
    "read_month": "read one month",
    "read_3_months": "read 3 months from mid-month",
}


def measure_peers(args, data):
    """corvane, then each peer (bench/peers.py in its own venv), on the same frame and ranges. The stored
    history for the new day is the frame without its last day, so the day is new in every store."""
    frame = data["frame"]
    work = f"{args.work}/peers"
    fresh_dir(work)
    frame.to_parquet(f"{work}/frame.parquet")
    months = sorted(month_groups(frame))
    start, end = three_month_range(months)
    full, base, scratch = f"{work}/full", f"{work}/base", f"{work}/scratch"
    with quiet():
        ParquetDataManager(full).update_pivot_category(frame.copy(deep=False), CATEGORY)
        ParquetDataManager(base).update_pivot_category(frame.iloc[:, :-1].copy(deep=False), CATEGORY)

    def copy_base():
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.copytree(base, scratch)

    bodies = {
        "write": (lambda: fresh_dir(scratch),
                  lambda: ParquetDataManager(scratch).update_pivot_category(frame.copy(deep=False), CATEGORY)),
        "new_day": (copy_base,
                    lambda: ParquetDataManager(scratch).update_pivot_category(frame.iloc[:, -1:].copy(), CATEGORY)),
        "read_all": (lambda: None,
                     lambda: ParquetDataManager(full).read_pivot_category(CATEGORY, frame.columns[0], frame.columns[-1])),
        "read_month": (lambda: None, lambda: ParquetDataManager(full).read_pivot_category(CATEGORY)),
        "read_3_months": (lambda: None, lambda: ParquetDataManager(full).read_pivot_category(CATEGORY, start, end)),
    }
    corvane = {}
    for name, (setup, body) in bodies.items():
        # As in bench/peers.py: set-up copies are flushed before the clock starts, since the peers' fsyncs
        # would otherwise pay for them.
        workload = Workload(name, name, lambda setup=setup: (setup(), os.sync()), body, None)
        first = timed(workload, "corvane")
        runs = max(args.runs, min(200, int(0.5 / max(first, 1e-4))))
        corvane[name] = statistics.median(timed(workload, "corvane") for _ in range(runs))
    print("  measured corvane for the peer table; timing the peers", file=sys.stderr)
    peers = run_peers(args, work, start, end)
    rows = []
    for name, title in PEER_WORKLOADS.items():
        row = {"workload": name, "title": title.format(months=len(months)), "corvane_s": corvane[name]}
        for peer, timings in peers["timings"].items():
            row[f"{peer}_s"] = timings[name]
            row[f"{peer}_ratio"] = timings[name] / corvane[name]
        rows.append(row)
    return {"range_3_months": [start, end], "versions": peers["versions"], "rows": rows,
            "extra": {peer: {k: v for k, v in t.items() if k not in PEER_WORKLOADS} for peer, t in peers["timings"].items()}}


def three_month_range(months):
    """The peers' 3-month read: from the 15th three months before the latest month to its 14th."""
    start = f"{months[max(0, len(months) - 4)]}-15"
    end = (pd.Timestamp(f"{months[-1]}-15") - pd.Timedelta(days=1)).strftime("%Y-%m-%d")
    return start, end


def run_peers(args, work, start, end, options=()):
    """bench/peers.py in its own venv, in a fresh process, on the frame saved as work/frame.parquet."""
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHON=os.environ.get("PYTHON", sys.executable))
    python = subprocess.run(["bash", f"{here}/peers_env.sh"], check=True, stdout=subprocess.PIPE, text=True,
                            env=env).stdout.strip()
    command = [python, f"{here}/peers.py", "--frame", f"{work}/frame.parquet", "--work", work,
               "--start", start, "--end", end, "--runs", str(args.runs), *options]
    output = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True).stdout
    return json.loads(output.strip().splitlines()[-1])


# --- scaling --------------------------------------------------------------------------------------


def run_scaling(args, scaling):
    """SCALING's workloads at each size, each size in its own work directory (removed after it)."""
    wanted = set(filter(None, args.only.split(","))) or set(SCALING)
    if wanted - set(SCALING):
        raise SystemExit(f"--sizes runs {', '.join(SCALING)}; not {', '.join(sorted(wanted - set(SCALING)))}")
    rows, versions = [], {}
    for sizes in scaling:
        label = size_label(sizes)
        print(f"  size {label}", file=sys.stderr)
        at_size = argparse.Namespace(**dict(vars(args), work=f"{args.work}/{label}"))
        os.makedirs(at_size.work)
        try:
            data = load_data(sizes, at_size.work)
            measured = measure(at_size, sizes, data, wanted)
            if args.peers:
                peer = scaling_peer(at_size, data)
                versions = peer["versions"]
                for row in measured:
                    seconds = peer["timings"]["arcticdb"][SCALING[row["workload"]]]
                    row.update(arcticdb_s=seconds, arcticdb_ratio=seconds / row["corvane_s"])
        finally:
            shutil.rmtree(at_size.work, ignore_errors=True)
        rows += [dict(row, size=label, series=sizes["series"], months=sizes["months"]) for row in measured]
    report_scaling(args, rows, versions)


def scaling_peer(args, data):
    """ArcticDB's figures for the scaling workloads on the same frame; W8's series read as one column."""
    frame = data["frame"]
    work = f"{args.work}/peers"
    fresh_dir(work)
    frame.to_parquet(f"{work}/frame.parquet")
    start, end = three_month_range(sorted(month_groups(frame)))
    return run_peers(args, work, start, end, ["--peers", "arcticdb", "--series", ONE_SERIES])


def report_scaling(args, rows, versions):
    print(f"corvane scaling: pandas {pd.__version__}, pyarrow {pyarrow.__version__}, "
          f"Python {platform.python_version()}, {os.cpu_count()} cores"
          + (f"; ArcticDB {versions['arcticdb']} (ratio = ArcticDB / corvane)" if versions else ""))
    print(f"{'size':<11} {'workload':<40} {'corvane':>9} {'floor':>9} {'ratio':>6} {'peak MB':>8} {'result MB':>9} "
          f"{'peak/res':>8}" + (f" {'ArcticDB':>9} {'ratio':>6}" if versions else ""))
    for row in rows:
        peak, result = row.get("peak_bytes"), row.get("result_bytes")
        line = (f"{row['size']:<11} {row['workload'] + ' ' + row['title']:<40} {row['corvane_s']:>8.3f}s "
                f"{row['floor_s']:>8.3f}s {row['ratio']:>6.2f} {megabytes(peak):>8.1f} {megabytes(result):>9.1f} "
                f"{peak / result if peak is not None and result else float('nan'):>8.2f}")
        if "arcticdb_s" in row:
            line += f" {row['arcticdb_s']:>8.3f}s {row['arcticdb_ratio']:>6.2f}"
        print(line)
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as handle:
        json.dump({"pandas": pd.__version__, "pyarrow": pyarrow.__version__, "python": platform.python_version(),
                   "cores": os.cpu_count(), "sizes": args.sizes, "rows": rows,
                   **({"peer_versions": versions} if versions else {})}, handle, indent=2)
    print(f"figures written to {args.json}")


def megabytes(count):
    return count / 2**20 if count is not None else float("nan")


S3_WORKLOADS = ["W1", "W2", "W3", "W4", "W4-w1", "W4-gets", "W5"]


def measure_s3(args, data, local_rows):
    """The write and read workloads on an s3:// root of a SeaweedFS server on loopback, beside the same
    workloads on local disk (taken from local_rows, or measured here when --only left them out)."""
    from local_seaweedfs import LocalSeaweedFS

    import obstore

    import corvane._object_storage as object_storage

    frame = data["frame"]
    months = sorted(month_groups(frame))
    last_month = months[-1]
    increment = daily_increment(frame, last_month)
    server = LocalSeaweedFS(f"{args.work}/seaweedfs").start()
    saved = {name: os.environ.get(name) for name in server.environment()}
    try:
        server.create_bucket("bench")
        os.environ.update(server.environment())
        stored, scratch = "s3://bench/stored", "s3://bench/scratch"
        last_key = f"{CATEGORY}/{CATEGORY}_{last_month}.parquet"
        with quiet():
            ParquetDataManager(stored).update_pivot_category(frame.copy(deep=False), CATEGORY)
        counter = iter(range(10**9))

        def fresh_prefix():
            state["root"] = f"s3://bench/w1-{next(counter)}"

        def restore_last_month():
            # W3 rewrites only the latest month: a server-side copy puts the stored one back.
            store, _ = object_storage.store_for(stored)
            obstore.copy(store, f"stored/{last_key}", f"scratch/{last_key}")

        state = {}
        with quiet():
            ParquetDataManager(scratch).update_pivot_category(frame.copy(deep=False), CATEGORY)
        bodies = {
            "W1": (fresh_prefix, lambda: ParquetDataManager(state["root"]).update_pivot_category(frame.copy(deep=False), CATEGORY)),
            "W2": (lambda: None, lambda: ParquetDataManager(stored).update_pivot_category(frame.copy(deep=False), CATEGORY)),
            "W3": (restore_last_month, lambda: ParquetDataManager(scratch).update_pivot_category(increment.copy(deep=False), CATEGORY)),
            "W4": (lambda: None, lambda: ParquetDataManager(stored).read_pivot_category(CATEGORY, frame.columns[0], frame.columns[-1])),
            "W4-w1": (lambda: None, lambda: ParquetDataManager(stored, 1).read_pivot_category(CATEGORY, frame.columns[0], frame.columns[-1])),
            "W5": (lambda: None, lambda: ParquetDataManager(stored).read_pivot_category(CATEGORY)),
            # The transport alone: W4's objects fetched whole on as many threads, nothing decoded.
            "W4-gets": (lambda: None, lambda: fetch_all(stored_months, 10)),
        }
        stored_months = [f"{stored}/{CATEGORY}/{name}" for name in object_storage.list_directory(f"{stored}/{CATEGORY}")]
        local = {row["workload"]: row["corvane_s"] for row in local_rows}
        missing = [name for name in S3_WORKLOADS if name not in local and name != "W4-gets"]
        if missing:
            for workload in build_workloads(args.work, QUICK if args.quick else FULL, data):
                if workload.name in missing:
                    local[workload.name] = median_seconds(workload, args.runs, scale_runs=False)[0]
        local["W4-gets"] = local["W4"]  # beside the local read it would have to match
        rows = []
        for name in S3_WORKLOADS:
            setup, body = bodies[name]
            workload = Workload(name, name, setup, body, None)
            seconds = statistics.median(timed(workload, "corvane") for _ in range(args.runs))
            rows.append({"workload": name, "local_s": local[name], "s3_s": seconds, "ratio": seconds / local[name]})
            print(f"  measured {name} on s3: {seconds:.3f}s", file=sys.stderr)
        return rows
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        server.stop()


def fetch_all(paths, threads):
    import corvane._object_storage as object_storage

    with ThreadPoolExecutor(threads) as pool:
        return sum(len(data) for data in pool.map(object_storage.read_bytes, paths))


def report_s3(rows, titles):
    titles = {**titles, "W4-gets": "the GETs alone (beside W4's local read)"}
    print("local disk and s3:// on a loopback SeaweedFS server; ratio = s3 / local")
    print(f"{'workload':<44} {'local':>9} {'s3':>9} {'ratio':>6}")
    for row in rows:
        print(f"{row['workload'] + ' ' + titles.get(row['workload'], ''):<44} {row['local_s']:>8.3f}s "
              f"{row['s3_s']:>8.3f}s {row['ratio']:>6.2f}")


def report_peers(peers):
    names = sorted({key[:-2] for row in peers["rows"] for key in row if key.endswith("_s")} - {"corvane"})
    print(f"peers ({', '.join(f'{k} {v}' for k, v in peers['versions'].items())}); ratio = peer / corvane")
    print(f"{'workload':<40} {'corvane':>9}" + "".join(f" {name:>10} {'ratio':>6}" for name in names))
    for row in peers["rows"]:
        print(f"{row['title']:<40} {row['corvane_s']:>8.3f}s"
              + "".join(f" {row[name + '_s']:>9.3f}s {row[name + '_ratio']:>6.2f}" for name in names))


def report(args, sizes, rows, peers=None, remote=None):
    print(f"corvane benchmarks: pandas {pd.__version__}, pyarrow {pyarrow.__version__}, "
          f"Python {platform.python_version()}, {os.cpu_count()} cores, sizes {sizes}")
    print(f"{'workload':<44} {'corvane':>9} {'floor':>9} {'ratio':>6} {'runs':>5} {'peak MB':>8} {'result MB':>9}")
    for row in rows:
        peak = row.get("peak_bytes")
        result = row.get("result_bytes")
        print(f"{row['workload'] + ' ' + row['title']:<44} {row['corvane_s']:>8.3f}s {row['floor_s']:>8.3f}s "
              f"{row['ratio']:>6.2f} {row['runs']:>5} {peak / 2**20 if peak is not None else float('nan'):>8.1f} "
              f"{result / 2**20 if result else float('nan'):>9.1f}")
    times = {row["workload"]: row["corvane_s"] for row in rows}
    if "W4" in times and "W8" in times:
        print(f"W8 / W4: one series takes {times['W8'] / times['W4']:.2f} of the full read (target <= 0.25)")
    if peers:
        report_peers(peers)
    if remote:
        report_s3(remote, {row["workload"]: row["title"] for row in rows})
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as handle:
        json.dump({"pandas": pd.__version__, "pyarrow": pyarrow.__version__, "python": platform.python_version(),
                   "cores": os.cpu_count(), "sizes": sizes, "rows": rows, **({"peers": peers} if peers else {}),
                   **({"s3": remote} if remote else {})},
                  handle, indent=2)
    print(f"figures written to {args.json}")


if __name__ == "__main__":
    main()
