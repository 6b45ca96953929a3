#!/usr/bin/env bash
# Runs the quickstart example against a freshly built module.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
.venv/bin/python examples/quickstart.py "$@"
