"""The store's files as objects of an S3-compatible service, for roots spelled s3://bucket/prefix.

The native storage seam calls these functions for every s3:// path. Every request (list, head, get,
conditional put, delete) goes through obstore, whose client pools connections, signs requests and
retries failed ones within a bounded time. A read-merge-write run under run_exclusively only
replaces the object version it read, and runs again when another writer got there first.

The endpoint comes from AWS_ENDPOINT_URL; region and credentials from botocore's standard chain:
the AWS_* variables, AWS_PROFILE with the shared credentials and config files, container and
instance metadata. No message names a credential.
"""

import datetime
import importlib.machinery
import importlib.util
import io
import json
import os
import random
import re
import shutil
import tempfile
import threading
import time
import urllib.parse
import uuid

import botocore.credentials  # type: ignore[import-untyped]
import botocore.exceptions  # type: ignore[import-untyped]
import botocore.session  # type: ignore[import-untyped]
import obstore
import obstore.store

SCHEME = "s3://"
# A read-merge-write that keeps losing the race gives up after this many runs.
ATTEMPTS = 20
# A request that gets no answer for REQUEST_TIMEOUT fails; a failed request is retried only while
# less than RETRY_WINDOW has passed since the first try, so a frozen service fails any one
# operation within REQUEST_TIMEOUT + RETRY_WINDOW (55 s), naming the object.
REQUEST_TIMEOUT = 25.0
RETRY_WINDOW = 30.0
CONNECT_TIMEOUT = 5.0
# Credentials that may be refreshed (roles, instance metadata) are asked for again this often.
CREDENTIAL_RECHECK = datetime.timedelta(minutes=5)
# The environment that decides endpoint, region and credentials; a change builds new clients.
_SETTINGS = ("AWS_ENDPOINT_URL", "AWS_REGION", "AWS_DEFAULT_REGION", "AWS_PROFILE", "AWS_DEFAULT_PROFILE",
             "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN", "AWS_SHARED_CREDENTIALS_FILE",
             "AWS_CONFIG_FILE", "AWS_EC2_METADATA_DISABLED")


class WriteConflict(Exception):
    """Another writer replaced or created the object since it was read: read, merge and write again."""


class _Bucket:
    """One bucket's client, built from the environment as it is when first needed."""

    def __init__(self, bucket):
        try:
            self.set_up(bucket)
        except botocore.exceptions.BotoCoreError as error:  # a missing profile, a malformed file
            raise ValueError(f"{SCHEME}{bucket}: the AWS settings cannot be used: {error}") from None

    def set_up(self, bucket):
        session = botocore.session.Session()
        self.region = session.get_config_variable("region") or "us-east-1"
        url = os.environ.get("AWS_ENDPOINT_URL") or f"https://s3.{self.region}.amazonaws.com"
        parsed = urllib.parse.urlsplit(url)
        if parsed.scheme not in ("http", "https") or not parsed.hostname:
            raise ValueError(f"AWS_ENDPOINT_URL must be an http:// or https:// address, not {url!r}")
        self.endpoint = url
        self.credentials = session.get_credentials()
        if self.credentials is None:
            raise ValueError("s3:// paths need credentials, and none were found: set AWS_ACCESS_KEY_ID and "
                             "AWS_SECRET_ACCESS_KEY, or AWS_PROFILE with the shared credentials file, or run "
                             "where instance metadata provides a role")
        library = _client_library()
        # obstore's own class where its library is the one imported; a forked child's copy offers the plain one.
        store_class = obstore.store.S3Store if library is obstore._obstore else library._store.S3Store
        self.store = store_class(
            bucket, endpoint=url, region=self.region, virtual_hosted_style_request=False,
            client_options={"allow_http": parsed.scheme == "http", "timeout": datetime.timedelta(seconds=REQUEST_TIMEOUT),
                            "connect_timeout": datetime.timedelta(seconds=CONNECT_TIMEOUT)},
            retry_config={"max_retries": 3, "retry_timeout": datetime.timedelta(seconds=RETRY_WINDOW),
                          "backoff": {"init_backoff": datetime.timedelta(milliseconds=100),
                                      "max_backoff": datetime.timedelta(seconds=5), "base": 2}},
            credential_provider=self.provide_credentials)

    def provide_credentials(self):
        frozen = self.credentials.get_frozen_credentials()
        refreshable = isinstance(self.credentials, botocore.credentials.RefreshableCredentials)
        expires = datetime.datetime.now(datetime.timezone.utc) + CREDENTIAL_RECHECK if refreshable else None
        return {"access_key_id": frozen.access_key, "secret_access_key": frozen.secret_key,
                "token": frozen.token, "expires_at": expires}

    def secrets(self):
        frozen = self.credentials.get_frozen_credentials()
        return [text for text in (frozen.access_key, frozen.secret_key, frozen.token) if text]


_lock = threading.Lock()
_buckets: dict[tuple, _Bucket] = {}
_enforcing_buckets: set[tuple[str, str]] = set()
_state = threading.local()
# obstore's compiled library as this process uses it: the one imported, or after a fork a copy of it.
_library = obstore._obstore
# A forked child's inherited clients: kept, never dropped, since freeing them would touch the
# parent's runtime, whose threads are not in the child.
_inherited: list[dict] = []


def _client_library():
    """obstore's library, usable in this process. Its requests run on a runtime whose threads a fork
    does not copy, so a forked child's first request would wait forever on them; the child instead
    loads a private copy of the library, which starts a runtime of its own."""
    global _library
    with _lock:
        if _library is None:
            _library = _load_library_copy()
        return _library


def _load_library_copy():
    # The dynamic loader reuses a library already loaded from the same file: the copy is a new file.
    source = obstore._obstore.__file__
    directory = tempfile.mkdtemp(prefix="corvane-obstore-")
    try:
        path = shutil.copy(source, os.path.join(directory, os.path.basename(source)))
        loader = importlib.machinery.ExtensionFileLoader("_obstore", path)
        library = importlib.util.module_from_spec(importlib.util.spec_from_file_location("_obstore", path, loader=loader))
        loader.exec_module(library)
    finally:
        shutil.rmtree(directory, ignore_errors=True)  # the loaded mapping outlives the file
    return library


def _after_fork_in_child():
    """Forgets every client of the parent: their connections and their library's runtime are unusable
    here. Locks are made anew, since a parent thread may have held one at the fork."""
    global _lock, _state, _library, _buckets
    _lock = threading.Lock()
    _state = threading.local()
    _inherited.append(_buckets)
    _buckets = {}
    _library = None


os.register_at_fork(after_in_child=_after_fork_in_child)


def _errors():
    return _client_library().exceptions


def _bucket(bucket):
    """The client of a bucket: one per bucket and environment, since building one costs a TLS and
    credential set-up and its connections are reused."""
    key = (bucket, *(os.environ.get(name) for name in _SETTINGS))
    with _lock:
        found = _buckets.get(key)
    if found is None:
        found = _Bucket(bucket)
        with _lock:
            found = _buckets.setdefault(key, found)
    return found


def split(path):
    """(bucket, key) of an s3:// path; the key has no leading or trailing slash."""
    text = os.fspath(path)
    if not text.startswith(SCHEME):
        raise ValueError(f"{text!r} is not an s3:// path")
    bucket, _, key = text[len(SCHEME):].partition("/")
    if not bucket:
        raise ValueError(f"{text}: an s3:// path names a bucket: s3://bucket/prefix")
    return bucket, key.strip("/")


def store_for(path):
    """(obstore store, key) of an s3:// path."""
    bucket, key = split(path)
    return _bucket(bucket).store, key


def _call(operation, path, *args, **kwargs):
    """One obstore call on the object at path, its errors turned into the store's: WriteConflict on
    a failed precondition, FileNotFoundError, PermissionError, and ConnectionError naming the object
    for anything else. Credentials are cut out of every message."""
    text = os.fspath(path)
    bucket, key = split(text)
    client = _bucket(bucket)
    errors = _errors()
    try:
        return getattr(_client_library(), operation)(client.store, key, *args, **kwargs)
    except (errors.PreconditionError, errors.AlreadyExistsError):
        raise WriteConflict(text) from None
    except errors.NotFoundError:
        raise FileNotFoundError(f"{text}: no such object") from None
    except errors.BaseError as error:
        summary = _summary(error, client.secrets())
        method = {"get": "GET", "head": "HEAD", "put": "PUT", "delete": "DELETE"}.get(operation, "LIST")
        if isinstance(error, (errors.PermissionDeniedError, errors.UnauthenticatedError)):
            raise PermissionError(f"{text}: {method} refused by the object store: the credentials were refused or do "
                                  f"not grant this access: {summary}") from None
        raise ConnectionError(f"{text}: {method} failed: {summary}") from None


def _summary(error, secrets):
    """The first line of a client error, without any credential in it."""
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    text = lines[0] if lines else type(error).__name__
    for secret in secrets:
        # Only where the credential stands as a whole value: a short key must not eat into words.
        text = re.sub(rf"(?<![A-Za-z0-9]){re.escape(secret)}(?![A-Za-z0-9])", "***", text)
    return text


# --- what the seam asks ------------------------------------------------------------------------

def exists(path):
    """An object, or a prefix with at least one object under it."""
    guarded = _guarded(path)
    if guarded is not None:
        return guarded.look() is not None
    if split(path)[1]:
        try:
            _call("head", path)
            return True
        except FileNotFoundError:
            pass
    listed = _list(path)
    return bool(listed["objects"] or listed["common_prefixes"])


def list_directory(path, files_only=False):
    """Names directly under the prefix, as os.listdir gives them; [] for a prefix without objects."""
    listed = _list(path)
    names = [meta["path"].rsplit("/", 1)[-1] for meta in listed["objects"]]
    if not files_only:
        names += [prefix.rstrip("/").rsplit("/", 1)[-1] for prefix in listed["common_prefixes"]]
    return names


def list_with_sizes(path):
    """([(name, size) of the objects], [names of the prefixes]) directly under the prefix."""
    listed = _list(path)
    files = [(meta["path"].rsplit("/", 1)[-1], meta["size"]) for meta in listed["objects"]]
    prefixes = [prefix.rstrip("/").rsplit("/", 1)[-1] for prefix in listed["common_prefixes"]]
    return files, prefixes


def _list(path):
    """One level of the prefix: {"objects": [...], "common_prefixes": [...]}."""
    if split(path)[1]:
        return _call("list_with_delimiter", path)
    return _client_library().list_with_delimiter(store_for(path)[0])


def read_bytes(path):
    """The whole object in one GET: a reader never gets a mix of two versions."""
    guarded = _guarded(path)
    if guarded is not None:
        return guarded.read()
    return _get(path)[1]


def write_bytes(path, data):
    """Replaces the object in one PUT, which the service applies whole or not at all. Inside
    run_exclusively the PUT only succeeds on the version that the run saw."""
    guarded = _guarded(path)
    if guarded is None:
        _call("put", path, data, use_multipart=False)
        return
    _require_enforcing(path)
    guarded.write(data)


def delete(path):
    """Removes the object; nothing to do when there is none."""
    try:
        _call("delete", path)
    except FileNotFoundError:
        pass


def run_exclusively(path, body):
    """body() as a read-merge-write of the object at path that loses no other writer's update: its
    write is conditional on the version its read saw, and on a conflict body runs again with a fresh
    read. TimeoutError naming the object when other writers keep winning."""
    if getattr(_state, "guard", None) is not None:
        raise RuntimeError(f"{os.fspath(path)}: nested exclusive runs are not supported")
    for attempt in range(ATTEMPTS):
        _state.guard = _Guard(path)
        try:
            return body()
        except WriteConflict:
            # Jittered so that two writers that collided do not collide again in step.
            time.sleep(random.uniform(0, min(1.0, 0.02 * 2 ** attempt)))
        finally:
            _state.guard = None
    raise TimeoutError(f"{os.fspath(path)}: other writers replaced the object {ATTEMPTS} times during "
                       f"this update; nothing was written")


# --- digest records: identical re-syncs without reading the object ----------------------------------

def _layout():
    # The store module publishes its file names when it loads, which is before any call reaches here.
    from corvane import _store_layout
    return _store_layout


def _digests_under(root_parts):
    layout = _layout()
    return [*root_parts, layout.state_directory, layout.digest_directory]


def _record_path(path):
    """<root>/.corvane/digests/<category>/<name>.digest for the object <root>/<category>/<name>."""
    bucket, key = split(path)
    parts = key.split("/")
    if len(parts) < 2:
        return None
    return SCHEME + "/".join([bucket, *_digests_under(parts[:-2]), parts[-2], parts[-1] + _layout().digest_suffix])


def read_digest_record(path):
    """The digest record of the object at path (a dict of text fields) when it was taken from the
    version the running exclusive run sees now; None on any doubt."""
    guarded = _guarded(path)
    record_path = _record_path(path)
    if guarded is None or record_path is None:
        return None
    try:
        record = json.loads(bytes(_call("get", record_path).bytes()))
    except (OSError, ValueError):
        return None
    etag = guarded.look()
    if not isinstance(record, dict) or etag is None or record.get("etag") != etag:
        return None
    return record


def write_digest_record(path, fields):
    """Records fields (text) for the version of the object that the running exclusive run last read
    or wrote. Best effort: a record that cannot be written only costs the next re-sync a read."""
    guarded = _guarded(path)
    record_path = _record_path(path)
    if guarded is None or record_path is None or guarded.etag is None:
        return
    try:
        _call("put", record_path, json.dumps({**fields, "etag": guarded.etag}).encode(), use_multipart=False)
    except OSError:
        pass


def remove_digest_record(path):
    """Drops the digest record of the object at path, for an object rewritten or removed."""
    record_path = _record_path(path)
    if record_path is not None:
        delete(record_path)


def remove_category_digests(root, category):
    """Drops every digest record of a category: <root>/.corvane/digests/<category>/."""
    prefix = "/".join([*_digests_under([os.fspath(root).rstrip("/")]), str(category)])
    for name in list_directory(prefix, files_only=True):
        delete(f"{prefix}/{name}")


# --- one read-merge-write --------------------------------------------------------------------------

class _Guard:
    """The version of one object that a running read-merge-write saw: its ETag, or its absence."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self.seen = False
        self.etag = None

    def look(self):
        if not self.seen:
            try:
                self.etag = _call("head", self.path)["e_tag"]
            except FileNotFoundError:
                self.etag = None
            self.seen = True
        return self.etag

    def read(self):
        self.etag, data = _get(self.path)
        self.seen = True
        return data

    def write(self, data):
        self.look()
        mode = "create" if self.etag is None else {"e_tag": self.etag}
        self.etag = _call("put", self.path, data, mode=mode, use_multipart=False)["e_tag"]


def _guarded(path):
    guard = getattr(_state, "guard", None)
    if guard is not None and guard.path == os.fspath(path):
        return guard
    return None


def _get(path):
    """(etag, bytes) of the object; FileNotFoundError naming it when there is none."""
    result = _call("get", path)
    return result.meta["e_tag"], bytes(result.bytes())


def _require_enforcing(path):
    """Refuses a bucket whose service ignores either conditional header: there a read-merge-write
    would silently overwrite a concurrent writer. Probed once per process, endpoint and bucket."""
    bucket, key = split(path)
    marker = (_bucket(bucket).endpoint, bucket)
    with _lock:
        if marker in _enforcing_buckets:
            return
    # Beside the store's other state: <root>/.corvane/, where the root holds <category>/<file>.
    root_parts = key.split("/")[:-2]
    probe = SCHEME + "/".join([bucket, *root_parts, _layout().state_directory, f"probe-{uuid.uuid4().hex}"])
    try:
        first = _call("put", probe, b"1", mode="create", use_multipart=False)["e_tag"]
        if _accepted(probe, b"2", "create"):
            _refuse(bucket, "If-None-Match: * on an existing object")
        if _accepted(probe, b"3", {"e_tag": first}) and _accepted(probe, b"4", {"e_tag": first}):
            _refuse(bucket, "If-Match with a stale ETag")
    finally:
        try:
            delete(probe)
        except OSError:
            pass
    with _lock:
        _enforcing_buckets.add(marker)


def _accepted(path, data, mode):
    try:
        _call("put", path, data, mode=mode, use_multipart=False)
        return True
    except WriteConflict:
        return False


def _refuse(bucket, header):
    raise RuntimeError(f"{SCHEME}{bucket}: the object store ignores conditional writes (it accepted {header}), "
                       f"so concurrent writers could lose each other's updates; refusing to write")


def frame_to_parquet_bytes(frame):
    buffer = io.BytesIO()
    frame.to_parquet(buffer)
    return buffer.getvalue()


def delete_object(path):
    """Removes the object. Inside run_exclusively it first checks that the object is still the
    version the run read, and raises WriteConflict (the run starts over) when another writer
    replaced it; a plain DELETE cannot be made conditional on every service."""
    guarded = _guarded(path)
    if guarded is not None and guarded.seen:
        try:
            current = _call("head", guarded.path)["e_tag"]
        except FileNotFoundError:
            current = None
        if current != guarded.etag:
            raise WriteConflict(os.fspath(path))
    delete(path)
    if guarded is not None:
        guarded.etag, guarded.seen = None, True
