"""Changing the passphrase: ormel's change_passphrase against SQLCipher's PRAGMA rekey.

Both leave a file that opens only with the new passphrase. ormel wraps its data key anew
and wipes the old wrapped key from the file (one read of the file, a few small writes);
SQLCipher's rekey re-encrypts every page under a key from the new passphrase. Each side
holds the same memories (id, content, vector blob, metadata JSON) and is measured on a
flushed, closed-and-reopened file. Ratios are ormel / SQLCipher (below 1: ormel faster).

    ./scripts/bench.sh bench/bench_passphrase.py [--sizes 10000 100000] [--dims 384]
"""

from __future__ import annotations

import argparse
import json
import os
import uuid

import numpy as np

import ormel
from common import PASSPHRASE, clustered_vectors, fmt, print_table, scratch_dir, stopwatch

NEW_PASSPHRASE = "the new bench passphrase"


def contents(n: int) -> list[str]:
    return [f"memory {i}: the agent noted fact number {i} about the project" for i in range(n)]


def bench_ormel(directory: str, vectors: np.ndarray, texts: list[str]) -> dict:
    path = os.path.join(directory, "bench.ormel")
    db = ormel.open(path, PASSPHRASE, dimensions=vectors.shape[1])
    for text, vector in zip(texts, vectors):
        db.remember(text, "semantic", vector, metadata={"source": "bench"})
    db.flush()
    del db
    db = ormel.open(path, PASSPHRASE)
    with stopwatch() as changed:
        db.change_passphrase(NEW_PASSPHRASE)
    del db
    ormel.open(path, NEW_PASSPHRASE)  # the change took
    return {"change": changed["seconds"], "bytes": os.path.getsize(path)}


def bench_sqlcipher(directory: str, vectors: np.ndarray, texts: list[str]) -> dict:
    import sqlcipher3

    path = os.path.join(directory, "bench.sqlcipher")
    conn = sqlcipher3.connect(path)
    conn.execute(f"PRAGMA key = '{PASSPHRASE}'")
    conn.execute("CREATE TABLE memories (id TEXT PRIMARY KEY, content TEXT, vector BLOB, metadata TEXT)")
    metadata = json.dumps({"source": "bench"})
    conn.executemany("INSERT INTO memories VALUES (?, ?, ?, ?)",
                     ((str(uuid.uuid4()), t, v.tobytes(), metadata) for t, v in zip(texts, vectors)))
    conn.commit()
    conn.close()
    conn = sqlcipher3.connect(path)
    conn.execute(f"PRAGMA key = '{PASSPHRASE}'")
    conn.execute("SELECT count(*) FROM memories").fetchone()  # derive the key before timing
    with stopwatch() as changed:
        conn.execute(f"PRAGMA rekey = '{NEW_PASSPHRASE}'")
    conn.close()
    conn = sqlcipher3.connect(path)
    conn.execute(f"PRAGMA key = '{NEW_PASSPHRASE}'")
    assert conn.execute("SELECT count(*) FROM memories").fetchone()[0] == len(texts)  # the change took
    version = conn.execute("PRAGMA cipher_version").fetchone()[0]
    conn.close()
    return {"change": changed["seconds"], "bytes": os.path.getsize(path), "version": version}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000])
    parser.add_argument("--dims", type=int, default=384)
    args = parser.parse_args()
    for n in args.sizes:
        vectors = clustered_vectors(n, args.dims)
        texts = contents(n)
        with scratch_dir("ormel-bench-passphrase-") as directory:
            ours = bench_ormel(directory, vectors, texts)
            peer = bench_sqlcipher(directory, vectors, texts)
        print_table(f"change the passphrase, {n} memories of {args.dims} dimensions (peer: SQLCipher {peer['version']})", [
            ("change", fmt(ours["change"]), fmt(peer["change"]), f"{ours['change'] / peer['change']:.2f}"),
            ("file MB", f"{ours['bytes'] / 1e6:.1f}", f"{peer['bytes'] / 1e6:.1f}",
             f"{ours['bytes'] / peer['bytes']:.2f}"),
        ])


if __name__ == "__main__":
    main()
