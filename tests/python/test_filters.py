"""Filtered retrieval: `where=` metadata filters, `session_id=` and the creation-time bounds on
recall, search and a session's recall, each checked against a plain Python evaluation of the
same filter over every stored memory; the indexed path against the exact one; malformed filters."""

import math

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

pytestmark = pytest.mark.usefixtures("file_format")

MISSING = object()

# Metadata of the fixture's memories: every kind, nested objects, missing keys, and one key
# ("v") whose value changes kind from memory to memory.
METADATA = [
    {"n": 1, "x": 0.5, "s": "apple", "b": True, "nil": None, "user": {"name": "ann", "age": 30}, "v": 1},
    {"n": 2, "x": 2.0, "s": "banana", "b": False, "user": {"name": "bob", "age": 41}, "v": "1"},
    {"n": 3, "x": -1.5, "s": "cherry", "tags": ["a", "b"], "user": {"name": "cy"}, "v": True},
    {"n": 2.0, "s": "Banana", "user": "flat", "v": None},
    {"n": 9007199254740993, "s": "", "b": True, "v": [1]},
    {"x": 1e300, "s": "apple pie", "user": {"name": "ann", "age": 30.5, "tz": {"h": 2}}, "v": {"w": 1}},
    {"n": -7, "b": False, "nil": None, "user": {"age": 12}},
    {},
]

FILTERS = [
    # equality, per kind, and across kinds
    {"n": 2},
    {"n": 2.0},
    {"s": "apple"},
    {"b": True},
    {"nil": None},
    {"v": 1},
    {"v": "1"},
    {"n": "2"},
    {"n": 9007199254740993},
    {"n": 9007199254740992},
    # comparison operators: match, no match, missing key, kind mismatch
    {"n": {"$eq": 3}},
    {"n": {"$ne": 2}},
    {"v": {"$ne": 1}},
    {"x": {"$gt": 0.5}},
    {"x": {"$gte": 0.5}},
    {"n": {"$lt": 2}},
    {"n": {"$lte": 2}},
    {"s": {"$gt": "apple"}},
    {"s": {"$lt": "b"}},
    {"s": {"$gte": ""}},
    {"b": {"$ne": False}},
    {"n": {"$gt": 1, "$lt": 9007199254740993}},
    {"x": {"$gt": "a"}},
    # membership and presence
    {"s": {"$in": ["apple", "cherry", "kiwi"]}},
    {"n": {"$in": [2, "3", True]}},
    {"s": {"$nin": ["apple", "banana"]}},
    {"v": {"$nin": [1, "1"]}},
    {"n": {"$in": []}},
    {"nil": {"$in": [None, 0]}},
    {"b": {"$in": [False, "True"]}},
    {"n": {"$in": [9007199254740992, -7.0, 2]}},
    {"n": {"$nin": [2, 9007199254740993, None]}},
    {"s": {"$nin": ["", "never stored"]}},
    {"nil": {"$exists": True}},
    {"tags": {"$exists": False}},
    # nested keys
    {"user.name": "ann"},
    {"user.age": {"$gte": 30}},
    {"user.tz.h": 2},
    {"user.tz": {"$exists": True}},
    {"user.name.first": {"$exists": True}},
    {"user": "flat"},
    # combinators
    {"$and": [{"n": {"$gte": 1}}, {"b": True}]},
    {"$or": [{"s": "banana"}, {"user.age": {"$lt": 20}}]},
    {"$not": {"n": 2}},
    {"n": {"$not": {"$gt": 1}}},
    {"$or": [{"$and": [{"b": True}, {"x": {"$exists": True}}]}, {"$not": {"s": {"$exists": True}}}]},
    {"s": {"$exists": True}, "$or": [{"n": 1}, {"n": 3}]},
    {"$and": []},
    {"$or": []},
    {},
]


def all_memories(db):
    """Every live memory's dict (an unfiltered search ranks them all)."""
    return [m for m, _ in db.search(vec(1), top_k=1 << 30)]


def lookup(metadata, path):
    value = metadata
    for part in path.split("."):
        if not isinstance(value, dict) or part not in value:
            return MISSING
        value = value[part]
    return value


def kind(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, (int, float)):
        return "number"
    return {str: "string", list: "array", dict: "object"}[type(value)]


def compare(op, value, operand):
    if value is MISSING or kind(value) != kind(operand):
        return False
    if op == "$eq":
        return value == operand
    if op == "$ne":
        return value != operand
    if kind(value) not in ("number", "string"):
        return False
    return {"$gt": value > operand, "$gte": value >= operand, "$lt": value < operand, "$lte": value <= operand}[op]


def operator_holds(metadata, path, op, operand):
    value = lookup(metadata, path)
    if op == "$exists":
        return (value is not MISSING) == operand
    if op == "$not":
        return not all(operator_holds(metadata, path, o, x) for o, x in operand.items())
    if op == "$in":
        return any(compare("$eq", value, x) for x in operand)
    if op == "$nin":
        return (value is not MISSING and kind(value) not in ("array", "object")
                and not any(compare("$eq", value, x) for x in operand))
    return compare(op, value, operand)


def holds(flt, metadata):
    for key, value in flt.items():
        if key == "$and":
            ok = all(holds(f, metadata) for f in value)
        elif key == "$or":
            ok = any(holds(f, metadata) for f in value)
        elif key == "$not":
            ok = not holds(value, metadata)
        elif isinstance(value, dict):
            ok = all(operator_holds(metadata, key, op, operand) for op, operand in value.items())
        else:
            ok = compare("$eq", lookup(metadata, key), value)
        if not ok:
            return False
    return True


@pytest.fixture
def filtered_db(db):
    for i, metadata in enumerate(METADATA):
        db.remember(f"m{i}", "semantic", vec(1, i / 10), metadata=metadata, session_id=f"s{i % 2}")
    return db


@pytest.mark.parametrize("flt", FILTERS, ids=[repr(f) for f in FILTERS])
def test_where_matches_plain_evaluation(filtered_db, flt):
    db = filtered_db
    expected = {m["id"] for m in all_memories(db) if holds(flt, m["metadata"])}
    q = vec(1, 0.3)
    everything = db.recall(q, top_k=100, track_access=False)
    recalled = db.recall(q, top_k=100, track_access=False, where=flt)
    # The filter applies before ranking: the unfiltered ranking restricted to the matches.
    assert recalled == [r for r in everything if r["id"] in expected]
    searched = db.search(q, top_k=100, where=flt)
    assert searched == [hit for hit in db.search(q, top_k=100) if hit[0]["id"] in expected]
    # top_k counts matches only.
    assert db.recall(q, top_k=2, track_access=False, where=flt) == recalled[:2]


def test_session_and_creation_time_filters(filtered_db):
    db = filtered_db
    memories = all_memories(db)
    created = memories[0]["created_at"]
    session = db.session("default")
    cases = [
        ({"session_id": "s1"}, {m["id"] for m in memories if m["session_id"] == "s1"}),
        ({"session_id": "nope"}, set()),
        ({"created_after": created - 1}, {m["id"] for m in memories}),
        ({"created_after": created}, set()),
        ({"created_before": created + 1}, {m["id"] for m in memories}),
        ({"created_before": created}, set()),
        ({"session_id": "s0", "where": {"b": True}, "created_after": created - 1},
         {m["id"] for m in memories if m["session_id"] == "s0" and m["metadata"].get("b") is True}),
    ]
    for kwargs, expected in cases:
        assert {r["id"] for r in db.recall(vec(1), top_k=100, track_access=False, **kwargs)} == expected, kwargs
        assert {m["id"] for m, _ in db.search(vec(1), top_k=100, **kwargs)} == expected, kwargs
        assert {r["id"] for r in session.recall(vec(1), top_k=100, **kwargs)} == expected, kwargs


MALFORMED = [
    ({"n": {"$gtx": 1}}, "$gtx"),
    ({"$nor": [{"n": 1}]}, "$nor"),
    ({"n": {"$in": 3}}, "$in"),
    ({"n": {"$nin": "ab"}}, "$nin"),
    ({"n": {"$in": [[1]]}}, "$in"),
    ({"n": {"$exists": 1}}, "$exists"),
    ({"n": {"$gt": None}}, "$gt"),
    ({"n": {"$lte": True}}, "$lte"),
    ({"n": {"$eq": {"a": 1}}}, "$eq"),
    ({"n": [1, 2]}, "'n'"),
    ({"n": {}}, "'n'"),
    ({"$and": {"n": 1}}, "$and"),
    ({"$or": [1]}, "$or"),
    ({"$not": [{"n": 1}]}, "$not"),
    ({"n": {"$not": 1}}, "$not"),
    ({"": 1}, "empty key"),
    ([("n", 1)], "dict"),
    ("n == 1", "dict"),
    ({"n": {1, 2}}, "where"),
    ({1: 2}, "where"),
]


@pytest.mark.parametrize("flt,named", MALFORMED, ids=[repr(m[0]) for m in MALFORMED])
def test_malformed_filters_raise_before_anything_is_touched(filtered_db, flt, named):
    db = filtered_db
    session = db.session("default")
    calls = [lambda: db.recall(vec(1), where=flt), lambda: db.search(vec(1), where=flt),
             lambda: session.recall(vec(1), where=flt)]
    for call in calls:
        with pytest.raises(ValueError, match=None) as raised:
            call()
        assert named in str(raised.value)
    assert all(m["access_count"] == 0 for m in all_memories(db))


def clustered(n, dims, seed=3):
    """n vectors in a few tight clusters, deterministic."""
    import random

    rng = random.Random(seed)
    centres = [[rng.gauss(0, 1) for _ in range(dims)] for _ in range(6)]
    return [[c + 0.1 * rng.gauss(0, 1) for c in centres[i % 6]] for i in range(n)]


@pytest.fixture
def indexed_db(tmp_path):
    dims = 8
    db = ormel.open(str(tmp_path / "indexed.ormel"), PASSPHRASE, dimensions=dims)
    vectors = clustered(300, dims)
    for i, v in enumerate(vectors):
        db.remember(f"m{i}", "semantic", v, metadata={"i": i, "rare": i % 60 == 7, "half": i % 2})
    db.build_index()
    return db, vectors


def exact(db, query, **kwargs):
    db.drop_index()
    try:
        return db.recall(query, track_access=False, **kwargs)
    finally:
        db.build_index()


def test_indexed_recall_with_a_selective_filter_equals_the_exact_one(indexed_db):
    db, vectors = indexed_db
    for q in vectors[:40:7]:
        # 5 matches, fewer than top_k: the index path must find them all.
        indexed = db.recall(q, track_access=False, where={"rare": True}, n_probe=1)
        assert len(indexed) == 5
        assert indexed == exact(db, q, where={"rare": True}, n_probe=1)
        # Common matches: never fewer results than the exact filtered recall.
        assert len(db.recall(q, track_access=False, where={"half": 1}, n_probe=1)) == 10


def test_default_knobs_give_the_same_answer_as_explicit_ones(indexed_db):
    db, vectors = indexed_db
    explicit = dict(n_probe=None, n_rerank=None, similarity_weight=1.0, recency_weight=0.3, importance_weight=0.2,
                    access_weight=0.1, recency_half_life_secs=604800.0)
    for q in vectors[:3]:
        assert db.recall(q, track_access=False) == db.recall(q, track_access=False, **explicit)
        db.drop_index()
        assert db.recall(q, track_access=False) == db.recall(q, track_access=False, **explicit)
        db.build_index()


def test_weights_set_the_score(db):
    db.remember("m", "semantic", vec(3, 4), importance=0.5)
    only_similarity = db.recall(vec(1), track_access=False, recency_weight=0, importance_weight=0, access_weight=0)
    assert only_similarity[0]["score"] == only_similarity[0]["similarity"] == pytest.approx(0.6)
    # Half the importance weight and a doubled similarity weight, no recency.
    r = db.recall(vec(1), track_access=False, similarity_weight=2, recency_weight=0, importance_weight=0.5)[0]
    assert r["score"] == pytest.approx(2 * 0.6 + 0.5 * 0.5)


@pytest.mark.parametrize("kwargs", [{"recency_half_life_secs": 0}, {"recency_half_life_secs": -1},
                                    {"similarity_weight": math.nan}, {"recency_weight": math.inf}])
def test_knobs_out_of_range_raise(db, kwargs):
    db.remember("m", "semantic", vec(1))
    with pytest.raises(ValueError, match=next(iter(kwargs))):
        db.recall(vec(1), **kwargs)
    assert all_memories(db)[0]["access_count"] == 0


def test_probing_every_partition_gives_the_exact_top_ten(indexed_db):
    db, vectors = indexed_db
    partitions = db.stats()["index"]["partitions"]
    for q in vectors[:50:5]:
        indexed = db.recall(q, track_access=False, n_probe=partitions, n_rerank=len(vectors))
        assert indexed == exact(db, q)


def test_filters_survive_reopening(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    wanted = db.remember("a", "semantic", vec(1), metadata={"team": {"name": "core"}})
    db.remember("b", "semantic", vec(1), metadata={"team": {"name": "web"}})
    db.flush()
    del db
    db = ormel.open(db_path, PASSPHRASE)
    assert [r["id"] for r in db.recall(vec(1), where={"team.name": "core"})] == [wanted]
