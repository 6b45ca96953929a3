"""The agent loop: recall, remember two, commit; ormel against the designs users pick instead.

One turn is what an agent does between two replies: recall the top 5 memories in its own
view (its memories plus every shared one; 8 agents share the database), remember two new
ones, and make the turn durable. For each size, after pre-loading that many memories, every
system runs the same turns (same queries, same new memories), in the same process:

  - ormel: `recall(top_k=5, agent_id=...)`, two `remember`, `flush`;
  - SQLCipher + numpy: the rows in SQLCipher (WAL journal, synchronous=FULL so a commit is
    durable as a flush is), the vectors in an in-memory float32 matrix whose capacity
    doubles when full (no copy per turn), agent and scope in numpy arrays beside it;
    recall is one matrix-vector product, the rows outside the agent's view masked, and an
    argpartition (faster here than gathering the view's rows first), then
    the 5 rows are read and their access counters updated in the turn's transaction;
  - Chroma's persistent client (HNSW, cosine), filtered by a `where` on agent and scope;
  - LanceDB (exact scan with a prefilter on agent and scope).

ormel runs once per file format version given with --format (default 8 and 9; a version
this build cannot create is reported as n/a), each on its own file, beside the peers.

Reported per system: median and 95th percentile of a turn, the bytes its files grow per
turn, and their size after all turns; ratios are system / (SQLCipher + numpy), below 1
meaning faster or smaller. For ormel and SQLCipher the commit (flush, COMMIT) is also
timed alone.

With --long-turns N, each size instead runs N turns as a new user's database would see them
(the default snapshot cap and automatic compaction), ormel against the peers: median, p95
and slowest turn, and for ormel how large the file gets against what its current state and
retained history need (`space()`: current_bytes + history_bytes, read every --space-every
turns outside the timing; between two readings the last one stands: nothing is deleted in
these turns, so what they need hardly shrinks and the ratio errs, if at all, on the high
side), and what the retained snapshots cost (history_bytes) at the end.

    ./scripts/bench.sh bench/bench_turns.py [--sizes 10000 100000] [--turns 200] [--dims 384]
        [--peers sqlcipher chroma lancedb] [--format 8 9] [--charts docs]
    ./scripts/bench.sh bench/bench_turns.py --sizes 100000 --long-turns 1500 --peers sqlcipher

With --charts DIR it also writes DIR/bench_turns_latency.png: turn median and p95 against
the number of memories, one line per system.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import time
import uuid

from common import (GrowingColumns, add_format_option, available_formats, chart,  # isort: skip
                    clustered_vectors, dir_size, fmt, format_name, open_ormel, p95, print_grid, ratio, scratch_dir,
                    sentences, sqlcipher_connect, stopwatch)

import numpy as np  # noqa: E402

AGENTS = 8
TOP_K = 5
SHARED_EVERY = 10  # one memory in ten is shared with every agent


def agent_of(i: int) -> str:
    return f"agent-{i % AGENTS}"


def is_shared(i: int) -> bool:
    return i % SHARED_EVERY == 0


class Workload:
    """The pre-loaded memories and the turns, identical for every system."""

    def __init__(self, n: int, turns: int, dims: int):
        vectors = clustered_vectors(n + 3 * turns, dims)
        self.n = n
        self.dims = dims
        self.vectors = vectors[:n]
        self.texts = sentences(n, seed=11)
        self.turns = []
        extra = sentences(2 * turns, seed=12)
        for t in range(turns):
            base = n + 3 * t
            self.turns.append({
                "agent": agent_of(t),
                "query": vectors[base],
                "new": [(extra[2 * t + j], vectors[base + 1 + j], n + 2 * t + j) for j in range(2)],
            })


def run_turns(w: Workload, turn, size, commits: list[float] | None = None, after_turn=None) -> dict:
    """Times `turn(plan)` for every turn; `size()` gives the bytes on disk. A turn that
    appends the time of its commit to `commits` gets that reported too; `after_turn(t)`, if
    given, runs after turn t outside the timing."""
    before = size()
    samples = []
    for t, plan in enumerate(w.turns):
        start = time.perf_counter()
        turn(plan)
        samples.append(time.perf_counter() - start)
        if after_turn:
            after_turn(t)
    after = size()
    result = {
        "median": statistics.median(samples),
        "p95": p95(samples),
        "slowest": max(samples),
        "growth": (after - before) / len(w.turns),
        "size": after,
    }
    if commits:
        result["commit"] = (statistics.median(commits), p95(commits))
    return result


# --- ormel ------------------------------------------------------------------------------

def loaded_ormel(directory: str, w: Workload, version: int):
    """A new database of the given format with the workload's memories committed, and the
    seconds that took."""
    db = open_ormel(os.path.join(directory, f"turns-v{version}.ormel"), version, dimensions=w.dims)
    with stopwatch() as loaded:
        for i in range(w.n):
            db.remember(w.texts[i], "episodic", w.vectors[i], agent_id=agent_of(i), shared=is_shared(i))
        db.flush()
    return db, loaded["seconds"]


def ormel_turn(db, flushes: list[float]):
    """One agent turn on `db`, the flush timed into `flushes`."""

    def turn(plan):
        db.recall(plan["query"], top_k=TOP_K, agent_id=plan["agent"])
        for text, vector, i in plan["new"]:
            db.remember(text, "episodic", vector, agent_id=plan["agent"], shared=is_shared(i))
        start = time.perf_counter()
        db.flush()
        flushes.append(time.perf_counter() - start)

    return turn


def bench_ormel(directory: str, w: Workload, version: int) -> dict:
    db, load_seconds = loaded_ormel(directory, w, version)
    path = db.path
    flushes = []
    result = run_turns(w, ormel_turn(db, flushes), lambda: os.path.getsize(path), flushes)
    result["load"] = load_seconds
    # The turns ran with automatic compaction on (the default); then one compaction by hand.
    predicted = db.space()["reclaimable_bytes"]
    with stopwatch() as compacted:
        reclaimed = db.compact()
    result["compact"] = (compacted["seconds"], reclaimed, predicted, os.path.getsize(path))
    db.close()
    return result


# --- SQLCipher + numpy ------------------------------------------------------------------

class VectorMatrix(GrowingColumns):
    """Rows of a float32 matrix in memory whose capacity doubles when it fills, each row's
    agent number and shared flag beside it."""

    def __init__(self, dims: int, capacity: int):
        super().__init__(capacity, rows=((dims,), np.float32), agents=((), np.int16), shared=((), bool))

    def top_k(self, query: np.ndarray, agent: int, k: int) -> np.ndarray:
        """Row numbers of the k best cosine matches in the agent's view (rows are unit length).
        One product over every row, the rows outside the view masked afterwards: on this
        machine that is faster (6.8 against 10.5 ms at 100,000 rows) than gathering the
        view's rows first, which copies them before the product reads them again."""
        n = self.n
        scores = self.rows[:n] @ query
        scores[~((self.agents[:n] == agent) | self.shared[:n])] = -np.inf
        k = min(k, n)
        best = np.argpartition(-scores, k - 1)[:k]
        return best[np.argsort(-scores[best])]


def bench_sqlcipher_numpy(directory: str, w: Workload) -> dict:
    path = os.path.join(directory, "turns.sqlcipher")
    conn = sqlcipher_connect(path)
    conn.execute("PRAGMA journal_mode = WAL")
    conn.execute("PRAGMA synchronous = FULL")
    conn.execute("CREATE TABLE memories (row INTEGER PRIMARY KEY, id TEXT UNIQUE, agent TEXT, shared INTEGER,"
                 " content TEXT, vector BLOB, metadata TEXT, created_at INTEGER, accessed_at INTEGER,"
                 " access_count INTEGER)")
    matrix = VectorMatrix(w.dims, w.n)
    agent_numbers = np.arange(w.n) % AGENTS
    now = int(time.time())
    with stopwatch() as loaded:
        conn.execute("BEGIN")
        conn.executemany(
            "INSERT INTO memories VALUES (?, ?, ?, ?, ?, ?, '{}', ?, ?, 0)",
            ((i, uuid.uuid4().hex, agent_of(i), int(is_shared(i)), w.texts[i], w.vectors[i].tobytes(), now, now)
             for i in range(w.n)),
        )
        conn.execute("COMMIT")
        matrix.append(rows=w.vectors, agents=agent_numbers, shared=np.array([is_shared(i) for i in range(w.n)]))
    commits = []

    def turn(plan):
        agent = int(plan["agent"].rsplit("-", 1)[1])
        rows = [int(r) for r in matrix.top_k(plan["query"], agent, TOP_K)]
        marks = ",".join("?" * len(rows))
        conn.execute("BEGIN")
        found = conn.execute(f"SELECT id, content, vector, metadata FROM memories WHERE row IN ({marks})",
                             rows).fetchall()
        for _, _, vector, metadata in found:
            np.frombuffer(vector, dtype=np.float32)
            json.loads(metadata)
        stamp = int(time.time())
        conn.execute(f"UPDATE memories SET accessed_at = ?, access_count = access_count + 1 WHERE row IN ({marks})",
                     [stamp, *rows])
        new_rows = []
        for text, vector, i in plan["new"]:
            row = matrix.n + len(new_rows)
            conn.execute("INSERT INTO memories VALUES (?, ?, ?, ?, ?, ?, '{}', ?, ?, 0)",
                         (row, uuid.uuid4().hex, plan["agent"], int(is_shared(i)), text, vector.tobytes(), stamp,
                          stamp))
            new_rows.append(vector)
        start = time.perf_counter()
        conn.execute("COMMIT")
        commits.append(time.perf_counter() - start)
        matrix.append(rows=np.stack(new_rows), agents=np.full(len(new_rows), agent),
                      shared=np.array([is_shared(i) for _, _, i in plan["new"]]))

    def size():
        return sum(os.path.getsize(p) for p in (path, path + "-wal") if os.path.exists(p))

    result = run_turns(w, turn, size, commits)
    result["load"] = loaded["seconds"]
    conn.close()
    return result


# --- Chroma -----------------------------------------------------------------------------

def bench_chroma(directory: str, w: Workload) -> dict:
    import chromadb

    path = os.path.join(directory, "chroma")
    client = chromadb.PersistentClient(path=path)
    collection = client.create_collection("memories", metadata={"hnsw:space": "cosine"})
    batch = 5000
    with stopwatch() as loaded:
        for start in range(0, w.n, batch):
            end = min(w.n, start + batch)
            collection.add(
                ids=[str(i) for i in range(start, end)],
                embeddings=w.vectors[start:end],
                documents=w.texts[start:end],
                metadatas=[{"agent": agent_of(i), "shared": is_shared(i)} for i in range(start, end)],
            )

    def turn(plan):
        collection.query(query_embeddings=[plan["query"]], n_results=TOP_K,
                         where={"$or": [{"agent": plan["agent"]}, {"shared": True}]})
        collection.add(
            ids=[str(i) for _, _, i in plan["new"]],
            embeddings=[v for _, v, _ in plan["new"]],
            documents=[t for t, _, _ in plan["new"]],
            metadatas=[{"agent": plan["agent"], "shared": is_shared(i)} for _, _, i in plan["new"]],
        )

    result = run_turns(w, turn, lambda: dir_size(path))
    result["load"] = loaded["seconds"]
    return result


# --- LanceDB ----------------------------------------------------------------------------

def bench_lancedb(directory: str, w: Workload) -> dict:
    import lancedb
    import pyarrow as pa

    db = lancedb.connect(os.path.join(directory, "lance"))

    def table_of(rows):
        texts, vectors, agents, shared = zip(*rows)
        return pa.table({
            "content": pa.array(texts, pa.string()),
            "vector": pa.FixedSizeListArray.from_arrays(pa.array(np.concatenate(vectors), pa.float32()), w.dims),
            "agent": pa.array(agents, pa.string()),
            "shared": pa.array(shared, pa.bool_()),
        })

    with stopwatch() as loaded:
        table = db.create_table("memories", table_of(
            [(w.texts[i], w.vectors[i], agent_of(i), is_shared(i)) for i in range(w.n)]))

    def turn(plan):
        (table.search(plan["query"]).metric("cosine").where(f"agent = '{plan['agent']}' OR shared", prefilter=True)
         .limit(TOP_K).to_list())
        table.add(table_of([(t, v, plan["agent"], is_shared(i)) for t, v, i in plan["new"]]))

    result = run_turns(w, turn, lambda: dir_size(os.path.join(directory, "lance")))
    result["load"] = loaded["seconds"]
    return result


PEERS = {"sqlcipher": ("SQLCipher + numpy", bench_sqlcipher_numpy), "chroma": ("Chroma", bench_chroma),
         "lancedb": ("LanceDB", bench_lancedb)}


def measured(results: dict[str, dict | None]) -> dict[str, dict]:
    """The systems that ran (a format this build cannot create has None)."""
    return {name: r for name, r in results.items() if r is not None}


def report(n: int, turns: int, results: dict[str, dict | None]) -> None:
    base = results.get("SQLCipher + numpy") or {}
    rows = [(name, *["n/a"] * 7) if r is None else
            (name, fmt(r["median"]), fmt(r["p95"]), f"{r['growth'] / 1024:.1f} KiB", f"{r['size'] / 2**20:.1f} MiB",
             fmt(r["load"]), ratio(r["median"], base.get("median")), ratio(r["p95"], base.get("p95")))
            for name, r in results.items()]
    print_grid(f"{n} memories pre-loaded, {turns} turns (recall top {TOP_K} of {AGENTS} agents' views, remember 2, "
               "commit); ratios against SQLCipher + numpy",
               ("system", "turn median", "turn p95", "growth/turn", "size after", "load", "median ratio", "p95 ratio"),
               rows)
    for name, r in measured(results).items():
        if "compact" in r:
            seconds, reclaimed, predicted, size = r["compact"]
            print(f"  {name}: compact() afterwards took {fmt(seconds)}, gave back {reclaimed / 2**20:.1f} MiB "
                  f"(space() predicted {predicted / 2**20:.1f} MiB), file {size / 2**20:.1f} MiB")
        if "commit" in r:
            print(f"  {name}: the commit alone (flush / COMMIT), median {fmt(r['commit'][0])}, p95 {fmt(r['commit'][1])}")


# --- the long run -----------------------------------------------------------------------

def bench_ormel_long(directory: str, w: Workload, version: int, space_every: int) -> dict:
    """The turns on a database left at a new user's defaults, the file set against what its
    current state and retained history need, read from space() outside the timing."""
    db, load_seconds = loaded_ormel(directory, w, version)
    path = db.path
    track = {"need": 0, "worst": 0.0, "largest": 0, "space_seconds": 0.0}

    def read_need():
        with stopwatch() as read:
            space = db.space()
        track["space_seconds"] += read["seconds"]
        track["need"] = space["current_bytes"] + space["history_bytes"]
        return space

    def after_turn(t: int):
        if (t + 1) % space_every == 0 or t + 1 == len(w.turns):
            read_need()
        size = os.path.getsize(path)
        track["largest"] = max(track["largest"], size)
        track["worst"] = max(track["worst"], size / track["need"])

    read_need()
    flushes = []
    result = run_turns(w, ormel_turn(db, flushes), lambda: os.path.getsize(path), flushes, after_turn)
    space = read_need()
    result.update(load=load_seconds, worst=track["worst"], largest=track["largest"], end=space,
                  snapshots=len(db.snapshots()), space_seconds=track["space_seconds"])
    db.close()
    return result


def report_long(n: int, turns: int, results: dict[str, dict | None], space_every: int) -> None:
    base = results.get("SQLCipher + numpy") or {}
    rows = [(name, *["n/a"] * 9) if r is None else
            (name, fmt(r["median"]), fmt(r["p95"]), fmt(r["slowest"]), f"{r['growth'] / 1024:.1f} KiB",
             f"{r['size'] / 2**20:.1f} MiB", ratio(r["median"], base.get("median")), ratio(r["p95"], base.get("p95")),
             ratio(r["slowest"], base.get("slowest")), ratio(r["size"], base.get("size")))
            for name, r in results.items()]
    print_grid(f"{n} memories pre-loaded, {turns} turns at the defaults (snapshot cap, automatic compaction); "
               "ratios against SQLCipher + numpy",
               ("system", "turn median", "turn p95", "slowest turn", "growth/turn", "size after", "median ratio",
                "p95 ratio", "slowest ratio", "size ratio"), rows)
    peer_size = base.get("size")
    for name, r in measured(results).items():
        if "worst" not in r:
            continue
        end = r["end"]
        need = end["current_bytes"] + end["history_bytes"]
        print(f"  {name}: file / (current + history) at most {r['worst']:.2f} (space() read every {space_every} "
              f"turns, {fmt(r['space_seconds'])} in all, outside the timing); largest file "
              f"{r['largest'] / 2**20:.1f} MiB; at the end file {r['size'] / 2**20:.1f} MiB for "
              f"{end['current_bytes'] / 2**20:.1f} MiB current + {end['history_bytes'] / 2**20:.1f} MiB history "
              f"({r['size'] / need:.2f})")
        print(f"  {name}: {r['snapshots']} retained snapshots cost {end['history_bytes'] / 2**20:.1f} MiB "
              f"(history_bytes), {ratio(end['history_bytes'], peer_size)} of SQLCipher's whole file")
        print(f"  {name}: the commit alone (flush), median {fmt(r['commit'][0])}, p95 {fmt(r['commit'][1])}")


def write_chart(by_size: dict[int, dict[str, dict]], directory: str, dims: int) -> None:
    """One small PNG: a turn's median (solid) and p95 (dotted) against memories, per system."""
    from matplotlib.ticker import FormatStrFormatter

    sizes = sorted(by_size)
    with chart(directory, "bench_turns_latency.png") as ax:
        for i, name in enumerate(by_size[sizes[0]]):
            color = f"C{i}"
            ax.plot(sizes, [by_size[n][name]["median"] * 1e3 for n in sizes], "o-", color=color,
                    label=f"{name} median")
            ax.plot(sizes, [by_size[n][name]["p95"] * 1e3 for n in sizes], "o:", color=color, label=f"{name} p95")
        ax.set(xscale="log", yscale="log", xlabel="memories pre-loaded", ylabel="ms per turn",
               title=f"Agent turn (recall 5, remember 2, commit), {dims} dims")
        for axis in (ax.xaxis, ax.yaxis):
            axis.set_major_formatter(FormatStrFormatter("%g"))
        ax.yaxis.set_minor_formatter(FormatStrFormatter("%g"))
        ax.grid(True, which="both", alpha=0.3)


def run_size(n: int, args, formats: list[int], long: bool) -> dict[str, dict | None]:
    """Every requested format (None for one this build cannot create) and peer at one size,
    in one scratch directory; returns the results by system name."""
    turns = args.long_turns if long else args.turns
    w = Workload(n, turns, args.dims)
    results = {}
    with scratch_dir("ormel-bench-turns-") as directory:
        for version in dict.fromkeys(args.formats):
            if version not in formats:
                results[format_name(version)] = None
            elif long:
                results[format_name(version)] = bench_ormel_long(directory, w, version, args.space_every)
            else:
                results[format_name(version)] = bench_ormel(directory, w, version)
        for key in args.peers:
            name, bench = PEERS[key]
            results[name] = bench(directory, w)
    return results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--turns", type=int, default=200)
    parser.add_argument("--dims", type=int, default=384)
    parser.add_argument("--peers", nargs="*", default=list(PEERS), choices=list(PEERS))
    parser.add_argument("--charts", metavar="DIR", help="write the PNG chart into DIR (e.g. docs)")
    parser.add_argument("--long-turns", type=int, metavar="N",
                        help="instead, the long run: N turns at each size at a new user's defaults")
    parser.add_argument("--space-every", type=int, default=25, metavar="N",
                        help="in the long run, read space() every N turns (default 25)")
    add_format_option(parser)
    args = parser.parse_args()
    formats = available_formats(args.formats)
    long = args.long_turns is not None
    by_size = {}
    for n in sorted(args.sizes):
        results = run_size(n, args, formats, long)
        if long:
            report_long(n, args.long_turns, results, args.space_every)
        else:
            report(n, args.turns, results)
        by_size[n] = measured(results)
    if args.charts and by_size:
        write_chart(by_size, args.charts, args.dims)


if __name__ == "__main__":
    main()
