"""Example job: write a whole-category table, merge an update into it and read it back.

Usage: python examples/main_job.py [store_directory]   (a temporary directory when omitted)
"""

import sys
import tempfile

import pandas as pd

from corvane.FrameVault import ParquetDataManager

KEYS = ["order_book_id", "start_date", "end_date"]


def instruments(codes, listed):
    return pd.DataFrame(
        {
            "order_book_id": codes,
            "start_date": [listed] * len(codes),
            "end_date": ["2099-12-31"] * len(codes),
            "exchange": ["XSHG" if code.startswith("6") else "XSHE" for code in codes],
            "lot_size": [100] * len(codes),
        }
    )


def run(root):
    store = ParquetDataManager(root)
    store.update_unstack_category("instruments", instruments(["600000", "000001", "000002"], "2020-01-02"), KEYS)
    store.update_unstack_category("instruments", instruments(["000002", "300750"], "2020-01-02"), KEYS)
    table = store.read_unstack_category("instruments")
    # Handing back what is stored changes nothing, so nothing is rewritten.
    store.update_unstack_category("instruments", table, KEYS)
    print(f"instruments: {len(table)} rows stored under {root}")
    print(table.to_string())


if __name__ == "__main__":
    if len(sys.argv) > 1:
        run(sys.argv[1])
    else:
        with tempfile.TemporaryDirectory() as directory:
            run(directory)
