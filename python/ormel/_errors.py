"""The exceptions ormel raises, by kind.

Each kind also derives from the built-in type that was raised for it before the kinds
existed (RuntimeError for database errors, ValueError for refused arguments), so an
`except RuntimeError` or `except ValueError` written earlier still catches it, and its
message is unchanged. The extension raises these by name (see python/src/errors.cc).
"""

from __future__ import annotations

__all__ = [
    "Error",
    "WrongPassphrase",
    "Locked",
    "NotFound",
    "Corrupt",
    "ReadOnly",
    "DimensionMismatch",
    "InvalidArgument",
    "Released",
    "StorageError",
]


class Error(Exception):
    """Base of every error ormel raises for a reason of the database or its arguments."""


class WrongPassphrase(Error, RuntimeError):
    """The passphrase does not open this database."""


class Locked(Error, RuntimeError):
    """Another handle (in this process or another) holds the file's lock."""


class NotFound(Error, RuntimeError):
    """No memory, snapshot or entry under the given key."""


class Corrupt(Error, RuntimeError):
    """The file is not an ormel database, or a page or record fails its checks."""


class ReadOnly(Error, RuntimeError):
    """The operation needs a read-write handle, or the file needs recovery first."""


class DimensionMismatch(Error, RuntimeError):
    """A vector's length differs from the database's dimensionality."""


class InvalidArgument(Error, ValueError, RuntimeError):
    """An argument the database refuses (a value, an id, a memory type, a filter)."""


class Released(Error, RuntimeError):
    """The handle was released with release(); open the database again to use it."""


class StorageError(Error, RuntimeError):
    """The file system, the cipher or the key derivation failed, or the format is unknown."""


# Shown as ormel.<Kind> in tracebacks, where programs catch them.
for _kind in (Error, WrongPassphrase, Locked, NotFound, Corrupt, ReadOnly, DimensionMismatch, InvalidArgument,
              Released, StorageError):
    _kind.__module__ = "ormel"
del _kind
