"""Repayment schedules for a whole portfolio, and a short report on them.

    python examples/portfolio.py [path/to/portfolio.csv]

The CSV has the columns id, amt, rate, pers, int_freq and cap_freq; its rows
go to paywheel_gil as they are read, as text. The worker pool's size comes
from RAYON_NUM_THREADS (or RAYON_RS_NUM_CPUS), else the processor count; the
report counts the threads the pool actually started.
"""

import csv
import math
import os
import sys
import time
from pathlib import Path

import quill_harbor


def thread_count():
    """Threads of this process right now, or None where /proc is not available."""
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return None


def main(argv) -> int:
    path = Path(argv[1]) if len(argv) > 1 else Path(__file__).with_name("data") / "portfolio.csv"
    with path.open(newline="") as f:
        loans = list(csv.DictReader(f))

    # The pool is made by the first parallel call and keeps its threads, so
    # the threads that call leaves behind are the pool the module really got.
    threads_before = thread_count()
    start = time.perf_counter()
    schedules = quill_harbor.paywheel_gil(loans)
    elapsed = time.perf_counter() - start
    threads_after = thread_count()
    pool = "unknown" if threads_before is None or threads_after is None else threads_after - threads_before

    periods = sum(int(loan["pers"]) for loan in loans)
    # Totals in double precision: the schedules are binary32, their sums
    # over a whole book are not meant to be.
    capital = math.fsum(math.fsum(s["Cap"]) for s in schedules)
    interest = math.fsum(math.fsum(s["Int"]) for s in schedules)
    amount = math.fsum(float(loan["amt"]) for loan in loans)
    best = max(
        ((pmt, loan["id"], period) for loan, s in zip(loans, schedules) for period, pmt in enumerate(s["Pmt"])),
        key=lambda t: t[0],
    )

    print(f"portfolio        {path.name}")
    print(f"loans            {len(loans):,}")
    print(f"periods          {periods:,}")
    print(f"amount lent      {amount:,.2f}")
    print(f"total capital    {capital:,.2f}")
    print(f"total interest   {interest:,.2f}")
    print(f"largest payment  {best[0]:,.2f} (loan {best[1]}, period {best[2]})")
    print(f"pool threads     {pool} (started by the call)")
    print(f"elapsed          {elapsed:.3f} s (paywheel_gil, including conversion to Python)")
    print(f"loans per second {len(loans) / elapsed:,.0f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
