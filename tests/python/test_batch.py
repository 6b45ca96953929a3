"""`with db.batch():` groups memory and cache writes into one transaction: committed once when
the block ends, discarded when it raises; nested blocks join the outermost, and what commits a
transaction of its own is refused inside one. The same for `async with` on the coroutine API."""

import asyncio
import threading
import time

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, RO_MESSAGE, vec


def last_txn(db):
    return db.snapshots()[-1]["txn_id"]


@pytest.fixture
def seeded(db):
    """The database with one memory and one cache entry committed (transaction 1)."""
    db.remember("seed", "semantic", vec(1))
    db.cache_put("ns", "kept", "old")
    assert last_txn(db) == 1
    return db


def writes_of_every_kind(db):
    """Memory and cache writes, and the calls that flush by themselves; returns the memory's id."""
    memory_id = db.remember("zebra crossing", "episodic", vec(0, 1))
    db.cache_put("ns", "kept", "new")
    db.cache_put("ns", "fresh", "value")
    db.cache_put_semantic("sem", "near", vec(0, 0, 1), "semantic value", "model")
    db.flush()
    db.close()
    with db.session("agent") as session:
        session.add_turn(ormel.Turn.user("hello", vec(0, 0, 0, 1)))
    return memory_id


def test_a_block_is_one_transaction_and_sees_its_own_writes(seeded, db_path):
    db = seeded
    snapshots = len(db.snapshots())
    with db.batch() as same:
        assert same is db
        memory_id = writes_of_every_kind(db)
        assert last_txn(db) == 1, "committed inside the block"
        assert db.get(memory_id)["content"] == "zebra crossing"
        assert [m["id"] for m, _ in db.search_text("zebra")] == [memory_id]
        assert db.cache_get("ns", "kept")["value"] == b"new"
        assert db.cache_get_semantic("sem", vec(0, 0, 1), "model")["value"] == b"semantic value"
    assert last_txn(db) == 2
    assert len(db.snapshots()) == snapshots + 1
    db.release()
    reopened = ormel.open(db_path, PASSPHRASE)
    assert reopened.get(memory_id)["content"] == "zebra crossing"
    assert reopened.cache_get("ns", "fresh")["value"] == b"value"
    assert len(reopened.ids()) == 3  # the seed, the block's memory and the session's turn


def test_nested_blocks_commit_once_at_the_outermost_end(seeded):
    db = seeded
    with db.batch():
        db.cache_put("ns", "outer", "1")
        with db.batch():
            db.cache_put("ns", "inner", "2")
        assert last_txn(db) == 1
        db.cache_put("ns", "after", "3")
    assert last_txn(db) == 2
    assert [db.cache_get("ns", k)["value"] for k in ("outer", "inner", "after")] == [b"1", b"2", b"3"]


def test_an_exception_discards_the_block(seeded, db_path):
    db = seeded
    staged_before = db.remember("staged before the block", "semantic", vec(1, 1))
    with pytest.raises(KeyError):
        with db.batch():
            assert last_txn(db) == 2, "entering commits what was staged before"
            memory_id = writes_of_every_kind(db)
            db.delete(staged_before)
            raise KeyError("the block fails")
    assert last_txn(db) == 2
    with pytest.raises(ormel.NotFound):
        db.get(memory_id)
    assert db.get(staged_before)["content"] == "staged before the block"
    assert db.search_text("zebra") == []
    assert db.cache_get("ns", "kept")["value"] == b"old"
    assert db.cache_get("ns", "fresh") is None
    assert db.cache_get_semantic("sem", vec(0, 0, 1), "model") is None
    # The handle goes on as usual: a cache write commits by itself again.
    db.cache_put("ns", "later", "v")
    assert last_txn(db) == 3
    db.release()
    reopened = ormel.open(db_path, PASSPHRASE)
    assert sorted(reopened.get(row["id"])["content"] for row in reopened.ids()) == ["seed", "staged before the block"]
    assert reopened.cache_get("ns", "later")["value"] == b"v"


def test_an_exception_caught_inside_the_block_still_fails_the_whole_batch(seeded):
    db = seeded
    failed = "^invalid argument: the batch was not committed: a nested batch inside it failed"
    with pytest.raises(ormel.InvalidArgument, match=failed):
        with db.batch():
            db.cache_put("ns", "outer", "1")
            try:
                with db.batch():
                    db.cache_put("ns", "inner", "2")
                    raise KeyError("inner")
            except KeyError:
                pass
    assert last_txn(db) == 1
    assert db.cache_get("ns", "outer") is None
    assert db.cache_get("ns", "inner") is None


def test_cache_writes_outside_a_block_commit_one_by_one(seeded):
    db = seeded
    for n in range(3):
        db.cache_put("ns", f"k{n}", "v")
    db.cache_delete("ns", "k0")
    assert last_txn(seeded) == 5


@pytest.mark.parametrize(
    "name, call",
    [
        ("restore_to", lambda db, tmp: db.restore_to(1)),
        ("restore_to_time", lambda db, tmp: db.restore_to_time(int(time.time()) + 60)),
        ("compact", lambda db, tmp: db.compact()),
        ("change_passphrase", lambda db, tmp: db.change_passphrase("another passphrase")),
        ("export_encrypted", lambda db, tmp: db.export_encrypted(str(tmp / "copy.ormel"))),
        ("release", lambda db, tmp: db.release()),
    ],
)
def test_what_commits_on_its_own_is_refused_inside_a_block(seeded, tmp_path, name, call):
    db = seeded
    with db.batch():
        db.cache_put("ns", "staged", "v")
        with pytest.raises(ormel.InvalidArgument) as info:
            call(db, tmp_path)
        refused = f"invalid argument: {name} cannot run inside a batch (it commits a transaction of its own)"
        assert str(info.value) == refused
    assert not (tmp_path / "copy.ormel").exists()
    assert last_txn(db) == 2
    assert db.cache_get("ns", "staged")["value"] == b"v"


def test_a_read_only_handle_cannot_open_a_block(ro_db):
    handle, _ = ro_db
    with pytest.raises(ormel.ReadOnly) as info:
        with handle.batch():
            pass
    assert str(info.value) == RO_MESSAGE


def test_another_threads_writes_join_the_block(seeded):
    db = seeded
    with pytest.raises(KeyError):
        with db.batch():
            worker = threading.Thread(target=db.cache_put, args=("ns", "from a thread", "v"))
            worker.start()
            worker.join()
            assert db.cache_get("ns", "from a thread")["value"] == b"v"
            raise KeyError("discard both")
    assert db.cache_get("ns", "from a thread") is None
    assert last_txn(db) == 1


async def test_async_blocks_commit_once_and_discard_on_an_exception(db_path):
    db = await ormel.open_async(db_path, PASSPHRASE, dimensions=DIMS)
    async with db.batch() as same:
        assert same is db
        for n in range(5):
            await db.cache_put("ns", f"k{n}", "v")
        await db.remember("m", "semantic", vec(1))
    assert [s["txn_id"] for s in await db.snapshots()] == [1]
    with pytest.raises(KeyError):
        async with db.batch():
            await db.cache_put("ns", "discarded", "v")
            raise KeyError("the block fails")
    assert await db.cache_get("ns", "discarded") is None
    assert len(await db.snapshots()) == 1


async def test_a_cancelled_async_block_is_abandoned(db_path):
    db = await ormel.open_async(db_path, PASSPHRASE, dimensions=DIMS)
    inside = asyncio.Event()

    async def block():
        async with db.batch():
            await db.cache_put("ns", "discarded", "v")
            inside.set()
            await asyncio.sleep(60)

    task = asyncio.create_task(block())
    await inside.wait()
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert await db.cache_get("ns", "discarded") is None
    await db.cache_put("ns", "after", "v")  # commits by itself: no batch was left open
    assert [s["txn_id"] for s in await db.snapshots()] == [1]


class _SignalsEntry:
    """Stands in front of a handle and sets `entered` when a batch entry reaches it."""

    def __init__(self, handle):
        self._handle = handle
        self.entered = threading.Event()

    def __getattr__(self, name):
        return getattr(self._handle, name)

    def _begin_batch(self):
        self.entered.set()
        return self._handle._begin_batch()


async def test_an_async_block_cancelled_while_it_is_entered_leaves_no_batch_open(db_path):
    db = await ormel.open_async(db_path, PASSPHRASE, dimensions=DIMS)
    await db.remember("m", "semantic", vec(1))
    await db.flush()
    holds_the_handle, may_finish = threading.Event(), threading.Event()

    def progress(done, total):
        holds_the_handle.set()
        may_finish.wait(10)

    # Another thread's call holds the handle, so the entry waits for its turn inside the
    # extension, already started on the worker thread, when the task is cancelled.
    busy = threading.Thread(target=db.sync.verify, kwargs={"progress": progress})
    busy.start()
    assert await asyncio.to_thread(holds_the_handle.wait, 10)
    signals = _SignalsEntry(db.sync)
    db._handle = signals

    async def block():
        async with db.batch():
            await db.cache_put("ns", "never", "v")

    task = asyncio.create_task(block())
    assert await asyncio.to_thread(signals.entered.wait, 10)
    task.cancel()
    may_finish.set()
    with pytest.raises(asyncio.CancelledError):
        await task
    busy.join()
    await db.cache_put("ns", "after", "v")  # commits by itself: the batch opened was abandoned
    assert [s["txn_id"] for s in await db.snapshots()] == [1, 2]
    assert await db.cache_get("ns", "never") is None
