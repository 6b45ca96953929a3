"""Concurrency: what calls on one handle leave to the rest of the program.

  (a) the progress of a pure-Python thread (a counting loop) while another thread loops exact
      recalls at --memories, as a fraction of its progress alone (goal: at least 0.6; the exact
      scan splits over every core, so on two cores a third thread has about two thirds); for
      comparison, its fraction beside another process looping the same recalls;
  (b) the largest event-loop lag (a ticker coroutine sleeping 1 ms, its overshoot; with its
      99th percentile) while a coroutine awaits `open_async` and its first recall, then warm
      recalls, at --loop-memories (goal: at most 10 ms); for comparison, the lag while the same
      recalls are called directly on the loop, with the ticker alone, and while another process
      does the same work (no interpreter lock shared: what lag it leaves comes from busy cores);
  (c) recall throughput of one handle from 1 and from 2 threads.

(a) and (c) alternate their windows over --rounds and give medians, (b) its warm windows,
so that load from neighbours on a shared machine weighs on both sides alike.

Recalls are exact (no index), top 10, with `track_access=False` so that they only read. The
data are seeded random unit vectors stored with `remember_many`; each database is built once
and kept under bench/data/ (delete it to rebuild; 1,000,000 x 384 takes about 8 GB there).

    ./scripts/bench.sh bench/bench_concurrency.py [--memories 100000] [--loop-memories 1000000]
                                                  [--dims 384] [--seconds 1] [--rounds 5] [--recalls 10]
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import os
import signal
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Awaitable, Callable, Iterator
from contextlib import contextmanager
from typing import TypeVar

import numpy as np

import ormel
from common import PASSPHRASE, fmt

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
CHUNK = 50_000
QUERIES = 16
TICK = 0.001
T = TypeVar("T")


def unit_rows(rng: np.random.Generator, n: int, dims: int) -> np.ndarray:
    rows = rng.standard_normal((n, dims), dtype=np.float32)
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    return rows


def database(n: int, dims: int) -> str:
    """The path of a database of n seeded memories, built (in chunks, one commit each) when
    bench/data/ does not hold it yet."""
    path = os.path.join(DATA, f"concurrency-{n}x{dims}.ormel")
    if os.path.exists(path):
        return path
    os.makedirs(DATA, exist_ok=True)
    partial = path + ".building"
    if os.path.exists(partial):
        os.remove(partial)
    rng = np.random.default_rng(n)
    start = time.perf_counter()
    db = ormel.open(partial, PASSPHRASE, dimensions=dims)
    db.set_auto_compact(None)
    for lo in range(0, n, CHUNK):
        count = min(CHUNK, n - lo)
        db.remember_many([f"memory {i} about the release plan" for i in range(lo, lo + count)], "semantic",
                         unit_rows(rng, count, dims))
        db.flush()
    db.release()
    os.replace(partial, path)
    print(f"built {n} memories x {dims} dims in {time.perf_counter() - start:.0f} s "
          f"({os.path.getsize(path) / 1e9:.1f} GB): {path}")
    return path


class Queries:
    """The seeded queries in turn, as recall's (query, top_k); `calls` counts them (from any
    number of threads: `next` on a counter is one step under the interpreter lock)."""

    def __init__(self, dims: int) -> None:
        self.queries = list(unit_rows(np.random.default_rng(12345), QUERIES, dims))
        self.restart()

    def restart(self) -> None:
        self._counter = itertools.count(1)
        self.calls = 0

    def args(self) -> tuple[np.ndarray, int]:
        self.calls = next(self._counter)
        return self.queries[self.calls % QUERIES], 10


class Recaller(Queries):
    """Exact top-10 recalls on `db`, one per call."""

    def __init__(self, db: ormel.Ormel, dims: int) -> None:
        super().__init__(dims)
        self.db = db

    def __call__(self) -> None:
        self.db.recall(*self.args(), track_access=False)


def count_for(seconds: float) -> float:
    """Iterations per second of a pure-Python counting loop run for `seconds`."""
    count = 0
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        for _ in range(1000):
            count += 1
    return count / seconds


@contextmanager
def looping(fn: Callable[[], None], threads: int = 1) -> Iterator[None]:
    """Calls fn over and over on `threads` threads until the block ends."""
    stop = threading.Event()

    def loop() -> None:
        while not stop.is_set():
            fn()

    workers = [threading.Thread(target=loop) for _ in range(threads)]
    for worker in workers:
        worker.start()
    try:
        yield
    finally:
        stop.set()
        for worker in workers:
            worker.join()


def python_progress(db: ormel.Ormel, path: str, dims: int, seconds: float, rounds: int) -> tuple[float, float, float]:
    """(the counting thread's progress beside a thread looping recalls as a fraction of its
    progress alone, the recalls per second meanwhile, its fraction beside another process
    looping the same recalls), medians over `rounds` of alternating windows."""
    count_for(0.2)  # warm up the interpreter's loop
    recall = Recaller(db, dims)
    recall()  # the scan's pages in the page cache
    fractions: dict[str, list[float]] = {"thread": [], "process": []}
    rates = []
    with stopped_control(path, dims) as control:
        for _ in range(rounds):
            solo = count_for(seconds)
            recall.restart()
            with looping(recall):
                fractions["thread"].append(count_for(seconds) / solo)
            rates.append(recall.calls / seconds)
            control.send_signal(signal.SIGCONT)
            fractions["process"].append(count_for(seconds) / solo)
            control.send_signal(signal.SIGSTOP)
    return statistics.median(fractions["thread"]), statistics.median(rates), statistics.median(fractions["process"])


@contextmanager
def stopped_control(path: str, dims: int) -> Iterator[subprocess.Popen[str]]:
    """The control process looping recalls, stopped (SIGSTOP) once it is ready; killed at the end."""
    child = subprocess.Popen(control_args(path, dims, 0), stdout=subprocess.PIPE, text=True)
    try:
        if child.stdout is None or child.stdout.readline().strip() != "ready":
            raise RuntimeError("the control process failed")
        child.send_signal(signal.SIGSTOP)
        yield child
    finally:
        child.kill()
        child.wait()


def throughputs(db: ormel.Ormel, dims: int, seconds: float, rounds: int) -> tuple[float, float]:
    """Recalls per second on one handle from 1 and from 2 threads: medians over `rounds` of
    alternating windows."""
    recall = Recaller(db, dims)
    recall()
    rates: dict[int, list[float]] = {1: [], 2: []}
    for _ in range(rounds):
        for threads, found in rates.items():
            recall.restart()
            start = time.perf_counter()
            with looping(recall, threads):
                time.sleep(seconds)
            found.append(recall.calls / (time.perf_counter() - start))
    return statistics.median(rates[1]), statistics.median(rates[2])


class Lags:
    """The overshoots of a 1 ms sleep on the loop over the windows `watch` was given, and the
    time those windows took."""

    def __init__(self) -> None:
        self.lags: list[float] = []
        self.seconds = 0.0

    async def watch(self, work: Callable[[], Awaitable[T]]) -> T:
        """Awaits work() with the ticker running beside it; its result."""
        done = False

        async def ticker() -> None:
            while not done:
                start = time.perf_counter()
                await asyncio.sleep(TICK)
                self.lags.append(time.perf_counter() - start - TICK)

        tick = asyncio.create_task(ticker())
        await asyncio.sleep(TICK * 5)  # the ticker is running before the work starts
        start = time.perf_counter()
        result = await work()
        self.seconds += time.perf_counter() - start
        done = True
        await tick
        return result

    def cells(self, calls: int | None) -> tuple[str, str, str]:
        """(largest lag, 99th percentile, time per call or "" when `calls` is None)."""
        return (fmt(max(self.lags)), fmt(float(np.percentile(self.lags, 99))),
                fmt(self.seconds / calls) if calls else "")


# The controls: the same recalls in another process, which shares no interpreter lock with this
# one, so whatever they take from a thread or the loop here comes from the cores being busy.
# It says "ready" after its first recall, then makes `recalls` more (0: until it is killed).
CONTROL = """
import itertools, sys, numpy as np, ormel
path, passphrase, dims, recalls = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
db = ormel.open(path, passphrase, read_only=True)
queries = np.random.default_rng(12345).standard_normal((16, dims), dtype=np.float32)
db.recall(queries[0], 10, track_access=False)
print("ready", flush=True)
for n in itertools.count(1) if recalls == 0 else range(1, recalls + 1):
    db.recall(queries[n % 16], 10, track_access=False)
"""


def control_args(path: str, dims: int, recalls: int) -> list[str]:
    return [sys.executable, "-c", CONTROL, path, PASSPHRASE, str(dims), str(recalls)]


async def in_another_process(path: str, dims: int, recalls: int) -> None:
    child = await asyncio.create_subprocess_exec(*control_args(path, dims, recalls), stdout=subprocess.DEVNULL)
    if await child.wait() != 0:
        raise RuntimeError("the control process failed")


async def loop_lags(path: str, dims: int, recalls: int, rounds: int) -> list[tuple[str, ...]]:
    """Rows (what the loop awaits, largest lag, 99th percentile, time per recall) for (b); the
    warm windows alternate over `rounds`, after as many recalls again to warm up."""
    idle, first, awaited, direct, control = Lags(), Lags(), Lags(), Lags(), Lags()
    await idle.watch(lambda: asyncio.sleep(2))
    turns = Queries(dims)
    db = await first.watch(lambda: ormel.open_async(path, PASSPHRASE))
    await first.watch(lambda: db.recall(*turns.args(), track_access=False))

    # Both kinds of window pause 1 ms after each recall, so that on the loop the ticker gets
    # its turn between two recalls (the times per recall include the pause).
    async def through_open_async() -> None:
        for _ in range(recalls):
            await db.recall(*turns.args(), track_access=False)
            await asyncio.sleep(TICK)

    async def on_the_loop() -> None:
        for _ in range(recalls):
            db.sync.recall(*turns.args(), track_access=False)
            await asyncio.sleep(TICK)

    await through_open_async()
    for _ in range(rounds):
        await awaited.watch(through_open_async)
        await direct.watch(on_the_loop)
    await db.release()
    await control.watch(lambda: in_another_process(path, dims, recalls))
    warm = f"{recalls * rounds} warm recalls"
    return [
        ("nothing (the ticker alone, 2 s)", *idle.cells(None)),
        ("open_async and its first recall (cold)", *first.cells(1)),
        (f"{warm} through open_async", *awaited.cells(recalls * rounds)),
        (f"{warm} called on the loop", *direct.cells(recalls * rounds)),
        (f"control: open, cold and {recalls} warm recalls in another process", *control.cells(None)),
    ]


def print_rows(title: str, header: tuple[str, ...], rows: list[tuple[str, ...]]) -> None:
    print(f"\n{title}")
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  " + "  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row)).rstrip())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--memories", type=int, default=100_000, help="size for (a) and (c)")
    parser.add_argument("--loop-memories", type=int, default=1_000_000, help="size for (b)")
    parser.add_argument("--dims", type=int, default=384)
    parser.add_argument("--seconds", type=float, default=1.0, help="length of each measuring window in (a), (c)")
    parser.add_argument("--rounds", type=int, default=5, help="alternating windows in (a), (b), (c)")
    parser.add_argument("--recalls", type=int, default=10, help="warm recalls per window in (b)")
    args = parser.parse_args()
    n, dims = args.memories, args.dims

    path = database(n, dims)
    db = ormel.open(path, PASSPHRASE, read_only=True)  # read-only, so the control can open it too
    fraction, recalls_beside, control = python_progress(db, path, dims, args.seconds, args.rounds)
    one, two = throughputs(db, dims, args.seconds, args.rounds)
    db.release()
    print_rows(f"(a) a pure-Python thread beside a thread looping exact recalls, {n} x {dims}, "
               f"{os.cpu_count()} cores", ("measure", "value", "goal"),
               [("its progress / its progress alone", f"{fraction:.2f}", ">= 0.6"),
                ("recalls per second meanwhile", f"{recalls_beside:.1f}", ""),
                ("control: beside another process looping them", f"{control:.2f}", "")])
    print_rows(f"(c) recall throughput of one handle, {n} x {dims}", ("threads", "recalls per second", ""),
               [("1", f"{one:.1f}", ""), ("2", f"{two:.1f}", f"{two / one:.2f} x")])

    rows = asyncio.run(loop_lags(database(args.loop_memories, dims), dims, args.recalls, args.rounds))
    print_rows(f"(b) largest event-loop lag (1 ms ticker), {args.loop_memories} x {dims}, goal <= 10 ms through "
               "open_async", ("while the loop awaits", "largest lag", "99th pct", "time (per recall)"), rows)


if __name__ == "__main__":
    main()
