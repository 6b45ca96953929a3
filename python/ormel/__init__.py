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

__doc__ = _ext.__doc__
__version__: str = _ext.__version__
__all__ = [
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
    "__version__",
]
