"""HostedStorage: the storage operations against the hosted service's HTTP/JSON API."""

from __future__ import annotations

import urllib.parse
from dataclasses import asdict
from typing import Any, Dict, List, Mapping, Optional, Sequence

from ._http import check_url, request_json
from .storage import ResolvedEdge, ResultRow, StoredEdge, StoredNode, StoredRowValue

POST_TIMEOUT = 120
PATCH_TIMEOUT = 30
GET_TIMEOUT = 30


class HostedStorage:
    """The hosted service as a storage. Every operation is one request under "/v1/" of
    `api_url`, authenticated with the bearer key."""

    def __init__(self, api_url: str, api_key: str, tenant_id: str = "default") -> None:
        if not isinstance(api_key, str):
            raise TypeError(f"api_key must be a str, not {type(api_key).__name__}")
        self.base = check_url(api_url).rstrip("/")
        self.api_key = api_key
        self.tenant_id = tenant_id

    def _post(self, path: str, payload: Any) -> Any:
        return request_json("POST", self.base + path, self.api_key, payload, POST_TIMEOUT)

    def _get(self, path: str, query: Optional[Dict[str, Any]] = None) -> Any:
        url = self.base + path + ("?" + urllib.parse.urlencode(query) if query else "")
        return request_json("GET", url, self.api_key, None, GET_TIMEOUT)

    # -- life cycle --

    def connect(self) -> None:
        """Checks that the service answers (GET /v1/health)."""
        self._get("/v1/health")

    def disconnect(self) -> None:
        """Nothing to close: every request has its own connection."""

    # -- runs and sources --

    def create_pipeline(self, pipeline_name: str = "unnamed", config: Optional[Dict[str, Any]] = None,
                        git_commit: Optional[str] = None, tenant_id: Optional[str] = None) -> int:
        answer = self._post("/v1/pipelines", {
            "pipeline_name": pipeline_name, "config": config, "git_commit": git_commit,
            "tenant_id": tenant_id if tenant_id is not None else self.tenant_id})
        return int(answer["pipeline_id"])

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        request_json("PATCH", f"{self.base}/v1/pipelines/{int(pipeline_id)}", self.api_key,
                     {"status": status}, PATCH_TIMEOUT)

    def register_source(self, pair_id: int, table: str, column: str, is_protected: bool = False) -> None:
        self._post("/v1/sources", {"pair_id": pair_id, "table_name": table, "column_name": column,
                                   "is_protected": bool(is_protected)})

    # -- writes --

    def store_nodes(self, nodes: Sequence[StoredNode]) -> None:
        if nodes:
            self._post("/v1/nodes", [asdict(n) for n in nodes])

    def store_edges(self, edges: Sequence[StoredEdge]) -> None:
        if edges:
            self._post("/v1/edges", [asdict(e) for e in edges])

    def store_edges_resolved(self, edges: Sequence[ResolvedEdge]) -> None:
        if edges:
            self._post("/v1/edges/resolved", [
                {"parent_node_id": p, "child_node_id": c, "input_position": i} for p, c, i in edges])

    def store_row_values(self, values: Sequence[StoredRowValue]) -> None:
        if values:
            self._post("/v1/values", [asdict(v) for v in values])

    def store_results(self, pipeline_id: int, results: Sequence[ResultRow]) -> None:
        self._post("/v1/results", {"pipeline_id": int(pipeline_id), "results": [
            {"row_key": k, "output_name": o, "fingerprint": f, "output_value": v, "input_hash": h}
            for k, o, f, v, h in results]})

    def get_fingerprint_node_map(self, pipeline_id: int) -> Mapping[int, int]:
        answer = self._get(f"/v1/pipelines/{int(pipeline_id)}/fingerprints") or {}
        return {int(fp): int(node_id) for fp, node_id in answer.get("fingerprints", {}).items()}

    # -- read-back --

    def list_pipelines(self) -> List[Dict[str, Any]]:
        return (self._get("/v1/pipelines") or {}).get("pipelines", [])

    def get_nodes(self, pipeline_id: int) -> List[Dict[str, Any]]:
        return (self._get(f"/v1/pipelines/{int(pipeline_id)}/nodes") or {}).get("nodes", [])

    def get_edges(self, pipeline_id: int) -> List[Dict[str, Any]]:
        return (self._get(f"/v1/pipelines/{int(pipeline_id)}/edges") or {}).get("edges", [])

    def get_row_values(self, pipeline_id: int, row_index: Optional[int] = None) -> List[Dict[str, Any]]:
        query = {} if row_index is None else {"row_index": int(row_index)}
        return (self._get(f"/v1/pipelines/{int(pipeline_id)}/values", query) or {}).get("values", [])

    def get_results(self, row_key: str) -> List[Dict[str, Any]]:
        return (self._get("/v1/results", {"row_key": str(row_key)}) or {}).get("results", [])
