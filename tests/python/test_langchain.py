"""The LangChain vector store and LLM caches: LangChain's own standard suites, and what they
do not cover (filters, collections, scores, maximal marginal relevance, reopening)."""

import asyncio
import json
import subprocess
import sys
from pathlib import Path

import pytest
from langchain_core.documents import Document
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings
from langchain_core.load import dumps
from langchain_core.messages import AIMessage, AIMessageChunk
from langchain_core.outputs import ChatGeneration, ChatGenerationChunk, Generation
from langchain_tests.integration_tests import VectorStoreIntegrationTests
from langchain_tests.integration_tests.cache import AsyncCacheTestSuite, SyncCacheTestSuite
from langchain_tests.integration_tests.vectorstores import EMBEDDING_SIZE

import ormel
from conftest import Gate
from ormel.langchain import OrmelCache, OrmelSemanticCache, OrmelVectorStore

pytestmark = pytest.mark.usefixtures("file_format")

PASS = "langchain passphrase"


@pytest.fixture
def lc_path(tmp_path: Path) -> str:
    return str(tmp_path / "lc.ormel")


@pytest.fixture
def db(lc_path: str) -> ormel.Ormel:
    return ormel.open(lc_path, PASS, dimensions=EMBEDDING_SIZE)


class TestStandardVectorStore(VectorStoreIntegrationTests):
    @pytest.fixture
    def vectorstore(self, db: ormel.Ormel) -> OrmelVectorStore:
        return OrmelVectorStore(db, self.get_embeddings())


class TestStandardCache(SyncCacheTestSuite):
    @pytest.fixture
    def cache(self, db: ormel.Ormel) -> OrmelCache:
        return OrmelCache(db)


class TestStandardCacheAsync(AsyncCacheTestSuite):
    @pytest.fixture
    async def cache(self, db: ormel.Ormel) -> OrmelCache:
        return OrmelCache(db)


class TestStandardSemanticCache(SyncCacheTestSuite):
    @pytest.fixture
    def cache(self, db: ormel.Ormel) -> OrmelSemanticCache:
        return OrmelSemanticCache(db, DeterministicFakeEmbedding(size=EMBEDDING_SIZE))


class TestStandardSemanticCacheAsync(AsyncCacheTestSuite):
    @pytest.fixture
    async def cache(self, db: ormel.Ormel) -> OrmelSemanticCache:
        return OrmelSemanticCache(db, DeterministicFakeEmbedding(size=EMBEDDING_SIZE))


def axis_vector(text: str) -> list[float]:
    """Texts "a", "b", ... as unit vectors along one axis each; "a+b" lies between."""
    v = [0.0] * EMBEDDING_SIZE
    for part in text.split("+"):
        v[ord(part) - ord("a")] = 1.0
    return v


class AxisEmbeddings(DeterministicFakeEmbedding):
    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        return [axis_vector(t) for t in texts]

    def embed_query(self, text: str) -> list[float]:
        return axis_vector(text)


class AsyncAxisEmbeddings(Embeddings):
    """Axis embeddings for the async paths only: the sync methods fail, and while `may_embed`
    is clear an embedding waits (with `embedding` set)."""

    def __init__(self) -> None:
        self.embedding = asyncio.Event()
        self.may_embed = asyncio.Event()
        self.may_embed.set()

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        raise AssertionError("a sync embedding on an async path")

    def embed_query(self, text: str) -> list[float]:
        raise AssertionError("a sync embedding on an async path")

    async def aembed_documents(self, texts: list[str]) -> list[list[float]]:
        self.embedding.set()
        await self.may_embed.wait()
        return [axis_vector(t) for t in texts]

    async def aembed_query(self, text: str) -> list[float]:
        return (await self.aembed_documents([text]))[0]


@pytest.fixture
def store(db: ormel.Ormel) -> OrmelVectorStore:
    s = OrmelVectorStore(db, AxisEmbeddings(size=EMBEDDING_SIZE))
    s.add_texts(["a", "b", "c", "a+b"], metadatas=[{"n": 1, "tag": "x"}, {"n": 2, "tag": "y"},
                                                   {"n": 3, "deep": {"k": "v"}}, {"n": 4, "tag": "x"}],
                ids=["A", "B", "C", "AB"])
    return s


# Async reads, each compared with the sync method of the same name without its leading "a".
ASYNC_READS = [
    ("asimilarity_search", ("a",), {"k": 2, "filter": {"tag": "x"}}),
    ("asimilarity_search_with_score", ("a+b",), {"k": 3}),
    ("asimilarity_search_with_relevance_scores", ("a",), {"k": 4}),
    ("asimilarity_search_by_vector", (axis_vector("b"),), {"k": 2}),
    ("amax_marginal_relevance_search", ("a",), {"k": 2, "fetch_k": 4, "lambda_mult": 0.3}),
    ("amax_marginal_relevance_search_by_vector", (axis_vector("a"),), {"k": 2, "fetch_k": 4, "lambda_mult": 0.3}),
    ("asearch", ("a",), {"search_type": "mmr", "k": 2, "fetch_k": 4, "lambda_mult": 0.3}),
    ("aget_by_ids", (["C", "A", "missing"],), {}),
]


@pytest.mark.parametrize("name, args, kwargs", ASYNC_READS, ids=[r[0] for r in ASYNC_READS])
async def test_async_reads_leave_the_loop_free_and_match_the_sync_ones(store: OrmelVectorStore, db: ormel.Ormel,
                                                                       name: str, args: tuple, kwargs: dict) -> None:
    gate = Gate(db)
    docs = OrmelVectorStore(gate.db, AsyncAxisEmbeddings())
    got = await gate.through(getattr(docs, name)(*args, **kwargs))
    assert got and got == getattr(store, name[1:])(*args, **kwargs)


async def test_async_writes_leave_the_loop_free(store: OrmelVectorStore, db: ormel.Ormel) -> None:
    gate = Gate(db)
    docs = OrmelVectorStore(gate.db, AsyncAxisEmbeddings())
    assert await gate.through(docs.aadd_texts(["d"], [{"n": 5}], ids=["D"])) == ["D"]
    assert await gate.through(docs.aadd_documents([Document("b", id="AB")])) == ["AB"]
    assert await gate.through(docs.adelete(["B"]))
    assert [(d.id, d.page_content, d.metadata) for d in store.get_by_ids(["AB", "B", "D"])] == \
        [("AB", "b", {}), ("D", "d", {"n": 5})]
    made = OrmelVectorStore.afrom_texts(["c"], AsyncAxisEmbeddings(), ids=["C2"], db=gate.db, collection="other")
    assert (await gate.through(made)).collection == "other"
    assert [d.page_content for d in OrmelVectorStore(db, AxisEmbeddings(size=EMBEDDING_SIZE),
                                                     collection="other").get_by_ids(["C2"])] == ["c"]


@pytest.mark.parametrize("stage", ["embedding", "writing"])
async def test_a_cancelled_add_is_made_whole_or_not_at_all(store: OrmelVectorStore, db: ormel.Ormel, lc_path: str,
                                                          stage: str) -> None:
    gate, embeddings = Gate(db), AsyncAxisEmbeddings()
    docs = OrmelVectorStore(gate.db, embeddings)
    if stage == "embedding":
        embeddings.may_embed.clear()
    else:
        gate.shut()
    task = asyncio.create_task(docs.aadd_texts(["d", "e"], ids=["D", "E"]))
    if stage == "embedding":
        await embeddings.embedding.wait()
    else:
        assert await asyncio.to_thread(gate.entered.wait, 10)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    embeddings.may_embed.set()
    gate.open.set()
    # An add that reached its thread is made there, whole; the next call waits for it.
    added = ["D", "E"] if stage == "writing" else []
    assert sorted(d.id for d in await docs.aget_by_ids(["D", "E"])) == added
    assert await docs.aadd_texts(["c+d"], ids=["CD"]) == ["CD"]
    assert [d.id for d in await docs.asimilarity_search("d", k=1)] == (["D"] if added else ["CD"])
    assert db.verify() == 5 + len(added)
    db.release()
    assert len(ormel.open(lc_path, PASS).ids()) == 5 + len(added)


@pytest.mark.parametrize("flt, expected", [
    ({"tag": "x"}, ["A", "AB"]),
    ({"n": {"$gte": 2}}, ["AB", "B", "C"]),
    ({"n": {"$in": [1, 3]}}, ["A", "C"]),
    ({"deep.k": "v"}, ["C"]),
    ({"tag": {"$exists": False}}, ["C"]),
    ({"$or": [{"n": 1}, {"n": 2}]}, ["A", "B"]),
    ({"$not": {"tag": "x"}}, ["B", "C"]),
])
def test_filters_reach_the_document_metadata(store: OrmelVectorStore, flt: dict, expected: list[str]) -> None:
    found = store.similarity_search("a", k=10, filter=flt)
    assert sorted(d.id for d in found) == expected


def test_scores_and_relevance(store: OrmelVectorStore) -> None:
    scored = store.similarity_search_with_score("a", k=4)
    assert [d.id for d, _ in scored][:2] == ["A", "AB"]
    assert scored[0][1] == pytest.approx(1.0)
    relevance = store.similarity_search_with_relevance_scores("a", k=4)
    assert all(0.0 <= r <= 1.0 for _, r in relevance)
    assert relevance[0][1] == pytest.approx(1.0) and relevance[-1][1] == pytest.approx(0.5)


def test_max_marginal_relevance_prefers_diverse_results(store: OrmelVectorStore) -> None:
    plain = [d.id for d in store.similarity_search("a", k=2)]
    diverse = [d.id for d in store.max_marginal_relevance_search("a", k=2, fetch_k=4, lambda_mult=0.3)]
    assert plain == ["A", "AB"]
    assert diverse[0] == "A" and diverse[1] != "AB"


def test_collections_do_not_see_each_other(db: ormel.Ormel) -> None:
    emb = AxisEmbeddings(size=EMBEDDING_SIZE)
    one = OrmelVectorStore(db, emb, collection="one")
    two = OrmelVectorStore(db, emb, collection="two")
    one.add_texts(["a"], ids=["same"], metadatas=[{"who": 1}])
    two.add_texts(["b"], ids=["same"], metadatas=[{"who": 2}])
    assert [d.metadata for d in one.get_by_ids(["same"])] == [{"who": 1}]
    assert [d.page_content for d in two.similarity_search("a", k=5)] == ["b"]
    two.delete(["same"])
    assert one.get_by_ids(["same"]) and not two.get_by_ids(["same"])


def test_documents_survive_reopening_and_upserts(tmp_path: Path) -> None:
    path = str(tmp_path / "reopen.ormel")
    emb = AxisEmbeddings(size=EMBEDDING_SIZE)
    store = OrmelVectorStore.from_texts(["a", "b"], emb, ids=["x", "y"], path=path, passphrase=PASS,
                                       dimensions=EMBEDDING_SIZE)
    store.add_documents([Document(page_content="c", metadata={"v": 2}, id="x")])
    del store
    reopened = OrmelVectorStore.open(path, PASS, emb)
    assert [(d.id, d.page_content, d.metadata) for d in reopened.get_by_ids(["x", "y", "z"])] == \
        [("x", "c", {"v": 2}), ("y", "b", {})]
    assert len(reopened.db.ids()) == 2


def test_open_passes_the_format_version_on(tmp_path: Path, file_format: int) -> None:
    path = str(tmp_path / "format.ormel")
    emb = AxisEmbeddings(size=EMBEDDING_SIZE)
    with OrmelVectorStore.open(path, PASS, emb, dimensions=EMBEDDING_SIZE, format_version=file_format) as store:
        assert store.db.format_version == file_format
    with pytest.raises(ormel.InvalidArgument):
        OrmelVectorStore.open(path, PASS, emb, format_version={8: 9, 9: 8}[file_format])
    with OrmelVectorStore.open(path, PASS, emb) as store:
        assert store.db.format_version == file_format


@pytest.mark.parametrize("flt, message", [
    ({"$bogus": []}, r"\$bogus"),
    (["tag"], "filter must be a dict"),
    ({1: "x"}, "filter keys must be strings, not 1"),
    ({"$or": [{"tag": "x"}, {2: "y"}]}, "filter keys must be strings, not 2"),
    ({"$not": {None: 1}}, "filter keys must be strings, not None"),
    ({"n": {3: 1}}, "keys must be str"),
])
def test_bad_filters_raise_value_error(store: OrmelVectorStore, flt, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        store.similarity_search("a", filter=flt)


def test_cache_keeps_answers_per_model_and_across_reopening(tmp_path: Path) -> None:
    path = str(tmp_path / "cache.ormel")
    cache = OrmelCache(ormel.open(path, PASS, dimensions=4))
    cache.update("prompt", "model-1", [Generation(text="one")])
    assert cache.lookup("prompt", "model-2") is None
    del cache
    cache = OrmelCache(ormel.open(path, PASS))
    assert cache.lookup("prompt", "model-1") == [Generation(text="one")]


CHAT_ANSWER = [
    ChatGeneration(message=AIMessage("it is 4", id="run-1", response_metadata={"model": "m"},
                                     tool_calls=[{"name": "add", "args": {"a": 2, "b": 2}, "id": "call-1"}],
                                     usage_metadata={"input_tokens": 3, "output_tokens": 2, "total_tokens": 5}),
                   generation_info={"finish_reason": "stop", "logprobs": [-0.5, None]}),
    ChatGenerationChunk(message=AIMessageChunk("a second choice")),
]


@pytest.fixture(params=["exact", "semantic"])
def cache(request: pytest.FixtureRequest, db: ormel.Ormel) -> OrmelCache | OrmelSemanticCache:
    if request.param == "exact":
        return OrmelCache(db)
    return OrmelSemanticCache(db, DeterministicFakeEmbedding(size=EMBEDDING_SIZE))


@pytest.mark.parametrize("answer", [[Generation(text="plain", generation_info={"n": 1})], CHAT_ANSWER])
def test_cache_hits_give_the_answer_back(cache, answer: list[Generation]) -> None:
    cache.update("what is 2+2?", "model", answer)
    hit = cache.lookup("what is 2+2?", "model")
    assert hit == answer and [type(g) for g in hit] == [type(g) for g in answer]


@pytest.mark.parametrize("kind", ["exact", "semantic"])
async def test_async_cache_calls_leave_the_loop_free(db: ormel.Ormel, kind: str) -> None:
    gate = Gate(db)
    cache = OrmelCache(gate.db) if kind == "exact" else OrmelSemanticCache(gate.db, AsyncAxisEmbeddings())
    answer = [Generation(text="answer")]
    await gate.through(cache.aupdate("a", "model", answer))
    assert await gate.through(cache.alookup("a", "model")) == answer
    await gate.through(cache.aclear())
    assert await gate.through(cache.alookup("a", "model")) is None


LOOKUPS = """
import ormel
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings
from langchain_core.outputs import Generation
from ormel.langchain import OrmelCache, OrmelSemanticCache
db = ormel.open(PATH, "pw", dimensions=8)
for cache in (OrmelCache(db), OrmelSemanticCache(db, DeterministicFakeEmbedding(size=8))):
    cache.update("prompt", "model", [Generation(text="answer")])
    assert cache.lookup("prompt", "model") == cache.lookup("prompt", "model") == [Generation(text="answer")]
"""


def test_cache_hits_emit_no_warning(tmp_path: Path) -> None:
    # LangChain's own loader is a beta API that warns (once a process, so in a fresh one).
    script = LOOKUPS.replace("PATH", repr(str(tmp_path / "warn.ormel")))
    run = subprocess.run([sys.executable, "-W", "always", "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0 and run.stderr == "", run.stderr


def test_cache_entries_it_cannot_read_or_write_are_misses(cache, db: ormel.Ormel) -> None:
    # An entry LangChain's serialiser wrote (as earlier versions did) is a miss until it is replaced.
    old = dumps([Generation(text="old")])
    if isinstance(cache, OrmelCache):
        db.cache_put(cache.namespace, json.dumps(["model", "old"]), old)
    else:
        vector = DeterministicFakeEmbedding(size=EMBEDDING_SIZE).embed_query("old")
        db.cache_put_semantic(cache.namespace, "old", vector, old, "model")
    assert cache.lookup("old", "model") is None
    cache.update("old", "model", [Generation(text="new")])
    assert cache.lookup("old", "model") == [Generation(text="new")]
    # An answer JSON cannot carry is not kept, and the call that made it is not disturbed.
    cache.update("odd", "model", [Generation(text="x", generation_info={"handle": object()})])
    assert cache.lookup("odd", "model") is None


class TableEmbeddings(AxisEmbeddings):
    """Known texts embed as unit vectors along their table axis; any other text along the last."""

    table: dict[str, int] = {}

    def _vector(self, text: str) -> list[float]:
        v = [0.0] * self.size
        v[self.table.get(text, self.size - 1)] = 1.0
        return v

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        return [self._vector(t) for t in texts]

    def embed_query(self, text: str) -> list[float]:
        return self._vector(text)


@pytest.fixture
def notes(db: ormel.Ormel) -> OrmelVectorStore:
    """A note found only by its ticket number, one near the query's vector, and filler."""
    embeddings = TableEmbeddings(size=EMBEDDING_SIZE,
                                 table={"rollback of INC-4471": 0, "deploy went fine": 1, "what broke? INC-4471": 1})
    s = OrmelVectorStore(db, embeddings)
    texts = ["rollback of INC-4471", "deploy went fine"] + [f"filler {n}" for n in range(10)]
    s.add_texts(texts, metadatas=[{"n": n} for n in range(len(texts))], ids=["ticket", "deploy"] + [f"f{n}" for n in range(10)])
    return s


def test_keyword_and_hybrid_search(notes: OrmelVectorStore) -> None:
    assert [d.id for d in notes.keyword_search("inc-4471")] == ["ticket"]
    assert notes.keyword_search("inc-4471", filter={"n": 1}) == []
    scored = notes.hybrid_search_with_score("what broke? INC-4471", k=2)
    assert {d.id for d, _ in scored} == {"ticket", "deploy"}
    assert all(0.0 < s <= 1.0 for _, s in scored)
    assert [d.id for d in notes.similarity_search("what broke? INC-4471", k=1)] == ["deploy"]


@pytest.mark.parametrize("search_type, expected", [("keyword", ["ticket"]), ("hybrid", ["ticket", "deploy"]),
                                                   ("similarity", ["deploy"])])
async def test_retriever_search_types(notes: OrmelVectorStore, search_type: str, expected: list[str]) -> None:
    retriever = notes.as_retriever(search_type=search_type, search_kwargs={"k": len(expected)})
    query = "INC-4471" if search_type == "keyword" else "deploy went fine"
    if search_type == "hybrid":
        query = "what broke? INC-4471"
    assert {d.id for d in retriever.invoke(query)} == set(expected)
    assert {d.id for d in await retriever.ainvoke(query)} == set(expected)


def test_where_document_contains(notes: OrmelVectorStore) -> None:
    found = notes.similarity_search("deploy went fine", k=5, where_document={"$contains": "INC-4471"})
    assert [d.id for d in found] == ["ticket"]
    assert [d.id for d in notes.similarity_search("x", k=5, where_document={"$contains": "filler 1"})] == ["f1"]
    assert notes.similarity_search("x", where_document={"$contains": "INC-4472"}) == []
    with pytest.raises(ValueError, match="where_document"):
        notes.similarity_search("x", where_document={"$not_contains": "a"})
