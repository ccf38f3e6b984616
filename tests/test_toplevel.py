"""tallyra.configure, register_source, upload and validate against a real HTTP server."""

import numpy as np
import pandas as pd
import pytest

import tallyra
from tallyra import wrapper as w


@pytest.fixture(autouse=True)
def fresh_state():
    saved = dict(tallyra._config)
    w._registry.clear()
    yield
    tallyra._config.update(saved)
    w._registry.clear()


@pytest.fixture
def configured(hosted):
    tallyra.configure(api_key="key", service_url=hosted.url + "/")
    return hosted


def applications():
    return pd.DataFrame({"income": [1.0, 2.0, 3.0], "age": [30, 40, 50], "approved": [0, 1, 1]})


class Model:
    def predict(self, X):
        return X["income"].to_numpy() / 10


def test_not_configured_fails_before_anything_is_sent(hosted):
    tallyra._config.update(api_key=None, service_url=None)
    with pytest.raises(RuntimeError, match="tallyra.configure"):
        tallyra.upload(model=Model(), test_df=applications(), label_column="approved",
                       model_name="m", model_version="1")
    assert hosted.requests == []


@pytest.mark.parametrize(("kwargs", "exc"), [
    ({"api_key": "", "service_url": "http://x"}, TypeError),
    ({"api_key": "k", "service_url": None}, TypeError),
    ({"api_key": "k", "service_url": "ftp://x"}, ValueError),
    ({"api_key": "k", "service_url": "http://x", "tenant_id": 3}, TypeError)])
def test_configure_checks(kwargs, exc):
    with pytest.raises(exc):
        tallyra.configure(**kwargs)


@pytest.mark.parametrize(("kwargs", "exc"), [
    ({"model_name": 1}, TypeError), ({"protected_columns": "age"}, TypeError),
    ({"model": None}, ValueError), ({"label_column": None}, ValueError)])
def test_wrong_arguments_fail_before_sending(configured, kwargs, exc):
    args = dict(model=Model(), test_df=applications(), label_column="approved", model_name="m",
                model_version="1")
    args.update(kwargs)
    with pytest.raises(exc):
        tallyra.upload(**args)
    assert configured.requests == []


def test_upload(configured):
    configured.overrides[("POST", "/v1/uploads")] = (200, {"upload_id": 9})
    tallyra.register_source(applications(), "applications")
    answer = tallyra.upload(model=Model(), test_df=applications(), label_column="approved",
                            protected_columns=["age"], model_name="credit", model_version="2")
    assert answer == {"upload_id": 9}
    (request,) = configured.requests
    assert request.path == "/v1/uploads" and request.headers["Authorization"] == "Bearer key"
    body = request.json
    assert body["model_name"] == "credit" and body["model_version"] == "2"
    assert len(body["model_hash"]) == 16
    assert body["inputs"]["X_test"]["data"]["columns"] == ["income"]
    assert body["outputs"] == {"type": "ndarray", "data": [0.1, 0.2, 0.3]}
    assert body["protected_attributes"]["data"]["columns"] == ["age"]
    assert body["source_mapping"] == {"income": "applications.income"}
    assert list(body["source_snapshots"]) == ["applications"]
    assert body["source_metadata"]["applications"]["age"] == "int64"


def test_upload_with_predictions_and_arrays(configured):
    tallyra.upload(predictions=[0.5, 0.6], X_test=np.ones((2, 2)), y_test=[0, 1],
                   model_name="m", model_version="1")
    body = configured.requests[0].json
    assert body["outputs"] == {"type": "list", "data": [0.5, 0.6]} and body["model_hash"] is None


def test_validate_uploads_and_syncs(configured):
    answer = tallyra.validate(model=Model(), test_df=applications(), label_column="approved",
                              protected_columns=["age"], model_name="credit", model_version="2")
    assert answer == {}
    paths = [r.path for r in configured.requests]
    assert paths[0] == "/v1/uploads" and "/v1/values" in paths and paths[-1] == "/v1/pipelines/1"


def test_a_model_that_cannot_predict_names_upload(configured):
    with pytest.raises(RuntimeError, match=r"Pass predictions= directly to tallyra\.upload\(\)"):
        tallyra.upload(model=object(), X_test=np.ones((2, 2)), model_name="m", model_version="1")
    assert configured.requests == []
