"""Times persistence into SQLite files, and what the background writer costs a DAG-tracked step.

    python bench/bench_persistence.py [--rows 100000]

- persist_to_storage of a log of rows x 10 operations (1M nodes at the default);
- persist_results of rows x 2 outputs;
- the live route, the writer on a SQLite storage: 1M row values recorded and written;
- a DAG-tracked a + b with and without a writer on a SQLite storage (the baseline).
"""

from __future__ import annotations

import argparse
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd

from tallyra.utilities.korval32_dag import DAGTracker, wrap_dataframe_dag
from tallyra.utilities.persistence import AsyncWriter, SQLiteStorage, WriterConfig


def attach_writer(tracker, path, api_key=None):
    """Puts a tracker on the live route with a SQLite storage instead of the hosted service."""
    storage = SQLiteStorage(path)
    storage.connect()
    tracker._storage = storage
    tracker._pipeline_id = storage.create_pipeline(pipeline_name="bench")
    tracker._api_key = api_key
    tracker._writer = AsyncWriter(storage, WriterConfig(batch_size=100, flush_interval=1.0,
                                                        queue_size=10000))
    tracker._writer.start()
    return storage


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=100_000)
    args = parser.parse_args()
    n = args.rows
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"a": rng.random(n), "b": rng.random(n) + 1})
    folder = Path(tempfile.mkdtemp(prefix="tallyra-bench-"))
    rows = []  # (what, seconds, records, unit)

    # A log of n x 10 operations.
    tracker = DAGTracker(pipeline_name="bench")
    tracker._max_nodes = 20 * n  # keep the whole log: no eviction
    tdf = wrap_dataframe_dag(frame, tracker, "bench")
    a, b = tdf["a"], tdf["b"]
    x = a
    for step in range(10):
        x = x + b if step % 2 == 0 else -x
    with SQLiteStorage(folder / "bulk.db") as storage:
        t0 = time.perf_counter()
        run = tracker.persist_to_storage(storage)
        rows.append((f"persist_to_storage ({storage.count('nodes', run)} distinct words)",
                     time.perf_counter() - t0, len(tracker._nodes), "log nodes"))
        t0 = time.perf_counter()
        DAGTracker.persist_results(storage, run, range(n), {"x": x, "a": a}, source_df=None)
        rows.append((f"persist_results, {n:,} rows x 2 outputs", time.perf_counter() - t0, 2 * n,
                     "results"))
        t0 = time.perf_counter()
        DAGTracker.persist_results(storage, run, range(n), {"x": x, "a": a}, source_df=frame)
        rows.append(("persist_results with input hashes", time.perf_counter() - t0, 2 * n,
                     "results"))

    # The live route: 1M row values through the writer into SQLite.
    live = DAGTracker()
    storage = attach_writer(live, folder / "live.db", api_key="bench")
    values = 1_000_000
    t0 = time.perf_counter()
    record = live.record_row_value
    for i in range(values):
        record(i % n, 7, "op", float(i), "col")
    live.flush()
    elapsed = time.perf_counter() - t0
    assert storage.count("row_values") == values
    rows.append((f"live route, {values:,} row values", elapsed, values, "row values"))
    live.disable_persistence()

    # What the writer costs a DAG-tracked step (nodes streamed, no row values).
    def timed_add(with_writer):
        times = []
        for k in range(3):
            tracker = DAGTracker()
            if with_writer:
                attach_writer(tracker, folder / f"step{k}.db")
            tdf = wrap_dataframe_dag(frame, tracker, "bench")
            a, b = tdf["a"], tdf["b"]
            t0 = time.perf_counter()
            a + b
            times.append(time.perf_counter() - t0)
            tracker.disable_persistence()
        return min(times)

    plain = timed_add(False)
    written = timed_add(True)

    print(f"{'operation':<46} {'seconds':>9} {'records':>11}  {'per second':>12}")
    print("-" * 84)
    for what, secs, records, unit in rows:
        print(f"{what:<46} {secs:>9.3f} {records:>11,}  {records / secs:>12,.0f} {unit}/s")
    print()
    print(f"{'DAG-tracked a + b, ' + format(n, ',') + ' rows':<46} {'us/elem':>9}")
    print(f"{'  without a writer (baseline)':<46} {plain / n * 1e6:>9.3f}")
    print(f"{'  with a writer on SQLite':<46} {written / n * 1e6:>9.3f}   "
          f"{(written / plain - 1) * 100:+.1f}% against the baseline")


if __name__ == "__main__":
    main()
