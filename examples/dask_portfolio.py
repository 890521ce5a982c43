"""Portfolio cash flows and schedules on a Dask cluster.

    python examples/dask_portfolio.py                      # a local cluster of 2 workers
    python examples/dask_portfolio.py tcp://scheduler:8786 # an existing cluster

Needs `pip install '.[dask]'` (dask[dataframe], distributed, pandas, pyarrow).

Partition size: each partition is one task, scheduled and shipped on its own,
so partitions of 100,000 to 1,000,000 loans keep the scheduler's overhead
small against the work. A partition's long-layout schedules take about
8.7 MB per 1,000 loans of 360 periods, so size partitions to the workers'
memory when the schedules themselves are kept; cash flows need only a few
kilobytes per partition whatever its size.

On a cluster of mixed hardware, set QUILL_HARBOR_POWF=correctly-rounded in
every worker's environment so that each loan gets the same bits wherever it
runs.
"""

import os
import shutil
import sys
import tempfile
import time

import dask.dataframe as dd
import pyarrow as pa
import pyarrow.parquet as pq
from distributed import Client, LocalCluster

from quill_harbor_columnar import dask as qhd
from quill_harbor_columnar.tape.sample import sample_book


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        client = Client(argv[1])
        cluster = None
    else:
        cluster = LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=":0")
        client = Client(cluster)
    folder = tempfile.mkdtemp()
    try:
        path = os.path.join(folder, "book.parquet")
        # The workers read the file themselves; one partition per row group
        # (a single-file book is otherwise one partition, on one worker).
        pq.write_table(pa.table(sample_book(200_000, seed=1)), path, row_group_size=50_000)
        loans = dd.read_parquet(path, split_row_groups=True)  # 4 partitions of 50,000 loans

        start = time.perf_counter()
        totals = qhd.cashflows(loans, errors="skip").compute()
        elapsed = time.perf_counter() - start
        print(f"cash flows of {int(totals['loans'][0]):,} loans in {elapsed:.2f} s on {len(client.scheduler_info()['workers'])} workers")
        print(f"  total interest  {totals['Int'].sum():,.2f}")
        print(f"  peak payment    period {int(totals['period'][totals['Pmt'].idxmax()])}")

        rows = qhd.schedules(loans, errors="skip")
        print(f"schedules: {rows.npartitions} partitions, columns {list(rows.columns)}")
        print(rows.head(3))
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
