"""Argument extraction: missing, surplus and ill-typed arguments name the argument; integers
out of range raise OverflowError; defaults and keyword use follow the signatures."""

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

V = vec(1)


def cases(db):
    """(call, exception, text that the message contains)."""
    return [
        (lambda: db.remember("c", "episodic"), TypeError, "'vector'"),
        (lambda: db.remember(content="c", vector=V), TypeError, "'memory_type'"),
        (lambda: db.remember("c", "episodic", V, "agent"), TypeError, "positional"),
        (lambda: db.remember("c", "episodic", V, colour="red"), TypeError, "'colour'"),
        (lambda: db.remember(1, "episodic", V), TypeError, "'content'"),
        (lambda: db.remember("c", 1, V), TypeError, "'memory_type'"),
        (lambda: db.remember("c", "episodic", V, agent_id=1), TypeError, "'agent_id'"),
        (lambda: db.remember("c", "episodic", V, importance="high"), TypeError, "'importance'"),
        (lambda: db.remember("c", "episodic", V, session_id=b"s"), TypeError, "'session_id'"),
        (lambda: db.remember("c", "episodic", V, ttl_secs=1.5), TypeError, "'ttl_secs'"),
        (lambda: db.remember("c", "episodic", V, ttl_secs=2**63), OverflowError, "'ttl_secs'"),
        (lambda: db.remember("c", "episodic", V, shared=1), TypeError, "'shared'"),
        (lambda: db.recall(V, top_k=-1), OverflowError, "'top_k'"),
        (lambda: db.recall(V, top_k=2**64), OverflowError, "'top_k'"),
        (lambda: db.recall(V, top_k="3"), TypeError, "'top_k'"),
        (lambda: db.recall(V, memory_types=5), TypeError, "'memory_types'"),
        (lambda: db.recall(V, memory_types=[1]), TypeError, "'memory_types'"),
        (lambda: db.recall(V, agent_id=7), TypeError, "'agent_id'"),
        (lambda: db.recall(V, track_access="yes"), TypeError, "'track_access'"),
        (lambda: db.recall(V, 1, None, None, True, 9), TypeError, "at most 5"),
        (lambda: db.recall(), TypeError, "'query'"),
        (lambda: db.search(V, -1), OverflowError, "'top_k'"),
        (lambda: db.get(), TypeError, "'id'"),
        (lambda: db.delete(None), TypeError, "'id'"),
        (lambda: db.flush(1), TypeError, "flush"),
        (lambda: db.restore_to(-1), OverflowError, "'txn_id'"),
        (lambda: db.restore_to_time(2**63), OverflowError, "'unix_secs'"),
        (lambda: db.restore_to_time("now"), TypeError, "'unix_secs'"),
        (lambda: db.set_cache_capacity(-1), OverflowError, "'pages'"),
        (lambda: db.set_max_snapshots(2**64), OverflowError, "'max'"),
        (lambda: db.export_encrypted(None), TypeError, "'dest'"),
        (lambda: db.cache_put(1, "k", "v"), TypeError, "'namespace'"),
        (lambda: db.cache_put("n", None, "v"), TypeError, "'key'"),
        (lambda: db.cache_put("n", "k", "v", 5), TypeError, "'content_type'"),
        (lambda: db.cache_put("n", "k", "v", ttl_secs=-1), OverflowError, "'ttl_secs'"),
        (lambda: db.cache_get("n"), TypeError, "'key'"),
        (lambda: db.cache_purge(expired_only=None), TypeError, "'expired_only'"),
        (lambda: db.cache_stats(namespace=3), TypeError, "'namespace'"),
        (lambda: db.cache_put_semantic("n", "k", V, "v", None), TypeError, "'model'"),
        (lambda: db.cache_get_semantic("n", V, "m", threshold="high"), TypeError, "'threshold'"),
        (lambda: db.session(agent_id=None), TypeError, "'agent_id'"),
        (lambda: db.__exit__(None, None), TypeError, "'_traceback'"),
        (lambda: ormel.Turn("user", 1, V), TypeError, "'content'"),
        (lambda: ormel.Turn(1, "x", V), TypeError, "'role'"),
        (lambda: ormel.Turn.user("x"), TypeError, "'vector'"),
    ]


def test_argument_errors_name_the_argument(db):
    for call, error, text in cases(db):
        with pytest.raises(error) as info:
            call()
        assert text in str(info.value), (text, str(info.value))
    assert db.stats()["memories"] == 0 and db.cache_stats()["entries"] == 0


@pytest.mark.parametrize(
    "kwargs, error, name",
    [
        ({"dimensions": -1}, OverflowError, "'dimensions'"),
        ({"dimensions": 2**64}, OverflowError, "'dimensions'"),
        ({"dimensions": "4"}, TypeError, "'dimensions'"),
        ({"dimensions": 4.0}, TypeError, "'dimensions'"),
        ({"read_only": 0}, TypeError, "'read_only'"),
        ({"read_only": None}, TypeError, "'read_only'"),
        ({"mode": "rw"}, TypeError, "'mode'"),
    ],
)
def test_open_argument_errors(db_path, kwargs, error, name):
    with pytest.raises(error, match=name):
        ormel.open(db_path, PASSPHRASE, **kwargs)


def test_keywords_positions_and_defaults(db):
    memory_id = db.remember(content="c", memory_type="semantic", vector=V, agent_id="a", importance=1,
                            session_id="s", ttl_secs=None, shared=True, metadata=None)
    assert db.get(id=memory_id)["scope"] == "shared"
    for n in range(12):
        db.remember(f"m{n}", "episodic", vec(1, n))
    assert len(db.recall(V)) == 10 and len(db.search(V)) == 10
    assert len(db.recall(V, 3, ["episodic"], None, False)) == 3
    assert len(db.recall(query=V, top_k=2, agent_id="default", track_access=False)) == 2
    assert len(db.search(query=V, top_k=13)) == 13
    db.cache_put("n", "k", "v", "text/plain", 60)
    db.cache_put(namespace="n", key="k2", value=b"v", content_type="x", ttl_secs=None)
    assert db.cache_get(namespace="n", key="k")["content_type"] == "text/plain"
    assert db.cache_stats(namespace="n")["entries"] == 2
    assert db.cache_purge(namespace="n", expired_only=False) == 2
    db.cache_put_semantic(namespace="n", key="q", vector=V, value="v", model="m", content_type="t", ttl_secs=5)
    assert db.cache_get_semantic(namespace="n", query=V, model="m", threshold=0.5)["content_type"] == "t"
    db.flush()
    txn = db.snapshots()[-1]["txn_id"]
    assert db.restore_to(txn_id=txn)["txn_id"] == txn
    assert db.restore_to_time(unix_secs=2**62)["txn_id"] >= txn
    db.set_cache_capacity(pages=16)
    db.set_max_snapshots(max=0)
    assert db.session(agent_id="a").agent() == "a"
    assert db.__exit__(_exc_type=None, _exc_value=None, _traceback=None) is False


def test_integer_like_arguments_are_accepted(db):
    import numpy as np

    for n in range(3):
        db.remember(f"m{n}", "episodic", vec(1, n))
    assert len(db.search(V, top_k=np.int64(2))) == 2
    assert len(db.recall(V, top_k=True)) == 1  # bool is an int
    ttl_id = db.remember("t", "semantic", V, ttl_secs=np.int32(-7))
    assert db.get(ttl_id)["ttl_secs"] == -7


def test_dimension_mismatch_is_a_runtime_error(db):
    message = f"vector dimension mismatch: database expects {DIMS}, got 2"
    for call in (lambda: db.remember("x", "semantic", [1.0, 2.0]), lambda: db.search([1.0, 2.0]),
                 lambda: db.recall([1.0, 2.0]), lambda: db.cache_put_semantic("n", "k", [1.0, 2.0], "v", "m"),
                 lambda: db.cache_get_semantic("n", [1.0, 2.0], "m")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message
