"""Shared fixtures: a fresh database path and an open read-write database of small dimension,
and a gate that shows whether a call does its database work off the event loop."""

import asyncio
import threading

import pytest

import ormel

DIMS = 4
PASSPHRASE = "correct horse battery staple"
RO_MESSAGE = "operation requires a read-write handle (this one is read-only)"


def vec(*head: float) -> list[float]:
    """A DIMS-long vector starting with `head`, padded with zeros."""
    return [float(x) for x in head] + [0.0] * (DIMS - len(head))


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.ormel")


@pytest.fixture
def db(db_path):
    return ormel.open(db_path, PASSPHRASE, dimensions=DIMS)


@pytest.fixture
def ro_db(db_path):
    """(read-only handle, id) on a flushed database holding that one memory."""
    writer = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    memory_id = writer.remember("seed", "semantic", vec(1))
    writer.flush()
    del writer  # releases the exclusive lock
    handle = ormel.open(db_path, PASSPHRASE, read_only=True)
    return handle, memory_id


class Gate:
    """Stands in front of a handle (`gate.db`) for the adapters' async tests: while `through`
    awaits a call, every database call waits on its thread until a coroutine of the event loop,
    started once the call's database work has begun, lets it go. A call that does that work on
    the loop blocks the loop, so nothing lets it go and it fails with TimeoutError."""

    def __init__(self, db: ormel.Ormel) -> None:
        self.db = _Gated(db, self)
        self.entered = threading.Event()
        self.open = threading.Event()
        self.open.set()

    async def through(self, call):
        """The result of awaiting `call`, shut out of the database until the loop lets it in."""
        self.shut()

        async def let_in() -> None:
            assert await asyncio.to_thread(self.entered.wait, 10), "the call never reached the database"
            self.open.set()

        result, _ = await asyncio.gather(call, let_in())
        return result

    def shut(self) -> None:
        """Holds the next database calls until `open` is set."""
        self.entered.clear()
        self.open.clear()


class _Gated:
    def __init__(self, db: ormel.Ormel, gate: Gate) -> None:
        self._db = db
        self._gate = gate

    def __getattr__(self, name: str):
        method = getattr(self._db, name)

        def call(*args, **kwargs):
            self._gate.entered.set()
            if not self._gate.open.wait(10):
                raise TimeoutError("the event loop was blocked while the database worked")
            return method(*args, **kwargs)

        return call
