"""The LangGraph store: items as memories, checked against LangGraph's own InMemoryStore."""

from __future__ import annotations

import asyncio
import gc
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("langgraph")

from langgraph.graph import START, StateGraph  # noqa: E402
from langgraph.runtime import Runtime  # noqa: E402
from langgraph.store.memory import InMemoryStore  # noqa: E402
from typing_extensions import TypedDict  # noqa: E402

from langchain_core.embeddings import DeterministicFakeEmbedding  # noqa: E402

import ormel  # noqa: E402
import ormel.langgraph as lg  # noqa: E402
from conftest import Gate  # noqa: E402
from ormel.langchain import OrmelVectorStore  # noqa: E402
from ormel.langgraph import OrmelStore  # noqa: E402

pytestmark = pytest.mark.usefixtures("file_format")

VOCAB = ["ramen", "sushi", "tea", "coffee", "cat", "dog", "rain"]


def embed(texts: list[str]) -> list[list[float]]:
    """One axis per vocabulary word and one for everything else, normalised."""
    out = []
    for text in texts:
        v = [0.0] * (len(VOCAB) + 1)
        for word in text.lower().replace('"', " ").split():
            v[VOCAB.index(word) if word in VOCAB else len(VOCAB)] += 1.0
        n = math.sqrt(sum(x * x for x in v)) or 1.0
        out.append([x / n for x in v])
    return out


DIMS = len(VOCAB) + 1
INDEX = {"dims": DIMS, "embed": embed, "fields": ["text"]}


@pytest.fixture
def path(tmp_path: Path) -> str:
    return str(tmp_path / "graph.ormel")


@pytest.fixture
def clock(monkeypatch: pytest.MonkeyPatch) -> list[float]:
    now = [1_700_000_000.0]
    monkeypatch.setattr(lg, "_now", lambda: now[0])
    return now


@pytest.fixture
def pair(path: str, clock: list[float]):
    """An ormel store and an InMemoryStore given the same puts, one second apart."""
    ours = OrmelStore.open(path, "pw", index=INDEX)
    theirs = InMemoryStore(index=INDEX)

    def put(namespace, key, value, **kw):
        clock[0] += 1.0
        ours.put(namespace, key, value, **kw)
        theirs.put(namespace, key, value, **kw)

    return ours, theirs, put


def release() -> None:
    """Collects the handles the caller dropped: a file's lock is held until its handle is destroyed."""
    gc.collect()


def keys(items) -> list[tuple[tuple[str, ...], str]]:
    return [(tuple(i.namespace), i.key) for i in items]


def test_put_get_overwrite_delete_and_reopen(path: str, clock: list[float]) -> None:
    store = OrmelStore.open(path, "pw")
    store.put(("users", "alice"), "food", {"likes": ["ramen"], "n": 1})
    first = store.get(("users", "alice"), "food")
    assert first.value == {"likes": ["ramen"], "n": 1} and first.namespace == ("users", "alice")
    assert first.key == "food" and first.created_at == first.updated_at

    clock[0] += 10
    store.put(("users", "alice"), "food", {"likes": ("sushi",)})  # a tuple is stored as a list
    second = store.get(("users", "alice"), "food")
    assert second.value == {"likes": ["sushi"]}
    assert second.created_at == first.created_at and second.updated_at > first.updated_at

    store.put(("users", "alice"), "drink", {"likes": "tea"})
    store.delete(("users", "alice"), "drink")
    assert store.get(("users", "alice"), "drink") is None
    store.delete(("users", "alice"), "never-stored")
    del store
    release()

    reopened = OrmelStore.open(path, "pw")
    assert reopened.get(("users", "alice"), "food") == second
    assert reopened.get(("users", "alice"), "drink") is None
    assert len(reopened.db.ids()) == 1


def test_open_passes_the_format_version_on(path: str, file_format: int) -> None:
    with OrmelStore.open(path, "pw", format_version=file_format) as store:
        assert store.db.format_version == file_format
    with pytest.raises(ormel.InvalidArgument):
        OrmelStore.open(path, "pw", format_version={8: 9, 9: 8}[file_format])
    with OrmelStore.open(path, "pw") as store:
        assert store.db.format_version == file_format


def test_bad_values_store_nothing(path: str) -> None:
    store = OrmelStore.open(path, "pw")
    with pytest.raises(TypeError):
        store.put(("ns",), "k", {"when": object()})
    assert store.get(("ns",), "k") is None and store.db.ids() == []
    with pytest.raises(ValueError, match="period"):
        store.put(("a.b",), "k", {"x": 1})
    with pytest.raises(ValueError, match="empty"):
        store.batch([lg.PutOp((), "k", {"x": 1})])
    store.put(("ns",), "ok", {"x": 1})
    with pytest.raises(ValueError, match="tags"):  # equality with a whole list is not a metadata filter
        store.search(("ns",), filter={"tags": ["a", "b"]})
    with pytest.raises(ValueError, match=r"\$regex"):
        store.search(("ns",), filter={"x": {"$regex": "a"}})


def test_namespaces_never_see_each_other(path: str) -> None:
    store = OrmelStore.open(path, "pw")
    spaces = [("users", "alice"), ("users", "alice2"), ("users",), ("users", "alice", "notes"), ("users", "bob")]
    for ns in spaces:
        store.put(ns, "k", {"owner": "/".join(ns)})
    # A key holding what looks like the next label still names a different item.
    store.put(("users",), "alice.k", {"owner": "dotted key"})
    for ns in spaces:
        assert store.get(ns, "k").value == {"owner": "/".join(ns)}
    assert store.get(("users",), "alice.k").value == {"owner": "dotted key"}
    for prefix, expected in [
        (("users", "alice"), {("users", "alice"), ("users", "alice", "notes")}),
        (("users", "alice2"), {("users", "alice2")}),
        (("users", "bob"), {("users", "bob")}),
        (("users", "al"), set()),
        (("users",), set(spaces)),
        ((), set(spaces)),
    ]:
        assert {tuple(i.namespace) for i in store.search(prefix, limit=100)} == expected, prefix


def test_other_memories_in_the_file_are_not_items(path: str) -> None:
    store = OrmelStore.open(path, "pw")
    store.db.remember("an agent's own memory", "episodic", [1.0], metadata={"path": "users.", "value": {"x": 1}})
    store.put(("users",), "k", {"x": 1})
    assert keys(store.search(())) == [(("users",), "k")]
    assert store.list_namespaces() == [("users",)]
    assert keys(store.search((), filter={"x": 1})) == [(("users",), "k")]


FILTERS = [
    {"color": "red"},
    {"color": {"$eq": "blue"}},
    {"score": {"$gt": 3}},
    {"score": {"$gte": 3, "$lt": 5}},
    {"score": {"$lte": 2.5}},
    {"color": {"$ne": "red"}},
    {"color": "red", "score": {"$gt": 1}},
    {"meta": {"lang": "en"}},
    {"missing": 1},
]


def test_search_filters_limit_offset_match_in_memory_store(pair) -> None:
    ours, theirs, put = pair
    rows = [
        (("docs", "a"), "1", {"color": "red", "score": 1, "meta": {"lang": "en"}, "tags": ["a", "b"]}),
        (("docs", "b"), "2", {"color": "blue", "score": 3.5, "meta": {"lang": "fr"}, "tags": ["a"]}),
        (("docs", "a"), "3", {"color": "red", "score": 5, "meta": {"lang": "en"}, "tags": []}),
        (("docs",), "4", {"color": "green", "score": 2.5, "meta": {"lang": "en"}, "tags": ["b", "a"]}),
        (("notes",), "5", {"color": "red", "score": 4, "meta": {}, "tags": ["a", "b"]}),
        (("docs", "b"), "6", {"color": "red", "score": 3, "meta": {"lang": "en"}, "tags": ["a", "b"]}),
    ]
    for ns, key, value in rows:
        put(ns, key, value, index=False)
    put(("docs", "a"), "1", {**rows[0][2], "score": 2})  # an overwrite keeps its place
    for flt in FILTERS:
        for prefix in [(), ("docs",), ("docs", "a")]:
            want = keys(theirs.search(prefix, filter=flt, limit=100))
            assert keys(ours.search(prefix, filter=flt, limit=100)) == want, (flt, prefix)
    for limit, offset in [(2, 0), (2, 2), (3, 5), (10, 7), (0, 0)]:
        want = keys(theirs.search((), limit=limit, offset=offset))
        assert keys(ours.search((), limit=limit, offset=offset)) == want, (limit, offset)


def test_filters_on_values_of_every_kind_match_in_memory_store(pair) -> None:
    # A metadata condition cannot tell a dict from a list, and misses what a missing field reads as
    # (None) or what `$ne` holds for (other kinds too): the value filters must still agree with
    # InMemoryStore, with a query that ranks a non-matching item first, and with limits.
    ours, theirs, put = pair
    rows = [("list", {"text": "ramen", "d": []}), ("empty", {"text": "ramen tea", "d": {}}),
            ("scalar", {"text": "ramen", "d": 1}), ("null", {"text": "ramen", "d": None}),
            ("missing", {"text": "ramen"}), ("flat", {"text": "tea", "d": {"x": 1}}),
            ("nested", {"text": "cat", "d": {"x": {"y": 2}}}), ("x-list", {"text": "ramen", "d": {"x": []}}),
            ("x-null", {"text": "dog", "d": {"x": None}}), ("string", {"text": "rain", "d": "red"})]
    for key, value in rows:
        put(("ns",), key, value)
    filters = [{"d": {}}, {"d": {"x": {}}}, {"d": {"x": {}}, "text": "cat"}, {"d": {}, "text": {"$ne": "tea"}},
               {"d": {"$ne": 1}}, {"d": {"$ne": None}}, {"d": None}, {"d": {"$eq": None}}, {"d": {"x": None}},
               {"d": {"x": {"$ne": 1}}}, {"d": {"$ne": "red"}}]
    for flt in filters:
        for kw in [{}, {"query": "ramen"}, {"query": "ramen", "limit": 1}, {"limit": 1, "offset": 1}]:
            want = keys(theirs.search(("ns",), filter=flt, **kw))
            assert keys(ours.search(("ns",), filter=flt, **kw)) == want, (flt, kw)
    assert [i.key for i in ours.search(("ns",), filter={"d": {}})] == ["empty", "flat", "nested", "x-list", "x-null"]


@pytest.mark.parametrize("flt", [{1: "x"}, {"meta": {2: "x"}}, {"meta": {"lang": {3: 1}}}, {"score": {None: 1}}])
def test_filter_keys_that_are_not_strings_raise_value_error(path: str, flt: dict) -> None:
    store = OrmelStore.open(path, "pw")
    store.put(("ns",), "k", {"meta": {"lang": "en"}, "score": 1})
    with pytest.raises(ValueError, match="filter keys must be strings"):
        store.search(("ns",), filter=flt)


def test_semantic_search_ranks_indexed_items_then_the_rest(pair) -> None:
    ours, theirs, put = pair
    put(("u",), "food", {"text": "ramen sushi", "kind": "food"})
    put(("u",), "drink", {"text": "ramen tea tea", "kind": "drink"})
    put(("u",), "pet", {"text": "cat", "kind": "pet"})
    put(("u",), "plain", {"text": "ramen ramen"}, index=False)
    put(("u",), "other-field", {"text": "dog", "note": "ramen"}, index=["note"])
    put(("v",), "elsewhere", {"text": "ramen"})

    found = ours.search(("u",), query="ramen", limit=10)
    assert keys(found) == keys(theirs.search(("u",), query="ramen", limit=10))
    assert [i.key for i in found] == ["other-field", "food", "drink", "pet", "plain"]
    assert found[0].score == pytest.approx(1.0) and found[1].score == pytest.approx(math.sqrt(0.5))
    assert found[-1].score is None
    assert [i.key for i in ours.search(("u",), query="tea", filter={"kind": "drink"})] == ["drink"]
    assert [i.key for i in ours.search(("u",), query="ramen", limit=2, offset=1)] == ["food", "drink"]
    assert [i.key for i in ours.search(("u",), query="ramen", limit=2, offset=4)] == ["plain"]


def test_list_namespaces_match_in_memory_store(pair) -> None:
    ours, theirs, put = pair
    for ns in [("a", "b", "c"), ("a", "b", "d"), ("a", "x"), ("b", "b", "c"), ("a",), ("c", "v1"), ("a", "b", "c", "v1")]:
        put(ns, "k", {"x": 1})
    cases = [
        {},
        {"prefix": ("a",)},
        {"prefix": ("a", "b")},
        {"prefix": ("*", "b")},
        {"suffix": ("c",)},
        {"suffix": ("*", "v1")},
        {"prefix": ("a",), "suffix": ("c",)},
        {"max_depth": 1},
        {"prefix": ("a",), "max_depth": 2},
        {"limit": 2, "offset": 1},
        {"prefix": ("zzz",)},
    ]
    for kw in cases:
        assert ours.list_namespaces(**kw) == theirs.list_namespaces(**kw), kw


def test_ttl_expires_and_refreshes_on_read(path: str, clock: list[float]) -> None:
    store = OrmelStore.open(path, "pw", index=INDEX, ttl={"default_ttl": 1.0})
    store.put(("s",), "short", {"text": "tea"})  # the default: one minute
    store.put(("s",), "kept", {"text": "tea tea cat"}, ttl=None)
    store.put(("s", "t"), "long", {"text": "cat"}, ttl=2.0)

    clock[0] += 50
    assert store.get(("s",), "short").value == {"text": "tea"}  # refreshed to now + 60
    clock[0] += 50
    assert store.get(("s",), "short", refresh_ttl=False) is not None
    assert [i.key for i in store.search(("s",), query="tea", refresh_ttl=False)] == ["short", "kept", "long"]
    clock[0] += 11
    assert store.get(("s",), "short") is None
    assert [i.key for i in store.search(("s",), query="tea")] == ["kept", "long"]  # refreshes "long"
    clock[0] += 100
    assert store.get(("s", "t"), "long") is not None
    clock[0] += 121
    assert store.get(("s", "t"), "long") is None
    assert store.list_namespaces() == [("s",)]
    store.put(("s",), "short", {"text": "again"})  # a put over an expired item starts it afresh
    assert store.get(("s",), "short").created_at.timestamp() == clock[0]

    assert store.sweep_ttl() == 1
    assert len(store.db.ids()) == 2
    del store
    release()
    reopened = OrmelStore.open(path, "pw", index=INDEX)
    clock[0] += 61
    assert [i.key for i in reopened.search(("s",))] == ["kept"]


@pytest.mark.parametrize("ttl", [float("inf"), float("-inf"), float("nan"), 1e308])
def test_a_ttl_whose_expiry_is_not_a_finite_time_is_refused(path: str, clock: list[float], ttl: float) -> None:
    # Such an expiry used to be stored as null: the item then broke get and hid from search and sweeps.
    store = OrmelStore.open(path, "pw", index=INDEX)
    store.put(("s",), "kept", {"text": "tea"}, ttl=1.0)
    with pytest.raises(ValueError, match="ttl must be a finite number of minutes"):
        store.put(("s",), "bad", {"text": "tea"}, ttl=ttl)
    with pytest.raises(ValueError, match="ttl must be a finite number of minutes"):  # nothing of the batch is kept
        store.batch([lg.PutOp(("s",), "other", {"text": "cat"}), lg.PutOp(("s",), "bad", {"x": 1}, ttl=ttl)])
    with pytest.raises(ValueError, match="ttl must be a finite number of minutes"):
        OrmelStore(store.db, ttl={"default_ttl": ttl})
    assert store.get(("s",), "bad") is None and store.get(("s",), "other") is None
    assert [i.key for i in store.search(("s",), query="tea")] == ["kept"]
    clock[0] += 61
    assert store.sweep_ttl() == 1 and store.db.ids() == []


def test_an_item_with_a_null_expiry_never_expires(path: str, clock: list[float]) -> None:
    # What earlier versions stored for an infinite TTL: get, search, refresh, sweeps and a put over
    # it keep working, and it stays.
    store = OrmelStore.open(path, "pw")
    store.put(("s",), "k", {"x": 1}, ttl=1.0)
    (entry,) = store.db.ids()
    meta = store.db.get(entry["id"])["metadata"]["langgraph"]
    store.db.update(entry["id"], metadata={"langgraph": {**meta, "ttl": None, "expires": None}})
    clock[0] += 3600
    assert store.get(("s",), "k").value == {"x": 1}
    assert keys(store.search(("s",))) == [(("s",), "k")] and store.list_namespaces() == [("s",)]
    assert store.sweep_ttl() == 0
    store.put(("s",), "k", {"x": 2})
    assert store.get(("s",), "k").created_at.timestamp() == meta["created"]


def test_refresh_on_read_off_in_config(path: str, clock: list[float]) -> None:
    store = OrmelStore.open(path, "pw", ttl={"default_ttl": 1.0, "refresh_on_read": False})
    store.put(("s",), "k", {"x": 1})
    clock[0] += 50
    assert store.get(("s",), "k") is not None
    assert store.search(("s",))
    clock[0] += 11
    assert store.get(("s",), "k") is None
    assert store.get(("s",), "k", refresh_ttl=True) is None


def test_batch_reads_see_the_store_before_its_writes(path: str) -> None:
    store = OrmelStore.open(path, "pw")
    store.put(("ns",), "k", {"v": 0})
    got, _, _, after = store.batch([
        lg.GetOp(("ns",), "k"),
        lg.PutOp(("ns",), "k", {"v": 1}),
        lg.PutOp(("ns",), "k", {"v": 2}),
        lg.SearchOp(("ns",)),
    ])
    assert got.value == {"v": 0} and [i.value for i in after] == [{"v": 0}]
    assert store.get(("ns",), "k").value == {"v": 2}


async def test_async_methods_leave_the_loop_free(path: str) -> None:
    async def aembed(texts: list[str]) -> list[list[float]]:
        return embed(texts)

    gate = Gate(ormel.open(path, "pw", dimensions=DIMS))
    store = OrmelStore(gate.db, index={"dims": DIMS, "embed": aembed, "fields": ["text"]})
    await gate.through(store.aput(("u",), "a", {"text": "coffee"}))
    await gate.through(store.aput(("u",), "b", {"text": "dog"}))
    got = await gate.through(store.aget(("u",), "a"))
    found = await gate.through(store.asearch(("u",), query="dog"))
    spaces = await gate.through(store.alist_namespaces())
    await gate.through(store.adelete(("u",), "a"))
    assert got.value == {"text": "coffee"} and [i.key for i in found] == ["b", "a"]
    assert spaces == [("u",)] and await gate.through(store.aget(("u",), "a")) is None


@pytest.mark.parametrize("stage", ["embedding", "writing"])
async def test_a_cancelled_batch_is_applied_whole_or_not_at_all(path: str, stage: str) -> None:
    embedding, may_embed = asyncio.Event(), asyncio.Event()

    async def aembed(texts: list[str]) -> list[list[float]]:
        embedding.set()
        await may_embed.wait()
        return embed(texts)

    db = ormel.open(path, "pw", dimensions=DIMS)
    gate = Gate(db)
    store = OrmelStore(gate.db, index={"dims": DIMS, "embed": aembed, "fields": ["text"]})
    if stage == "writing":
        may_embed.set()
        gate.shut()
    task = asyncio.create_task(store.abatch([lg.PutOp(("u",), "a", {"text": "tea"}),
                                             lg.PutOp(("u",), "b", {"text": "cat"})]))
    if stage == "embedding":
        await embedding.wait()
    else:
        assert await asyncio.to_thread(gate.entered.wait, 10)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    may_embed.set()
    gate.open.set()
    # A batch that reached its thread is applied there, whole; the next call waits for it.
    applied = [(("u",), "b"), (("u",), "a")] if stage == "writing" else []
    assert keys(await store.asearch(("u",), query="cat")) == applied
    await store.aput(("u",), "c", {"text": "rain"})
    assert db.verify() == len(applied) + 1
    db.release()
    assert len(OrmelStore.open(path, "pw").search(("u",))) == len(applied) + 1


def test_index_dims_must_fit_the_file(path: str) -> None:
    OrmelStore.open(path, "pw", dimensions=4)
    release()
    with pytest.raises(ValueError, match="dims"):
        OrmelStore.open(path, "pw", index=INDEX)
    # The handle the failed open made is released, though the traceback still refers to it.
    assert ormel.open(path, "pw").stats()["dimensions"] == 4


def open_in_another_process(path: str) -> subprocess.CompletedProcess[str]:
    """A read-write open of `path` by a new process, which prints how many memories it holds."""
    code = "import ormel, sys; print(len(ormel.open(sys.argv[1], 'pw').ids()))"
    return subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, timeout=120)


# Per adapter: how it opens a file itself, a write and a read through it.
ADAPTERS = {
    "langgraph": (lambda path: OrmelStore.open(path, "pw", dimensions=DIMS),
                  lambda store: store.put(("ns",), "k", {"x": 1}), lambda store: store.get(("ns",), "k")),
    "langchain": (lambda path: OrmelVectorStore.open(path, "pw", DeterministicFakeEmbedding(size=DIMS)),
                  lambda store: store.add_texts(["text"], ids=["k"]), lambda store: store.get_by_ids(["k"])),
    "langchain from_texts": (
        lambda path: OrmelVectorStore.from_texts([], DeterministicFakeEmbedding(size=DIMS), path=path,
                                                 passphrase="pw", dimensions=DIMS),
        lambda store: store.add_texts(["text"], ids=["k"]), lambda store: store.get_by_ids(["k"])),
}


@pytest.mark.parametrize("name", ADAPTERS)
@pytest.mark.parametrize("ending", ["close", "with"])
def test_closing_an_adapter_releases_the_file_it_opened(path: str, name: str, ending: str) -> None:
    # The adapter stays referenced throughout: its file is free all the same.
    open_adapter, write, read = ADAPTERS[name]
    adapter = open_adapter(path)
    if ending == "with":
        with adapter as entered:
            assert entered is adapter
            write(adapter)
    else:
        write(adapter)
        adapter.close()
    adapter.close()  # closing again does nothing
    other = open_in_another_process(path)
    assert other.returncode == 0 and other.stdout == "1\n", other.stderr
    again = ormel.open(path, "pw")
    assert len(again.ids()) == 1
    with pytest.raises(ormel.Released, match="database handle released"):
        read(adapter)


def test_closing_an_adapter_leaves_a_handle_passed_in_alone(path: str) -> None:
    db = ormel.open(path, "pw", dimensions=DIMS)
    with OrmelStore(db) as store, OrmelVectorStore(db, DeterministicFakeEmbedding(size=DIMS)) as docs:
        store.put(("ns",), "k", {"x": 1})
        docs.add_texts(["text"], ids=["k"])
    store.put(("ns",), "k2", {"x": 2})
    assert len(db.ids()) == 3 and docs.get_by_ids(["k"])
    other = open_in_another_process(path)
    assert other.returncode != 0 and "locked" in other.stderr


class State(TypedDict):
    user: str
    said: str
    recalled: list[str]


def test_a_graph_writes_and_reads_memories_through_its_store(path: str) -> None:
    def remember(state: State, runtime: Runtime) -> dict:
        ns = ("memories", state["user"])
        runtime.store.put(ns, str(len(runtime.store.search(ns, limit=100))), {"text": state["said"]})
        return {}

    def recall(state: State, runtime: Runtime) -> dict:
        found = runtime.store.search(("memories", state["user"]), query=state["said"], limit=1)
        return {"recalled": [i.value["text"] for i in found]}

    def build(store: OrmelStore):
        graph = StateGraph(State)
        graph.add_node("remember", remember)
        graph.add_node("recall", recall)
        graph.add_edge(START, "remember")
        graph.add_edge("remember", "recall")
        return graph.compile(store=store)

    store = OrmelStore.open(path, "pw", index=INDEX)
    app = build(store)
    app.invoke({"user": "alice", "said": "I like ramen", "recalled": []})
    app.invoke({"user": "bob", "said": "my cat", "recalled": []})
    del app, store
    release()

    app = build(OrmelStore.open(path, "pw", index=INDEX))
    out = app.invoke({"user": "alice", "said": "tea please", "recalled": []})
    assert out["recalled"] == ["tea please"]
    out = app.invoke({"user": "alice", "said": "ramen", "recalled": []})
    assert out["recalled"] == ["ramen"]
    assert [i.value["text"] for i in app.store.search(("memories", "alice"), limit=10)] == [
        "I like ramen", "tea please", "ramen"]
    assert [i.value["text"] for i in app.store.search(("memories", "bob"))] == ["my cat"]


def test_example_agent_remembers_across_runs(tmp_path: Path) -> None:
    example = Path(__file__).resolve().parents[2] / "examples" / "langgraph_agent.py"
    db = str(tmp_path / "agent.ormel")
    env = {**os.environ, "ORMEL_PASSPHRASE": "example"}
    first = subprocess.run([sys.executable, str(example), db], capture_output=True, text=True, env=env, timeout=120)
    assert first.returncode == 0, first.stderr
    assert "nothing yet" in first.stdout
    second = subprocess.run([sys.executable, str(example), db], capture_output=True, text=True, env=env, timeout=120)
    assert second.returncode == 0, second.stderr
    assert "- I live in Lisbon and work as a marine biologist." in second.stdout


def test_semantic_search_finds_an_identifier_its_embedding_misses(path: str) -> None:
    def embed(texts: list[str]) -> list[list[float]]:
        return [[1.0, 0.0] if "deploy" in t or "rollout" in t else [0.0, 1.0] for t in texts]

    store = OrmelStore.open(path, "pw", index={"dims": 2, "embed": embed, "fields": ["text"]})
    store.put(("ops",), "ticket", {"text": "rollback for INC-4471"})
    for n in range(5):
        store.put(("ops",), f"deploy-{n}", {"text": f"deploy note {n}"})
    found = store.search(("ops",), query="rollout INC-4471", limit=2)
    assert {i.key for i in found} == {"ticket", "deploy-0"}
    assert {i.key: i.score for i in found}["ticket"] == pytest.approx(0.0)  # its cosine similarity
