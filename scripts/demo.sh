#!/usr/bin/env bash
# Sets up the package in a virtual environment and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
VENV=${VENV:-.venv}
"$PYTHON" -m venv "$VENV"
"$VENV/bin/python" -m pip install -q --upgrade pip
"$VENV/bin/python" -m pip install -q .
"$VENV/bin/python" examples/credit_scoring.py
