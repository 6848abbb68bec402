"""A throwaway redis-server on a free loopback port, for the benchmarks."""

import shutil
import socket
import subprocess
import tempfile
import time

import redis


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class RedisServer:
    def __init__(self, password, port=None):
        self.password, self.port = password, port or free_port()
        self.process = None
        self.directory = None

    def start(self):
        self.directory = tempfile.mkdtemp(prefix="corvane-redis-")
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--requirepass", self.password,
             "--save", "", "--appendonly", "no", "--dir", self.directory],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        )
        deadline = time.monotonic() + 10
        while True:
            try:
                self.connection().ping()
                return self
            except redis.ConnectionError:
                if time.monotonic() > deadline or self.process.poll() is not None:
                    self.stop()
                    raise RuntimeError("redis-server did not start")
                time.sleep(0.05)

    def connection(self):
        return redis.Redis(host="127.0.0.1", port=self.port, password=self.password)

    def module_for_client(self):
        """Stands in for the redis module: the client's fixed port becomes this server's port."""
        port = self.port

        class PortedRedis:
            def __getattr__(self, name):
                return getattr(redis, name)

            @staticmethod
            def Redis(**kwargs):
                kwargs["port"] = port
                return redis.Redis(**kwargs)

        return PortedRedis()

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)
        if self.directory:
            shutil.rmtree(self.directory, ignore_errors=True)
