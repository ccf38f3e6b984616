"""TrackedDataFrame and wrap_dataframe: words per cell, selection, assignment and merge."""

import numpy as np
import pandas as pd
import pytest

from tallyra.utilities.korval32 import (OpCode, ProvenanceTracker, TrackedDataFrame, TrackedSeries,
                                        _hash_entity, wrap_dataframe)


def loans_frame():
    return pd.DataFrame({"age": [30, 45, 60], "income": [1000.0, 2500.0, 4000.0]})


def test_loans_words(loans):
    tracker, tdf = loans
    assert type(tdf) is TrackedDataFrame and tdf._tracker is tracker
    assert tracker.get_id("loans", "age") == 0 and tracker.get_id("loans", "income") == 1
    assert tdf._col_prov["age"].tolist() == [0x20010000, 0x20010100, 0x20010200]
    assert tdf._col_prov["income"].tolist() == [0x00020000, 0x00020100, 0x00020200]
    assert tdf._col_prov["age"].dtype == np.uint32
    assert tracker.is_protected("loans", "age") and not tracker.is_protected("loans")


def test_whole_table_protection():
    tracker = ProvenanceTracker()
    tdf = wrap_dataframe(loans_frame(), tracker, "loans", protected=True)
    assert all(w & 0x20000000 for col in tdf._col_prov.values() for w in col.tolist())
    assert tracker.stats()["protected_tables"] == ["loans"]
    assert tracker._protected_columns == {("loans", "age"), ("loans", "income")}
    assert tracker._native.is_protected("loans")


@pytest.mark.parametrize(("protected", "tainted"), [
    (["age"], {"age"}), (("age",), {"age"}), ({"age"}, {"age"}), ([], set()),
    (frozenset({"age"}), {"age", "income"}),  # not a list, tuple or set: a truthy flag
    ({"age": 1}, {"age", "income"}), (True, {"age", "income"}), (False, set()), (None, set()),
    (["Age"], set()),  # names compare exactly
])
def test_protection_forms(protected, tainted):
    tdf = wrap_dataframe(loans_frame(), ProvenanceTracker(), "loans", protected=protected)
    assert {col for col, prov in tdf._col_prov.items() if prov[0] & 0x20000000} == tainted


def test_protection_compares_labels_as_strings():
    df = pd.DataFrame({0: [1, 2], 1: [3, 4]})
    tdf = wrap_dataframe(df, ProvenanceTracker(), "t", protected=[0])
    assert tdf._col_prov[0][0] & 0x20000000 and not tdf._col_prov[1][0] & 0x20000000
    assert set(tdf._col_prov) == {0, 1}  # keyed by the labels themselves


def test_earlier_marks_taint_later_wraps():
    tracker = ProvenanceTracker()
    wrap_dataframe(loans_frame(), tracker, "loans", protected=True)
    again = wrap_dataframe(loans_frame(), tracker, "loans")
    assert again._col_prov["income"][0] & 0x20000000


def test_entity_bytes():
    tdf = wrap_dataframe(pd.DataFrame({"x": np.arange(300)}), ProvenanceTracker(), "t")
    entity = (tdf._col_prov["x"] >> 8) & 0xFF
    assert entity[255] == 255 and entity[256] == 0 and entity[257] == 1
    flat = wrap_dataframe(pd.DataFrame({"x": np.arange(300)}), ProvenanceTracker(), "t",
                          include_entity=False)
    assert len(set(flat._col_prov["x"].tolist())) == 1


@pytest.mark.parametrize("index", [
    pd.RangeIndex(0, 600),
    pd.RangeIndex(-300, 300, 7),
    pd.Index([-1, -2, 0, 1, 255, 256, -257], dtype=np.int64),
    pd.Index([2**61 - 2, 2**61 - 1, 2**61, 2**62 + 12345, 2**63 - 1, -(2**61) + 1, -(2**61) - 1,
              -(2**62) - 99, -(2**63)], dtype=np.int64),
    pd.Index(["a", "b", "loan-17"]),
    pd.Index([0.5, -1.0, 2.0, 1e300]),  # (NaN hashes by identity: no stable byte to compare)
    pd.Index([(1, "a"), (2, "b")]),
    pd.MultiIndex.from_tuples([(1, "a"), (2, "b")]),
    pd.Index([None, "x", 3], dtype=object),
    pd.date_range("2024-01-01", periods=5),
    pd.Index([1, 2, 3], dtype=np.uint64),
])
def test_entity_bytes_equal_the_per_row_hash(index):
    df = pd.DataFrame({"a": np.arange(len(index)), "b": 0}, index=index)
    tdf = wrap_dataframe(df, ProvenanceTracker(), "t")
    expected = [_hash_entity(label) % 256 for label in index]
    for col in ("a", "b"):
        assert ((tdf._col_prov[col] >> 8) & 0xFF).tolist() == expected


def test_an_overridden_entity_hash_is_used():
    class Fixed(ProvenanceTracker):
        def entity_from_row(self, row_id):
            return 7

    tdf = wrap_dataframe(pd.DataFrame({"a": range(4)}), Fixed(), "t")
    assert ((tdf._col_prov["a"] >> 8) & 0xFF).tolist() == [7, 7, 7, 7]


def test_wrap_rejects_a_table_that_is_not_text():
    tracker = ProvenanceTracker()
    with pytest.raises(TypeError):
        wrap_dataframe(loans_frame(), tracker, 5, protected=True)
    assert tracker.stats()["protected_tables"] == [] and tracker.stats()["registered_pairs"] == 0


# ---- selection ------------------------------------------------------------------------------------

def test_getitem_gives_a_copy(loans):
    _, tdf = loans
    s = tdf["age"]
    assert type(s) is TrackedSeries and s.name is None and s._tracker is tdf._tracker
    assert s.index.equals(tdf.index)
    assert s._prov.tolist() == tdf._col_prov["age"].tolist()
    s._prov[0] = 0
    assert tdf._col_prov["age"][0] == 0x20010000


def test_columns_without_words(loans):
    _, tdf = loans
    tdf["plain"] = 5
    assert tdf["plain"]._prov.tolist() == [0, 0, 0]


def test_row_filters_share_the_dict_and_broadcast_the_first_word(loans):
    _, tdf = loans
    filtered = tdf[tdf["age"] > 40]
    assert type(filtered) is TrackedDataFrame and filtered._col_prov is tdf._col_prov
    assert filtered["age"]._prov.tolist() == [0x20010000, 0x20010000]
    kept = tdf[tdf["age"] > 0]
    assert kept["age"]._prov.tolist() == tdf._col_prov["age"].tolist()


def test_assigning_a_tracked_column(loans):
    tracker, tdf = loans
    tdf["scaled"] = tdf["income"] * 2
    assert tdf._col_prov["scaled"].tolist() == tdf._col_prov["income"].tolist()
    tdf["scaled"] = 0  # a plain value leaves the stored words
    assert tdf._col_prov["scaled"].tolist() == tdf._col_prov["income"].tolist()


def test_setitem_aligns_words_with_values_by_label(loans):
    """pandas aligns an assigned Series by label; the words must follow their values."""
    tracker, tdf = loans
    s = tdf["age"]
    reordered = TrackedSeries(s.values[::-1], index=s.index[::-1], _prov=s._prov[::-1].copy(),
                              _tracker=tracker)
    tdf["again"] = reordered
    assert tdf["again"].tolist() == tdf["age"].tolist()
    assert tdf._col_prov["again"].tolist() == tdf._col_prov["age"].tolist()
    partial = TrackedSeries([9.0, 8.0], index=[2, 7], _prov=np.array([11, 22], np.uint32),
                            _tracker=tracker)
    tdf["partial"] = partial
    assert tdf["partial"].isna().tolist() == [True, True, False]
    assert tdf._col_prov["partial"].tolist() == [0, 0, 11]  # rows without a source label get 0


def test_assignment_into_a_derived_frame_leaves_the_source_alone(loans):
    """Frames pandas derives share the source's dict; assigning must not write into it."""
    _, tdf = loans
    before = dict(tdf._col_prov)
    sub = tdf[tdf["age"] > 40].copy()
    sub["age"] = sub["age"] * 2
    sub["new"] = sub["income"] + sub["age"]
    assert set(tdf._col_prov) == set(before)
    assert all(tdf._col_prov[k] is before[k] for k in before)
    assert "new" in sub._col_prov and sub._col_prov["age"].tolist() != tdf._col_prov["age"].tolist()
    tdf["late"] = tdf["income"] + 1
    assert "late" not in sub._col_prov


# ---- merge ------------------------------------------------------------------------------------------

@pytest.fixture
def two_frames():
    tracker = ProvenanceTracker()
    left = wrap_dataframe(pd.DataFrame({"id": [1, 2, 3], "age": [30, 40, 50]}), tracker, "L",
                          protected=["age"])
    right = wrap_dataframe(pd.DataFrame({"id": [3, 1, 4], "income": [1.0, 2.0, 3.0]}), tracker, "R")
    return tracker, left, right


def test_merge_carries_both_sides(two_frames):
    tracker, left, right = two_frames
    merged = left.merge(right, on="id")
    assert type(merged) is TrackedDataFrame and len(merged) == 2
    for col, side in (("id", left), ("age", left), ("income", right)):
        expected = tracker.update_chain(int(side._col_prov[col][0]), OpCode.MERGE)
        assert merged._col_prov[col].tolist() == [expected] * 2
        assert tracker.get_depth(expected) == 1
    assert left._col_prov["id"][0] == 0x00010000 and "income" not in left._col_prov


def test_merge_edge_cases(two_frames):
    tracker, left, right = two_frames
    suffixed = left.merge(right.rename(columns={"income": "age"}), on="id")
    assert set(suffixed._col_prov) == {"id"}
    plain = left.merge(pd.DataFrame({"id": [1], "z": [0]}), on="id")
    assert set(plain._col_prov) == {"id", "age"}
    empty = left.merge(right, on="id", how="inner").iloc[0:0].merge(right, on="id")
    assert all(len(v) == 0 for v in empty._col_prov.values())
    untracked = TrackedDataFrame(left, _col_prov=dict(left._col_prov))
    carried = untracked.merge(right, on="id")
    assert carried._col_prov["age"].tolist() == [int(left._col_prov["age"][0])] * 2


# ---- which pandas paths keep the subclass ---------------------------------------------------------

FRAME_PATHS = {
    "getitem list": lambda df: df[["age", "income"]],
    "head": lambda df: df.head(2),
    "boolean mask": lambda df: df[df["age"] > 30],
    "copy": lambda df: df.copy(),
    "sort_values": lambda df: df.sort_values("income"),
    "iloc rows": lambda df: df.iloc[1:],
    "loc rows": lambda df: df.loc[[0, 2]],
    "merge": lambda df: df.merge(df, on="age"),
    "assign": lambda df: df.assign(z=1),
}


@pytest.mark.parametrize("path", FRAME_PATHS)
def test_frame_paths_keep_the_subclass(loans, path):
    _, tdf = loans
    result = FRAME_PATHS[path](tdf)
    assert type(result) is TrackedDataFrame
    assert result._tracker is tdf._tracker


SERIES_PATHS = {
    "getitem": lambda df: df["age"],
    "loc column": lambda df: df.loc[:, "age"],
    "iloc column": lambda df: df.iloc[:, 0],
    "attribute": lambda df: df.age,
    "head": lambda df: df["age"].head(2),
    "mask": lambda df: df["age"][df["age"] > 30],
    "copy": lambda df: df["age"].copy(),
    "sort_values": lambda df: df["age"].sort_values(),
    "arithmetic": lambda df: df["age"] + df["income"],
    "row": lambda df: df.iloc[0],
}


@pytest.mark.parametrize("path", SERIES_PATHS)
def test_series_paths_keep_the_subclass(loans, path):
    _, tdf = loans
    result = SERIES_PATHS[path](tdf)
    assert type(result) is TrackedSeries
    assert result._tracker is tdf._tracker
    assert isinstance(result._prov, np.ndarray) and result._prov.dtype == np.uint32


def test_merge_advances_through_the_trackers_own_update_chain():
    class Marked(ProvenanceTracker):
        def update_chain(self, provenance, op):
            return 12345

    tracker = Marked()
    left = wrap_dataframe(pd.DataFrame({"id": [1, 2]}), tracker, "L")
    merged = left.merge(wrap_dataframe(pd.DataFrame({"id": [2]}), tracker, "R"), on="id")
    assert merged._col_prov["id"].tolist() == [12345]
