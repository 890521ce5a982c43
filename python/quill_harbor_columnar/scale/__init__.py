"""Cluster engines: adapters that move a book's partitions to the engine and
its partial results back (``projection.partials``), and nothing else."""
