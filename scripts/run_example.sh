#!/usr/bin/env bash
# Builds and installs greekmill from this checkout, then prices a small
# option chain with it.  Inside an activated virtual environment the package
# goes there; otherwise into the project's own, .venv (made on first use),
# so that it also works where the system Python is externally managed.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/venv.sh
source scripts/venv.sh

python=python3
if ! in_venv "$python"; then
  [ -x .venv/bin/python ] || fresh_venv "$python" .venv
  python=.venv/bin/python
fi
"$python" -m pip install -q .
"$python" examples/price_chain.py
