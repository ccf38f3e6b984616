"""The native words against the pure-Python model of the format, scalar and batch."""

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

import tallyra._korval32 as k
from tallyra._korval32 import NativeProvenanceTracker as NPT
from korval_model import Model, risk

u32 = st.integers(0, 2**32 - 1)
ops = st.one_of(st.sampled_from([0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 15]), u32)
# Small id ranges make unions overlap and dense hashes collide; the full range reaches the
# largest ranks.
pair_sets = st.one_of(
    st.lists(st.integers(0, 12), max_size=7),
    st.lists(st.integers(0, 511), max_size=6),
)
word_parts = st.tuples(pair_sets, u32, u32, st.booleans(), st.integers(0, 12))


def _fresh():
    return NPT(), Model()


@given(parts=st.lists(word_parts, min_size=1, max_size=40))
def test_encode_and_decode_match_the_model(parts):
    tracker, model = _fresh()
    for pairs, entity, chain, taint, depth in parts:
        word = tracker.encode(pairs, entity, chain, taint, depth)
        assert word == model.encode(pairs, entity, chain, taint, depth)
        assert tracker.decode_full(word) == model.decode(word)
        assert tracker.decode(word) == sorted(set(pairs))


@given(words=st.lists(u32, min_size=1, max_size=50))
def test_every_word_decodes_like_the_model(words):
    tracker, model = _fresh()
    for w in words:
        assert tracker.decode_full(w) == model.decode(w)
        assert NPT.read_header(w) == (w >> 30, bool(w >> 29 & 1), w >> 26 & 7)
        assert NPT.risk_score(w) == risk(w)


@st.composite
def programs(draw):
    """Seed words, then a list of (kind, i, j, op) steps over the growing pool of words."""
    seeds = draw(st.lists(word_parts, min_size=1, max_size=12))
    steps = draw(st.lists(st.tuples(st.sampled_from(["combine", "update"]),
                                    st.integers(0, 10**6), st.integers(0, 10**6), ops),
                          max_size=60))
    return seeds, steps


@given(program=programs())
def test_algebra_matches_the_model(program):
    seeds, steps = program
    tracker, model = _fresh()
    pool = [0, 0xC1234567]  # the identity, and a dense word neither side knows
    for parts in seeds:
        pool.append(tracker.encode(*parts))
        model.encode(*parts)
    for kind, i, j, op in steps:
        a, b = pool[i % len(pool)], pool[j % len(pool)]
        if kind == "combine":
            got, want = tracker.combine(a, b, op), model.combine(a, b, op)
        else:
            got, want = tracker.update_chain(a, op), model.update_chain(a, op)
        assert got == want
        pool.append(got)


@settings(max_examples=60)
@given(seeds=st.lists(word_parts, min_size=1, max_size=20), op=ops, data=st.data())
def test_batches_match_the_model(seeds, op, data):
    tracker, model = _fresh()
    pool = [0] + [tracker.encode(*p) for p in seeds]
    for p in seeds:
        model.encode(*p)
    n = data.draw(st.integers(0, 60))
    a = np.array(data.draw(st.lists(st.sampled_from(pool), min_size=n, max_size=n)), np.uint32)
    b = np.array(data.draw(st.lists(st.sampled_from(pool), min_size=n, max_size=n + 3)), np.uint32)
    combined = k.combine_batch(tracker, a, b, op)
    assert combined.tolist() == [model.combine(x, y, op) for x, y in zip(a.tolist(), b.tolist())]
    chained = k.update_chain_batch(tracker, a, op)
    assert chained.tolist() == [model.update_chain(x, op) for x in a.tolist()]
    assert k.is_tainted_batch(combined).tolist() == [bool(w >> 29 & 1) for w in combined.tolist()]
    assert k.risk_score_batch(chained).tolist() == [risk(w) for w in chained.tolist()]
    pid = data.draw(st.integers(0, 65535))
    hashes = np.array(data.draw(st.lists(u32, max_size=20)), np.uint32)
    taint = data.draw(st.booleans())
    assert k.encode_source_column(tracker, pid, hashes, taint).tolist() == [
        model.encode([pid], h & 0xFF, 0, taint, 0) for h in hashes.tolist()]
