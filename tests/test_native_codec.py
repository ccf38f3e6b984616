"""Registration, the word codec and the algebra through the Python module."""

import numpy as np
import pytest

import tallyra._korval32 as k
from tallyra._korval32 import NativeProvenanceTracker as NPT

# ---- pair registry ------------------------------------------------------------------------


def test_ids_are_dense_and_reused(tracker):
    assert tracker.get_name(0) is None
    assert tracker.register("t", "a", False) == 0
    assert tracker.register("t", "b", False) == 1
    assert tracker.register("t", "a", False) == 0
    assert tracker.get_name(1) == ("t", "b")
    assert tracker.get_name(2) is None
    assert tracker.get_id("T", "a") is None
    assert tracker.get_id("t", "b") == 1


def test_protection_marks(tracker):
    tracker.register("t", "c", True)
    tracker.register("t", "c", False)
    assert tracker.is_protected("t", "c") is True
    assert tracker.is_protected("t") is False
    assert tracker.is_protected("t", None) is False
    assert tracker.is_protected("t", "d") is False
    assert tracker.mark_table_protected("u") is None
    assert tracker.is_protected("u") and tracker.is_protected("u", "d")


def test_register_table(tracker):
    assert tracker.register_table("t", [], False) == []
    assert tracker.register_table("t", ["a", "a"], False) == [0, 0]
    assert tracker.register_table("t", np.array(["x", "y"]), True) == [1, 2]


def test_register_table_converts_everything_before_registering(tracker):
    with pytest.raises(TypeError):
        tracker.register_table("t", ["a", "b", 3], False)
    with pytest.raises(TypeError):
        tracker.register_table("t", ["a", "b"], 1)
    assert tracker.get_id("t", "a") is None


def test_pair_limit_is_a_base_exception_and_leaves_the_registry_usable(tracker):
    assert tracker.register_table("t", [str(i) for i in range(512)], False) == list(range(512))
    assert tracker.get_name(511) == ("t", "511")
    with pytest.raises(k.InternalError, match="^Cannot register more than 512 pairs$"):
        try:
            tracker.register("t", "512", True)
        except Exception:  # the limit must not be caught here
            pytest.fail("caught by except Exception")
    assert tracker.get_id("t", "512") is None
    assert tracker.register("t", "7", False) == 7


def test_pair_limit_part_way_through_a_table(tracker):
    tracker.register_table("t", [str(i) for i in range(510)], False)
    with pytest.raises(k.InternalError):
        tracker.register_table("u", ["a", "b", "c"], False)
    assert tracker.get_id("u", "b") == 511
    assert tracker.get_id("u", "c") is None


def test_trackers_are_independent():
    a, b = NPT(), NPT()
    a.register("t", "x", True)
    assert b.get_id("t", "x") is None
    word = a.encode([0, 1, 2, 3], 0, 0, False, 0)
    assert a.decode(word) == [0, 1, 2, 3]
    assert b.decode(word) == []


# ---- codec --------------------------------------------------------------------------------

WORDS = [
    (([], 0, 0, False, 0), 0x00000000, ([], 0, 0, False, 0, "EXACT-0")),
    (([5], 0xAB, 0x12, True, 2), 0x2806AB12, ([5], 171, 18, True, 2, "EXACT-1")),
    (([7, 3], 0x1F3, 0x2C, False, 1), 0x4400313C, ([3, 7], 19, 12, False, 1, "EXACT-2")),
    (([1, 4, 9], 0x77, 0x55, True, 3), 0xAC0000B6, ([1, 4, 9], 0, 0, True, 3, "EXACT-3")),
    (([0, 1], 0, 0, False, 0), 0x40000000, ([0, 1], 0, 0, False, 0, "EXACT-2")),
    (([0, 1, 2], 0, 0, False, 0), 0x80000000, ([0, 1, 2], 0, 0, False, 0, "EXACT-3")),
    (([511], 0xFF, 0xFF, True, 7), 0x3E00FFFF, ([511], 255, 255, True, 7, "EXACT-1")),
    (([510, 511], 31, 15, False, 9), 0x5FFDFFFF, ([510, 511], 31, 15, False, 7, "EXACT-2")),
    (([509, 510, 511], 0, 0, False, 0), 0x82A6ABFE, ([509, 510, 511], 0, 0, False, 0, "EXACT-3")),
    (([0, 1, 2, 3], 0, 0, False, 0), 0xC24C5AE7, ([0, 1, 2, 3], 0, 0, False, 0, "DENSE")),
    (([2, 3, 5, 7, 11], 0x1234, 0x5678, True, 4), 0xF2A0004B,
     ([2, 3, 5, 7, 11], 4660, 22136, True, 4, "DENSE")),
    (([7, 3, 7], 0x1F3, 0x2C, False, 1), 0x4400313C, ([3, 7], 19, 12, False, 1, "EXACT-2")),
]


@pytest.mark.parametrize(("args", "word", "decoded"), WORDS, ids=[hex(w[1]) for w in WORDS])
def test_worked_words(tracker, args, word, decoded):
    assert tracker.encode(*args) == word
    full = tracker.decode_full(word)
    assert list(full) == ["pairs", "entity", "chain", "taint", "depth", "mode"]
    assert tuple(full.values()) == decoded
    assert tracker.decode(word) == decoded[0]


@pytest.mark.parametrize(("word", "pairs"), [
    (0x40000000, [0, 1]), (0x80000000, [0, 1, 2]), (0x80000001, [0, 1, 2]),
    (0x03FF0000, [1022])])
def test_decode_edges(tracker, word, pairs):
    assert tracker.decode(word) == pairs


@pytest.mark.parametrize("depth", [8, 100, 2**32 - 1])
def test_depth_saturates(tracker, depth):
    assert NPT.get_depth(tracker.encode([1], 0, 0, False, depth)) == 7


def test_unknown_dense_word_keeps_its_header(tracker):
    assert tracker.decode_full(0xF2A0004B) == {
        "pairs": [], "entity": 0, "chain": 0, "taint": True, "depth": 4, "mode": "DENSE"}


def test_dense_collision_keeps_both_words(tracker):
    # Before mixing, both entries hash to poly * 961 + 31: the same first signature.
    a = tracker.encode([0, 1, 2, 3], 0, 31, False, 0)
    b = tracker.encode([0, 1, 2, 3], 1, 0, False, 0)
    assert a != b
    assert tracker.decode_full(a)["entity"] == 0 and tracker.decode_full(a)["chain"] == 31
    assert tracker.decode_full(b)["entity"] == 1 and tracker.decode_full(b)["chain"] == 0
    assert tracker.encode([3, 2, 1, 0], 1, 0, False, 0) == b
    assert tracker.encode([0, 1, 2, 3], 0, 31, False, 0) == a


def test_dense_words_differing_in_taint_or_depth_share_an_entry(tracker):
    a = tracker.encode([0, 1, 2, 3], 7, 7, False, 0)
    b = tracker.encode([0, 1, 2, 3], 7, 7, True, 6)
    assert a ^ b == 0x20000000 | 6 << 26


# ---- algebra --------------------------------------------------------------------------------

A, B = 0x00041234, 0x28065678  # encode([3], 0x12, 0x34, F, 0), encode([5], 0x56, 0x78, T, 2)


@pytest.mark.parametrize(("call", "expected"), [
    (lambda t: t.combine(A, B, k.OP_ADD), 0x6C001A45),
    (lambda t: t.combine(0, B, k.OP_ADD), B),
    (lambda t: t.combine(A, 0, k.OP_ADD), A),
    (lambda t: t.combine(0, 0, k.OP_MUL), 0),
    (lambda t: t.update_chain(A, k.OP_NEG), 0x04041251),
    (lambda t: t.update_chain(0, k.OP_NEG), 0x04000005),
    (lambda t: t.update_chain(0xAC0000B6, k.OP_ADD), 0xB00000B6),
    (lambda t: NPT.risk_score(0x2806AB12), 0.3333333333333333),
    (lambda t: NPT.read_header(0xAC0000B6), (2, True, 3)),
    (lambda t: NPT.is_tainted(0x20000000), True),
])
def test_worked_algebra(tracker, call, expected):
    result = call(tracker)
    assert result == expected and type(result) is type(expected)


def test_risk_by_depth():
    expected = [1.0, 0.5, 0.3333333333333333, 0.25, 0.2, 0.16666666666666666,
                0.14285714285714285, 0.125]
    for depth, risk in enumerate(expected):
        assert NPT.risk_score(0x20000000 | depth << 26) == risk
        assert NPT.risk_score(depth << 26) == 0.0


def test_queries(tracker):
    age = tracker.register("people", "age", True)
    income = tracker.register("people", "income", False)
    tracker.mark_table_protected("loans")
    amount = tracker.register("loans", "amount", False)
    w = tracker.encode([income, age], 0, 0, False, 0)
    assert tracker.explain(w) == [("people", "age"), ("people", "income")]
    assert tracker.has_protected(w) is True
    assert tracker.has_protected(tracker.encode([amount], 0, 0, False, 0)) is False
    assert tracker.contains(w, age) and not tracker.contains(w, amount)
    assert tracker.explain(0x03FF0000) == []
    assert tracker.contains(0xC1234567, 5) is False


# ---- batch functions ----------------------------------------------------------------------------

def test_batch_functions_match_the_scalar_methods(tracker):
    rng = np.random.default_rng(1)
    words = [tracker.encode(list(rng.choice(30, size=rng.integers(0, 6), replace=False)),
                            int(rng.integers(2**32)), int(rng.integers(2**32)),
                            bool(rng.integers(2)), int(rng.integers(9))) for _ in range(500)]
    tracker.register_table("t", [f"c{i}" for i in range(20)], False)
    a = np.array(words, dtype=np.uint32)
    b = np.roll(a, 1)
    b[::7] = 0
    assert k.combine_batch(tracker, a, b, 3).tolist() == [
        tracker.combine(x, y, 3) for x, y in zip(words, b.tolist())]
    assert k.update_chain_batch(tracker, a, 2**32 - 1).tolist() == [
        tracker.update_chain(x, 2**32 - 1) for x in words]
    assert k.is_tainted_batch(a).tolist() == [NPT.is_tainted(x) for x in words]
    assert k.risk_score_batch(a).tolist() == [NPT.risk_score(x) for x in words]
    assert k.explain_batch(tracker, a) == [tracker.explain(x) for x in words]


def test_combine_batch_stops_at_the_shorter_input(tracker):
    a = np.full(5, 0x00010000, np.uint32)
    b = np.full(3, 0x00020000, np.uint32)
    assert len(k.combine_batch(tracker, a, b, 1)) == 3
    assert len(k.combine_batch(tracker, b, a, 1)) == 3


def test_encode_source_column(tracker):
    out = k.encode_source_column(tracker, 4, np.array([0x1FF, 7], dtype=np.uint32), True)
    assert out.tolist() == [0x2005FF00, 0x20050700]


def test_header_batches():
    words = np.array([0x20000000, 0x1C000000], dtype=np.uint32)
    assert k.is_tainted_batch(words).tolist() == [True, False]
    assert k.risk_score_batch(words).tolist() == [1.0, 0.0]
