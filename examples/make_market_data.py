"""Synthetic market data laid out as the client expects to find it on the server.

- "cv1-instruments": the whole instrument table (order_book_id, start_date, end_date and more).
- "cv1-<category>-YYYYMM": one pickled frame per month of each daily category, one row per
  instrument (the index) and one column per trading day ("YYYY-MM-DD").

Usage: python examples/make_market_data.py [--host H] [--port P] [--password PW] [--instruments N]
seeds a running server; main_job.py imports build() and seed() instead.
"""

import argparse
import pickle

import numpy as np
import pandas as pd

EXCHANGES = [("XSHG", "60"), ("XSHE", "00"), ("XSHE", "30")]


def instruments(count, first_day, last_day, rng):
    exchanges = rng.integers(0, len(EXCHANGES), count)
    ids = [f"{EXCHANGES[e][1]}{n:04d}.{EXCHANGES[e][0]}" for n, e in enumerate(exchanges)]
    # Most instruments were listed long before the data starts; some list or delist within it.
    span = (last_day - first_day).days
    listed = [first_day - pd.Timedelta(days=int(d)) for d in rng.integers(30, 6000, count)]
    late = rng.random(count) < 0.08
    listed = [first_day + pd.Timedelta(days=int(rng.integers(0, span))) if l else d for d, l in zip(listed, late)]
    delisted = rng.random(count) < 0.03
    ends = [max(d, first_day) + pd.Timedelta(days=int(rng.integers(60, 400))) if x else pd.Timestamp("2099-12-31")
            for d, x in zip(listed, delisted)]
    return pd.DataFrame({
        "order_book_id": ids,
        "symbol": [f"SYN{n:04d}" for n in range(count)],
        "exchange": [EXCHANGES[e][0] for e in exchanges],
        "board": ["ChiNext" if EXCHANGES[e][1] == "30" else "Main" for e in exchanges],
        "lot_size": 100,
        "start_date": [d.strftime("%Y-%m-%d") for d in listed],
        "end_date": [d.strftime("%Y-%m-%d") for d in ends],
    })


def daily_categories(table, days, rng):
    """Close prices as random walks and volumes, NaN outside each instrument's listing."""
    count = len(table)
    returns = rng.normal(0.0003, 0.02, (count, len(days)))
    close = np.round(rng.uniform(3, 150, (count, 1)) * np.exp(np.cumsum(returns, axis=1)), 2)
    volume = np.round(rng.lognormal(13, 1, (count, len(days))), -2)
    stamps = days.values
    listed = pd.to_datetime(table["start_date"]).values[:, None]
    ended = pd.to_datetime(table["end_date"]).values[:, None]
    outside = (stamps[None, :] < listed) | (stamps[None, :] > ended)
    close[outside] = np.nan
    volume[outside] = np.nan
    labels = days.strftime("%Y-%m-%d")
    index = pd.Index(table["order_book_id"], name="order_book_id")
    return {
        "close": pd.DataFrame(close, index=index, columns=labels),
        "volume": pd.DataFrame(volume, index=index, columns=labels),
    }


def build(count=3000, first="2021-01-01", last="2023-12-31", seed=20240301):
    """All server values by key: the instrument table and every month of each daily category."""
    rng = np.random.default_rng(seed)
    days = pd.bdate_range(first, last)
    table = instruments(count, days[0], days[-1], rng)
    values = {"cv1-instruments": table}
    for category, frame in daily_categories(table, days, rng).items():
        for month, positions in pd.Series(range(len(days))).groupby(days.strftime("%Y%m")):
            values[f"cv1-{category}-{month}"] = frame.iloc[:, positions.to_numpy()].copy()
    return values


def seed(connection, values):
    """Stores every value pickled under its key, in one pipeline."""
    pipe = connection.pipeline(transaction=False)
    for key, value in values.items():
        pipe.set(key, pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL))
    pipe.execute()


if __name__ == "__main__":
    import redis

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=6379)
    parser.add_argument("--password", default="demo:local-token")
    parser.add_argument("--instruments", type=int, default=3000)
    args = parser.parse_args()
    data = build(args.instruments)
    seed(redis.Redis(host=args.host, port=args.port, password=args.password), data)
    print(f"seeded {len(data)} keys on {args.host}:{args.port}")
