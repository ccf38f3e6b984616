"""_sync_prov against a real HTTP server on 127.0.0.1: the requests, their bodies and batches,
and what happens when each step fails."""

import logging

import numpy as np
import pandas as pd
import pytest

from tallyra import wrapper as w

LOG = "tallyra.wrapper"


def sync(hosted, X, y=None, protected=None, protected_columns=(), url=None, **kwargs):
    w._sync_prov(X, y, protected, list(protected_columns), "credit", "3", "key",
                 url or hosted.url, **kwargs)
    return hosted.requests


def test_a_small_validation(hosted):
    X = pd.DataFrame({"income": [1.0, 2.0], "region": ["n", "s"]})
    protected = pd.DataFrame({"age": [30, 40]})
    requests = sync(hosted, X, np.array([0.2, 0.8]), protected, url=hosted.url + "//", model_id="m1")
    assert [repr(r) for r in requests] == [
        "POST /v1/pipelines", "POST /v1/sources", "POST /v1/sources", "POST /v1/sources",
        "POST /v1/nodes", "POST /v1/edges", "POST /v1/results", "POST /v1/values",
        "PATCH /v1/pipelines/1"]
    assert requests[0].json == {"pipeline_name": "credit_v3", "config": {
        "model_name": "credit", "model_version": "3", "model_id": "m1"}}
    fp = {c: w._content_hash("source", "credit", c) for c in ("income", "region", "age")}
    validation = w._content_hash("validation", "credit", "3")
    assert requests[1].json == {"pair_id": fp["income"], "table_name": "credit",
                                "column_name": "income", "is_protected": False}
    nodes = requests[4].json
    assert list(nodes[0]) == ["fingerprint", "node_type", "operation", "table_name", "column_name",
                              "pair_id", "is_protected", "pipeline_id"]
    assert [(n["column_name"], n["operation"]) for n in nodes] == [
        ("income", "source_feature"), ("region", "source_feature"), ("age", "source_protected"),
        ("output", "model_validate")]
    assert nodes[-1] == {"fingerprint": validation, "node_type": "computation",
                         "operation": "model_validate", "table_name": "credit",
                         "column_name": "output", "is_protected": False, "pipeline_id": 1,
                         "metadata": {"model_version": "3", "model_id": "m1"}}
    assert requests[5].json == [{"parent_fingerprint": fp[c], "child_fingerprint": validation}
                                for c in ("income", "region", "age")]
    results = requests[6].json
    assert results["pipeline_id"] == 1 and results["results"][1] == {
        "row_key": "credit_1_model_validate_1", "output_name": "model_validate",
        "fingerprint": validation, "output_value": 0.8,
        "input_hash": w._rh({"income": 2.0, "region": "s"})}
    values = requests[7].json
    assert len(values) == 2 * 4
    assert values[:4] == [
        {"pipeline_id": 1, "row_index": 0, "fingerprint": fp["income"], "node_operation": "source_feature",
         "column_name": "income", "value": 1.0, "text_value": None},
        {"pipeline_id": 1, "row_index": 0, "fingerprint": fp["region"], "node_operation": "source_feature",
         "column_name": "region", "value": None, "text_value": "n"},
        {"pipeline_id": 1, "row_index": 0, "fingerprint": fp["age"], "node_operation": "source_protected",
         "column_name": "age", "value": 30.0, "text_value": None},
        {"pipeline_id": 1, "row_index": 0, "fingerprint": validation, "node_operation": "model_validate",
         "column_name": "output", "value": 0.2, "text_value": None}]
    assert requests[8].json == {"status": "validation_complete"}
    assert all(r.headers["Authorization"] == "Bearer key" for r in requests)


def test_batches(hosted):
    X = pd.DataFrame({f"c{i}": [1.0] for i in range(250)})
    requests = sync(hosted, X, [0.5])
    assert [len(r.json) for r in requests if r.path == "/v1/nodes"] == [100, 100, 51]
    assert [len(r.json) for r in requests if r.path == "/v1/edges"] == [100, 100, 50]
    hosted.requests.clear()
    rows = sync(hosted, np.ones((1000, 4)), np.zeros(1000))
    assert [len(r.json) for r in rows if r.path == "/v1/values"] == [500] * 10


def test_a_protected_feature_column(hosted):
    X = pd.DataFrame({"age": [30], "x": [1.0]})
    requests = sync(hosted, X, [1], pd.DataFrame({"age": [30]}), protected_columns=["x"])
    nodes = next(r.json for r in requests if r.path == "/v1/nodes")
    assert [(n["column_name"], n["operation"], n["is_protected"]) for n in nodes[:-1]] == [
        ("age", "source_protected", True), ("x", "source_protected", True)]
    values = next(r.json for r in requests if r.path == "/v1/values")
    assert [(v["column_name"], v["node_operation"]) for v in values] == [
        ("age", "source_feature"), ("x", "source_feature"), ("age", "source_protected"),
        ("output", "model_validate")]


def test_zero_rows_and_odd_outputs(hosted):
    requests = sync(hosted, pd.DataFrame({"a": []}), None)
    assert [repr(r) for r in requests][-2:] == ["POST /v1/nodes", "POST /v1/edges"]
    hosted.requests.clear()
    requests = sync(hosted, pd.DataFrame({"a": [1.0, 2.0]}), None)
    assert [r["output_value"] for r in next(r.json for r in requests if r.path == "/v1/results")["results"]] == [None, None]
    hosted.requests.clear()
    requests = sync(hosted, pd.DataFrame({"a": [1.0]}), "approved")
    result = next(r.json for r in requests if r.path == "/v1/results")["results"][0]
    output = next(r.json for r in requests if r.path == "/v1/values")[-1]
    assert result["output_value"] is None and output["text_value"] == "approved"


def test_a_run_that_cannot_be_created_sends_nothing_more(hosted, caplog):
    hosted.overrides[("POST", "/v1/pipelines")] = (200, {"no": "id"})
    with caplog.at_level(logging.ERROR, logger=LOG):
        requests = sync(hosted, pd.DataFrame({"a": [1.0]}), [1])
    assert [repr(r) for r in requests] == ["POST /v1/pipelines"]
    (record,) = caplog.records
    assert record.levelno == logging.ERROR
    assert record.msg == "[tallyra] validate() provenance: pipeline creation failed: %s"


@pytest.mark.parametrize(("path", "level", "message"), [
    ("/v1/nodes", logging.WARNING, "node batch failed"),
    ("/v1/edges", logging.WARNING, "edge batch failed"),
    ("/v1/results", logging.ERROR, "results upload failed"),
    ("/v1/values", logging.ERROR, "values batch failed"),
])
def test_a_failing_step_is_logged_and_the_sync_goes_on(hosted, caplog, path, level, message):
    hosted.overrides[("POST", path)] = (503, {"error": "busy"})
    with caplog.at_level(logging.WARNING, logger=LOG):
        requests = sync(hosted, pd.DataFrame({"a": [1.0]}), [1])
    assert repr(requests[-1]) == "PATCH /v1/pipelines/1"  # still completed
    records = [r for r in caplog.records if message in r.msg]
    assert len(records) == 1 and records[0].levelno == level
    assert records[0].msg == "[tallyra] validate() provenance: " + message + ": %s"


def test_silent_steps(hosted, caplog):
    hosted.overrides[("POST", "/v1/sources")] = (500, {})
    hosted.overrides[("PATCH", "/v1/pipelines/1")] = (500, {})
    with caplog.at_level(logging.DEBUG, logger=LOG):
        sync(hosted, pd.DataFrame({"a": [1.0]}), [1])
    assert caplog.records == []


@pytest.mark.parametrize("bad", [
    {"protected_columns": ("x",)}, {"model_name": 5}, {"api_key": None}, {"service_url": b"u"}])
def test_argument_types(hosted, bad):
    args = dict(X=[[1]], y=[1], protected_data=None, protected_columns=[], model_name="m",
                model_version="1", api_key="k", service_url=hosted.url)
    args.update(bad)
    with pytest.raises(TypeError):
        w._sync_prov(**args)
    assert hosted.requests == []
