"""Statistics, verification, export and the onboarding manifest, through the module."""

from __future__ import annotations

import os
import stat

import pytest

import ormel

pytestmark = pytest.mark.usefixtures("file_format")

PASS = "pw"
SCAFFOLD_PREFIX = "ORMEL MANIFEST (scaffold) — Fresh "


def vec(dims: int, *head: float) -> list[float]:
    return list(head) + [0.0] * (dims - len(head))


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "stats.ormel")


def test_stats_of_an_empty_database(path, file_format):
    db = ormel.open(path, PASS, dimensions=4)
    assert db.stats() == {
        "memories": 0,
        "deleted": 0,
        "dimensions": 4,
        "file_bytes": 9 * 8192,
        "agents": [],
        "encrypted": True,
        "created_at": db.stats()["created_at"],
        "wal_pages": 8,
        "snapshots": 0,
        "index": None,
        "format_version": file_format,
    }
    assert list(db.stats()) == ["memories", "deleted", "dimensions", "file_bytes", "agents", "encrypted",
                                "created_at", "wal_pages", "snapshots", "index", "format_version"]
    assert db.verify() == 0


def test_stats_follow_deletes_agents_and_the_index(path):
    db = ormel.open(path, PASS, dimensions=4)
    ids = [db.remember("x", "semantic", vec(4, 1), agent_id=agent) for agent in ("b", "a", "b", "c")]
    assert db.stats()["agents"] == ["a", "b", "c"]
    db.delete(ids[3])
    stats = db.stats()
    assert (stats["memories"], stats["deleted"], stats["agents"]) == (3, 1, ["a", "b"])
    db.build_index()
    assert db.stats()["index"] == {"vectors": 3, "partitions": 2, "subspaces": 1}
    db.flush()
    assert db.stats()["file_bytes"] % 8192 == 0
    assert db.stats()["snapshots"] == 1
    db.drop_index()
    assert db.stats()["index"] is None


def test_verify_reports_a_tampered_record_page_once_it_is_not_cached(path):
    db = ormel.open(path, PASS, dimensions=4)
    db.remember("first", "semantic", vec(4, 1))
    db.remember("second", "semantic", vec(4, 0, 1))
    db.close()
    del db
    # The first record lives on page 9, right after the header and the log region.
    with open(path, "r+b") as f:
        f.seek(9 * 8192 + 100)
        byte = f.read(1)
        f.seek(9 * 8192 + 100)
        f.write(bytes([byte[0] ^ 0x01]))
    db = ormel.open(path, PASS)
    with pytest.raises(RuntimeError, match=r"^page 9: failed authentication — the file is corrupt or tampered$"):
        db.verify()


def test_export_copies_a_committed_state_with_the_permission_bits(path, tmp_path):
    db = ormel.open(path, PASS, dimensions=4)
    db.remember("kept", "semantic", vec(4, 1))
    os.chmod(path, 0o640)
    dest = str(tmp_path / "copy.ormel")
    with open(dest, "wb") as f:
        f.write(b"old contents that must disappear" * 1000)
    db.export_encrypted(dest)  # flushes first
    assert stat.S_IMODE(os.stat(dest).st_mode) == 0o640
    with open(path, "rb") as a, open(dest, "rb") as b:
        assert a.read() == b.read()
    copy = ormel.open(dest, PASS, read_only=True)
    assert copy.snapshots() == db.snapshots()
    assert [m["content"] for m, _ in copy.search(vec(4, 1))] == ["kept"]


def test_export_failures(path, tmp_path):
    db = ormel.open(path, PASS, dimensions=4)
    with pytest.raises(RuntimeError, match=r"^export failed: "):
        db.export_encrypted(str(tmp_path / "missing-dir" / "copy.ormel"))
    db.close()
    del db
    ro = ormel.open(path, PASS, read_only=True)
    dest = tmp_path / "never.ormel"
    with pytest.raises(RuntimeError, match=r"^operation requires a read-write handle \(this one is read-only\)$"):
        ro.export_encrypted(str(dest))
    assert not dest.exists()


def test_export_onto_the_database_itself_is_refused_and_loses_nothing(path, tmp_path):
    db = ormel.open(path, PASS, dimensions=4)
    kept = db.remember("kept", "semantic", vec(4, 1))
    db.flush()
    hard_link = str(tmp_path / "hard-link.ormel")
    os.link(path, hard_link)
    sym_link = str(tmp_path / "sym-link.ormel")
    os.symlink(path, sym_link)
    dotted = os.path.join(os.path.dirname(path), ".", os.path.basename(path))
    for same_file in (path, dotted, hard_link, sym_link):
        size = os.path.getsize(path)
        with pytest.raises(RuntimeError, match=r"^export failed: the destination is the database file itself$"):
            db.export_encrypted(same_file)
        assert os.path.getsize(path) == size
    assert sorted(os.listdir(tmp_path)) == ["hard-link.ormel", "stats.ormel", "sym-link.ormel"]
    db.close()
    del db
    assert ormel.open(path, PASS).get(kept)["content"] == "kept"


def test_failed_export_leaves_the_destination_untouched(path, tmp_path):
    db = ormel.open(path, PASS, dimensions=4)
    db.remember("kept", "semantic", vec(4, 1))
    # A directory cannot be replaced by the copy: the export fails after copying.
    dest = tmp_path / "occupied"
    dest.mkdir()
    (dest / "inside").write_bytes(b"previous")
    with pytest.raises(RuntimeError, match=r"^export failed: Is a directory$"):
        db.export_encrypted(str(dest))
    assert (dest / "inside").read_bytes() == b"previous"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["occupied", "stats.ormel"]


def test_export_through_a_symbolic_link_replaces_its_target(path, tmp_path):
    db = ormel.open(path, PASS, dimensions=4)
    db.remember("kept", "semantic", vec(4, 1))
    target = tmp_path / "target.ormel"
    target.write_bytes(b"old")
    link = tmp_path / "link.ormel"
    link.symlink_to(target)
    db.export_encrypted(str(link))
    assert link.is_symlink()
    with open(path, "rb") as f:
        assert target.read_bytes() == f.read()


def test_page_cache_capacity_never_drops_below_one(path):
    db = ormel.open(path, PASS, dimensions=4)
    before = db.stats()["file_bytes"]
    for i in range(3):
        db.remember(str(i), "semantic", vec(4, 1))
    staged = (db.stats()["file_bytes"] - before) // 8192  # 3 pages, or 1 where records are packed
    db.set_cache_capacity(0)
    cached, capacity = db.page_cache_stats()
    assert capacity == 1
    assert cached == staged == (3 if db.format_version == 8 else 1)  # staged pages are never evicted
    db.flush()
    assert db.page_cache_stats() == (1, 1)


def test_scaffold_manifest(path):
    db = ormel.open(path, PASS, dimensions=384)
    assert db.about() == []
    manifest_id = db.insert_default_manifest()
    [manifest] = db.about()
    assert manifest["id"] == manifest_id
    assert manifest["content"].startswith(SCAFFOLD_PREFIX)
    assert "Fresh 384-dimensional database created by `ormel init`." in manifest["content"]
    assert 'keep the metadata keys `area="onboarding"` and `topic="manifest"`' in manifest["content"]
    assert manifest["metadata"] == {
        "area": "onboarding",
        "dimensions": 384,
        "engine_version": "0.4.0",
        "scaffold": True,
        "topic": "manifest",
    }
    assert (manifest["memory_type"], manifest["agent_id"], manifest["scope"], manifest["importance"]) == (
        "semantic", "ormel", "shared", 1.0)
    assert manifest["vector"] == [0.0] * 384
    db.delete(manifest_id)
    assert db.about() == []


def test_about_orders_manifests_first_then_importance_then_age(path):
    db = ormel.open(path, PASS, dimensions=4)
    v = vec(4, 1)
    cases = [
        ("plain high", {"area": "onboarding"}, 0.9),
        ("manifest low", {"area": "ONBOARDING", "topic": "Manifest"}, 0.1),
        ("plain high later", {"area": "Onboarding"}, 0.9),
        ("not onboarding: shorter word", {"area": "onboard"}, 1.0),
        ("not onboarding: a number", {"area": 1}, 1.0),
        ("manifest without area", {"topic": "manifest"}, 1.0),
    ]
    for content, metadata, importance in cases:
        db.remember(content, "semantic", v, metadata=metadata, importance=importance)
    assert [m["content"] for m in db.about()] == ["manifest low", "plain high", "plain high later"]
    ro_path = path
    db.close()
    del db
    ro = ormel.open(ro_path, PASS, read_only=True)
    assert len(ro.about()) == 3
    with pytest.raises(RuntimeError, match="read-only"):
        ro.insert_default_manifest()
