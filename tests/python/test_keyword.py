"""Keyword search (search_text) and hybrid recall (recall(..., text=)): BM25 ranking of
identifiers, the conditions recall applies, the index following every change, argument
refusals, and fusion that lets keyword-only and vector-only memories through."""

import random

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

pytestmark = pytest.mark.usefixtures("file_format")


def ids_of(pairs):
    return [m["id"] for m, _ in pairs]


def test_ranks_identifiers_best_first_with_scores(db):
    ticket = db.remember("Ticket INC-4471: the build broke after upgrading to v2.3", "semantic", vec(1))
    path = db.remember("libisal lives in /usr/lib/libisal.so.2 on Lisbon hosts", "semantic", vec(1))
    lisbon = db.remember("Lisbon, Lisbon and Lisbon again", "semantic", vec(1))
    db.remember("nothing to see", "semantic", vec(1))
    assert ids_of(db.search_text("inc-4471")) == [ticket]
    assert ids_of(db.search_text("INC 4471")) == [ticket]
    assert ids_of(db.search_text("V2.3")) == [ticket]
    assert ids_of(db.search_text("/usr/lib/libisal.so.2")) == [path]
    hits = db.search_text("lisbon")
    assert ids_of(hits) == [lisbon, path]
    assert hits[0][1] > hits[1][1] > 0.0
    assert all(isinstance(score, float) for _, score in hits)
    assert hits[0][0]["content"] == "Lisbon, Lisbon and Lisbon again"
    assert db.search_text("lisbon", top_k=1)[0][0]["id"] == lisbon
    assert db.search_text("", top_k=5) == []
    assert db.search_text("absent") == []
    assert db.search_text("lisbon", top_k=0) == []
    assert db.get(lisbon)["access_count"] == 0  # no access recorded


def test_applies_the_conditions_recall_applies(db):
    own = db.remember("alpha own", "semantic", vec(1), agent_id="a")
    shared = db.remember("alpha shared", "semantic", vec(1), agent_id="b", shared=True)
    db.remember("alpha private of b", "semantic", vec(1), agent_id="b")
    episode = db.remember("alpha episode", "episodic", vec(1), agent_id="a", session_id="s1",
                          metadata={"topic": "ops"})
    db.remember("alpha expired", "semantic", vec(1), ttl_secs=0)
    assert set(ids_of(db.search_text("alpha", agent_id="a"))) == {own, shared, episode}
    assert ids_of(db.search_text("alpha", memory_types=["episodic"])) == [episode]
    assert db.search_text("alpha", memory_types=[]) == []
    assert ids_of(db.search_text("alpha", session_id="s1")) == [episode]
    assert ids_of(db.search_text("alpha", where={"topic": "ops"})) == [episode]
    created = db.get(own)["created_at"]
    assert db.search_text("alpha", created_after=created + 10) == []
    assert len(db.search_text("alpha", created_before=created + 10)) == 4
    assert db.search_text("expired") == []


def test_follows_every_kind_of_change(db):
    first = db.remember("zebra notes", "semantic", vec(1))
    db.flush()
    txn = db.snapshots()[-1]["txn_id"]
    assert db.keyword_index_stats() is None
    assert ids_of(db.search_text("zebra")) == [first]  # builds the index
    stats = db.keyword_index_stats()
    assert (stats["documents"], stats["terms"]) == (1, 2) and stats["bytes"] > 0
    db.update(first, content="okapi notes")
    assert db.search_text("zebra") == []
    assert ids_of(db.search_text("okapi")) == [first]
    batch = db.remember_many(["zebra one", "zebra two"], "semantic", [vec(1), vec(1)])
    assert ids_of(db.search_text("zebra")) == batch
    db.delete(batch[0])
    assert ids_of(db.search_text("zebra")) == [batch[1]]
    restored = dict(db.get(first), content="zebra restored")
    db.load_memories([restored])
    assert ids_of(db.search_text("zebra")) == [first, batch[1]]
    db.restore_to(txn)
    assert ids_of(db.search_text("zebra")) == [first]
    assert db.search_text("okapi") == []
    db.remember("okapi again", "semantic", vec(1))
    db.compact(keep_history=False)
    assert db.keyword_index_stats() is None  # dropped: every record moved
    assert len(db.search_text("okapi")) == 1
    assert ids_of(db.search_text("zebra")) == [first]


def test_matches_a_fresh_handle_after_random_changes(db_path):
    rng = random.Random(5)
    words = ["inc-4471", "lisbon", "libisal", "v2.3", "e-mail", "alpha", "beta", "gamma"]
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    live = []
    for step in range(150):
        op = rng.random()
        text = " ".join(rng.choice(words) for _ in range(rng.randrange(1, 6)))
        if op < 0.5 or not live:
            live.append(db.remember(text, "semantic", vec(1)))
        elif op < 0.7:
            db.update(rng.choice(live), content=text)
        elif op < 0.85:
            victim = live.pop(rng.randrange(len(live)))
            db.delete(victim)
        else:
            db.flush()
        if step % 10 == 0:
            db.search_text("alpha")
    db.close()
    kept = {w: db.search_text(w, top_k=200) for w in words}
    del db
    fresh = ormel.open(db_path, PASSPHRASE)
    for w in words:
        assert fresh.search_text(w, top_k=200) == kept[w], w


@pytest.mark.parametrize("kwargs, fault", [
    ({"k1": -0.1}, ormel.InvalidArgument),
    ({"k1": float("nan")}, ormel.InvalidArgument),
    ({"b": 1.5}, ormel.InvalidArgument),
    ({"b": -0.5}, ormel.InvalidArgument),
    ({"k1": "1"}, TypeError),
    ({"memory_types": "semantic"}, TypeError),
    ({"memory_types": ["nope"]}, ValueError),
    ({"where": {"a": {"$bad": 1}}}, ValueError),
    ({"top_k": -1}, OverflowError),
])
def test_refuses_bad_arguments(db, kwargs, fault):
    db.remember("x", "semantic", vec(1))
    with pytest.raises(fault):
        db.search_text("x", **kwargs)
    if "k1" in kwargs or "b" in kwargs:
        with pytest.raises(fault):
            db.recall(vec(1), text="x", **kwargs)


def test_refuses_text_that_is_not_a_string_and_a_bad_rrf_k(db):
    with pytest.raises(TypeError):
        db.search_text(b"bytes")
    with pytest.raises(TypeError):
        db.recall(vec(1), text=5)
    with pytest.raises(ormel.InvalidArgument):
        db.recall(vec(1), text="x", rrf_k=-1)


def test_works_on_a_read_only_handle(ro_db):
    handle, memory_id = ro_db
    assert ids_of(handle.search_text("seed")) == [memory_id]
    assert [r["id"] for r in handle.recall(vec(1), text="seed", track_access=False)] == [memory_id]


def test_stemming_is_off_by_default_and_can_be_turned_on(db):
    memory_id = db.remember("the runner was running", "semantic", vec(1))
    assert db.search_text("runs") == []
    db.set_keyword_stemming(True)
    assert ids_of(db.search_text("runs")) == [memory_id]
    db.set_keyword_stemming(False)
    assert db.search_text("runs") == []


@pytest.fixture
def mixed(db):
    """A keyword-only memory (its vector far from the query), a vector-only one (the query's
    own vector, no shared term) and filler between them."""
    keyword_only = db.remember("outage ticket INC-4471", "semantic", vec(0, 0, 0, 1))
    vector_only = db.remember("unrelated words", "semantic", vec(1))
    for n in range(30):
        db.remember(f"filler note {n}", "semantic", [0.5, 0.5, 0.5, 0.5])
    return db, keyword_only, vector_only


def test_without_text_recall_is_unchanged(mixed):
    db, keyword_only, _ = mixed
    plain = db.recall(vec(1), top_k=5, track_access=False)
    assert keyword_only not in [r["id"] for r in plain]
    assert all("bm25" not in r for r in plain)


@pytest.mark.parametrize("indexed", [False, True])
def test_hybrid_recall_finds_keyword_only_and_vector_only_memories(mixed, indexed):
    db, keyword_only, vector_only = mixed
    if indexed:
        db.build_index()
    results = db.recall(vec(1), top_k=2, text="INC-4471", track_access=False)
    assert {r["id"] for r in results} == {keyword_only, vector_only}
    by_id = {r["id"]: r for r in results}
    assert by_id[keyword_only]["bm25"] > 0.0
    assert by_id[vector_only]["bm25"] == 0.0
    assert by_id[vector_only]["similarity"] == pytest.approx(1.0)
    assert by_id[keyword_only]["similarity"] == pytest.approx(0.0)


def test_hybrid_recall_weights_and_fusion_constant(mixed):
    db, keyword_only, vector_only = mixed
    only_relevance = {"recency_weight": 0.0, "importance_weight": 0.0, "access_weight": 0.0}
    results = db.recall(vec(1), top_k=2, text="INC-4471", track_access=False, rrf_k=0, **only_relevance)
    # With rrf_k 0: first by keywords and last (32nd) by vector, relevance (0 + 1) / 2 *
    # (1 / 1 + 1 / 32); first by vector alone, 1 / 2.
    assert [(r["id"], r["score"]) for r in results] == [(keyword_only, pytest.approx(0.5 * (1 + 1 / 32))),
                                                        (vector_only, pytest.approx(0.5))]
    db.delete(vector_only)  # so that the new memory is first by vector too
    both = db.remember("INC-4471 in both", "semantic", vec(1))
    results = db.recall(vec(1), top_k=1, text="INC-4471 both", track_access=False, **only_relevance)
    assert results[0]["id"] == both
    assert results[0]["score"] == pytest.approx(1.0)
    tracked = db.recall(vec(1), top_k=1, text="INC-4471 both")
    assert tracked[0]["access_count"] == 1
