"""Optional imports, each failing with the extra that brings the module."""

from __future__ import annotations

import importlib
from typing import Any

_EXTRA = {"numpy": "columnar", "pyarrow": "columnar", "pandas": "pandas", "polars": "polars",
          "matplotlib": "plot", "dask": "dask", "distributed": "dask"}


def require(module: str, what: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as e:
        extra = _EXTRA.get(module.split(".")[0], "columnar")
        raise ImportError(f"{what} needs {module.split('.')[0]}; install it with "
                          f"pip install 'quill_harbor[{extra}]'") from e
