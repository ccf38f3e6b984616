"""The live route: a DAGTracker with an API key streaming to the hosted service (a real HTTP
server on 127.0.0.1), its flush, dashboard sync, runs and failure paths."""

import logging
import time
import warnings

import numpy as np
import pandas as pd
import pytest

from hosted_service import HostedService
from tallyra.utilities.korval32_dag import DAGTracker, wrap_dataframe_dag

LOGGER = "tallyra.utilities.korval32_dag"


def tracker_for(hosted, **kwargs):
    return DAGTracker(api_key="secret", service_url=hosted.url, **kwargs)


def pipeline(tracker, rows=3):
    df = pd.DataFrame({"income": np.arange(1.0, rows + 1), "age": np.arange(30, 30 + rows)})
    tdf = wrap_dataframe_dag(df, tracker, "apps", protected=["age"])
    return tdf, tdf["income"] / tdf["age"]


def test_enabling_opens_a_run_and_starts_the_writer(hosted):
    tracker = tracker_for(hosted, pipeline_name="credit", tenant_id="acme")
    assert [repr(r) for r in hosted.requests] == ["GET /v1/health", "POST /v1/pipelines"]
    assert hosted.requests[1].json == {"pipeline_name": "credit", "config": None,
                                       "git_commit": None, "tenant_id": "acme"}
    assert tracker._pipeline_id == 1 and tracker._writer is not None
    tracker.disable_persistence()
    assert hosted.pipelines[1]["statuses"] == ["completed"]
    assert tracker._writer is None and tracker._storage is None and tracker._pipeline_id is None


def test_nodes_stream_and_flush_writes_the_log_once(hosted):
    tracker = tracker_for(hosted)
    _tdf, ratio = pipeline(tracker)
    assert tracker.flush() is True
    streamed = [n for r in hosted.of("POST", "/v1/nodes") for n in r.json]
    assert {n["fingerprint"] for n in streamed} == {n.provenance for n in tracker._nodes.values()}
    assert all(n["pipeline_id"] == 1 for n in streamed)
    assert streamed[0]["node_type"] == "SOURCE" and streamed[0]["operation"] == "apps.income"
    assert len(hosted.of("GET", "/v1/pipelines/1/fingerprints")) == 1
    resolved = [e for r in hosted.of("POST", "/v1/edges/resolved") for e in r.json]
    assert len(resolved) == 2  # income -> div and age -> div, once each for all rows
    assert tracker.get_persistence_stats()["nodes_written"] >= 3
    values = [v for r in hosted.of("POST", "/v1/values") for v in r.json]
    assert len(values) == 3 * 2 + 3  # the source cells and the divided values
    assert {v["node_operation"] for v in values} == {"apps.income", "apps.age", "div"}
    assert len(hosted.of("POST", "/v1/dashboard/sync")) == 1
    before = len(hosted.requests)
    tracker.flush()  # the second flush only drains
    assert [repr(r) for r in hosted.requests[before:]] == []
    tracker.disable_persistence()


def test_dashboard_payload(hosted):
    tracker = DAGTracker(api_key="secret", service_url=hosted.url + "///", pipeline_name="credit")
    pipeline(tracker)
    tracker.flush()
    (sync,) = hosted.of("POST", "/v1/dashboard/sync")
    assert sync.path == "/v1/dashboard/sync"
    assert sync.headers["Authorization"] == "Bearer secret"
    assert sync.headers["Content-Type"] == "application/json"
    assert "Accept" not in sync.headers and "User-Agent" not in sync.headers
    body = sync.json
    assert list(body) == ["pipeline", "model", "fairness"]
    assert body["pipeline"] == {"pipeline_name": "credit", "status": "completed",
                                "node_count": tracker._nodes_written,
                                "edge_count": tracker._edges_written, "provenance_pipeline_id": 1}
    assert body["model"] == {"model_id": "credit", "name": "credit", "version": "1.0",
                             "status": "production", "domain": "credit"}
    fairness = body["fairness"]
    assert fairness["model_id"] == "credit" and fairness["has_disparate_impact"] is True
    assert fairness["protected_attributes"] == ["apps.age"]
    assert fairness["details"] == {"node_count": tracker._nodes_written,
                                   "edge_count": tracker._edges_written,
                                   "protected_sources": ["apps.age"]}
    tracker.disable_persistence()


def test_dashboard_defaults_for_an_unnamed_run_without_protected_data(hosted):
    tracker = tracker_for(hosted)
    wrap_dataframe_dag(pd.DataFrame({"a": [1.0]}), tracker, "t")
    tracker.flush()
    body = hosted.of("POST", "/v1/dashboard/sync")[0].json
    assert body["pipeline"]["pipeline_name"] == "unnamed_pipeline"
    assert body["model"]["model_id"] == "unnamed_pipeline" and body["model"]["name"] == "Unnamed Pipeline"
    assert body["fairness"]["has_disparate_impact"] is False
    assert body["fairness"]["protected_attributes"] == []
    tracker.disable_persistence()


def test_a_failing_dashboard_gives_one_warning(hosted, caplog):
    hosted.overrides[("POST", "/v1/dashboard/sync")] = (500, {"error": "down"})
    tracker = tracker_for(hosted)
    pipeline(tracker)
    with caplog.at_level(logging.WARNING, logger=LOGGER):
        assert tracker.flush() is True
        tracker.flush()
    warned = [r for r in caplog.records if "Dashboard sync failed (non-fatal)" in r.getMessage()]
    assert len(warned) == 1
    tracker.disable_persistence()


def test_the_dashboard_sync_follows_no_redirect(hosted, caplog):
    other = HostedService()
    try:
        hosted.overrides[("POST", "/v1/dashboard/sync")] = (
            302, None, {"Location": other.url + "/v1/dashboard/sync"})
        tracker = tracker_for(hosted)
        with caplog.at_level(logging.WARNING, logger=LOGGER):
            tracker.flush()
        assert other.requests == []
        assert any("302" in r.getMessage() for r in caplog.records)
        tracker.disable_persistence()
    finally:
        other.close()


def test_a_new_source_after_a_sync_starts_a_new_run(hosted):
    tracker = tracker_for(hosted)
    pipeline(tracker)
    tracker.flush()
    first_source = tracker._source_nodes[("apps", "income")]
    tdf, _ = pipeline(tracker)
    assert tracker._pipeline_id == 2 and hosted.pipelines[1]["statuses"] == ["completed"]
    assert tracker._source_nodes[("apps", "income")] != first_source
    assert tracker._nodes_written == 0
    tracker.flush()
    assert len(hosted.of("POST", "/v1/dashboard/sync")) == 2
    assert len(hosted.of("GET", "/v1/pipelines/2/fingerprints")) == 1
    tracker.disable_persistence()


def test_row_values_are_handed_over_5000_at_a_time(hosted):
    tracker = tracker_for(hosted)
    handed = []

    class Recording:
        def write_row_values(self, values):
            handed.append(len(values))

    real_writer, tracker._writer = tracker._writer, Recording()
    try:
        for i in range(4999):
            tracker.record_row_value(i, 7, "op", i)
        assert handed == [] and len(tracker._value_buffer) == 4999
        tracker.record_row_value(4999, 7, "op", 1.0)
        assert handed == [5000] and tracker._value_buffer == []
    finally:
        tracker._writer = real_writer
        tracker.disable_persistence()


@pytest.mark.parametrize(("value", "number", "text"), [
    ("abc", None, "abc"), ("3.5", 3.5, None), (None, None, None), (True, 1.0, None),
    (10**400, None, str(10**400)), (np.float32(2.5), 2.5, None)],
    ids=["text", "numeric text", "none", "bool", "huge int", "float32"])
def test_value_records(hosted, value, number, text):
    tracker = tracker_for(hosted)
    tracker.record_row_value(3.7, 9, "op", value, column_name="c")
    (record,) = tracker._value_buffer
    assert (record.row_index, record.value, record.text_value, record.pipeline_id) == (3, number, text, 1)
    tracker.disable_persistence()


def test_no_api_key_buffers_nothing():
    tracker = DAGTracker()
    for i in range(10):
        tracker.record_row_value(i, 1, "op", 1.0)
    assert tracker._value_buffer == []
    with pytest.raises(TypeError):
        tracker.record_row_value("0", 1, "op")


def test_disabling_writes_the_buffered_values(hosted):
    tracker = tracker_for(hosted)
    for i in range(10):
        tracker.record_row_value(i, 7, "op", float(i))
    tracker.disable_persistence()
    assert sum(len(r.json) for r in hosted.of("POST", "/v1/values")) == 10


def test_flush_reports_a_writer_that_ran_out_of_time(hosted):
    tracker = tracker_for(hosted)
    hosted.delay = lambda r: time.sleep(1.0) if r.path == "/v1/values" else None
    tracker.record_row_value(0, 7, "op", 1.0)
    assert tracker.flush(timeout=0.05) is False
    hosted.delay = lambda r: None
    assert tracker.flush(timeout=30) is True
    tracker.disable_persistence()


def test_an_unreachable_service_leaves_a_working_in_memory_tracker():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tracker = DAGTracker(api_key="secret", service_url="http://127.0.0.1:9")
    assert len(caught) == 1 and issubclass(caught[0].category, UserWarning)
    assert str(caught[0].message).startswith("Persistence initialization failed: ")
    assert str(caught[0].message).endswith("\nContinuing in memory-only mode.")
    assert tracker._writer is None
    _tdf, ratio = pipeline(tracker)
    assert len(tracker._nodes) == 5 and tracker.flush() is True


def test_a_service_url_that_is_not_http_is_refused():
    with pytest.raises(ValueError, match="only http and https"):
        DAGTracker(api_key="secret", service_url="file:///tmp/x")


def test_a_run_ended_by_an_exception_stays_failed(hosted):
    with pytest.raises(ZeroDivisionError):
        with tracker_for(hosted) as tracker:
            pipeline(tracker)
            1 / 0
    assert hosted.pipelines[1]["statuses"] == ["failed"]
    assert hosted.of("POST", "/v1/dashboard/sync")[0].json["pipeline"]["status"] == "failed"
    assert tracker._writer is None


def test_a_run_that_ends_normally_is_completed(hosted):
    with tracker_for(hosted) as tracker:
        pipeline(tracker)
    assert hosted.pipelines[1]["statuses"] == ["completed"]
    assert hosted.of("POST", "/v1/dashboard/sync")[0].json["pipeline"]["status"] == "completed"
