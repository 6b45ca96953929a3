#!/usr/bin/env bash
# Fuzzes every decoder a file feeds: builds the libFuzzer targets of tests/fuzz (clang, with
# AddressSanitizer and UndefinedBehaviorSanitizer), writes their seeds from databases the
# engine creates, replays every kept regression input, then fuzzes each target for
# ORMEL_FUZZ_SECONDS seconds (default 20).
#   scripts/fuzz.sh [target...]      e.g. scripts/fuzz.sh wal_fuzz header_fuzz
# A crash stops the run; its input is saved in build/fuzz/crashes/. Once the fault is mended,
# keep the input as tests/fuzz/regressions/<target>/<what-it-shows>, so it runs every time.
set -euo pipefail
shopt -s nullglob
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${ORMEL_FUZZ_SECONDS:-20}
cxx=${ORMEL_FUZZ_CXX:-clang++-19}

launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B build/fuzz -G Ninja -DORMEL_BUILD_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER="$cxx" "${launcher[@]}" >/dev/null
cmake --build build/fuzz -j 2

out=build/fuzz
rm -rf "$out/seeds"
"$out/tests/fuzz/fuzz_seeds" "$out/seeds" tests/fixtures
mkdir -p "$out/crashes" "$out/logs"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in tests/fuzz/*_fuzz.cc; do targets+=("$(basename "$src" .cc)"); done
fi
for t in "${targets[@]}"; do
  bin="$out/tests/fuzz/$t"
  log="$out/logs/$t.log"
  regressions=(tests/fuzz/regressions/"$t"/*)
  if [ ${#regressions[@]} -gt 0 ] && ! "$bin" "${regressions[@]}" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $t fails on a kept regression input (log: $log)" >&2
    exit 1
  fi
  mkdir -p "$out/corpus/$t"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$out/crashes/$t-" \
       "$out/corpus/$t" "$out/seeds/$t" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $t crashed; the input is in $out/crashes/ (log: $log)" >&2
    exit 1
  fi
  echo "fuzz: $t: $(grep -Eo '^#[0-9]+' "$log" | tail -n 1 | tr -d '#') runs in ${seconds} s, ${#regressions[@]} kept inputs, no fault"
done
