"""A LangGraph store on an encrypted ormel file: long-term memory for graphs.

    pip install "ormel[langgraph]"

    from ormel.langgraph import OrmelStore
    store = OrmelStore.open("agent.ormel", "passphrase",
                            index={"dims": 64, "embed": my_embed, "fields": ["text"]})
    store.put(("users", "alice"), "food", {"text": "Alice likes ramen"})
    store.search(("users", "alice"), query="what does alice eat?", limit=3)
    graph = builder.compile(store=store)

Each item is one memory of the type "semantic" whose agent is "langgraph". Its id is derived
from the namespace and key, so a get or an overwrite is a lookup by id. The memory's metadata
holds, under the key "langgraph": the namespace as a list and as the path "a.b." (labels
cannot contain periods, so a namespace prefix is the string range ["a.", "a/")), the key, the
value, the creation and update times, and with a TTL its length and expiry. The content is
the indexed text (or the value as JSON) and the vector its embedding; items that are not
indexed carry a fixed unit vector and are never ranked by similarity.

Expiry is kept in the metadata and checked here, against this module's clock, rather than in
the memory's own `ttl_secs`: LangGraph's TTLs are fractions of minutes counted from the last
access, while `ttl_secs` counts whole seconds from creation. Expired items are never returned
or listed; `sweep_ttl()` deletes them. A TTL must be a finite number of minutes.
"""

from __future__ import annotations

import asyncio
import json
import math
import time
from collections.abc import Iterable, Sequence
from datetime import datetime, timezone
from typing import Any

from langchain_core.embeddings import Embeddings

from langgraph.store.base import (
    BaseStore,
    GetOp,
    IndexConfig,
    Item,
    ListNamespacesOp,
    MatchCondition,
    Op,
    PutOp,
    Result,
    SearchItem,
    SearchOp,
    TTLConfig,
    ensure_embeddings,
    get_text_at_path,
    tokenize_path,
    validate_op_namespace,
)

import ormel

from ._adapter_db import DbAdapter, SharedDb, derived_id

_LG = "langgraph"
_AGENT = "langgraph"
_OPERATORS = ("$eq", "$ne", "$gt", "$gte", "$lt", "$lte")

# The clock of every creation, update and expiry time; tests replace it.
_now = time.time


def _path(namespace: Sequence[str]) -> str:
    """The namespace as "a.b.": every label followed by a period."""
    return "".join(f"{label}." for label in namespace)


def _prefix_where(prefix: Sequence[str]) -> dict[str, Any]:
    """Items whose namespace starts with `prefix`: their paths lie in [path, path with its last
    period raised to "/"). The empty prefix matches every item of this store."""
    start = _path(prefix)
    if not start:
        return {f"{_LG}.path": {"$gte": ""}}
    return {f"{_LG}.path": {"$gte": start, "$lt": start[:-1] + "/"}}


def _live_where(now: float) -> dict[str, Any]:
    # A null expiry is an infinite TTL that an earlier version let through: it never expires.
    expires = f"{_LG}.expires"
    return {"$or": [{expires: {"$exists": False}}, {expires: None}, {expires: {"$gt": now}}]}


def _expired(meta: dict[str, Any], now: float) -> bool:
    expires = meta.get("expires")
    return isinstance(expires, (int, float)) and expires <= now


def _ttl_minutes(ttl: Any) -> float:
    """A TTL in minutes as a float; an infinite, NaN or overflowing one is refused, since its
    expiry could not be stored as a time."""
    minutes = float(ttl)
    if not math.isfinite(minutes * 60.0):
        raise ValueError(f"ttl must be a finite number of minutes, not {ttl!r}")
    return minutes


def _checked_keys(cond: dict[Any, Any]) -> None:
    for key in cond:
        if not isinstance(key, str):
            raise ValueError(f"filter keys must be strings, not {key!r}")


def _compared(field: str, op: str, operand: Any) -> dict[str, Any]:
    """One comparison as LangGraph's InMemoryStore makes it: a missing field reads as None, and
    `$ne` holds for every value that is not equal, of another kind or missing included."""
    if op == "$ne":
        return {"$not": _compared(field, "$eq", operand)}
    if op == "$eq" and operand is None:
        return {"$or": [{field: None}, {field: {"$exists": False}}]}
    return {field: {op: operand}}


def _filter_where(flt: dict[str, Any]) -> tuple[list[dict[str, Any]], list[tuple[str, ...]]]:
    """A LangGraph value filter as metadata conditions. A top-level key matches the value's
    field; a dict without operators matches nested fields; operators compare.

    Also returns the fields that must hold dicts: those an empty dict names (LangGraph matches any
    dict there) and the parents of nested fields a condition may find missing. A metadata
    condition cannot tell a dict from a list, so `_dicts_at` checks them on the values found.
    """
    if not isinstance(flt, dict):
        raise ValueError("filter must be a dict")
    out: list[dict[str, Any]] = []
    dicts: list[tuple[str, ...]] = []

    def walk(fields: tuple[str, ...], cond: Any) -> None:
        prefix = ".".join((_LG, "value", *fields))
        if not isinstance(cond, dict):
            cond = {"$eq": cond}
        _checked_keys(cond)
        if not cond:
            out.append({prefix: {"$exists": True}})
            dicts.append(fields)
        elif all(k.startswith("$") for k in cond):
            for op, operand in cond.items():
                if op not in _OPERATORS:
                    raise ValueError(f"unsupported filter operator {op}")
                out.append(_compared(prefix, op, operand))
                if len(fields) > 1 and (op == "$ne" or operand is None):
                    dicts.append(fields[:-1])
        else:
            for key, sub in cond.items():
                if not key or "." in key or key.startswith("$"):
                    raise ValueError(f"unsupported filter key {key!r}")
                walk((*fields, key), sub)

    if flt:
        walk((), flt)
    return out, dicts


def _dicts_at(value: Any, fields: Sequence[tuple[str, ...]]) -> bool:
    """Whether `value` holds a dict at each of `fields`."""
    for path in fields:
        found = value
        for key in path:
            found = found.get(key) if isinstance(found, dict) else None
        if not isinstance(found, dict):
            return False
    return True


def _matches(namespace: tuple[str, ...], condition: MatchCondition) -> bool:
    path = tuple(condition.path)
    if len(namespace) < len(path):
        return False
    if condition.match_type == "prefix":
        part = namespace[: len(path)]
    elif condition.match_type == "suffix":
        part = namespace[len(namespace) - len(path):]
    else:
        raise ValueError(f"unsupported match type {condition.match_type!r}")
    return all(p == "*" or p == n for p, n in zip(path, part))


def _time(seconds: float) -> datetime:
    return datetime.fromtimestamp(seconds, timezone.utc)


class OrmelStore(DbAdapter, BaseStore):
    """A LangGraph `BaseStore` in an encrypted ormel database.

    `index` ({"dims", "embed", "fields"}) enables natural-language search: the texts at the
    item's fields (or the fields given to `put(..., index=[...])`) are joined by newlines and
    embedded once per item. Without a query, search returns items grouped by namespace (in the
    order each namespace first appears) and by creation within one; with a query, indexed items
    first, ranked by hybrid recall (reciprocal rank fusion of embedding similarity and BM25
    keyword rank of the query over the indexed text, so an item naming the query's identifier
    is found even when its embedding is far), each scored by its embedding's cosine similarity
    as LangGraph's own stores score, then the others in that order. `offset` and `limit` apply to that list.
    Within one batch, reads see the store as it was before the batch's writes; of several puts to
    one key the last wins. With `autoflush` (the default) each batch that writes is committed
    before it returns. A store made by `open` releases its file on `close()` or at the end of a
    `with` block.

    `abatch`, and so `aget`, `asearch`, `aput`, `adelete` and `alist_namespaces`, never blocks
    the event loop: it awaits the index's async embeddings, then runs the batch on a worker
    thread. Cancelling the await stops the waiting: a batch that has reached its thread runs
    to its end there, so it is applied whole or, cancelled while embedding, not at all.
    """

    supports_ttl = True

    def __init__(self, db: ormel.Ormel, *, index: IndexConfig | None = None, ttl: TTLConfig | None = None,
                 autoflush: bool = True) -> None:
        if ttl and ttl.get("default_ttl") is not None:
            _ttl_minutes(ttl["default_ttl"])
        self._shared = SharedDb(db, autoflush)
        self.ttl_config = ttl
        self.index_config = index
        self._dims = db.stats()["dimensions"]
        self._embeddings: Embeddings | None = None
        self._fields: list[str] = ["$"]
        if index:
            if "dims" in index and index["dims"] != self._dims:
                raise ValueError(f"index dims {index['dims']} differ from the database's {self._dims}")
            self._embeddings = ensure_embeddings(index.get("embed"))
            self._fields = list(index.get("fields") or ["$"])
        self._fixed_vector = [1.0] + [0.0] * (self._dims - 1)

    @classmethod
    def open(cls, path: str, passphrase: str, *, index: IndexConfig | None = None, ttl: TTLConfig | None = None,
             dimensions: int | None = None, autoflush: bool = True,
             format_version: int | None = None) -> OrmelStore:
        """Opens (or creates) the database at `path`. A new database takes `dimensions`, else
        the index's dims, else 1 (a store that will never search by meaning). `format_version`
        is `ormel.open`'s: the format of a new file, or the one an existing file must have."""
        dims = dimensions or (index or {}).get("dims") or 1
        shared = SharedDb.open(path, passphrase, dims, None, autoflush, format_version)
        return cls.owning(shared, lambda db: cls(db, index=index, ttl=ttl, autoflush=autoflush))

    # ---- batches -------------------------------------------------------------------------

    def batch(self, ops: Iterable[Op]) -> list[Result]:
        ops = self._checked(ops)
        queries, documents = self._texts(ops)
        query_vectors: dict[str, list[float]] = {}
        doc_vectors: list[list[float]] = []
        if self._embeddings is not None:
            query_vectors = {q: self._embeddings.embed_query(q) for q in queries}
            doc_vectors = self._embeddings.embed_documents(documents) if documents else []
        return self._execute(ops, query_vectors, dict(zip(documents, doc_vectors)))

    async def abatch(self, ops: Iterable[Op]) -> list[Result]:
        ops = self._checked(ops)
        queries, documents = self._texts(ops)
        query_vectors: dict[str, list[float]] = {}
        doc_vectors: list[list[float]] = []
        if self._embeddings is not None:
            vectors = await asyncio.gather(*(self._embeddings.aembed_query(q) for q in queries))
            query_vectors = dict(zip(queries, vectors))
            doc_vectors = await self._embeddings.aembed_documents(documents) if documents else []
        return await asyncio.to_thread(self._execute, ops, query_vectors, dict(zip(documents, doc_vectors)))

    @staticmethod
    def _checked(ops: Iterable[Op]) -> list[Op]:
        ops = list(ops)
        for op in ops:
            if not isinstance(op, (GetOp, SearchOp, PutOp, ListNamespacesOp)):
                raise ValueError(f"unknown operation type: {type(op)}")
            validate_op_namespace(op)
            if isinstance(op, PutOp) and not op.namespace:
                raise ValueError("namespace cannot be empty")
            if isinstance(op, PutOp) and op.ttl is not None:
                _ttl_minutes(op.ttl)
        return ops

    def _indexed_text(self, op: PutOp) -> str | None:
        """The text embedded for a put, or None when the item is not indexed."""
        if self._embeddings is None or op.value is None or op.index is False:
            return None
        texts: list[str] = []
        for field in self._fields if op.index is None else op.index:
            texts.extend(get_text_at_path(op.value, field if field == "$" else tokenize_path(field)))
        return "\n".join(texts) if texts else None

    def _texts(self, ops: list[Op]) -> tuple[list[str], list[str]]:
        """The distinct search queries and documents of a batch that need embedding."""
        if self._embeddings is None:
            return [], []
        queries = {op.query: None for op in ops if isinstance(op, SearchOp) and op.query}
        documents = {t: None for op in ops if isinstance(op, PutOp) and (t := self._indexed_text(op)) is not None}
        return list(queries), list(documents)

    def _execute(self, ops: list[Op], query_vectors: dict[str, list[float]],
                 doc_vectors: dict[str, list[float]]) -> list[Result]:
        return self._shared.run(lambda db: self._execute_held(ops, query_vectors, doc_vectors))

    def _execute_held(self, ops: list[Op], query_vectors: dict[str, list[float]],
                      doc_vectors: dict[str, list[float]]) -> list[Result]:
        now = _now()
        refresh: dict[str, dict[str, Any]] = {}
        results: list[Result] = []
        puts: dict[tuple[tuple[str, ...], str], PutOp] = {}
        for op in ops:
            if isinstance(op, GetOp):
                results.append(self._get(op, now, refresh))
            elif isinstance(op, SearchOp):
                results.append(self._search(op, now, query_vectors, refresh))
            elif isinstance(op, ListNamespacesOp):
                results.append(self._list_namespaces(op, now))
            else:
                puts[(tuple(op.namespace), op.key)] = op
                results.append(None)
        if refresh or puts:
            self._shared.write(lambda db: self._write(db, puts, refresh, doc_vectors, now))
        return results

    # ---- reads ---------------------------------------------------------------------------

    def _get(self, op: GetOp, now: float, refresh: dict[str, dict[str, Any]]) -> Item | None:
        memory_id = derived_id(_LG, *op.namespace, "", op.key)
        memory = self._shared.get(memory_id)
        if memory is None:
            return None
        meta = memory["metadata"].get(_LG)
        if not isinstance(meta, dict) or _expired(meta, now):
            return None
        if op.refresh_ttl:
            self._refreshed(memory_id, meta, now, refresh)
        return Item(value=meta["value"], key=meta["key"], namespace=tuple(meta["namespace"]),
                    created_at=_time(meta["created"]), updated_at=_time(meta["updated"]))

    @staticmethod
    def _refreshed(memory_id: str, meta: dict[str, Any], now: float, refresh: dict[str, dict[str, Any]]) -> None:
        if isinstance(meta.get("ttl"), (int, float)):
            refresh[memory_id] = {**meta, "expires": now + meta["ttl"] * 60.0}

    def _matching(self, prefix: Sequence[str], conditions: list[dict[str, Any]], vector: Sequence[float],
                  top_k: int | None, dicts: Sequence[tuple[str, ...]] = (),
                  text: str | None = None) -> list[tuple[Any, float]]:
        """Items under `prefix` meeting `conditions` and whose values hold dicts at `dicts`, ranked
        by similarity to `vector`, or with `text` by hybrid recall (the vector and keyword
        rankings fused, ranked by that relevance alone), each with its similarity; all of them
        when `top_k` is None."""
        db = self._shared.db
        limit = db.stats()["memories"] if top_k is None or dicts else top_k
        if limit <= 0:
            return []
        where = {"$and": [_prefix_where(prefix), *conditions]}
        if text is None:
            found = db.search(vector, top_k=limit, where=where)
        else:
            found = [(r, r["similarity"]) for r in db.recall(vector, limit, track_access=False, where=where, text=text,
                                                        recency_weight=0.0, importance_weight=0.0, access_weight=0.0)]
        if dicts:
            found = [(m, s) for m, s in found if _dicts_at(m["metadata"][_LG]["value"], dicts)][:top_k]
        return found

    def _search(self, op: SearchOp, now: float, query_vectors: dict[str, list[float]],
                refresh: dict[str, dict[str, Any]]) -> list[SearchItem]:
        if op.limit <= 0 or op.offset < 0:
            return []
        value_conditions, dicts = _filter_where(op.filter or {})
        conditions = [_live_where(now), *value_conditions]
        wanted = op.offset + op.limit
        scored: list[tuple[dict[str, Any], float | None]] = []
        if op.query and self._embeddings is not None:
            indexed = {f"{_LG}.indexed": True}
            scored = list(self._matching(op.namespace_prefix, [*conditions, indexed], query_vectors[op.query],
                                         wanted, dicts, text=op.query))
            conditions.append({f"{_LG}.indexed": False})
        if len(scored) < wanted:
            rest = [m for m, _ in self._matching(op.namespace_prefix, conditions, self._fixed_vector, None, dicts)]
            if op.filter and len({m["metadata"][_LG]["path"] for m in rest}) > 1:
                # Namespaces are ordered by their oldest item, filtered out or not.
                every = self._matching(op.namespace_prefix, [_live_where(now)], self._fixed_vector, None)
                scored.extend((m, None) for m in self._in_store_order(rest, [m for m, _ in every]))
            else:
                scored.extend((m, None) for m in self._in_store_order(rest, rest))
        items = []
        for memory, score in scored[op.offset:wanted]:
            meta = memory["metadata"][_LG]
            if op.refresh_ttl:
                self._refreshed(memory["id"], meta, now, refresh)
            items.append(SearchItem(namespace=tuple(meta["namespace"]), key=meta["key"], value=meta["value"],
                                    created_at=_time(meta["created"]), updated_at=_time(meta["updated"]),
                                    score=score))
        return items

    @staticmethod
    def _in_store_order(memories: list[dict[str, Any]], every: list[dict[str, Any]]) -> list[dict[str, Any]]:
        """`memories` grouped by namespace in the order of each namespace's oldest item among
        `every`, by creation within one."""
        first: dict[str, float] = {}
        for memory in every:
            meta = memory["metadata"][_LG]
            first[meta["path"]] = min(first.get(meta["path"], meta["created"]), meta["created"])

        def order(memory: dict[str, Any]) -> tuple[float, str, float, str]:
            meta = memory["metadata"][_LG]
            return (first[meta["path"]], meta["path"], meta["created"], meta["key"])

        return sorted(memories, key=order)

    def _list_namespaces(self, op: ListNamespacesOp, now: float) -> list[tuple[str, ...]]:
        prefix: tuple[str, ...] = ()
        for condition in op.match_conditions or ():
            if condition.match_type == "prefix" and "*" not in condition.path:
                prefix = tuple(condition.path)
        found = {tuple(m["metadata"][_LG]["namespace"])
                 for m, _ in self._matching(prefix, [_live_where(now)], self._fixed_vector, None)}
        names = [ns for ns in found if all(_matches(ns, c) for c in op.match_conditions or ())]
        if op.max_depth is not None:
            names = list({ns[: op.max_depth] for ns in names})
        return sorted(names)[op.offset: op.offset + op.limit]

    # ---- writes --------------------------------------------------------------------------

    def _write(self, db: ormel.Ormel, puts: dict[tuple[tuple[str, ...], str], PutOp],
               refresh: dict[str, dict[str, Any]], doc_vectors: dict[str, list[float]], now: float) -> None:
        for (namespace, key), op in puts.items():
            memory_id = derived_id(_LG, *namespace, "", key)
            refresh.pop(memory_id, None)
            if op.value is None:
                self._shared.delete(memory_id)
                continue
            old = self._shared.get(memory_id)
            old_meta = old["metadata"].get(_LG) if old else None
            live = isinstance(old_meta, dict) and not _expired(old_meta, now)
            created = old_meta["created"] if live and old_meta else now
            # A value goes through JSON so tuples become lists and a non-JSON value fails here.
            value = json.loads(json.dumps(dict(op.value)))
            meta: dict[str, Any] = {"namespace": list(namespace), "path": _path(namespace), "key": key,
                                    "value": value, "created": created,
                                    "updated": now}
            text = self._indexed_text(op)
            meta["indexed"] = text is not None
            if op.ttl is not None:
                meta["ttl"] = _ttl_minutes(op.ttl)
                meta["expires"] = now + meta["ttl"] * 60.0
            content = text if text is not None else json.dumps(value, sort_keys=True, ensure_ascii=False)
            vector = doc_vectors[text] if text is not None else self._fixed_vector
            db.remember(content, "semantic", vector, id=memory_id, agent_id=_AGENT, metadata={_LG: meta})
        for memory_id, meta in refresh.items():
            db.update(memory_id, metadata={_LG: meta})

    def sweep_ttl(self) -> int:
        """Deletes the items whose TTL has run out; how many there were."""
        return self._shared.run(lambda db: self._sweep_held())

    def _sweep_held(self) -> int:
        now = _now()
        expired = [m["id"] for m, _ in self._matching((), [{f"{_LG}.expires": {"$lte": now}}],
                                                       self._fixed_vector, None)]
        if expired:
            self._shared.write(lambda db: self._delete_all(db, expired))
        return len(expired)

    @staticmethod
    def _delete_all(db: ormel.Ormel, ids: list[str]) -> None:
        for memory_id in ids:
            db.delete(memory_id)
