"""Finding and removing damaged memories: ids(), verify(all_errors=True), and the repair recipe
of the README on a database with one record page damaged on purpose."""

import os
import pathlib
import re

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

pytestmark = pytest.mark.usefixtures("file_format")

PAGE_SIZE = 8192


def remember_at_known_page(db, content, vector, **kwargs):
    """Remembers one memory and returns (id, a page only its record touches): the next free
    page, which the statistics report as the file's size. A version 8 record begins there. A
    version 9 record may begin on the page before, after records of its transaction; padded
    metadata makes it cover the next free page whole, so no other record shares it."""
    page = db.stats()["file_bytes"] // PAGE_SIZE
    if db.format_version >= 9:
        kwargs["metadata"] = {"padding": "p" * 2 * PAGE_SIZE}
    return db.remember(content, "semantic", vector, **kwargs), page


def damage_page(path, page):
    with open(path, "r+b") as f:
        f.seek(page * PAGE_SIZE + 100)
        byte = f.read(1)
        f.seek(page * PAGE_SIZE + 100)
        f.write(bytes([byte[0] ^ 0x55]))


@pytest.fixture
def damaged(db_path):
    """(path, damaged id, good ids) of a flushed database whose second memory's record page
    was altered on disk after the handle was dropped."""
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    good = [db.remember("first", "semantic", vec(1), agent_id="a")]
    victim, page = remember_at_known_page(db, "victim", vec(0, 1), agent_id="a")
    good.append(db.remember("third", "episodic", vec(1, 1), agent_id="b", shared=True))
    db.flush()
    del db
    damage_page(db_path, page)
    return db_path, victim, good


def test_a_damaged_record_is_found_deleted_and_the_database_works_again(damaged):
    path, victim, good = damaged
    db = ormel.open(path, PASSPHRASE)
    for broken in (db.verify, db.stats, lambda: db.recall(vec(1)), lambda: db.search(vec(1))):
        with pytest.raises(RuntimeError, match="failed authentication"):
            broken()

    report = db.verify(all_errors=True)
    assert report["checked"] == 3
    assert [m["id"] for m in report["memories"]] == [victim]
    assert "failed authentication" in report["memories"][0]["error"]
    assert report["structures"] == []

    for m in report["memories"]:
        db.delete(m["id"])
    db.flush()
    del db

    db = ormel.open(path, PASSPHRASE)
    assert db.verify() == 2
    assert db.verify(all_errors=True) == {"checked": 2, "memories": [], "structures": []}
    assert {r["id"] for r in db.recall(vec(1))} == set(good)
    assert {hit["id"] for hit, _ in db.search(vec(1))} == set(good)
    assert db.stats()["memories"] == 2 and db.stats()["agents"] == ["a", "b"]


def test_ids_lists_damaged_memories_without_their_kind(damaged):
    path, victim, good = damaged
    db = ormel.open(path, PASSPHRASE, read_only=True)
    assert db.ids() == [
        {"id": good[0], "agent_id": "a", "memory_type": "semantic", "scope": "private"},
        {"id": victim, "agent_id": None, "memory_type": None, "scope": None},
        {"id": good[1], "agent_id": "b", "memory_type": "episodic", "scope": "shared"},
    ]


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, ["first", "second", "third"]),
        ({"agent_id": "a"}, ["first", "second"]),
        ({"agent_id": "b"}, ["third"]),  # shared memories of others are not "a"'s
        ({"agent_id": "nobody"}, []),
        ({"memory_type": "EPISODIC"}, ["second", "third"]),
        ({"agent_id": "a", "memory_type": "episodic"}, ["second"]),
    ],
)
def test_ids_filters(db, kwargs, expected):
    by_id = {
        db.remember("first", "semantic", vec(1), agent_id="a"): "first",
        db.remember("second", "episodic", vec(1), agent_id="a"): "second",
        db.remember("third", "episodic", vec(1), agent_id="b", shared=True): "third",
    }
    gone = db.remember("deleted", "episodic", vec(1), agent_id="a")
    db.delete(gone)
    assert [by_id[row["id"]] for row in db.ids(**kwargs)] == expected


def test_ids_and_verify_argument_errors(db):
    with pytest.raises(ValueError, match="^unknown memory_type 'x'$"):
        db.ids(memory_type="x")
    with pytest.raises(TypeError):
        db.ids("a")  # keyword-only
    with pytest.raises(TypeError, match="argument 'all_errors' must be bool"):
        db.verify(all_errors=1)
    with pytest.raises(TypeError):
        db.verify(True)  # keyword-only
    assert db.verify() == 0 and db.verify(all_errors=False) == 0


def test_damaged_cache_entries_are_reported_as_structures(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    page = db.stats()["file_bytes"] // PAGE_SIZE
    db.cache_put("answers", "question", b"value")  # flushes; the entry's page comes first
    del db
    damage_page(db_path, page)
    db = ormel.open(db_path, PASSPHRASE)
    report = db.verify(all_errors=True)
    assert report["memories"] == []
    [structure] = report["structures"]
    assert structure["structure"].startswith("cache entry in namespace 'answers' (key hash ")
    assert "failed authentication" in structure["error"]


def readme_recipe():
    """The code of the README's repair recipe, as written there."""
    readme = (pathlib.Path(__file__).parents[2] / "README.md").read_text()
    section = readme.split("## Repairing a damaged database", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_the_readme_recipe_repairs_a_record_that_older_snapshots_still_hold(tmp_path, monkeypatch):
    """The damaged memory is live in every snapshot before the repair: compacting keeps the
    snapshots that do not reach it, and the file no longer holds the damaged page."""
    monkeypatch.chdir(tmp_path)
    db = ormel.open("agent.ormel", PASSPHRASE, dimensions=DIMS)
    good = [db.remember("first", "semantic", vec(1), agent_id="a")]
    victim, page = remember_at_known_page(db, "victim", vec(0, 1), agent_id="a")
    db.flush()
    good.append(db.remember("third", "episodic", vec(1, 1), agent_id="b"))
    db.flush()
    del db
    damage_page("agent.ormel", page)

    exec(readme_recipe(), {"ormel": ormel, "passphrase": PASSPHRASE})

    db = ormel.open("agent.ormel", PASSPHRASE)
    assert db.verify(all_errors=True) == {"checked": 2, "memories": [], "structures": []}
    assert [s["memory_count"] for s in db.snapshots()] == [2]
    assert {r["id"] for r in db.recall(vec(1))} == set(good)
    db.compact()  # compacting again works too
    db.restore_to(db.snapshots()[0]["txn_id"])
    assert sorted(db.get(i)["content"] for i in good) == ["first", "third"]


@pytest.mark.parametrize(
    "damage, message",
    [("overwrite", "^page {}: failed authentication"), ("truncate", "failed to fill whole buffer")],
    ids=["overwritten", "truncated"],
)
def test_verify_reads_the_file_under_an_open_handle(db_path, damage, message):
    """Pages the handle cached earlier do not hide a file changed under it; the handle itself
    goes on as before."""
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    db.remember("first", "semantic", vec(1))
    last, page = remember_at_known_page(db, "last", vec(0, 1))
    db.flush()
    assert db.stats()["memories"] == 2  # every record page is cached now
    intact = pathlib.Path(db_path).read_bytes()
    if damage == "overwrite":
        damage_page(db_path, page)
    else:
        os.truncate(db_path, page * PAGE_SIZE + 100)
    with pytest.raises(RuntimeError, match=message.format(page)):
        db.verify()
    assert [m["id"] for m in db.verify(all_errors=True)["memories"]] == [last]
    assert db.get(last)["content"] == "last"
    pathlib.Path(db_path).write_bytes(intact)
    assert db.verify() == 2
