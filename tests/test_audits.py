"""audit, audit_series_diversity, provenance_entropy and column_risk_report."""

import math

import numpy as np
import pandas as pd
import pytest

from tallyra.utilities.korval32 import (ProvenanceTracker, TrackedDataFrame, TrackedSeries, audit,
                                        audit_series_diversity, column_risk_report,
                                        provenance_entropy, wrap_dataframe)


def test_audit(loans):
    _, tdf = loans
    result = audit(tdf["age"])
    assert result == {
        "provenance": "0x20010000", "mode": "EXACT-1", "pair_count": 1, "pair_ids": [0],
        "columns": [("loans", "age")], "tables": ["loans"], "entity": 0, "chain": 0,
        "taint": True, "depth": 0, "risk": 1.0, "has_protected": True}
    assert list(result) == ["provenance", "mode", "pair_count", "pair_ids", "columns", "tables",
                            "entity", "chain", "taint", "depth", "risk", "has_protected"]


def test_diversity(loans):
    _, tdf = loans
    result = audit_series_diversity(tdf["age"])
    assert result == {"total_rows": 3, "unique_provenances": 3, "unique_pair_sets": 1,
                      "unique_entities": 3, "unique_chains": 1, "entity_diversity": 1.0,
                      "tainted_provenances": 3, "taint_ratio": 1.0, "max_depth": 0}
    assert list(result)[0] == "total_rows" and list(result)[-1] == "max_depth"


@pytest.mark.parametrize("fn", [audit, audit_series_diversity])
def test_audits_without_tracker_or_rows(loans, fn):
    _, tdf = loans
    assert fn(TrackedSeries([1.0, 2.0])) == {"error": "No tracker or empty series"}
    assert fn(tdf["age"].iloc[0:0]) == {"error": "No tracker or empty series"}


def test_entropy(loans):
    tracker, tdf = loans
    assert provenance_entropy(tdf["age"]) == pytest.approx(math.log2(3)) == 1.584962500721156
    flat = wrap_dataframe(pd.DataFrame({"a": [1, 2, 3]}), tracker, "flat", include_entity=False)
    assert provenance_entropy(flat["a"]) == 0.0
    s = TrackedSeries([0, 0, 0, 0], _prov=np.array([5, 5, 6, 7], np.uint32), _tracker=tracker)
    assert provenance_entropy(s) == 1.5
    assert provenance_entropy(TrackedSeries([], dtype=float)) == 0.0


def test_risk_report(loans):
    tracker, tdf = loans
    assert column_risk_report(tdf) == [
        {"column": "age", "tainted": True, "max_risk": 1.0, "min_depth": 0, "risk_level": "HIGH"},
        {"column": "income", "tainted": False, "max_risk": 0.0, "min_depth": None,
         "risk_level": "CLEAN"}]
    tdf["mixed"] = tdf["income"] + tdf["age"]
    row = column_risk_report(tdf)[1]
    assert row == {"column": "mixed", "tainted": True, "max_risk": 0.5, "min_depth": 1,
                   "risk_level": "MEDIUM"}


@pytest.mark.parametrize(("depth", "max_risk", "level"), [
    (0, 1.0, "HIGH"), (1, 0.5, "MEDIUM"), (2, 0.3333, "MEDIUM"), (3, 0.25, "MEDIUM"),
    (4, 0.2, "LOW"), (5, 0.1667, "LOW"), (6, 0.1429, "LOW"), (7, 0.125, "LOW")])
def test_risk_levels_by_smallest_tainted_depth(depth, max_risk, level):
    words = np.array([0x20000000 | depth << 26, 0x20000000 | 7 << 26, 0x00010000], np.uint32)
    tdf = TrackedDataFrame({"c": [1, 2, 3]}, _tracker=ProvenanceTracker(), _col_prov={"c": words})
    (row,) = column_risk_report(tdf)
    assert (row["max_risk"], row["min_depth"], row["risk_level"]) == (max_risk, depth, level)


def test_report_order_is_stable_and_columns_without_words_are_clean():
    t = ProvenanceTracker()
    tainted = np.array([0x24000000], np.uint32)  # depth 1
    tdf = TrackedDataFrame({"a": [1], "b": [2], "c": [3], "d": [4]}, _tracker=t,
                           _col_prov={"a": tainted, "c": tainted.copy(), "d": np.array([0x20000000], np.uint32)})
    assert [r["column"] for r in column_risk_report(tdf)] == ["d", "a", "c", "b"]
    assert column_risk_report(tdf)[-1] == {"column": "b", "tainted": False, "max_risk": 0.0,
                                           "min_depth": None, "risk_level": "CLEAN"}


def test_report_needs_a_tracker(loans):
    tracker, tdf = loans
    untracked = TrackedDataFrame(tdf, _col_prov=tdf._col_prov)
    assert column_risk_report(untracked) == []
    assert column_risk_report(untracked, tracker) == column_risk_report(tdf)


def test_smallest_depth_by_numpy_equals_the_per_word_loop():
    rng = np.random.default_rng(3)
    words = rng.integers(0, 2**32, 5000, dtype=np.uint32)
    tdf = TrackedDataFrame({"c": np.zeros(5000)}, _tracker=ProvenanceTracker(),
                           _col_prov={"c": words})
    tainted = [int(w) for w in words if ProvenanceTracker.is_tainted(int(w))]
    expected = min(ProvenanceTracker.get_depth(w) for w in tainted)
    assert column_risk_report(tdf)[0]["min_depth"] == expected
    assert column_risk_report(tdf)[0]["max_risk"] == round(
        max(ProvenanceTracker.risk_score(w) for w in tainted), 4)
