#!/usr/bin/env bash
# Builds one self-contained abi3 wheel (CPython 3.11 and later) into dist/: libcrypto,
# libargon2, zlib, utf8proc, libstemmer and the C++ runtime are linked into the extension
# with their symbols hidden; auditwheel copies in ISA-L (which Debian ships shared only),
# checks the result and gives it the manylinux tag it qualifies for.
#   ./scripts/wheel.sh [outdir]   -> outdir (default dist)/ormel-<version>-cp311-abi3-manylinux_*.whl
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
[ -n "${ORMEL_SETUP_DONE:-}" ] || scripts/setup.sh

raw=build/wheel-raw
rm -rf "$raw"
.venv/bin/python -m pip wheel -q . --no-build-isolation --no-deps -w "$raw" \
  -C build-dir=build/wheel -C cmake.define.ORMEL_STATIC_DEPS=ON
out=${1:-dist}
mkdir -p "$out"
rm -f "$out"/ormel-*.whl
PATH="$root/.venv/bin:$PATH" .venv/bin/auditwheel repair -w "$out" "$raw"/ormel-*.whl
ls "$out"/ormel-*.whl
