"""Run by test_sandbox.py in a child process: one whole-table sync of a hostile server value with a
real client, reported as one line of JSON, so that a value that crashes the client fails its test
instead of taking the suite down.

Usage: python hostile_sync.py PORT STORE CATEGORY
"""

import json
import os
import sys

import pandas as pd

import corvane.CVClient as CVClient

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from local_redis import PortRedirect  # noqa: E402


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def main(port, store, category):
    CVClient.redis = PortRedirect(int(port))
    client = CVClient.CorvaneClient("analyst", "t0ken-42", store)
    is_unique = pd.Index.__dict__["is_unique"]
    before = resident_bytes()
    try:
        client.UpdateUnstackParquet(category)
        outcome = {"error": None, "message": ""}
    except Exception as error:
        outcome = {"error": type(error).__name__, "message": str(error)}
    outcome["resident_growth"] = resident_bytes() - before
    outcome["pandas_unchanged"] = pd.Index.__dict__["is_unique"] is is_unique and not pd.Index([1, 1]).is_unique
    print(json.dumps(outcome))


if __name__ == "__main__":
    main(*sys.argv[1:])
