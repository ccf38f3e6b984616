"""Times the native batch functions against baselines measured in the same run.

    python bench/bench_batch.py [--sizes 1000000 10000000] [--repeat 5]

Inputs:
  (a) words of two different single pairs: results in mode 01
  (b) a mode-01 word and a word of a third pair: results in mode 10
  (c) two two-pair words whose union has four pairs: results in mode 11, through the dense
      registry (a fresh tracker for every timed call, so each call stores its entries anew)

Baselines: a NumPy implementation of the combine rule for input (a), written as a user would
write it; NumPy's (w >> 29) & 1 for the header functions; and a per-element Python loop over the
scalar methods on 100k elements (read each element, call, store into a new array: the loop that
the batch functions replace), scaled to one element.
"""

from __future__ import annotations

import argparse
import time

import numpy as np
import timing

import tallyra._korval32 as k
from tallyra._korval32 import NativeProvenanceTracker

OP = k.OP_ADD


def best(fn, repeat):
    """Best wall time of `repeat` calls, in seconds, and the last result."""
    results = []
    secs = timing.best(lambda: results.append(fn()), repeat)
    return secs, results[-1]


def single_pair_words(pair_id, n, rng, taint=False):
    """Mode-00 words of one pair with random entity and chain bits, depth 0-3."""
    entity = rng.integers(0, 256, n, dtype=np.uint32)
    chain = rng.integers(0, 256, n, dtype=np.uint32)
    depth = rng.integers(0, 4, n, dtype=np.uint32)
    return ((np.uint32(0x20000000) if taint else np.uint32(0)) | depth << 26
            | np.uint32(pair_id + 1) << 16 | entity << 8 | chain).astype(np.uint32)


def inputs(n, seed=1):
    rng = np.random.default_rng(seed)
    t = NativeProvenanceTracker()
    a0 = single_pair_words(0, n, rng)
    a1 = single_pair_words(1, n, rng, taint=True)
    two = k.combine_batch(t, a0, a1, OP)  # mode 01, pairs {0, 1}
    third = single_pair_words(2, n, rng)
    # two-pair words over a few other pairs, so that the four-pair unions vary
    others = [k.combine_batch(t, single_pair_words(2 + i, n, rng), single_pair_words(9 + i, n, rng), OP)
              for i in range(3)]
    pick = rng.integers(0, 3, n)
    other = np.choose(pick, others).astype(np.uint32)
    return {"a": (a0, a1), "b": (two, third), "c": (two, other)}


def numpy_combine_single(a, b, op):
    """The combine rule for words of at most one pair each, as a NumPy user would write it."""
    a = a.astype(np.int64)
    b = b.astype(np.int64)
    pa, pb = (a >> 16) & 0x3FF, (b >> 16) & 0x3FF          # pair_data: id + 1, or 0
    ea, eb = (a >> 8) & 0xFF, (b >> 8) & 0xFF
    ca, cb = a & 0xFF, b & 0xFF
    taint = ((a | b) >> 29) & 1
    depth = np.minimum(np.maximum((a >> 26) & 7, (b >> 26) & 7) + 1, 7)
    entity = ea ^ eb
    mixed = op + (ca ^ cb) * 31
    header = taint << 29 | depth << 26
    lo = np.minimum(pa, pb)
    hi = np.maximum(pa, pb)
    two = (pa != 0) & (pb != 0) & (pa != pb)
    # one pair or none: mode 00 with the pair that is there
    single = header | np.where(two, 0, hi) << 16 | (entity & 0xFF) << 8 | (mixed & 0xFF)
    # two pairs {x < y}: rank x + C(y, 2)
    x, y = lo - 1, hi - 1
    rank = x + y * (y - 1) // 2
    pair = 1 << 30 | header | ((rank << 9 | (entity & 0x1F) << 4 | (mixed & 0xF)) & 0x03FFFFFF)
    out = np.where(two, pair, single)
    out = np.where(a == 0, b, np.where(b == 0, a, out))
    return out.astype(np.uint32)


def python_loop(t, fn_name, a, b=None, m=100_000):
    """Per-element cost, in seconds, of the per-row Python loop that a batch function replaces:
    read each element from the NumPy array, call the scalar method, store into a new array."""
    a = a[:m]
    b = b[:m] if b is not None else None
    n = len(a)
    if fn_name == "combine":
        f, out = t.combine, np.empty(n, np.uint32)
        t0 = time.perf_counter()
        for i in range(n):
            out[i] = f(int(a[i]), int(b[i]), OP)
    elif fn_name == "update_chain":
        f, out = t.update_chain, np.empty(n, np.uint32)
        t0 = time.perf_counter()
        for i in range(n):
            out[i] = f(int(a[i]), OP)
    elif fn_name == "encode":
        f, out = t.encode, np.empty(n, np.uint32)
        t0 = time.perf_counter()
        for i in range(n):
            out[i] = f([3], int(a[i]) & 0xFF, 0, False, 0)
    elif fn_name == "is_tainted":
        f, out = NativeProvenanceTracker.is_tainted, np.empty(n, np.bool_)
        t0 = time.perf_counter()
        for i in range(n):
            out[i] = f(int(a[i]))
    elif fn_name == "risk_score":
        f, out = NativeProvenanceTracker.risk_score, np.empty(n, np.float64)
        t0 = time.perf_counter()
        for i in range(n):
            out[i] = f(int(a[i]))
    else:
        f, out = t.explain, []
        t0 = time.perf_counter()
        for i in range(n):
            out.append(f(int(a[i])))
    return (time.perf_counter() - t0) / n


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000_000, 10_000_000])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    rows = []  # (operation, n, ns per element, baseline name, baseline ns per element)

    def add(op, n, secs, base_name, base_secs):
        rows.append((op, n, secs / n * 1e9, base_name, base_secs * 1e9 if base_secs else None))

    loop_t = NativeProvenanceTracker()
    for n in args.sizes:
        data = inputs(n)
        rep = args.repeat if n <= 1_000_000 else max(2, args.repeat // 2)
        t = NativeProvenanceTracker()
        a0, a1 = data["a"]

        # combine_batch: (a) against NumPy and the Python loop
        secs, ours = best(lambda: k.combine_batch(t, a0, a1, OP), rep)
        np_secs, theirs = best(lambda: numpy_combine_single(a0, a1, OP), rep)
        if not np.array_equal(ours, theirs):
            raise SystemExit("NumPy baseline disagrees with combine_batch")
        add("combine_batch (a) mode 01", n, secs, "NumPy rule", np_secs / n)
        loop = python_loop(loop_t, "combine", a0, a1)
        add("combine_batch (a) mode 01", n, secs, "Python loop", loop)
        for name in ("b", "c"):
            x, y = data[name]
            label = {"b": "combine_batch (b) mode 10", "c": "combine_batch (c) mode 11"}[name]
            if name == "c":
                # a fresh tracker each call: every call stores its dense entries
                def call():
                    return k.combine_batch(NativeProvenanceTracker(), x, y, OP)
            else:
                def call():
                    return k.combine_batch(t, x, y, OP)
            secs, _ = best(call, rep)
            add(label, n, secs, "Python loop", python_loop(loop_t, "combine", x, y))

        # update_chain_batch on each kind of word
        dense = k.combine_batch(t, *data["c"], OP)
        for label, w in (("update_chain_batch mode 00", a0), ("update_chain_batch mode 01", data["b"][0]),
                         ("update_chain_batch mode 11", dense)):
            secs, _ = best(lambda: k.update_chain_batch(t, w, OP), rep)
            add(label, n, secs, "Python loop", python_loop(t, "update_chain", w))

        hashes = a0 ^ a1
        secs, _ = best(lambda: k.encode_source_column(t, 3, hashes, False), rep)
        add("encode_source_column", n, secs, "Python loop", python_loop(t, "encode", hashes))

        words = data["b"][0]
        np_secs, _ = best(lambda: (words >> 29) & 1, rep)
        for fn in ("is_tainted_batch", "risk_score_batch"):
            secs, _ = best(lambda: getattr(k, fn)(words), rep)
            add(fn, n, secs, "NumPy (w>>29)&1", np_secs / n)
            add(fn, n, secs, "Python loop", python_loop(t, fn.replace("_batch", ""), words))

        tx = NativeProvenanceTracker()
        tx.register_table("t", [f"c{i}" for i in range(16)], True)
        secs, _ = best(lambda: k.explain_batch(tx, words), 1 if n > 1_000_000 else 2)
        add("explain_batch", n, secs, "Python loop", python_loop(tx, "explain", words))

    header = f"{'operation':<30} {'n':>11} {'ns/elem':>9}  {'baseline':<17} {'ns/elem':>9} {'ratio':>8}"
    print(header)
    print("-" * len(header))
    for op, n, ours, base_name, base in rows:
        ratio = base / ours
        print(f"{op:<30} {n:>11,} {ours:>9.2f}  {base_name:<17} {base:>9.2f} {ratio:>7.1f}x")
    print("\nratio = baseline time / our time: above 1 means the batch call is faster.")


if __name__ == "__main__":
    main()
