"""Main job: fill a local store from a Redis-protocol server and read it back.

Starts redis-server on 127.0.0.1:6379 with a password (or uses one already running there when these
credentials work), seeds it with synthetic market data from make_market_data.py, then syncs the
instrument table and two daily categories into a local store through CorvaneClient, reads ranges
back, plans the days still to fetch, syncs once more to show that nothing is rewritten, and stops
the server if it started it.

Usage: python examples/main_job.py [store_directory]   (a temporary directory when omitted)
"""

import os
import sys
import tempfile
import time

import pandas as pd
import redis

import make_market_data

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from local_redis import LocalRedis  # noqa: E402

ACCOUNT = "demo"
TOKEN = "local-token"
PASSWORD = f"{ACCOUNT}:{TOKEN}"
PORT = 6379
FIRST, LAST = "2021-01-01", "2023-12-31"
DAILY = ["close", "volume"]


def start_server_if_needed(workdir):
    """Returns the server we started, or None when a server with our password already runs."""
    try:
        if redis.Redis(host="127.0.0.1", port=PORT, password=PASSWORD).ping():
            print(f"using the redis-server already running on 127.0.0.1:{PORT}")
            return None
    except redis.AuthenticationError:
        sys.exit(f"a server on 127.0.0.1:{PORT} refuses the job's credentials; stop it or free the port")
    except redis.ConnectionError:
        pass  # nothing listening: start our own
    except redis.RedisError as error:
        sys.exit(f"the server on 127.0.0.1:{PORT} rejects the job's credentials: {error}")
    server = LocalRedis(PASSWORD, port=PORT, workdir=workdir).start()
    print(f"started redis-server on 127.0.0.1:{PORT}")
    return server


def file_stamps(root):
    return {os.path.join(d, f): os.stat(os.path.join(d, f)).st_mtime_ns
            for d, _, files in os.walk(root) for f in files}


def sync(client):
    client.UpdateUnstackParquet("instruments")
    for category in DAILY:
        client.UpdatePivotParquet(category, FIRST, LAST)


def run(store_dir):
    from corvane.CVClient import CorvaneClient

    started = time.monotonic()
    values = make_market_data.build(first=FIRST, last=LAST)
    make_market_data.seed(redis.Redis(host="127.0.0.1", port=PORT, password=PASSWORD), values)
    print(f"seeded {len(values)} keys: the instrument table and {len(values) - 1} monthly pieces")

    os.environ["CORVANE_HOST"] = "127.0.0.1"  # the server this job seeded
    client = CorvaneClient(ACCOUNT, TOKEN, store_dir)
    print(f"server categories: {', '.join(client.r_category)}")

    sync(client)
    first_stamps = file_stamps(store_dir)

    instruments = client.GetUnstackCategory("instruments")
    spring = client.GetPivotCategory("close", "2022-03-15", "2022-06-10")
    latest_volume = client.GetPivotCategory("volume", None, None)
    calendar = pd.bdate_range("2023-12-01", "2024-01-31")
    stored, to_fetch = client.CV_db.get_download_days("close", calendar)

    print("second sync: nothing new on the server")
    sync(client)
    rewritten = [path for path, stamp in file_stamps(store_dir).items() if first_stamps.get(path) != stamp]

    print()
    print("summary")
    print(f"  store: {store_dir}")
    print(f"  instruments: {len(instruments)} rows, columns {', '.join(instruments.columns)}")
    for category in DAILY:
        months = [name for name in os.listdir(os.path.join(store_dir, category)) if name.endswith(".parquet")]
        print(f"  {category}: {len(months)} month files")
    print(f"  close 2022-03-15..2022-06-10: {spring.shape[0]} instruments x {spring.shape[1]} days, "
          f"first {spring.columns[0]}, last {spring.columns[-1]}")
    print(f"  volume, latest stored month: {latest_volume.shape[1]} days up to {latest_volume.columns[-1]}")
    print(f"  download plan for {calendar[0]:%Y-%m-%d}..{calendar[-1]:%Y-%m-%d}: {stored.shape[1]} days stored, "
          f"{len(to_fetch)} to fetch from {to_fetch[0]:%Y-%m-%d}")
    print(f"  files rewritten by the second sync: {len(rewritten)}")
    print(f"  elapsed: {time.monotonic() - started:.1f} s")
    if rewritten:
        raise SystemExit("the second sync rewrote files")


def main():
    with tempfile.TemporaryDirectory() as scratch:
        server = start_server_if_needed(scratch)
        try:
            store_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(scratch, "store")
            run(store_dir)
        finally:
            if server is not None:
                server.stop()
                print("stopped the redis-server this job started")


if __name__ == "__main__":
    main()
