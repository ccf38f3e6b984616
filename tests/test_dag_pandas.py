"""DAG-tracked Series and DataFrames, wrap_dataframe_dag and the audit functions."""

import numpy as np
import pandas as pd
import pytest

from tallyra.utilities.korval32 import OpCode, _hash_entity
from tallyra.utilities.korval32_dag import (NO_NODE, DAGTrackedDataFrame, DAGTrackedSeries,
                                            DAGTracker, NodeType, combine_provenances,
                                            dag_audit, get_dag_for_series, wrap_dataframe_dag)


@pytest.fixture
def loans():
    tracker = DAGTracker()
    df = pd.DataFrame({"amount": [100.0, 250.0, np.nan], "rate": [0.1, 0.2, 0.3],
                       "age": [30, 40, 50]})
    return tracker, wrap_dataframe_dag(df, tracker, "loans", protected=["age"])


class Spy(DAGTracker):
    """Passes every call through, recording it: its overrides also force the per-element path."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def combine(self, a, b, op=OpCode.ADD):
        self.calls.append(("combine", op))
        return super().combine(a, b, op)

    def update_chain(self, p, op):
        self.calls.append(("update_chain", op))
        return super().update_chain(p, op)

    def log_binary(self, *args, **kwargs):
        self.calls.append(("log_binary", args[0]))
        return super().log_binary(*args, **kwargs)

    def log_unary(self, *args, **kwargs):
        self.calls.append(("log_unary", args[0]))
        return super().log_unary(*args, **kwargs)

    def record_row_value(self, row_index, fingerprint, operation, value=None, column_name=None):
        self.calls.append(("record", row_index, operation, value, column_name))


def test_wrap(loans):
    tracker, tdf = loans
    assert type(tdf) is DAGTrackedDataFrame
    assert tdf._col_prov["age"].tolist() == [0x20030000, 0x20030100, 0x20030200]
    assert tdf._col_nodes["amount"].tolist() == [0, 0, 0] and tdf._col_nodes["age"].tolist() == [2] * 3
    src = tracker.get_node(2)
    assert (src.node_type, src.operation, src.is_protected, src.provenance) == (
        NodeType.SOURCE, "loans.age", True, 0x20030000)
    assert not tracker.get_node(0).is_protected


def test_wrap_records_every_cell_value_with_its_column_and_kind():
    tracker = Spy()
    df = pd.DataFrame({"i": [1, 2, 3], "f": [1.5, np.nan, 2.5], "b": [True, False, True],
                       "s": ["x", None, "z"], "o": [None, 4, "w"]})
    wrap_dataframe_dag(df, tracker, "t")
    records = [c[1:] for c in tracker.calls if c[0] == "record"]
    expected = []
    for col in df.columns:
        for i in range(3):
            value = df.iloc[i][col]  # the literal rule, a row read per cell
            if value is None or (isinstance(value, (float, np.floating)) and value != value):
                continue
            expected.append((i, f"t.{col}", value, col))
    assert len(records) == len(expected) == 12
    for got, want in zip(records, expected):
        assert got[0] == want[0] and got[1] == want[1] and got[3] == want[3]
        assert type(got[2]) in (int, float, bool, str)
        assert str(got[2]) == str(want[2]) or float(got[2]) == float(want[2])


def test_wrap_with_integer_labels_and_entities():
    tracker = DAGTracker()
    df = pd.DataFrame({7: [1, 2], "x": [3, 4]}, index=[-1, 300])
    tdf = wrap_dataframe_dag(df, tracker, "t", protected=[7])
    assert tracker.get_id("t", "7") == 0 and 7 in tdf._col_prov
    assert ((tdf._col_prov[7] >> 8) & 0xFF).tolist() == [_hash_entity(-1) % 256, 300 % 256]
    assert tdf._col_prov[7][0] & 0x20000000 and not tdf._col_prov["x"][0] & 0x20000000
    flat = wrap_dataframe_dag(df, DAGTracker(), "t", protected=True, include_entity=False)
    assert len(set(flat._col_prov["x"].tolist())) == 1 and flat._col_prov["x"][0] & 0x20000000


def test_wrap_uses_an_overridden_encode():
    class Marked(DAGTracker):
        def encode(self, pairs, entity=0, chain=0, taint=False, depth=0):
            return 77

    tdf = wrap_dataframe_dag(pd.DataFrame({"a": [1, 2]}), Marked(), "t")
    assert tdf._col_prov["a"].tolist() == [77, 77]


def test_binary_operation_logs_one_node_per_element(loans):
    tracker, tdf = loans
    a, r = tdf["amount"], tdf["rate"]
    out = a * r
    assert type(out) is DAGTrackedSeries and out.name is None
    assert out._node_ids.tolist() == [3, 4, 5]
    for i, node_id in enumerate(out._node_ids.tolist()):
        node = tracker.get_node(node_id)
        assert (node.node_type, node.operation, node.inputs) == (NodeType.BINARY, "mul", [0, 1])
        assert node.provenance == out._prov[i] == tracker.combine(int(a._prov[i]), int(r._prov[i]),
                                                                  OpCode.MUL)


@pytest.mark.parametrize(("make", "name", "code"), [
    (lambda a, b: a + b, "add", 1), (lambda a, b: a - b, "sub", 2), (lambda a, b: a * b, "mul", 3),
    (lambda a, b: a / b, "div", 4), (lambda a, b: a // b, "floordiv", 4),
    (lambda a, b: a ** b, "pow", 3), (lambda a, b: a > b, "gt", 9), (lambda a, b: a < b, "lt", 9),
    (lambda a, b: a >= b, "ge", 9), (lambda a, b: a <= b, "le", 9)])
def test_operator_names_and_codes(make, name, code):
    tracker = Spy()
    tdf = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]}), tracker, "t")
    tracker.calls.clear()
    out = make(tdf["a"], tdf["b"])
    assert ("combine", code) in tracker.calls and ("log_binary", name) in tracker.calls
    assert [tracker.get_node(i).operation for i in out._node_ids.tolist()] == [name, name]


@pytest.mark.parametrize(("make", "name", "code"), [
    (lambda s: -s, "neg", 5), (lambda s: s.clip(0, 1), "clip", 6),
    (lambda s: s.fillna(5), "fillna", 7), (lambda s: s.replace(1.0, 2.0), "replace", 8)])
def test_unary_operations(make, name, code):
    for tracker in (DAGTracker(), Spy()):
        tdf = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, np.nan]}), tracker, "t")
        s = tdf["a"]
        out = make(s)
        assert [tracker.get_node(i).operation for i in out._node_ids.tolist()] == [name, name]
        assert all(tracker.get_node(i).node_type == NodeType.UNARY for i in out._node_ids.tolist())
        assert out._prov.tolist() == [tracker.update_chain(int(w), code) for w in s._prov]


def test_the_fast_path_gives_what_the_per_element_path_gives():
    df = pd.DataFrame({"a": np.arange(50.0), "b": np.arange(50.0) % 7 + 1, "c": np.arange(50.0) - 9})
    results = []
    for tracker in (DAGTracker(), Spy()):
        tdf = wrap_dataframe_dag(df, tracker, "t", protected=["b"])
        x = (tdf["a"] + tdf["b"]) * tdf["c"]
        y = -(x.clip(0, 100)) / tdf["b"]
        short = DAGTrackedSeries(np.arange(3.0), _prov=x._prov[:3].copy(), _tracker=tracker,
                                 _node_ids=np.array([x._node_ids[0], NO_NODE, x._node_ids[2]]))
        z = short - tdf["a"].iloc[:3]
        results.append((tracker, [x, y, z]))
    (fast, fast_series), (slow, slow_series) = results
    for f, s in zip(fast_series, slow_series):
        assert f._prov.tolist() == s._prov.tolist() and f._node_ids.tolist() == s._node_ids.tolist()
    assert fast._nodes == slow._nodes
    assert fast._prov_to_nodes == slow._prov_to_nodes and fast._next_node_id == slow._next_node_id


def test_untracked_operands_log_nothing(loans):
    tracker, tdf = loans
    a = tdf["amount"]
    before = len(tracker._nodes)
    for out in (a + 1, 1 - a, a * pd.Series([1.0, 2.0, 3.0]), a > 0):
        assert type(out) is DAGTrackedSeries
        assert out._prov.tolist() == a._prov.tolist() and out._node_ids.tolist() == a._node_ids.tolist()
    np.testing.assert_array_equal((1 - a).values, 1 - a.values)
    assert len(tracker._nodes) == before


def test_elements_without_a_node_never_gain_node_zeros_lineage(loans):
    """The first node the tracker made has id 0: "no node" must not be written as 0."""
    tracker, tdf = loans
    plain = DAGTrackedSeries([1.0, 2.0, 3.0], _tracker=tracker)  # built without node ids
    assert plain._node_ids.tolist() == [NO_NODE] * 3
    mixed = plain + tdf["rate"]
    assert mixed._node_ids.tolist() == [NO_NODE] * 3
    tdf["plain"] = 1.0
    assert tdf["plain"]._node_ids.tolist() == [NO_NODE] * 3
    later = -(tdf["plain"] * tdf["rate"])
    assert later._node_ids.tolist() == [NO_NODE] * 3
    for i in range(3):
        assert get_dag_for_series(later, i) is None
        assert "dag" not in dag_audit(later, i)
    assert all(0 not in node.inputs for node in tracker._nodes.values())


def test_short_arrays_count_as_zero_words_and_no_node():
    tracker = DAGTracker()
    tdf = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0, 3.0]}), tracker, "t")
    s = DAGTrackedSeries([1.0, 2.0, 3.0], _prov=tdf._col_prov["a"][:1].copy(), _tracker=tracker,
                         _node_ids=np.array([0], dtype=np.int64))
    out = s + tdf["a"]
    assert out._node_ids.tolist()[1:] == [NO_NODE, NO_NODE]
    assert out._prov.tolist()[1:] == tdf._col_prov["a"].tolist()[1:]  # combine(0, w) is w


def test_values_are_recorded_except_nan():
    tracker = Spy()
    tdf = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, np.nan], "b": [2.0, 3.0]}), tracker, "t")
    tracker.calls.clear()
    tdf["a"] + tdf["b"]
    assert [c for c in tracker.calls if c[0] == "record"] == [("record", 0, "add", 3.0, None)]


def test_value_record_failures_are_swallowed():
    class Failing(DAGTracker):
        def record_row_value(self, *args, **kwargs):
            raise RuntimeError("storage down")

    tracker = Failing()
    tdf = wrap_dataframe_dag(pd.DataFrame({"a": [1.0, 2.0]}), tracker, "t")
    assert (-tdf["a"]).tolist() == [-1.0, -2.0]


@pytest.mark.parametrize(("method", "args"), [("fillna", (0,)), ("replace", (1.0, 9.0))])
def test_in_place_clean_ups_return_what_pandas_returns_and_log_nothing(loans, method, args):
    tracker, tdf = loans
    s = tdf["amount"]
    before = (len(tracker._nodes), s._prov.copy(), s._node_ids.copy())
    plain = pd.Series([100.0, 250.0, np.nan])
    expected = getattr(plain, method)(*args, inplace=True)
    result = getattr(s, method)(*args, inplace=True)
    assert result is (None if expected is None else s)
    assert len(tracker._nodes) == before[0]
    assert s._prov.tolist() == before[1].tolist() and s._node_ids.tolist() == before[2].tolist()


def test_getitem(loans):
    tracker, tdf = loans
    s = tdf["age"]
    s._prov[0] = 0
    assert tdf._col_prov["age"][0] == 0x20030000  # a copy
    filtered = tdf[tdf["rate"] > 0.15]
    assert filtered._col_prov is tdf._col_prov
    assert filtered["age"]._prov.tolist() == [0x20030000, 0x20030000]
    assert filtered["age"]._node_ids.tolist() == [2, 2]


def test_setitem_aligns_by_label_and_never_writes_into_shared_dicts(loans):
    tracker, tdf = loans
    s = tdf["age"]
    reordered = DAGTrackedSeries(s.values[::-1], index=s.index[::-1], _prov=s._prov[::-1].copy(),
                                 _tracker=tracker, _node_ids=np.array([9, 8, 7]))
    tdf["again"] = reordered
    assert tdf["again"].tolist() == tdf["age"].tolist()
    assert tdf._col_prov["again"].tolist() == s._prov.tolist()
    assert tdf._col_nodes["again"].tolist() == [7, 8, 9]
    partial = DAGTrackedSeries([1.0], index=[2], _prov=np.array([5], np.uint32), _tracker=tracker,
                               _node_ids=np.array([4]))
    tdf["partial"] = partial
    assert tdf._col_prov["partial"].tolist() == [0, 0, 5]
    assert tdf._col_nodes["partial"].tolist() == [NO_NODE, NO_NODE, 4]
    derived = tdf[tdf["rate"] > 0.15].copy()
    shared_prov, shared_nodes = dict(tdf._col_prov), dict(tdf._col_nodes)
    derived["new"] = derived["amount"] * derived["rate"]
    assert tdf._col_prov == shared_prov and set(tdf._col_nodes) == set(shared_nodes)
    same = tdf["rate"] * tdf["rate"]
    tdf["sq"] = same
    assert tdf._col_prov["sq"] is same._prov and tdf._col_nodes["sq"] is same._node_ids


def test_merge():
    tracker = DAGTracker()
    left = wrap_dataframe_dag(pd.DataFrame({"id": [1, 2, 3], "age": [30, 40, 50],
                                            "v": [1, 2, 3]}), tracker, "L", protected=["age"])
    right = wrap_dataframe_dag(pd.DataFrame({"id": [3, 1], "income": [1.0, 2.0], "v": [0, 0]}),
                               tracker, "R")
    nodes_before = len(tracker._nodes)
    merged = left.merge(right, on="id")
    assert type(merged) is DAGTrackedDataFrame and len(merged) == 2
    assert set(merged._col_prov) == {"id", "age", "income"}  # v_x and v_y were renamed
    assert len(tracker._nodes) == nodes_before + 3
    for col, side in (("id", left), ("age", left), ("income", right)):
        word = tracker.update_chain(int(side._col_prov[col][0]), OpCode.MERGE)
        assert merged._col_prov[col].tolist() == [word, word]
        node = tracker.get_node(int(merged._col_nodes[col][0]))
        assert (node.operation, node.inputs, node.provenance) == (
            "merge", [int(side._col_nodes[col][0])], word)
    assert merged["v_x"]._prov.tolist() == [0, 0]
    plain = left.merge(pd.DataFrame({"id": [1], "z": [0]}), on="id")
    assert set(plain._col_prov) == {"id", "age", "v"}


def test_combine_provenances(loans):
    tracker, tdf = loans
    assert combine_provenances(tracker, []) == 0
    zero = tracker.log_unary("x", 0, 0)
    assert combine_provenances(tracker, [zero, zero]) == 0
    first = tracker.get_node(0).provenance
    assert combine_provenances(tracker, [zero, 0, 999]) == first
    both = combine_provenances(tracker, [0, 1])
    assert both == tracker.combine(first, tracker.get_node(1).provenance, OpCode.CUSTOM)
    assert combine_provenances(tracker, [0, 1], OpCode.ADD) == tracker.combine(
        first, tracker.get_node(1).provenance, OpCode.ADD)


def test_get_dag_for_series(loans):
    tracker, tdf = loans
    out = tdf["amount"] * tdf["rate"]
    g = get_dag_for_series(out, 1)
    assert g.root_id == 4 and set(g.nodes) == {4, 0, 1}
    assert get_dag_for_series(out, 3) is None
    assert get_dag_for_series(pd.Series([1.0])) is None
    assert get_dag_for_series(DAGTrackedSeries([1.0])) is None


def test_dag_audit(loans):
    tracker, tdf = loans
    out = tdf["age"] + tdf["rate"]
    audit = dag_audit(out, 0)
    assert list(audit) == ["provenance", "mode", "pair_count", "pair_ids", "columns", "tables",
                           "entity", "chain", "taint", "depth", "risk", "has_protected", "dag"]
    assert audit["columns"] == [("loans", "rate"), ("loans", "age")] and audit["taint"]
    assert audit["dag"] == {"depth": 1, "node_count": 3,
                            "operation_counts": {"add": 1, "loans.age": 1, "loans.rate": 1},
                            "sources": [("loans", "age"), ("loans", "rate")],
                            "protected_sources": [("loans", "age")]}
    assert dag_audit(DAGTrackedSeries([], dtype=float, _tracker=tracker)) == {
        "error": "No tracker or empty series"}
    assert dag_audit(pd.Series([1.0, 2.0])) == {"error": "No tracker or empty series"}


PATHS = {
    "head": lambda df: df.head(2), "mask": lambda df: df[df["rate"] > 0], "copy": lambda df: df.copy(),
    "sort": lambda df: df.sort_values("rate"), "columns": lambda df: df[["rate", "age"]],
}


@pytest.mark.parametrize("path", PATHS)
def test_frame_paths_keep_the_subclass(loans, path):
    tracker, tdf = loans
    result = PATHS[path](tdf)
    assert type(result) is DAGTrackedDataFrame and result._tracker is tracker
    assert type(result["rate"]) is DAGTrackedSeries
