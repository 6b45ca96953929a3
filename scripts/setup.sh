#!/usr/bin/env bash
# Installs everything the project needs, and only what is missing: Debian's -dev packages,
# a virtual environment with the Python tools, and the ormel module itself (built from this tree).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

debs=(g++ cmake ninja-build pkg-config libssl-dev libargon2-dev zlib1g-dev libmsgpack-cxx-dev
      nlohmann-json3-dev libisal-dev libutf8proc-dev libstemmer-dev libgtest-dev python3-dev python3-venv clang-19 libclang-rt-19-dev)
missing=()
for p in "${debs[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=""; [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x .venv/bin/python ]; then
  python3 -m venv .venv
fi
stamp=.venv/.tools-installed
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  touch "$stamp"
fi

# Build and install the module; the build directory is kept, so a rebuild is incremental.
.venv/bin/python -m pip install -q --no-build-isolation .
