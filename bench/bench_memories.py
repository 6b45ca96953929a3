"""Storing and fetching memories: ormel against SQLCipher, in the same process.

For each size: staged `remember` throughput from Python lists and from numpy arrays, the
batch `remember_many` from one numpy array, the `flush` that commits them, `get` latency
warm and cold (after reopening), file size per memory, and opening the database plus its
first recall (top 5; the passphrase's key derivation included, the file in the OS cache).
SQLCipher stores the same rows (id, content, vector blob, metadata JSON) in one transaction
of the same size, row by row with `execute` and in one `executemany`; its open and first
recall is the connection, reading every vector into a numpy matrix, one product and the 5
rows. ormel runs once per file format version given with --format (default 8 and 9; one
this build cannot create shows n/a), side by side. Ratios are ormel / SQLCipher (below 1:
ormel faster); a second table sets `remember_many` against the `remember` loop from numpy
rows, per format.

    ./scripts/bench.sh bench/bench_memories.py [--sizes 10000 100000] [--dims 384] [--repeats 3] [--format 8 9]
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
from common import (PASSPHRASE, add_format_option, available_formats, clustered_vectors, fmt, format_name,
                    median_seconds, open_ormel, print_formats_table, print_table, scratch_dir, sqlcipher_connect,
                    stopwatch)

GET_SAMPLES = 2000
TOP_K = 5


def contents(n: int) -> list[str]:
    return [f"memory {i}: the agent noted fact number {i} about the project" for i in range(n)]


def bench_ormel(directory: str, vectors: np.ndarray, texts: list[str], as_numpy: bool, version: int) -> dict:
    path = os.path.join(directory, f"bench-v{version}-{'np' if as_numpy else 'list'}.ormel")
    db = open_ormel(path, version, dimensions=vectors.shape[1])
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
        "path": path,
    }


def ormel_open_and_recall(path: str, query: np.ndarray) -> float:
    """Seconds to open the database and run its first recall."""
    with stopwatch() as timed:
        db = ormel.open(path, PASSPHRASE)
        db.recall(query, top_k=TOP_K)
    del db
    return timed["seconds"]


def sqlcipher_open_and_recall(path: str, query: np.ndarray) -> float:
    """Seconds to connect, read every vector into a matrix, and fetch the best TOP_K rows."""
    with stopwatch() as timed:
        conn = sqlcipher_connect(path)
        rows = conn.execute("SELECT rowid, vector FROM memories").fetchall()
        matrix = np.frombuffer(b"".join(vector for _, vector in rows), dtype=np.float32).reshape(len(rows), -1)
        scores = matrix @ query
        best = np.argpartition(-scores, TOP_K - 1)[:TOP_K]
        picked = [rows[int(i)][0] for i in best[np.argsort(-scores[best])]]
        found = conn.execute(f"SELECT id, content, metadata FROM memories WHERE rowid IN ({','.join('?' * TOP_K)})",
                             picked).fetchall()
        for _, _, metadata in found:
            json.loads(metadata)
    conn.close()
    return timed["seconds"]


def bench_ormel_batch(directory: str, vectors: np.ndarray, texts: list[str], repeats: int, version: int) -> dict:
    """Per-memory seconds of remember_many from the numpy array and of a remember loop over its
    rows, each the median of `repeats` runs on fresh files, the two kinds alternating so that
    both see the same machine."""
    metadata = {"source": "bench"}

    def staged(kind: str, run: int) -> float:
        db = open_ormel(os.path.join(directory, f"bench-v{version}-{kind}-{run}.ormel"), version,
                        dimensions=vectors.shape[1])
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
        "path": path,
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


ROWS = (
    ("remember (list), per memory", "list", "remember", fmt),
    ("remember (numpy), per memory", "numpy", "remember", fmt),
    ("remember_many vs executemany, per memory", "batch", "remember_many", fmt),
    ("flush / commit", "list", "flush", fmt),
    ("get warm", "list", "get_warm", fmt),
    ("get cold (after reopen)", "list", "get_cold", fmt),
    ("bytes per memory", "list", "bytes_per_memory", lambda b: f"{b:.0f}"),
    ("open + first recall", "list", "open_recall", fmt),
)


def bench_format(directory: str, vectors: np.ndarray, texts: list[str], query: np.ndarray, repeats: int,
                 version: int) -> dict[str, dict]:
    """One format's figures, by the kind of run they come from (as ROWS names them)."""
    from_lists = bench_ormel(directory, vectors, texts, as_numpy=False, version=version)
    from_lists["open_recall"] = ormel_open_and_recall(from_lists["path"], query)
    from_numpy = bench_ormel(directory, vectors, texts, as_numpy=True, version=version)
    os.remove(from_numpy["path"])  # the same memories as the list file: gone, large sizes need half the disk
    return {
        "list": from_lists,
        "numpy": from_numpy,
        "batch": bench_ormel_batch(directory, vectors, texts, repeats, version),
    }


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--dims", type=int, default=384)
    parser.add_argument("--repeats", type=int, default=3, help="runs of the remember_many / loop comparison")
    add_format_option(parser)
    args = parser.parse_args()
    formats = available_formats(args.formats)
    for n in args.sizes:
        vectors = clustered_vectors(n, args.dims)
        query = clustered_vectors(1, args.dims, seed=5)[0]
        texts = contents(n)
        with scratch_dir("ormel-bench-") as directory:
            ours = {v: bench_format(directory, vectors, texts, query, args.repeats, v) for v in formats}
            peer = bench_sqlcipher(directory, vectors, texts)
            peer["open_recall"] = sqlcipher_open_and_recall(peer["path"], query)
        rows = [(label, {v: ours[v][kind][key] for v in ours}, peer[key], show) for label, kind, key, show in ROWS]
        print_formats_table(f"{n} memories x {args.dims} dims (peer: SQLCipher {peer_version()})", args.formats,
                            "SQLCipher", rows)
        for v in ours:
            many, loop = ours[v]["batch"]["remember_many"], ours[v]["batch"]["loop"]
            print_table(f"{format_name(v)}, {n} memories x {args.dims} dims, median of {args.repeats} alternating runs "
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
