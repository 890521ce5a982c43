"""Regenerates data/portfolio.csv, the bundled sample portfolio.

Periods are months. The mix follows a retail lender's book: long mortgages,
car loans, consumer loans, and business loans that pay quarterly. Rates are
per period, written the way a loan system would export them.

    python examples/make_portfolio.py
"""

import csv
import random
from pathlib import Path

PRODUCTS = [
    # name, share, amount range, annual rate range, terms in months, (int_freq, cap_freq) choices
    ("MTG", 0.30, (90_000, 650_000), (0.025, 0.065), [180, 240, 300, 360], [(1, 1)]),
    ("CAR", 0.25, (8_000, 60_000), (0.035, 0.11), [24, 36, 48, 60, 72], [(1, 1)]),
    ("CON", 0.20, (1_000, 25_000), (0.06, 0.19), [12, 18, 24, 36, 48, 60], [(1, 1), (1, 3)]),
    ("BIZ", 0.25, (50_000, 2_000_000), (0.04, 0.12), [36, 60, 84, 120], [(3, 3), (1, 3), (3, 12)]),
]


def main() -> None:
    rng = random.Random(20261208)
    rows = []
    for n in range(4000):
        pick = rng.random()
        for name, share, (lo, hi), (rlo, rhi), terms, freqs in PRODUCTS:
            if pick < share:
                break
            pick -= share
        amount = round(rng.uniform(lo, hi), -2 if hi > 100_000 else 0)
        monthly = rng.uniform(rlo, rhi) / 12
        int_freq, cap_freq = rng.choice(freqs)
        rows.append({
            "id": f"{name}-{n:05d}",
            "amt": f"{amount:.2f}",
            "rate": f"{monthly:.6f}",
            "pers": str(rng.choice(terms)),
            "int_freq": str(int_freq),
            "cap_freq": str(cap_freq),
        })
    out = Path(__file__).with_name("data") / "portfolio.csv"
    with out.open("w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)
    print(f"wrote {len(rows)} loans to {out}")


if __name__ == "__main__":
    main()
