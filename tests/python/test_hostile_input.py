"""Arguments a careless or hostile caller may pass: each gets a clear Python exception, and
the database stays usable and unchanged."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import ormel
from conftest import DIMS, PASSPHRASE, vec

pytestmark = pytest.mark.usefixtures("file_format")


class Huge:
    """A sequence whose length claims 10**12 items."""

    def __len__(self):
        return 10**12

    def __getitem__(self, index):
        if index >= DIMS:
            raise IndexError(index)
        return 0.0


def sequence_calls(db, bad):
    """Every call that converts a caller's sequence, with `bad` in that place."""
    return {
        "remember": lambda: db.remember("x", "semantic", bad),
        "recall": lambda: db.recall(bad),
        "search": lambda: db.search(bad),
        "cache_put_semantic": lambda: db.cache_put_semantic("n", "k", bad, "v", "m"),
        "cache_get_semantic": lambda: db.cache_get_semantic("n", bad, "m"),
        "Turn": lambda: ormel.Turn("user", "x", bad),
        "Turn.user": lambda: ormel.Turn.user("x", bad),
        "session.recall": lambda: db.session("a").recall(bad),
    }


def assert_untouched(db):
    assert db.stats()["memories"] == 0
    assert db.cache_stats()["entries"] == 0


def test_allocation_failures_raise_memory_error(db):
    for name, call in sequence_calls(db, Huge()).items():
        with pytest.raises(MemoryError):
            call()
    # Cache values are read item by item: the claimed length is never allocated.
    with pytest.raises(TypeError, match="^cache value must be str or bytes$"):
        db.cache_put("n", "k", Huge())
    assert_untouched(db)
    db.remember("still usable", "semantic", vec(1))


def test_a_content_too_large_for_the_memory_limit_raises_memory_error(db_path):
    # In a child process: the address-space limit must not reach the test runner.
    script = textwrap.dedent(f"""
        import resource
        import ormel
        db = ormel.open({db_path!r}, "pw", dimensions=4)
        content = "x" * (300 << 20)
        with open("/proc/self/status") as status:
            kib = next(int(line.split()[1]) for line in status if line.startswith("VmSize"))
        limit = kib * 1024 + (400 << 20)  # room for one more copy of the content, not for three
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            db.remember(content, "semantic", [1.0, 0, 0, 0])
            print("stored")
        except MemoryError:
            print("MemoryError")
        db.remember("small", "semantic", [1.0, 0, 0, 0])
        print(len(db.ids()))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "1"]


LONE = "\ud800"


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda db, p: ormel.open(p + LONE, PASSPHRASE, dimensions=DIMS), "path"),
        (lambda db, p: ormel.open(p + "2", LONE, dimensions=DIMS), "passphrase"),
        (lambda db, p: db.remember(LONE, "semantic", vec(1)), "content"),
        (lambda db, p: db.remember("x", LONE, vec(1)), "memory_type"),
        (lambda db, p: db.remember("x", "semantic", vec(1), agent_id=LONE), "agent_id"),
        (lambda db, p: db.remember("x", "semantic", vec(1), session_id=LONE), "session_id"),
        (lambda db, p: db.remember("x", "semantic", vec(1), metadata={"k": LONE}), None),
        (lambda db, p: db.remember("x", "semantic", vec(1), metadata={LONE: 1}), None),
        (lambda db, p: db.recall(vec(1), agent_id=LONE), "agent_id"),
        (lambda db, p: db.recall(vec(1), memory_types=[LONE]), "memory_types"),
        (lambda db, p: db.get(LONE), "id"),
        (lambda db, p: db.delete(LONE), "id"),
        (lambda db, p: db.export_encrypted(p + LONE), "dest"),
        (lambda db, p: db.cache_put(LONE, "k", "v"), "namespace"),
        (lambda db, p: db.cache_put("n", LONE, "v"), "key"),
        (lambda db, p: db.cache_put("n", "k", LONE), None),
        (lambda db, p: db.cache_put("n", "k", "v", content_type=LONE), "content_type"),
        (lambda db, p: db.cache_get("n", LONE), "key"),
        (lambda db, p: db.cache_purge(namespace=LONE), "namespace"),
        (lambda db, p: db.cache_put_semantic("n", "k", vec(1), "v", LONE), "model"),
        (lambda db, p: db.cache_get_semantic("n", vec(1), LONE), "model"),
        (lambda db, p: db.session(LONE), "agent_id"),
        (lambda db, p: db.ids(agent_id=LONE), "agent_id"),
        (lambda db, p: ormel.Turn(LONE, "x", vec(1)), "role"),
        (lambda db, p: ormel.Turn.user(LONE, vec(1)), "content"),
    ],
)
def test_lone_surrogates_raise_the_encoding_error(db, db_path, call, argument):
    with pytest.raises(UnicodeEncodeError) as info:
        call(db, db_path)
    assert "surrogates not allowed" in str(info.value)
    if argument is not None:
        assert any(f"argument '{argument}'" in note for note in getattr(info.value, "__notes__", []))
    assert_untouched(db)
    assert os.listdir(os.path.dirname(db_path)) == [os.path.basename(db_path)]


@pytest.mark.filterwarnings("ignore:overflow encountered in cast")
@pytest.mark.parametrize(
    "bad",
    [
        vec(1, math.nan),
        vec(math.inf),
        vec(0, 0, -math.inf),
        vec(1e39),  # finite as a Python float, infinite as float32
        np.array(vec(1, math.nan), dtype=np.float32),
        np.array(vec(0, -1e300), dtype=np.float64),
    ],
    ids=["nan", "inf", "-inf", "1e39", "float32-nan", "float64-overflow"],
)
def test_non_finite_vectors_are_refused(db, bad):
    for name, call in sequence_calls(db, bad).items():
        with pytest.raises(ValueError, match=r"argument '(vector|query)' must contain only finite 32-bit floats"):
            call()
    assert_untouched(db)


def test_nan_threshold_is_refused(db):
    db.cache_put_semantic("n", "k", vec(1), "v", "m")
    with pytest.raises(ValueError, match="^cache_get_semantic\\(\\) argument 'threshold' must not be NaN$"):
        db.cache_get_semantic("n", vec(1), "m", threshold=math.nan)
    assert db.cache_get_semantic("n", vec(1), "m", threshold=-math.inf)["value"] == b"v"
    assert db.cache_get_semantic("n", vec(1), "m", threshold=math.inf) is None


def test_paths_with_nul_are_refused(db, tmp_path):
    short = tmp_path / "short"
    with pytest.raises(ValueError, match="^open\\(\\) argument 'path' must not contain NUL characters$"):
        ormel.open(str(short) + "\0.ormel", PASSPHRASE, dimensions=DIMS)
    with pytest.raises(ValueError, match="^export_encrypted\\(\\) argument 'dest' must not contain NUL characters$"):
        db.export_encrypted(str(short) + "\0.copy")
    assert not short.exists()


@pytest.mark.parametrize(
    "value, stored",
    [
        (np.array([0, 1, 255], dtype=np.uint8), b"\x00\x01\xff"),
        (np.arange(6, dtype=np.uint8)[::2], b"\x00\x02\x04"),  # strided view
        (np.array([], dtype=np.uint8), b""),
        ([np.uint8(7), np.int64(255), np.int8(0)], b"\x07\xff\x00"),
        (np.array([1, 2], dtype=np.int32), b"\x01\x02"),
        (memoryview(b"abcd")[1:3], b"bc"),
    ],
)
def test_integer_sequences_and_byte_arrays_are_cache_values(db, value, stored):
    db.cache_put("ns", "key", value)
    assert db.cache_get("ns", "key")["value"] == stored
    db.cache_put_semantic("ns", "sem", vec(1), value, "m")
    assert db.cache_get_semantic("ns", vec(1), "m")["value"] == stored


@pytest.mark.parametrize(
    "value",
    [
        np.array([1.0, 2.0]),
        np.array([-1], dtype=np.int8),
        np.array([256], dtype=np.int16),
        np.zeros((2, 2), dtype=np.uint8),
    ],
)
def test_other_arrays_are_refused_as_cache_values(db, value):
    with pytest.raises(TypeError, match="^cache value must be str or bytes$"):
        db.cache_put("ns", "key", value)
    assert db.cache_stats()["entries"] == 0
