"""Writing a memory under a chosen id, update of some fields, batches of memories, and the
history of one memory across snapshots."""

import re

import numpy as np
import pytest

import ormel
from conftest import DIMS, PASSPHRASE, RO_MESSAGE, vec

pytestmark = pytest.mark.usefixtures("file_format")

UNKNOWN = "01ARZ3NDEKTSV4RRFFQ69G5FAV"


def new_db(path):
    return ormel.open(path, PASSPHRASE, dimensions=DIMS)


def test_remember_under_an_id_replaces_and_keeps_the_old_version(db_path):
    db = new_db(db_path)
    first = db.remember("old", "semantic", vec(1), metadata={"v": 1})
    db.remember("other", "semantic", vec(1))
    db.flush()
    db.recall(vec(1), top_k=1)  # access tracking: counters the replacement keeps
    counted = db.get(first)
    assert counted["access_count"] == 1

    again = db.remember("new", "episodic", vec(0, 1), id=first.lower(), agent_id="b")
    assert again == first
    db.flush()
    del db
    db = ormel.open(db_path, PASSPHRASE)
    new = db.get(first)
    assert (new["content"], new["memory_type"], new["agent_id"], new["metadata"]) == ("new", "episodic", "b", {})
    assert (new["access_count"], new["accessed_at"]) == (counted["access_count"], counted["accessed_at"])
    assert db.stats()["memories"] == 2
    assert [hit["id"] for hit, _ in db.search(vec(0, 1))].count(first) == 1

    versions = db.history(first)
    assert [v["memory"]["content"] for v in versions] == ["new", "old"]
    assert [v["txn_id"] for v in versions] == [s["txn_id"] for s in db.snapshots()][::-1][: len(versions)]
    assert versions[1]["memory"]["metadata"] == {"v": 1}
    db.restore_to(versions[1]["txn_id"])
    assert db.get(first)["content"] == "old"


@pytest.mark.parametrize("bad", ["0" * 26, "not an id", "I" * 26])
def test_remember_refuses_an_id_it_cannot_write_under(db, bad):
    with pytest.raises(ValueError, match=f"^invalid memory id '{bad}'$"):
        db.remember("x", "semantic", vec(1), id=bad)
    assert db.stats()["memories"] == 0


UPDATES = [
    (dict(content="changed"), dict(content="changed")),
    (dict(memory_type="PROCEDURAL", shared=True), dict(memory_type="procedural", scope="shared")),
    (dict(vector=np.array([0, 0, 1, 0], dtype=np.float64)), dict(vector=vec(0, 0, 1))),
    (dict(importance=7), dict(importance=1.0)),
    (dict(metadata={"k": [1, None]}), dict(metadata={"k": [1, None]})),
    (dict(metadata=None), dict(metadata={})),
    (dict(ttl_secs=None, session_id=None), dict(ttl_secs=None, session_id=None)),
    (dict(ttl_secs=5, session_id="s2"), dict(ttl_secs=5, session_id="s2")),
    (dict(content=..., importance=...), dict()),  # `...` is the same as leaving the field out
]


@pytest.mark.parametrize("changes,expected", UPDATES, ids=[",".join(c) for c, _ in UPDATES])
def test_update_changes_only_the_given_fields(db_path, changes, expected):
    db = new_db(db_path)
    memory_id = db.remember("text", "semantic", vec(1), agent_id="a", importance=0.25, session_id="s",
                           ttl_secs=100, metadata={"m": 1})
    db.flush()
    db.recall(vec(1))
    before = db.get(memory_id)
    db.update(memory_id.lower(), **changes)
    db.flush()
    del db
    after = ormel.open(db_path, PASSPHRASE).get(memory_id)
    assert after == {**before, **expected}


def test_update_refusals(db_path):
    db = new_db(db_path)
    kept = db.remember("kept", "semantic", vec(1))
    gone = db.remember("gone", "semantic", vec(1))
    db.delete(gone)
    for missing in (UNKNOWN, gone):
        with pytest.raises(RuntimeError, match=f"^memory '{missing}' not found$"):
            db.update(missing, content="x")
    with pytest.raises(RuntimeError, match="^vector dimension mismatch: database expects 4, got 2$"):
        db.update(kept, vector=[1, 2])
    with pytest.raises(TypeError):
        db.update(kept, content=None)
    with pytest.raises(TypeError):
        db.update(kept, agent_id="a")  # not a field update changes
    assert db.get(kept)["content"] == "kept"
    db.flush()
    del db
    handle = ormel.open(db_path, PASSPHRASE, read_only=True)
    with pytest.raises(RuntimeError, match=re.escape(RO_MESSAGE)):
        handle.update(kept, content="x")


@pytest.mark.parametrize("vectors", [
    np.eye(DIMS, dtype=np.float32)[:3],
    np.eye(DIMS, dtype=np.float64)[:3],
    np.eye(DIMS, dtype=np.float32)[:3, ::-1],  # rows with a negative stride
    np.asfortranarray(np.arange(12, dtype=np.float64).reshape(3, DIMS)),
    np.eye(DIMS, dtype=np.int64)[:3],  # not a float buffer: read row by row
    [[1, 0, 0, 0], (0, 1, 0, 0), np.array([0, 0, 1, 0], dtype=np.float32)],
], ids=["float32", "float64", "reversed columns", "column-major", "int64", "mixed rows"])
def test_batch_matches_a_loop_of_remember(db_path, tmp_path, vectors):
    columns = dict(agent_id=["a", None, "c"], importance=np.array([0.2, 5.0, float("nan")]), session_id="s",
                   ttl_secs=[None, 10, None], shared=[True, False, True], metadata={"shared": "dict"})
    db = new_db(db_path)
    existing = db.remember("to replace", "working", vec(1))
    ids = db.remember_many(["x", "y", "z"], ["semantic", "Episodic", "working"], vectors,
                           ids=[None, existing.lower(), None], **columns)
    assert len(ids) == 3 and ids[1] == existing
    assert db.stats()["memories"] == 3
    db.flush()
    del db
    db = ormel.open(db_path, PASSPHRASE)

    loop = ormel.open(str(tmp_path / "loop.ormel"), PASSPHRASE, dimensions=DIMS)
    for i, (content, memory_type) in enumerate(zip(["x", "y", "z"], ["semantic", "episodic", "working"])):
        single = {k: v[i] if isinstance(v, (list, np.ndarray)) else v for k, v in columns.items()}
        expected = loop.get(loop.remember(content, memory_type, vectors[i], **single))
        got = db.get(ids[i])
        for key in ("id", "created_at", "accessed_at"):
            del expected[key], got[key]
        assert got == expected


def large_rows(kind):
    """2100 rows (enough to be converted, encoded and scored on two threads) with values
    whose sums of squares round, underflow or overflow, laid out as `kind` says: float32
    rows are read where they lie unless their layout forbids it."""
    rows = np.random.default_rng(5).normal(size=(2100, DIMS)).astype(np.float32)
    rows[::3, 0] = 1e-20
    rows[::5, 1] = 3e38
    rows[::7, 2] = 16777217.0
    if kind == "float64":
        return rows.astype(np.float64)
    if kind == "rows of a wider float32 array":
        wide = np.zeros((len(rows), DIMS + 3), dtype=np.float32)
        wide[:, 1:DIMS + 1] = rows
        return wide[:, 1:DIMS + 1]
    if kind == "float32 rows in reverse":
        return rows[::-1].copy()[::-1]
    if kind == "float32 by column":
        return np.asfortranarray(rows)
    if kind == "unaligned float32":
        unaligned = np.frombuffer(bytearray(rows.nbytes + 1), dtype=np.float32, count=rows.size, offset=1)
        unaligned = unaligned.reshape(rows.shape)
        unaligned[...] = rows
        assert not unaligned.flags.aligned
        return unaligned
    return rows


@pytest.mark.parametrize("kind", ["float32", "unaligned float32", "float64", "rows of a wider float32 array",
                                  "float32 rows in reverse", "float32 by column"])
def test_large_batch_scores_and_reads_back_as_a_loop(db_path, tmp_path, kind):
    rows = large_rows(kind)
    contents = [f"m{i}" for i in range(len(rows))]
    # Runs of equal metadata, and values equal as numbers but of different types.
    metadata = [{"g": i // 4 % 3} if i % 50 else {"g": 1.0} for i in range(len(rows))]
    db = new_db(db_path)
    ids = db.remember_many(contents, "semantic", rows, metadata=metadata)
    assert len(set(ids)) == len(ids) and ids == sorted(ids)  # fresh ids in item order
    loop = ormel.open(str(tmp_path / "loop.ormel"), PASSPHRASE, dimensions=DIMS)
    for content, row, meta in zip(contents, rows, metadata):
        loop.remember(content, "semantic", row, metadata=meta)
    for query in (rows[0], rows[1001], [1.0, -2.0, 0.5, 3.0]):
        got = [(m["content"], score) for m, score in db.search(query, 25)]
        assert got == [(m["content"], score) for m, score in loop.search(query, 25)]
        for where in ({"g": 1}, {"g": 1.0}, {"g": {"$gt": 0}}):
            got = [(m["content"], m["metadata"], score) for m, score in db.search(query, 40, where=where)]
            assert got == [(m["content"], m["metadata"], score) for m, score in loop.search(query, 40, where=where)]
    for i in (0, 1049, 1050, 2099):
        assert db.get(ids[i])["vector"] == rows[i].astype(np.float32).tolist()


def test_rows_changed_by_the_progress_callback(db_path, tmp_path):
    # The callback runs while the batch is encoded: what is stored is the array as the call
    # found it, in the records and in what recall scores alike.
    rows = large_rows("float32")
    original = rows.copy()
    contents = [f"m{i}" for i in range(len(rows))]

    def scribble(done, total):
        rows[:] = done

    db = new_db(db_path)
    ids = db.remember_many(contents, "semantic", rows, progress=scribble)
    loop = ormel.open(str(tmp_path / "loop.ormel"), PASSPHRASE, dimensions=DIMS)
    for content, row in zip(contents, original):
        loop.remember(content, "semantic", row)
    for query in (original[0], original[2099]):
        assert [(m["content"], s) for m, s in db.search(query, 10)] == [(m["content"], s) for m, s in
                                                                         loop.search(query, 10)]
    for i in (0, 1049, 2099):
        assert db.get(ids[i])["vector"] == original[i].tolist()


def test_empty_batch(db):
    assert db.remember_many([], "semantic", np.zeros((0, DIMS), dtype=np.float32)) == []


BAD_BATCHES = [
    (dict(vectors=[vec(1), vec(1), [1.0, 2.0]]), RuntimeError,
     "remember_many() item 2: vector dimension mismatch: database expects 4, got 2"),
    (dict(memory_type=["semantic", "nope", "semantic"]), ValueError, "remember_many() item 1: unknown memory_type 'nope'"),
    (dict(contents=["a", 3, "c"]), TypeError, "remember_many() item 1: argument 'contents' must be str, not int"),
    (dict(vectors=[vec(1), "abcd", vec(1)]), TypeError, "remember_many() item 1: Can't extract `str` to `Vec`"),
    (dict(metadata=[{}, {}, {"t": (1,)}]), TypeError,
     "remember_many() item 2: metadata values must be null, bool, int, float, str, list, or dict"),
    (dict(ids=[None, "0" * 26, None]), ValueError, f"remember_many() item 1: invalid memory id '{'0' * 26}'"),
    (dict(shared=[True, 1, False]), TypeError, "remember_many() item 1: argument 'shared' must be bool, not int"),
    (dict(importance=[0.5]), ValueError,
     "remember_many() argument 'importance' holds 1 items, expected 3 (one per content)"),
    (dict(vectors=np.zeros((2, DIMS))), ValueError,
     "remember_many() argument 'vectors' holds 2 items, expected 3 (one per content)"),
    (dict(vectors=np.zeros((3, DIMS - 1), dtype=np.float32)), RuntimeError,
     "remember_many() item 0: vector dimension mismatch: database expects 4, got 3"),
    (dict(vectors=np.array([vec(1), vec(2)[:2] + [np.inf, 0.0], vec(3)], dtype=np.float32)), RuntimeError,
     "remember_many() item 1: invalid argument: vector has a non-finite component at index 2"),
    (dict(contents="abc"), TypeError, "remember_many() argument 'contents' must be a sequence of str, not str"),
    (dict(ids="abc"), TypeError, "remember_many() argument 'ids' must be None or a sequence of str or None, not str"),
]


@pytest.mark.parametrize("bad,error,message", BAD_BATCHES, ids=[m.split(": ")[0] + " " + ",".join(b) for b, _, m in
                                                                BAD_BATCHES])
def test_a_bad_item_stages_nothing(db, bad, error, message):
    kept = db.remember("kept", "semantic", vec(1))
    db.flush()
    arguments = dict(contents=["a", "b", "c"], memory_type="semantic", vectors=[vec(1)] * 3,
                     ids=[None, kept, None])  # the second item would replace `kept`
    arguments.update(bad)
    with pytest.raises(error) as info:
        db.remember_many(**arguments)
    assert str(info.value) == message
    db.flush()  # nothing staged: no new transaction
    assert len(db.snapshots()) == 1
    assert db.stats()["memories"] == 1
    assert db.get(kept)["content"] == "kept"


def test_columns_changed_while_converting(db):
    contents = ["a", "b", "c"]
    importance = []

    class Shrinking:
        """A number whose conversion empties the lists being converted."""

        def __float__(self):
            contents.clear()
            importance.clear()
            return 0.5

    importance += [Shrinking(), 0.1, 0.2]
    ids = db.remember_many(contents, "semantic", [vec(1)] * 3, importance=importance)
    assert [db.get(i)["content"] for i in ids] == ["a", "b", "c"]


def test_batch_on_a_read_only_handle(ro_db):
    handle, _ = ro_db
    with pytest.raises(RuntimeError, match=re.escape(RO_MESSAGE)):
        handle.remember_many(["a"], "semantic", [vec(1)])


def test_history(db_path):
    db = new_db(db_path)
    with pytest.raises(RuntimeError, match=f"^memory '{UNKNOWN}' not found$"):
        db.history(UNKNOWN)
    memory_id = db.remember("v1", "semantic", vec(1))
    assert db.history(memory_id) == []  # not yet committed
    db.flush()
    db.cache_put("ns", "k", "v")  # a transaction that leaves the memory as it was
    db.update(memory_id, content="v2")
    db.delete(db.remember("unrelated", "semantic", vec(1)))
    db.flush()
    del db
    db = ormel.open(db_path, PASSPHRASE)
    txns = [s["txn_id"] for s in db.snapshots()]
    versions = db.history(memory_id.lower())
    assert [(v["txn_id"], v["memory"]["content"]) for v in versions] == [(txns[2], "v2"), (txns[0], "v1")]
    assert versions[1]["created_at"] == db.snapshots()[0]["created_at"]
    assert set(versions[0]) == {"txn_id", "created_at", "memory"}
    assert versions[0]["memory"] == db.get(memory_id)
