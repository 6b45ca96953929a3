"""Result cache: exact-key and semantic lookups and puts, against SQLCipher and numpy.

For each size (live entries in one namespace):
  - exact-key cache, filled through `cache_put`: `cache_get` hit latency, `cache_put`
    latency of a new key (median and p95; each put commits with its own flush), and the
    file growth per put; the peer is a SQLCipher table keyed by (namespace, key), one
    autocommit transaction per put;
  - semantic cache, filled through `cache_put_semantic` with 384-dimensional keys:
    `cache_get_semantic` hit latency against numpy brute-force cosine (argmax and the
    threshold test) over the same keys in the same run, and `cache_put_semantic` latency
    (median and p95) and file growth per put against SQLCipher rows (key, model, vector,
    value; one autocommit transaction per put) plus an append to an in-memory numpy matrix
    whose capacity doubles when full;
  - loading that many entries into a new file in one `with db.batch():` block (then a
    flush), exact and semantic, against one SQLCipher `executemany` in one transaction
    (plus the numpy matrix for the semantic rows); n/a on a build without `batch`.
On format version 8 every put rewrites the whole cache directory (semantic rows carry their
vectors), so the file grows by about the directory's size per put and a fill costs time and
disk quadratic in the size. A fill stops once the file passes --max-file-gib; the title then
names the size actually reached, and the peers hold the most entries any format reached.
ormel runs once per file format version given with --format (default 8 and 9; one this
build cannot create shows n/a), side by side. Ratios are ormel / peer (below 1: ormel
faster).

    ./scripts/bench.sh bench/bench_cache.py [--sizes 1000 10000] [--dims 384] [--max-file-gib 8] [--format 8 9]
"""

from __future__ import annotations

import argparse
import os
import random
import statistics

from common import (PASSPHRASE, GrowingColumns, add_format_option, available_formats, batch_of,  # isort: skip
                    clustered_vectors, fmt, format_name, median_seconds, open_ormel, p95, print_formats_table,
                    scratch_dir, sqlcipher_connect, stopwatch)

import numpy as np  # noqa: E402

NAMESPACE = "bench"
MODEL = "bench-embedder"
GET_SAMPLES = 1000
PUT_SAMPLES = 100
SEMANTIC_QUERIES = 200
THRESHOLD = np.float32(0.97)  # cache_get_semantic's default


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


def timed_puts(path: str, put) -> dict:
    """Median and p95 latency and mean file growth of PUT_SAMPLES puts of new keys."""
    before = os.path.getsize(path)
    samples = []
    for j in range(PUT_SAMPLES):
        with stopwatch() as one:
            put(j)
        samples.append(one["seconds"])
    return {"put": statistics.median(samples), "put_p95": p95(samples),
            "growth": (os.path.getsize(path) - before) / PUT_SAMPLES}


# --- exact-key cache --------------------------------------------------------------------

def bench_exact(directory: str, n: int, max_bytes: int, version: int) -> dict:
    path = os.path.join(directory, f"exact-v{version}.ormel")
    db = open_ormel(path, version, dimensions=8)
    count, fill_seconds = fill(path, n, max_bytes, lambda i: db.cache_put(NAMESPACE, f"key {i}", value_of(i)))
    sample = [f"key {i}" for i in random.Random(1).sample(range(count), min(GET_SAMPLES, count))]

    def fetch():
        for key in sample:
            db.cache_get(NAMESPACE, key)

    fetch()
    get = median_seconds(fetch, 3) / len(sample)
    puts = timed_puts(path, lambda j: db.cache_put(NAMESPACE, f"extra {j}", value_of(j)))
    assert db.cache_get(NAMESPACE, sample[0]) is not None
    del db
    return {"count": count, "fill": fill_seconds, "get": get, **puts}


def create_exact_table(conn) -> None:
    conn.execute("CREATE TABLE cache (namespace TEXT, key TEXT, value BLOB, PRIMARY KEY (namespace, key))")


def bench_sqlcipher(directory: str, n: int) -> dict:
    path = os.path.join(directory, "exact.sqlcipher")
    conn = sqlcipher_connect(path)
    create_exact_table(conn)
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
    puts = timed_puts(path, lambda j: conn.execute(
        "INSERT OR REPLACE INTO cache VALUES (?, ?, ?)", (NAMESPACE, f"extra {j}", value_of(j).encode())))
    version = conn.execute("PRAGMA cipher_version").fetchone()[0]
    conn.close()
    return {"get": get, "version": version, **puts}


# --- semantic cache ---------------------------------------------------------------------

def semantic_keys(n: int, dims: int) -> tuple[np.ndarray, np.ndarray]:
    """The n stored keys and PUT_SAMPLES extra ones, the same for every system."""
    keys = clustered_vectors(n + PUT_SAMPLES, dims, seed=11)
    return keys[:n], keys[n:]


def hit_queries(stored: np.ndarray) -> np.ndarray:
    """Stored keys with a little noise, well above the default threshold."""
    rng = np.random.default_rng(3)
    picks = rng.integers(0, len(stored), size=SEMANTIC_QUERIES)
    queries = stored[picks] + 0.005 * rng.normal(size=(SEMANTIC_QUERIES, stored.shape[1])).astype(np.float32)
    return (queries / np.linalg.norm(queries, axis=1, keepdims=True)).astype(np.float32)


def numpy_lookup(stored: np.ndarray, norms: np.ndarray, q: np.ndarray) -> int | None:
    """The best stored row by cosine if it passes the threshold."""
    scores = (stored @ q) / (norms * np.linalg.norm(q))
    best = int(np.argmax(scores))
    return best if scores[best] >= THRESHOLD else None


def bench_semantic(directory: str, n: int, dims: int, max_bytes: int, version: int) -> dict:
    stored, extra = semantic_keys(n, dims)
    path = os.path.join(directory, f"semantic-v{version}.ormel")
    db = open_ormel(path, version, dimensions=dims)
    count, fill_seconds = fill(
        path, n, max_bytes, lambda i: db.cache_put_semantic(NAMESPACE, f"key {i}", stored[i], value_of(i), MODEL))
    stored = stored[:count]
    queries = hit_queries(stored)

    def lookups():
        for q in queries:
            db.cache_get_semantic(NAMESPACE, q, MODEL)

    lookups()
    get = median_seconds(lookups, 3) / len(queries)
    norms = np.linalg.norm(stored, axis=1)
    hits = [db.cache_get_semantic(NAMESPACE, q, MODEL) for q in queries[:20]]
    winners = [numpy_lookup(stored, norms, q) for q in queries[:20]]
    agree = all(h is not None and w is not None and h["value"] == value_of(w).encode() for h, w in zip(hits, winners))
    puts = timed_puts(
        path, lambda j: db.cache_put_semantic(NAMESPACE, f"extra {j}", extra[j], value_of(j), MODEL))
    del db
    return {"count": count, "fill": fill_seconds, "get": get, "agree": agree, **puts}


def create_semantic_table(conn) -> None:
    conn.execute("CREATE TABLE semantic (namespace TEXT, key TEXT, model TEXT, vector BLOB, value BLOB,"
                 " PRIMARY KEY (namespace, key))")


def semantic_rows(keys: np.ndarray, name: str):
    return ((NAMESPACE, f"{name} {i}", MODEL, key.tobytes(), value_of(i).encode()) for i, key in enumerate(keys))


def bench_sqlcipher_semantic(directory: str, n: int, dims: int) -> dict:
    """numpy's lookups over the same keys, and puts as SQLCipher rows plus a matrix append."""
    stored, extra = semantic_keys(n, dims)
    queries = hit_queries(stored)
    norms = np.linalg.norm(stored, axis=1)
    get = median_seconds(lambda: [numpy_lookup(stored, norms, q) for q in queries], 3) / len(queries)
    path = os.path.join(directory, "semantic.sqlcipher")
    conn = sqlcipher_connect(path)
    create_semantic_table(conn)
    conn.execute("BEGIN")
    conn.executemany("INSERT INTO semantic VALUES (?, ?, ?, ?, ?)", semantic_rows(stored, "key"))
    conn.execute("COMMIT")
    matrix = GrowingColumns(n, vectors=((dims,), np.float32))
    matrix.append(vectors=stored)

    def put(j: int):
        conn.execute("INSERT OR REPLACE INTO semantic VALUES (?, ?, ?, ?, ?)",
                     (NAMESPACE, f"extra {j}", MODEL, extra[j].tobytes(), value_of(j).encode()))
        matrix.append(vectors=extra[j : j + 1])

    puts = timed_puts(path, put)
    conn.close()
    return {"get": get, **puts}


# --- loading in one transaction ---------------------------------------------------------

def ormel_batch_load(directory: str, n: int, dims: int, version: int) -> dict:
    """Seconds to load n exact and n semantic entries, each kind in one batch on a new file
    (None for both on a build without batch)."""
    stored, _ = semantic_keys(n, dims)
    loads = {}
    for kind in ("exact", "semantic"):
        db = open_ormel(os.path.join(directory, f"load-{kind}-v{version}.ormel"), version, dimensions=dims)
        batch = batch_of(db)
        if batch is None:
            return {"exact": None, "semantic": None}
        with stopwatch() as timed:
            with batch():
                for i in range(n):
                    if kind == "exact":
                        db.cache_put(NAMESPACE, f"key {i}", value_of(i))
                    else:
                        db.cache_put_semantic(NAMESPACE, f"key {i}", stored[i], value_of(i), MODEL)
            db.flush()
        loads[kind] = timed["seconds"]
        del db
    return loads


def sqlcipher_batch_load(directory: str, n: int, dims: int) -> dict:
    """Seconds of one executemany in one transaction per kind, on new files; the semantic
    rows also fill a numpy matrix."""
    stored, _ = semantic_keys(n, dims)
    exact = sqlcipher_connect(os.path.join(directory, "load-exact.sqlcipher"))
    create_exact_table(exact)
    with stopwatch() as exact_load:
        exact.execute("BEGIN")
        exact.executemany("INSERT INTO cache VALUES (?, ?, ?)",
                          ((NAMESPACE, f"key {i}", value_of(i).encode()) for i in range(n)))
        exact.execute("COMMIT")
    exact.close()
    semantic = sqlcipher_connect(os.path.join(directory, "load-semantic.sqlcipher"))
    create_semantic_table(semantic)
    with stopwatch() as semantic_load:
        semantic.execute("BEGIN")
        semantic.executemany("INSERT INTO semantic VALUES (?, ?, ?, ?, ?)", semantic_rows(stored, "key"))
        semantic.execute("COMMIT")
        GrowingColumns(n, vectors=((dims,), np.float32)).append(vectors=stored)
    semantic.close()
    return {"exact": exact_load["seconds"], "semantic": semantic_load["seconds"]}


# --- report -----------------------------------------------------------------------------

def size_label(wanted: int, results: dict[int, dict]) -> str:
    short = [f"{format_name(v)} stopped at {r['count']}" for v, r in results.items() if r["count"] != wanted]
    return f"{wanted}" + (f" (fill at the file cap: {', '.join(short)})" if short else "")


def by_format(results: dict[int, dict], key: str) -> dict[int, float]:
    return {v: r[key] for v, r in results.items()}


def show_bytes(b: float) -> str:
    return f"{b:.0f} B" if b < 2**20 else f"{b / 2**20:.2f} MiB"


def report(n: int, dims: int, formats: list[int], exact: dict, peer: dict, semantic: dict, semantic_peer: dict,
           loads: dict, peer_loads: dict) -> None:
    exact_entry = len(f"extra {PUT_SAMPLES - 1}") + len(value_of(PUT_SAMPLES - 1))
    semantic_entry = exact_entry + 4 * dims + len(MODEL)
    reached = max((r["count"] for r in exact.values()), default=n)
    print_formats_table(f"exact-key cache, {size_label(n, exact)} entries (peer: SQLCipher {peer['version']})",
                        formats, "SQLCipher", [
        ("cache_get hit", by_format(exact, "get"), peer["get"], fmt),
        ("cache_put of a new key, with its commit: median", by_format(exact, "put"), peer["put"], fmt),
        ("cache_put of a new key, with its commit: p95", by_format(exact, "put_p95"), peer["put_p95"], fmt),
        (f"file growth per put (entry {exact_entry} B)", by_format(exact, "growth"), peer["growth"], show_bytes),
        (f"fill: {reached} puts, each committed", by_format(exact, "fill"), None, fmt),
        (f"load {n} entries in one batch (peer: executemany)", {v: loads[v]["exact"] for v in loads},
         peer_loads["exact"], fmt),
    ])
    agree = ", ".join(f"{format_name(v)} {r['agree']}" for v, r in semantic.items())
    reached = max((r["count"] for r in semantic.values()), default=n)
    print_formats_table(
        f"semantic cache, {size_label(n, semantic)} entries x {dims} dims (peers: numpy {np.__version__} brute-force "
        f"cosine for lookups, SQLCipher rows plus a numpy append for puts; same winners: {agree})",
        formats, "peer", [
            ("cache_get_semantic hit (peer: numpy)", by_format(semantic, "get"), semantic_peer["get"], fmt),
            ("cache_put_semantic, with its commit: median", by_format(semantic, "put"), semantic_peer["put"], fmt),
            ("cache_put_semantic, with its commit: p95", by_format(semantic, "put_p95"), semantic_peer["put_p95"],
             fmt),
            (f"file growth per put (entry {semantic_entry} B)", by_format(semantic, "growth"),
             semantic_peer["growth"], show_bytes),
            (f"fill: {reached} puts, each committed", by_format(semantic, "fill"), None, fmt),
            (f"load {n} entries in one batch (peer: executemany + matrix)", {v: loads[v]["semantic"] for v in loads},
             peer_loads["semantic"], fmt),
        ])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000])
    parser.add_argument("--dims", type=int, default=384)
    parser.add_argument("--max-file-gib", type=float, default=8.0)
    add_format_option(parser)
    args = parser.parse_args()
    formats = available_formats(args.formats)
    max_bytes = int(args.max_file_gib * 2**30)
    for n in args.sizes:
        with scratch_dir("ormel-bench-") as directory:
            exact = {v: bench_exact(directory, n, max_bytes, v) for v in formats}
            peer = bench_sqlcipher(directory, max((r["count"] for r in exact.values()), default=n))
        with scratch_dir("ormel-bench-") as directory:
            semantic = {v: bench_semantic(directory, n, args.dims, max_bytes, v) for v in formats}
            semantic_peer = bench_sqlcipher_semantic(directory, max((r["count"] for r in semantic.values()), default=n),
                                                     args.dims)
        with scratch_dir("ormel-bench-") as directory:
            loads = {v: ormel_batch_load(directory, n, args.dims, v) for v in formats}
            peer_loads = sqlcipher_batch_load(directory, n, args.dims)
        report(n, args.dims, args.formats, exact, peer, semantic, semantic_peer, loads, peer_loads)


if __name__ == "__main__":
    main()
