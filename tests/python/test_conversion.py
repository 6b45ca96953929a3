"""Conversions between Python values and stored values: memory fields, metadata, ids, types,
importance, vectors and cache values."""

import array
import enum
import math
import sys

import numpy as np
import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

pytestmark = pytest.mark.usefixtures("file_format")

MEMORY_KEYS = ["id", "content", "memory_type", "vector", "agent_id", "session_id", "scope", "created_at",
               "accessed_at", "access_count", "importance", "ttl_secs", "metadata"]

METADATA_IN = {
    "z_null": None,
    "true": True,
    "false": False,
    "uint": 7,
    "neg": -5,
    "i64_min": -(2**63),
    "i64_max": 2**63 - 1,
    "beyond_i64": 2**63 + 1,
    "u64_max": 2**64 - 1,
    "float": 1.5,
    "str": "h\u00e9llo \u2014 \U0001f600",
    "list": [1, "a", [None, False], {"k": 2}],
    "nested": {"b": {"y": [], "x": {}}, "a": [1.25, -3]},
    "np_int": np.int64(-9),
    "np_float": np.float32(0.5),
}
METADATA_OUT = {
    "false": False,
    "beyond_i64": 2**63 + 1,
    "float": 1.5,
    "i64_max": 2**63 - 1,
    "i64_min": -(2**63),
    "list": [1, "a", [None, False], {"k": 2}],
    "neg": -5,
    "nested": {"a": [1.25, -3], "b": {"x": {}, "y": []}},
    "np_float": 0.5,
    "np_int": -9,
    "str": "h\u00e9llo \u2014 \U0001f600",
    "true": True,
    "uint": 7,
    "u64_max": 2**64 - 1,
    "z_null": None,
}


def f32(x: float) -> float:
    return float(np.float32(x))


def test_every_field_round_trips_through_flush_and_reopen(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    cases = [
        dict(content="line one\nline two \u2014 \u00e9", memory_type="episodic", vector=[0.1, -2.5, 1e-3, 3.0],
             agent_id="agent-\u00e9", session_id="S1", ttl_secs=3600, shared=True, importance=0.3,
             metadata=METADATA_IN),
        dict(content="", memory_type="Semantic", vector=[0.0] * DIMS, ttl_secs=-5),
        dict(content="p", memory_type="PROCEDURAL", vector=vec(1), agent_id="a", ttl_secs=2**62),
        dict(content="w", memory_type="working", vector=vec(0, 1), shared=False),
    ]
    ids = [db.remember(c.pop("content"), c.pop("memory_type"), c.pop("vector"), **c) for c in
           [dict(c) for c in cases]]
    before = [db.get(i) for i in ids]
    db.flush()
    del db
    db = ormel.open(db_path, PASSPHRASE, read_only=True)
    after = [db.get(i) for i in ids]
    assert after == before

    first, second, third, fourth = after
    for memory, memory_id in zip(after, ids):
        assert list(memory) == MEMORY_KEYS
        assert memory["id"] == memory_id and len(memory_id) == 26 and memory_id == memory_id.upper()
        assert type(memory["created_at"]) is int and memory["created_at"] == memory["accessed_at"]
        assert memory["access_count"] == 0
    assert first["content"] == "line one\nline two \u2014 \u00e9"
    assert [m["memory_type"] for m in after] == ["episodic", "semantic", "procedural", "working"]
    assert first["vector"] == [f32(0.1), -2.5, f32(1e-3), 3.0]
    assert all(type(x) is float for x in first["vector"])
    assert [m["agent_id"] for m in after] == ["agent-\u00e9", "default", "a", "default"]
    assert [m["session_id"] for m in after] == ["S1", None, None, None]
    assert [m["scope"] for m in after] == ["shared", "private", "private", "private"]
    assert [m["ttl_secs"] for m in after] == [3600, -5, 2**62, None]
    assert first["importance"] == f32(0.3) and second["importance"] == 0.5
    assert [m["metadata"] for m in (second, third, fourth)] == [{}, {}, {}]

    meta = first["metadata"]
    assert meta == METADATA_OUT
    assert list(meta) == sorted(meta)
    assert list(meta["nested"]) == ["a", "b"] and list(meta["nested"]["b"]) == ["x", "y"]
    assert meta["true"] is True and meta["false"] is False
    assert type(meta["uint"]) is int and type(meta["u64_max"]) is int and type(meta["beyond_i64"]) is int


@pytest.mark.parametrize(
    "value",
    [(1, 2), {1, 2}, b"bytes", bytearray(b"x"), object(), [1, (2,)], {"k": {"deeper": {3}}}, 1 + 2j],
)
def test_unsupported_metadata_values(db, value):
    with pytest.raises(TypeError) as info:
        db.remember("x", "semantic", vec(1), metadata={"k": value})
    assert str(info.value) == "metadata values must be null, bool, int, float, str, list, or dict"
    assert db.stats()["memories"] == 0  # nothing staged


def test_metadata_keys_must_be_str_and_metadata_a_dict(db):
    with pytest.raises(TypeError):
        db.remember("x", "semantic", vec(1), metadata={1: "a"})
    with pytest.raises(TypeError):
        db.remember("x", "semantic", vec(1), metadata={"ok": {2: "nested"}})
    with pytest.raises(TypeError, match="'metadata'"):
        db.remember("x", "semantic", vec(1), metadata=[("k", 1)])
    assert db.stats()["memories"] == 0


def test_self_referencing_metadata_is_refused(db):
    looped: list = []
    looped.append(looped)
    with pytest.raises(RecursionError):
        db.remember("x", "semantic", vec(1), metadata={"loop": looped})


def test_metadata_nested_beyond_what_the_reader_accepts_is_refused_at_remember(db_path):
    def nested(levels):
        value = "leaf"
        for _ in range(levels):
            value = [value]
        return value

    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 5000))
    try:
        db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
        kept = db.remember("kept", "semantic", vec(1), metadata={"deep": nested(1022)})  # 1024 levels in all
        with pytest.raises(RuntimeError, match=r"^serialization error: nesting deeper than 1024 levels$"):
            db.remember("poison", "semantic", vec(1), metadata={"deep": nested(1023)})
        db.close()
        del db
    finally:
        sys.setrecursionlimit(limit)
    db = ormel.open(db_path, PASSPHRASE)
    assert [m["content"] for m in db.recall(vec(1))] == ["kept"]
    assert db.stats()["memories"] == 1
    assert db.verify() == 1
    assert db.get(kept)["content"] == "kept"


def test_metadata_numbers_of_other_kinds(db):
    class Color(enum.IntEnum):
        RED = 3

    class Celsius:
        def __float__(self):
            return 21.5

    memory_id = db.remember("x", "semantic", vec(1), metadata={"enum": Color.RED, "temp": Celsius()})
    meta = db.get(memory_id)["metadata"]
    assert meta == {"enum": 3, "temp": 21.5}
    assert type(meta["enum"]) is int


@pytest.mark.parametrize(
    "given, stored",
    [(None, 0.5), (3.0, 1.0), (-1.0, 0.0), (float("nan"), 0.0), (0.25, 0.25), (1, 1.0), (0, 0.0),
     (float("inf"), 1.0), (float("-inf"), 0.0), (np.float64(0.75), 0.75)],
)
def test_importance_clamps(db, given, stored):
    kwargs = {} if given is None else {"importance": given}
    assert db.get(db.remember("x", "semantic", vec(1), **kwargs))["importance"] == stored


@pytest.mark.parametrize(
    "text, parsed",
    [("episodic", "episodic"), ("Episodic", "episodic"), ("SEMANTIC", "semantic"), ("ProCedural", "procedural"),
     ("WORKING", "working")],
)
def test_memory_type_spellings(db, text, parsed):
    assert db.get(db.remember("x", text, vec(1)))["memory_type"] == parsed


@pytest.mark.parametrize("text", ["work", "episodic ", " semantic", "", "episodics", "\u0130pisodic"])
def test_unknown_memory_types(db, text):
    with pytest.raises(ValueError) as info:
        db.remember("x", text, vec(1))
    assert str(info.value) == f"unknown memory_type '{text}'"
    with pytest.raises(ValueError) as info:
        db.recall(vec(1), memory_types=["semantic", text])
    assert str(info.value) == f"unknown memory_type '{text}'"


def test_memory_type_is_parsed_before_anything_else(ro_db):
    handle, _ = ro_db
    with pytest.raises(ValueError, match="unknown memory_type 'nope'"):
        handle.remember(42, "nope", "a str vector")


def test_id_parsing(db):
    memory_id = db.remember("x", "semantic", vec(1))
    assert memory_id[0] == "0"
    accepted = [memory_id.lower(), memory_id]
    for text in accepted:
        assert db.get(text)["id"] == memory_id
    refused = [memory_id[:25], memory_id + "0", "", memory_id[:-1] + "I", memory_id[:-1] + "L",
               memory_id[:-1] + "O", memory_id[:-1] + "U", memory_id[:-1] + "u", memory_id[:-1] + "-",
               " " + memory_id[1:], memory_id[:-1] + "\u00e9",
               # 26 digits hold 130 bits: a first digit above 7 would alias another id.
               "8" + memory_id[1:], "z" + memory_id[1:], "G" + "0" * 25]
    for text in refused:
        for call in (db.get, db.delete):
            with pytest.raises(ValueError) as info:
                call(text)
            assert str(info.value) == f"invalid memory id '{text}'"
    with pytest.raises(TypeError, match="'id'"):
        db.get(12345)


def test_missing_memory_is_a_runtime_error_with_the_upper_case_id(db):
    missing = "01arz3ndektsv4rrffq69g5fav"
    for call in (db.get, db.delete):
        with pytest.raises(RuntimeError) as info:
            call(missing)
        assert str(info.value) == f"memory '{missing.upper()}' not found"


VECTOR_VALUES = [0.1, 1 / 3, -0.0, 1e-40, 3.4028235e38, -2.5e-8, 123456789.123, 7]


@pytest.mark.parametrize(
    "make",
    [
        lambda v: np.array(v, dtype=np.float32),
        lambda v: np.array(v, dtype=np.float64),
        lambda v: np.repeat(np.array(v, dtype=np.float64), 2)[::2],  # strided view
        lambda v: np.repeat(np.array(v, dtype=np.float32), 3)[::3],
        lambda v: np.array(v, dtype=np.dtype(np.float64).newbyteorder("<")),
        lambda v: np.array(v, dtype=np.dtype(np.float64).newbyteorder(">")),  # no fast path: item by item
        lambda v: array.array("d", v),
        lambda v: array.array("f", v),
        lambda v: memoryview(array.array("d", v)),
        tuple,
        lambda v: [np.float64(x) for x in v],
    ],
)
def test_vector_inputs_match_the_list(make):
    expected = ormel.Turn("user", "x", VECTOR_VALUES).vector
    got = ormel.Turn("user", "x", make(VECTOR_VALUES)).vector
    assert got == expected
    assert [math.copysign(1, x) for x in got] == [math.copysign(1, x) for x in expected]
    assert expected[4] == 3.4028234663852886e38 and expected[3] != 0.0  # rounded to the largest float32; subnormal


def test_vector_of_other_number_kinds():
    halves = np.array([0.1, 2.0], dtype=np.float16)
    assert ormel.Turn("user", "x", halves).vector == ormel.Turn("user", "x", [float(x) for x in halves]).vector
    assert ormel.Turn("user", "x", np.array([1, -2], dtype=np.int64)).vector == [1.0, -2.0]
    assert ormel.Turn("user", "x", b"\x01\x02").vector == [1.0, 2.0]


def test_numpy_vectors_store_like_lists(db):
    values = [0.1, 1 / 3, -7.25, 1e-3]
    from_list = db.get(db.remember("l", "semantic", values))["vector"]
    for dtype in (np.float32, np.float64):
        assert db.get(db.remember("n", "semantic", np.array(values, dtype=dtype)))["vector"] == from_list
    assert db.search(np.array(values, dtype=np.float32), top_k=1)[0][1] == db.search(values, top_k=1)[0][1]


@pytest.mark.parametrize(
    "bad, error, text",
    [
        ("abcd", TypeError, "Can't extract `str` to `Vec`"),
        (np.zeros((2, 2)), TypeError, "'vector'"),
        (np.float64(1.0), TypeError, "'vector'"),
        (None, TypeError, "'vector'"),
        (5, TypeError, "'vector'"),
        ({1.0, 2.0}, TypeError, "'vector'"),
        ([1.0, "2", 3.0, 4.0], TypeError, "'vector'"),
        ([1.0, None, 3.0, 4.0], TypeError, "'vector'"),
        ([2**1100, 0, 0, 0], OverflowError, "'vector'"),
    ],
)
def test_vector_refusals(db, bad, error, text):
    with pytest.raises(error) as info:
        db.remember("x", "semantic", bad)
    assert text in str(info.value)


def test_str_refused_wherever_a_vector_or_type_list_is_expected(db):
    calls = [
        lambda: db.recall("abcd"),
        lambda: db.search("abcd"),
        lambda: db.recall(vec(1), memory_types="episodic"),
        lambda: db.cache_put_semantic("n", "k", "abcd", "v", "m"),
        lambda: db.cache_get_semantic("n", "abcd", "m"),
        lambda: ormel.Turn("user", "x", "abcd"),
        lambda: ormel.Turn.system("x", "abcd"),
        lambda: db.session("a").recall("abcd"),
    ]
    for call in calls:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "value, stored",
    [
        ("h\u00e9llo", "h\u00e9llo".encode()),
        ("", b""),
        (b"\x00\xff", b"\x00\xff"),
        (bytearray(b"abc"), b"abc"),
        ([0, 1, 255], b"\x00\x01\xff"),
        ((104, 105), b"hi"),
        ([True, False], b"\x01\x00"),
    ],
)
def test_cache_values_become_bytes(db, value, stored):
    db.cache_put("ns", "key", value)
    hit = db.cache_get("ns", "key")
    assert hit["value"] == stored and type(hit["value"]) is bytes


@pytest.mark.parametrize("value", [[256], [-1], [1, "a"], [1.0], None, 3, 1.5, {"a": 1}, {1, 2}, object()])
def test_cache_values_refused(db, value):
    for call in (lambda: db.cache_put("ns", "key", value),
                 lambda: db.cache_put_semantic("ns", "key", vec(1), value, "m")):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "cache value must be str or bytes"
    assert db.cache_stats()["entries"] == 0


def test_result_shapes(db):
    memory_id = db.remember("x", "semantic", vec(1), agent_id="a")
    recalled = db.recall(vec(1), top_k=1)
    assert list(recalled[0]) == MEMORY_KEYS + ["score", "similarity"]
    assert type(recalled[0]["score"]) is float and type(recalled[0]["similarity"]) is float
    hits = db.search(vec(1))
    assert isinstance(hits, list) and isinstance(hits[0], tuple) and len(hits[0]) == 2
    assert list(hits[0][0]) == MEMORY_KEYS and type(hits[0][1]) is float
    assert db.search(vec(1), top_k=0) == [] and db.recall(vec(1), top_k=0) == []

    db.flush()
    snapshot = db.snapshots()[0]
    assert list(snapshot) == ["txn_id", "created_at", "memory_count"]
    assert all(type(v) is int for v in snapshot.values())

    stats = db.stats()
    assert list(stats) == ["memories", "deleted", "dimensions", "file_bytes", "agents", "encrypted", "created_at",
                           "wal_pages", "snapshots", "index", "format_version"]
    assert stats["agents"] == ["a"] and stats["encrypted"] is True and stats["index"] is None
    assert stats["snapshots"] == 1 and stats["file_bytes"] % 8192 == 0 and type(stats["format_version"]) is int
    db.build_index()
    assert list(db.stats()["index"]) == ["vectors", "partitions", "subspaces"]

    cached, capacity = db.page_cache_stats()
    assert type(cached) is int and type(capacity) is int
    assert db.get(memory_id)["id"] == memory_id


def test_cache_dict_shapes(db):
    assert db.cache_get("ns", "absent") is None
    db.cache_put("ns", "plain", "v")
    db.cache_put("ns", "timed", b"v", content_type="application/json", ttl_secs=600)
    plain = db.cache_get("ns", "plain")
    assert list(plain) == ["value", "content_type", "created_at", "accessed_at", "access_count"]
    assert plain["content_type"] == "text" and plain["access_count"] == 1
    timed = db.cache_get("ns", "timed")
    assert list(timed) == ["value", "content_type", "created_at", "accessed_at", "access_count", "ttl_secs"]
    assert timed["ttl_secs"] == 600 and timed["content_type"] == "application/json"

    db.cache_put_semantic("sem", "q", vec(1), "answer", "model-a", ttl_secs=60)
    hit = db.cache_get_semantic("sem", vec(1), "model-a")
    assert list(hit) == ["value", "similarity", "content_type", "created_at", "accessed_at", "access_count",
                         "ttl_secs"]
    assert hit["value"] == b"answer" and type(hit["similarity"]) is float
    assert db.cache_get_semantic("sem", vec(1), "model-b") is None
    assert db.cache_get_semantic("sem", vec(0, 1), "model-a", threshold=-1.0)["value"] == b"answer"

    stats = db.cache_stats()
    assert list(stats) == ["entries", "bytes", "hits", "misses", "hit_rate", "evictions"]
    assert type(stats["hit_rate"]) is float
    assert db.cache_stats("sem")["entries"] == 1
    assert db.cache_purge("ns") == 2
    assert db.cache_purge(expired_only=True) == 0
