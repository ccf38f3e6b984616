"""HostedStorage against a real HTTP server on 127.0.0.1."""

import pytest

from hosted_service import HostedService
from tallyra.utilities.persistence import HostedStorage, StorageBackend
from tallyra.utilities.persistence.storage import StoredEdge, StoredNode, StoredRowValue


@pytest.fixture
def storage(hosted):
    return HostedStorage(api_url=hosted.url + "/", api_key="secret", tenant_id="acme")


def test_is_a_storage_backend(storage):
    assert isinstance(storage, StorageBackend)


def test_every_operation_is_one_request_under_v1(hosted, storage):
    storage.connect()
    run = storage.create_pipeline(pipeline_name="credit", config={"a": 1}, git_commit=None,
                                  tenant_id=None)
    storage.register_source(3, "apps", "age", is_protected=True)
    storage.store_nodes([StoredNode(fingerprint=9, node_type="SOURCE", operation="apps.age",
                                    pipeline_id=run)])
    storage.store_edges([StoredEdge(9, 10, 0, run)])
    storage.store_row_values([StoredRowValue(run, 0, 9, "apps.age", 30.0)])
    assert storage.get_fingerprint_node_map(run) == {9: 1}
    storage.store_edges_resolved([(1, 2, 0)])
    storage.store_results(run, [("A-1", "score", 9, 0.5, None)])
    storage.complete_pipeline(run, status="completed")
    storage.store_nodes([])  # nothing to send, no request
    assert [repr(r) for r in hosted.requests] == [
        "GET /v1/health", "POST /v1/pipelines", "POST /v1/sources", "POST /v1/nodes",
        "POST /v1/edges", "POST /v1/values", f"GET /v1/pipelines/{run}/fingerprints",
        "POST /v1/edges/resolved", "POST /v1/results", f"PATCH /v1/pipelines/{run}"]
    bodies = [r.json for r in hosted.requests]
    assert bodies[1] == {"pipeline_name": "credit", "config": {"a": 1}, "git_commit": None,
                         "tenant_id": "acme"}
    assert bodies[2] == {"pair_id": 3, "table_name": "apps", "column_name": "age",
                         "is_protected": True}
    assert bodies[3][0]["fingerprint"] == 9 and bodies[4] == [
        {"parent_fingerprint": 9, "child_fingerprint": 10, "input_position": 0, "pipeline_id": run}]
    assert bodies[7] == [{"parent_node_id": 1, "child_node_id": 2, "input_position": 0}]
    assert bodies[8] == {"pipeline_id": run, "results": [
        {"row_key": "A-1", "output_name": "score", "fingerprint": 9, "output_value": 0.5,
         "input_hash": None}]}
    assert bodies[9] == {"status": "completed"}


def test_request_conventions(hosted, storage):
    storage.create_pipeline("r")
    headers = hosted.requests[0].headers
    assert headers["Authorization"] == "Bearer secret"
    assert headers["Content-Type"] == "application/json"
    assert headers["Accept"] == "application/json"
    assert headers["User-Agent"] == "tallyra-python-client/1.0"


def test_error_statuses_raise_runtime_error(hosted, storage):
    hosted.overrides[("POST", "/v1/nodes")] = (500, {"detail": "x" * 1000})
    with pytest.raises(RuntimeError) as info:
        storage.store_nodes([StoredNode(fingerprint=1, node_type="SOURCE", operation="o")])
    message = str(info.value)
    assert message.startswith(f"HTTP 500 from {hosted.url}/v1/nodes: ")
    assert len(message.split(": ", 1)[1]) == 200
    hosted.overrides[("PATCH", "/v1/pipelines/4")] = (404, None)
    with pytest.raises(RuntimeError, match=r"^HTTP 404 \(PATCH\) from "):
        storage.complete_pipeline(4)


def test_redirects_are_not_followed(hosted, storage):
    other = HostedService()
    try:
        hosted.overrides[("POST", "/v1/pipelines")] = (
            307, None, {"Location": other.url + "/v1/pipelines"})
        with pytest.raises(RuntimeError, match="^HTTP 307 from "):
            storage.create_pipeline("r")
        assert other.requests == []  # the key never reached the other host
    finally:
        other.close()


@pytest.mark.parametrize("url", ["file:///etc/passwd", "ftp://example.com/", "localhost:8080",
                                 "javascript:alert(1)"])
def test_only_http_and_https(url):
    with pytest.raises(ValueError, match="only http and https"):
        HostedStorage(api_url=url, api_key="k")


def test_connect_fails_when_the_service_does_not_answer():
    storage = HostedStorage(api_url="http://127.0.0.1:9", api_key="k")
    with pytest.raises(OSError):
        storage.connect()


def test_read_back(hosted, storage):
    hosted.overrides[("GET", "/v1/results?row_key=A-1")] = (200, {"results": [{"row_key": "A-1"}]})
    assert storage.get_results("A-1") == [{"row_key": "A-1"}]
    assert storage.list_pipelines() == []
