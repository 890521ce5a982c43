"""Files the package writes: the one table of formats, outputs put in place together, the writers of each
format and the parallel Parquet writer."""
