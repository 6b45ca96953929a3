"""Files of format versions 4 to 7, written by the independent test writer, open read-write,
read back unchanged, and after one flush are version 8 files that the strict reader accepts."""
import pytest

import legacy_format as lf
import ormel
from conftest import vec

PASS = "upgrade passphrase \u2014 \u00e9t\u00e9"
KDF = (64, 1, 1)
DIMS = 4
BLOCKED = "read-only open blocked: pending format-version migration \u2014 open read-write once to fix"


def legacy_memory(n, **over):
    m = {"id": lf.make_ulid(1_600_000_000_000 + n, 7727 * n), "memory_type": lf.MEMORY_TYPES[n % 4],
         "vector": [2.0 ** -n, 0.5 * n, -0.25 * n, 1.0], "content": f"legacy {n} \u2014 caf\u00e9",
         "metadata": {"n": n, "neg": -n, "f": 0.5 * n, "nested": {"ok": n % 2 == 0, "none": None}},
         "agent_id": f"agent-{n % 2}", "session_id": None if n % 2 else f"S{n}",
         "scope": lf.SCOPES[n % 2], "created_at": 1_600_000_000 + n, "accessed_at": 1_600_000_900 + n,
         "access_count": n, "importance": 0.125 * n, "ttl_secs": None if n % 3 else 5_000_000_000}
    m.update(over)
    return m


def index_over(ids):
    """A valid two-partition index that probes both partitions, so recall through it sees all."""
    return {"dims": DIMS, "n_partitions": 2, "n_probe": 2, "n_rerank": 16,
            "centroids": [1.0, 1.0, -1.0, 1.0, 0.25, 2.0, -1.0, 1.0],
            "pq": {"sub_offsets": [0, 2, 4], "centroids": [[1.0, 0.5, 0.5, 2.0], [-0.5, 1.0, -1.0, 1.0]],
                   "ks": [2, 2]},
            "partitions": [{"ids": ids[:2], "codes": [0, 0, 0, 0]},
                           {"ids": ids[2:], "codes": [1, 1] * len(ids[2:])}]}


class Legacy:
    """A written legacy file and what the upgrade must make of it."""

    def __init__(self, tmp_path, version, with_index):
        mems = [legacy_memory(n) for n in range(1, 7)]
        mems[3]["content"] = "spans two pages " + "x" * 9000
        ids = [m["id"] for m in mems]
        self.deleted = [ids[1], ids[4]]
        live_ids = [i for i in ids if i not in self.deleted]
        self.catalog_access = {i: (1_700_000_000 + k, 500 + k) for k, i in enumerate(ids)}
        self.index = index_over(live_ids) if with_index else None
        self.path = str(tmp_path / f"v{version}.ormel")
        lf.write_database(self.path, version, PASS, DIMS, mems, deleted_ids=self.deleted, index=self.index,
                          catalog_access=self.catalog_access if version >= 5 else None, kdf=KDF,
                          created_at=1_600_000_000, txn_id=7)
        self.version, self.records = version, {m["id"]: m for m in mems}
        self.live = []  # legacy form, access fields as the upgraded catalog must hold them
        for m in mems:
            if m["id"] not in self.deleted:
                e = dict(m)
                if version >= 5:
                    e["accessed_at"], e["access_count"] = self.catalog_access[m["id"]]
                self.live.append(e)


@pytest.fixture(params=[(v, ix) for v in (4, 5, 6, 7) for ix in (False, True)],
                ids=lambda p: f"v{p[0]}-{'index' if p[1] else 'noindex'}")
def legacy(request, tmp_path):
    return Legacy(tmp_path, *request.param)


def strip_scores(results):
    return [{k: v for k, v in r.items() if k not in ("score", "similarity")} for r in results]


def test_upgrade_reads_back_and_commits_version_8(legacy):
    with pytest.raises(RuntimeError) as err:
        ormel.open(legacy.path, PASS, read_only=True)
    assert str(err.value) == BLOCKED
    expected = [lf.module_dict(m) for m in legacy.live]
    by_id = {m["id"]: m for m in expected}

    db = ormel.open(legacy.path, PASS)
    assert [db.get(m["id"]) for m in expected] == expected
    for gone in legacy.deleted:
        with pytest.raises(RuntimeError, match="not found"):
            db.get(gone)
    recalled = strip_scores(db.recall(vec(1.0, 1.0), top_k=10, track_access=False))
    assert sorted(recalled, key=lambda m: m["id"]) == sorted(expected, key=lambda m: m["id"])
    hits = db.search(vec(0.5, 0.5, 0.5, 0.5), top_k=10)
    assert len(hits) == len(expected) and all(m == by_id[m["id"]] for m, _ in hits)
    assert db.has_index() == (legacy.index is not None)
    assert db.snapshots() == []
    assert db.stats()["memories"] == len(expected) and db.stats()["deleted"] == len(legacy.deleted)
    db.close()
    (snap,) = db.snapshots()
    assert snap["memory_count"] == len(expected) and snap["txn_id"] == 8
    del db

    # The strict reader sees a version 8 file: record pages bind their page number, the
    # catalog is in the current layout with the access fields the upgrade gave it.
    f = lf.read_database(legacy.path, PASS)
    assert f["version"] == 8 and f["wal_pending"] is None
    assert f["memories"] == legacy.live
    assert [f["records"][m["id"]] for m in legacy.live] == [legacy.records[m["id"]] for m in legacy.live]
    assert f["deleted_ids"] == legacy.deleted
    for row in f["catalog"]:
        if row["deleted"] and legacy.version == 4:
            assert (row["accessed_at"], row["access_count"]) == (0, 0)
        elif row["deleted"]:
            assert (row["accessed_at"], row["access_count"]) == legacy.catalog_access[row["id"]]
    assert [(s["txn_id"], s["memory_count"]) for s in f["snapshots"]] == [(8, len(expected))]
    assert f["index"] == legacy.index
    assert f["cache_directory"] == []

    ro = ormel.open(legacy.path, PASS, read_only=True)
    assert [ro.get(m["id"]) for m in expected] == expected
    assert strip_scores(ro.recall(vec(1.0, 1.0), top_k=10, track_access=False)) == recalled
    assert ro.has_index() == (legacy.index is not None)
    assert len(ro.snapshots()) == 1


def test_upgrade_pages_bind_page_number(tmp_path):
    """A version 5 record page moved to another page number fails before the upgrade only
    under the new rule; after it, every live record page authenticates with its number bound."""
    legacy = Legacy(tmp_path, 5, False)
    before = lf.LegacyFile(legacy.path, PASS)
    first = next(r for r in lf.read_database(legacy.path, PASS)["catalog"] if not r["deleted"])
    with pytest.raises(lf.LegacyFormatError):
        lf.open_page(before.dek, 8, first["start_page"], before.image(first["start_page"]))
    ormel.open(legacy.path, PASS).close()
    after = lf.LegacyFile(legacy.path, PASS)
    assert after.version == 8
    for row in lf.read_database(legacy.path, PASS)["catalog"]:
        if row["deleted"]:
            continue
        for page in range(row["start_page"], row["start_page"] + row["page_count"]):
            lf.open_page(after.dek, 8, page, after.image(page))  # raises if not bound
            with pytest.raises(lf.LegacyFormatError):
                lf.open_page(after.dek, 5, page, after.image(page))


def test_exit_before_flush_leaves_old_file(tmp_path):
    legacy = Legacy(tmp_path, 4, True)
    with open(legacy.path, "rb") as f:
        original = f.read()
    db = ormel.open(legacy.path, PASS)
    assert db.get(legacy.live[0]["id"]) == lf.module_dict(legacy.live[0])
    del db  # dropped without flushing: nothing was written
    with open(legacy.path, "rb") as f:
        assert f.read() == original
    with pytest.raises(RuntimeError, match="pending format-version migration"):
        ormel.open(legacy.path, PASS, read_only=True)


def test_empty_version_4_catalog(tmp_path):
    path = str(tmp_path / "empty.ormel")
    lf.write_database(path, 4, PASS, DIMS, [], kdf=KDF, snapshots=False)
    db = ormel.open(path, PASS)
    assert db.stats()["memories"] == 0 and db.snapshots() == []
    db.close()
    f = lf.read_database(path, PASS)
    assert f["version"] == 8 and f["catalog"] == [] and len(f["snapshots"]) == 1
