"""The upload client behind tallyra.upload() and tallyra.validate(): the source registry,
serialisation, sanitising and hashing, local prediction and input resolution, the HTTP
transport, and the lightweight provenance sync of a validation run."""

from __future__ import annotations

import hashlib
import logging
import math
import numbers
import pickle
import threading
import urllib.error
import urllib.parse
import urllib.request
from typing import Any, Dict, List, Optional, Tuple

logger = logging.getLogger(__name__)

# ---- JSON backend, chosen once ---------------------------------------------------------------------

try:
    import orjson as _orjson

    def _fast_dumps(obj: Any, default: Any = None, sort_keys: bool = False) -> str:
        option = 0
        if sort_keys:
            option |= _orjson.OPT_SORT_KEYS
        if default is not None:
            return _orjson.dumps(obj, default=default, option=option).decode("utf-8")
        return _orjson.dumps(obj, option=option).decode("utf-8")

    def _fast_loads(s: Any) -> Any:
        return _orjson.loads(s)

except ImportError:
    _orjson = None
    import json as _json

    def _fast_dumps(obj: Any, default: Any = None, sort_keys: bool = False) -> str:
        return _json.dumps(obj, default=default, sort_keys=sort_keys)

    def _fast_loads(s: Any) -> Any:
        return _json.loads(s)


# ---- source registry ------------------------------------------------------------------------------

class _ProvenanceRegistry:
    """Global registry tracking source DataFrames for pipeline lineage.

    tallyra.register_source(df, table_name) captures a DataFrame's column names and dtypes
    here. The next upload call gets from it the column-to-source mapping (a column income maps
    to applications.income), serialised snapshots of the source tables restricted to the columns
    the model really used, and per-column provenance (a registered source, or derived). The
    registry never holds a DataFrame: raw cell values are taken later from the final model input.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._sources: Dict[Any, str] = {}
        self._source_columns: Dict[str, List[Any]] = {}
        self._source_dtypes: Dict[str, Dict[str, str]] = {}
        # The table each column came from, kept beside its "table.col" text: a label holding a
        # dot makes that text ambiguous.
        self._source_tables: Dict[Any, str] = {}

    def register(self, df: Any, table_name: str) -> None:
        """Register a DataFrame as a source table.

        Only column names and dtypes are captured at registration time, not the full data; raw
        cell values are captured later during upload, for only the columns that appear in the
        model input.
        """
        if type(table_name) is not str:
            raise TypeError(f"table_name must be a str, not {type(table_name).__name__}")
        with self._lock:
            try:
                cols = list(df.columns)
            except AttributeError:
                logger.debug("ProvenanceRegistry: df has no .columns, skipping")
                return
            for label in cols:
                self._sources[label] = table_name + "." + str(label)
                self._source_tables[label] = table_name
            self._source_columns[table_name] = cols
            self._source_dtypes[table_name] = {str(label): str(df[label].dtype) for label in cols}

    def resolve(self, df: Any) -> Dict[str, str]:
        """Resolve provenance for every column in a DataFrame.

        Returns:
            A dict mapping each column name to "table.col" for a registered source, or to
            "derived" for a column that matches no registered source.
        """
        with self._lock:
            result: Dict[Any, str] = {}
            try:
                cols = list(df.columns)
            except AttributeError:
                return result
            for label in cols:
                result[label] = self._sources[label] if label in self._sources else "derived"
            return result

    def build_source_snapshots(self, final_df: Any) -> Dict[str, Any]:
        """Build source snapshots containing ONLY columns used in the final DataFrame.

        Instead of capturing entire source tables, this extracts just the columns of the final
        model input and groups them by source table, so that the server receives the actual cell
        values that were used and nothing more.
        """
        with self._lock:
            try:
                final_cols = list(final_df.columns)
            except AttributeError:
                return {}
            groups: Dict[str, List[Any]] = {}
            for label in final_cols:
                entry = self._sources.get(label)
                if not entry or "." not in entry:
                    continue
                table = self._source_tables.get(label, entry.rsplit(".", 1)[0])
                groups.setdefault(table, []).append(label)
            snapshots: Dict[str, Any] = {}
            for table, labels in groups.items():
                try:
                    import pandas as pd

                    if not isinstance(final_df, pd.DataFrame):
                        continue
                    present = [label for label in labels if label in final_df.columns]
                    snapshots[table] = _serialize(final_df[present])
                except Exception:  # noqa: BLE001 - a failing table is left out
                    continue
            return snapshots

    def get_source_mapping(self) -> Dict[Any, str]:
        """Return the full column -> table.col mapping."""
        with self._lock:
            return dict(self._sources)

    def get_source_metadata(self) -> Dict[str, Dict[str, str]]:
        """Return source table metadata (columns + dtypes)."""
        with self._lock:
            return {table: dict(dtypes) for table, dtypes in self._source_dtypes.items()}

    def clear(self) -> None:
        """Reset the registry (between pipeline runs)."""
        with self._lock:
            self._sources.clear()
            self._source_columns.clear()
            self._source_dtypes.clear()
            self._source_tables.clear()


_registry = _ProvenanceRegistry()


# ---- serialisation, sanitising, hashing ---------------------------------------------------------

def _sanitize_value(v: Any) -> Any:
    """None for a non-finite floating number, at any depth of lists and tuples; every other
    value as it is (a NumPy floating scalar becomes a plain float)."""
    if isinstance(v, (list, tuple)):
        return [_sanitize_value(x) for x in v]
    try:
        if isinstance(v, float):
            return v if math.isfinite(v) else None
        if type(v).__module__ == "numpy" and hasattr(v, "dtype") and v.dtype.kind == "f" \
                and getattr(v, "ndim", 1) == 0:
            number = float(v)
            return number if math.isfinite(number) else None
    except Exception:  # noqa: BLE001 - an odd value passes as it is
        pass
    return v


def _sanitize_rows(rows: Any) -> list:
    return [[_sanitize_value(v) for v in row] for row in rows]


def _sanitize_list(lst: Any) -> list:
    return [_sanitize_value(v) for v in lst]


def _serialize(obj: Any) -> Optional[Dict[str, Any]]:
    if obj is None:
        return None
    try:
        import numpy as np
        import pandas as pd

        if isinstance(obj, pd.DataFrame):
            split = obj.to_dict(orient="split")
            split["data"] = _sanitize_rows(split["data"])
            return {"type": "dataframe", "data": split}
        if isinstance(obj, pd.Series):
            return {"type": "series", "data": _sanitize_list(obj.tolist())}
        if isinstance(obj, np.ndarray):
            # every depth is sanitised: the items of a 2-D array are its rows
            return {"type": "ndarray", "data": _sanitize_list(obj.tolist())}
        try:
            import scipy.sparse

            if scipy.sparse.issparse(obj):
                return {"type": "ndarray", "data": _sanitize_rows(obj.toarray().tolist())}
        except ImportError:
            pass
        items = [item.item() if hasattr(item, "item") else item for item in obj]
        return {"type": "list", "data": _sanitize_list(items)}
    except Exception as e:  # noqa: BLE001 - reported, and nothing is sent for it
        logger.warning("[tallyra] Could not serialize " + type(obj).__name__ + ": " + str(e))
        return None


def _compute_model_hash(model: Any) -> Optional[str]:
    try:
        return hashlib.sha256(pickle.dumps(model)).hexdigest()[:16]
    except Exception:  # noqa: BLE001 - an unpicklable model has no hash
        return None


def _content_hash(*parts: str) -> int:
    """Content-addressable 32-bit hash for DAG node identification.

    Not a KORVAL-32 provenance fingerprint: a simple hash that gives stable node ids to
    (operation, model, column) tuples on the lightweight provenance sync path.
    """
    text = "|".join(str(p) for p in parts)
    return int(hashlib.md5(text.encode("utf-8")).hexdigest()[:8], 16)


def _rh(row_dict: dict) -> str:
    if type(row_dict) is not dict:
        raise TypeError(f"row_dict must be a dict, not {type(row_dict).__name__}")
    try:
        canonical = _fast_dumps(row_dict, default=str, sort_keys=True)
        return hashlib.sha256(canonical.encode("utf-8")).hexdigest()
    except Exception:  # noqa: BLE001 - a row that cannot be hashed has the empty hash
        return ""


# ---- local prediction and input resolution -------------------------------------------------------

def _run_local_predict(model: Any, X: Any) -> Any:
    import numpy as np

    if hasattr(model, "predict_proba"):
        try:
            proba = np.asarray(model.predict_proba(X), dtype=float)
            return proba[:, -1] if proba.ndim == 2 else proba.ravel()
        except Exception:  # noqa: BLE001 - the next convention is tried
            pass
    if hasattr(model, "predict"):
        try:
            return np.asarray(model.predict(X), dtype=float).ravel()
        except Exception:  # noqa: BLE001
            pass
    try:
        import torch

        data = X.values if hasattr(X, "values") else np.asarray(X)
        tensor = torch.tensor(data, dtype=torch.float32)
        with torch.no_grad():
            out = model(tensor)
        return out.detach().cpu().numpy().ravel().astype(float)
    except Exception:  # noqa: BLE001
        pass
    try:
        return np.asarray(model.predict(X), dtype=float).ravel()
    except Exception:  # noqa: BLE001
        pass
    try:
        data = X.values if hasattr(X, "values") else np.asarray(X, dtype=np.float32)
        name = model.get_inputs()[0].name
        result = model.run(None, {name: np.asarray(data).astype(np.float32)})
        return np.asarray(result[0], dtype=float).ravel()
    except Exception:  # noqa: BLE001
        pass
    if callable(model):
        try:
            return np.asarray(model(X), dtype=float).ravel()
        except Exception:  # noqa: BLE001
            pass
    raise RuntimeError("Cannot generate predictions from %s. Pass predictions= directly to "
                       "tallyra.upload() instead." % type(model).__name__)


def _resolve_inputs(train_df: Any, test_df: Any, label_column: Any, X_train: Any, y_train: Any,
                    X_test: Any, y_test: Any, protected_columns: Any) -> Tuple[Any, Any, Any, Any, Any]:
    try:
        import numpy  # noqa: F401
        import pandas as pd

        has_pandas = True
    except ImportError:
        has_pandas = False
    protected = list(protected_columns)
    if test_df is not None:
        if label_column is None:
            raise ValueError("label_column is required when passing test_df. "
                             "Example: upload(model=clf, test_df=df, label_column='approved', ...)")
        if not has_pandas:
            raise ImportError("pandas is required when using train_df/test_df mode")
        if not isinstance(test_df, pd.DataFrame):
            test_df = pd.DataFrame(test_df)
        y_test = test_df[label_column].values
        prot_in_test = [c for c in protected if c in test_df.columns]
        protected_df = test_df[prot_in_test].reset_index(drop=True) if prot_in_test else None
        drop_cols = [label_column] + prot_in_test
        X_test = test_df.drop(columns=[c for c in drop_cols if c in test_df.columns]).reset_index(drop=True)
        if train_df is not None:
            if not isinstance(train_df, pd.DataFrame):
                train_df = pd.DataFrame(train_df)
            y_train = train_df[label_column].values
            prot_in_train = [c for c in protected if c in train_df.columns]
            drop = [c for c in [label_column] + prot_in_train if c in train_df.columns]
            X_train = train_df.drop(columns=drop).reset_index(drop=True)
        return X_train, y_train, X_test, y_test, protected_df
    if X_test is None:
        raise ValueError("No data provided. Pass either test_df= (DataFrame mode) or X_test= "
                         "(array mode).")
    protected_df = None
    if not has_pandas or not isinstance(X_test, pd.DataFrame):
        return X_train, y_train, X_test, y_test, protected_df
    prot_in_X = [c for c in protected if c in X_test.columns]
    if prot_in_X:
        protected_df = X_test[prot_in_X].reset_index(drop=True)
        X_test = X_test.drop(columns=prot_in_X).reset_index(drop=True)
    if isinstance(X_train, pd.DataFrame):
        prot_in_train = [c for c in protected if c in X_train.columns]
        if prot_in_train:
            X_train = X_train.drop(columns=prot_in_train).reset_index(drop=True)
    return X_train, y_train, X_test, y_test, protected_df


def _cn(X: Any, fallback_prefix: str = "feature") -> List[str]:
    if type(fallback_prefix) is not str:
        raise TypeError(f"fallback_prefix must be a str, not {type(fallback_prefix).__name__}")
    try:
        import pandas as pd

        if isinstance(X, pd.DataFrame):
            return [str(c) for c in X.columns]
    except ImportError:
        pass
    try:
        import numpy as np

        arr = np.asarray(X)
        n = arr.shape[1] if arr.ndim == 2 else 1
        return [f"{fallback_prefix}_{i}" for i in range(n)]
    except Exception:  # noqa: BLE001
        return [fallback_prefix]


def _rc(X: Any) -> int:
    try:
        return len(X)
    except TypeError:
        try:
            import numpy as np

            return int(np.asarray(X).shape[0])
        except Exception:  # noqa: BLE001
            return 0


def _gs(val: Any) -> Tuple[Optional[float], Optional[str]]:
    try:
        import numpy as np

        if isinstance(val, (bool, np.bool_)):
            return (1.0 if val else 0.0), None
        if isinstance(val, (int, float, np.integer, np.floating)):
            number = float(val)
            # NaN and the infinities are no JSON numbers: neither part
            return (number, None) if math.isfinite(number) else (None, None)
    except ImportError:
        if isinstance(val, (bool, int, float)):
            number = float(val)
            return (number, None) if math.isfinite(number) else (None, None)
    if val is None:
        return None, None
    return None, str(val)[:255]


def _trd(X: Any, cols: List[str]) -> List[dict]:
    try:
        import pandas as pd

        if isinstance(X, pd.DataFrame):
            # The cells as iterrows() gives them (from the frame's common-type values), each
            # column found by its text form, which is how `cols` names it (see _cn).
            position = {}
            for j, label in enumerate(X.columns):
                position.setdefault(str(label), j)
            where = [position.get(name) for name in cols]
            values = X.values
            return [{name: (values[i, j] if j is not None else None) for name, j in zip(cols, where)}
                    for i in range(len(X))]
        if isinstance(X, pd.Series):
            return [{cols[0]: v} for v in X.tolist()]
    except ImportError:
        pass
    try:
        import numpy as np

        arr = np.asarray(X, dtype=object)
        if arr.ndim == 1:
            arr = arr.reshape(-1, 1)
        width = min(arr.shape[1], len(cols))
        return [{cols[j]: arr[i, j] for j in range(width)} for i in range(arr.shape[0])]
    except Exception:  # noqa: BLE001
        try:
            return [{cols[j]: row[j] for j in range(min(len(row), len(cols)))} for row in X]
        except Exception:  # noqa: BLE001
            return []


def _fo(outputs: Any, n: int) -> List[Any]:
    if not isinstance(n, numbers.Number):
        raise TypeError(f"n must be an int, not {type(n).__name__}")
    n = int(n)
    if outputs is None:
        return [None] * n
    if isinstance(outputs, (str, bytes)):  # one label, not a sequence of characters
        return [outputs] + [None] * (n - 1)
    try:
        import numpy as np

        arr = np.asarray(outputs)
        if arr.ndim == 2:
            arr = arr[:, -1]
        listed = arr.tolist()
        if isinstance(listed, list):
            return listed
    except Exception:  # noqa: BLE001
        pass
    try:
        return list(outputs)
    except TypeError:
        return [outputs] + [None] * (n - 1)


# ---- HTTP transport ----------------------------------------------------------------------------------

_MAX_ERROR_TEXT = 200


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    """urllib would copy the Authorization header onto a redirected request: a 3xx is answered
    as an error instead, so the bearer key never leaves for another host."""

    def redirect_request(self, req, fp, code, msg, headers, newurl):  # noqa: D102
        return None


_opener = urllib.request.build_opener(_NoRedirect)
_opener.addheaders = []  # exactly the four headers below, no default User-Agent


def _request(method: str, url: str, api_key: str, payload: Any, timeout: Any, where: str) -> Any:
    if type(url) is not str:
        raise TypeError(f"url must be a str, not {type(url).__name__}")
    if type(api_key) is not str:
        raise TypeError(f"api_key must be a str, not {type(api_key).__name__}")
    if type(timeout) is not int:
        if not isinstance(timeout, numbers.Number):
            raise TypeError(f"timeout must be a number, not {type(timeout).__name__}")
        timeout = int(timeout)
    if timeout <= 0:  # 0.5 would become 0, and a socket with time-out 0 fails at once
        raise ValueError(f"timeout must be at least 1 second, not {timeout}")
    scheme = urllib.parse.urlsplit(url).scheme.lower()
    if scheme not in ("http", "https"):
        raise ValueError(f"only http and https URLs are allowed, not {url!r}")
    body = _fast_dumps(payload, default=str).encode("utf-8")
    request = urllib.request.Request(url, data=body, method=method, headers={
        "Authorization": "Bearer " + api_key,
        "Content-Type": "application/json",
        "Accept": "application/json",
        "User-Agent": "tallyra-python-client/1.0",
    })
    try:
        with _opener.open(request, timeout=timeout) as response:
            result = _fast_loads(response.read().decode("utf-8"))
    except urllib.error.HTTPError as e:
        text = e.read().decode("utf-8", "replace")[:_MAX_ERROR_TEXT]
        raise RuntimeError("HTTP " + str(e.code) + where + url + ": " + text) from e
    if result is not None and not isinstance(result, dict):
        raise TypeError(f"the service answered with a JSON {type(result).__name__}, not an object")
    return result


def _post_json(url: str, api_key: str, payload: Any, timeout: int = 120) -> dict:
    return _request("POST", url, api_key, payload, timeout, " from ")


def _patch_json(url: str, api_key: str, payload: dict, timeout: int = 30) -> dict:
    if type(payload) is not dict:
        raise TypeError(f"payload must be a dict, not {type(payload).__name__}")
    return _request("PATCH", url, api_key, payload, timeout, " (PATCH) from ")


# ---- provenance sync -----------------------------------------------------------------------------

_SYNC = "[tallyra] validate() provenance: "


def _sync_prov(X: Any, y: Any, protected_data: Any, protected_columns: List[str], model_name: str,
               model_version: str, api_key: str, service_url: str, model_id: str = "") -> None:
    if type(protected_columns) is not list:
        raise TypeError(f"protected_columns must be a list, not {type(protected_columns).__name__}")
    for name, value in (("model_name", model_name), ("model_version", model_version),
                        ("api_key", api_key), ("service_url", service_url), ("model_id", model_id)):
        if type(value) is not str:
            raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    PAGE = 100
    PAGE_V = 500
    base = service_url.rstrip("/")
    feature_cols = _cn(X)
    prot_cols = _cn(protected_data, "protected") if protected_data is not None else []
    all_cols = feature_cols + [c for c in prot_cols if c not in feature_cols]
    try:
        answer = _post_json(base + "/v1/pipelines", api_key, {
            "pipeline_name": model_name + "_v" + model_version,
            "config": {"model_name": model_name, "model_version": model_version,
                       "model_id": model_id}})
        pipeline_id = int(answer["pipeline_id"])
    except Exception as e:  # noqa: BLE001 - without a run nothing else can be sent
        logger.error(_SYNC + "pipeline creation failed: %s", e)
        return
    validation_fp = _content_hash("validation", model_name, model_version)
    source_fp: Dict[str, int] = {}
    nodes: List[Dict[str, Any]] = []
    for col in all_cols:
        is_protected = col in prot_cols or col in protected_columns
        fp = _content_hash("source", model_name, col)
        source_fp[col] = fp
        nodes.append({"fingerprint": fp, "node_type": "source",
                      "operation": "source_protected" if is_protected else "source_feature",
                      "table_name": model_name, "column_name": col, "pair_id": fp,
                      "is_protected": is_protected, "pipeline_id": pipeline_id})
        try:
            _post_json(base + "/v1/sources", api_key, {
                "pair_id": fp, "table_name": model_name, "column_name": col,
                "is_protected": is_protected})
        except Exception:  # noqa: BLE001 - a source request may fail silently
            pass
    nodes.append({"fingerprint": validation_fp, "node_type": "computation",
                  "operation": "model_validate", "table_name": model_name, "column_name": "output",
                  "is_protected": False, "pipeline_id": pipeline_id,
                  "metadata": {"model_version": model_version, "model_id": model_id}})
    for start in range(0, len(nodes), PAGE):
        try:
            _post_json(base + "/v1/nodes", api_key, nodes[start:start + PAGE])
        except Exception as e:  # noqa: BLE001
            logger.warning(_SYNC + "node batch failed: %s", e)
    edges = [{"parent_fingerprint": source_fp[col], "child_fingerprint": validation_fp}
             for col in all_cols]
    for start in range(0, len(edges), PAGE):
        try:
            _post_json(base + "/v1/edges", api_key, edges[start:start + PAGE])
        except Exception as e:  # noqa: BLE001
            logger.warning(_SYNC + "edge batch failed: %s", e)
    n = _rc(X)
    if n == 0:
        return
    x_rows = _trd(X, feature_cols)
    prot_rows = _trd(protected_data, prot_cols) if protected_data is not None else []
    out_list = _fo(y, n)
    results = []
    for i in range(n):
        row = x_rows[i] if i < len(x_rows) else {}
        output = out_list[i] if i < len(out_list) else None
        results.append({
            "row_key": model_name + "_" + str(pipeline_id) + "_model_validate_" + str(i),
            "output_name": "model_validate", "fingerprint": validation_fp,
            "output_value": _gs(output)[0], "input_hash": _rh(row)})
    try:
        _post_json(base + "/v1/results", api_key, {"pipeline_id": pipeline_id, "results": results})
    except Exception as e:  # noqa: BLE001
        logger.error(_SYNC + "results upload failed: %s", e)
    values = []
    for i in range(n):
        row = x_rows[i] if i < len(x_rows) else {}
        prot_row = prot_rows[i] if i < len(prot_rows) else {}
        for col in feature_cols:
            number, text = _gs(row.get(col))
            values.append({"pipeline_id": pipeline_id, "row_index": i, "fingerprint": source_fp[col],
                           "node_operation": "source_feature", "column_name": col,
                           "value": number, "text_value": text})
        for col in prot_cols:
            number, text = _gs(prot_row.get(col))
            values.append({"pipeline_id": pipeline_id, "row_index": i, "fingerprint": source_fp[col],
                           "node_operation": "source_protected", "column_name": col,
                           "value": number, "text_value": text})
        number, text = _gs(out_list[i] if i < len(out_list) else None)
        values.append({"pipeline_id": pipeline_id, "row_index": i, "fingerprint": validation_fp,
                       "node_operation": "model_validate", "column_name": "output",
                       "value": number, "text_value": text})
    for start in range(0, len(values), PAGE_V):
        try:
            _post_json(base + "/v1/values", api_key, values[start:start + PAGE_V])
        except Exception as e:  # noqa: BLE001
            logger.error(_SYNC + "values batch failed: %s", e)
    try:
        _patch_json(base + "/v1/pipelines/" + str(pipeline_id), api_key,
                    {"status": "validation_complete"})
    except Exception:  # noqa: BLE001 - the completion may fail silently
        pass
