"""The method table of `Ormel`, checked row by row: presence, text signature, behaviour on a
read-only handle, the borrow each method takes, and the type stubs' agreement with it."""

import ast
import gc
import inspect
import pathlib
import sys
import time
from dataclasses import dataclass
from typing import Callable

import pytest

import ormel
from conftest import PASSPHRASE, RO_MESSAGE, vec


@dataclass
class Row:
    name: str
    signature: str  # the parameters after `$self`
    borrow: str  # "exclusive", "shared" or "none"
    read_only: str  # "refused" or "works" on a read-only handle
    call: Callable  # (db, memory_id, tmp_path) -> result, a valid call
    # Whether the result holds enough new containers to let the collector run while the
    # borrow is held (see test_borrow_taken_by_each_method).
    probe: bool = False


V = vec(1)


def empty_batch(db):
    with db.batch():
        pass


ROWS = [
    Row("remember", "content, memory_type, vector, *, agent_id=None, importance=None, session_id=None, "
        "ttl_secs=None, shared=False, metadata=None, id=None", "exclusive", "refused",
        lambda db, i, t: db.remember("c", "episodic", V)),
    Row("remember_many", "contents, memory_type, vectors, *, agent_id=None, importance=None, session_id=None, "
        "ttl_secs=None, shared=False, metadata=None, ids=None, progress=None", "exclusive", "refused",
        lambda db, i, t: db.remember_many(["c"], "episodic", [V])),
    Row("load_memories", "memories", "exclusive", "refused", lambda db, i, t: db.load_memories([db.get(i)])),
    Row("update", "id, *, content=..., memory_type=..., vector=..., importance=..., metadata=..., ttl_secs=..., "
        "shared=..., session_id=...", "exclusive", "refused", lambda db, i, t: db.update(i, content="c")),
    Row("recall", "query, top_k=10, memory_types=None, agent_id=None, track_access=True, *, where=None, "
        "session_id=None, created_after=None, created_before=None, n_probe=None, n_rerank=None, "
        "similarity_weight=1.0, recency_weight=0.3, importance_weight=0.2, access_weight=0.1, "
        "recency_half_life_secs=604800.0, text=None, rrf_k=60.0, k1=1.2, b=0.75", "exclusive", "refused",
        lambda db, i, t: db.recall(V), probe=True),
    Row("search_text", "text, top_k=10, *, agent_id=None, memory_types=None, where=None, session_id=None, "
        "created_after=None, created_before=None, k1=1.2, b=0.75", "exclusive", "works",
        lambda db, i, t: db.search_text("seed more"), probe=True),
    Row("keyword_index_stats", "", "shared", "works", lambda db, i, t: db.keyword_index_stats()),
    Row("set_keyword_stemming", "on", "exclusive", "works", lambda db, i, t: db.set_keyword_stemming(True)),
    Row("search", "query, top_k=10, *, where=None, session_id=None, created_after=None, created_before=None",
        "exclusive", "works", lambda db, i, t: db.search(V), probe=True),
    Row("get", "id", "exclusive", "works", lambda db, i, t: db.get(i), probe=True),
    Row("delete", "id", "exclusive", "refused", lambda db, i, t: db.delete(i)),
    Row("flush", "", "exclusive", "refused", lambda db, i, t: db.flush()),
    Row("close", "", "exclusive", "refused", lambda db, i, t: db.close()),
    Row("release", "", "exclusive", "works", lambda db, i, t: db.release()),
    Row("refresh", "", "exclusive", "works", lambda db, i, t: pytest.raises(ormel.InvalidArgument, db.refresh)),
    Row("verify", "*, all_errors=False, progress=None", "exclusive", "works", lambda db, i, t: db.verify()),
    Row("ids", "*, agent_id=None, memory_type=None", "exclusive", "works", lambda db, i, t: db.ids(), probe=True),
    Row("about", "", "exclusive", "works", lambda db, i, t: db.about()),
    Row("insert_default_manifest", "", "exclusive", "refused", lambda db, i, t: db.insert_default_manifest()),
    Row("build_index", "*, progress=None", "exclusive", "refused", lambda db, i, t: db.build_index()),
    Row("drop_index", "", "exclusive", "works", lambda db, i, t: db.drop_index()),
    Row("has_index", "", "shared", "works", lambda db, i, t: db.has_index()),
    Row("snapshots", "", "shared", "works", lambda db, i, t: db.snapshots(), probe=True),
    Row("history", "id", "exclusive", "works", lambda db, i, t: db.history(i), probe=True),
    Row("restore_to", "txn_id", "exclusive", "refused", lambda db, i, t: db.restore_to(1)),
    Row("restore_to_time", "unix_secs", "exclusive", "refused",
        lambda db, i, t: db.restore_to_time(int(time.time()) + 3600)),
    Row("change_passphrase", "new_passphrase", "exclusive", "refused",
        lambda db, i, t: db.change_passphrase("another passphrase")),
    Row("set_cache_capacity", "pages", "exclusive", "works", lambda db, i, t: db.set_cache_capacity(64)),
    Row("page_cache_stats", "", "shared", "works", lambda db, i, t: db.page_cache_stats()),
    Row("set_max_snapshots", "max", "exclusive", "works", lambda db, i, t: db.set_max_snapshots(5)),
    Row("compact", "keep_history=True, *, progress=None, format_version=None", "exclusive", "refused",
        lambda db, i, t: db.compact()),
    Row("space", "", "exclusive", "works", lambda db, i, t: db.space()),
    Row("set_auto_compact", "min_bytes=67108864, ratio=1.0", "exclusive", "works",
        lambda db, i, t: db.set_auto_compact(None)),
    Row("stats", "", "exclusive", "works", lambda db, i, t: db.stats(), probe=True),
    Row("export_encrypted", "dest", "exclusive", "refused",
        lambda db, i, t: db.export_encrypted(str(t / "copy.ormel"))),
    Row("path", "", "shared", "works", lambda db, i, t: db.path),
    Row("format_version", "", "shared", "works", lambda db, i, t: db.format_version),
    Row("cache_put", 'namespace, key, value, content_type="text", ttl_secs=None', "exclusive", "refused",
        lambda db, i, t: db.cache_put("n", "k", "v")),
    Row("cache_get", "namespace, key", "exclusive", "works", lambda db, i, t: db.cache_get("n", "k")),
    Row("cache_delete", "namespace, key", "exclusive", "refused", lambda db, i, t: db.cache_delete("n", "k")),
    Row("cache_purge", "namespace=None, expired_only=False", "exclusive", "refused",
        lambda db, i, t: db.cache_purge()),
    Row("cache_stats", "namespace=None", "shared", "works", lambda db, i, t: db.cache_stats()),
    Row("cache_namespaces", "", "shared", "works", lambda db, i, t: db.cache_namespaces()),
    Row("cache_put_semantic", 'namespace, key, vector, value, model, content_type="text", ttl_secs=None',
        "exclusive", "refused", lambda db, i, t: db.cache_put_semantic("n", "k", V, "v", "m")),
    Row("cache_get_semantic", "namespace, query, model, threshold=0.97", "exclusive", "works",
        lambda db, i, t: db.cache_get_semantic("n", V, "m")),
    Row("batch", "", "none", "refused", lambda db, i, t: empty_batch(db)),
    Row("session", "agent_id", "none", "works", lambda db, i, t: db.session("a")),
    Row("__enter__", "", "none", "works", lambda db, i, t: db.__enter__()),
    Row("__exit__", "_exc_type, _exc_value, _traceback", "exclusive", "refused",
        lambda db, i, t: db.__exit__(None, None, None)),
]
IDS = [row.name for row in ROWS]
# The rows that are read-only properties, with their docstrings.
PROPERTY_DOCS = {
    "path": "Filesystem path of this database.",
    "format_version": "Format version of the file as committed (8 or 9); a compaction may convert it.",
}


def text_signature(row: Row) -> str:
    return "($self" + (", " + row.signature if row.signature else "") + ")"


def test_the_table_covers_every_public_method():
    public = {n for n in vars(ormel.Ormel) if not n.startswith("_")} | {"__enter__", "__exit__"}
    assert public == set(IDS)


@pytest.mark.parametrize("row", ROWS, ids=IDS)
def test_docstring_starts_with_text_signature(row, tmp_path):
    attribute = vars(ormel.Ormel)[row.name]
    if row.name in PROPERTY_DOCS:
        assert type(attribute).__name__ == "getset_descriptor"
        assert attribute.__doc__ == PROPERTY_DOCS[row.name]
        with pytest.raises(AttributeError):
            setattr(ormel.open(str(tmp_path / "p.ormel"), PASSPHRASE, dimensions=len(V)), row.name, None)
        return
    # The interpreter moves "name(...)\n--\n\n" into __text_signature__, leaving the description.
    assert attribute.__text_signature__ == text_signature(row)
    assert attribute.__doc__ and not attribute.__doc__.startswith(("\n", " "))
    inspect.signature(attribute)  # parseable
    if row.name == "close":
        assert attribute.__doc__.split("\n")[0] == "Flush and release; the object should not be used afterwards."


@pytest.fixture
def seeded(tmp_path):
    """Path and id of a flushed database holding one memory (transaction 1)."""
    path = str(tmp_path / "seeded.ormel")
    db = ormel.open(path, PASSPHRASE, dimensions=len(V))
    memory_id = db.remember("seed", "semantic", V)
    db.flush()
    return path, memory_id


@pytest.mark.parametrize("row", ROWS, ids=IDS)
def test_read_only_column(row, seeded, tmp_path):
    path, memory_id = seeded
    handle = ormel.open(path, PASSPHRASE, read_only=True)
    if row.read_only == "refused":
        with pytest.raises(RuntimeError) as info:
            row.call(handle, memory_id, tmp_path)
        assert str(info.value) == RO_MESSAGE
    else:
        row.call(handle, memory_id, tmp_path)
    # Nothing was written: a refused export creates no file, and the handle is unchanged.
    assert not (tmp_path / "copy.ormel").exists()
    if row.name == "release":
        handle = ormel.open(path, PASSPHRASE, read_only=True)
    assert handle.get(memory_id)["content"] == "seed"
    assert handle.snapshots()[-1]["txn_id"] == 1


@pytest.mark.parametrize("row", ROWS, ids=IDS)
def test_every_method_works_on_a_read_write_handle(row, seeded, tmp_path):
    path, memory_id = seeded
    handle = ormel.open(path, PASSPHRASE)
    row.call(handle, memory_id, tmp_path)


def test_recall_without_tracking_works_read_only(ro_db):
    handle, memory_id = ro_db
    assert handle.recall(V, track_access=False)[0]["id"] == memory_id
    # The query length is checked before the read-only rule.
    with pytest.raises(RuntimeError, match="^vector dimension mismatch: database expects 4, got 2$"):
        handle.recall([1.0, 2.0])


class Probe:
    """A collector callback that, while armed, calls the database with a shared borrow
    (has_index), an exclusive one (drop_index, a no-op without an index) and none (session),
    recording what each call raised."""

    def __init__(self, db, extra=()):
        self.calls = [("shared", db.has_index), ("exclusive", db.drop_index), ("none", lambda: db.session("p"))]
        self.calls += list(extra)
        self.seen = set()

    def __call__(self, phase, info):
        if phase != "start":
            return
        for kind, call in self.calls:
            try:
                call()
                self.seen.add((kind, "ok"))
            except RuntimeError as error:
                self.seen.add((kind, str(error)))

    def run(self, action, expected, attempts=20):
        """Runs `action` with the collector at its most eager until `expected` was seen."""
        old = gc.get_threshold()
        gc.callbacks.append(self)
        gc.set_threshold(1, 1, 1)
        gc.collect()  # start from empty generations, so that every young collection is due at once
        try:
            for _ in range(attempts):
                action()
                if expected <= self.seen:
                    break
        finally:
            gc.set_threshold(*old)
            gc.callbacks.remove(self)
        return self.seen


needs_eager_gc = pytest.mark.skipif(
    sys.version_info >= (3, 12), reason="from 3.12 on the collector runs between bytecodes, not inside a C call"
)
EXCLUSIVE_HELD = {("shared", "Already mutably borrowed"), ("exclusive", "Already borrowed"), ("none", "ok")}
SHARED_HELD = {("shared", "ok"), ("exclusive", "Already borrowed"), ("none", "ok")}


@needs_eager_gc
@pytest.mark.parametrize("row", [r for r in ROWS if r.probe], ids=[r.name for r in ROWS if r.probe])
def test_borrow_taken_by_each_method(row, tmp_path):
    db = ormel.open(str(tmp_path / "b.ormel"), PASSPHRASE, dimensions=len(V))
    memory_id = db.remember("seed", "semantic", V, metadata={"a": [1, {"b": [2]}], "c": {"d": []}})
    for n in range(3):
        db.remember(f"more {n}", "episodic", vec(0, 1), metadata={"n": [n]})
        db.flush()
    expected = EXCLUSIVE_HELD if row.borrow == "exclusive" else SHARED_HELD
    seen = Probe(db).run(lambda: row.call(db, memory_id, tmp_path), expected)
    assert expected <= seen
    if row.borrow == "shared":
        assert ("shared", "Already mutably borrowed") not in seen


@needs_eager_gc
def test_session_methods_hold_both_borrows(db):
    session = db.session("agent")
    for n in range(3):
        session.add_turn(ormel.Turn.user(f"turn {n}", vec(1, n)))
    probe = Probe(db, extra=[("session", session.turn_count)])
    seen = probe.run(lambda: session.recall(vec(1)), EXCLUSIVE_HELD | {("session", "Already mutably borrowed")})
    assert EXCLUSIVE_HELD | {("session", "Already mutably borrowed")} <= seen


def test_borrows_are_released_after_errors(db):
    with pytest.raises(RuntimeError):
        db.get("01ARZ3NDEKTSV4RRFFQ69G5FAV")
    with pytest.raises(RuntimeError):
        db.search([1.0])
    db.remember("after", "semantic", V)
    assert db.has_index() is False


def test_arguments_are_converted_before_the_borrow(db):
    calls = []

    class Reentrant:
        """A number whose conversion uses the database."""

        def __float__(self):
            calls.append((db.has_index(), db.drop_index(), db.stats()["memories"]))
            return 0.5

    memory_id = db.remember("x", "semantic", [Reentrant()] * len(V), importance=Reentrant(),
                            metadata={"r": Reentrant()})
    assert len(calls) == len(V) + 2
    assert db.get(memory_id)["importance"] == 0.5
    assert db.search([Reentrant()] * len(V))[0][0]["id"] == memory_id


STUB = pathlib.Path(ormel.__file__).with_name("__init__.pyi")


def stub_functions(tree, class_name=None):
    body = tree.body
    if class_name is not None:
        body = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name).body
    return {n.name: n for n in body if isinstance(n, ast.FunctionDef)}


def stub_parameters(fn: ast.FunctionDef, skip_first: bool):
    positional = fn.args.args[1:] if skip_first else fn.args.args
    defaults = [None] * (len(fn.args.args) - len(fn.args.defaults)) + fn.args.defaults
    defaults = defaults[1:] if skip_first else defaults
    params = [(a.arg, "positional", d is not None) for a, d in zip(positional, defaults)]
    params += [(a.arg, "keyword", d is not None) for a, d in zip(fn.args.kwonlyargs, fn.args.kw_defaults)]
    return params


def runtime_parameters(obj):
    params = [p for p in inspect.signature(obj).parameters.values()
              if not (p.kind is inspect.Parameter.POSITIONAL_ONLY and p.name in ("self", "cls"))]
    kind = {inspect.Parameter.POSITIONAL_OR_KEYWORD: "positional", inspect.Parameter.KEYWORD_ONLY: "keyword"}
    return [(p.name, kind[p.kind], p.default is not inspect.Parameter.empty) for p in params]


@pytest.mark.parametrize("class_name", ["Ormel", "Session", "Turn", None])
def test_stubs_match_the_extension(class_name):
    tree = ast.parse(STUB.read_text())
    stubs = stub_functions(tree, class_name)
    owner = getattr(ormel, class_name) if class_name else ormel
    if class_name is None:
        assert set(stubs) == {"open"}
    else:
        public = {n for n in vars(owner) if not n.startswith("_") or n in ("__enter__", "__exit__")}
        assert public == set(stubs) - {"__init__"}
    for name, fn in stubs.items():
        expected = stub_parameters(fn, skip_first=class_name is not None)
        if name == "__init__":
            assert expected == runtime_parameters(owner)
        elif type(inspect.getattr_static(owner, name)).__name__ == "getset_descriptor":
            assert [d.id for d in fn.decorator_list] == ["property"], name
        else:
            assert expected == runtime_parameters(getattr(owner, name)), name
