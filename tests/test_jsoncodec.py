"""tallyra.utilities.jsoncodec under both backends."""

import sys
from datetime import date, datetime

import numpy as np
import pytest

from module_copies import load_fresh


@pytest.fixture(params=["orjson", "json"])
def codec(request):
    if request.param == "orjson":
        pytest.importorskip("orjson")
        import tallyra.utilities.jsoncodec as module
        return module
    return load_fresh("tallyra.utilities.jsoncodec", hidden=["orjson"])


def test_backend_and_names():
    import tallyra.utilities.jsoncodec as fast
    fallback = load_fresh("tallyra.utilities.jsoncodec", hidden=["orjson"])
    assert fast.BACKEND == "orjson" and hasattr(fast, "_NUMPY_OPT") and not hasattr(fast, "_NumpyEncoder")
    assert fallback.BACKEND == "json" and not hasattr(fallback, "_NUMPY_OPT")
    assert fallback._NumpyEncoder.__doc__ == "JSON encoder that handles numpy types for the stdlib fallback."
    assert fast.dumps.__doc__ == ("Serialize to JSON string. Uses orjson for speed.\n\n"
                                  "        Handles numpy scalars, arrays, datetime, and date objects natively.\n"
                                  "        Returns a Python str (not bytes).\n        ")
    assert fast.loads.__doc__ == "Deserialize from JSON string. Uses orjson for speed."
    assert fallback.dumps.__doc__ == "Serialize to JSON string. Stdlib fallback with numpy support."
    assert fallback.loads.__doc__ == "Deserialize from JSON string. Stdlib fallback."
    assert len(fast.__doc__.strip().splitlines()) == 3


def test_common_behaviour(codec):
    assert codec.dumps({"b": 1, "a": 2}, sort_keys=True).index('"a"') < codec.dumps(
        {"b": 1, "a": 2}, sort_keys=True).index('"b"')
    assert codec.dumps(np.int64(5)) == "5"
    assert codec.dumps(np.array([1, 2])) in ("[1,2]", "[1, 2]")
    assert codec.dumps({"s": {1, 2}, "n": np.float32(0.5)}, default=lambda o: sorted(o)).replace(" ", "") == (
        '{"s":[1,2],"n":0.5}')
    for value in ({"a": [1, 2.5, "x", True, None]}, [], "s", 3, 1.25, False, None):
        assert codec.loads(codec.dumps(value)) == value
    assert codec.loads(codec.dumps("é").encode()) == "é"
    assert type(codec.dumps(1)) is str


def test_indentation(codec):
    text = codec.dumps({"a": [1]}, indent=4)
    assert text.splitlines()[1].startswith("  " if codec.BACKEND == "orjson" else "    ")
    assert "\n" not in codec.dumps({"a": 1}, indent=0) or codec.BACKEND == "json"


def test_fallback_dates_and_errors():
    fallback = load_fresh("tallyra.utilities.jsoncodec", hidden=["orjson"])
    assert fallback.dumps(datetime(2024, 1, 2, 3, 4, 5)) == '"2024-01-02T03:04:05"'
    assert fallback.dumps(date(2024, 1, 2)) == '"2024-01-02"'
    with pytest.raises(TypeError):
        fallback.dumps({1, 2})
    with pytest.raises(ValueError):
        fallback.loads("{nope")


def test_fallback_without_numpy(monkeypatch):
    fallback = load_fresh("tallyra.utilities.jsoncodec", hidden=["orjson"])
    monkeypatch.setitem(sys.modules, "numpy", None)  # as if NumPy were not installed
    assert fallback.dumps(date(2024, 1, 2)) == '"2024-01-02"'
    assert fallback.dumps({"s": {1}}, default=list) == '{"s": [1]}'
    with pytest.raises(TypeError):
        fallback.dumps(object())
