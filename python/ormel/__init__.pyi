"""The `ormel` Python extension module."""

from collections.abc import Callable, Sequence
from contextlib import AbstractContextManager
from types import TracebackType
from typing import Any, Literal, NotRequired, Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, overload

from typing_extensions import Buffer

from ._async import AsyncOrmel as AsyncOrmel
from ._async import AsyncSession as AsyncSession
from ._async import open_async as open_async

__version__: str
__all__ = [
    "AsyncOrmel",
    "AsyncSession",
    "Corrupt",
    "DimensionMismatch",
    "Error",
    "InvalidArgument",
    "Locked",
    "NotFound",
    "Ormel",
    "ReadOnly",
    "Released",
    "Session",
    "StorageError",
    "Turn",
    "WrongPassphrase",
    "open",
    "open_async",
    "__version__",
]

class Error(Exception):
    """Base of every error ormel raises for a reason of the database or its arguments."""

class WrongPassphrase(Error, RuntimeError): ...
class Locked(Error, RuntimeError): ...
class NotFound(Error, RuntimeError): ...
class Corrupt(Error, RuntimeError): ...
class ReadOnly(Error, RuntimeError): ...
class DimensionMismatch(Error, RuntimeError): ...
class InvalidArgument(Error, ValueError, RuntimeError): ...
class Released(Error, RuntimeError): ...
class StorageError(Error, RuntimeError): ...

# Called as progress(done, total) by the long methods; what it returns is ignored.
_Progress: TypeAlias = Callable[[int, int], object]

class _NumberSequence(Protocol):
    """Anything indexable by position whose items convert to float: lists, tuples, numpy arrays."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat: ...

# A vector or query; a 1-D float32/float64 buffer is read directly.
Vector = _NumberSequence | Buffer

class _ByteSequence(Protocol):
    """Anything indexable by position whose items are integers 0..255: lists, numpy uint8 arrays."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsIndex: ...

CacheValue = str | bytes | bytearray | _ByteSequence | Buffer

class _VectorRows(Protocol):
    """Vectors by position: a 2-D numpy array, or a list of vectors."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Vector: ...

class MemoryDict(TypedDict):
    id: str
    content: str
    memory_type: str
    vector: list[float]
    agent_id: str
    session_id: str | None
    scope: str
    created_at: int
    accessed_at: int
    access_count: int
    importance: float
    ttl_secs: int | None
    metadata: dict[str, Any]

class RecallDict(MemoryDict):
    score: float
    similarity: float
    bm25: NotRequired[float]  # hybrid recall (text=...) only

class KeywordIndexStatsDict(TypedDict):
    documents: int
    terms: int
    bytes: int

class MemoryListingDict(TypedDict):
    id: str
    agent_id: str | None
    memory_type: str | None
    scope: str | None

class DamagedMemoryDict(TypedDict):
    id: str
    error: str

class DamagedStructureDict(TypedDict):
    structure: str
    error: str

class VerifyReportDict(TypedDict):
    checked: int
    memories: list[DamagedMemoryDict]
    structures: list[DamagedStructureDict]

class SnapshotDict(TypedDict):
    txn_id: int
    created_at: int
    memory_count: int

class VersionDict(TypedDict):
    txn_id: int
    created_at: int
    memory: MemoryDict

class IndexDict(TypedDict):
    vectors: int
    partitions: int
    subspaces: int

class StatsDict(TypedDict):
    memories: int
    deleted: int
    dimensions: int
    file_bytes: int
    agents: list[str]
    encrypted: bool
    created_at: int
    wal_pages: int
    snapshots: int
    index: IndexDict | None
    format_version: int

class SpaceDict(TypedDict):
    file_bytes: int
    current_bytes: int
    history_bytes: int
    reclaimable_bytes: int
    auto_compact_error: str | None
    format_version: int

class CacheHitDict(TypedDict):
    value: bytes
    content_type: str
    created_at: int
    accessed_at: int
    access_count: int
    ttl_secs: NotRequired[int]

class SemanticCacheHitDict(TypedDict):
    value: bytes
    similarity: float
    content_type: str
    created_at: int
    accessed_at: int
    access_count: int
    ttl_secs: NotRequired[int]

class CacheStatsDict(TypedDict):
    entries: int
    bytes: int
    hits: int
    misses: int
    hit_rate: float
    evictions: int

def open(
    path: str,
    passphrase: str,
    dimensions: SupportsIndex | None = None,
    read_only: bool = False,
    *,
    timeout: SupportsFloat | None = None,
    follow: bool = False,
    format_version: SupportsIndex | None = None,
) -> Ormel:
    """Open an existing database, or create one if `path` does not yet exist."""

class Ormel:
    """An open, encrypted Ormel database."""

    def remember(
        self,
        content: str,
        memory_type: str,
        vector: Vector,
        *,
        agent_id: str | None = None,
        importance: SupportsFloat | None = None,
        session_id: str | None = None,
        ttl_secs: SupportsIndex | None = None,
        shared: bool = False,
        metadata: dict[str, Any] | None = None,
        id: str | None = None,
    ) -> str: ...
    def remember_many(
        self,
        contents: Sequence[str],
        memory_type: str | Sequence[str],
        vectors: _VectorRows,
        *,
        agent_id: str | None | Sequence[str | None] = None,
        importance: SupportsFloat | None | _NumberSequence | Sequence[SupportsFloat | None] = None,
        session_id: str | None | Sequence[str | None] = None,
        ttl_secs: SupportsIndex | None | Sequence[SupportsIndex | None] = None,
        shared: bool | Sequence[bool] = False,
        metadata: dict[str, Any] | None | Sequence[dict[str, Any] | None] = None,
        ids: Sequence[str | None] | None = None,
        progress: _Progress | None = None,
    ) -> list[str]: ...
    def load_memories(self, memories: Sequence[MemoryDict | dict[str, Any]]) -> list[str]: ...
    def update(
        self,
        id: str,
        *,
        content: str = ...,
        memory_type: str = ...,
        vector: Vector = ...,
        importance: SupportsFloat = ...,
        metadata: dict[str, Any] | None = ...,
        ttl_secs: SupportsIndex | None = ...,
        shared: bool = ...,
        session_id: str | None = ...,
    ) -> None: ...
    def recall(
        self,
        query: Vector,
        top_k: SupportsIndex = 10,
        memory_types: Sequence[str] | None = None,
        agent_id: str | None = None,
        track_access: bool = True,
        *,
        where: dict[str, Any] | None = None,
        session_id: str | None = None,
        created_after: SupportsIndex | None = None,
        created_before: SupportsIndex | None = None,
        n_probe: SupportsIndex | None = None,
        n_rerank: SupportsIndex | None = None,
        similarity_weight: SupportsFloat = 1.0,
        recency_weight: SupportsFloat = 0.3,
        importance_weight: SupportsFloat = 0.2,
        access_weight: SupportsFloat = 0.1,
        recency_half_life_secs: SupportsFloat = 604800.0,
        text: str | None = None,
        rrf_k: SupportsFloat = 60.0,
        k1: SupportsFloat = 1.2,
        b: SupportsFloat = 0.75,
    ) -> list[RecallDict]: ...
    def search_text(
        self,
        text: str,
        top_k: SupportsIndex = 10,
        *,
        agent_id: str | None = None,
        memory_types: Sequence[str] | None = None,
        where: dict[str, Any] | None = None,
        session_id: str | None = None,
        created_after: SupportsIndex | None = None,
        created_before: SupportsIndex | None = None,
        k1: SupportsFloat = 1.2,
        b: SupportsFloat = 0.75,
    ) -> list[tuple[MemoryDict, float]]: ...
    def set_keyword_stemming(self, on: bool) -> None: ...
    def keyword_index_stats(self) -> KeywordIndexStatsDict | None: ...
    def search(
        self,
        query: Vector,
        top_k: SupportsIndex = 10,
        *,
        where: dict[str, Any] | None = None,
        session_id: str | None = None,
        created_after: SupportsIndex | None = None,
        created_before: SupportsIndex | None = None,
    ) -> list[tuple[MemoryDict, float]]: ...
    def get(self, id: str) -> MemoryDict: ...
    def delete(self, id: str) -> None: ...
    def flush(self) -> None: ...
    def close(self) -> None:
        """Flush and release; the object should not be used afterwards.

        It only flushes: the file stays open and locked until the object is destroyed.
        Call release() to let the file go at once."""
    def refresh(self) -> bool:
        """Move a follow=True handle to the newest committed state; True when it changed."""
    def release(self) -> None:
        """Flush, then close the file and release its lock; later calls raise Released."""
    @overload
    def verify(self, *, all_errors: Literal[True], progress: _Progress | None = None) -> VerifyReportDict: ...
    @overload
    def verify(self, *, all_errors: Literal[False] = False, progress: _Progress | None = None) -> int: ...
    @overload
    def verify(self, *, all_errors: bool = False, progress: _Progress | None = None) -> int | VerifyReportDict: ...
    def ids(self, *, agent_id: str | None = None, memory_type: str | None = None) -> list[MemoryListingDict]: ...
    def about(self) -> list[MemoryDict]: ...
    def insert_default_manifest(self) -> str: ...
    def build_index(self, *, progress: _Progress | None = None) -> None: ...
    def drop_index(self) -> None: ...
    def has_index(self) -> bool: ...
    def snapshots(self) -> list[SnapshotDict]: ...
    def history(self, id: str) -> list[VersionDict]: ...
    def restore_to(self, txn_id: SupportsIndex) -> SnapshotDict: ...
    def restore_to_time(self, unix_secs: SupportsIndex) -> SnapshotDict: ...
    def change_passphrase(self, new_passphrase: str) -> None: ...
    def set_cache_capacity(self, pages: SupportsIndex) -> None: ...
    def page_cache_stats(self) -> tuple[int, int]: ...
    def set_max_snapshots(self, max: SupportsIndex) -> None: ...
    def compact(
        self, keep_history: bool = True, *, progress: _Progress | None = None, format_version: SupportsIndex | None = None
    ) -> int: ...
    def space(self) -> SpaceDict: ...
    def set_auto_compact(self, min_bytes: SupportsIndex | None = 67108864, ratio: float = 1.0) -> None: ...
    def stats(self) -> StatsDict: ...
    def export_encrypted(self, dest: str) -> None: ...
    @property
    def path(self) -> str:
        """Filesystem path of this database."""
    @property
    def format_version(self) -> int:
        """Format version of the file as committed (8 or 9); a compaction may convert it."""
    def cache_put(
        self,
        namespace: str,
        key: str,
        value: CacheValue,
        content_type: str = "text",
        ttl_secs: SupportsIndex | None = None,
    ) -> None: ...
    def cache_get(self, namespace: str, key: str) -> CacheHitDict | None: ...
    def cache_delete(self, namespace: str, key: str) -> None: ...
    def cache_purge(self, namespace: str | None = None, expired_only: bool = False) -> int: ...
    def cache_namespaces(self) -> list[str]: ...
    def cache_stats(self, namespace: str | None = None) -> CacheStatsDict: ...
    def cache_put_semantic(
        self,
        namespace: str,
        key: str,
        vector: Vector,
        value: CacheValue,
        model: str,
        content_type: str = "text",
        ttl_secs: SupportsIndex | None = None,
    ) -> None: ...
    def cache_get_semantic(
        self, namespace: str, query: Vector, model: str, threshold: SupportsFloat = 0.97
    ) -> SemanticCacheHitDict | None: ...
    def batch(self) -> AbstractContextManager[Ormel]:
        """A context manager grouping the writes of its block into one transaction: committed
        when the block ends, discarded when it raises."""
    def session(self, agent_id: str) -> Session: ...
    def __enter__(self) -> Ormel: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...

class Session:
    """A conversation of one agent, recorded as working memories of its database."""

    def id(self) -> str: ...
    def agent(self) -> str: ...
    def turn_ids(self) -> list[str]: ...
    def turn_count(self) -> int: ...
    def add_turn(self, turn: Turn) -> str: ...
    def recall(
        self,
        query: Vector,
        top_k: SupportsIndex = 10,
        memory_types: Sequence[str] | None = None,
        *,
        where: dict[str, Any] | None = None,
        session_id: str | None = None,
        created_after: SupportsIndex | None = None,
        created_before: SupportsIndex | None = None,
    ) -> list[RecallDict]: ...
    def close(self) -> int: ...
    def discard(self) -> int: ...
    def __enter__(self) -> Session: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> Literal[False]: ...

class Turn:
    """One conversation turn: a role, its text, and the caller's embedding of the text."""

    def __init__(self, role: str, content: str, vector: Vector) -> None: ...
    @classmethod
    def user(cls, content: str, vector: Vector) -> Turn: ...
    @classmethod
    def assistant(cls, content: str, vector: Vector) -> Turn: ...
    @classmethod
    def system(cls, content: str, vector: Vector) -> Turn: ...
    @property
    def role(self) -> str: ...
    @property
    def content(self) -> str: ...
    @property
    def vector(self) -> list[float]: ...
