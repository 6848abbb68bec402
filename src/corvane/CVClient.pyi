"""Types of the client module."""

from collections.abc import Callable
from typing import Any, ParamSpec, TypeVar

import pandas as pd
import redis

from corvane.FrameVault import ParquetDataManager

_P = ParamSpec("_P")
_R = TypeVar("_R")

def timing_decorator(func: Callable[_P, _R]) -> Callable[_P, _R]: ...

class CorvaneClient:
    """A connection to the data server and the local store it keeps up to date.

    Construction authenticates as account:api_token against the server at CORVANE_HOST
    (default 127.0.0.1) and CORVANE_PORT (default 6379), lists the server's keys once (call
    auth again to see keys added later) and opens the store in save_path as CV_db.
    UpdateUnstackParquet and UpdatePivotParquet copy a category from the server into the
    store (keys cv1-<category> and cv1-<category>-YYYYMM); GetUnstackCategory and
    GetPivotCategory read it back. Server values are loaded in a worker process, never
    unpickled here. A server that cannot be reached raises ConnectionError naming it.

    Set CORVANE_QUIET=1 to silence the status lines and progress bars; the lines also go to
    the `corvane` logger at INFO.
    """
    account: str
    api_token: str
    r: redis.Redis
    keys: list[str]
    r_category: list[str]
    save_path: str
    CV_db: ParquetDataManager
    def __init__(self, account: str, api_token: str, save_path: str) -> None:
        """Authenticate against the fastest known server and open the local store in save_path.

        account: the account name.
        api_token: the account's API token; the connection password is account:api_token.
        save_path: root directory of the local store; created with its parents when missing.
        Returns None. ConnectionError naming host and port when the server cannot be reached;
        the redis package's AuthenticationError when it refuses the credentials.
        """
    @staticmethod
    def get_auth_ping(host: str, account: str, api_token: str) -> float:
        """The latency of one authenticated PING to a server.

        host: the server's host name or address (the port is CORVANE_PORT, default 6379).
        account: the account name.
        api_token: the account's API token.
        Returns the latency in milliseconds (float, two decimals), or 999 when the probe failed.
        """
    @staticmethod
    def measure_latency(r: Any) -> float:
        """How long one ping takes.

        r: any object with a ping() method, such as a redis.Redis connection.
        Returns the time of r.ping() in milliseconds (float, two decimals).
        """
    def get_host_info(self) -> dict[str, str]:
        """The known servers.

        Returns a new dict from region label to host name: {'上海-1': CORVANE_HOST or '127.0.0.1'}.
        """
    def auth(self, account: str, api_token: str) -> None:
        """Probe the known servers, connect to the fastest and take a snapshot of its keys.

        account: the account name.
        api_token: the account's API token.
        Returns None; sets r (the connection), keys (the server's key names) and r_category
        (the sorted category names the keys carry).
        """
    def load_df_from_cvdb(self, key: str) -> pd.DataFrame:
        """One DataFrame from the server.

        key: the server key, used as it is (cv1-<category> or cv1-<category>-YYYYMM).
        Returns the DataFrame stored under key, loaded in the client's worker process.
        TypeError when the key is not on the server or holds no DataFrame.
        """
    def UpdateUnstackParquet(self, category: str) -> None:
        """Copy a whole-table category from the server into the store.

        category: the category; its table is the server key cv1-<category>.
        Returns None. The table is merged into the store by order_book_id, start_date and
        end_date (update_unstack_category).
        """
    def UpdatePivotParquet(self, category: str, start_date: str, end_date: str, strf: str = "%Y-%m-%d") -> None:
        """Copy the months of a date range of a monthly category from the server into the store.

        category: the category; its months are the server keys cv1-<category>-YYYYMM.
        start_date: first day of the range, a str such as "2024-01-01".
        end_date: last day of the range, a str, included.
        strf: strftime format of the day labels written to the store (default "%Y-%m-%d").
        Returns None. With no month of the range on the server, prints the latest stored day.
        """
    def GetUnstackCategory(self, category: str) -> pd.DataFrame:
        """A whole-table category read from the store.

        category: the category.
        Returns the stored DataFrame (CV_db.read_unstack_category).
        """
    def GetPivotCategory(self, category: str, start_date: str | None, end_date: str | None) -> pd.DataFrame:
        """A date range of a monthly category read from the store.

        category: the category.
        start_date: first day of the range; None for the first day of the latest stored month.
        end_date: last day of the range, included; None for the last day of the latest stored month.
        Returns the DataFrame CV_db.read_pivot_category gives, with string day labels.
        """
    def CorrectPivotParquet(self, category: str, start_date: str, end_date: str, strf: str = "%Y-%m-%d") -> int:
        """UpdatePivotParquet with the server's values replacing stored ones.

        category: the category; its months are the server keys cv1-<category>-YYYYMM.
        start_date: first day of the range, a str.
        end_date: last day of the range, a str, included.
        strf: strftime format of the day labels written to the store (default "%Y-%m-%d").
        Returns the number of stored cells changed (int); 0 when the server holds no month of it.
        """
    def __repr__(self) -> str:
        """The client's account, server and store, without its token.

        Returns a str such as CorvaneClient(account='me', server='127.0.0.1:6379', save_path='data').
        """
