"""A second opinion on the files the engine writes: a database built through the module is
parsed by the independent strict reader, and both must tell the same story."""
import hashlib
import os

import pytest

import legacy_format as lf
import ormel
from conftest import DIMS, PASSPHRASE, vec

SEM_VECTOR = [0.5, -0.25, 1.0, 2.0]
LONG_KEY = "\u00e9" * 125 + "k" * 5  # 130 characters, 255 bytes: its preview is cut to 120 characters


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    """A database after several flushes: memories (two deleted, one spanning two pages,
    one re-remembered), an index kept up to date, recall access tracking, exact and
    semantic cache entries (one tombstoned, one read back). Returns (path, facts)."""
    path = str(tmp_path_factory.mktemp("layout") / "built.ormel")
    db = ormel.open(path, PASSPHRASE, dimensions=DIMS)
    ids = []
    for n in range(1, 11):
        ids.append(db.remember(
            f"memory {n} \u2014 caf\u00e9", ("episodic", "semantic", "procedural", "working")[n % 4],
            vec(2.0 ** -n, n, -0.5 * n, 1.0), agent_id=f"agent-{n % 3}", importance=0.125 * (n % 8),
            session_id=None if n % 2 else f"S{n}", ttl_secs=None if n % 3 else 10**9, shared=n % 2 == 1,
            metadata={"n": n, "neg": -n, "f": 0.25 * n, "deep": {"list": [1, "two", None, True]}}))
    db.flush()
    db.build_index()
    db.flush()
    db.delete(ids[2])
    db.delete(ids[6])
    ids.append(db.remember("spans two pages " + "y" * 9000, "semantic", vec(0.0, 1.0, 1.0)))
    db.recall(vec(1.0, 10.0, -5.0, 1.0), top_k=3)  # bumps access fields in the catalog
    db.flush()
    db.cache_put("llm", "question one", "first answer")
    db.cache_put("llm", "question two", b"\x00\x01\xfe\xff", content_type="bytes", ttl_secs=3600)
    db.cache_put_semantic("sem", "what is x?", SEM_VECTOR, "x is y", model="embed-1")
    db.cache_put("llm", LONG_KEY, "long key")
    db.cache_delete("llm", "question one")
    hit = db.cache_get("llm", "question two")  # its access count reaches the file at close
    db.close()
    return path, {"ids": ids, "deleted": [ids[2], ids[6]], "hit": hit}


@pytest.fixture(scope="module")
def parsed(built):
    path, _ = built
    return lf.read_database(path, PASSPHRASE)


@pytest.fixture
def reader_db(built):
    return ormel.open(built[0], PASSPHRASE, read_only=True)


def test_header_and_log(built, parsed):
    h = parsed["header"]
    assert parsed["version"] == 8 and h["dimensions"] == DIMS
    assert (h["page_size"], h["encrypted"]) == (lf.PAGE_SIZE, 1)
    assert (h["kdf_m_cost"], h["kdf_t_cost"], h["kdf_p_cost"]) == lf.DEFAULT_KDF
    assert h["page_count"] * lf.PAGE_SIZE >= os.path.getsize(built[0])
    assert parsed["wal_pending"] is None


def test_memories_and_catalog_agree(built, parsed, reader_db):
    _, facts = built
    assert [e["id"] for e in parsed["catalog"]] == facts["ids"]
    assert parsed["deleted_ids"] == facts["deleted"]
    live = [i for i in facts["ids"] if i not in facts["deleted"]]
    assert [m["id"] for m in parsed["memories"]] == live
    assert [reader_db.get(i) for i in live] == [lf.module_dict(m) for m in parsed["memories"]]
    assert any(m["access_count"] > 0 for m in parsed["memories"])  # recall's bumps were stored
    for gone in facts["deleted"]:
        with pytest.raises(RuntimeError, match="not found"):
            reader_db.get(gone)
    stats = reader_db.stats()
    assert (stats["memories"], stats["deleted"]) == (len(live), len(facts["deleted"]))
    assert stats["file_bytes"] == os.path.getsize(built[0])
    assert parsed["header"]["memory_count"] == len(live)


def test_snapshots_agree(parsed, reader_db):
    assert reader_db.snapshots() == [
        {"txn_id": s["txn_id"], "created_at": s["created_at"], "memory_count": s["memory_count"]}
        for s in parsed["snapshots"]]
    # three explicit flushes, four cache writes, one delete and the close after a cache hit
    assert [s["txn_id"] for s in parsed["snapshots"]] == list(range(1, 10))
    assert reader_db.stats()["snapshots"] == len(parsed["snapshots"])


def test_index_agrees(built, parsed, reader_db):
    _, facts = built
    ix = parsed["index"]
    assert reader_db.has_index() and ix is not None
    indexed = [i for p in ix["partitions"] for i in p["ids"]]
    assert sorted(indexed) == sorted(i for i in facts["ids"] if i not in facts["deleted"])
    assert reader_db.stats()["index"] == {"vectors": len(indexed), "partitions": ix["n_partitions"],
                                          "subspaces": len(ix["pq"]["ks"])}


def test_cache_directory_agrees(built, parsed, reader_db):
    _, facts = built
    rows = parsed["cache_directory"]
    digest = {k: hashlib.sha256(k.encode()).digest() for k in ("question one", "question two", "what is x?", LONG_KEY)}
    assert [(r["namespace"], r["key_hash"], r["deleted"]) for r in rows] == [
        ("llm", digest["question one"], True), ("llm", digest["question two"], False),
        ("sem", digest["what is x?"], False), ("llm", digest[LONG_KEY], False)]
    live = [r for r in rows if not r["deleted"]]
    entries = {e["key_hash"]: e for e in parsed["cache_entries"]}
    two, sem = entries[digest["question two"]], entries[digest["what is x?"]]
    assert (two["value"], two["content_type"], two["ttl_secs"]) == (b"\x00\x01\xfe\xff", "bytes", 3600)
    assert (sem["value"], sem["vector"], sem["model"]) == (b"x is y", SEM_VECTOR, "embed-1")
    assert two["key_preview"] == "question two" and sem["key_preview"] == "what is x?"
    assert entries[digest[LONG_KEY]]["key_preview"] == "\u00e9" * 119 + "\u2026"
    # the hit's access count reached the directory row, not the entry record
    assert live[0]["access_count"] == facts["hit"]["access_count"] == 1 and two["access_count"] == 0
    stats = reader_db.cache_stats()
    assert (stats["entries"], stats["bytes"]) == (len(live), sum(r["size_bytes"] for r in live))
    got = reader_db.cache_get("llm", "question two")
    assert got["value"] == two["value"] and got["created_at"] == two["created_at"]
    assert reader_db.cache_get("llm", "question one") is None
    sem_hit = reader_db.cache_get_semantic("sem", SEM_VECTOR, "embed-1")
    assert sem_hit is not None and sem_hit["value"] == sem["value"]
