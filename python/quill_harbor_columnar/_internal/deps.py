"""Imports of the libraries the package uses only when asked to."""

from __future__ import annotations

import importlib
from types import ModuleType

# The extra of quill_harbor that brings each library, by top-level name.
_EXTRAS = {
    "numpy": "columnar",
    "pyarrow": "columnar",
    "pandas": "pandas",
    "polars": "polars",
    "matplotlib": "plot",
    "dask": "dask",
    "distributed": "dask",
}


def require(module: str, what: str) -> ModuleType:
    """``module`` imported; an ImportError naming the extra that brings it if it is missing.

    ``what`` says what needs it, e.g. ``"to_pandas()"``.
    """
    try:
        return importlib.import_module(module)
    except ImportError as e:
        top = module.partition(".")[0]
        extra = _EXTRAS.get(top)
        how = f"pip install 'quill_harbor[{extra}]'" if extra else f"pip install {top}"
        raise ImportError(f"{what} needs {module}; install it with {how}", name=module) from e


def optional(module: str) -> ModuleType | None:
    """``module`` imported, or None when it is not installed (for a library that only refines a result)."""
    try:
        return importlib.import_module(module)
    except ImportError:
        return None
