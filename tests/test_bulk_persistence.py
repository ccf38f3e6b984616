"""persist_to_storage and persist_results: the bulk route to a caller's storage."""

import hashlib

import numpy as np
import pandas as pd
import pytest

from tallyra.utilities.korval32_dag import DAGTrackedSeries, DAGTracker, wrap_dataframe_dag
from tallyra.utilities.persistence import SQLiteStorage


class Recording:
    """Records the calls made on it, in order; answers like a storage."""

    def __init__(self, fail_on=None):
        self.calls = []
        self.fail_on = fail_on
        self.map = {}

    def __getattr__(self, name):
        def call(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if name == self.fail_on:
                raise OSError("storage failed")
            if name == "create_pipeline":
                return "12"
            if name == "store_nodes":
                self.map = {n.fingerprint: 100 + i for i, n in enumerate(args[0])}
            if name == "get_fingerprint_node_map":
                return self.map
            return None
        return call


def small_pipeline(name=None):
    tracker = DAGTracker(pipeline_name=name)
    df = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0]})
    tdf = wrap_dataframe_dag(df, tracker, "t", protected=["b"])
    out = tdf["a"] * tdf["b"]
    return tracker, df, tdf, out


def test_call_order_and_records():
    tracker, _df, _tdf, out = small_pipeline("credit")
    storage = Recording()
    assert tracker.persist_to_storage(storage) == 12
    names = [c[0] for c in storage.calls]
    assert names == ["create_pipeline", "register_source", "register_source", "store_nodes",
                     "get_fingerprint_node_map", "store_edges_resolved", "complete_pipeline"]
    assert storage.calls[0][1] == ("credit",)
    assert storage.calls[1][1:] == ((0, "t", "a"), {"is_protected": False})
    assert storage.calls[2][1:] == ((1, "t", "b"), {"is_protected": True})
    nodes = storage.calls[3][1][0]
    assert [n.operation for n in nodes] == ["t.a", "t.b", "mul"]  # one per distinct word
    assert all(n.pipeline_id == 12 and n.entity_hash is None and n.metadata is None for n in nodes)
    assert storage.calls[4][1] == (12,)
    assert storage.calls[5][1][0] == [(100, 102, 0), (101, 102, 1)]
    assert storage.calls[6][1] == (12, "completed")


def test_an_empty_log_and_an_explicit_run():
    storage = Recording()
    assert DAGTracker().persist_to_storage(storage) == 12
    assert storage.calls[0][1] == ("unnamed",)
    assert [c[1] for c in storage.calls if c[0] in ("store_nodes", "store_edges_resolved")] == [([],), ([],)]
    storage = Recording()
    assert DAGTracker().persist_to_storage(storage, 7.9) == 7
    assert "create_pipeline" not in [c[0] for c in storage.calls]
    with pytest.raises(TypeError):
        DAGTracker().persist_to_storage(Recording(), "7")


def test_a_run_it_created_is_marked_failed_when_the_storage_fails():
    tracker, *_ = small_pipeline()
    storage = Recording(fail_on="store_nodes")
    with pytest.raises(OSError):
        tracker.persist_to_storage(storage)
    assert storage.calls[-1] == ("complete_pipeline", (12, "failed"), {})
    storage = Recording(fail_on="store_nodes")
    with pytest.raises(OSError):
        tracker.persist_to_storage(storage, 5)  # not its run: left to the caller
    assert storage.calls[-1][0] == "store_nodes"


def test_results():
    tracker, df, tdf, out = small_pipeline()
    short = DAGTrackedSeries([9.0], _prov=np.array([77], np.uint32), _tracker=tracker)
    storage = Recording()
    DAGTracker.persist_results(storage, 3.2, [7, 8, 9], {"score": out, "short": short}, source_df=df)
    ((name, (run, results), _),) = storage.calls
    assert name == "store_results" and run == 3
    digest = [hashlib.sha256(df.iloc[i].to_json().encode()).hexdigest() for i in range(2)]
    assert results == [
        ("7", "score", int(out._prov[0]), 3.0, digest[0]),
        ("8", "score", int(out._prov[1]), 8.0, digest[1]),
        ("9", "score", 0, None, None),
        ("7", "short", 77, 9.0, digest[0]),
        ("8", "short", 0, None, digest[1]),
        ("9", "short", 0, None, None)]
    storage = Recording()
    DAGTracker.persist_results(storage, 1, ["x"], {"score": out})
    assert storage.calls[0][1][1] == [("x", "score", int(out._prov[0]), 3.0, None)]


@pytest.mark.parametrize("outputs", [[("score", None)], type("D", (dict,), {})()])
def test_results_need_a_plain_dict(outputs):
    with pytest.raises(TypeError):
        DAGTracker.persist_results(Recording(), 1, [], outputs)


def test_bulk_route_into_a_sqlite_file(tmp_path):
    tracker, df, tdf, out = small_pipeline("credit")
    with SQLiteStorage(tmp_path / "bulk.db") as storage:
        run = tracker.persist_to_storage(storage)
        DAGTracker.persist_results(storage, run, ["A", "B"], {"score": out}, source_df=df)
    with SQLiteStorage(tmp_path / "bulk.db") as storage:
        assert storage.list_pipelines()[0]["status"] == "completed"
        assert storage.count("nodes", run) == 3 and storage.count("edges", run) == 2
        assert [r["output_value"] for r in storage.get_results("B")] == [8.0]


@pytest.mark.parametrize("df", [
    pd.DataFrame({"a": [1, 2], "b": [1.5, np.nan]}),
    pd.DataFrame({"i": [1, 2], "f": [1.25, np.nan], "s": ["x", None], "b": [True, False]}),
    pd.DataFrame({"d": pd.to_datetime(["2024-01-01", None]), "x": [1, 2]}),
    pd.DataFrame({"c": pd.Categorical(["a", "b"]), "x": [1.0, 2.0]}),
    pd.DataFrame({"s": pd.Series(["a", "é\n"], dtype="string"), "n": pd.array([1, None], dtype="Int64")}),
    pd.DataFrame({"f": [1 / 3, 1e20], "g": [0.1, -0.0]}),
    pd.DataFrame({0: [2**62, -5], 1: [7, 8]}),
    pd.DataFrame({"a": []}),
], ids=["numbers", "mixed", "dates", "category", "strings", "floats", "int labels", "empty"])
def test_input_hashes_are_the_hashes_of_each_rows_json(df):
    from tallyra.utilities.korval32_dag import _row_json

    literal = [df.iloc[i].to_json() for i in range(len(df))] + [None]
    assert _row_json(df, len(df) + 1) == literal


def test_rows_that_have_no_json_form_raise_as_they_would_one_by_one():
    from tallyra.utilities.korval32_dag import _row_json

    df = pd.DataFrame([[1, 2], [3, 4]], columns=["x", "x"])
    with pytest.raises(ValueError):
        df.iloc[0].to_json()
    with pytest.raises(ValueError):
        _row_json(df, 2)
