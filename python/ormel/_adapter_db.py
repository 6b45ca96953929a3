"""What the framework adapters share: opening a database for them, serialising calls to it,
and turning a framework's own string keys into memory ids.

Framework ids are arbitrary strings; a memory id is a 128-bit ULID. Each adapter maps its
key (with the collection or namespace it lives in) to a memory id by hashing, so a lookup
or an overwrite by key is a `get` or an upsert by id, never a scan.
"""

from __future__ import annotations

import hashlib
import os
import threading
from collections.abc import Callable
from typing import Any, TypeVar

import ormel

T = TypeVar("T")
A = TypeVar("A", bound="DbAdapter")

_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def derived_id(*parts: str) -> str:
    """The memory id of a framework key: 128 bits of SHA-256 over the parts, as ULID text.

    Parts are length-prefixed, so ("a", "bc") and ("ab", "c") give different ids.
    """
    h = hashlib.sha256()
    for part in parts:
        data = part.encode("utf-8")
        h.update(len(data).to_bytes(8, "little"))
        h.update(data)
    n = int.from_bytes(h.digest()[:16], "big")
    return "".join(_CROCKFORD[(n >> shift) & 31] for shift in range(125, -1, -5))


class SharedDb:
    """One open database, used by an adapter from any thread one adapter call at a time.

    A handle takes one call at a time itself; `run` holds a whole adapter call together, so
    the reads of a batch see one state and a change is committed with nothing between (the
    async methods run on worker threads, beside the caller's own threads). `autoflush` makes
    each write durable before the adapter method returns, which is what the frameworks'
    callers expect of a store.
    `owned` says the handle was opened for the adapter, so closing the adapter releases it.
    """

    def __init__(self, db: ormel.Ormel, autoflush: bool = True, owned: bool = False) -> None:
        self.db = db
        self.autoflush = autoflush
        self.owned = owned
        self._lock = threading.RLock()

    @classmethod
    def open(cls, path: str, passphrase: str, dimensions: int | None, probe: Callable[[], int] | None,
             autoflush: bool = True, format_version: int | None = None) -> SharedDb:
        """Opens `path`, creating it when missing with `dimensions` or, if that is None,
        the length of the vector `probe` returns; `format_version` is open's."""
        if not os.path.exists(path) and dimensions is None:
            if probe is None:
                raise ValueError("dimensions is required when creating a new database")
            dimensions = probe()
        db = ormel.open(path, passphrase, dimensions=dimensions, format_version=format_version)
        return cls(db, autoflush, owned=True)

    def close(self) -> None:
        """Releases an owned handle (flushed, its lock and key let go); leaves any other alone."""
        with self._lock:
            if self.owned:
                self.db.release()

    def run(self, fn: Callable[[ormel.Ormel], T]) -> T:
        with self._lock:
            return fn(self.db)

    def write(self, fn: Callable[[ormel.Ormel], T]) -> T:
        """Runs a change and, with autoflush, commits it."""
        with self._lock:
            result = fn(self.db)
            if self.autoflush:
                self.db.flush()
            return result

    def get(self, memory_id: str) -> dict[str, Any] | None:
        """The memory with this id, or None when there is none (never stored, or deleted)."""
        with self._lock:
            try:
                return dict(self.db.get(memory_id))
            except ormel.NotFound:
                return None

    def delete(self, memory_id: str) -> bool:
        """Deletes the memory if it exists; whether it did."""
        with self._lock:
            try:
                self.db.delete(memory_id)
            except ormel.NotFound:
                return False
            return True


class DbAdapter:
    """What every adapter over one database handle offers: the handle, and closing."""

    _shared: SharedDb

    @property
    def db(self) -> ormel.Ormel:
        """The underlying database handle."""
        return self._shared.db

    def close(self) -> None:
        """Done with the adapter. When it opened the database itself (its `open`), the file is
        released at once: flushed, its lock and key let go, so the path opens again right away,
        in this process or another, and any later call raises `ormel.Released`. A handle passed
        to the constructor stays the caller's, untouched. Closing again does nothing."""
        self._shared.close()

    def __enter__(self: A) -> A:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @staticmethod
    def owning(shared: SharedDb, make: Callable[[ormel.Ormel], A]) -> A:
        """The adapter `make` builds on `shared`'s handle, made the handle's owner; when building
        fails the handle is released before the error goes on."""
        try:
            adapter = make(shared.db)
        except BaseException:
            shared.close()
            raise
        adapter._shared = shared
        return adapter
