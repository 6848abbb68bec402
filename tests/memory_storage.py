"""A third kind of root for the store, held in this process's memory: the backend functions that
corvane._object_storage offers, over a dict. Registered for mem:// roots, it shows that the store's
operations ask the storage interface what to do and never which kind of root they are on."""

import contextlib
import io
import os
import threading

SCHEME = "mem://"


class MemoryStorage:
    def __init__(self):
        self.objects = {}  # path -> (version, bytes)
        self.records = {}  # path of the object -> (version, fields)
        self._versions = 0
        self._locks = {}
        self._guard = threading.Lock()
        self._running = threading.local()

    # --- what the store asks --------------------------------------------------------------------

    def exists(self, path):
        path = os.fspath(path)
        return path in self.objects or any(key.startswith(path.rstrip("/") + "/") for key in self.objects)

    def list_directory(self, path, files_only=False):
        prefix = os.fspath(path).rstrip("/") + "/"
        files, prefixes = [], []
        for key in sorted(self.objects):
            if key.startswith(prefix):
                rest = key[len(prefix):]
                if "/" not in rest:
                    files.append(rest)
                elif rest.split("/", 1)[0] not in prefixes:
                    prefixes.append(rest.split("/", 1)[0])
        return files if files_only else files + prefixes

    def read_bytes(self, path):
        try:
            return self.objects[os.fspath(path)][1]
        except KeyError:
            raise FileNotFoundError(f"{os.fspath(path)}: no such object") from None

    def write_bytes(self, path, data):
        with self._guard:
            self._versions += 1
            self.objects[os.fspath(path)] = (self._versions, bytes(data))

    @staticmethod
    def frame_to_parquet_bytes(frame):
        buffer = io.BytesIO()
        frame.to_parquet(buffer)
        return buffer.getvalue()

    def delete_object(self, path):
        with self._guard:
            self.objects.pop(os.fspath(path), None)

    def run_exclusively(self, path, body):
        with self._guard:
            lock = self._locks.setdefault(os.fspath(path), threading.Lock())
        with lock:
            self._running.path = os.fspath(path)
            try:
                return body()
            finally:
                self._running.path = None

    def read_digest_record(self, path):
        if getattr(self._running, "path", None) != os.fspath(path):
            return None
        version, fields = self.records.get(os.fspath(path), (None, None))
        current = self.objects.get(os.fspath(path), (None,))[0]
        return dict(fields) if version is not None and version == current else None

    def write_digest_record(self, path, fields):
        if getattr(self._running, "path", None) != os.fspath(path) or os.fspath(path) not in self.objects:
            return
        self.records[os.fspath(path)] = (self.objects[os.fspath(path)][0], dict(fields))

    # --- for the tests ----------------------------------------------------------------------------

    def keys_under(self, root):
        prefix = root.rstrip("/") + "/"
        return sorted(key[len(prefix):] for key in self.objects if key.startswith(prefix))


@contextlib.contextmanager
def memory_storage():
    """A fresh MemoryStorage serving mem:// roots while the block runs."""
    from corvane import _storage_schemes

    storage = MemoryStorage()
    _storage_schemes.BACKENDS["mem"] = storage
    try:
        yield storage
    finally:
        del _storage_schemes.BACKENDS["mem"]
