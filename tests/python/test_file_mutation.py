"""Damaged files: mutated copies of a small real database, opened in a worker subprocess under
a time limit. Each copy must read back exactly the original's data or raise a clean exception;
a crash, a hang or different data fails, naming the seed, the mutations and the kept copy.

ORMEL_MUTATION_SECONDS bounds the run on each database (default 10; the test command gives it
longer) and
ORMEL_MUTATION_SEED picks the mutations (default 0), so a failure can be replayed."""
import json
import os
import queue
import random
import shutil
import struct
import subprocess
import sys
import threading
import time
import zlib
from pathlib import Path

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

PAGE = 8192
SECONDS = float(os.environ.get("ORMEL_MUTATION_SECONDS", "10"))
SEED = int(os.environ.get("ORMEL_MUTATION_SEED", "0"))
BATCH = 16
MUTANT_SECONDS = 10  # far beyond what one healthy open and read takes
WORKER = Path(__file__).with_name("mutation_worker.py")
CACHE_KEYS = [("llm", "question one"), ("llm", "question two"), ("sem", "what is x?")]
# Header fields (offset, width): every integer of page 0 but the magic.
HEADER_FIELDS = [(4, 2), (6, 4), (10, 4), (14, 4), (18, 8), (26, 8), (34, 8), (42, 8), (50, 8), (58, 8),
                 (66, 8), (74, 4), (78, 4), (82, 4), (162, 8), (170, 8), (178, 8), (186, 8), (194, 8),
                 (202, 8), (214, 8), (222, 8), (230, 8), (270, 8), (278, 8), (286, 8)]
# Exceptions that are not a clean refusal but a fault: of the module itself, or a file of a
# few hundred kilobytes making the engine ask for more memory than the machine has.
UNCLEAN = {"SystemError", "MemoryError"}


FIXTURES = Path(__file__).parents[1] / "fixtures"


@pytest.fixture(scope="module", params=["fresh", "legacy_v5"])
def original(request, tmp_path_factory):
    """(path, plan): a database and the plan that reads all of it back. "fresh" is written
    here through several flushes (memories, one deleted, an index, snapshots, exact and
    semantic cache entries); "legacy_v5" is the kept file of an older format version, whose
    header carries no seal and which is upgraded when opened."""
    if request.param == "legacy_v5":
        facts = json.loads((FIXTURES / "legacy_fixtures.json").read_text())
        ids = [m["id"] for m in facts["files"]["legacy_v5.ormel"]["memories"]]
        return FIXTURES / "legacy_v5.ormel", {"passphrase": facts["passphrase"], "query": vec(1, 0.5, -1, 0.25),
                                              "ids": ids, "cache_keys": []}
    path = str(tmp_path_factory.mktemp("mutation") / "original.db")
    db = ormel.open(path, PASSPHRASE, dimensions=DIMS)
    ids = [db.remember(f"memory {n}", ("episodic", "semantic", "procedural", "working")[n % 4],
                       vec(n, 1.0 / (n + 1), -n), agent_id=f"agent-{n % 2}", session_id=f"s{n % 3}",
                       ttl_secs=None if n % 3 else 10**9, shared=n % 2 == 1,
                       metadata={"n": n, "tags": ["a", n, None], "deep": {"f": 0.5 * n}})
           for n in range(12)]
    db.flush()
    db.build_index()
    db.flush()
    db.delete(ids.pop(4))
    ids.append(db.remember("after the index", "semantic", vec(0.5, 0.5, 0.5, 0.5)))
    db.flush()
    db.cache_put("llm", "question one", "first answer")
    db.cache_put("llm", "question two", b"\x00\xff", ttl_secs=10**9)
    db.cache_put_semantic("sem", "what is x?", vec(1, 0, 1), "x is y", model="embed-1")
    db.close()
    plan = {"passphrase": PASSPHRASE, "query": vec(1, 0.5, -1, 0.25), "ids": ids, "cache_keys": CACHE_KEYS}
    return Path(path), plan


def run_worker(plan, paths, scratch):
    """One JSON result per path, in order, as far as the worker got; and why it stopped early
    (None when it read every path). A path without an answer within MUTANT_SECONDS stops it."""
    request = json.dumps({**plan, "paths": [str(p) for p in paths]}) + "\n"
    with open(scratch / "worker.stderr", "w+") as errors:
        worker = subprocess.Popen([sys.executable, str(WORKER)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=errors, text=True)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(line) for line in worker.stdout] + [lines.put(None)],
                         daemon=True).start()
        worker.stdin.write(request)
        worker.stdin.close()
        results = []
        while len(results) < len(paths):
            try:
                line = lines.get(timeout=MUTANT_SECONDS)
            except queue.Empty:
                worker.kill()
                worker.wait()
                return results, f"no answer within {MUTANT_SECONDS} s"
            if line is None:
                break
            results.append(json.loads(line))
        status = worker.wait()
        errors.seek(0)
        return results, None if status == 0 else f"exit status {status}: {errors.read()[-2000:]}"


def mutate(data: bytearray, rng: random.Random) -> str:
    """Applies one random mutation in place and says what it did."""
    pages = max(1, len(data) // PAGE)
    kind = rng.choice(["bits", "bytes", "truncate", "zero_page", "copy_page", "header", "header", "append"])
    if not data:  # an earlier mutation truncated everything: only growing is left
        kind = "append"
    if kind == "bits":
        spots = [rng.randrange(len(data) * 8) for _ in range(rng.randint(1, 8))]
        for bit in spots:
            data[bit // 8] ^= 1 << (bit % 8)
        return f"flip bits {spots}"
    if kind == "bytes":
        at, n = rng.randrange(len(data)), rng.randint(1, 64)
        data[at:at + n] = rng.randbytes(min(n, len(data) - at))
        return f"overwrite {n} bytes at {at}"
    if kind == "truncate":
        n = rng.choice([rng.randrange(len(data)), rng.randrange(pages) * PAGE])
        del data[n:]
        return f"truncate to {n} bytes"
    if kind == "zero_page":
        p = rng.randrange(pages)
        data[p * PAGE:(p + 1) * PAGE] = bytes(PAGE)
        return f"zero page {p}"
    if kind == "copy_page":
        src, dst = rng.randrange(pages), rng.randrange(pages)
        data[dst * PAGE:(dst + 1) * PAGE] = data[src * PAGE:(src + 1) * PAGE]
        return f"copy page {src} over page {dst}"
    if kind == "append":
        n = rng.choice([rng.randint(1, 100), PAGE * rng.randint(1, 3)])
        data += rng.randbytes(n)
        return f"append {n} random bytes"
    at, width = rng.choice(HEADER_FIELDS)
    old = int.from_bytes(data[at:at + width], "little")
    top = (1 << (8 * width)) - 1
    new = rng.choice([0, 1, top, old + 1, old - 1, old * 2, old ^ (1 << rng.randrange(8 * width)),
                      rng.randrange(top + 1)]) & top
    data[at:at + width] = new.to_bytes(width, "little")
    fix_crc = rng.random() < 0.7  # mostly past the checksum, into what the fields drive
    if fix_crc:
        data[238:242] = struct.pack("<I", zlib.crc32(bytes(data[:238])))
    return f"header field at {at} from {old} to {new}" + (" (checksum fixed)" if fix_crc else "")


def test_mutated_files_read_back_whole_or_fail_cleanly(original, tmp_path):
    source, plan = original
    unmutated = tmp_path / "unmutated.db"
    shutil.copyfile(source, unmutated)
    reference, stopped = run_worker(plan, [unmutated], tmp_path)
    assert stopped is None and "data" in reference[0], (reference, stopped)
    good = reference[0]["data"]
    assert good["live"] == len(plan["ids"]) and len(good["cache"]) == len(plan["cache_keys"])
    assert all(v is not None for v in good["cache"].values())

    rng = random.Random(SEED)
    base = source.read_bytes()
    deadline = time.monotonic() + SECONDS
    tried = 0
    while time.monotonic() < deadline:
        batch, recipes = [], []
        for i in range(BATCH):
            data = bytearray(base)
            recipes.append([mutate(data, rng) for _ in range(rng.choice([1, 1, 2, 3]))])
            batch.append(tmp_path / f"mutant-{tried + i}.db")
            batch[-1].write_bytes(data)
        results, stopped = run_worker(plan, batch, tmp_path)
        for i, path in enumerate(batch):
            what = f"seed {SEED}, mutant {tried + i} ({'; '.join(recipes[i])}), kept at {path}"
            if i == len(results):
                pytest.fail(f"{what}: the worker stopped: {stopped}")
            outcome = results[i]
            if "error" in outcome:
                assert outcome["error"] not in UNCLEAN, f"{what}: {outcome}"
            else:
                assert outcome["data"] == good, f"{what}: reads back different data"
            path.unlink()
        tried += BATCH
