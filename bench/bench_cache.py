"""Result cache: exact-key and semantic lookups and puts, against SQLCipher and numpy.

For each size (live entries in one namespace):
  - exact-key cache, filled through `cache_put`: `cache_get` hit latency, `cache_put`
    latency of a new key (each put commits with its own flush), and the file growth per
    put; the peer is a SQLCipher table keyed by (namespace, key), one autocommit
    transaction per put;
  - semantic cache, filled through `cache_put_semantic` with 384-dimensional keys:
    `cache_get_semantic` hit latency against numpy brute-force cosine (argmax and the
    threshold test) over the same keys in the same run, and `cache_put_semantic` latency
    and file growth per put.
Every put rewrites the whole cache directory (semantic rows carry their vectors), so the
file grows by about the directory's size per put and a fill costs time and disk quadratic
in the size. A fill stops once the file passes --max-file-gib; the table then names the
size actually reached. Ratios are ormel / peer (below 1: ormel faster).

    ./scripts/bench.sh bench/bench_cache.py [--sizes 1000 10000] [--dims 384] [--max-file-gib 8]
"""

from __future__ import annotations

import argparse
import os
import random

from common import PASSPHRASE, clustered_vectors, fmt, median_seconds, print_table, scratch_dir, stopwatch  # isort: skip

import numpy as np  # noqa: E402

import ormel  # noqa: E402

NAMESPACE = "bench"
MODEL = "bench-embedder"
GET_SAMPLES = 1000
PUT_SAMPLES = 50
SEMANTIC_QUERIES = 200


def value_of(i: int) -> str:
    return f"cached answer {i}: " + "the tool returned a result worth keeping " * 2


def fill(path: str, n: int, max_bytes: int, put) -> tuple[int, float]:
    """Puts entries 0..n-1 until the file passes max_bytes; returns (count, seconds)."""
    count = 0
    with stopwatch() as elapsed:
        while count < n:
            put(count)
            count += 1
            if count % 100 == 0 and os.path.getsize(path) > max_bytes:
                break
    return count, elapsed["seconds"]


def timed_puts(path: str, put) -> tuple[float, float]:
    """Median latency and mean file growth of PUT_SAMPLES puts of new keys."""
    before = os.path.getsize(path)
    samples = []
    for j in range(PUT_SAMPLES):
        with stopwatch() as one:
            put(j)
        samples.append(one["seconds"])
    return float(np.median(samples)), (os.path.getsize(path) - before) / PUT_SAMPLES


def bench_exact(directory: str, n: int, max_bytes: int) -> dict:
    path = os.path.join(directory, "exact.ormel")
    db = ormel.open(path, PASSPHRASE, dimensions=8)
    count, fill_seconds = fill(path, n, max_bytes, lambda i: db.cache_put(NAMESPACE, f"key {i}", value_of(i)))
    sample = [f"key {i}" for i in random.Random(1).sample(range(count), min(GET_SAMPLES, count))]

    def fetch():
        for key in sample:
            db.cache_get(NAMESPACE, key)

    fetch()
    get = median_seconds(fetch, 3) / len(sample)
    put, growth = timed_puts(path, lambda j: db.cache_put(NAMESPACE, f"extra {j}", value_of(j)))
    assert db.cache_get(NAMESPACE, sample[0]) is not None
    del db
    return {"count": count, "fill": fill_seconds, "get": get, "put": put, "growth": growth}


def bench_sqlcipher(directory: str, n: int) -> dict:
    import sqlcipher3

    path = os.path.join(directory, "exact.sqlcipher")
    conn = sqlcipher3.connect(path, isolation_level=None)
    conn.execute(f"PRAGMA key = '{PASSPHRASE}'")
    conn.execute("CREATE TABLE cache (namespace TEXT, key TEXT, value BLOB, PRIMARY KEY (namespace, key))")
    conn.execute("BEGIN")
    for i in range(n):
        conn.execute("INSERT INTO cache VALUES (?, ?, ?)", (NAMESPACE, f"key {i}", value_of(i).encode()))
    conn.execute("COMMIT")
    sample = [f"key {i}" for i in random.Random(1).sample(range(n), min(GET_SAMPLES, n))]

    def fetch():
        for key in sample:
            conn.execute("SELECT value FROM cache WHERE namespace = ? AND key = ?", (NAMESPACE, key)).fetchone()

    fetch()
    get = median_seconds(fetch, 3) / len(sample)
    put, growth = timed_puts(path, lambda j: conn.execute(
        "INSERT OR REPLACE INTO cache VALUES (?, ?, ?)", (NAMESPACE, f"extra {j}", value_of(j).encode())))
    version = conn.execute("PRAGMA cipher_version").fetchone()[0]
    conn.close()
    return {"get": get, "put": put, "growth": growth, "version": version}


def bench_semantic(directory: str, n: int, dims: int, max_bytes: int) -> dict:
    keys = clustered_vectors(n + PUT_SAMPLES + SEMANTIC_QUERIES, dims, seed=11)
    stored, extra = keys[:n], keys[n:n + PUT_SAMPLES]
    path = os.path.join(directory, "semantic.ormel")
    db = ormel.open(path, PASSPHRASE, dimensions=dims)
    count, fill_seconds = fill(
        path, n, max_bytes, lambda i: db.cache_put_semantic(NAMESPACE, f"key {i}", stored[i], value_of(i), MODEL))
    stored = stored[:count]
    # Hits: stored keys with a little noise, well above the default threshold.
    rng = np.random.default_rng(3)
    picks = rng.integers(0, count, size=SEMANTIC_QUERIES)
    queries = stored[picks] + 0.005 * rng.normal(size=(SEMANTIC_QUERIES, dims)).astype(np.float32)
    queries = (queries / np.linalg.norm(queries, axis=1, keepdims=True)).astype(np.float32)

    def lookups():
        for q in queries:
            db.cache_get_semantic(NAMESPACE, q, MODEL)

    lookups()
    get = median_seconds(lookups, 3) / len(queries)
    norms = np.linalg.norm(stored, axis=1)

    def numpy_lookup(q: np.ndarray):
        scores = (stored @ q) / (norms * np.linalg.norm(q))
        best = int(np.argmax(scores))
        return best if scores[best] >= np.float32(0.97) else None

    numpy_get = median_seconds(lambda: [numpy_lookup(q) for q in queries], 3) / len(queries)
    hits = [db.cache_get_semantic(NAMESPACE, q, MODEL) for q in queries[:20]]
    winners = [numpy_lookup(q) for q in queries[:20]]
    agree = all(h is not None and w is not None and h["value"] == value_of(w).encode() for h, w in zip(hits, winners))
    put, growth = timed_puts(
        path, lambda j: db.cache_put_semantic(NAMESPACE, f"extra {j}", extra[j], value_of(j), MODEL))
    del db
    return {"count": count, "fill": fill_seconds, "get": get, "numpy_get": numpy_get, "agree": agree,
            "put": put, "growth": growth}


def size_label(wanted: int, reached: int) -> str:
    return f"{reached}" if reached == wanted else f"{reached} (fill stopped at the file cap, {wanted} wanted)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--dims", type=int, default=384)
    parser.add_argument("--max-file-gib", type=float, default=8.0)
    args = parser.parse_args()
    max_bytes = int(args.max_file_gib * 2**30)
    for n in args.sizes:
        with scratch_dir("ormel-bench-") as directory:
            exact = bench_exact(directory, n, max_bytes)
            peer = bench_sqlcipher(directory, exact["count"])
        with scratch_dir("ormel-bench-") as directory:
            semantic = bench_semantic(directory, n, args.dims, max_bytes)
        print_table(
            f"exact-key cache, {size_label(n, exact['count'])} entries (peer: SQLCipher {peer['version']})",
            [
                ("cache_get hit", fmt(exact["get"]), fmt(peer["get"]), f"{exact['get'] / peer['get']:.2f}"),
                ("cache_put of a new key, with its commit", fmt(exact["put"]), fmt(peer["put"]),
                 f"{exact['put'] / peer['put']:.2f}"),
                ("file growth per put", f"{exact['growth']:.0f} B", f"{peer['growth']:.0f} B",
                 f"{exact['growth'] / peer['growth']:.0f}" if peer["growth"] > 0 else "-"),
                (f"fill: {exact['count']} puts", fmt(exact["fill"]), "-", "-"),
            ],
        )
        print_table(
            f"semantic cache, {size_label(n, semantic['count'])} entries x {args.dims} dims "
            f"(peer: numpy {np.__version__} brute-force cosine; same winners: {semantic['agree']})",
            [
                ("cache_get_semantic hit", fmt(semantic["get"]), fmt(semantic["numpy_get"]),
                 f"{semantic['get'] / semantic['numpy_get']:.2f}"),
                ("cache_put_semantic, with its commit", fmt(semantic["put"]), "-", "-"),
                ("file growth per put", f"{semantic['growth'] / 2**20:.2f} MiB", "-", "-"),
                (f"fill: {semantic['count']} puts", fmt(semantic["fill"]), "-", "-"),
            ],
        )


if __name__ == "__main__":
    main()
