#!/usr/bin/env bash
# Creates bench/.peers-venv on first use and prints its interpreter. The peers live apart from the
# package's own environment: ArcticDB needs pandas < 3, and neither peer is a dependency of corvane.
#   PYTHON=/path/to/python3.12 picks the interpreter (default: the one running bench/run.py).
set -euo pipefail
cd "$(dirname "$0")"
venv=.peers-venv
pins=(arcticdb==6.28.2 "deltalake[pandas,pyarrow]==1.6.6" "pandas>=2.2,<3" "pyarrow>=21")
stamp="$venv/.pins"
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "${pins[*]}" ]; then
    echo "setting up $PWD/$venv (ArcticDB, deltalake)" >&2
    "${PYTHON:-python3.12}" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip >&2
    "$venv/bin/python" -m pip install -q "${pins[@]}" >&2
    echo "${pins[*]}" >"$stamp"
fi
echo "$PWD/$venv/bin/python"
