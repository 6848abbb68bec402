"""The README's object-storage example, taken from the README itself, run with bash against a real
weed server: it must wait for the server, find weed and python in the venv, print the frame and stop
the server."""

import os
import re
import socket
import subprocess
import sys
from pathlib import Path

from ports import free_port

README = Path(__file__).resolve().parents[2] / "README.md"


def readme_example():
    section = README.read_text().split("## Object storage", 1)[1].split("\n## ", 1)[0]
    return re.search(r"```bash\n(.*?)```", section, re.S).group(1)


def test_the_readme_object_storage_example_runs_as_written(tmp_path):
    # Only where it would collide with other servers on this machine: its own ports and directory.
    s3_port = free_port()
    script = readme_example().replace("8333", str(s3_port)).replace("/tmp/weed", str(tmp_path / "weed"))
    ports = " ".join(f"-{name}.port={free_port()} -{name}.port.grpc={free_port()}"
                     for name in ("master", "volume", "filer"))
    script = script.replace("weed server ", f"weed server {ports} -s3.port.grpc={free_port()} ", 1)
    venv_bin = str(Path(sys.executable).parent)  # as an activated venv puts it first on PATH
    environment = {**os.environ, "PATH": venv_bin + os.pathsep + os.environ["PATH"]}
    for name in list(environment):
        if name.startswith("AWS_"):
            del environment[name]
    ran = subprocess.run(["bash", "-euo", "pipefail", "-c", script], cwd=tmp_path, env=environment,
                         capture_output=True, text=True, timeout=300)
    assert ran.returncode == 0, ran.stderr + (tmp_path / "weed" / "weed.log").read_text()[-2000:]
    assert re.search(r"^a\s+1\.0$", ran.stdout, re.M) and "2024-03-04" in ran.stdout
    # The example's last step stopped the server: nothing answers on its port any more.
    with socket.socket() as probe:
        assert probe.connect_ex(("127.0.0.1", s3_port)) != 0
