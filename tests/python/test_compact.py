"""compact(), space() and set_auto_compact() through the module: what survives, what the
report predicts, arguments, a real process killed mid-compaction, and the path: a file
renamed over it, what lies at <path>.compacting, the file's mode and owner."""

import os
import re
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, RO_MESSAGE, vec

pytestmark = pytest.mark.usefixtures("file_format")


def fill_with_history(db, memories=40, flushes=6):
    """Memories, an index, cache entries (one replaced), a deletion and several flushes that
    move access counters, so the file holds garbage and a few snapshots."""
    ids = [db.remember(f"memory {n}", "episodic", vec(1, n, n % 3), metadata={"n": n}) for n in range(memories)]
    db.flush()
    db.build_index()
    db.cache_put("ns", "key", "first")
    db.cache_put("ns", "key", "second")
    db.cache_put_semantic("sem", "q", vec(1), b"near", "m")
    db.delete(ids[3])
    for n in range(flushes):
        db.recall(vec(1, n), top_k=3)
        db.flush()
    return ids


def memories(db):
    """Every live memory dict, by id."""
    query = [1.0] * db.stats()["dimensions"]
    return sorted((m for m, _ in db.search(query, top_k=1 << 20)), key=lambda m: m["id"])


def visible(db):
    """What a caller sees, without staging anything."""
    return {
        "memories": memories(db),
        "snapshots": db.snapshots(),
        "recall": [r["id"] for r in db.recall(vec(1, 2), top_k=5, track_access=False)],
        "stats": {k: v for k, v in db.stats().items() if k != "file_bytes"},
    }


@pytest.mark.parametrize("keep_history", [True, False])
def test_compact_keeps_what_is_visible_and_gives_back_what_space_predicted(db_path, keep_history, file_format):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    fill_with_history(db)
    before = visible(db)  # its stats name the format, which the compaction keeps
    space = db.space()
    assert set(space) == {"file_bytes", "current_bytes", "history_bytes", "reclaimable_bytes", "auto_compact_error",
                          "format_version"}
    assert space["auto_compact_error"] is None and space["format_version"] == file_format
    assert space["file_bytes"] == os.path.getsize(db_path)
    assert space["file_bytes"] == space["current_bytes"] + space["history_bytes"] + space["reclaimable_bytes"]

    reclaimed = db.compact(keep_history=keep_history)
    expected = space["reclaimable_bytes"] + (0 if keep_history else space["history_bytes"])
    assert reclaimed == expected > 0
    assert os.path.getsize(db_path) == space["file_bytes"] - reclaimed
    assert sorted(os.listdir(os.path.dirname(db_path))) == [os.path.basename(db_path)]

    after = visible(db)
    if not keep_history:
        before["snapshots"] = before["snapshots"][-1:]
        before["stats"]["snapshots"] = 1
        before["stats"]["deleted"] = 0
    assert after == before
    assert db.cache_get("ns", "key")["value"] == b"second"
    assert db.cache_get_semantic("sem", vec(1), "m")["value"] == b"near"
    del db
    reopened = ormel.open(db_path, PASSPHRASE)
    assert visible(reopened) == after
    assert reopened.verify() == len(after["memories"])


@pytest.mark.parametrize("keep_history", [True, False], ids=["history", "no-history"])
def test_compaction_to_v9_converts_and_keeps_everything(db_path, file_format, keep_history):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    ids = fill_with_history(db)
    before = visible(db)
    history = db.history(ids[0])
    first = db.snapshots()[0]
    db.compact(keep_history=keep_history, format_version=9)
    assert db.format_version == db.space()["format_version"] == 9
    before["stats"]["format_version"] = 9
    if not keep_history:
        before["snapshots"] = before["snapshots"][-1:]
        before["stats"].update(snapshots=1, deleted=0)
    assert visible(db) == before
    if keep_history:
        assert db.history(ids[0]) == history
    assert db.cache_get("ns", "key")["value"] == b"second"
    assert db.cache_get_semantic("sem", vec(1), "m")["value"] == b"near"
    del db
    reopened = ormel.open(db_path, PASSPHRASE, format_version=9)
    assert visible(reopened) == before
    assert reopened.verify() == len(before["memories"])
    if keep_history:
        assert reopened.restore_to(first["txn_id"]) == first
        assert len(reopened.ids()) == first["memory_count"]


def test_compaction_to_version_8_never_converts_back(db_path, file_format):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    fill_with_history(db)
    db.remember("staged", "semantic", vec(0, 1))
    before = (visible(db), Path(db_path).read_bytes())
    if file_format == 8:
        db.compact(format_version=8)  # the file's own version: an ordinary compaction
        assert db.format_version == 8 and memories(db) == before[0]["memories"]
        assert db.snapshots()[-1]["memory_count"] == len(before[0]["memories"])  # the staged one committed
        return
    with pytest.raises(ormel.InvalidArgument, match=f"cannot convert a version {file_format} file to version 8"):
        db.compact(format_version=8)
    # Refused before its flush: the file is as it was and the memory still staged.
    assert (visible(db), Path(db_path).read_bytes()) == before
    assert db.format_version == file_format


def test_every_snapshot_restores_the_same_after_compaction(tmp_path):
    path = str(tmp_path / "h.ormel")
    db = ormel.open(path, PASSPHRASE, dimensions=DIMS)
    fill_with_history(db, flushes=3)
    del db

    def restored(file_path):
        out = []
        for snap in ormel.open(file_path, PASSPHRASE, read_only=True).snapshots():
            copy = str(tmp_path / f"copy-{len(out)}.ormel")
            with open(file_path, "rb") as src, open(copy, "wb") as dst:
                dst.write(src.read())
            handle = ormel.open(copy, PASSPHRASE)
            assert handle.restore_to(snap["txn_id"]) == snap
            out.append((snap, memories(handle), handle.has_index()))
            del handle
            os.remove(copy)
        return out

    before = restored(path)
    db = ormel.open(path, PASSPHRASE)
    db.compact()
    del db
    assert restored(path) == before
    assert len(before) >= 4


def test_read_only_handle_refuses_and_changes_nothing(ro_db):
    handle, _ = ro_db
    with open(handle.path, "rb") as f:
        original = f.read()
    with pytest.raises(RuntimeError) as info:
        handle.compact()
    assert str(info.value) == RO_MESSAGE
    assert handle.space()["reclaimable_bytes"] >= 0
    with open(handle.path, "rb") as f:
        assert f.read() == original
    assert os.listdir(os.path.dirname(handle.path)) == [os.path.basename(handle.path)]


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda db: db.set_auto_compact(-1), OverflowError, "'min_bytes'"),
        (lambda db: db.set_auto_compact(1 << 20, ratio=float("nan")), ValueError, "ratio must be a finite number"),
        (lambda db: db.set_auto_compact(1 << 20, ratio=-0.5), ValueError, "ratio must be a finite number"),
        (lambda db: db.set_auto_compact(1 << 20, ratio="x"), TypeError, "'ratio'"),
        (lambda db: db.set_auto_compact(None, ratio=2.0), TypeError, "no ratio when min_bytes is None"),
        (lambda db: db.compact(keep_history=1), TypeError, "'keep_history'"),
    ],
)
def test_argument_errors(db, call, error, match):
    with pytest.raises(error, match=match):
        call(db)


def test_automatic_compaction_keeps_the_file_bounded(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    db.set_max_snapshots(3)
    db.set_auto_compact(min_bytes=256 * 1024, ratio=1.0)
    for n in range(30):
        db.remember(f"m{n}", "semantic", vec(1, n))
    db.flush()
    sizes = []
    for turn in range(400):
        db.recall(vec(1, turn % 30), top_k=3)  # access counters: a new catalog run per flush
        db.flush()
        sizes.append(os.path.getsize(db_path))
    space = db.space()
    kept = space["current_bytes"] + space["history_bytes"]
    assert max(sizes) <= 2 * kept + 256 * 1024 + 16 * 8192
    assert any(b < a for a, b in zip(sizes, sizes[1:]))
    assert [s["memory_count"] for s in db.snapshots()] == [30, 30, 30]
    db.set_auto_compact(None)
    grown = os.path.getsize(db_path)
    for turn in range(100):
        db.recall(vec(1, turn % 30), top_k=3)
        db.flush()
    assert os.path.getsize(db_path) > grown + 100 * 8192


CHILD = textwrap.dedent(
    """
    import sys
    import ormel
    db = ormel.open(sys.argv[1], sys.argv[2])
    print("ready", flush=True)
    while True:
        db.compact()
    """
)


@pytest.fixture(scope="module")
def large_file(tmp_path_factory, file_format):
    """A database that takes a while to compact, and what a caller sees in it (one per format)."""
    path = str(tmp_path_factory.mktemp("large") / "large.ormel")
    db = ormel.open(path, PASSPHRASE, dimensions=64)
    for batch in range(6):
        for n in range(400):
            db.remember("x" * 600 + f" {batch}-{n}", "episodic", [float((n * 7 + k) % 13) for k in range(64)])
        db.flush()
    seen = (memories(db), db.snapshots())
    del db
    with open(path, "rb") as f:
        return f.read(), seen


@pytest.mark.parametrize("delay", [0.0, 0.05, 0.15, 0.3, 0.6, 1.0])
def test_killed_mid_compaction_the_path_opens_complete_and_locked_throughout(tmp_path, large_file, delay):
    contents, (live, snapshots) = large_file
    path = str(tmp_path / "db.ormel")
    with open(path, "wb") as f:
        f.write(contents)
    child = subprocess.Popen([sys.executable, "-c", CHILD, path, PASSPHRASE], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        deadline = time.monotonic() + delay
        while True:  # no other process opens the path while the child compacts
            with pytest.raises(RuntimeError, match="^file already locked by another handle: "):
                ormel.open(path, PASSPHRASE, read_only=True)
            if time.monotonic() >= deadline:
                break
            time.sleep(0.01)
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait()
        child.stdout.close()
    leftovers = set(os.listdir(tmp_path)) - {"db.ormel", "db.ormel.compacting"}
    assert leftovers == set()
    db = ormel.open(path, PASSPHRASE)
    assert os.listdir(tmp_path) == ["db.ormel"]  # a read-write open removes the leftover
    assert memories(db) == live
    assert db.snapshots() == snapshots
    db.compact()
    assert os.listdir(tmp_path) == ["db.ormel"]
    assert db.verify() == len(live)


def test_a_symlinked_path_stays_a_link_to_the_compacted_file(tmp_path):
    (tmp_path / "data").mkdir()
    target = tmp_path / "data" / "real.ormel"
    link = tmp_path / "link.ormel"
    # Created at its target: creation is exclusive, so it refuses a path that is a symlink.
    ormel.open(str(target), PASSPHRASE, dimensions=DIMS).flush()
    link.symlink_to(target)
    db = ormel.open(str(link), PASSPHRASE)
    fill_with_history(db, flushes=2)
    before = visible(db)
    assert db.compact(keep_history=False) > 0
    assert link.is_symlink() and os.path.realpath(link) == str(target)
    assert sorted(os.listdir(tmp_path / "data")) == ["real.ormel"]
    del db
    after = visible(ormel.open(str(target), PASSPHRASE))
    assert after["memories"] == before["memories"]


def remember_and_delete(db, count):
    """`count` memories, every other one then deleted, over two flushes: garbage to give back."""
    ids = [db.remember(f"note {n}", "semantic", vec(1, n)) for n in range(count)]
    db.flush()
    for gone in ids[::2]:
        db.delete(gone)
    db.flush()
    return ids[1::2]


def test_a_stale_handle_never_replaces_the_file_renamed_over_its_path(db_path, tmp_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    kept = db.remember("in the backup", "semantic", vec(1))
    db.flush()
    shutil.copy(db_path, tmp_path / "backup.ormel")
    remember_and_delete(db, 10)
    os.replace(tmp_path / "backup.ormel", db_path)  # the user restores the backup
    with open(db_path, "rb") as f:
        restored = f.read()
    message = f"^io error: {re.escape(db_path)}: the path no longer names the file this handle opened"
    with pytest.raises(RuntimeError, match=message):
        db.compact()
    db.set_auto_compact(min_bytes=0, ratio=0.0)
    remember_and_delete(db, 10)  # the flushes commit; their automatic compactions are refused
    assert re.match(message, db.space()["auto_compact_error"])  # and say so until one succeeds
    with open(db_path, "rb") as f:
        assert f.read() == restored
    assert os.listdir(tmp_path) == ["test.ormel"]
    del db
    assert ormel.open(db_path, PASSPHRASE).get(kept)["content"] == "in the backup"


@pytest.mark.parametrize("leftover", ["link to a file", "dangling link", "directory"])
def test_what_lies_at_the_compacting_name_is_never_written_through(db_path, tmp_path, leftover):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    live = remember_and_delete(db, 10)
    temp = tmp_path / "test.ormel.compacting"
    notes = tmp_path / "notes.txt"
    notes.write_text("not a database")
    if leftover == "directory":
        temp.mkdir()
        with pytest.raises(RuntimeError, match=f"^io error: {re.escape(str(temp))}: Is a directory$"):
            db.compact()
        temp.rmdir()
    else:
        temp.symlink_to(notes if leftover == "link to a file" else tmp_path / "missing")
    assert db.compact() > 0
    assert notes.read_text() == "not a database"
    assert not os.path.islink(db_path) and not os.path.lexists(temp)
    assert sorted(os.listdir(tmp_path)) == ["notes.txt", "test.ormel"]
    assert [db.get(i)["content"] for i in live] == [f"note {n}" for n in range(1, 10, 2)]


@pytest.mark.parametrize("mode, owner", [(0o600, None), (0o640, None), (0o660, (4321, 8765))])
def test_the_compacted_file_keeps_mode_owner_and_group(db_path, mode, owner):
    if owner is not None and os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    remember_and_delete(db, 10)
    os.chmod(db_path, mode)
    if owner is not None:
        os.chown(db_path, *owner)
    before = os.stat(db_path)
    assert db.compact() > 0
    after = os.stat(db_path)
    assert after.st_ino != before.st_ino
    assert (after.st_mode & 0o7777, after.st_uid, after.st_gid) == (mode, before.st_uid, before.st_gid)


def test_a_leftover_copy_goes_at_passphrase_change_and_read_write_open(db_path):
    """A compaction killed before its rename leaves a copy that opens with the passphrase of
    its time and holds the same data key."""
    leftover = db_path + ".compacting"
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    db.remember("secret", "semantic", vec(1))
    db.flush()
    shutil.copy(db_path, leftover)
    db.change_passphrase("new passphrase")
    assert not os.path.exists(leftover)
    del db
    shutil.copy(db_path, leftover)
    ormel.open(db_path, "new passphrase", read_only=True)
    assert os.path.exists(leftover)
    ormel.open(db_path, "new passphrase")
    assert not os.path.exists(leftover)


def test_deleted_memories_give_their_space_back_once_no_kept_snapshot_holds_them(db_path, file_format):
    # A record takes a page of its own in version 8; version 9 packs records, so a deleted
    # one gives back at least its vector (4 bytes a value) and its content.
    per_record = 8192 if file_format == 8 else 4 * DIMS + len("memory 100")
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    db.set_max_snapshots(1)
    ids = [db.remember(f"memory {n}", "episodic", vec(1, n)) for n in range(200)]
    db.flush()
    for gone in ids[:150]:
        db.delete(gone)
    db.flush()
    predicted = db.space()["reclaimable_bytes"]
    assert db.compact() == predicted >= 150 * per_record
    assert db.stats()["memories"] == 50
    assert [db.get(i)["content"] for i in ids[150:]] == [f"memory {n}" for n in range(150, 200)]
