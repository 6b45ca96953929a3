"""LangChain integrations: a vector store and two LLM caches on an encrypted ormel file.

    pip install "ormel[langchain]"

    from ormel.langchain import OrmelVectorStore, OrmelCache, OrmelSemanticCache
    store = OrmelVectorStore.open("agent.ormel", "passphrase", embedding=my_embeddings)
    store.add_texts(["Deploys need two approvals."], metadatas=[{"source": "runbook"}], ids=["r1"])
    store.similarity_search("how do deploys work?", k=3, filter={"source": "runbook"})
    store.hybrid_search("INC-4471 rollback", k=3)       # keywords and vectors fused
    store.as_retriever(search_type="hybrid")            # also "keyword"

Documents are memories of the type "semantic" whose agent is the collection name. A document's
LangChain id and collection live under the metadata key "langchain", its own metadata under
"document"; filters are written against the document's metadata (the operators of `recall`'s
`where=`: equality, $eq, $ne, $gt, $gte, $lt, $lte, $in, $nin, $exists, $and, $or, $not).
Similarity searches also take `where_document={"$contains": "text"}`: only documents whose
text holds that exact string (which must contain a word) are ranked.
"""

from __future__ import annotations

import asyncio
import json
import uuid
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import Any

import numpy as np
from langchain_core.caches import RETURN_VAL_TYPE, BaseCache
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.messages import BaseMessage, messages_from_dict
from langchain_core.outputs import ChatGeneration, ChatGenerationChunk, Generation
from langchain_core.vectorstores import VectorStore, VectorStoreRetriever
from langchain_core.vectorstores.utils import maximal_marginal_relevance

import ormel

from ._adapter_db import DbAdapter, SharedDb, derived_id

_LC = "langchain"
_DOC = "document"
_COMBINATORS = ("$and", "$or")


def _scoped_filter(flt: Any) -> Any:
    """A LangChain metadata filter rewritten to reach the document's metadata in a memory."""
    if not isinstance(flt, dict):
        raise ValueError("filter must be a dict")
    out: dict[str, Any] = {}
    for key, value in flt.items():
        if not isinstance(key, str):
            raise ValueError(f"filter keys must be strings, not {key!r}")
        if key in _COMBINATORS:
            if not isinstance(value, list):
                raise ValueError(f"{key} takes a list of filters")
            out[key] = [_scoped_filter(v) for v in value]
        elif key == "$not":
            out[key] = _scoped_filter(value)
        elif key.startswith("$"):
            raise ValueError(f"unknown filter operator {key}")
        else:
            out[f"{_DOC}.{key}"] = value
    return out


def _needle(where_document: Any) -> str:
    if not (isinstance(where_document, dict) and list(where_document) == ["$contains"]
            and isinstance(where_document["$contains"], str)):
        raise ValueError('where_document must be {"$contains": "<text>"}')
    return where_document["$contains"]


class OrmelRetriever(VectorStoreRetriever):
    """The vector store's retriever, with two more search types: "keyword" (BM25) and
    "hybrid" (keywords and vectors fused); their search_kwargs are those of the store's
    keyword_search and hybrid_search."""

    allowed_search_types = (*VectorStoreRetriever.allowed_search_types, "keyword", "hybrid")

    def _get_relevant_documents(self, query: str, *, run_manager: Any, **kwargs: Any) -> list[Document]:
        if self.search_type in ("keyword", "hybrid"):
            search = getattr(self.vectorstore, f"{self.search_type}_search")
            return search(query, **(self.search_kwargs | kwargs))
        return super()._get_relevant_documents(query, run_manager=run_manager, **kwargs)

    async def _aget_relevant_documents(self, query: str, *, run_manager: Any, **kwargs: Any) -> list[Document]:
        if self.search_type in ("keyword", "hybrid"):
            return await asyncio.to_thread(self._get_relevant_documents, query, run_manager=run_manager, **kwargs)
        return await super()._aget_relevant_documents(query, run_manager=run_manager, **kwargs)


class OrmelVectorStore(DbAdapter, VectorStore):
    """A LangChain vector store in an encrypted ormel database.

    Ids given by the caller are kept as they are (any string); adding a document whose id
    exists in the collection replaces it. Scores from `similarity_search_with_score` are
    cosine similarities in [-1, 1]; relevance scores map them to [0, 1] as (1 + s) / 2.
    With `autoflush` (the default) every add and delete is committed before it returns.
    A store made by `open` (or `from_texts(path=...)`) releases its file on `close()` or at
    the end of a `with` block.

    The async methods never block the event loop: they await the embedder's async methods and
    run the database work on a worker thread. Those that embed are written here; the others
    (`aget_by_ids`, `adelete`, `asimilarity_search_by_vector`, the MMR search by vector) are
    LangChain's own, which run the sync method on a worker thread already. Cancelling the await
    of a change stops the waiting: a change that has reached its thread is made whole there.
    """

    def __init__(self, db: ormel.Ormel, embedding: Embeddings, *, collection: str = "langchain",
                 autoflush: bool = True) -> None:
        self._shared = SharedDb(db, autoflush)
        self._embedding = embedding
        self.collection = collection

    @classmethod
    def open(cls, path: str, passphrase: str, embedding: Embeddings, *, collection: str = "langchain",
             dimensions: int | None = None, autoflush: bool = True,
             format_version: int | None = None) -> OrmelVectorStore:
        """Opens (or creates) the database at `path`. A new database takes `dimensions`, or
        the length of one embedding of a probe text when it is None. `format_version` is
        `ormel.open`'s: the format of a new file, or the one an existing file must have."""
        shared = SharedDb.open(path, passphrase, dimensions, lambda: len(embedding.embed_query("dimensions")),
                               autoflush, format_version)
        return cls.owning(shared, lambda db: cls(db, embedding, collection=collection, autoflush=autoflush))

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    def _memory_id(self, doc_id: str) -> str:
        return derived_id(_LC, self.collection, doc_id)

    def _where(self, flt: dict[str, Any] | None) -> dict[str, Any]:
        scope = {f"{_LC}.collection": self.collection}
        return scope if not flt else {"$and": [scope, _scoped_filter(flt)]}

    @staticmethod
    def _document(memory: dict[str, Any]) -> Document:
        meta = memory["metadata"]
        return Document(id=meta[_LC]["id"], page_content=memory["content"], metadata=meta.get(_DOC, {}))

    def add_texts(self, texts: Iterable[str], metadatas: list[dict[str, Any]] | None = None, *,
                  ids: list[str] | None = None, **kwargs: Any) -> list[str]:
        texts, doc_ids = self._checked_texts(texts, metadatas, ids)
        if not texts:
            return []
        return self._store(texts, metadatas, doc_ids, self._embedding.embed_documents(texts))

    async def aadd_texts(self, texts: Iterable[str], metadatas: list[dict[str, Any]] | None = None, *,
                         ids: list[str] | None = None, **kwargs: Any) -> list[str]:
        texts, doc_ids = self._checked_texts(texts, metadatas, ids)
        if not texts:
            return []
        vectors = await self._embedding.aembed_documents(texts)
        return await asyncio.to_thread(self._store, texts, metadatas, doc_ids, vectors)

    @staticmethod
    def _checked_texts(texts: Iterable[str], metadatas: list[dict[str, Any]] | None,
                       ids: Sequence[str | None] | None) -> tuple[list[str], list[str]]:
        """The texts as a list and their ids, a new one for each missing; lengths checked."""
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"got {len(metadatas)} metadatas for {len(texts)} texts")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"got {len(ids)} ids for {len(texts)} texts")
        return texts, [i if i else str(uuid.uuid4()) for i in (ids or [None] * len(texts))]

    def _store(self, texts: list[str], metadatas: list[dict[str, Any]] | None, doc_ids: list[str],
               vectors: Sequence[Sequence[float]]) -> list[str]:
        """Writes the documents with their embeddings, as one batch."""
        matrix = np.asarray(vectors, dtype=np.float32)
        metas = [{_LC: {"id": i, "collection": self.collection}, _DOC: dict(m or {})}
                 for i, m in zip(doc_ids, metadatas or [{}] * len(texts))]
        memory_ids = [self._memory_id(i) for i in doc_ids]
        self._shared.write(lambda db: db.remember_many(texts, "semantic", matrix, ids=memory_ids,
                                                       agent_id=self.collection, metadata=metas))
        return doc_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool:
        if ids is None:
            ids = [m["metadata"][_LC]["id"] for m in self._shared.run(
                lambda db: [db.get(e["id"]) for e in db.ids(agent_id=self.collection)])
                if isinstance(m["metadata"].get(_LC), dict)]
        self._shared.write(lambda db: [self._shared.delete(self._memory_id(i)) for i in ids])
        return True

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        docs = []
        for doc_id in dict.fromkeys(ids):
            memory = self._shared.get(self._memory_id(doc_id))
            if memory is not None:
                docs.append(self._document(memory))
        return docs

    def _search(self, vector: Sequence[float], k: int, flt: dict[str, Any] | None,
                where_document: dict[str, Any] | None = None) -> list[tuple[dict[str, Any], float]]:
        query = np.asarray(vector, dtype=np.float32)
        where = self._where(flt)
        if where_document is None:
            return self._shared.run(lambda db: db.search(query, top_k=k, where=where))
        # Every document holding the needle's words, by keywords, then the exact string.
        needle = _needle(where_document)
        found = self._shared.run(lambda db: db.search_text(needle, top_k=2**63, where=where))
        hits = [(m, _cosine(query, m["vector"])) for m, _ in found if needle in m["content"]]
        return sorted(hits, key=lambda h: -h[1])[:k]

    def similarity_search_by_vector_with_score(self, embedding: Sequence[float], k: int = 4,
                                               filter: dict[str, Any] | None = None,
                                               **kwargs: Any) -> list[tuple[Document, float]]:
        hits = self._search(embedding, k, filter, kwargs.get("where_document"))
        return [(self._document(m), s) for m, s in hits]

    def similarity_search_with_score(self, query: str, k: int = 4, filter: dict[str, Any] | None = None,
                                     **kwargs: Any) -> list[tuple[Document, float]]:
        return self.similarity_search_by_vector_with_score(self._embedding.embed_query(query), k, filter, **kwargs)

    async def asimilarity_search_with_score(self, query: str, k: int = 4, filter: dict[str, Any] | None = None,
                                            **kwargs: Any) -> list[tuple[Document, float]]:
        vector = await self._embedding.aembed_query(query)
        return await asyncio.to_thread(self.similarity_search_by_vector_with_score, vector, k, filter)

    def similarity_search_by_vector(self, embedding: list[float], k: int = 4,
                                    filter: dict[str, Any] | None = None, **kwargs: Any) -> list[Document]:
        return [d for d, _ in self.similarity_search_by_vector_with_score(embedding, k, filter, **kwargs)]

    def similarity_search(self, query: str, k: int = 4, filter: dict[str, Any] | None = None,
                          **kwargs: Any) -> list[Document]:
        return [d for d, _ in self.similarity_search_with_score(query, k, filter, **kwargs)]

    def keyword_search_with_score(self, query: str, k: int = 4, filter: dict[str, Any] | None = None,
                                  **kwargs: Any) -> list[tuple[Document, float]]:
        """Documents by BM25 keyword score (see Ormel.search_text), best first."""
        where = self._where(filter)
        found = self._shared.run(lambda db: db.search_text(query, top_k=k, where=where))
        return [(self._document(m), s) for m, s in found]

    def keyword_search(self, query: str, k: int = 4, filter: dict[str, Any] | None = None,
                       **kwargs: Any) -> list[Document]:
        return [d for d, _ in self.keyword_search_with_score(query, k, filter)]

    def hybrid_search_with_score(self, query: str, k: int = 4, filter: dict[str, Any] | None = None, *,
                                 rrf_k: float = 60.0, **kwargs: Any) -> list[tuple[Document, float]]:
        """Documents by reciprocal rank fusion of the vector and keyword rankings (hybrid
        recall without recency, importance or access signals); the score is the fused
        relevance, 1.0 for first place in both."""
        vector = np.asarray(self._embedding.embed_query(query), dtype=np.float32)
        where = self._where(filter)
        found = self._shared.run(lambda db: db.recall(
            vector, top_k=k, track_access=False, where=where, text=query, rrf_k=rrf_k,
            recency_weight=0.0, importance_weight=0.0, access_weight=0.0))
        return [(self._document(r), r["score"]) for r in found]

    def hybrid_search(self, query: str, k: int = 4, filter: dict[str, Any] | None = None, *,
                      rrf_k: float = 60.0, **kwargs: Any) -> list[Document]:
        return [d for d, _ in self.hybrid_search_with_score(query, k, filter, rrf_k=rrf_k)]

    def as_retriever(self, **kwargs: Any) -> OrmelRetriever:
        tags = kwargs.pop("tags", None) or [*self._get_retriever_tags()]
        return OrmelRetriever(vectorstore=self, tags=tags, **kwargs)

    async def asimilarity_search(self, query: str, k: int = 4, filter: dict[str, Any] | None = None,
                                 **kwargs: Any) -> list[Document]:
        return [d for d, _ in await self.asimilarity_search_with_score(query, k, filter)]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        return lambda s: min(1.0, max(0.0, (1.0 + s) / 2.0))

    def max_marginal_relevance_search_by_vector(self, embedding: list[float], k: int = 4, fetch_k: int = 20,
                                                lambda_mult: float = 0.5, filter: dict[str, Any] | None = None,
                                                **kwargs: Any) -> list[Document]:
        hits = self._search(embedding, max(k, fetch_k), filter)
        if not hits:
            return []
        chosen = maximal_marginal_relevance(np.asarray(embedding, dtype=np.float32),
                                            [m["vector"] for m, _ in hits], lambda_mult=lambda_mult, k=k)
        return [self._document(hits[i][0]) for i in chosen]

    def max_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20, lambda_mult: float = 0.5,
                                      filter: dict[str, Any] | None = None, **kwargs: Any) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(self._embedding.embed_query(query), k, fetch_k,
                                                            lambda_mult, filter)

    async def amax_marginal_relevance_search(self, query: str, k: int = 4, fetch_k: int = 20,
                                             lambda_mult: float = 0.5, filter: dict[str, Any] | None = None,
                                             **kwargs: Any) -> list[Document]:
        vector = await self._embedding.aembed_query(query)
        return await asyncio.to_thread(self.max_marginal_relevance_search_by_vector, vector, k, fetch_k,
                                       lambda_mult, filter)

    @classmethod
    def from_texts(cls, texts: list[str], embedding: Embeddings, metadatas: list[dict[str, Any]] | None = None,
                   *, ids: list[str] | None = None, path: str | None = None, passphrase: str | None = None,
                   db: ormel.Ormel | None = None, **kwargs: Any) -> OrmelVectorStore:
        """A store holding `texts`: in the open database `db`, or in the file at `path`
        opened (or created) with `passphrase`."""
        store = cls._made(embedding, path, passphrase, db, kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store

    @classmethod
    async def afrom_texts(cls, texts: list[str], embedding: Embeddings, metadatas: list[dict[str, Any]] | None = None,
                          *, ids: list[str] | None = None, path: str | None = None, passphrase: str | None = None,
                          db: ormel.Ormel | None = None, **kwargs: Any) -> OrmelVectorStore:
        store = await asyncio.to_thread(cls._made, embedding, path, passphrase, db, kwargs)
        await store.aadd_texts(texts, metadatas, ids=ids)
        return store

    @classmethod
    def _made(cls, embedding: Embeddings, path: str | None, passphrase: str | None, db: ormel.Ormel | None,
              options: dict[str, Any]) -> OrmelVectorStore:
        """The store `from_texts` fills: on `db`, or on the file at `path` opened with `passphrase`."""
        if db is not None:
            return cls(db, embedding, **options)
        if path is not None and passphrase is not None:
            return cls.open(path, passphrase, embedding, **options)
        raise ValueError("from_texts needs db= or both path= and passphrase=")


def _cosine(a: np.ndarray, b: Sequence[float]) -> float:
    v = np.asarray(b, dtype=np.float32)
    norms = float(np.linalg.norm(a)) * float(np.linalg.norm(v))
    return float(np.dot(a, v)) / norms if norms > 0 else 0.0


def _cache_key(prompt: str, llm_string: str) -> str:
    return json.dumps([llm_string, prompt], ensure_ascii=False)


# The generation classes a cached answer is rebuilt as, by their `type` field (a plain
# GenerationChunk's is "Generation").
_GENERATIONS = {cls.__name__: cls for cls in (Generation, ChatGeneration, ChatGenerationChunk)}


def _message_dict(message: BaseMessage) -> dict[str, Any]:
    """A message in the form `messages_from_dict` reads, with JSON values only."""
    return {"type": message.type, "data": message.model_dump(mode="json")}


def _generations_json(generations: RETURN_VAL_TYPE) -> str | None:
    """Generations as plain JSON (their fields, a chat generation's message as a message dict),
    or None when a field holds something JSON cannot carry.

    This stays clear of LangChain's own loader (`loads`), a beta API that warns when called.
    """
    items = []
    try:
        for generation in generations:
            item = generation.model_dump(mode="json", exclude={"message"})
            if isinstance(generation, ChatGeneration):
                item["message"] = _message_dict(generation.message)
            items.append(item)
    except ValueError:
        return None
    return json.dumps({"generations": items}, ensure_ascii=False)


def _generations_from_json(text: str) -> list[Generation] | None:
    """The generations `_generations_json` wrote; None, a miss, for a value in any other form
    (entries written by earlier versions through LangChain's serialiser among them)."""
    try:
        data = json.loads(text)
        items = data["generations"]
        generations = []
        for item in items:
            cls = _GENERATIONS[item["type"]]
            if "message" in item:
                item = {**item, "message": messages_from_dict([item["message"]])[0]}
            generations.append(cls(**item))
    except (ValueError, TypeError, KeyError):
        return None
    return generations


def _cached(hit: Mapping[str, Any] | None) -> list[Generation] | None:
    return None if hit is None else _generations_from_json(hit["value"].decode("utf-8"))


class OrmelCache(BaseCache):
    """LangChain's LLM cache in ormel's exact-key result cache: one entry per prompt and
    model string, in the namespace `namespace`, optionally with a time-to-live. The async
    methods are LangChain's own, which run these on a worker thread."""

    def __init__(self, db: ormel.Ormel, *, namespace: str = "langchain-llm", ttl_secs: int | None = None) -> None:
        self._shared = SharedDb(db)
        self.namespace = namespace
        self.ttl_secs = ttl_secs

    def lookup(self, prompt: str, llm_string: str) -> RETURN_VAL_TYPE | None:
        return _cached(self._shared.run(lambda db: db.cache_get(self.namespace, _cache_key(prompt, llm_string))))

    def update(self, prompt: str, llm_string: str, return_val: RETURN_VAL_TYPE) -> None:
        value = _generations_json(return_val)
        if value is None:
            return
        self._shared.run(lambda db: db.cache_put(self.namespace, _cache_key(prompt, llm_string), value,
                                                 content_type="application/json", ttl_secs=self.ttl_secs))

    def clear(self, **kwargs: Any) -> None:
        self._shared.run(lambda db: db.cache_purge(self.namespace))


class OrmelSemanticCache(BaseCache):
    """LangChain's LLM cache in ormel's semantic cache: a lookup returns the stored answer
    of the most similar earlier prompt for the same model string, when its cosine
    similarity reaches `threshold`. The async methods await the embedder's `aembed_query` and
    run the database work on a worker thread (`aclear` is LangChain's, which does the same)."""

    def __init__(self, db: ormel.Ormel, embedding: Embeddings, *, threshold: float = 0.97,
                 namespace: str = "langchain-llm-semantic", ttl_secs: int | None = None) -> None:
        self._shared = SharedDb(db)
        self._embedding = embedding
        self.threshold = threshold
        self.namespace = namespace
        self.ttl_secs = ttl_secs

    def lookup(self, prompt: str, llm_string: str) -> RETURN_VAL_TYPE | None:
        return self._lookup(self._embedding.embed_query(prompt), llm_string)

    async def alookup(self, prompt: str, llm_string: str) -> RETURN_VAL_TYPE | None:
        return await asyncio.to_thread(self._lookup, await self._embedding.aembed_query(prompt), llm_string)

    def _lookup(self, query: list[float], llm_string: str) -> RETURN_VAL_TYPE | None:
        return _cached(self._shared.run(
            lambda db: db.cache_get_semantic(self.namespace, query, llm_string, self.threshold)))

    def update(self, prompt: str, llm_string: str, return_val: RETURN_VAL_TYPE) -> None:
        value = _generations_json(return_val)
        if value is not None:
            self._update(prompt, self._embedding.embed_query(prompt), llm_string, value)

    async def aupdate(self, prompt: str, llm_string: str, return_val: RETURN_VAL_TYPE) -> None:
        value = _generations_json(return_val)
        if value is not None:
            vector = await self._embedding.aembed_query(prompt)
            await asyncio.to_thread(self._update, prompt, vector, llm_string, value)

    def _update(self, prompt: str, vector: list[float], llm_string: str, value: str) -> None:
        self._shared.run(lambda db: db.cache_put_semantic(self.namespace, prompt, vector, value, llm_string,
                                                          content_type="application/json", ttl_secs=self.ttl_secs))

    def clear(self, **kwargs: Any) -> None:
        self._shared.run(lambda db: db.cache_purge(self.namespace))
