#!/usr/bin/env bash
# Runs every test: the core's GoogleTest suite through CTest, the same suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, every decoder fuzzed for a bounded time
# (scripts/fuzz.sh, ORMEL_FUZZ_SECONDS per target), then the module's pytest suite with the
# damaged-file test given ORMEL_MUTATION_SECONDS per database (default 40) and the seed
# ORMEL_MUTATION_SEED (default 1; any other value explores other damage).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/setup.sh

cmake -S . -B build/core -G Ninja -DORMEL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/core -j 2
ctest --test-dir build/core --output-on-failure -j 2

cmake -S . -B build/asan -G Ninja -DORMEL_BUILD_TESTS=ON -DORMEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/asan -j 2
UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build/asan --output-on-failure -j 2

scripts/fuzz.sh

seed=${ORMEL_MUTATION_SEED:-1}
echo "test: damaged-file seed $seed (ORMEL_MUTATION_SEED=$seed replays it)"
ORMEL_MUTATION_SECONDS=${ORMEL_MUTATION_SECONDS:-40} ORMEL_MUTATION_SEED=$seed .venv/bin/python -m pytest -q tests/python
