"""One tracker used by several Python threads at once."""

import sys
import threading

import numpy as np

import tallyra._korval32 as k
from tallyra._korval32 import NativeProvenanceTracker as NPT

TABLES = [("applicants", [f"a{i}" for i in range(12)]), ("bureau", [f"b{i}" for i in range(12)])]


def workload(tracker, seed=0):
    """Registers, encodes, combines and decodes; returns what a caller would observe."""
    ids = []
    for table, columns in TABLES:
        ids += tracker.register_table(table, columns, table == "applicants")
    rng = np.random.default_rng(seed)
    out = []
    for round_ in range(30):
        cols = [k.encode_source_column(tracker, pid, rng.integers(0, 2**32, 200, dtype=np.uint32),
                                       tracker.is_protected("applicants", f"a{pid}"))
                for pid in rng.choice(ids, size=4, replace=False)]
        x = k.combine_batch(tracker, cols[0], cols[1], k.OP_ADD)
        y = k.combine_batch(tracker, cols[2], cols[3], k.OP_MUL)
        z = k.combine_batch(tracker, x, y, k.OP_SUB)  # four pairs: dense
        z = k.update_chain_batch(tracker, z, k.OP_CLIP)
        # Dense signatures depend on the order in which colliding entries arrive, so compare
        # what the words say, not the words themselves.
        out.append([tracker.decode_full(int(w)) for w in z[:25]])
        out.append(k.explain_batch(tracker, z[:10]))
        out.append(k.risk_score_batch(z).tolist())
        out.append([tracker.has_protected(int(w)) for w in x[:10]])
        extra = tracker.register("scratch", f"r{round_}", round_ % 2 == 0)
        out.append(tracker.decode_full(tracker.combine(int(z[0]), tracker.encode([extra], 1, 2, False, 0),
                                                       k.OP_MERGE)))
    return out


def test_threads_share_one_tracker():
    expected = workload(NPT())
    tracker = NPT()
    results, errors = {}, []
    start = threading.Barrier(4)

    def run(i):
        try:
            start.wait()
            results[i] = workload(tracker)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as possible
    try:
        threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors
    for i in range(4):
        assert results[i] == expected


def test_header_batches_run_beside_other_threads():
    words = np.arange(0, 2**32, 997, dtype=np.uint32)
    expected = k.risk_score_batch(words)
    tracker = NPT()
    failures = []

    def score():
        for _ in range(20):
            if not np.array_equal(k.risk_score_batch(words), expected):
                failures.append("risk")
            if not np.array_equal(k.is_tainted_batch(words), (words >> 29 & 1).astype(bool)):
                failures.append("taint")

    def encode():
        for i in range(2000):
            tracker.encode([i % 40, 40 + i % 7, 50, 60], i, i, False, 0)

    threads = [threading.Thread(target=f) for f in (score, score, encode)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
