"""Readers in other processes that follow a writer (open(..., read_only=True, follow=True)):
every read is consistent with one committed state, refresh() moves forward, and neither
compaction (by hand or automatic) nor a writer killed mid-commit pulls pages from under them."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

pytestmark = pytest.mark.usefixtures("file_format")

WORKER = Path(__file__).with_name("follow_worker.py")
COUNTER_ID = "0000000000000000000000000C"
READ_SECONDS = 4.0

WRITER = """
import sys, ormel
sys.path.insert(0, sys.argv[3])
from test_follow import commit
db = ormel.open(sys.argv[1], sys.argv[2])
db.set_auto_compact(min_bytes=1 << 18, ratio=0.0)
k = int(db.get("0000000000000000000000000C")["content"])
print("writing", flush=True)
while True:
    k += 1
    commit(db, k)
"""


def commit(db, k):
    """Transaction k: memory m<k>, and the counter memory and cache entry set to k (cache_put
    commits everything staged with it, as one transaction)."""
    db.remember(f"m{k}", "semantic", vec(1, k % 7), metadata={"k": k})
    db.remember(str(k), "working", vec(0, 1), id=COUNTER_ID)
    db.cache_put("follow", "counter", str(k))


def seeded(path):
    """A database at transaction "0": the counter and the cache entry, no memory m<k> yet."""
    db = ormel.open(path, PASSPHRASE, dimensions=DIMS)
    db.remember("0", "working", vec(0, 1), id=COUNTER_ID)
    db.cache_put("follow", "counter", "0")
    return db


def start_readers(path, n=3):
    return [subprocess.Popen([sys.executable, str(WORKER), path, PASSPHRASE, str(READ_SECONDS)],
                             stdout=subprocess.PIPE, text=True) for _ in range(n)]


def reports(readers):
    out = []
    for reader in readers:
        stdout, _ = reader.communicate(timeout=120)
        out.append(json.loads(stdout))
    return out


def test_readers_follow_a_writer_through_commits_and_compactions(db_path):
    db = seeded(db_path)
    db.set_auto_compact(min_bytes=1 << 18, ratio=0.0)  # compacts every few dozen commits
    readers = start_readers(db_path)
    k, deadline = 0, time.monotonic() + READ_SECONDS + 60
    while any(r.poll() is None for r in readers) and time.monotonic() < deadline:
        k += 1
        commit(db, k)
        if k % 40 == 0:
            db.compact()
        if k % 90 == 0:
            db.compact(keep_history=False)
    results = reports(readers)
    for result in results:
        assert result["problems"] == []
        assert len(set(result["seen"])) >= 2, "the reader never moved on"
    follower = ormel.open(db_path, PASSPHRASE, read_only=True, follow=True)
    assert int(follower.get(COUNTER_ID)["content"]) == k
    db.flush()
    assert follower.refresh() is False


def test_readers_keep_reading_when_the_writer_is_killed_mid_commit(db_path, tmp_path):
    db = seeded(db_path)
    db.release()
    writer = subprocess.Popen([sys.executable, "-c", WRITER, db_path, PASSPHRASE, str(Path(__file__).parent)],
                              stdout=subprocess.PIPE, text=True)
    assert writer.stdout.readline() == "writing\n"
    readers = start_readers(db_path)
    time.sleep(READ_SECONDS / 3)
    writer.send_signal(signal.SIGKILL)
    writer.wait(30)
    results = reports(readers)
    for result in results:
        assert result["problems"] == []
    # The next writer recovers whatever the killed one left, and readers go on from there.
    recovered = ormel.open(db_path, PASSPHRASE)
    k = int(recovered.get(COUNTER_ID)["content"])
    assert len(recovered.ids()) == k + 1
    follower = ormel.open(db_path, PASSPHRASE, read_only=True, follow=True)
    commit(recovered, k + 1)
    assert follower.refresh() is True
    assert int(follower.get(COUNTER_ID)["content"]) == k + 1


def test_follow_rules(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    memory_id = db.remember("x", "semantic", vec(1))
    db.flush()
    with pytest.raises(ValueError, match="'follow' needs read_only=True"):
        ormel.open(db_path, PASSPHRASE, follow=True)
    with pytest.raises(ormel.Locked):
        ormel.open(db_path, PASSPHRASE, read_only=True)  # without follow, as documented
    follower = ormel.open(db_path, PASSPHRASE, read_only=True, follow=True)
    assert follower.get(memory_id)["content"] == "x"
    with pytest.raises(ormel.ReadOnly):
        follower.remember("y", "semantic", vec(1))
    with pytest.raises(ormel.InvalidArgument, match="refresh\\(\\) needs a handle opened with follow=True"):
        db.refresh()
    db.release()
    ormel.open(db_path, PASSPHRASE).release()  # a follower holds no lock
    with pytest.raises(ValueError, match="read_only=True cannot create"):
        ormel.open(db_path + ".missing", PASSPHRASE, read_only=True, follow=True)
    assert not os.path.exists(db_path + ".missing")
