"""tallyra: cell-level provenance for pandas decision pipelines.

The provenance layers live in `tallyra.utilities` (`korval32`, `korval32_dag`, `persistence`).
This module holds the few entry points of the upload client:

- `configure(api_key=..., service_url=...)` once, with the hosted service's address and key;
- `register_source(df, table_name)` for each source table a model's inputs come from;
- `upload(...)` to send a model's inputs, outputs and their sources to the service;
- `validate(...)` to upload and then send the validation's provenance graph as well.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, Optional

__all__ = ["configure", "register_source", "upload", "validate"]

_config: Dict[str, Optional[str]] = {"api_key": None, "service_url": None, "tenant_id": None}


def configure(api_key: str, service_url: str, tenant_id: Optional[str] = None) -> None:
    """Set the API key and base URL of the hosted service (and the tenant, if any)."""
    for name, value in (("api_key", api_key), ("service_url", service_url)):
        if not isinstance(value, str) or not value:
            raise TypeError(f"{name} must be a non-empty str")
    if tenant_id is not None and not isinstance(tenant_id, str):
        raise TypeError("tenant_id must be a str or None")
    from urllib.parse import urlsplit

    if urlsplit(service_url).scheme.lower() not in ("http", "https"):
        raise ValueError(f"service_url must be an http or https URL, not {service_url!r}")
    _config.update(api_key=api_key, service_url=service_url.rstrip("/"), tenant_id=tenant_id)


def register_source(df: Any, table_name: str) -> None:
    """Remember which source table the columns of `df` come from, for later uploads."""
    from . import wrapper

    wrapper._registry.register(df, table_name)


def _prepare(model: Any, predictions: Any, train_df: Any, test_df: Any, label_column: Any,
             X_train: Any, y_train: Any, X_test: Any, y_test: Any, protected_columns: Iterable[str],
             model_name: Any, model_version: Any, model_id: Any) -> Dict[str, Any]:
    """Checks everything, resolves the inputs and predicts; nothing is sent."""
    if not _config["api_key"] or not _config["service_url"]:
        raise RuntimeError("tallyra is not configured: call tallyra.configure(api_key=..., "
                           "service_url=...) first")
    for name, value in (("model_name", model_name), ("model_version", model_version),
                        ("model_id", model_id)):
        if type(value) is not str:
            raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if isinstance(protected_columns, str):
        raise TypeError("protected_columns must be a list or tuple of column names, not a str")
    protected = list(protected_columns)
    if not all(isinstance(c, str) for c in protected):
        raise TypeError("protected_columns must hold column names as str")
    if label_column is not None and not isinstance(label_column, str):
        raise TypeError(f"label_column must be a str, not {type(label_column).__name__}")
    if model is None and predictions is None:
        raise ValueError("pass model= (to predict locally) or predictions=")
    from . import wrapper

    X_train, y_train, X_test, y_test, protected_df = wrapper._resolve_inputs(
        train_df, test_df, label_column, X_train, y_train, X_test, y_test, protected)
    if predictions is None:
        predictions = wrapper._run_local_predict(model, X_test)
    return {"X_train": X_train, "y_train": y_train, "X_test": X_test, "y_test": y_test,
            "protected_df": protected_df, "predictions": predictions, "protected": protected}


def _send(model: Any, prepared: Dict[str, Any], model_name: str, model_version: str,
          model_id: str) -> Any:
    from . import wrapper

    X_test = prepared["X_test"]
    mapping = wrapper._registry.resolve(X_test)
    payload = {
        "model_name": model_name,
        "model_version": model_version,
        "model_id": model_id,
        "model_hash": wrapper._compute_model_hash(model) if model is not None else None,
        "tenant_id": _config["tenant_id"],
        "inputs": {
            "X_test": wrapper._serialize(X_test),
            "y_test": wrapper._serialize(prepared["y_test"]),
            "X_train": wrapper._serialize(prepared["X_train"]),
            "y_train": wrapper._serialize(prepared["y_train"]),
        },
        "outputs": wrapper._serialize(prepared["predictions"]),
        "protected_attributes": wrapper._serialize(prepared["protected_df"]),
        "protected_columns": prepared["protected"],
        "source_mapping": {str(k): v for k, v in mapping.items()},
        "source_snapshots": wrapper._registry.build_source_snapshots(X_test),
        "source_metadata": wrapper._registry.get_source_metadata(),
    }
    return wrapper._post_json(_config["service_url"] + "/v1/uploads", _config["api_key"], payload)


def upload(model: Any = None, predictions: Any = None, train_df: Any = None, test_df: Any = None,
           label_column: Optional[str] = None, X_train: Any = None, y_train: Any = None,
           X_test: Any = None, y_test: Any = None, protected_columns: Iterable[str] = (), *,
           model_name: str, model_version: str, model_id: str = "") -> Any:
    """Upload a model's test inputs, its outputs and their sources to the hosted service.

    Give test_df= with label_column= (DataFrame mode), or X_test= and y_test= (array mode).
    Without predictions=, the model predicts locally. Columns named in protected_columns are
    sent apart from the features. Returns the service's answer to POST /v1/uploads.
    """
    prepared = _prepare(model, predictions, train_df, test_df, label_column, X_train, y_train,
                        X_test, y_test, protected_columns, model_name, model_version, model_id)
    return _send(model, prepared, model_name, model_version, model_id)


def validate(model: Any = None, predictions: Any = None, train_df: Any = None, test_df: Any = None,
             label_column: Optional[str] = None, X_train: Any = None, y_train: Any = None,
             X_test: Any = None, y_test: Any = None, protected_columns: Iterable[str] = (), *,
             model_name: str, model_version: str, model_id: str = "") -> Any:
    """As upload(), then send the validation's provenance graph: a source node per input
    column, one node for the model, per-row results and values. Returns upload()'s answer."""
    prepared = _prepare(model, predictions, train_df, test_df, label_column, X_train, y_train,
                        X_test, y_test, protected_columns, model_name, model_version, model_id)
    answer = _send(model, prepared, model_name, model_version, model_id)
    from . import wrapper

    wrapper._sync_prov(prepared["X_test"], prepared["predictions"], prepared["protected_df"],
                       prepared["protected"], model_name, model_version, _config["api_key"],
                       _config["service_url"], model_id)
    return answer
