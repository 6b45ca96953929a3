"""The module's contents, open's rules, file locking and the database repr."""

import inspect
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import ormel
from conftest import DIMS, PASSPHRASE, RO_MESSAGE, vec


def test_module_contents():
    assert ormel.__version__ == "0.4.0"
    assert ormel.__doc__ == "The `ormel` Python extension module."
    assert ormel.ormel.__doc__ == "The `ormel` Python extension module."
    assert ormel.ormel.__version__ == "0.4.0"
    python_parts = ["Corrupt", "DimensionMismatch", "Error", "InvalidArgument", "Locked", "NotFound", "ReadOnly",
                    "Released", "StorageError", "WrongPassphrase", "AsyncOrmel", "AsyncSession", "open_async"]
    assert sorted(ormel.__all__) == sorted(["Ormel", "Session", "Turn", "__version__", "open"] + python_parts)
    for name in set(ormel.__all__) - set(python_parts):
        assert getattr(ormel, name) is getattr(ormel.ormel, name)
    assert ormel.Ormel.__doc__ == "An open, encrypted Ormel database."
    assert ormel.Ormel.__module__ == "ormel"


def test_open_docstring():
    # The interpreter moves the leading "open(...)\n--\n\n" line into __text_signature__.
    signature = ("(path, passphrase, dimensions=None, read_only=False, *, timeout=None, follow=False, "
                 "format_version=None)")
    assert ormel.open.__text_signature__ == signature
    assert ormel.open.__doc__.split("\n")[0] == "Open an existing database, or create one if `path` does not yet exist."
    assert str(inspect.signature(ormel.open)) == signature


@pytest.mark.parametrize("cls", [ormel.Ormel, ormel.Session])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({}, "dimensions is required when creating a new database"),
        ({"read_only": True}, "read_only=True cannot create a new database"),
        ({"read_only": True, "dimensions": DIMS}, "read_only=True cannot create a new database"),
    ],
)
def test_creation_rules_raise_value_error(db_path, kwargs, message):
    with pytest.raises(ValueError) as info:
        ormel.open(db_path, PASSPHRASE, **kwargs)
    assert str(info.value) == message
    assert not os.path.exists(db_path)


def test_zero_dimensions_is_a_runtime_error(db_path):
    with pytest.raises(RuntimeError) as info:
        ormel.open(db_path, PASSPHRASE, dimensions=0)
    assert str(info.value) == "invalid argument: dimensions must be > 0"


def test_reopen_keeps_stored_dimensions_and_refuses_wrong_passphrase(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    del db
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS + 3)
    assert db.stats()["dimensions"] == DIMS
    del db
    with pytest.raises(RuntimeError) as info:
        ormel.open(db_path, "not the passphrase")
    assert str(info.value) == "wrong passphrase, or the key material has been tampered with"


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "io error: failed to fill whole buffer"),
        (b"x" * 8192, "bad magic bytes \u2014 file is not a .ormel database"),
    ],
)
def test_open_of_a_file_that_is_not_a_database(db_path, content, message):
    pathlib.Path(db_path).write_bytes(content)
    for read_only in (False, True):
        with pytest.raises(RuntimeError) as info:
            ormel.open(db_path, PASSPHRASE, read_only=read_only)
        assert str(info.value) == message


def test_path_object_is_refused(db_path):
    with pytest.raises(TypeError, match="'path'"):
        ormel.open(pathlib.Path(db_path), PASSPHRASE, dimensions=DIMS)
    with pytest.raises(TypeError, match="'passphrase'"):
        ormel.open(db_path, PASSPHRASE.encode(), dimensions=DIMS)
    assert not os.path.exists(db_path)


def test_lock_between_handles_in_one_process(db_path):
    locked = "file already locked by another handle: " + db_path
    writer = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    for read_only in (False, True):
        with pytest.raises(RuntimeError) as info:
            ormel.open(db_path, PASSPHRASE, read_only=read_only)
        assert str(info.value) == locked
    del writer  # destroying the handle releases the lock
    reader_a = ormel.open(db_path, PASSPHRASE, read_only=True)
    reader_b = ormel.open(db_path, PASSPHRASE, read_only=True)
    with pytest.raises(RuntimeError) as info:
        ormel.open(db_path, PASSPHRASE)
    assert str(info.value) == locked
    del reader_a, reader_b
    ormel.open(db_path, PASSPHRASE)


def test_close_keeps_the_lock_until_the_object_is_gone(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    assert db.close() is None
    with pytest.raises(RuntimeError, match="already locked"):
        ormel.open(db_path, PASSPHRASE)
    db.remember("still usable", "semantic", vec(1))  # close only flushed
    del db
    ormel.open(db_path, PASSPHRASE)


def test_lock_held_by_another_process(db_path):
    ormel.open(db_path, PASSPHRASE, dimensions=DIMS).flush()
    holder = textwrap.dedent(
        f"""
        import sys, ormel
        db = ormel.open({db_path!r}, {PASSPHRASE!r})
        print("ready", flush=True)
        sys.stdin.read()
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-c", holder], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            text=True, env=env)
    try:
        assert proc.stdout.readline().strip() == "ready"
        with pytest.raises(RuntimeError) as info:
            ormel.open(db_path, PASSPHRASE, read_only=True)
        assert str(info.value) == "file already locked by another handle: " + db_path
    finally:
        proc.stdin.close()
        assert proc.wait(timeout=60) == 0
    ormel.open(db_path, PASSPHRASE, read_only=True)


def test_repr_counts_live_memories(db, db_path):
    assert repr(db) == f"<ormel.Ormel path='{db_path}' memories=0>"
    first = db.remember("a", "episodic", vec(1))
    db.remember("b", "episodic", vec(0, 1))
    assert repr(db) == f"<ormel.Ormel path='{db_path}' memories=2>"
    db.delete(first)
    assert repr(db) == f"<ormel.Ormel path='{db_path}' memories=1>"


def test_repr_and_path_keep_the_text_as_given(tmp_path):
    path = str(tmp_path / "it's here" / ".." / "x.ormel")
    os.mkdir(tmp_path / "it's here")
    db = ormel.open(path, PASSPHRASE, dimensions=DIMS)
    assert db.path == path
    assert repr(db) == f"<ormel.Ormel path='{path}' memories=0>"


def test_context_manager_flushes_and_propagates(db_path):
    db = ormel.open(db_path, PASSPHRASE, dimensions=DIMS)
    with pytest.raises(KeyError):
        with db as entered:
            assert entered is db
            memory_id = db.remember("kept", "semantic", vec(1))
            raise KeyError("boom")
    assert db.__exit__(None, None, None) is False
    del db, entered
    assert ormel.open(db_path, PASSPHRASE).get(memory_id)["content"] == "kept"


def test_flush_twice(db):
    db.remember("x", "semantic", vec(1))
    db.flush()
    db.flush()
    assert len(db.snapshots()) == 1


def test_read_only_handle_refusals(ro_db):
    handle, memory_id = ro_db
    refused = [
        lambda: handle.remember("x", "semantic", vec(1)),
        lambda: handle.delete(memory_id),
        handle.flush,
        handle.close,
        lambda: handle.__exit__(None, None, None),
    ]
    for call in refused:
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == RO_MESSAGE
    with pytest.raises(RuntimeError, match=r"^operation requires a read-write handle \(this one is read-only\)$"):
        with handle:
            pass
    assert handle.get(memory_id)["content"] == "seed"
    assert handle.search(vec(1))[0][0]["id"] == memory_id
    assert handle.stats()["memories"] == 1
    assert handle.has_index() is False
    pages, capacity = handle.page_cache_stats()
    assert capacity == 8192 and pages >= 0


def test_export_encrypted(db, tmp_path):
    memory_id = db.remember("exported", "semantic", vec(1))
    dest = tmp_path / "copy.ormel"
    dest.write_bytes(b"old contents")
    assert db.export_encrypted(str(dest)) is None
    assert db.snapshots()  # the export flushed first
    copy = ormel.open(str(dest), PASSPHRASE, read_only=True)
    assert copy.get(memory_id)["content"] == "exported"
    assert copy.snapshots() == db.snapshots()

    missing_dir = tmp_path / "no such directory" / "copy.ormel"
    with pytest.raises(RuntimeError) as info:
        db.export_encrypted(str(missing_dir))
    assert str(info.value).startswith("export failed: ")
    assert len(str(info.value)) > len("export failed: ")
