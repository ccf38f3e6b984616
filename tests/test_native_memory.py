"""Running out of memory raises MemoryError and leaves the process and the tracker working."""

import subprocess
import sys
import textwrap

import pytest

resource = pytest.importorskip("resource")

SCRIPT = textwrap.dedent("""
    import resource
    import numpy as np
    import tallyra._korval32 as k

    t = k.NativeProvenanceTracker()
    big = np.zeros(50_000_000, dtype=np.uint32)          # 200 MB, allocated before the cap
    # Four single-pair columns whose rows name 2M different four-pair sets: combining x and y
    # stores one dense entry per row, far more than the cap leaves room for, though the output
    # array itself (8 MB) fits.
    i = np.arange(2_000_000, dtype=np.uint32)
    cols = [k.encode_source_column(t, 0, i, False) for _ in range(4)]
    for c, (base, shift) in zip(cols, [(0, 0), (128, 7), (256, 14), (384, 21)]):
        c[:] = (base + ((i >> shift) & 127) + 1) << 16   # pair_data = id + 1
    x = k.combine_batch(t, cols[0], cols[1], 1)
    y = k.combine_batch(t, cols[2], cols[3], 1)
    del cols
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/statm") as f:
        used = int(f.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + 24 * 2**20, hard))

    results = []
    for name, call in [
        ("is_tainted_batch", lambda: k.is_tainted_batch(big)),
        ("risk_score_batch", lambda: k.risk_score_batch(big)),
        ("combine_batch", lambda: k.combine_batch(t, big, big, 1)),
        ("encode_source_column", lambda: k.encode_source_column(t, 3, big, False)),
    ]:
        try:
            call()
            results.append(name + ": no error")
        except MemoryError:
            results.append(name + ": MemoryError")

    try:
        k.combine_batch(t, x, y, 1)
        results.append("dense: no error")
    except MemoryError:
        results.append("dense: MemoryError")

    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    # still usable afterwards
    w = t.encode([0, 1, 2, 3], 5, 6, False, 0)
    assert t.decode_full(w)["entity"] == 5
    assert k.is_tainted_batch(big[:10]).tolist() == [False] * 10
    print("\\n".join(results))
""")


def test_memory_exhaustion_raises_memory_error(tmp_path):
    proc = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True,
                          timeout=300, cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "is_tainted_batch: MemoryError",
        "risk_score_batch: MemoryError",
        "combine_batch: MemoryError",
        "encode_source_column: MemoryError",
        "dense: MemoryError",
    ]
