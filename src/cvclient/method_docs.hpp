// What help() shows for the client: the class, and each method's parameters and result.
// src/corvane/CVClient.pyi carries the same texts; tests/test_docs.py holds the two together.
#pragma once

namespace corvane::client::docs {

inline constexpr const char *client_class =
    "A connection to the data server and the local store it keeps up to date.\n"
    "\n"
    "Construction authenticates as account:api_token against the server at CORVANE_HOST\n"
    "(default 127.0.0.1) and CORVANE_PORT (default 6379), lists the server's keys once (call\n"
    "auth again to see keys added later) and opens the store in save_path as CV_db.\n"
    "UpdateUnstackParquet and UpdatePivotParquet copy a category from the server into the\n"
    "store (keys cv1-<category> and cv1-<category>-YYYYMM); GetUnstackCategory and\n"
    "GetPivotCategory read it back. Server values are loaded in a worker process, never\n"
    "unpickled here. A server that cannot be reached raises ConnectionError naming it.\n"
    "\n"
    "Set CORVANE_QUIET=1 to silence the status lines and progress bars; the lines also go to\n"
    "the `corvane` logger at INFO.";

inline constexpr const char *init =
    "Authenticate against the fastest known server and open the local store in save_path.\n"
    "\n"
    "account: the account name.\n"
    "api_token: the account's API token; the connection password is account:api_token.\n"
    "save_path: root directory of the local store; created with its parents when missing.\n"
    "Returns None. ConnectionError naming host and port when the server cannot be reached;\n"
    "the redis package's AuthenticationError when it refuses the credentials.";

inline constexpr const char *get_auth_ping =
    "The latency of one authenticated PING to a server.\n"
    "\n"
    "host: the server's host name or address (the port is CORVANE_PORT, default 6379).\n"
    "account: the account name.\n"
    "api_token: the account's API token.\n"
    "Returns the latency in milliseconds (float, two decimals), or 999 when the probe failed.";

inline constexpr const char *measure_latency =
    "How long one ping takes.\n"
    "\n"
    "r: any object with a ping() method, such as a redis.Redis connection.\n"
    "Returns the time of r.ping() in milliseconds (float, two decimals).";

inline constexpr const char *get_host_info =
    "The known servers.\n"
    "\n"
    "Returns a new dict from region label to host name: {'上海-1': CORVANE_HOST or '127.0.0.1'}.";

inline constexpr const char *auth =
    "Probe the known servers, connect to the fastest and take a snapshot of its keys.\n"
    "\n"
    "account: the account name.\n"
    "api_token: the account's API token.\n"
    "Returns None; sets r (the connection), keys (the server's key names) and r_category\n"
    "(the sorted category names the keys carry).";

inline constexpr const char *load_df_from_cvdb =
    "One DataFrame from the server.\n"
    "\n"
    "key: the server key, used as it is (cv1-<category> or cv1-<category>-YYYYMM).\n"
    "Returns the DataFrame stored under key, loaded in the client's worker process.\n"
    "TypeError when the key is not on the server or holds no DataFrame.";

inline constexpr const char *update_unstack_parquet =
    "Copy a whole-table category from the server into the store.\n"
    "\n"
    "category: the category; its table is the server key cv1-<category>.\n"
    "Returns None. The table is merged into the store by order_book_id, start_date and\n"
    "end_date (update_unstack_category).";

inline constexpr const char *update_pivot_parquet =
    "Copy the months of a date range of a monthly category from the server into the store.\n"
    "\n"
    "category: the category; its months are the server keys cv1-<category>-YYYYMM.\n"
    "start_date: first day of the range, a str such as \"2024-01-01\".\n"
    "end_date: last day of the range, a str, included.\n"
    "strf: strftime format of the day labels written to the store (default \"%Y-%m-%d\").\n"
    "Returns None. With no month of the range on the server, prints the latest stored day.";

inline constexpr const char *get_unstack_category =
    "A whole-table category read from the store.\n"
    "\n"
    "category: the category.\n"
    "Returns the stored DataFrame (CV_db.read_unstack_category).";

inline constexpr const char *get_pivot_category =
    "A date range of a monthly category read from the store.\n"
    "\n"
    "category: the category.\n"
    "start_date: first day of the range; None for the first day of the latest stored month.\n"
    "end_date: last day of the range, included; None for the last day of the latest stored month.\n"
    "Returns the DataFrame CV_db.read_pivot_category gives, with string day labels.";

inline constexpr const char *correct_pivot_parquet =
    "UpdatePivotParquet with the server's values replacing stored ones.\n"
    "\n"
    "category: the category; its months are the server keys cv1-<category>-YYYYMM.\n"
    "start_date: first day of the range, a str.\n"
    "end_date: last day of the range, a str, included.\n"
    "strf: strftime format of the day labels written to the store (default \"%Y-%m-%d\").\n"
    "Returns the number of stored cells changed (int); 0 when the server holds no month of it.";

inline constexpr const char *repr =
    "The client's account, server and store, without its token.\n"
    "\n"
    "Returns a str such as CorvaneClient(account='me', server='127.0.0.1:6379', save_path='data').";

}  // namespace corvane::client::docs
