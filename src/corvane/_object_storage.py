"""The store's files as objects of an S3-compatible service, for roots spelled s3://bucket/prefix.

The native storage seam calls these functions for every s3:// path. Listings and existence tests go
through pyarrow's S3 filesystem. Whole-object reads and conditional writes, which pyarrow does not
offer, are signed here (AWS Signature Version 4) and sent with the standard library: a
read-merge-write run under run_exclusively only replaces the object version it read, and runs
again when another writer got there first.

Endpoint and credentials come from AWS_ENDPOINT_URL, AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY,
AWS_SESSION_TOKEN and AWS_REGION. No message names a credential.
"""

import datetime
import hashlib
import hmac
import http.client
import io
import os
import random
import threading
import time
import urllib.parse
import uuid

import pyarrow.fs  # type: ignore[import-untyped]

SCHEME = "s3://"
# A read-merge-write that keeps losing the race gives up after this many runs.
ATTEMPTS = 20
# A request that gets no answer for this long fails instead of hanging the writer.
REQUEST_TIMEOUT = 60.0


class WriteConflict(Exception):
    """Another writer replaced or created the object since it was read: read, merge and write again."""


class Endpoint:
    """Where the service answers and who signs, read from the environment when first needed."""

    def __init__(self):
        url = os.environ.get("AWS_ENDPOINT_URL", "")
        self.region = os.environ.get("AWS_REGION") or os.environ.get("AWS_DEFAULT_REGION") or "us-east-1"
        if not url:
            url = f"https://s3.{self.region}.amazonaws.com"
        parsed = urllib.parse.urlsplit(url)
        if parsed.scheme not in ("http", "https") or not parsed.hostname:
            raise ValueError(f"AWS_ENDPOINT_URL must be an http:// or https:// address, not {url!r}")
        self.scheme = parsed.scheme
        self.netloc = parsed.netloc
        self.access_key = os.environ.get("AWS_ACCESS_KEY_ID", "")
        self.secret_key = os.environ.get("AWS_SECRET_ACCESS_KEY", "")
        self.session_token = os.environ.get("AWS_SESSION_TOKEN", "")
        if not self.access_key or not self.secret_key:
            raise ValueError("s3:// paths need AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY in the environment")

    def identity(self):
        return (self.scheme, self.netloc, self.region, self.access_key, self.secret_key, self.session_token)


_lock = threading.Lock()
_filesystems: dict[tuple[str, ...], pyarrow.fs.S3FileSystem] = {}
_enforcing_buckets: set[tuple[str, str]] = set()
_state = threading.local()


def _endpoint():
    return Endpoint()


def filesystem(endpoint):
    """One pyarrow S3 filesystem per endpoint and identity: building one costs a TLS and SDK set-up."""
    key = endpoint.identity()
    with _lock:
        found = _filesystems.get(key)
        if found is None:
            found = pyarrow.fs.S3FileSystem(
                access_key=endpoint.access_key, secret_key=endpoint.secret_key,
                session_token=endpoint.session_token or None, region=endpoint.region,
                endpoint_override=endpoint.netloc, scheme=endpoint.scheme,
                request_timeout=REQUEST_TIMEOUT, connect_timeout=10)
            _filesystems[key] = found
        return found


def split(path):
    """(bucket, key) of an s3:// path; the key has no leading or trailing slash."""
    text = os.fspath(path)
    bucket, _, key = text[len(SCHEME):].partition("/")
    if not bucket:
        raise ValueError(f"{text}: an s3:// path names a bucket: s3://bucket/prefix")
    return bucket, key.strip("/")


def _arrow_path(path):
    bucket, key = split(path)
    return f"{bucket}/{key}" if key else bucket


def _info(path):
    return filesystem(_endpoint()).get_file_info(_arrow_path(path))


# --- what the seam asks ------------------------------------------------------------------------

def exists(path):
    """An object, or a prefix with at least one object under it."""
    guarded = _guarded(path)
    if guarded is not None:
        return guarded.look() is not None
    return _info(path).type != pyarrow.fs.FileType.NotFound


def list_directory(path, files_only=False):
    """Names directly under the prefix, as os.listdir gives them; [] for a prefix without objects."""
    selector = pyarrow.fs.FileSelector(_arrow_path(path), allow_not_found=True, recursive=False)
    names = []
    for info in filesystem(_endpoint()).get_file_info(selector):
        if files_only and info.type != pyarrow.fs.FileType.File:
            continue
        names.append(info.base_name)
    return names


def read_bytes(path):
    """The whole object in one GET. pyarrow's streams read large objects in ranges, and a writer
    replacing the object between two ranges would hand the reader a mix of two versions."""
    guarded = _guarded(path)
    if guarded is not None:
        return guarded.read()
    return _get(_endpoint(), path)[1]


def write_bytes(path, data):
    """Replaces the object in one PUT, which the service applies whole or not at all. Inside
    run_exclusively the PUT only succeeds on the version that the run saw."""
    guarded = _guarded(path)
    endpoint = _endpoint()
    if guarded is None:
        _put(endpoint, path, data, {})
        return
    _require_enforcing(endpoint, path)
    guarded.write(endpoint, data)


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


# --- one read-merge-write --------------------------------------------------------------------------

class _Guard:
    """The version of one object that a running read-merge-write saw: its ETag, or its absence."""

    def __init__(self, path):
        self.path = os.fspath(path)
        self.seen = False
        self.etag = None

    def look(self):
        if not self.seen:
            self.etag = _request(_endpoint(), "HEAD", self.path, allow_missing=True)[1]
            self.seen = True
        return self.etag

    def read(self):
        self.etag, data = _get(_endpoint(), self.path)
        self.seen = True
        return data

    def write(self, endpoint, data):
        self.look()
        condition = {"If-None-Match": "*"} if self.etag is None else {"If-Match": self.etag}
        self.etag = _put(endpoint, self.path, data, condition)


def _guarded(path):
    guard = getattr(_state, "guard", None)
    if guard is not None and guard.path == os.fspath(path):
        return guard
    return None


def _require_enforcing(endpoint, path):
    """Refuses a bucket whose service ignores conditional writes: there a read-merge-write would
    silently overwrite a concurrent writer. Probed once per process and bucket."""
    bucket, key = split(path)
    marker = (endpoint.netloc, bucket)
    with _lock:
        if marker in _enforcing_buckets:
            return
    # Beside the store's other state: <root>/.corvane/, where the root holds <category>/<file>.
    root_parts = key.split("/")[:-2]
    probe = SCHEME + "/".join([bucket, *root_parts, ".corvane", f"probe-{uuid.uuid4().hex}"])
    try:
        _put(endpoint, probe, b"", {"If-None-Match": "*"})
        try:
            _put(endpoint, probe, b"", {"If-None-Match": "*"})
        except WriteConflict:
            pass
        else:
            raise RuntimeError(f"{SCHEME}{bucket}: the object store ignores conditional writes "
                               f"(If-None-Match), so concurrent writers could lose each other's updates; "
                               f"refusing to write")
    finally:
        try:
            _request(endpoint, "DELETE", probe, allow_missing=True)
        except OSError:
            pass
    with _lock:
        _enforcing_buckets.add(marker)


# --- signed requests -----------------------------------------------------------------------------

def _get(endpoint, path):
    """(etag, bytes) of the object; FileNotFoundError naming it when there is none."""
    status, etag, data = _request(endpoint, "GET", path, allow_missing=True)
    if status == 404:
        raise FileNotFoundError(f"{os.fspath(path)}: no such object")
    return etag, data


def _put(endpoint, path, data, condition):
    status, etag, _ = _request(endpoint, "PUT", path, body=data, headers=condition)
    return etag


def _quote_key(key):
    return urllib.parse.quote(key, safe="/-_.~")


def _request(endpoint, method, path, body=b"", headers=None, allow_missing=False):
    """(status, etag or None, body) of one signed request on the object at path. WriteConflict on a
    failed precondition; OSError naming the object on any other failure."""
    bucket, key = split(path)
    target = "/" + _quote_key(bucket) + ("/" + _quote_key(key) if key else "")
    now = datetime.datetime.now(datetime.timezone.utc)
    signed = _signed_headers(endpoint, method, target, body, now)
    signed.update(headers or {})
    connection_class = http.client.HTTPSConnection if endpoint.scheme == "https" else http.client.HTTPConnection
    connection = connection_class(endpoint.netloc, timeout=REQUEST_TIMEOUT)
    try:
        connection.request(method, target, body=body if method == "PUT" else None, headers=signed)
        response = connection.getresponse()
        data = response.read()
        etag = response.getheader("ETag")
    except (OSError, http.client.HTTPException) as error:
        raise ConnectionError(f"{path}: {method} failed, the object store did not answer: {error}") from None
    finally:
        connection.close()
    status = response.status
    if status in (412, 409):
        raise WriteConflict(path)
    if status == 404 and allow_missing:
        return status, None, b""
    if status >= 300:
        raise OSError(f"{path}: {method} refused by the object store: HTTP {status} {_error_code(data)}")
    return status, etag, data


def _error_code(data):
    text = data.decode("utf-8", "replace")
    start, end = text.find("<Code>"), text.find("</Code>")
    return text[start + 6:end] if 0 <= start < end else ""


def _hmac(key, text):
    return hmac.new(key, text.encode(), hashlib.sha256).digest()


def _signed_headers(endpoint, method, target, body, now):
    """The headers of an AWS Signature Version 4 request, Authorization included."""
    amz_date = now.strftime("%Y%m%dT%H%M%SZ")
    day = amz_date[:8]
    payload_hash = hashlib.sha256(body).hexdigest()
    headers = {"host": endpoint.netloc, "x-amz-content-sha256": payload_hash, "x-amz-date": amz_date}
    if endpoint.session_token:
        headers["x-amz-security-token"] = endpoint.session_token
    names = sorted(headers)
    canonical = "\n".join([method, target, "", *(f"{name}:{headers[name]}" for name in names), "",
                           ";".join(names), payload_hash])
    scope = f"{day}/{endpoint.region}/s3/aws4_request"
    to_sign = "\n".join(["AWS4-HMAC-SHA256", amz_date, scope, hashlib.sha256(canonical.encode()).hexdigest()])
    key = _hmac(("AWS4" + endpoint.secret_key).encode(), day)
    for part in (endpoint.region, "s3", "aws4_request"):
        key = _hmac(key, part)
    signature = hmac.new(key, to_sign.encode(), hashlib.sha256).hexdigest()
    headers["Authorization"] = (f"AWS4-HMAC-SHA256 Credential={endpoint.access_key}/{scope}, "
                                f"SignedHeaders={';'.join(names)}, Signature={signature}")
    del headers["host"]  # http.client sends its own, identical
    return headers


def frame_to_parquet_bytes(frame):
    buffer = io.BytesIO()
    frame.to_parquet(buffer)
    return buffer.getvalue()


# --- removal (used by the store's deletes) ---------------------------------------------------------

def delete_object(path):
    """Removes the object. Inside run_exclusively it first checks that the object is still the
    version the run read, and raises WriteConflict (the run starts over) when another writer
    replaced it; a plain DELETE cannot be made conditional on every service."""
    endpoint = _endpoint()
    guarded = _guarded(path)
    if guarded is not None and guarded.seen:
        current = _request(endpoint, "HEAD", guarded.path, allow_missing=True)[1]
        if current != guarded.etag:
            raise WriteConflict(path)
    _request(endpoint, "DELETE", path, allow_missing=True)
    if guarded is not None:
        guarded.etag, guarded.seen = None, True
