"""Times the DAG-tracked layer, persistence off, against the tracked pandas layer in the same run.

    python bench/bench_dag.py [--rows 100000] [--repeat 3]

- DAG-tracked a + b, -a and a.fillna(0) against the same TrackedSeries operations;
- wrap_dataframe_dag of rows x 5, against wrap_dataframe of the same frame;
- get_dag and to_dict of one value;
- memory per logged node: tracemalloc over one DAG-tracked a + b (one node per row), less the
  result's own arrays;
- one eviction pass at the default bound (500,000 nodes).
"""

from __future__ import annotations

import argparse
import time
import tracemalloc

import numpy as np
import pandas as pd
from timing import best

from tallyra.utilities.korval32 import ProvenanceTracker, wrap_dataframe
from tallyra.utilities.korval32_dag import DAGTracker, get_dag_for_series, wrap_dataframe_dag



def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    n, rep = args.rows, args.repeat
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({f"c{i}": rng.random(n) for i in range(5)})
    frame.loc[frame.sample(frac=0.05, random_state=1).index, "c0"] = np.nan

    rows = []  # (operation, ours seconds, per-element?, baseline name, baseline seconds)
    plain = wrap_dataframe(frame, ProvenanceTracker(), "bench")
    pa, pb = plain["c0"], plain["c1"]
    for name, dag_op, tracked_op in [
        ("a + b", lambda a, b: a + b, lambda: pa + pb),
        ("-a", lambda a, b: -a, lambda: -pa),
        ("a.fillna(0)", lambda a, b: a.fillna(0), lambda: pa.fillna(0)),
    ]:
        times = []
        for _ in range(rep):  # a fresh tracker each time, so every run logs into the same state
            tracker = DAGTracker()
            tdf = wrap_dataframe_dag(frame, tracker, "bench")
            a, b = tdf["c0"], tdf["c1"]
            t0 = time.perf_counter()
            dag_op(a, b)
            times.append(time.perf_counter() - t0)
        rows.append((f"DAG {name}", min(times), True, "TrackedSeries", best(tracked_op, rep)))

    wrap = best(lambda: wrap_dataframe_dag(frame, DAGTracker(), "bench"), rep)
    rows.append((f"wrap_dataframe_dag {n:,} x 5", wrap, False, "wrap_dataframe",
                 best(lambda: wrap_dataframe(frame, ProvenanceTracker(), "bench"), rep)))

    tracker = DAGTracker()
    tdf = wrap_dataframe_dag(frame, tracker, "bench")
    score = (tdf["c0"] + tdf["c1"]) * tdf["c2"] - tdf["c3"]
    rows.append(("get_dag of one value", best(lambda: get_dag_for_series(score, 7), 50), False, "-",
                 None))
    graph = get_dag_for_series(score, 7)
    rows.append(("to_dict of that DAG", best(graph.to_dict, 50), False, "-", None))

    tracker = DAGTracker()
    tdf = wrap_dataframe_dag(frame, tracker, "bench")
    a, b = tdf["c0"], tdf["c1"]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    result = a + b
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    own = result._prov.nbytes + result._node_ids.nbytes + result.values.nbytes
    per_node = (grown - own) / n

    tracker = DAGTracker()
    source = tracker.create_source_node("bench", "c0", 1)
    for i in range(tracker._max_nodes - 1):
        tracker.log_unary("neg", source, i & 0xFFFF)
    with tracker._dag_lock:
        t0 = time.perf_counter()
        tracker._evict_oldest_nodes()
        eviction = time.perf_counter() - t0
    rows.append((f"eviction pass at {tracker._max_nodes:,} nodes", eviction, False, "-", None))

    header = f"{'operation':<32} {'ours':>14}  {'baseline':<15} {'baseline':>14} {'ours/base':>9}"
    print(header)
    print("-" * len(header))
    for op, ours, per_element, base_name, base in rows:
        shown = f"{ours / n * 1e6:8.3f} us/elem" if per_element else f"{ours * 1e3:11.3f} ms"
        if base is None:
            print(f"{op:<32} {shown:>14}  {base_name:<15}")
        else:
            base_shown = f"{base / n * 1e6:8.3f} us/elem" if per_element else f"{base * 1e3:11.3f} ms"
            print(f"{op:<32} {shown:>14}  {base_name:<15} {base_shown:>14} {ours / base:>8.1f}x")
    print(f"{'memory per logged node':<32} {per_node:>8.0f} bytes")


if __name__ == "__main__":
    main()
