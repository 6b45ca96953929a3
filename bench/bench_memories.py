"""Storing and fetching memories: ormel against SQLCipher, in the same process.

For each size: staged `remember` throughput from Python lists and from numpy arrays, the
batch `remember_many` from one numpy array, the `flush` that commits them, `get` latency
warm and cold (after reopening), and file size per memory. SQLCipher stores the same rows
(id, content, vector blob, metadata JSON) in one transaction of the same size, row by row
with `execute` and in one `executemany`. Ratios are ormel / SQLCipher (below 1: ormel
faster); a second table sets `remember_many` against the `remember` loop from numpy rows.

    ./scripts/bench.sh bench/bench_memories.py [--sizes 10000 100000] [--dims 384] [--repeats 3]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import uuid

import numpy as np

import ormel
from common import (PASSPHRASE, clustered_vectors, fmt, median_seconds, print_table, scratch_dir, sqlcipher_connect,
                    stopwatch)

GET_SAMPLES = 2000


def contents(n: int) -> list[str]:
    return [f"memory {i}: the agent noted fact number {i} about the project" for i in range(n)]


def bench_ormel(directory: str, vectors: np.ndarray, texts: list[str], as_numpy: bool) -> dict:
    path = os.path.join(directory, f"bench-{'np' if as_numpy else 'list'}.ormel")
    db = ormel.open(path, PASSPHRASE, dimensions=vectors.shape[1])
    rows = vectors if as_numpy else vectors.tolist()
    metadata = {"source": "bench"}
    ids = []
    with stopwatch() as staged:
        for text, vector in zip(texts, rows):
            ids.append(db.remember(text, "semantic", vector, metadata=metadata))
    with stopwatch() as flushed:
        db.flush()
    sample = random.Random(1).sample(ids, min(GET_SAMPLES, len(ids)))

    def fetch():
        for i in sample:
            db.get(i)

    fetch()  # bring the sampled pages into the page cache
    warm = median_seconds(fetch, 3) / len(sample)
    del db
    db = ormel.open(path, PASSPHRASE)
    with stopwatch() as cold:
        for i in sample:
            db.get(i)
    del db
    return {
        "remember": staged["seconds"] / len(texts),
        "flush": flushed["seconds"],
        "get_warm": warm,
        "get_cold": cold["seconds"] / len(sample),
        "bytes_per_memory": os.path.getsize(path) / len(texts),
    }


def bench_ormel_batch(directory: str, vectors: np.ndarray, texts: list[str], repeats: int) -> dict:
    """Per-memory seconds of remember_many from the numpy array and of a remember loop over its
    rows, each the median of `repeats` runs on fresh files, the two kinds alternating so that
    both see the same machine."""
    metadata = {"source": "bench"}

    def staged(kind: str, run: int) -> float:
        db = ormel.open(os.path.join(directory, f"bench-{kind}-{run}.ormel"), PASSPHRASE, dimensions=vectors.shape[1])
        with stopwatch() as timed:
            if kind == "batch":
                db.remember_many(texts, "semantic", vectors, metadata=metadata)
            else:
                for text, vector in zip(texts, vectors):
                    db.remember(text, "semantic", vector, metadata=metadata)
        del db
        return timed["seconds"] / len(texts)

    runs = [(staged("batch", r), staged("loop", r)) for r in range(repeats)]
    return {"remember_many": statistics.median(b for b, _ in runs), "loop": statistics.median(l for _, l in runs)}


def bench_sqlcipher(directory: str, vectors: np.ndarray, texts: list[str]) -> dict:
    path = os.path.join(directory, "bench.sqlcipher")
    conn = sqlcipher_connect(path)
    conn.execute("CREATE TABLE memories (id TEXT PRIMARY KEY, content TEXT, vector BLOB, metadata TEXT)")
    ids = [uuid.uuid4().hex for _ in texts]
    metadata = json.dumps({"source": "bench"})
    conn.execute("BEGIN")
    with stopwatch() as staged:
        for i, text, vector in zip(ids, texts, vectors):
            conn.execute("INSERT INTO memories VALUES (?, ?, ?, ?)", (i, text, vector.tobytes(), metadata))
    with stopwatch() as committed:
        conn.execute("COMMIT")
    sample = random.Random(1).sample(ids, min(GET_SAMPLES, len(ids)))

    def fetch(c):
        for i in sample:
            row = c.execute("SELECT content, vector, metadata FROM memories WHERE id = ?", (i,)).fetchone()
            np.frombuffer(row[1], dtype=np.float32).tolist()
            json.loads(row[2])

    fetch(conn)
    warm = median_seconds(lambda: fetch(conn), 3) / len(sample)
    conn.close()
    conn = sqlcipher_connect(path)
    conn.execute("SELECT count(*) FROM sqlite_master").fetchone()  # key check outside the timing
    with stopwatch() as cold:
        fetch(conn)
    conn.close()
    return {
        "remember": staged["seconds"] / len(texts),
        "remember_many": bench_sqlcipher_batch(directory, vectors, texts),
        "flush": committed["seconds"],
        "get_warm": warm,
        "get_cold": cold["seconds"] / len(sample),
        "bytes_per_memory": os.path.getsize(path) / len(texts),
    }


def bench_sqlcipher_batch(directory: str, vectors: np.ndarray, texts: list[str]) -> float:
    """Seconds per row of one executemany inside a transaction, the rows built on the fly."""
    conn = sqlcipher_connect(os.path.join(directory, "bench-batch.sqlcipher"))
    conn.execute("CREATE TABLE memories (id TEXT PRIMARY KEY, content TEXT, vector BLOB, metadata TEXT)")
    metadata = json.dumps({"source": "bench"})
    conn.execute("BEGIN")
    with stopwatch() as staged:
        conn.executemany("INSERT INTO memories VALUES (?, ?, ?, ?)",
                         ((uuid.uuid4().hex, text, vector.tobytes(), metadata) for text, vector in zip(texts, vectors)))
    conn.execute("COMMIT")
    conn.close()
    return staged["seconds"] / len(texts)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--dims", type=int, default=384)
    parser.add_argument("--repeats", type=int, default=3, help="runs of the remember_many / loop comparison")
    args = parser.parse_args()
    for n in args.sizes:
        vectors = clustered_vectors(n, args.dims)
        texts = contents(n)
        with scratch_dir("ormel-bench-") as directory:
            from_lists = bench_ormel(directory, vectors, texts, as_numpy=False)
            from_numpy = bench_ormel(directory, vectors, texts, as_numpy=True)
            batch = bench_ormel_batch(directory, vectors, texts, args.repeats)
            peer = bench_sqlcipher(directory, vectors, texts)
        rows = []
        for label, ours, key in (
            ("remember (list), per memory", from_lists, "remember"),
            ("remember (numpy), per memory", from_numpy, "remember"),
            ("remember_many vs executemany, per memory", batch, "remember_many"),
            ("flush / commit", from_lists, "flush"),
            ("get warm", from_lists, "get_warm"),
            ("get cold (after reopen)", from_lists, "get_cold"),
        ):
            rows.append((label, fmt(ours[key]), fmt(peer[key]), f"{ours[key] / peer[key]:.2f}"))
        rows.append(("bytes per memory", f"{from_lists['bytes_per_memory']:.0f}",
                     f"{peer['bytes_per_memory']:.0f}",
                     f"{from_lists['bytes_per_memory'] / peer['bytes_per_memory']:.2f}"))
        print_table(f"{n} memories x {args.dims} dims (peer: SQLCipher {peer_version()})", rows)
        many, loop = batch["remember_many"], batch["loop"]
        print_table(f"{n} memories x {args.dims} dims, median of {args.repeats} alternating runs "
                    "(peer: a loop of remember from numpy rows)",
                    [("remember_many, per memory", fmt(many), fmt(loop), f"{many / loop:.2f}")])


def peer_version() -> str:
    import sqlcipher3

    conn = sqlcipher3.connect(":memory:")
    version = conn.execute("PRAGMA cipher_version").fetchone()[0]
    conn.close()
    return version


if __name__ == "__main__":
    main()
