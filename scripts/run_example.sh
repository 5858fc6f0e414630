#!/usr/bin/env bash
# Builds and installs greekmill_python from this checkout, then prices a
# small option chain with it.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install -q .
python3 examples/price_chain.py
