"""The context manager that `Ormel.batch()` returns: the writes of its block become one
transaction (see `Ormel.batch`)."""

from __future__ import annotations

from types import TracebackType
from typing import Any


class Batch:
    """Opens a batch on entering, commits it on a normal exit, abandons it when the block
    raises (the exception then goes on). Each `with` opens a batch of its own."""

    __slots__ = ("_db",)

    def __init__(self, db: Any) -> None:
        self._db = db

    def __enter__(self) -> Any:
        self._db._begin_batch()
        return self._db

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self._db._end_batch(exc_type is None)
