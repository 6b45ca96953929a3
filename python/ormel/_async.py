"""The database as coroutines: every method of `Ormel` and `Session` runs on a worker thread
(the extension releases the interpreter lock while it works), so an event loop is never
blocked by the database.

Each handle has one worker thread of its own (its sessions use it too): calls on a handle
run one at a time anyway, so calls queued behind a busy one wait in that thread's queue
instead of holding threads of the loop's default pool. Cancelling an awaited call that has
not started yet means it never runs; a call that has started runs to its end on its
thread (a commit is never cut short), and the handle stays usable.
"""

from __future__ import annotations

import asyncio
import contextvars
import functools
from collections.abc import Callable, Coroutine
from concurrent.futures import ThreadPoolExecutor
from types import TracebackType
from typing import Any, Concatenate, ParamSpec, TypeVar

from . import Ormel, Session, open

__all__ = ["AsyncOrmel", "AsyncSession", "open_async"]

P = ParamSpec("P")
R = TypeVar("R")
H = TypeVar("H", Ormel, Session)
T = TypeVar("T", bound="_AsyncHandle")


async def _on(worker: ThreadPoolExecutor, fn: Callable[..., R], *args: Any, **kwargs: Any) -> R:
    """fn(*args, **kwargs) on `worker`, in the caller's context (as asyncio.to_thread runs it)."""
    context = contextvars.copy_context()
    call = functools.partial(context.run, fn, *args, **kwargs)
    return await asyncio.get_running_loop().run_in_executor(worker, call)


def _in_thread(method: Callable[Concatenate[H, P], R]) -> Callable[Concatenate[Any, P], Coroutine[Any, Any, R]]:
    """The coroutine form of `method`: the call runs on a worker thread."""
    name = method.__name__

    async def call(self: Any, *args: P.args, **kwargs: P.kwargs) -> R:
        return await self._run(getattr(self._handle, name), *args, **kwargs)

    functools.update_wrapper(call, method)
    return call


class _AsyncHandle:
    """What both coroutine wrappers share: the wrapped handle and `async with`, which leaves the
    handle's `with` block on a worker thread (a flush, or a session's end)."""

    def __init__(self, handle: Any, worker: ThreadPoolExecutor) -> None:
        self._handle = handle
        self._worker = worker

    async def _run(self, fn: Callable[..., R], *args: Any, **kwargs: Any) -> R:
        return await _on(self._worker, fn, *args, **kwargs)

    async def __aenter__(self: T) -> T:
        return self

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> bool:
        return bool(await self._run(self._handle.__exit__, exc_type, exc, tb))


async def _to_its_end(future: asyncio.Future[Any]) -> bool:
    """Waits until `future` is done, through any cancellation of the waiting task; whether it
    succeeded (its error, if any, is taken: the cancellation being raised wins)."""
    while not future.done():
        try:
            await asyncio.wait({future})
        except asyncio.CancelledError:
            continue
    return not future.cancelled() and future.exception() is None


class _AsyncBatch:
    """`AsyncOrmel.batch()`: `Ormel.batch()` with its entry and exit on the handle's worker
    thread. Both run to their end even when the task is cancelled meanwhile (the cancellation
    is raised afterwards), so a cancelled task never leaves the batch open: a batch that was
    opened for a cancelled entry is abandoned."""

    def __init__(self, db: AsyncOrmel) -> None:
        self._db = db

    def _call(self, fn: Callable[..., R], *args: Any) -> asyncio.Future[R]:
        return asyncio.ensure_future(self._db._run(fn, *args))

    async def __aenter__(self) -> AsyncOrmel:
        handle = self._db._handle
        begun = self._call(handle._begin_batch)
        try:
            await asyncio.shield(begun)
        except asyncio.CancelledError:
            if await _to_its_end(begun):
                await _to_its_end(self._call(handle._end_batch, False))
            raise
        return self._db

    async def __aexit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        ended = self._call(self._db._handle._end_batch, exc_type is None)
        try:
            await asyncio.shield(ended)
        except asyncio.CancelledError:
            await _to_its_end(ended)
            raise


class AsyncSession(_AsyncHandle):
    """A `Session` whose methods are coroutines."""

    id = _in_thread(Session.id)
    agent = _in_thread(Session.agent)
    turn_ids = _in_thread(Session.turn_ids)
    turn_count = _in_thread(Session.turn_count)
    add_turn = _in_thread(Session.add_turn)
    recall = _in_thread(Session.recall)
    close = _in_thread(Session.close)
    discard = _in_thread(Session.discard)

    def __repr__(self) -> str:
        return f"<ormel.AsyncSession of {self._handle!r}>"


class AsyncOrmel(_AsyncHandle):
    """An open database whose methods are coroutines; made by `open_async`. Leaving an
    `async with` block flushes, as leaving a `with` block of the handle does."""

    @property
    def sync(self) -> Ormel:
        """The underlying handle, for calls that need no waiting."""
        return self._handle

    @property
    def path(self) -> str:
        return self._handle.path

    @property
    def format_version(self) -> int:
        return self._handle.format_version

    def session(self, agent_id: str) -> AsyncSession:
        """Begin a session (nothing is read or written until its first call)."""
        return AsyncSession(self._handle.session(agent_id), self._worker)

    def batch(self) -> _AsyncBatch:
        """`async with db.batch():` groups the writes of its block into one transaction, as
        `with` on `Ormel.batch()` does; entering returns this handle."""
        return _AsyncBatch(self)

    remember = _in_thread(Ormel.remember)
    remember_many = _in_thread(Ormel.remember_many)
    load_memories = _in_thread(Ormel.load_memories)
    update = _in_thread(Ormel.update)
    recall = _in_thread(Ormel.recall)
    search = _in_thread(Ormel.search)
    search_text = _in_thread(Ormel.search_text)
    set_keyword_stemming = _in_thread(Ormel.set_keyword_stemming)
    keyword_index_stats = _in_thread(Ormel.keyword_index_stats)
    get = _in_thread(Ormel.get)
    delete = _in_thread(Ormel.delete)
    flush = _in_thread(Ormel.flush)
    close = _in_thread(Ormel.close)
    release = _in_thread(Ormel.release)
    refresh = _in_thread(Ormel.refresh)
    verify = _in_thread(Ormel.verify)
    ids = _in_thread(Ormel.ids)
    about = _in_thread(Ormel.about)
    insert_default_manifest = _in_thread(Ormel.insert_default_manifest)
    build_index = _in_thread(Ormel.build_index)
    drop_index = _in_thread(Ormel.drop_index)
    has_index = _in_thread(Ormel.has_index)
    snapshots = _in_thread(Ormel.snapshots)
    history = _in_thread(Ormel.history)
    restore_to = _in_thread(Ormel.restore_to)
    restore_to_time = _in_thread(Ormel.restore_to_time)
    change_passphrase = _in_thread(Ormel.change_passphrase)
    set_cache_capacity = _in_thread(Ormel.set_cache_capacity)
    page_cache_stats = _in_thread(Ormel.page_cache_stats)
    set_max_snapshots = _in_thread(Ormel.set_max_snapshots)
    compact = _in_thread(Ormel.compact)
    space = _in_thread(Ormel.space)
    set_auto_compact = _in_thread(Ormel.set_auto_compact)
    stats = _in_thread(Ormel.stats)
    export_encrypted = _in_thread(Ormel.export_encrypted)
    cache_put = _in_thread(Ormel.cache_put)
    cache_get = _in_thread(Ormel.cache_get)
    cache_delete = _in_thread(Ormel.cache_delete)
    cache_purge = _in_thread(Ormel.cache_purge)
    cache_stats = _in_thread(Ormel.cache_stats)
    cache_namespaces = _in_thread(Ormel.cache_namespaces)
    cache_put_semantic = _in_thread(Ormel.cache_put_semantic)
    cache_get_semantic = _in_thread(Ormel.cache_get_semantic)

    def __repr__(self) -> str:
        return f"<ormel.AsyncOrmel {self._handle!r}>"


async def open_async(
    path: str,
    passphrase: str,
    dimensions: int | None = None,
    read_only: bool = False,
    *,
    timeout: float | None = None,
    follow: bool = False,
    format_version: int | None = None,
) -> AsyncOrmel:
    """`open` on a worker thread (the key derivation and any wait for the lock included)."""
    worker = ThreadPoolExecutor(max_workers=1, thread_name_prefix="ormel")
    try:
        db = await _on(worker, open, path, passphrase, dimensions, read_only, timeout=timeout, follow=follow,
                       format_version=format_version)
    except BaseException:
        worker.shutdown(wait=False)
        raise
    return AsyncOrmel(db, worker)
