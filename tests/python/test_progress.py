"""The `progress` argument of the long methods: reports that count up to the total, and an
exception from the callable that stops the method, propagates as itself and leaves the
database as it was."""

import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

pytestmark = pytest.mark.usefixtures("file_format")

N = 60
PAGE_SIZE = 8192


@pytest.fixture
def filled_path(db_path):
    """A database with N memories over two transactions, an index, a deleted memory and a
    result-cache entry, closed."""
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    ids = db.remember_many([f"m{i}" for i in range(N)], "semantic", [vec(1, i, i % 7, -i) for i in range(N)])
    db.flush()
    db.delete(ids[0])
    db.cache_put("ns", "key", "value")
    db.build_index()
    db.flush()
    return db_path


@pytest.fixture
def filled(filled_path):
    return ormel.open(filled_path, PASSPHRASE)


@dataclass
class Method:
    name: str
    call: Callable[[ormel.Ormel, Any], object]
    total: Callable[[ormel.Ormel], int] | None  # the expected total, when it is a plain count


def batch(db, progress):
    return db.remember_many([f"new {i}" for i in range(25)], "episodic", [vec(0, 1, i) for i in range(25)],
                            progress=progress)


def verify_all_total(db):
    return db.stats()["memories"] + db.cache_stats()["entries"] + len(db.snapshots())


METHODS = [
    Method("remember_many", batch, lambda db: 25),
    Method("build_index", lambda db, p: db.build_index(progress=p), None),
    Method("verify", lambda db, p: db.verify(progress=p), lambda db: db.stats()["memories"]),
    Method("verify all_errors", lambda db, p: db.verify(all_errors=True, progress=p), verify_all_total),
    Method("compact", lambda db, p: db.compact(progress=p), None),
    Method("compact keep_history=False", lambda db, p: db.compact(keep_history=False, progress=p), None),
]


class Recorder:
    """Records every report; raises `error` at the report `stop` picks (None: never)."""

    def __init__(self, stop=None, error=None):
        self.seen: list[tuple[int, int]] = []
        self.stop = stop
        self.error = error

    def __call__(self, done, total):
        self.seen.append((done, total))
        if self.stop is not None and self.stop(done, total):
            raise self.error


def assert_counts_up_to_the_total(seen):
    assert seen, "no report"
    total = seen[-1][1]
    assert seen[-1] == (total, total)
    if total > 0:
        assert seen[0] == (0, total)
    assert all(type(d) is int and t == total for d, t in seen)
    assert all(a[0] < b[0] for a, b in zip(seen, seen[1:])), seen


@pytest.mark.parametrize("method", METHODS, ids=[m.name for m in METHODS])
def test_reports_count_up_to_the_total(filled, method):
    expected = method.total(filled) if method.total else None
    rec = Recorder()
    method.call(filled, rec)
    assert_counts_up_to_the_total(rec.seen)
    if expected is not None:
        assert rec.seen[-1][1] == expected
    else:
        assert rec.seen[-1][1] > 0


def test_an_empty_batch_reports_once(db):
    rec = Recorder()
    assert db.remember_many([], "semantic", [], progress=rec) == []
    assert rec.seen == [(0, 0)]


class Stop(Exception):
    pass


class Abort(BaseException):
    """Not an Exception, like KeyboardInterrupt."""


def state_of(db):
    """Everything a stopped method must leave as it was, through the public methods."""
    return {
        "ids": [row["id"] for row in db.ids()],
        "memories": [db.get(row["id"]) for row in db.ids()],
        "stats": db.stats(),
        "snapshots": db.snapshots(),
        "space": db.space(),
        "recall": [r["id"] for r in db.recall(vec(1, 3), top_k=5, track_access=False)],
        "cache": db.cache_stats("ns")["entries"],
    }


# Reports between the first and the last come at most a few times a second, so these small
# jobs have none (the core's tests stop at every report).
STOPS = {
    "at the first report": lambda done, total: True,
    "at the last report": lambda done, total: done == total,
}


@pytest.mark.parametrize("stop", STOPS, ids=list(STOPS))
@pytest.mark.parametrize("method", METHODS, ids=[m.name for m in METHODS])
@pytest.mark.parametrize("error_type", [Stop, Abort])
def test_an_exception_stops_the_method_and_changes_nothing(filled_path, method, stop, error_type):
    db = ormel.open(filled_path, PASSPHRASE)
    before = state_of(db)
    with open(filled_path, "rb") as f:
        file_before = f.read()
    error = error_type("stop here")
    rec = Recorder(STOPS[stop], error)
    with pytest.raises(error_type) as raised:
        method.call(db, rec)
    assert raised.value is error
    assert raised.value.__traceback__ is not None
    total = rec.seen[-1][1]
    assert rec.seen[-1] == ((0, total) if stop == "at the first report" else (total, total))

    assert state_of(db) == before
    db.flush()  # nothing was staged: no new transaction
    assert db.snapshots() == before["snapshots"]
    assert os.listdir(os.path.dirname(filled_path)) == [os.path.basename(filled_path)]
    with open(filled_path, "rb") as f:
        file_after = f.read()
    assert len(file_after) == len(file_before)
    # Only the header page may differ: a compaction reserves nonce counters in it as it goes.
    assert file_after[PAGE_SIZE:] == file_before[PAGE_SIZE:]
    with pytest.raises(RuntimeError, match="locked"):
        ormel.open(filled_path, PASSPHRASE)
    # The traceback holds the frames that hold the handle; dropping them closes it.
    error.__traceback__ = None
    del db, raised
    reopened = ormel.open(filled_path, PASSPHRASE)
    assert state_of(reopened) == before
    method.call(reopened, None)  # and the method still works


def test_a_stopped_build_leaves_no_index_when_there_was_none(db):
    db.remember_many(["a", "b", "c"], "semantic", [vec(1), vec(0, 1), vec(0, 0, 1)])
    with pytest.raises(Stop):
        db.build_index(progress=Recorder(lambda d, t: d == t, Stop()))
    assert not db.has_index()
    assert db.stats()["index"] is None


def test_a_stopped_compaction_keeps_the_flush_it_made(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    memory_id = db.remember("staged", "semantic", vec(1))
    try:
        db.compact(progress=Recorder(lambda d, t: True, Stop()))
    except Stop:
        pass
    del db
    assert ormel.open(db_path, PASSPHRASE).get(memory_id)["content"] == "staged"


def test_the_callable_cannot_reenter_the_database(filled):
    before = state_of(filled)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        filled.compact(progress=lambda done, total: filled.remember("inside", "semantic", vec(1)))
    assert state_of(filled) == before


@pytest.mark.parametrize("method", METHODS, ids=[m.name for m in METHODS])
def test_progress_must_be_callable_or_none(filled, method):
    name = method.name.split()[0]
    with pytest.raises(TypeError, match=rf"^{name}\(\) argument 'progress' must be callable or None, not int$"):
        method.call(filled, 3)
