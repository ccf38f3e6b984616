"""Times the tracked pandas layer against plain pandas, measured in the same run.

    python bench/bench_pandas.py [--rows 1000000] [--repeat 5]

- tracked a + b, a * 2.5, -a, a.clip(0, 1) and a.fillna() against the same plain pandas
  operations on Series of the same length;
- wrap_dataframe of a rows x 10 frame with a RangeIndex, against the literal per-cell loop
  (entity_from_row for every row of every column, then one encode per column; timed on 100k
  rows and scaled) and against DataFrame.copy();
- column_risk_report of that frame, with two protected columns.
"""

from __future__ import annotations

import argparse

import numpy as np
import pandas as pd
from timing import best

from tallyra.utilities.korval32 import (MODE_01_ENTITY_BITS, ProvenanceTracker, column_risk_report,
                                        encode_source_column, wrap_dataframe)



def literal_wrap(df, tracker, table):
    """wrap_dataframe's rule written out cell by cell: one entity hash per row per column."""
    out = {}
    for col in df.columns:
        pid = tracker.register(table, str(col), False)
        hashes = np.array([tracker.entity_from_row(df.index[i]) % (1 << MODE_01_ENTITY_BITS)
                           for i in range(len(df))], dtype=np.uint32)
        out[col] = encode_source_column(tracker._native, pid, hashes, tracker.is_protected(table, str(col)))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n, rep = args.rows, args.repeat
    rng = np.random.default_rng(0)

    frame = pd.DataFrame({f"c{i}": rng.random(n) for i in range(10)})
    frame.loc[frame.sample(frac=0.05, random_state=1).index, "c0"] = np.nan
    tracker = ProvenanceTracker()
    tdf = wrap_dataframe(frame, tracker, "bench", protected=["c3", "c7"])
    a, b = tdf["c0"], tdf["c1"]
    pa, pb = frame["c0"], frame["c1"]

    rows = []  # (operation, ours s, baseline name, baseline s)
    ops = [
        ("a + b", lambda: a + b, lambda: pa + pb),
        ("a * 2.5", lambda: a * 2.5, lambda: pa * 2.5),
        ("-a", lambda: -a, lambda: -pa),
        ("a.clip(0, 1)", lambda: a.clip(0, 1), lambda: pa.clip(0, 1)),
        ("a.fillna()", lambda: a.fillna(), lambda: pa.fillna(0)),
    ]
    for name, ours, plain in ops:
        rows.append((f"tracked {name}", best(ours, rep), "plain pandas", best(plain, rep)))

    wrap = best(lambda: wrap_dataframe(frame, ProvenanceTracker(), "bench", protected=["c3", "c7"]),
                rep)
    sample = frame.iloc[:100_000]
    literal = best(lambda: literal_wrap(sample, ProvenanceTracker(), "bench"), 1) * (n / len(sample))
    copy = best(lambda: frame.copy(), rep)
    rows.append((f"wrap_dataframe {n:,} x 10", wrap, "literal loop", literal))
    rows.append((f"wrap_dataframe {n:,} x 10", wrap, "DataFrame.copy()", copy))
    report = best(lambda: column_risk_report(tdf), rep)
    rows.append((f"column_risk_report {n:,} x 10", report, "-", None))

    header = f"{'operation':<34} {'ours ms':>9}  {'baseline':<17} {'base ms':>9} {'ours/base':>9}"
    print(header)
    print("-" * len(header))
    for op, ours, base_name, base in rows:
        if base is None:
            print(f"{op:<34} {ours * 1e3:>9.2f}  {base_name:<17} {'':>9} {'':>9}")
        else:
            print(f"{op:<34} {ours * 1e3:>9.2f}  {base_name:<17} {base * 1e3:>9.2f} {ours / base:>8.2f}x")
    print("\nours/base below 1 means the tracked call is faster than the baseline.")


if __name__ == "__main__":
    main()
