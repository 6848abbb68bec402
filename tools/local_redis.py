"""A password-protected redis-server on loopback that never touches disk, for the example job, the
tests and the benchmarks; and a stand-in for the redis package that points the client at its port."""

import pickle
import shutil
import subprocess
import tempfile
import time

import redis

from ports import free_port


class LocalRedis:
    def __init__(self, password, port=None, workdir=None):
        self.password = password
        self.port = port or free_port()
        self.workdir = workdir
        self.process = None
        self._scratch = None

    def start(self, timeout=10):
        executable = shutil.which("redis-server")
        if executable is None:
            raise RuntimeError("redis-server is not installed (scripts/run test installs it with apt)")
        if self.workdir is None:
            self._scratch = self.workdir = tempfile.mkdtemp(prefix="corvane-redis-")
        self.process = subprocess.Popen(
            [executable, "--port", str(self.port), "--bind", "127.0.0.1", "--requirepass", self.password,
             "--save", "", "--appendonly", "no", "--dir", str(self.workdir)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        )
        deadline = time.monotonic() + timeout
        while True:
            try:
                if self.admin().ping():
                    return self
            except redis.ConnectionError:
                pass
            if self.process.poll() is not None:
                raise RuntimeError(f"redis-server exited: {self.process.stderr.read().decode()}")
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"redis-server did not answer within {timeout} seconds")
            time.sleep(0.05)

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait()
            self.process.stderr.close()
        if self._scratch:
            shutil.rmtree(self._scratch, ignore_errors=True)

    def admin(self):
        return redis.Redis(host="127.0.0.1", port=self.port, password=self.password)

    def seed(self, values):
        """Stores each value under its key, pickled unless it already is bytes."""
        admin = self.admin()
        with admin.pipeline(transaction=False) as pipe:
            for key, value in values.items():
                pipe.set(key, value if isinstance(value, bytes) else pickle.dumps(value))
            pipe.execute()
        admin.close()


class PortRedirect:
    """Takes the place of the redis package in the client module, whose port is fixed: every
    connection goes, for real, to the given port. Records the settings each connection asked for."""

    def __init__(self, port):
        self.port = port
        self.calls = []

    def __getattr__(self, name):
        return getattr(redis, name)

    def Redis(self, **settings):
        self.calls.append(dict(settings))
        return redis.Redis(**{**settings, "port": self.port})
