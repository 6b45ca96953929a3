"""Exceptions by kind, letting the file go with release(), and exact restores with
load_memories(): what a program catches, when the file is free again, and what a backup
brings back."""

import math
import subprocess
import sys

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, RO_MESSAGE, vec

pytestmark = pytest.mark.usefixtures("file_format")


@pytest.fixture
def flushed(db_path):
    """Path and id of a released database holding one flushed memory."""
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    memory_id = db.remember("seed", "semantic", vec(1))
    db.release()
    return db_path, memory_id


def make_wrong_passphrase(path, memory_id):
    ormel.open(path, "not the passphrase")


def make_locked(path, memory_id):
    holder = ormel.open(path, PASSPHRASE)
    try:
        ormel.open(path, PASSPHRASE, read_only=True)
    finally:
        holder.release()


def make_not_found(path, memory_id):
    ormel.open(path, PASSPHRASE).get("7" + "Z" * 25)


def make_corrupt(path, memory_id):
    with open(path, "r+b") as f:
        f.write(b"not a database at all")
    ormel.open(path, PASSPHRASE)


def make_read_only(path, memory_id):
    ormel.open(path, PASSPHRASE, read_only=True).delete(memory_id)


def make_dimension_mismatch(path, memory_id):
    ormel.open(path, PASSPHRASE).search([1.0, 2.0])


def make_creation_refused(path, memory_id):
    ormel.open(path + ".new", PASSPHRASE)


def make_bad_memory_type(path, memory_id):
    ormel.open(path, PASSPHRASE).remember("x", "opinion", vec(1))


def make_bad_id(path, memory_id):
    ormel.open(path, PASSPHRASE).get("8" + memory_id[1:])


def make_released(path, memory_id):
    db = ormel.open(path, PASSPHRASE)
    db.release()
    db.get(memory_id)


# (cause, kind, the built-in type raised before kinds existed, message or None when it names a path)
KINDS = [
    (make_wrong_passphrase, ormel.WrongPassphrase, RuntimeError,
     "wrong passphrase, or the key material has been tampered with"),
    (make_locked, ormel.Locked, RuntimeError, None),
    (make_not_found, ormel.NotFound, RuntimeError, f"memory '{'7' + 'Z' * 25}' not found"),
    (make_corrupt, ormel.Corrupt, RuntimeError, None),
    (make_read_only, ormel.ReadOnly, RuntimeError, RO_MESSAGE),
    (make_dimension_mismatch, ormel.DimensionMismatch, RuntimeError,
     "vector dimension mismatch: database expects 4, got 2"),
    (make_creation_refused, ormel.InvalidArgument, ValueError, "dimensions is required when creating a new database"),
    (make_bad_memory_type, ormel.InvalidArgument, ValueError, "unknown memory_type 'opinion'"),
    (make_bad_id, ormel.InvalidArgument, ValueError, None),
    (make_released, ormel.Released, RuntimeError, "database handle released (open the file again to use it)"),
]


@pytest.mark.parametrize("cause, kind, builtin, message", KINDS, ids=[k[0].__name__[5:] for k in KINDS])
def test_each_error_is_caught_by_its_kind_and_by_the_type_raised_before(flushed, cause, kind, builtin, message):
    path, memory_id = flushed
    for catch in (kind, ormel.Error, builtin):
        with pytest.raises(catch) as info:
            cause(path, memory_id)
        assert type(info.value) is kind
        if message is not None:
            assert str(info.value) == message
    assert f"ormel.{kind.__name__}" == f"{type(info.value).__module__}.{type(info.value).__qualname__}"


def test_kinds_are_distinct_and_documented():
    kinds = [ormel.WrongPassphrase, ormel.Locked, ormel.NotFound, ormel.Corrupt, ormel.ReadOnly,
             ormel.DimensionMismatch, ormel.InvalidArgument, ormel.Released, ormel.StorageError]
    for kind in kinds:
        assert issubclass(kind, ormel.Error) and kind.__doc__
        assert not any(issubclass(kind, other) for other in kinds if other is not kind)


# --- release ---------------------------------------------------------------------------------

def test_release_flushes_and_lets_the_file_go_at_once(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    session = db.session("agent")
    staged = db.remember("staged, not flushed", "semantic", vec(1))
    db.release()
    db.release()  # a second release does nothing
    # Reopened in this process while the released object is still alive, and from another.
    again = ormel.open(db_path, PASSPHRASE)
    assert again.get(staged)["content"] == "staged, not flushed"
    again.release()
    code = f"import ormel; print(ormel.open({db_path!r}, {PASSPHRASE!r}).get({staged!r})['content'])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "staged, not flushed"
    for call in (lambda: db.get(staged), db.flush, db.close, lambda: db.remember("x", "semantic", vec(1)),
                 lambda: repr(db), lambda: db.path, session.close):
        with pytest.raises(ormel.Released):
            call()


def test_release_of_a_read_only_handle_does_not_flush(flushed):
    path, memory_id = flushed
    reader = ormel.open(path, PASSPHRASE, read_only=True)
    reader.release()
    with pytest.raises(ormel.Released):
        reader.get(memory_id)
    writer = ormel.open(path, PASSPHRASE)  # the shared lock is gone too
    assert writer.get(memory_id)["content"] == "seed"


def test_close_keeps_the_lock_until_release(flushed):
    path, memory_id = flushed
    db = ormel.open(path, PASSPHRASE)
    with db:
        pass
    db.close()
    with pytest.raises(ormel.Locked):
        ormel.open(path, PASSPHRASE)
    db.release()
    ormel.open(path, PASSPHRASE).release()


# --- load_memories -----------------------------------------------------------------------------

def dumped(db):
    return {entry["id"]: db.get(entry["id"]) for entry in db.ids()}


@pytest.fixture
def backup(tmp_path):
    """Every memory dict of a database whose memories were recalled and aged."""
    db = ormel.open(str(tmp_path / "source.ormel"), PASSPHRASE, dimensions=DIMS)
    db.remember("plain", "semantic", vec(1, 2))
    db.remember("full", "Episodic", vec(0.5, -1, 3), agent_id="a1", session_id="s1", ttl_secs=10**6, shared=True,
                importance=0.125, metadata={"n": 2**63 + 1, "tags": ["x", {"y": None}], "f": -0.5})
    db.remember("procedure", "procedural", vec(0, 0, 1), agent_id="a2")
    for _ in range(3):
        db.recall(vec(1, 2), top_k=2)
    db.flush()
    memories = dumped(db)
    for n, memory in enumerate(memories.values()):
        memory["created_at"] -= 1000 * (n + 1)  # a backup made long ago
    return memories


def test_load_memories_restores_every_field_into_a_new_database(tmp_path, backup):
    db = ormel.open(str(tmp_path / "restored.ormel"), PASSPHRASE, dimensions=DIMS)
    assert db.load_memories(list(backup.values())) == list(backup)
    db.release()
    db = ormel.open(str(tmp_path / "restored.ormel"), PASSPHRASE, read_only=True)
    assert dumped(db) == backup
    assert any(m["access_count"] > 0 for m in backup.values())


def test_load_memories_into_an_existing_database_replaces_counters_too(tmp_path, backup):
    db = ormel.open(str(tmp_path / "existing.ormel"), PASSPHRASE, dimensions=DIMS)
    first = next(iter(backup.values()))
    db.load_memories([dict(first, content="older", access_count=99, accessed_at=5)])
    other = db.remember("kept", "semantic", vec(0, 1))
    db.flush()
    db.load_memories(list(backup.values()))
    db.flush()
    restored = dumped(db)
    assert {k: restored[k] for k in backup} == backup
    assert restored[other]["content"] == "kept"
    assert list(restored)[0] == first["id"]  # the replaced memory kept its place


def test_load_memories_defaults_and_refusals(db):
    memory_id = "01ARZ3NDEKTSV4RRFFQ69G5FAV"
    base = {"id": memory_id, "content": "c", "memory_type": "working", "vector": vec(1)}
    db.load_memories([dict(base, created_at=77)])
    loaded = db.get(memory_id)
    assert (loaded["created_at"], loaded["accessed_at"], loaded["access_count"]) == (77, 77, 0)
    assert (loaded["agent_id"], loaded["scope"], loaded["importance"], loaded["metadata"]) == ("default", "private",
                                                                                                0.5, {})
    refused = [
        ([base, {k: v for k, v in base.items() if k != "id"}], ValueError, "load_memories() item 1: "),
        ([base, dict(base, scope="false")], ValueError, "item 1: argument 'scope' must be"),
        ([dict(base, shared=True)], ValueError, "item 0: unknown memory dict key 'shared'"),
        ([dict(base, access_count=2**32)], ValueError, "item 0: argument 'access_count' must be at most"),
        ([dict(base, created_at=2**63)], OverflowError, "item 0: argument 'created_at'"),
        ([dict(base, vector=vec(1)[:2])], RuntimeError, "item 0: vector dimension mismatch"),
        ([dict(base, id="G" + "0" * 25)], ValueError, "item 0: invalid memory id"),
        ([base, "not a dict"], TypeError, "item 1: argument 'memories' must be a memory dict, not str"),
        ("not a list", TypeError, "argument 'memories' must be a sequence of memory dicts"),
    ]
    for items, error, text in refused:
        with pytest.raises(error) as info:
            db.load_memories(items)
        assert text in str(info.value), str(info.value)
        assert str(info.value).count("load_memories()") == 1
    assert [e["id"] for e in db.ids()] == [memory_id]  # nothing of a refused call was staged


# --- values that used to change or alias silently ------------------------------------------------

def test_metadata_integers_are_exact_and_unstorable_numbers_are_refused(db):
    kept = db.remember("a", "semantic", vec(1), metadata={"x": 2**63, "big": 2**64 - 1, "low": -(2**63)})
    other = db.remember("b", "semantic", vec(1), metadata={"x": 2**63 + 1})
    assert db.get(kept)["metadata"] == {"x": 2**63, "big": 2**64 - 1, "low": -(2**63)}
    assert [m["id"] for m, _ in db.search(vec(1), where={"x": 2**63 + 1})] == [other]
    assert [m["id"] for m, _ in db.search(vec(1), where={"x": {"$lt": 2**63 + 1}})] == [kept]
    for value, why in [(math.nan, "not a finite number"), (math.inf, "not a finite number"),
                       (-math.inf, "not a finite number"), (2**64, "out of range"), (-(2**63) - 1, "out of range")]:
        for metadata in ({"k": value}, {"k": [1, {"deep": value}]}):
            key = "k" if isinstance(metadata["k"], float | int) else "deep"
            with pytest.raises(ValueError, match=f"^metadata value of key '{key}' is {why}"):
                db.remember("c", "semantic", vec(1), metadata=metadata)
        with pytest.raises(ValueError, match=f"^search\\(\\) argument 'where': metadata value of key '\\$gt' is {why}"):
            db.search(vec(1), where={"x": {"$gt": value}})
    assert len(db.ids()) == 2


def test_ids_beyond_128_bits_are_refused_not_aliased(db):
    memory_id = db.remember("x", "semantic", vec(1))
    for call in (lambda: db.get("8" + memory_id[1:]),
                 lambda: db.remember("y", "semantic", vec(1), id="G0000000000000000000000001"),
                 lambda: db.remember_many(["y"], "semantic", [vec(1)], ids=["Z" + "0" * 25])):
        with pytest.raises(ValueError, match="invalid memory id"):
            call()
    assert [e["id"] for e in db.ids()] == [memory_id]


def test_batch_item_errors_name_the_item_once(db):
    class Broken:
        def __float__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError) as info:
        db.remember_many(["a", "b"], "semantic", [vec(1), [Broken()] * DIMS])
    assert info.value.args == ("remember_many() item 1: argument 'vectors': boom",)
    with pytest.raises(ValueError) as info:
        db.remember_many(["a", "\ud800"], "semantic", [vec(1), vec(1)])
    assert str(info.value).startswith("remember_many() item 1: 'utf-8' codec can't encode")
    assert "remember_many() argument 'contents'" in str(info.value)
    with pytest.raises(ValueError, match=r"^remember_many\(\) item 0: .*surrogates"):
        db.remember_many(["a"], "semantic", [vec(1)], metadata=[{"k": "\udc80"}])
    assert db.ids() == []
