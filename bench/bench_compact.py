"""Giving space back after agent turns that also forget: ormel's compact() against SQLCipher's
VACUUM, measured in the same run.

Both stores hold the same memories (text, 384-dimension float32 vector, JSON metadata) and go
through the same turns, each its own durable transaction: remember two memories, delete the
two oldest, commit. Then each gives its free space back: ormel with compact() (history kept,
then without history), SQLCipher with VACUUM (which rewrites the whole database; SQLite keeps
no history). Reported: the file before and after, the bytes given back, the time taken, and
ormel's space() report beforehand. Automatic compaction is off during the turns so that the
garbage is there to measure.

ormel runs once per file format version given with --format (default 8 and 9; one this
build cannot create shows n/a), side by side. For every version other than 8 it also
converts a version 8 database that went through the same turns: `compact(format_version=N)`,
timed against the same VACUUM.

    ./scripts/bench.sh bench/bench_compact.py [--memories 10000] [--turns 300] [--format 8 9]
"""

from __future__ import annotations

import argparse
import json
import os
import uuid

from common import (add_format_option, available_formats, clustered_vectors, fmt, format_kwargs, format_name,
                    open_ormel, print_formats_table, print_table, ratio, scratch_dir, stopwatch)
from bench_memories import contents, sqlcipher_connect

DIMS = 384


def ormel_after_turns(path: str, vectors, texts: list[str], turns: int, version: int):
    """A database of the given format that went through the turns, with its garbage left in."""
    db = open_ormel(path, version, dimensions=DIMS)
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
    return db


def bench_ormel(directory: str, vectors, texts: list[str], turns: int, version: int) -> dict:
    path = os.path.join(directory, f"bench-v{version}.ormel")
    db = ormel_after_turns(path, vectors, texts, turns, version)
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


def bench_conversion(directory: str, vectors, texts: list[str], turns: int, target: int) -> dict:
    """A version 8 database after the turns, rewritten as `target` by compact(format_version=...)."""
    path = os.path.join(directory, f"convert-to-v{target}.ormel")
    db = ormel_after_turns(path, vectors, texts, turns, 8)
    kept = (db.stats()["memories"], len(db.snapshots()))
    before = os.path.getsize(path)
    with stopwatch() as converted:
        db.compact(**format_kwargs(target))
    return {"before": before, "after": os.path.getsize(path), "seconds": converted["seconds"],
            "kept": kept, "now": (db.stats()["memories"], len(db.snapshots()))}


def mib(n: int) -> str:
    return f"{n / (1 << 20):.1f} MiB"


def report_compaction(formats: list[int], ours: dict[int, dict], peer: dict) -> None:
    for version, r in ours.items():
        print(f"{format_name(version)} space() before compacting ({fmt(r['space_seconds'])}): " +
              ", ".join(f"{k} {mib(v)}" if k.endswith("_bytes") else f"{k} {v}"
                        for k, v in r["space"].items() if v is not None))

    def pick(key: str, part: int | None = None) -> dict[int, float]:
        return {v: r[key] if part is None else r[key][part] for v, r in ours.items()}

    print_formats_table("Giving space back (peer: SQLCipher VACUUM)", formats, "SQLCipher", [
        ("file before", pick("before"), peer["before"], mib),
        ("compact(): time", pick("history", 2), peer["seconds"], fmt),
        ("compact(): bytes back", pick("history", 0), peer["back"], mib, False),
        ("compact(): file after", pick("history", 1), peer["after"], mib),
        ("keep_history=False: time", pick("current", 2), peer["seconds"], fmt),
        ("keep_history=False: bytes back", pick("current", 0), peer["back"], mib, False),
        ("keep_history=False: file after", pick("current", 1), peer["after"], mib),
    ])
    for version, r in ours.items():
        print(f"{format_name(version)}: space() predicted {mib(r['space']['reclaimable_bytes'])} back, compact() gave "
              f"{mib(r['history'][0])}")


def report_conversion(target: int, converted: dict | None, peer: dict) -> None:
    title = f"Converting a version 8 database: compact(format_version={target}) (peer: SQLCipher VACUUM)"
    if converted is None:
        print(f"\n{title}\n  n/a: format version {target} is not available in this build")
        return
    print_table(title, [
        ("file before", mib(converted["before"]), mib(peer["before"]), ratio(converted["before"], peer["before"])),
        ("time", fmt(converted["seconds"]), fmt(peer["seconds"]), ratio(converted["seconds"], peer["seconds"])),
        ("file after", mib(converted["after"]), mib(peer["after"]), ratio(converted["after"], peer["after"])),
    ])
    (memories, snapshots), (memories_now, snapshots_now) = converted["kept"], converted["now"]
    print(f"  memories {memories} -> {memories_now}, snapshots {snapshots} -> {snapshots_now}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--memories", type=int, default=10_000)
    parser.add_argument("--turns", type=int, default=300)
    add_format_option(parser)
    args = parser.parse_args()
    formats = available_formats(args.formats)
    total = args.memories + 2 * args.turns
    vectors = clustered_vectors(total, DIMS)
    texts = contents(total)
    targets = [v for v in dict.fromkeys(args.formats) if v != 8]
    with scratch_dir("ormel-bench-compact-") as directory:
        ours = {v: bench_ormel(directory, vectors, texts, args.turns, v) for v in formats}
        conversions = {v: bench_conversion(directory, vectors, texts, args.turns, v) if v in formats else None
                       for v in targets}
        peer = bench_sqlcipher(directory, vectors, texts, args.turns)
    print(f"{args.memories:,} memories of {DIMS} dimensions, {args.turns} turns (remember 2, delete 2, commit)")
    report_compaction(args.formats, ours, peer)
    for target, converted in conversions.items():
        report_conversion(target, converted, peer)


if __name__ == "__main__":
    main()
