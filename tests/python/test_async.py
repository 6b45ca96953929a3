"""The coroutine API: the event loop keeps running while the database works, a cancelled await
leaves the database consistent and usable, and every method of the handle has its coroutine."""

import asyncio
import inspect
import threading

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

pytestmark = pytest.mark.usefixtures("file_format")


async def test_methods_are_coroutines_with_the_handles_signatures(db_path):
    db = await ormel.open_async(db_path, PASSPHRASE, dimensions=DIMS)
    public = {n for n in vars(ormel.Ormel) if not n.startswith("_")} - {"path", "format_version", "session", "batch"}
    for name in public:
        method = getattr(db, name)
        assert inspect.iscoroutinefunction(method), name
        assert inspect.signature(method) == inspect.signature(getattr(db.sync, name)), name
    memory_id = await db.remember("x", "semantic", vec(1))
    assert (await db.get(memory_id))["content"] == "x"
    async with db.session("agent") as session:
        await session.add_turn(ormel.Turn.user("hi", vec(0, 1)))
        assert await session.turn_count() == 1
    assert db.path == db_path
    assert db.format_version == db.sync.format_version
    await db.release()
    with pytest.raises(ormel.Released):
        await db.stats()


async def test_the_event_loop_runs_while_a_call_works(db_path):
    db = await ormel.open_async(db_path, PASSPHRASE, dimensions=DIMS)
    await db.remember("x", "semantic", vec(1))
    may_finish = threading.Event()

    def progress(done, total):
        # Holds the call until a coroutine of the loop says so: only a free loop can.
        if not may_finish.wait(10):
            raise TimeoutError("the event loop was blocked")

    async def release_the_call():
        await asyncio.sleep(0)
        may_finish.set()

    checked, _ = await asyncio.gather(db.verify(progress=progress), release_the_call())
    assert checked == 1


async def test_a_cancelled_await_leaves_the_database_usable(db_path):
    db = await ormel.open_async(db_path, PASSPHRASE, dimensions=DIMS)
    started, may_finish = threading.Event(), threading.Event()

    def progress(done, total):
        started.set()
        may_finish.wait(10)

    vectors = [vec(1, n) for n in range(50)]
    task = asyncio.create_task(db.remember_many([f"m{n}" for n in range(50)], "semantic", vectors, progress=progress))
    assert await asyncio.to_thread(started.wait, 10)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    may_finish.set()
    # The batch that had started completes on its thread; the next call waits its turn.
    await db.flush()
    assert len(await db.ids()) == 50
    assert await db.verify() == 50
    reopened = await asyncio.to_thread(lambda: (db.sync.release(), ormel.open(db_path, PASSPHRASE))[1])
    assert len(reopened.ids()) == 50


async def test_open_async_waits_for_the_lock_when_asked(db_path):
    holder = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    with pytest.raises(ormel.Locked):
        await ormel.open_async(db_path, PASSPHRASE, timeout=0.05)
    asyncio.get_running_loop().call_later(0.1, holder.release)
    db = await ormel.open_async(db_path, PASSPHRASE, timeout=30)
    assert await db.stats()


async def test_a_call_cancelled_while_queued_never_runs(db_path):
    db = await ormel.open_async(db_path, PASSPHRASE, dimensions=DIMS)
    started, may_finish = threading.Event(), threading.Event()

    def progress(done, total):
        started.set()
        may_finish.wait(10)

    busy = asyncio.create_task(db.verify(progress=progress))
    assert await asyncio.to_thread(started.wait, 10)
    queued = asyncio.create_task(db.remember("never", "semantic", vec(1)))
    await asyncio.sleep(0)
    queued.cancel()
    with pytest.raises(asyncio.CancelledError):
        await queued
    may_finish.set()
    await busy
    assert await db.ids() == []
