"""A small pure-Python model of the KORVAL-32 word format, for property tests of the native core.

It follows the format literally: binomials from math.comb, ranks found by upward searches, pair
sets as Python sets, and the dense registry as a dict in which a signature taken by a different
entry sends the newcomer on to the next candidate: the finalizer applied to h + k * step, where
the step is a second, odd hash of the entry.
"""

from math import comb

PAYLOAD = 0x03FFFFFF
U32 = 0xFFFFFFFF


def c(n, k):
    return comb(n, k) if n >= k else 0


def largest_at_most(x, k):
    n = k
    while c(n + 1, k) <= x:
        n += 1
    return n


def fmix32(h):
    h ^= h >> 16
    h = (h * 0x85EBCA6B) & U32
    h ^= h >> 13
    h = (h * 0xC2B2AE35) & U32
    return h


def width_mask(n):
    return 0xFF if n <= 1 else 0xF if n == 2 else 0 if n == 3 else 0xFFFF


class Model:
    def __init__(self):
        self.dense = {}

    def encode(self, pairs, entity, chain, taint, depth):
        ids = sorted(set(pairs))
        n = len(ids)
        header = (0x20000000 if taint else 0) | (min(depth, 7) << 26)
        if n == 0:
            return header | (entity & 0xFF) << 8 | (chain & 0xFF)
        if n == 1:
            return header | (((ids[0] + 1) << 16 | (entity & 0xFF) << 8 | (chain & 0xFF)) & PAYLOAD)
        if n == 2:
            rank = ids[0] + c(ids[1], 2)
            return header | 1 << 30 | ((rank << 9 | (entity & 0x1F) << 4 | (chain & 0xF)) & PAYLOAD)
        if n == 3:
            rank = ids[0] + c(ids[1], 2) + c(ids[2], 3)
            return header | 2 << 30 | ((rank << 1) & PAYLOAD)
        h = 0
        for x in ids:
            h = (h * 31 + x) & U32
        h = (h * 31 + entity) & U32
        h = (h * 31 + chain) & U32
        h2 = 0x811C9DC5
        for x in [*ids, entity, chain]:
            h2 = ((h2 ^ x) * 0x01000193) & U32
        step = fmix32(h2) | 1
        entry = (tuple(ids), entity, chain)
        k = 0
        while True:
            f = fmix32((h + k * step) & U32)
            sig = (f ^ (f >> 16)) & PAYLOAD
            if self.dense.setdefault(sig, entry) == entry:
                return header | 3 << 30 | sig
            k += 1

    def decode(self, w):
        taint = bool(w >> 29 & 1)
        depth = w >> 26 & 7
        e = w & PAYLOAD
        mode = w >> 30
        if mode == 0:
            pd = e >> 16
            pairs = [pd - 1] if pd else []
            label = "EXACT-1" if pd else "EXACT-0"
            entity, chain = w >> 8 & 0xFF, w & 0xFF
        elif mode == 1:
            idx = e >> 9
            b = largest_at_most(idx, 2) if idx else 1
            pairs = [idx - c(b, 2), b]
            entity, chain, label = w >> 4 & 0x1F, w & 0xF, "EXACT-2"
        elif mode == 2:
            f = e >> 1
            cc = largest_at_most(f, 3) if f else 2
            r = f - c(cc, 3)
            b = largest_at_most(r, 2) if r else 1
            pairs = [r - c(b, 2), b, cc]
            entity, chain, label = 0, 0, "EXACT-3"
        else:
            ids, entity, chain = self.dense.get(e, ((), 0, 0))
            pairs, label = list(ids), "DENSE"
        return {"pairs": pairs, "entity": entity, "chain": chain, "taint": taint,
                "depth": depth, "mode": label}

    def combine(self, a, b, op):
        if a == 0:
            return b
        if b == 0:
            return a
        x, y = self.decode(a), self.decode(b)
        pairs = set(x["pairs"]) | set(y["pairs"])
        chain = (op + (x["chain"] ^ y["chain"]) * 31) & U32 & width_mask(len(pairs))
        return self.encode(pairs, x["entity"] ^ y["entity"], chain, x["taint"] or y["taint"],
                           max(x["depth"], y["depth"]) + 1)

    def update_chain(self, w, op):
        x = self.decode(w)
        chain = (op + x["chain"] * 31) & U32 & width_mask(len(x["pairs"]))
        return self.encode(x["pairs"], x["entity"], chain, x["taint"], x["depth"] + 1)


def risk(w):
    return 1.0 / (1 + (w >> 26 & 7)) if w >> 29 & 1 else 0.0
