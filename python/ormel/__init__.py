"""The `ormel` Python extension module."""

from . import ormel as _ext
from .ormel import Ormel, Session, Turn, open

__doc__ = _ext.__doc__
__version__: str = _ext.__version__
__all__ = ["Ormel", "Session", "Turn", "open", "__version__"]
