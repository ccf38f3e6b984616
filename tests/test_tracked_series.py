"""TrackedSeries: how each operation moves the provenance words."""

import numpy as np
import pandas as pd
import pytest

from tallyra.utilities.korval32 import OpCode, ProvenanceTracker, TrackedSeries, wrap_dataframe


@pytest.fixture
def pair():
    """Two tracked columns of single-pair words, pairs 3 and 5, the second one protected."""
    tracker = ProvenanceTracker()
    tracker.register_table("pad", ["p0", "p1", "p2"])
    df = pd.DataFrame({"x": [1.0, -2.0, np.nan, 4.0], "y": [2.0, 3.0, 4.0, 5.0]},
                      index=[10, 11, 12, 13])
    tdf = wrap_dataframe(df[["x"]], tracker, "t")
    tracker.register("t", "gap")  # x is 3, gap 4, y 5
    s = tdf["x"]
    t5 = wrap_dataframe(df[["y"]], tracker, "t", protected=["y"])["y"]
    return tracker, s, t5


def words(series):
    return series._prov.tolist()


def test_fixture_pairs(pair):
    tracker, s, t = pair
    assert {tracker.decode(w).pop() for w in words(s)} == {3}
    assert {tracker.decode(w).pop() for w in words(t)} == {5}


def test_binary_operation_of_two_tracked_series(pair):
    tracker, s, t = pair
    r = s + t
    assert type(r) is TrackedSeries and r.name is None
    assert r.index.equals(s.index)
    np.testing.assert_array_equal(r.values, s.values + t.values)
    for w, a, b in zip(words(r), words(s), words(t)):
        info = tracker.decode_full(w)
        assert info.pairs == {3, 5} and info.depth == 1 and info.mode == "EXACT-2" and info.taint
        assert w == tracker.combine(a, b, OpCode.ADD)


@pytest.mark.parametrize(("make", "code"), [
    (lambda s, t: s + t, 1), (lambda s, t: s - t, 2), (lambda s, t: s * t, 3),
    (lambda s, t: s / t, 4), (lambda s, t: s // t, 4), (lambda s, t: s ** t, 3),
    (lambda s, t: s > t, 9), (lambda s, t: s < t, 9), (lambda s, t: s >= t, 9),
    (lambda s, t: s <= t, 9)])
def test_operator_codes(pair, make, code):
    tracker, s, t = pair
    r = make(s, t)
    assert type(r) is TrackedSeries and r.name is None
    assert words(r) == [tracker.combine(a, b, code) for a, b in zip(words(s), words(t))]


@pytest.mark.parametrize("make", [
    lambda s: s + 1, lambda s: s * 2.5, lambda s: s + np.ones(len(s)), lambda s: 5 - s,
    lambda s: 2 * s, lambda s: 1 / s, lambda s: s > 0, lambda s: s + pd.Series(np.arange(4.0))])
def test_untracked_operand_copies_the_words(pair, make):
    _, s, _ = pair
    r = make(s)
    assert type(r) is TrackedSeries
    assert words(r) == words(s)
    assert r._prov is not s._prov and not np.shares_memory(r._prov, s._prov)


def test_values_meet_by_position_and_reflected_ops_swap(pair):
    _, s, _ = pair
    plain = pd.Series([1.0, 2.0, 3.0, 4.0], index=[13, 12, 11, 10])
    r = s + plain
    np.testing.assert_array_equal(r.values, s.values + plain.values)
    assert r.index.equals(s.index)
    left = plain + s  # the subclass's reflected method runs first
    assert type(left) is TrackedSeries and words(left) == words(s)
    np.testing.assert_array_equal((5 - s).values, 5 - s.values)


@pytest.mark.parametrize(("make", "code"), [
    (lambda s: -s, OpCode.NEG), (lambda s: s.clip(0, 1), OpCode.CLIP),
    (lambda s: s.fillna(), OpCode.FILL), (lambda s: s.map(lambda v: v * 2), OpCode.MAP),
    (lambda s: s.replace(1.0, 7.0), OpCode.MAP)])
def test_unary_operations_advance_every_word(pair, make, code):
    tracker, s, _ = pair
    r = make(s)
    assert type(r) is TrackedSeries and r.name is None
    assert words(r) == [tracker.update_chain(w, code) for w in words(s)]
    assert all(tracker.get_depth(w) == 1 for w in words(r))


def test_values_of_unary_operations(pair):
    _, s, _ = pair
    np.testing.assert_array_equal((-s).values, -s.values)
    np.testing.assert_array_equal(s.clip(0, 1).values, np.clip(s.values, 0, 1))
    assert s.fillna().tolist() == [1.0, -2.0, 0.0, 4.0]
    assert s.replace(1.0, 7.0).tolist()[0] == 7.0


def test_depth_saturates(pair):
    tracker, s, _ = pair
    r = s
    for _ in range(9):
        r = -r
    assert {tracker.get_depth(w) for w in words(r)} == {7}


def plain_result(method, *args, **kwargs):
    plain = pd.Series([1.0, -2.0, np.nan, 4.0])
    return plain, getattr(plain, method)(*args, **kwargs)


@pytest.mark.parametrize(("method", "args"), [
    ("fillna", (0,)), ("replace", (1.0, 2.0)), ("clip", (0, 1))])
def test_in_place_forms_return_what_pandas_returns_and_keep_the_words(pair, method, args):
    _, s, _ = pair
    before = s._prov
    snapshot = before.copy()
    plain, expected = plain_result(method, *args, inplace=True)
    result = getattr(s, method)(*args, inplace=True)
    if expected is None:
        assert result is None
    else:  # pandas 3 hands back the Series itself
        assert expected is plain and result is s
    assert s._prov is before
    np.testing.assert_array_equal(s._prov, snapshot)
    np.testing.assert_array_equal(s.values, plain.values)  # and the values did change


def test_series_without_provenance(pair):
    s = TrackedSeries([1.0, 2.0, 3.0])
    assert words(s) == [0, 0, 0] and s._tracker is None
    assert words(-s) == [0, 0, 0] and words(s + s) == [0, 0, 0] and words(s.fillna()) == [0, 0, 0]


def test_pandas_derived_series_share_the_array(pair):
    _, s, _ = pair
    head = s.head(2)
    assert type(head) is TrackedSeries and head._prov is s._prov and len(head._prov) == 4
    assert (s == 1.0)._prov is s._prov
    assert abs(s)._prov is s._prov


@pytest.mark.parametrize("dtype", ["str", "object"])
def test_text_columns(dtype):
    tracker = ProvenanceTracker()
    tdf = wrap_dataframe(pd.DataFrame({"name": pd.Series(["a", "b"], dtype=dtype),
                                       "code": pd.Series(["x", "y"], dtype=dtype)}), tracker, "t")
    joined = tdf["name"] + tdf["code"]
    assert joined.tolist() == ["ax", "by"]
    assert tracker.decode(int(joined._prov[0])) == {0, 1}
    mapped = tdf["name"].map({"a": "A", "b": "B"})
    assert mapped.tolist() == ["A", "B"] and tracker.get_depth(int(mapped._prov[0])) == 1
    assert (tdf["name"] + "!").tolist() == ["a!", "b!"]
