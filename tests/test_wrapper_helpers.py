"""The upload client's helpers: JSON, sanitising, serialisation, hashing, the source registry,
input resolution and the row helpers."""

import hashlib
import json
import logging
import sys
import threading

import numpy as np
import pandas as pd
import pytest
import scipy.sparse

from module_copies import load_fresh
from tallyra import wrapper as w

NAN, INF = float("nan"), float("inf")


@pytest.fixture(params=["orjson", "json"])
def backend(request):
    """The wrapper as imported with orjson, and a copy imported with orjson hidden."""
    return w if request.param == "orjson" else load_fresh("tallyra.wrapper", hidden=["orjson"])


def test_backends():
    assert w._orjson is not None
    fallback = load_fresh("tallyra.wrapper", hidden=["orjson"])
    assert fallback._orjson is None
    value = {"b": [1, 2.5, "é"], "a": None}
    assert w._fast_dumps(value) == '{"b":[1,2.5,"é"],"a":null}'
    assert fallback._fast_dumps(value) == '{"b": [1, 2.5, "\\u00e9"], "a": null}'
    for module in (w, fallback):
        assert module._fast_loads(module._fast_dumps(value, sort_keys=True)) == value
        assert list(json.loads(module._fast_dumps(value, sort_keys=True))) == ["a", "b"]
        assert module._fast_dumps({"s": {1}}, default=str) in ('{"s":"{1}"}', '{"s": "{1}"}')
        with pytest.raises(TypeError):
            module._fast_dumps({"s": {1}})


@pytest.mark.parametrize(("value", "expected"), [
    (NAN, None), (INF, None), (-INF, None), (1.5, 1.5), ("nan", "nan"), (None, None),
    (np.float64(NAN), None), (np.float32(NAN), None), (np.float32(INF), None),
    (np.float32(0.5), 0.5), ([1.0, NAN, [INF, 2]], [1.0, None, [None, 2]])])
def test_sanitize_value(value, expected):
    assert w._sanitize_value(value) == expected


def test_sanitizers_reach_every_depth():
    assert w._sanitize_rows([[1.0, NAN], (INF, [NAN])]) == [[1.0, None], [None, [None]]]
    assert w._sanitize_list([NAN, [1.0, -INF]]) == [None, [1.0, None]]


def test_serialize():
    assert w._serialize(None) is None
    df = pd.DataFrame({"a": [1.0, NAN]}, index=["x", "y"])
    assert w._serialize(df) == {"type": "dataframe", "data": {
        "index": ["x", "y"], "columns": ["a"], "data": [[1.0], [None]]}}
    assert w._serialize(pd.Series([1.0, INF])) == {"type": "series", "data": [1.0, None]}
    grid = np.array([[1.0, NAN], [INF, 2.0]])
    assert w._serialize(grid) == {"type": "ndarray", "data": [[1.0, None], [None, 2.0]]}
    sparse = scipy.sparse.csr_matrix(np.array([[0.0, 1.0], [NAN, 0.0]]))
    assert w._serialize(sparse) == {"type": "ndarray", "data": [[0.0, 1.0], [None, 0.0]]}
    listed = w._serialize([np.int64(3), np.float32(0.5), "x"])
    assert listed == {"type": "list", "data": [3, 0.5, "x"]} and type(listed["data"][0]) is int


def test_serialize_failure_is_a_warning(caplog):
    with caplog.at_level(logging.WARNING, logger="tallyra.wrapper"):
        assert w._serialize(42) is None
    assert caplog.records[-1].getMessage().startswith("[tallyra] Could not serialize int: ")


def test_serialize_without_scipy(monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy", None)
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    assert w._serialize(np.array([1, 2])) == {"type": "ndarray", "data": [1, 2]}
    assert w._serialize((1, 2)) == {"type": "list", "data": [1, 2]}


def test_request_bodies_never_hold_non_finite_numbers(backend):
    body = backend._fast_dumps({"rows": w._serialize(np.array([[NAN, np.float32(INF)]]))})
    assert "NaN" not in body and "Infinity" not in body
    json.loads(body)  # strict JSON


def test_hashes():
    assert w._compute_model_hash({"weights": [1, 2]}) == hashlib.sha256(
        __import__("pickle").dumps({"weights": [1, 2]})).hexdigest()[:16]
    assert w._compute_model_hash(threading.Lock()) is None
    assert w._content_hash("a", "b") == w._content_hash("a|b")
    assert w._content_hash() == int(hashlib.md5(b"").hexdigest()[:8], 16)
    assert w._content_hash(1, None) == w._content_hash("1", "None") < 2**32
    assert w._content_hash.__doc__.startswith("Content-addressable 32-bit hash for DAG node identification.")


def test_row_hash(backend):
    a, b = {"x": 1, "y": "z"}, {"y": "z", "x": 1}
    assert backend._rh(a) == backend._rh(b) and len(backend._rh(a)) == 64
    expected = hashlib.sha256(backend._fast_dumps(a, default=str, sort_keys=True).encode()).hexdigest()
    assert backend._rh(a) == expected
    for bad in (None, [1], type("D", (dict,), {})()):
        with pytest.raises(TypeError):
            backend._rh(bad)


def test_row_hash_of_a_row_the_backend_refuses():
    assert w._rh({1: "int keys are refused by orjson"}) == ""


# ---- the source registry -------------------------------------------------------------------------

@pytest.fixture
def registry():
    return w._ProvenanceRegistry()


def test_registry(registry, caplog):
    registry.register(pd.DataFrame({"income": [1.0], "age": [30]}), "applications")
    assert registry.resolve(pd.DataFrame({"income": [1.0], "score": [2.0]})) == {
        "income": "applications.income", "score": "derived"}
    registry.register(pd.DataFrame({"age": [40]}), "bureau")
    assert registry.resolve(pd.DataFrame({"age": [1]})) == {"age": "bureau.age"}
    with caplog.at_level(logging.DEBUG, logger="tallyra.wrapper"):
        registry.register([1, 2], "lists")
    assert "ProvenanceRegistry: df has no .columns, skipping" in caplog.text
    assert "lists" not in registry.get_source_metadata()
    assert registry.get_source_metadata()["applications"] == {"income": "float64", "age": "int64"}
    with pytest.raises(TypeError):
        registry.register(pd.DataFrame({"a": [1]}), 5)


def test_snapshots(registry):
    registry.register(pd.DataFrame({"income": [0.0], "debt": [0.0]}), "applications")
    registry.register(pd.DataFrame({"history": [0]}), "bureau")
    final = pd.DataFrame({"income": [5.0, 6.0], "history": [3, 4], "ratio": [0.1, 0.2]})
    snaps = registry.build_source_snapshots(final)
    assert list(snaps) == ["applications", "bureau"]
    assert snaps["applications"]["data"]["columns"] == ["income"]
    assert snaps["applications"]["data"]["data"] == [[5.0], [6.0]]
    assert snaps["bureau"]["data"]["columns"] == ["history"]
    assert registry.build_source_snapshots(np.zeros((2, 2))) == {}


def test_snapshots_keep_a_dotted_column_under_its_own_table(registry):
    registry.register(pd.DataFrame({"v1.2": [0.0]}), "app.v2")
    snaps = registry.build_source_snapshots(pd.DataFrame({"v1.2": [7.0]}))
    assert list(snaps) == ["app.v2"] and snaps["app.v2"]["data"]["data"] == [[7.0]]


def test_getters_return_copies_and_clear_empties(registry):
    registry.register(pd.DataFrame({"a": [1]}), "t")
    registry.get_source_mapping()["a"] = "changed"
    registry.get_source_metadata()["t"]["a"] = "changed"
    assert registry.get_source_mapping() == {"a": "t.a"}
    assert registry.get_source_metadata() == {"t": {"a": "int64"}}
    registry.clear()
    assert registry.get_source_mapping() == {} and registry.get_source_metadata() == {}


# ---- inputs and rows ------------------------------------------------------------------------------

def frame():
    return pd.DataFrame({"x": [1.0, 2.0], "age": [30, 40], "y": [0, 1]}, index=[5, 6])


def test_dataframe_mode():
    X_train, y_train, X_test, y_test, prot = w._resolve_inputs(
        frame(), frame(), "y", None, None, None, None, ["age", "missing"])
    assert list(X_test.columns) == ["x"] and list(X_test.index) == [0, 1]
    assert y_test.tolist() == [0, 1] and list(prot.columns) == ["age"]
    assert list(X_train.columns) == ["x"] and y_train.tolist() == [0, 1]
    _, _, X_test, _, prot = w._resolve_inputs(None, frame(), "y", None, None, None, None, [])
    assert prot is None and list(X_test.columns) == ["x", "age"]
    with pytest.raises(ValueError, match="^label_column is required when passing test_df"):
        w._resolve_inputs(None, frame(), None, None, None, None, None, [])
    with pytest.raises(KeyError):
        w._resolve_inputs(None, frame(), "nope", None, None, None, None, [])


def test_label_check_comes_before_pandas(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)  # as if pandas were not installed
    with pytest.raises(ValueError, match="label_column is required"):
        w._resolve_inputs(None, {"a": [1]}, None, None, None, None, None, [])
    with pytest.raises(ImportError, match="pandas is required when using train_df/test_df mode"):
        w._resolve_inputs(None, {"a": [1]}, "a", None, None, None, None, [])


def test_array_mode():
    X = np.zeros((3, 2))
    assert w._resolve_inputs(None, None, None, X, [1], X, [2], ["a"]) == (X, [1], X, [2], None)
    X_train, _, X_test, _, prot = w._resolve_inputs(None, None, None, frame(), None, frame(), None, ["age"])
    assert list(X_test.columns) == ["x", "y"] and list(prot.columns) == ["age"]
    assert list(X_train.columns) == ["x", "y"]
    with pytest.raises(ValueError, match=r"^No data provided\. Pass either test_df="):
        w._resolve_inputs(None, None, None, None, None, None, None, [])


def test_column_names_and_rows():
    assert w._cn(frame()) == ["x", "age", "y"]
    assert w._cn(np.zeros((5, 3))) == ["feature_0", "feature_1", "feature_2"]
    assert w._cn([1, 2, 3]) == ["feature_0"] and w._cn(np.zeros((2, 2)), "p") == ["p_0", "p_1"]
    assert w._cn(object()) == ["feature_0"]  # an object array of one element
    assert w._cn({1: [1, 2], 2: [1]}) == ["feature_0"]
    with pytest.raises(TypeError):
        w._cn(frame(), fallback_prefix=None)
    assert w._rc(frame()) == 2 and w._rc(np.zeros((4, 2))) == 4 and w._rc(5) == 0


@pytest.mark.parametrize(("value", "expected"), [
    (True, (1.0, None)), (np.bool_(False), (0.0, None)), (3, (3.0, None)),
    (np.float32(0.5), (0.5, None)), (NAN, (None, None)), (INF, (None, None)),
    (np.float64(-INF), (None, None)), (None, (None, None)), ("x" * 300, (None, "x" * 255)),
    (pd.Timestamp("2024-01-02"), (None, "2024-01-02 00:00:00"))])
def test_gs(value, expected):
    assert w._gs(value) == expected


def test_trd():
    assert w._trd(np.array([1, 2]), ["a"]) == [{"a": 1}, {"a": 2}]
    assert w._trd(pd.Series([1, 2]), ["s"]) == [{"s": 1}, {"s": 2}]
    assert w._trd(np.zeros((1, 3)), ["a", "b"]) == [{"a": 0.0, "b": 0.0}]
    rows = w._trd(frame(), ["x", "missing"])
    assert rows == [{"x": 1.0, "missing": None}, {"x": 2.0, "missing": None}]
    literal = [{c: r[c] if c in r.index else None for c in ["x", "age"]} for _, r in frame().iterrows()]
    assert w._trd(frame(), ["x", "age"]) == literal  # the cells as iterrows gives them


def test_trd_finds_non_string_labels_by_their_text():
    df = pd.DataFrame({0: [1.5, 2.5], 1: [3.0, 4.0]})
    assert w._trd(df, w._cn(df)) == [{"0": 1.5, "1": 3.0}, {"0": 2.5, "1": 4.0}]


def test_fo():
    assert w._fo(None, 3) == [None] * 3
    assert w._fo(0.7, 3) == [0.7, None, None]
    assert w._fo(np.array([[0.2, 0.8], [0.6, 0.4]]), 2) == [0.8, 0.4]
    assert w._fo("approved", 3) == ["approved", None, None]
    assert w._fo((1, 2), 2.0) == [1, 2]
    with pytest.raises(TypeError):
        w._fo([1], "2")
