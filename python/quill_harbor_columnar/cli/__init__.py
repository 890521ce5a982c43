"""The ``quill-harbor`` command: ``main`` runs it; one module a subcommand, all through one run."""

from .command import main

__all__ = ["main"]
