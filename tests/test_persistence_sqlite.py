"""SQLiteStorage on a real file: schema, batches, read-back, and a whole DAG written and reread."""

import sqlite3
import threading

import numpy as np
import pandas as pd
import pytest

from tallyra.utilities.korval32_dag import DAGTracker, wrap_dataframe_dag
from tallyra.utilities.persistence import SQLiteStorage, StorageBackend
from tallyra.utilities.persistence.storage import StoredEdge, StoredNode, StoredRowValue


@pytest.fixture
def store(tmp_path):
    storage = SQLiteStorage(tmp_path / "runs.db")
    storage.connect()
    yield storage
    storage.disconnect()


def node(fp, run, op="add", kind="BINARY"):
    return StoredNode(fingerprint=fp, node_type=kind, operation=op, pipeline_id=run)


def test_is_a_storage_backend(store):
    assert isinstance(store, StorageBackend)


def test_schema_and_write_ahead_log(store, tmp_path):
    raw = sqlite3.connect(tmp_path / "runs.db")
    tables = {r[0] for r in raw.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    assert {"pipelines", "sources", "nodes", "edges", "row_values", "pipeline_results"} <= tables
    assert raw.execute("PRAGMA journal_mode").fetchone()[0] == "wal"


def test_runs(store):
    a = store.create_pipeline("bulk")
    b = store.create_pipeline(pipeline_name="live", config={"k": 1}, git_commit="abc", tenant_id="t1")
    store.complete_pipeline(a, "completed")
    store.complete_pipeline(b, status="failed")
    runs = store.list_pipelines()
    assert [(r["id"], r["name"], r["status"]) for r in runs] == [(a, "bulk", "completed"),
                                                                (b, "live", "failed")]
    assert runs[1]["config"] == {"k": 1} and runs[1]["git_commit"] == "abc"
    assert runs[1]["tenant_id"] == "t1" and runs[0]["completed_at"] >= runs[0]["created_at"]


def test_nodes_are_unique_per_run_and_fingerprint(store):
    a, b = store.create_pipeline("a"), store.create_pipeline("b")
    store.store_nodes([node(5, a, "first"), node(5, a, "second"), node(6, a)])
    store.store_nodes([node(5, b)])
    assert [(n["fingerprint"], n["operation"]) for n in store.get_nodes(a)] == [(5, "first"), (6, "add")]
    assert store.get_fingerprint_node_map(a) == {n["fingerprint"]: n["id"] for n in store.get_nodes(a)}
    assert list(store.get_fingerprint_node_map(b)) == [5]


def test_edges_by_fingerprint_and_by_node_id(store):
    run = store.create_pipeline("r")
    store.store_nodes([node(1, run, "src", "SOURCE"), node(2, run), node(3, run)])
    ids = store.get_fingerprint_node_map(run)
    store.store_edges_resolved([(ids[1], ids[2], 0), (ids[2], ids[3], 1), (ids[1], ids[2], 0)])
    store.store_edges([StoredEdge(1, 3, 0, run), StoredEdge(2, 3, 1, run)])
    assert store.get_edges(run) == [
        {"parent_fingerprint": 1, "child_fingerprint": 2, "input_position": 0},
        {"parent_fingerprint": 2, "child_fingerprint": 3, "input_position": 1},
        {"parent_fingerprint": 1, "child_fingerprint": 3, "input_position": 0}]


def test_values_and_results(store):
    run = store.create_pipeline("r")
    store.store_row_values([StoredRowValue(run, 0, 7, "t.a", 1.5, "a", "t1", None),
                            StoredRowValue(run, 1, 7, "t.a", None, "a", "t1", "abc")])
    assert store.get_row_values(run, 1) == [{"row_index": 1, "fingerprint": 7, "node_operation": "t.a",
                                             "value": None, "text_value": "abc", "column_name": "a",
                                             "tenant_id": "t1"}]
    store.store_results(run, [("A-1", "score", 9, 0.25, "ab" * 32), ("A-1", "flag", 3, None, None)])
    assert [(r["output_name"], r["output_value"]) for r in store.get_results("A-1")] == [
        ("score", 0.25), ("flag", None)]


def test_a_failing_batch_writes_nothing(store):
    run = store.create_pipeline("r")
    with pytest.raises(sqlite3.IntegrityError):
        store.store_results(run, [("ok", "s", 1, 1.0, None), (None, "s", 2, 2.0, None)])
    assert store.count("pipeline_results") == 0


def test_one_storage_serves_many_threads(store):
    run = store.create_pipeline("r")

    def write(k):
        for i in range(50):
            store.store_row_values([StoredRowValue(run, i, k, "op", float(i))])

    threads = [threading.Thread(target=write, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert store.count("row_values", run) == 200


def test_unconnected_storage_says_so(tmp_path):
    with pytest.raises(RuntimeError, match="not connected"):
        SQLiteStorage(tmp_path / "x.db").create_pipeline("r")
    with pytest.raises(TypeError):
        SQLiteStorage(5)


def test_a_pipeline_written_today_reads_back_tomorrow(tmp_path):
    path = tmp_path / "evidence.db"
    tracker = DAGTracker(pipeline_name="credit")
    df = pd.DataFrame({"income": [1000.0, 2000.0, 3000.0], "age": [30, 40, 50]},
                      index=["A-1", "A-2", "A-3"])
    tdf = wrap_dataframe_dag(df, tracker, "apps", protected=["age"])
    score = (tdf["income"] / tdf["age"]).clip(0, 100)
    with SQLiteStorage(path) as storage:
        run = tracker.persist_to_storage(storage)
        DAGTracker.persist_results(storage, run, df.index, {"score": score}, source_df=df)

    words = {n.provenance for n in tracker._nodes.values()}
    reopened = SQLiteStorage(path)
    reopened.connect()
    try:
        (meta,) = reopened.list_pipelines()
        assert (meta["id"], meta["name"], meta["status"]) == (run, "credit", "completed")
        nodes = reopened.get_nodes(run)
        assert {n["fingerprint"] for n in nodes} == words  # one per distinct word
        sources = [n for n in nodes if n["node_type"] == "SOURCE"]
        assert {(n["table_name"], n["column_name"], n["is_protected"]) for n in sources} == {
            ("apps", "income", False), ("apps", "age", True)}
        assert [(s["table_name"], s["column_name"]) for s in reopened.get_sources(run)] == [
            ("apps", "income"), ("apps", "age")]
        fp = {n["operation"]: n["fingerprint"] for n in nodes}
        edges = {(e["parent_fingerprint"], e["child_fingerprint"], e["input_position"])
                 for e in reopened.get_edges(run)}
        assert (fp["apps.income"], fp["div"], 0) in edges and (fp["apps.age"], fp["div"], 1) in edges
        assert (fp["div"], fp["clip"], 0) in edges
        (result,) = reopened.get_results("A-2")
        assert result["fingerprint"] == int(score._prov[1])
        assert result["output_value"] == pytest.approx(50.0) and len(result["input_hash"]) == 64
    finally:
        reopened.disconnect()


def test_the_live_route_stores_the_same_log_from_the_fast_and_the_per_element_path(tmp_path):
    from tallyra.utilities.persistence import AsyncWriter, WriterConfig

    class PerElement(DAGTracker):
        def log_binary(self, *args, **kwargs):  # any override sends steps element by element
            return super().log_binary(*args, **kwargs)

        def log_unary(self, *args, **kwargs):
            return super().log_unary(*args, **kwargs)

    stored = []
    for cls in (DAGTracker, PerElement):
        tracker = cls()
        storage = SQLiteStorage(tmp_path / f"{cls.__name__}.db")
        storage.connect()
        tracker._storage, tracker._pipeline_id = storage, storage.create_pipeline("r")
        tracker._writer = AsyncWriter(storage, WriterConfig(batch_size=10, flush_interval=0.05))
        tracker._writer.start()
        df = pd.DataFrame({"a": np.arange(40.0), "b": np.arange(40.0) % 3 + 1}, index=np.arange(40) * 7)
        tdf = wrap_dataframe_dag(df, tracker, "t", protected=["b"])
        c = tdf["a"] + tdf["b"]
        (c * tdf["a"]).clip(0, 50) - c
        tracker._writer.flush(timeout=10)
        nodes = {(n["fingerprint"], n["node_type"], n["operation"], n["is_protected"])
                 for n in storage.get_nodes(1)}
        edges = {tuple(e.values()) for e in storage.get_edges(1)}
        stored.append((nodes, edges))
        tracker._writer.stop()
        storage.disconnect()
    assert stored[0] == stored[1]
    assert len(stored[0][0]) > 5 and len(stored[0][1]) > 5
