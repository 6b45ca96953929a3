"""The installed package's type stubs, as mypy sees them."""

import subprocess
import sys
import textwrap

import pytest

GOOD = """
    import numpy as np
    import ormel

    def use(path: str) -> None:
        with ormel.open(path, "pw", dimensions=4) as db:
            memory_id: str = db.remember("c", "semantic", [1.0, 0, 0, 0], agent_id="a", importance=0.5,
                                         ttl_secs=60, shared=True, metadata={"k": [1, None]})
            memory = db.get(memory_id)
            created: int = memory["created_at"]
            batch: list[str] = db.remember_many(["a", "b"], "semantic", np.zeros((2, 4), dtype=np.float32),
                                                importance=np.array([0.1, 0.2]), metadata=[{"k": 1}, None],
                                                ids=[None, memory_id])
            db.update(batch[0], content="new", ttl_secs=None, vector=np.ones(4))
            version = db.history(batch[0])[0]
            version_txn: int = version["txn_id"]
            old_content: str = version["memory"]["content"]
            best = db.recall(np.zeros(4, dtype=np.float32), top_k=3, memory_types=["episodic"])
            score: float = best[0]["score"]
            pairs = db.search((1.0, 2.0, 3.0, 4.0))
            similarity: float = pairs[0][1]
            stats = db.stats()
            index = stats["index"]
            partitions: int | None = index["partitions"] if index is not None else None
            db.cache_put("ns", "k", b"v", ttl_secs=5)
            hit = db.cache_get("ns", "k")
            value: bytes | None = hit["value"] if hit is not None else None
            db.cache_put("ns", "bytes", np.zeros(3, dtype=np.uint8))
            pages, capacity = db.page_cache_stats()
            checked: int = db.verify(progress=lambda done, total: None)
            report = db.verify(all_errors=True, progress=print)
            db.build_index(progress=lambda done, total: print(done / total))
            reclaimed: int = db.compact(progress=None, format_version=9)
            version_of_file: int = db.format_version + stats["format_version"] + db.space()["format_version"]
            damaged: list[str] = [m["id"] for m in report["memories"]]
            kinds: list[str | None] = [row["memory_type"] for row in db.ids(agent_id="a")]
            db_path: str = db.path
            with db.session("a") as session:
                turn_id: str = session.add_turn(ormel.Turn.user("hi", [0.0] * 4))
                count: int = session.turn_count()
            print(created, version_txn, old_content, score, similarity, partitions, value, pages, capacity, db_path,
                  turn_id, count, checked, damaged, kinds, reclaimed, version_of_file, ormel.__version__)

    async def use_async(path: str) -> None:
        async with await ormel.open_async(path, "pw", dimensions=4, timeout=1.5, format_version=8) as db:
            assert db.format_version == 8
            found: list[str] = [m["id"] for m in await db.recall([1.0, 0, 0, 0], top_k=2, agent_id="a")]
            async with db.session("a") as session:
                turn: str = await session.add_turn(ormel.Turn.user("hi", [0.0] * 4))
            await db.release()
            print(found, turn)
"""

BAD = """
    import pathlib
    import ormel

    db = ormel.open(pathlib.Path("x"), "pw")
    db.remember("c", "semantic", [1.0], colour="red")
    n: str = db.verify()
    db.path = "elsewhere"
    ormel.Turn.user("hi")
    db.search("abcd")
    db.update("01ARZ3NDEKTSV4RRFFQ69G5FAV", colour="red")
    db.history(3)
    db.compact(progress=len)
    db.format_version = 9
    ormel.open("x", "pw", format_version="9")

    async def bad() -> None:
        await (await ormel.open_async("x", "pw")).search("abcd")
"""


def run_mypy(tmp_path, source):
    snippet = tmp_path / "snippet.py"
    snippet.write_text(textwrap.dedent(source))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         str(snippet)],
        capture_output=True, text=True, cwd=tmp_path, timeout=600,
    )


@pytest.fixture(scope="module")
def mypy_available():
    pytest.importorskip("mypy")


def test_typed_usage_passes(tmp_path, mypy_available):
    result = run_mypy(tmp_path, GOOD)
    assert result.returncode == 0, result.stdout + result.stderr


def test_misuse_is_reported(tmp_path, mypy_available):
    result = run_mypy(tmp_path, BAD)
    assert result.returncode == 1, result.stdout + result.stderr
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [int(line.split(":")[1]) for line in errors] == [5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 18], result.stdout
