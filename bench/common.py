"""Helpers shared by the benchmark scripts: data, timing, tables."""

from __future__ import annotations

import os
import shutil
import statistics
import tempfile
import time
from contextlib import contextmanager

# Every peer runs on one thread, as ormel does: a fair comparison on a shared machine.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

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


def median_seconds(fn, repeats: int) -> float:
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


@contextmanager
def stopwatch():
    """Yields a dict whose "seconds" is filled when the block ends."""
    result = {}
    start = time.perf_counter()
    yield result
    result["seconds"] = time.perf_counter() - start


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


def print_table(title: str, rows: list[tuple[str, str, str, str]]) -> None:
    """Rows of (measure, ormel, peer, ratio ormel/peer)."""
    print(f"\n{title}")
    widths = [max(len(r[i]) for r in rows + [("measure", "ormel", "peer", "ormel/peer")]) for i in range(4)]
    header = ("measure", "ormel", "peer", "ormel/peer")
    for row in [header] + rows:
        print("  " + "  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)))
