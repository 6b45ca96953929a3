"""What readers that follow a writer cost the writer.

A writer makes agent turns (remember 2 memories, flush) on a database of --memories memories
(384 dims); alone, and with --readers reader processes that each follow it
(open(read_only=True, follow=True)) and poll refresh() every --poll-ms milliseconds (with
--reader-work search, also running an exact search of 5 whenever the state moved on). Rounds alternate between the two, so that
both see the same machine; the ratio of the medians is what the readers cost per commit.

    ./scripts/bench.sh bench/bench_follow.py --memories 10000 --readers 4
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from common import PASSPHRASE, clustered_vectors

import ormel

DIMS = 384
READER = """
import sys, time, numpy as np, ormel
db = ormel.open(sys.argv[1], sys.argv[2], read_only=True, follow=True)
poll = float(sys.argv[3]) / 1000
query = np.ones(384, dtype=np.float32)
print("following", flush=True)
search = sys.argv[4] == "search"
while True:
    if db.refresh() and search:
        db.search(query, top_k=5)
    time.sleep(poll)
"""


def build(path: str, n: int) -> None:
    db = ormel.open(path, PASSPHRASE, dimensions=DIMS)
    vectors = clustered_vectors(n, DIMS)
    for start in range(0, n, 10_000):
        rows = vectors[start:start + 10_000]
        db.remember_many([f"note {start + i}" for i in range(len(rows))], "semantic", rows, agent_id="bench")
        db.flush()
    db.set_auto_compact(None)
    db.release()


def turns(db: ormel.Ormel, count: int, rng: np.random.Generator) -> list[float]:
    samples = []
    for _ in range(count):
        rows = rng.normal(size=(2, DIMS)).astype(np.float32)
        start = time.perf_counter()
        db.remember("turn a", "episodic", rows[0], agent_id="bench")
        db.remember("turn b", "episodic", rows[1], agent_id="bench")
        db.flush()
        samples.append(time.perf_counter() - start)
    return samples


def start_readers(path: str, n: int, poll_ms: float, work: str) -> list[subprocess.Popen[str]]:
    readers = [subprocess.Popen([sys.executable, "-c", READER, path, PASSPHRASE, str(poll_ms), work],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True) for _ in range(n)]
    for reader in readers:
        assert reader.stdout is not None and reader.stdout.readline() == "following\n"
    return readers


def stop(readers: list[subprocess.Popen[str]]) -> None:
    for reader in readers:
        reader.kill()
        reader.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--memories", type=int, default=10_000)
    parser.add_argument("--readers", type=int, default=4)
    parser.add_argument("--poll-ms", type=float, default=10.0)
    parser.add_argument("--reader-work", choices=("refresh", "search"), default="refresh",
                        help="what a follower does when the state moved on: nothing more, or an exact search of 5")
    parser.add_argument("--turns", type=int, default=100, help="agent turns per round")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="ormel-bench-follow-") as tmp:
        path = os.path.join(tmp, "follow.ormel")
        build(path, args.memories)
        db = ormel.open(path, PASSPHRASE)
        db.set_auto_compact(None)
        rng = np.random.default_rng(3)
        turns(db, 20, rng)  # warm
        alone: list[float] = []
        followed: list[float] = []
        for _ in range(args.rounds):
            alone += turns(db, args.turns, rng)
            readers = start_readers(path, args.readers, args.poll_ms, args.reader_work)
            try:
                followed += turns(db, args.turns, rng)
            finally:
                stop(readers)
        db.release()
    a, f = statistics.median(alone), statistics.median(followed)
    print(f"{args.memories:,} memories, agent turn (remember 2, flush), {args.rounds} alternating rounds of "
          f"{args.turns} turns, {os.cpu_count()} cores")
    print(f"{'':32}{'median':>10}{'p95':>10}")
    for label, samples in (("writer alone", alone), (f"with {args.readers} followers ({args.reader_work})",
                                                     followed)):
        p95 = float(np.percentile(samples, 95))
        print(f"{label:32}{statistics.median(samples) * 1e3:>8.2f}ms{p95 * 1e3:>8.2f}ms")
    print(f"commit with followers / alone: {f / a:.2f} (goal at most 1.10)")


if __name__ == "__main__":
    main()
