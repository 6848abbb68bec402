"""The README as an entry point: short, the set-up and test commands and a first store on its first
screen, contents that lead to real sections, and a first example that prints what the README says."""

import re
import subprocess
import sys
from pathlib import Path

README = Path(__file__).resolve().parents[1] / "README.md"


def first_python_block(text):
    return re.search(r"```python\n(.*?)```", text, re.S)


def test_the_first_screen_holds_the_commands_and_a_first_store():
    text = README.read_text()
    assert len(text.splitlines()) <= 500
    head = "\n".join(text.splitlines()[:80])
    assert re.search(r"```sh\n.*^scripts/run test ", head, re.S | re.M)  # the command .ci/run relies on
    example = first_python_block(text)
    assert example and text[:example.end()].count("\n") < 80


def test_the_contents_lead_to_sections():
    text = README.read_text()
    contents = text.split("## Contents", 1)[1].split("\n## ", 1)[0]
    anchors = re.findall(r"\]\(#([^)]+)\)", contents)
    headings = {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")
                for heading in re.findall(r"^## (.+)$", text, re.M)}
    assert len(anchors) >= 8 and set(anchors) <= headings, (anchors, headings)


def test_the_first_example_prints_what_the_readme_shows(tmp_path):
    code = first_python_block(README.read_text()).group(1)
    shown = [line[2:] for line in code.splitlines() if line.startswith("# ")]
    ran = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert ran.returncode == 0, ran.stderr
    printed = ran.stdout.splitlines()
    # Every line shown is printed (status lines come in completion order; a line cut with "..." is a prefix).
    for line in shown:
        assert any(out == line or (line.endswith("...") and out.startswith(line[:-3])) for out in printed), line
