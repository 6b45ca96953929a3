"""Shared fixtures: a fresh database path and an open read-write database of small dimension."""

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
