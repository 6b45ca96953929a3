"""Keyword search: ormel's BM25 `search_text` and hybrid recall against SQLite FTS5 (in
SQLCipher), bm25s and tantivy.

For each size, over generated agent notes (bench/common.py's sentences about an agent team's
work, each naming one identifier of its own: a ticket "INC-10042", an error code
"ERR_DISK_1042", a path "/srv/billing/node-1042.yaml" or a version "v10.4.2"):
  - index build: ormel builds its keyword index on the first keyword query of a handle
    (every record decrypted, tokenised and indexed); FTS5's inserts in one transaction;
    bm25s's tokenising and indexing; tantivy's adds and commit;
  - keyword query latency, top 10, warm, median over queries naming an identifier and two
    topic words;
  - the first keyword query after opening, in a fresh process (ormel: open, build, answer;
    FTS5: connect, key, answer; bm25s: load the saved index, answer; tantivy: open, answer);
  - memory held: resident memory that loading and one query add in that process (for ormel,
    what the keyword index adds to a handle that has already recalled once, its page cache
    capped: building the index reads every record through the page cache, which otherwise
    fills up to its capacity, 64 MiB by default, as a large recall's reads do);
  - bytes in the file: what the keyword index adds to the file (ormel: none, it is derived
    in memory; FTS5: the database holding only the notes' text and its index; bm25s and
    tantivy: their saved index directories);
  - retrieval quality on identifier queries: the share of queries whose note is in the top 5
    for vector-only recall, keyword-only search and hybrid recall, and the latencies of the
    three (hybrid's goal: at most 1.2 x (exact recall + keyword query)).
The vectors are synthetic: each note's is its topic's centre plus noise, as an embedder that
captures what a note is about but not the identifier string would give; a query's vector is
its note's topic centre plus other noise. Peers run with their default tokenisers; identifier
words are passed to FTS5 and tantivy as quoted phrases (their tokenisers split them).

    ./scripts/bench.sh bench/bench_keyword.py [--sizes 10000 100000] [--queries 200] [--charts docs]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

from common import CLAUSES, PASSPHRASE, chart, fmt, scratch_dir, sentences, sqlcipher_connect, stopwatch  # isort: skip

import numpy as np  # noqa: E402

import ormel  # noqa: E402

DIMS = 384
TOPICS = 20  # the clauses of common.sentences: a note's topic is its clause
SERVICES = ["billing", "ledger", "search", "auth", "queue", "cache", "mailer", "reports"]


def identifier(i: int) -> str:
    kind = i % 4
    if kind == 0:
        return f"INC-{10000 + i}"
    if kind == 1:
        return f"ERR_DISK_{1000 + i}"
    if kind == 2:
        return f"/srv/{SERVICES[i % len(SERVICES)]}/node-{i}.yaml"
    return f"v{i // 1000}.{i // 10 % 100}.{i % 10}"


def notes(n: int) -> tuple[list[str], np.ndarray]:
    """The notes and their topics (clause numbers)."""
    texts = sentences(n, seed=7)
    topics = np.array([next(k for k, c in enumerate(CLAUSES) if c in t) for t in texts])
    return [f"{t} about {identifier(i)}" for i, t in enumerate(texts)], topics


def topic_vectors(topics: np.ndarray, seed: int) -> np.ndarray:
    rng = np.random.default_rng(99)
    centres = rng.normal(size=(TOPICS, DIMS)).astype(np.float32)
    noise = np.random.default_rng(seed).normal(size=(len(topics), DIMS)).astype(np.float32)
    v = centres[topics] + 0.6 * noise
    return (v / np.linalg.norm(v, axis=1, keepdims=True)).astype(np.float32)


def queries(texts: list[str], topics: np.ndarray, count: int, with_topic: bool) -> list[tuple[int, str, np.ndarray]]:
    """(target note, query text, query vector). With the topic: the note's identifier and two
    of its topic's words, embedded as its topic's centre plus noise. Without: a question
    naming the identifier alone, which the embedder cannot place (noise alone)."""
    rng = np.random.default_rng(3)
    targets = rng.choice(len(texts), size=count, replace=False)
    if with_topic:
        vectors = topic_vectors(topics[targets], seed=5)
    else:
        vectors = np.random.default_rng(5).normal(size=(count, DIMS)).astype(np.float32)
        vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    out = []
    for t, v in zip(targets, vectors):
        if with_topic:
            words = [w for w in CLAUSES[topics[t]].split() if len(w) > 3][:2]
            text = f"{identifier(int(t))} {' '.join(words)}"
        else:
            text = f"what do we know about {identifier(int(t))}?"
        out.append((int(t), text, v))
    return out


def dir_bytes(path: str) -> int:
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def median_latency(fn, texts: list[str]) -> float:
    samples = []
    for q in texts:
        start = time.perf_counter()
        fn(q)
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


# The peers' query forms: words holding punctuation become quoted phrases.
def fts5_query(text: str) -> str:
    return " OR ".join(f'"{w}"' for w in text.split())


def tantivy_query(text: str) -> str:
    return " ".join(f'"{w}"' if not w.isalnum() else w for w in text.split())


# Child processes: the first query after opening and the memory it holds, measured from a
# fresh interpreter. Each prints {"first": seconds, "rss": bytes added}.
CHILD_PRELUDE = """
import json, os, sys, time
def rss():
    with open("/proc/self/status") as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmRSS:"))
"""
CHILDREN = {
    "ormel": """
import ormel, numpy as np
q, v = sys.argv[2], np.array(json.loads(sys.argv[3]), dtype=np.float32)
if sys.argv[4] == "first":
    base = rss(); start = time.perf_counter()
    db = ormel.open(sys.argv[1], PASS, read_only=True); db.search_text(q)
    print(json.dumps({"first": time.perf_counter() - start, "rss": rss() - base}))
else:  # the page cache capped, so that only the keyword index grows
    db = ormel.open(sys.argv[1], PASS, read_only=True); db.recall(v, track_access=False); db.set_cache_capacity(64)
    base = rss(); db.search_text(q)
    print(json.dumps({"first": 0.0, "rss": rss() - base}))
""",
    "fts5": """
import sqlcipher3
q = sys.argv[2]; base = rss(); start = time.perf_counter()
conn = sqlcipher3.connect(sys.argv[1], isolation_level=None); conn.execute(f"PRAGMA key = '{PASS}'")
conn.execute("SELECT rowid FROM notes WHERE notes MATCH ? ORDER BY rank LIMIT 10", (q,)).fetchall()
print(json.dumps({"first": time.perf_counter() - start, "rss": rss() - base}))
""",
    "bm25s": """
import bm25s
q = sys.argv[2]; base = rss(); start = time.perf_counter()
r = bm25s.BM25.load(sys.argv[1])
r.retrieve(bm25s.tokenize([q], stopwords=None, show_progress=False), k=10, show_progress=False)
print(json.dumps({"first": time.perf_counter() - start, "rss": rss() - base}))
""",
    "tantivy": """
import tantivy
q = sys.argv[2]; base = rss(); start = time.perf_counter()
index = tantivy.Index.open(sys.argv[1])
index.searcher().search(index.parse_query(q, ["body"]), 10)
print(json.dumps({"first": time.perf_counter() - start, "rss": rss() - base}))
""",
}


def child(name: str, *args: str) -> dict:
    code = CHILD_PRELUDE + f"PASS = {PASSPHRASE!r}\n" + CHILDREN[name]
    out = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError(f"{name} child failed: {out.stderr.strip()}")
    return json.loads(out.stdout)


def run(n: int, n_queries: int) -> dict:
    texts, topics = notes(n)
    vectors = topic_vectors(topics, seed=11)
    qs = queries(texts, topics, n_queries, with_topic=True)
    bare = queries(texts, topics, n_queries, with_topic=False)
    q_texts = [q for _, q, _ in qs]
    probe_text, probe_vector = q_texts[0], json.dumps(qs[0][2].tolist())
    figures: dict[str, dict] = {}
    with scratch_dir("ormel-bench-keyword-") as tmp:
        # ormel: the memories, then a fresh handle whose first keyword query builds the index.
        path = os.path.join(tmp, "notes.ormel")
        db = ormel.open(path, PASSPHRASE, dimensions=DIMS)
        db.remember_many(texts, "semantic", vectors)
        db.close()
        del db
        db = ormel.open(path, PASSPHRASE)
        db.recall(vectors[0], track_access=False)  # records summarised, as a running agent has them
        with stopwatch() as build:
            db.search_text("warm up")
        index_bytes = db.keyword_index_stats()["bytes"]
        latency = median_latency(lambda q: db.search_text(q), q_texts)
        figures["quality"] = {"identifier and topic words": quality(db, qs),
                              "identifier alone": quality(db, bare)}
        db.release()  # the children open the file
        first = child("ormel", path, probe_text, probe_vector, "first")
        held = child("ormel", path, probe_text, probe_vector, "held")
        figures["ormel"] = {"build": build["seconds"], "query": latency, "first": first["first"],
                            "rss": held["rss"], "bytes": 0, "file": os.path.getsize(path), "index": index_bytes}

        # SQLite FTS5 in SQLCipher.
        fts = os.path.join(tmp, "notes.db")
        conn = sqlcipher_connect(fts)
        conn.execute("CREATE VIRTUAL TABLE notes USING fts5(body)")
        with stopwatch() as build:
            conn.execute("BEGIN")
            conn.executemany("INSERT INTO notes(body) VALUES (?)", ((t,) for t in texts))
            conn.execute("COMMIT")
        sql = "SELECT rowid FROM notes WHERE notes MATCH ? ORDER BY rank LIMIT 10"
        latency = median_latency(lambda q: conn.execute(sql, (fts5_query(q),)).fetchall(), q_texts)
        conn.close()
        measured = child("fts5", fts, fts5_query(probe_text))
        figures["FTS5"] = {"build": build["seconds"], "query": latency, "first": measured["first"],
                           "rss": measured["rss"], "bytes": os.path.getsize(fts)}

        # bm25s.
        import bm25s

        saved = os.path.join(tmp, "bm25s")
        with stopwatch() as build:
            retriever = bm25s.BM25(k1=1.2, b=0.75)
            retriever.index(bm25s.tokenize(texts, stopwords=None, show_progress=False), show_progress=False)
        retriever.save(saved)

        def bm25s_query(q: str) -> None:
            retriever.retrieve(bm25s.tokenize([q], stopwords=None, show_progress=False), k=10, show_progress=False)

        latency = median_latency(bm25s_query, q_texts)
        measured = child("bm25s", saved, probe_text)
        figures["bm25s"] = {"build": build["seconds"], "query": latency, "first": measured["first"],
                            "rss": measured["rss"], "bytes": dir_bytes(saved)}

        # tantivy.
        import tantivy

        index_dir = os.path.join(tmp, "tantivy")
        os.makedirs(index_dir)
        schema = tantivy.SchemaBuilder().add_text_field("body", stored=False).build()
        with stopwatch() as build:
            index = tantivy.Index(schema, path=index_dir)
            writer = index.writer()
            for t in texts:
                writer.add_document(tantivy.Document(body=t))
            writer.commit()
            writer.wait_merging_threads()
        index.reload()
        searcher = index.searcher()
        latency = median_latency(lambda q: searcher.search(index.parse_query(tantivy_query(q), ["body"]), 10), q_texts)
        measured = child("tantivy", index_dir, tantivy_query(probe_text))
        figures["tantivy"] = {"build": build["seconds"], "query": latency, "first": measured["first"],
                              "rss": measured["rss"], "bytes": dir_bytes(index_dir)}
    return figures


def quality(db: ormel.Ormel, qs: list[tuple[int, str, np.ndarray]]) -> dict:
    """Share of queries whose note is in the top 5, and median latency (top 10), per mode."""
    ids = [e["id"] for e in db.ids()]  # catalog order is insertion order here
    modes = {
        "vector-only recall": lambda q, v: [r["id"] for r in db.recall(v, top_k=10, track_access=False)],
        "keyword-only search_text": lambda q, v: [m["id"] for m, _ in db.search_text(q, top_k=10)],
        "hybrid recall": lambda q, v: [r["id"] for r in db.recall(v, top_k=10, text=q, track_access=False)],
    }
    out = {}
    for name, fn in modes.items():
        found, samples = 0, []
        for target, q, v in qs:
            start = time.perf_counter()
            top = fn(q, v)
            samples.append(time.perf_counter() - start)
            found += ids[target] in top[:5]
        out[name] = {"top5": found / len(qs), "latency": statistics.median(samples)}
    return out


def report(n: int, f: dict) -> None:
    print(f"\n{n} notes (ormel file {f['ormel']['file'] / 2**20:.1f} MiB with {DIMS}-d vectors)")
    peers = ["ormel", "FTS5", "bm25s", "tantivy"]
    rows = [("measure", *peers)]
    rows.append(("index build", *(fmt(f[p]["build"]) for p in peers)))
    rows.append(("keyword query, top 10 (median)", *(fmt(f[p]["query"]) for p in peers)))
    rows.append(("first keyword query after opening", *(fmt(f[p]["first"]) for p in peers)))
    rows.append(("memory held", *(f"{f[p]['rss'] / 2**20:.1f} MiB" for p in peers)))
    rows.append(("bytes in the file", *(f"{f[p]['bytes'] / 2**20:.1f} MiB" for p in peers)))
    rows.append(("  ormel's index as it counts itself", f"{f['ormel']['index'] / 2**20:.1f} MiB", "", "", ""))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for row in rows:
        print("  " + "  ".join(c.ljust(widths[i]) for i, c in enumerate(row)))
    for kind, modes in f["quality"].items():
        print(f"  queries naming an identifier ({kind}): note in the top 5, median latency (top 10)")
        for mode, q in modes.items():
            print(f"    {mode:<26} {q['top5']:6.1%}  {fmt(q['latency'])}")
        exact, keyword = modes["vector-only recall"]["latency"], modes["keyword-only search_text"]["latency"]
        hybrid = modes["hybrid recall"]["latency"]
        print(f"    hybrid / (exact recall + keyword query) = {hybrid / (exact + keyword):.2f} (goal <= 1.2)")
    print(f"    keyword query ormel / FTS5 = {f['ormel']['query'] / f['FTS5']['query']:.2f} (goal <= 1); "
          f"build ormel / FTS5 inserts = {f['ormel']['build'] / f['FTS5']['build']:.2f} (goal <= 1)")


def write_charts(results: dict[int, dict], directory: str) -> None:
    sizes = sorted(results)
    with chart(directory, "bench_keyword_latency.png") as ax:
        for peer in ["ormel", "FTS5", "bm25s", "tantivy"]:
            ax.plot(sizes, [results[n][peer]["query"] * 1e3 for n in sizes], marker="o", label=peer)
        ax.set(xscale="log", yscale="log", xlabel="notes", ylabel="keyword query, top 10 (ms)")
    with chart(directory, "bench_keyword_quality.png") as ax:
        for kind in results[sizes[0]]["quality"]:
            for mode in results[sizes[0]]["quality"][kind]:
                ax.plot(sizes, [results[n]["quality"][kind][mode]["top5"] * 100 for n in sizes], marker="o",
                        label=f"{mode.split()[0]}, {kind}")
        ax.set(xscale="log", ylim=(0, 105), xlabel="notes", ylabel="identifier queries, note in top 5 (%)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--charts", metavar="DIR", help="write the PNG charts into DIR (e.g. docs)")
    args = parser.parse_args()
    results = {}
    for n in args.sizes:
        results[n] = run(n, args.queries)
        report(n, results[n])
    if args.charts:
        write_charts(results, args.charts)


if __name__ == "__main__":
    main()
