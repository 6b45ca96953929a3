#!/usr/bin/env bash
# Runs every test: the core's GoogleTest suite through CTest, then the module's pytest suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh

cmake -S . -B build/core -G Ninja -DORMEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/core -j 2
ctest --test-dir build/core --output-on-failure -j 2

.venv/bin/python -m pytest -q tests/python
