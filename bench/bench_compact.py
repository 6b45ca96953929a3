"""Giving space back after agent turns that also forget: ormel's compact() against SQLCipher's
VACUUM, measured in the same run.

Both stores hold the same memories (text, 384-dimension float32 vector, JSON metadata) and go
through the same turns, each its own durable transaction: remember two memories, delete the
two oldest, commit. Then each gives its free space back: ormel with compact() (history kept,
then without history), SQLCipher with VACUUM (which rewrites the whole database; SQLite keeps
no history). Reported: the file before and after, the bytes given back, the time taken, and
ormel's space() report beforehand. Automatic compaction is off during the turns so that the
garbage is there to measure.

    ./scripts/bench.sh bench/bench_compact.py [--memories 10000] [--turns 300]
"""

from __future__ import annotations

import argparse
import json
import os
import uuid

import ormel
from common import PASSPHRASE, clustered_vectors, fmt, print_table, scratch_dir, stopwatch
from bench_memories import contents, sqlcipher_connect

DIMS = 384


def bench_ormel(directory: str, vectors, texts: list[str], turns: int) -> dict:
    path = os.path.join(directory, "bench.ormel")
    db = ormel.open(path, PASSPHRASE, dimensions=DIMS)
    db.set_auto_compact(None)
    n = len(texts) - 2 * turns
    ids = [db.remember(texts[i], "episodic", vectors[i], metadata={"source": "bench"}) for i in range(n)]
    db.flush()
    for t in range(turns):
        for i in (n + 2 * t, n + 2 * t + 1):
            ids.append(db.remember(texts[i], "episodic", vectors[i], metadata={"source": "bench"}))
        db.delete(ids[2 * t])
        db.delete(ids[2 * t + 1])
        db.flush()
    before = os.path.getsize(path)
    with stopwatch() as reported:
        space = db.space()
    with stopwatch() as kept:
        back_kept = db.compact()
    after_kept = os.path.getsize(path)
    with stopwatch() as current:
        back_current = db.compact(keep_history=False)
    return {
        "before": before,
        "space": space,
        "space_seconds": reported["seconds"],
        "history": (back_kept, after_kept, kept["seconds"]),
        "current": (back_current, os.path.getsize(path), current["seconds"]),
    }


def bench_sqlcipher(directory: str, vectors, texts: list[str], turns: int) -> dict:
    path = os.path.join(directory, "bench.sqlcipher")
    conn = sqlcipher_connect(path)
    conn.execute("CREATE TABLE memories (id TEXT PRIMARY KEY, content TEXT, vector BLOB, metadata TEXT)")
    metadata = json.dumps({"source": "bench"})
    n = len(texts) - 2 * turns
    ids = [uuid.uuid4().hex for _ in texts]
    conn.execute("BEGIN")
    for i in range(n):
        conn.execute("INSERT INTO memories VALUES (?, ?, ?, ?)", (ids[i], texts[i], vectors[i].tobytes(), metadata))
    conn.execute("COMMIT")
    for t in range(turns):
        conn.execute("BEGIN")
        for i in (n + 2 * t, n + 2 * t + 1):
            conn.execute("INSERT INTO memories VALUES (?, ?, ?, ?)", (ids[i], texts[i], vectors[i].tobytes(), metadata))
        conn.execute("DELETE FROM memories WHERE id IN (?, ?)", (ids[2 * t], ids[2 * t + 1]))
        conn.execute("COMMIT")
    before = os.path.getsize(path)
    with stopwatch() as vacuum:
        conn.execute("VACUUM")
    after = os.path.getsize(path)
    conn.close()
    return {"before": before, "back": before - after, "after": after, "seconds": vacuum["seconds"]}


def mib(n: int) -> str:
    return f"{n / (1 << 20):.1f} MiB"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--memories", type=int, default=10_000)
    parser.add_argument("--turns", type=int, default=300)
    args = parser.parse_args()
    total = args.memories + 2 * args.turns
    vectors = clustered_vectors(total, DIMS)
    texts = contents(total)
    with scratch_dir("ormel-bench-compact-") as directory:
        ours = bench_ormel(directory, vectors, texts, args.turns)
        peer = bench_sqlcipher(directory, vectors, texts, args.turns)
    back_kept, after_kept, kept_seconds = ours["history"]
    back_current, after_current, current_seconds = ours["current"]
    space = ours["space"]
    print(f"{args.memories:,} memories of {DIMS} dimensions, {args.turns} turns (remember 2, delete 2, commit)")
    print(f"ormel space() before compacting ({fmt(ours['space_seconds'])}): " +
          ", ".join(f"{k} {mib(v)}" for k, v in space.items()))
    print_table("Giving space back (peer: SQLCipher VACUUM)", [
        ("file before", mib(ours["before"]), mib(peer["before"]), f"{ours['before'] / peer['before']:.2f}"),
        ("compact(): time", fmt(kept_seconds), fmt(peer["seconds"]), f"{kept_seconds / peer['seconds']:.2f}"),
        ("compact(): bytes back", mib(back_kept), mib(peer["back"]), "-"),
        ("compact(): file after", mib(after_kept), mib(peer["after"]), f"{after_kept / peer['after']:.2f}"),
        ("keep_history=False: time", fmt(current_seconds), fmt(peer["seconds"]),
         f"{current_seconds / peer['seconds']:.2f}"),
        ("keep_history=False: bytes back", mib(back_current), mib(peer["back"]), "-"),
        ("keep_history=False: file after", mib(after_current), mib(peer["after"]),
         f"{after_current / peer['after']:.2f}"),
    ])
    print(f"\nspace() predicted {mib(space['reclaimable_bytes'])} back, compact() gave {mib(back_kept)}")


if __name__ == "__main__":
    main()
