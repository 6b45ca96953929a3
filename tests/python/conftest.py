"""Shared fixtures: a fresh database path and an open read-write database of small dimension,
the file format the behaviour tests make their databases in, and a gate that shows whether a
call does its database work off the event loop."""

import asyncio
import functools
import os
import threading

import pytest

import ormel

DIMS = 4
PASSPHRASE = "correct horse battery staple"
RO_MESSAGE = "operation requires a read-write handle (this one is read-only)"


def vec(*head: float) -> list[float]:
    """A DIMS-long vector starting with `head`, padded with zeros."""
    return [float(x) for x in head] + [0.0] * (DIMS - len(head))


# The format versions the behaviour tests run against, by the id their variants carry.
FORMATS = {"v8": 8, "v9": 9}


def creating_in(version, open_fn):
    """`open_fn` (ormel.open or ormel.open_async) giving `version` to every call that creates a
    file without naming a version (none, or None as the adapters pass on): a read-write open of a
    str path where nothing is yet. Everything else is passed on as it came."""

    @functools.wraps(open_fn)
    def call(path, passphrase, dimensions=None, read_only=False, **options):
        creating = not read_only and isinstance(path, str) and not os.path.lexists(path)
        if creating and options.get("format_version") is None:
            options["format_version"] = version
        return open_fn(path, passphrase, dimensions, read_only, **options)

    return call


@pytest.fixture(scope="module", params=list(FORMATS.values()), ids=list(FORMATS))
def file_format(request):
    """The format version the databases of a behaviour test module are made in.

    A module opts in with `pytestmark = pytest.mark.usefixtures("file_format")`: each of its
    tests then runs once per version, with v8 or v9 in its id (`-k "not v9"` leaves the second
    out). A module where only some tests make databases has the fixtures that make them take
    `file_format` instead (test_cli's db_path). For as long as a module runs with one version,
    ormel.open and ormel.open_async give it to every call that creates a file without naming a
    version (creating_in), so fixtures, tests and the adapters make files of that version
    unchanged; opens of existing files are untouched. Files created in another process (the
    command run as a subprocess, worker scripts) get that process's default.

    The scope is the module's so that a module-scoped fixture that builds a database can take
    the version: it must name `file_format` among its arguments, or it is built once and
    shared by both versions."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(ormel, "open", creating_in(request.param, ormel.open))
        patch.setattr(ormel, "open_async", creating_in(request.param, ormel.open_async))
        yield request.param


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
