"""change_passphrase on a real file: only the new passphrase opens the file and a copy of it,
no byte of the old key material is left, the data and snapshots are kept, and the argument
and read-only rules hold."""

import shutil
import struct

import pytest

import legacy_format as lf
import ormel
from conftest import DIMS, PASSPHRASE, RO_MESSAGE, vec

pytestmark = pytest.mark.usefixtures("file_format")

NEW = "a new passphrase"
WRONG = "wrong passphrase, or the key material has been tampered with"
# kdf_salt, dek_nonce and wrapped_dek: bytes 86 to 162 of the header page.
KEY_FIELDS = [(86, 16), (102, 12), (114, 48)]


def key_fields(path):
    with open(path, "rb") as f:
        header = f.read(162)
    return [header[at:at + size] for at, size in KEY_FIELDS]


def test_only_the_new_passphrase_opens_the_file_and_its_copy(db_path, tmp_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    first = db.remember("first", "semantic", vec(1))
    db.cache_put("answers", "k", "v")  # flushes
    second = db.remember("second", "episodic", vec(0, 1))  # staged: the change flushes it
    snapshots = db.snapshots()
    old_fields = key_fields(db_path)

    db.change_passphrase(NEW)
    after = db.snapshots()  # the flush's snapshot, then the change's, of the same state
    assert after[:len(snapshots)] == snapshots and len(after) == len(snapshots) + 2
    assert after[-1]["memory_count"] == after[-2]["memory_count"] == 2
    del db

    data = open(db_path, "rb").read()
    for field in old_fields:
        assert field not in data
    copy = str(tmp_path / "copy.ormel")
    shutil.copyfile(db_path, copy)
    for path in (db_path, copy):
        with pytest.raises(RuntimeError, match=f"^{WRONG}$"):
            ormel.open(path, PASSPHRASE)
        reopened = ormel.open(path, NEW)
        assert [reopened.get(i)["content"] for i in (first, second)] == ["first", "second"]
        assert reopened.cache_get("answers", "k")["value"] == b"v"
        assert reopened.snapshots()[:len(snapshots)] == snapshots
        reopened.restore_to(snapshots[0]["txn_id"])
        assert {m["id"] for m, _ in reopened.search(vec(1), top_k=5)} == {first}
        del reopened


def test_read_only_handle_refuses_and_writes_nothing(db_path, ro_db):
    handle, _ = ro_db
    before = open(db_path, "rb").read()
    with pytest.raises(RuntimeError) as info:
        handle.change_passphrase(NEW)
    assert str(info.value) == RO_MESSAGE
    assert open(db_path, "rb").read() == before


@pytest.mark.parametrize("bad", [None, b"bytes", 5])
def test_passphrase_must_be_str(db, bad):
    with pytest.raises(TypeError):
        db.change_passphrase(bad)


def test_empty_passphrase_gets_the_answer_of_creation(db_path, tmp_path):
    try:
        ormel.open(str(tmp_path / "empty.ormel"), "", dimensions=DIMS)
        created = None
    except (RuntimeError, ValueError) as error:
        created = (type(error), str(error))
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    try:
        db.change_passphrase("")
        changed = None
    except (RuntimeError, ValueError) as error:
        changed = (type(error), str(error))
    assert changed == created
    if created is None:
        del db
        ormel.open(db_path, "")


@pytest.mark.parametrize("version", [4, 7])
def test_older_file_is_upgraded_then_rewrapped_at_its_own_cost(tmp_path, version):
    """The flush before the change commits the upgrade; the new key keeps the file's Argon2
    costs (a cheap 64 KiB, 1 pass here), and the independent reader accepts the result."""
    path = str(tmp_path / f"v{version}.ormel")
    memories = [{"id": lf.make_ulid(1_600_000_000_000 + n, n), "memory_type": "Semantic", "vector": vec(1, n),
                 "content": f"legacy {n}", "metadata": {"n": n}, "agent_id": "a", "session_id": None,
                 "scope": "Private", "created_at": 1_600_000_000, "accessed_at": 1_600_000_000,
                 "access_count": 0, "importance": 0.5, "ttl_secs": None} for n in range(3)]
    lf.write_database(path, version, PASSPHRASE, DIMS, memories, kdf=(64, 1, 1))
    old_fields = key_fields(path)
    db = ormel.open(path, PASSPHRASE)
    db.change_passphrase(NEW)
    del db
    data = open(path, "rb").read()
    for field in old_fields:
        assert field not in data
    assert struct.unpack_from("<III", data, 74) == (64, 1, 1)
    parsed = lf.read_database(path, NEW)
    assert parsed["version"] == 8 and not parsed["wal_pending"]
    assert [m["content"] for m in parsed["memories"]] == [f"legacy {n}" for n in range(3)]
    with pytest.raises(RuntimeError, match=f"^{WRONG}$"):
        ormel.open(path, PASSPHRASE)
