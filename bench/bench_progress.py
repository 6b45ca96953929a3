"""What a progress callable costs the long methods: each of remember_many, build_index, verify
and compact timed with progress=None and with a callable that counts its calls, alternately
in the same run (the median of --repeats each). Also how evenly build_index's work units
track its time: the largest gap, over its reports, between done / total and the share of
the build's time elapsed.

    ./scripts/bench.sh bench/bench_progress.py [--memories 20000] [--repeats 3]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

import ormel
from common import PASSPHRASE, clustered_vectors, fmt, scratch_dir

DIMS = 384


class Counter:
    def __init__(self) -> None:
        self.calls = 0

    def __call__(self, done: int, total: int) -> None:
        self.calls += 1


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def compare(name: str, run, repeats: int) -> tuple[str, str, str, str]:
    """Times run(progress) with a counter and with None, alternately; returns a table row."""
    with_progress, without = [], []
    counter = Counter()
    for _ in range(repeats):
        with_progress.append(timed(lambda: run(counter)))
        without.append(timed(lambda: run(None)))
    a, b = statistics.median(with_progress), statistics.median(without)
    return (f"{name} ({counter.calls // repeats} calls)", fmt(a), fmt(b), f"{a / b:.2f}")


def tracking(db: ormel.Ormel) -> float:
    """The largest gap between build_index's done / total and its share of time elapsed."""
    marks: list[tuple[float, float]] = []
    start = time.perf_counter()
    db.build_index(progress=lambda done, total: marks.append((time.perf_counter() - start, done / total)))
    elapsed = time.perf_counter() - start
    return max(abs(fraction - t / elapsed) for t, fraction in marks)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--memories", type=int, default=20000)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    n = args.memories
    vectors = clustered_vectors(n, DIMS)
    texts = [f"memory {i} about the release plan" for i in range(n)]
    with scratch_dir("ormel-progress-") as directory:
        db = ormel.open(os.path.join(directory, "bench.ormel"), PASSPHRASE, dimensions=DIMS)
        db.set_auto_compact(None)
        for part in range(4):  # four transactions, so that compaction has history to copy
            lo, hi = part * n // 4, (part + 1) * n // 4
            db.remember_many(texts[lo:hi], "semantic", vectors[lo:hi])
            db.flush()
        rows = [
            compare("build_index", lambda p: db.build_index(progress=p), args.repeats),
            compare("verify", lambda p: db.verify(progress=p), args.repeats),
            compare("compact", lambda p: db.compact(progress=p), args.repeats),
        ]
        gap = tracking(db)
        batch = texts[: n // 4], vectors[: n // 4]
        rows.append(compare(f"remember_many of {n // 4}",
                            lambda p: db.remember_many(batch[0], "semantic", batch[1], progress=p), args.repeats))
    print(f"\nprogress callable vs progress=None, {n} memories of {DIMS} dims (median of {args.repeats})")
    header = ("method", "with progress", "progress=None", "ratio")
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(4)]
    for row in [header] + rows:
        print("  " + "  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)))
    print(f"\nbuild_index: done / total stays within {gap:.1%} of the share of time elapsed")


if __name__ == "__main__":
    main()
