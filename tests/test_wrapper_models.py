"""Local prediction with real models of every kind the upload client supports."""

import numpy as np
import pandas as pd
import pytest

from tallyra import wrapper as w

sklearn = pytest.importorskip("sklearn")
from sklearn.linear_model import LinearRegression, LogisticRegression  # noqa: E402


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(0)
    X = pd.DataFrame({"income": rng.random(200), "debt": rng.random(200)})
    y = (X["income"] > X["debt"]).astype(int)
    return X, y


def test_classifier_gives_the_probability_of_the_positive_class(data):
    X, y = data
    clf = LogisticRegression().fit(X, y)
    out = w._run_local_predict(clf, X)
    assert out.dtype == np.float64 and out.shape == (200,)
    np.testing.assert_allclose(out, clf.predict_proba(X)[:, 1])


def test_regressor_uses_predict(data):
    X, y = data
    reg = LinearRegression().fit(X, y)
    np.testing.assert_allclose(w._run_local_predict(reg, X), reg.predict(X))


def test_a_failing_predict_proba_falls_back_to_predict(data):
    X, y = data

    class Broken(LogisticRegression):
        def predict_proba(self, X):
            raise RuntimeError("no probabilities")

    clf = Broken().fit(X, y)
    np.testing.assert_array_equal(w._run_local_predict(clf, X), clf.predict(X).astype(float))


def test_a_pytorch_module(data):
    torch = pytest.importorskip("torch")
    X, _ = data
    torch.manual_seed(0)
    net = torch.nn.Sequential(torch.nn.Linear(2, 1), torch.nn.Sigmoid())
    out = w._run_local_predict(net, X)
    with torch.no_grad():
        expected = net(torch.tensor(X.values, dtype=torch.float32)).numpy().ravel()
    np.testing.assert_allclose(out, expected, rtol=1e-6)


def test_an_onnx_runtime_session(data):
    pytest.importorskip("skl2onnx")
    ort = pytest.importorskip("onnxruntime")
    from skl2onnx import convert_sklearn
    from skl2onnx.common.data_types import FloatTensorType

    X, y = data
    reg = LinearRegression().fit(X, y)
    onnx_model = convert_sklearn(reg, initial_types=[("input", FloatTensorType([None, 2]))])
    session = ort.InferenceSession(onnx_model.SerializeToString(), providers=["CPUExecutionProvider"])
    np.testing.assert_allclose(w._run_local_predict(session, X), reg.predict(X), rtol=1e-5, atol=1e-6)


@pytest.mark.filterwarnings("ignore::UserWarning")  # torch, handed the frame's function first
def test_a_plain_function(data):
    X, _ = data
    out = w._run_local_predict(lambda frame: list(frame["income"] * 2), X)
    np.testing.assert_allclose(out, X["income"] * 2)


def test_objects_that_cannot_predict():
    class Raises:
        def predict(self, X):
            raise ValueError("broken")

        def __call__(self, X):
            raise ValueError("broken")

    for model, name in ((Raises(), "Raises"), ({"not": "a model"}, "dict")):
        with pytest.raises(RuntimeError) as info:
            w._run_local_predict(model, np.zeros((2, 2)))
        assert str(info.value) == (f"Cannot generate predictions from {name}. Pass predictions= "
                                   "directly to tallyra.upload() instead.")


def test_interrupts_are_not_swallowed():
    class Interrupted:
        def predict(self, X):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        w._run_local_predict(Interrupted(), np.zeros((1, 1)))
