"""One handle used from many threads: calls take turns (a thread waits, never fails), the work
of each call is done as if alone, and re-entry from inside a call stays an error."""

import subprocess
import sys
import threading

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

pytestmark = pytest.mark.usefixtures("file_format")

THREADS = 4
ROUNDS = 12


def workload(db, t):
    """What thread t does: its own memories (private to its agent, tagged t), flushed now and
    then, read back only through views that exclude every other thread's."""
    seen = []
    agent = f"agent-{t}"
    for r in range(ROUNDS):
        memory_id = db.remember(f"t{t} r{r}", "semantic", vec(1, t + 1, r), agent_id=agent,
                                metadata={"t": t, "r": r}, id=f"{t + 1:02d}{r:024d}")
        db.cache_put(f"ns{t}", f"k{r}", f"v{t}-{r}")
        if r % 4 == 3:
            db.flush()
        recalled = db.recall(vec(1, t + 1, r), top_k=3, agent_id=agent, track_access=False)
        found = db.search(vec(1, t + 1, r), top_k=3, where={"t": t})
        seen.append((memory_id, db.get(memory_id)["content"], [m["id"] for m in recalled],
                     [m["id"] for m, _ in found], db.cache_get(f"ns{t}", f"k{r}")["value"]))
    return seen


def run_threads(db, n):
    results, errors = {}, []

    def body(t):
        try:
            results[t] = workload(db, t)
        except BaseException as error:  # reported below, with its thread
            errors.append((t, error))

    threads = [threading.Thread(target=body, args=(t,)) for t in range(n)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    return results


def test_threads_on_one_handle_get_what_a_serial_run_gets(tmp_path):
    serial_db = ormel.open(str(tmp_path / "serial.ormel"), PASSPHRASE, dimensions=DIMS)
    serial = {t: workload(serial_db, t) for t in range(THREADS)}
    shared = ormel.open(str(tmp_path / "threads.ormel"), PASSPHRASE, dimensions=DIMS)
    assert run_threads(shared, THREADS) == serial
    shared.flush()
    assert sorted(e["id"] for e in shared.ids()) == sorted(e["id"] for e in serial_db.ids())
    assert shared.verify() == THREADS * ROUNDS


def test_a_call_waits_for_another_threads_call_and_reentry_still_fails(db):
    memory_id = db.remember("seed", "semantic", vec(1))
    inside, go = threading.Event(), threading.Event()
    reentry = []

    def progress(done, total):
        if not inside.is_set():
            try:
                db.get(memory_id)  # the same thread, inside its own call
            except RuntimeError as error:
                reentry.append(str(error))
            inside.set()
            go.wait(10)

    worker = threading.Thread(target=lambda: db.verify(progress=progress))
    worker.start()
    assert inside.wait(10)
    got = []
    waiter = threading.Thread(target=lambda: got.append(db.get(memory_id)["content"]))
    waiter.start()
    waiter.join(0.2)
    assert waiter.is_alive() and got == []  # waiting its turn, not refused
    go.set()
    worker.join(10)
    waiter.join(10)
    assert got == ["seed"]
    assert reentry == ["Already borrowed"]


def test_a_thread_waiting_for_a_released_handle_gets_released(db):
    inside, go = threading.Event(), threading.Event()
    outcome = []

    def progress(done, total):
        inside.set()
        go.wait(10)

    def wait_then_call():
        try:
            outcome.append(db.stats()["memories"])
        except ormel.Released as error:
            outcome.append(type(error))

    db.remember("x", "semantic", vec(1))
    worker = threading.Thread(target=lambda: (db.verify(progress=progress), db.release()))
    worker.start()
    assert inside.wait(10)
    waiter = threading.Thread(target=wait_then_call)
    waiter.start()
    waiter.join(0.2)
    go.set()
    worker.join(10)
    waiter.join(10)
    # The waiter's turn came either before the release or after it.
    assert outcome in ([1], [ormel.Released])
    with pytest.raises(ormel.Released):
        db.stats()


def test_sessions_of_one_database_in_several_threads(db):
    def converse(t, out):
        with db.session(f"agent-{t}") as session:
            for n in range(5):
                session.add_turn(ormel.Turn.user(f"t{t} n{n}", vec(1, t, n)))
            out[t] = [m["content"] for m in session.recall(vec(1, t, 4), top_k=1)]

    out = {}
    threads = [threading.Thread(target=converse, args=(t, out)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert out == {t: [f"t{t} n4"] for t in range(THREADS)}


HOLDER = """
import sys, ormel
db = ormel.open(sys.argv[1], sys.argv[2])
print("holding", flush=True)
sys.stdin.readline()
db.release()
print("released", flush=True)
sys.stdin.readline()
"""


def test_a_writer_waits_for_another_process_to_let_go(db_path):
    ormel.open(db_path, PASSPHRASE, dimensions=DIMS).release()
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, db_path, PASSPHRASE], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "holding\n"
        with pytest.raises(ormel.Locked):
            ormel.open(db_path, PASSPHRASE, timeout=0.05)
        with pytest.raises(ormel.Locked):
            ormel.open(db_path, PASSPHRASE)  # no timeout: fails at once, as before
        opened = []
        waiter = threading.Thread(target=lambda: opened.append(ormel.open(db_path, PASSPHRASE, timeout=60)))
        waiter.start()
        holder.stdin.write("go\n")
        holder.stdin.flush()
        assert holder.stdout.readline() == "released\n"
        waiter.join(60)
        assert len(opened) == 1 and opened[0].stats()["memories"] == 0
    finally:
        holder.stdin.close()
        holder.wait(30)


@pytest.mark.parametrize("timeout", [-1, float("nan"), float("inf"), "1"])
def test_timeout_must_be_seconds(db_path, timeout):
    with pytest.raises((ValueError, TypeError), match="timeout"):
        ormel.open(db_path, PASSPHRASE, dimensions=DIMS, timeout=timeout)
