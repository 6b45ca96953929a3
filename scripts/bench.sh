#!/usr/bin/env bash
# Runs one benchmark script under bench/ against a freshly built module, with its peers installed.
#   ./scripts/bench.sh bench/bench_memories.py [args...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh
stamp=.venv/.bench-installed
if [ ! -f "$stamp" ] || [ bench/requirements.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install -q -r bench/requirements.txt
  touch "$stamp"
fi
script=$1; shift
exec .venv/bin/python "$script" "$@"
