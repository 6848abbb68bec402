"""The client's own exception for a server it cannot reach: a ConnectionError of both kinds, so
that code catching the redis package's or the builtin one sees it, and defined here so that it
pickles (a failure in a pool's worker process reaches the parent as itself)."""

import builtins

import redis


class ServerUnreachable(redis.exceptions.ConnectionError, builtins.ConnectionError):
    """No known server accepted a connection; the message names the server, its host and port."""
