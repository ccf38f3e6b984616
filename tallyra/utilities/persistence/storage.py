"""Records handed to a storage, and the protocol every storage back end offers."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Protocol, Sequence, Tuple, runtime_checkable

# A resolved edge: (parent node's storage id, child node's storage id, input position).
ResolvedEdge = Tuple[int, int, int]
# A per-row result: (row key, output name, fingerprint, output value, input hash).
ResultRow = Tuple[str, str, int, Optional[float], Optional[str]]


@dataclass(slots=True)
class StoredNode:
    """One node of a run, stored once per provenance word (its fingerprint)."""

    fingerprint: int
    node_type: str
    operation: str
    table_name: Optional[str] = None
    column_name: Optional[str] = None
    pair_id: Optional[int] = None
    is_protected: bool = False
    entity_hash: Optional[int] = None
    chain_hash: Optional[int] = None
    metadata: Optional[Dict[str, Any]] = None
    pipeline_id: Optional[int] = None


@dataclass(slots=True)
class StoredEdge:
    """One input relation, by the fingerprints of the two nodes. A writer stamps an edge without
    a run with the run of the node written before it, the edge's child."""

    parent_fingerprint: int
    child_fingerprint: int
    input_position: int
    pipeline_id: Optional[int] = None


@dataclass(slots=True)
class StoredRowValue:
    """The value of one row at one node: a number, or a text when the value is not a number."""

    pipeline_id: int
    row_index: int
    fingerprint: int
    node_operation: str
    value: Optional[float] = None
    column_name: Optional[str] = None
    tenant_id: Optional[str] = None
    text_value: Optional[str] = None


@runtime_checkable
class StorageBackend(Protocol):
    """What the tracker, the writer and a reviewer call on a storage."""

    # -- life cycle --
    def connect(self) -> None: ...
    def disconnect(self) -> None: ...

    # -- runs and sources --
    def create_pipeline(self, pipeline_name: str = "unnamed", config: Optional[Dict[str, Any]] = None,
                        git_commit: Optional[str] = None, tenant_id: Optional[str] = None) -> int: ...
    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None: ...
    def register_source(self, pair_id: int, table: str, column: str, is_protected: bool = False) -> None: ...

    # -- writes (each call one transaction) --
    def store_nodes(self, nodes: Sequence[StoredNode]) -> None: ...
    def store_edges(self, edges: Sequence[StoredEdge]) -> None: ...
    def store_edges_resolved(self, edges: Sequence[ResolvedEdge]) -> None: ...
    def store_row_values(self, values: Sequence[StoredRowValue]) -> None: ...
    def store_results(self, pipeline_id: int, results: Sequence[ResultRow]) -> None: ...
    def get_fingerprint_node_map(self, pipeline_id: int) -> Mapping[int, int]: ...

    # -- read-back --
    def list_pipelines(self) -> List[Dict[str, Any]]: ...
    def get_nodes(self, pipeline_id: int) -> List[Dict[str, Any]]: ...
    def get_edges(self, pipeline_id: int) -> List[Dict[str, Any]]: ...
    def get_row_values(self, pipeline_id: int, row_index: Optional[int] = None) -> List[Dict[str, Any]]: ...
    def get_results(self, row_key: str) -> List[Dict[str, Any]]: ...
