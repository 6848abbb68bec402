"""Ports for the throwaway servers of the tests and the benchmarks."""

import random
import socket
from pathlib import Path


_ports_given: set[int] = set()


def free_port():
    """A free port below the kernel's range of ephemeral ports. Between the probe here and the
    server's bind, any outgoing connection may take an ephemeral port as its own, and a connection
    to an ephemeral port nobody listens on can even meet itself (a TCP self-connect)."""
    try:
        ephemeral_low = int(Path("/proc/sys/net/ipv4/ip_local_port_range").read_text().split()[0])
    except (OSError, ValueError, IndexError):
        ephemeral_low = 32768
    while True:
        port = random.randint(10000, max(10001, ephemeral_low - 1))
        if port in _ports_given:
            continue
        with socket.socket() as probe:
            try:
                probe.bind(("127.0.0.1", port))
            except OSError:
                continue
        _ports_given.add(port)
        return port
