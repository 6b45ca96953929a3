"""The `ormel` Python extension module."""

from . import ormel as _ext
from ._errors import (
    Corrupt,
    DimensionMismatch,
    Error,
    InvalidArgument,
    Locked,
    NotFound,
    ReadOnly,
    Released,
    StorageError,
    WrongPassphrase,
)
from .ormel import Ormel, Session, Turn, open

from ._async import AsyncOrmel, AsyncSession, open_async  # noqa: E402 (uses the names above)

__doc__ = _ext.__doc__
__version__: str = _ext.__version__
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
