"""KORVAL-32 with a complete computation DAG.

The 32-bit provenance word of a value serves as its tamper-proof fingerprint, while the DAG
registry logs every source column and every operation, so that the full lineage of any result
value can be reconstructed, including how taint and depth propagated along it.
"""

from __future__ import annotations

import hashlib
import json
import logging
import threading
import warnings
from collections import deque
from dataclasses import dataclass, field
from enum import Enum, auto
from typing import Any, Callable, Dict, Iterable, List, Optional, Set, Tuple

import numpy as np
import pandas as pd

from .korval32 import (OpCode, ProvenanceTracker, _aligned, _broadcast_first, _int, _negate,
                       _row_entity_bits, _text, combine_batch, encode_source_column,
                       update_chain_batch)

logger = logging.getLogger(__name__)

NO_NODE = -1  # node ids are never negative: -1 marks an element that no node produced


# ---- records and exports ---------------------------------------------------------------------------

class NodeType(Enum):
    """Types of nodes in the computation DAG."""

    SOURCE = auto()
    CONSTANT = auto()
    UNARY = auto()
    BINARY = auto()
    AGGREGATE = auto()
    MERGE = auto()
    FILTER = auto()
    CUSTOM = auto()


def _dot_text(name: Any) -> str:
    """A name as it may stand inside a double-quoted DOT string: backslashes and quotes escaped,
    so that no table, column or operation name can end the label or add to the graph."""
    return str(name).replace("\\", "\\\\").replace('"', '\\"')


@dataclass(slots=True)
class DAGNode:
    """A node in the computation DAG.

    Each node is either a source column (a leaf node) or a computation step (an internal node).
    """

    node_id: int
    node_type: NodeType
    operation: str
    inputs: List[int]
    provenance: int
    metadata: Dict[str, Any] = field(default_factory=dict)
    table: Optional[str] = None
    column: Optional[str] = None
    pair_id: Optional[int] = None
    is_protected: bool = False

    @property
    def is_source(self) -> bool:
        return self.node_type == NodeType.SOURCE

    @property
    def is_leaf(self) -> bool:
        return len(self.inputs) == 0

    def to_dict(self) -> Dict[str, Any]:
        if self.table and self.column:
            name = f"{self.table}.{self.column}"
        elif self.operation:
            name = self.operation
        else:
            name = f"node_{self.node_id}"
        return {
            "id": self.node_id,
            "name": name,
            "type": self.node_type.name,
            "operation": self.operation,
            "inputs": self.inputs,
            "provenance": "0x" + format(self.provenance, "08X"),
            "table": self.table or None,
            "column": self.column or None,
            "pair_id": self.pair_id,
            "is_protected": self.is_protected,
            "metadata": self.metadata,
        }


@dataclass(slots=True)
class DAGEdge:
    """An edge in the computation DAG."""

    source_id: int
    target_id: int
    input_index: int

    def to_dict(self) -> Dict[str, int]:
        return {"source": self.source_id, "target": self.target_id, "input_index": self.input_index}


@dataclass(slots=True)
class ComputationDAG:
    """Complete computation graph for a result value.

    Holds all nodes and edges needed to reconstruct how a value was derived from source data.
    """

    root_id: int
    nodes: Dict[int, DAGNode]
    edges: List[DAGEdge]

    @property
    def depth(self) -> int:
        """Maximum depth from root to any leaf."""
        # An explicit stack instead of recursion, so that long chains cannot exhaust the
        # interpreter's recursion limit; each node is computed once.
        memo: Dict[int, int] = {}
        on_path: Set[int] = set()
        stack: List[Tuple[int, bool]] = [(self.root_id, False)]
        while stack:
            node_id, expanded = stack.pop()
            if node_id in memo:
                continue
            node = self.nodes[node_id]  # KeyError for an id the graph does not hold
            if not node.inputs:
                memo[node_id] = 0
                continue
            if expanded:
                on_path.discard(node_id)
                memo[node_id] = 1 + max(memo[i] for i in node.inputs)
                continue
            if node_id in on_path:
                raise ValueError(f"the graph has a cycle through node {node_id}")
            on_path.add(node_id)
            stack.append((node_id, True))
            stack.extend((i, False) for i in node.inputs if i not in memo)
        return memo[self.root_id]

    @property
    def source_nodes(self) -> List[DAGNode]:
        """All source (leaf) nodes."""
        return [n for n in self.nodes.values() if n.is_source]

    @property
    def protected_sources(self) -> List[DAGNode]:
        """Source nodes from protected tables."""
        return [n for n in self.source_nodes if n.is_protected]

    @property
    def has_protected(self) -> bool:
        """Whether any protected data was used."""
        return len(self.protected_sources) > 0

    @property
    def operation_counts(self) -> Dict[str, int]:
        """Count of each operation type."""
        counts: Dict[str, int] = {}
        for node in self.nodes.values():
            counts[node.operation] = counts.get(node.operation, 0) + 1
        return counts

    def column_taint_risks(self) -> Dict[str, float]:
        """Return {column_name: max_risk_score} for all tainted columns."""
        risks: Dict[str, float] = {}
        for node in self.nodes.values():
            if not node.column or not ProvenanceTracker.is_tainted(node.provenance):
                continue
            risk = ProvenanceTracker.risk_score(node.provenance)
            if node.column not in risks or risk > risks[node.column]:
                risks[node.column] = risk
        return risks

    def to_dict(self) -> Dict[str, Any]:
        """Convert to dictionary for JSON serialization."""
        return {
            "root_id": self.root_id,
            "depth": self.depth,
            "node_count": len(self.nodes),
            "edge_count": len(self.edges),
            "has_protected": self.has_protected,
            "taint_risks": self.column_taint_risks(),
            "sources": [n.to_dict() for n in self.source_nodes],
            "protected_sources": [n.to_dict() for n in self.protected_sources],
            "operation_counts": self.operation_counts,
            "nodes": {str(nid): n.to_dict() for nid, n in self.nodes.items()},
            "edges": [e.to_dict() for e in self.edges],
        }

    def to_json(self, indent: int = 2) -> str:
        """Export as JSON string."""
        return json.dumps(self.to_dict(), indent=_int(indent, "indent"))

    def to_graphviz(self) -> str:
        """Export as Graphviz DOT format."""
        lines = ["digraph ComputationDAG {", "  rankdir=BT;", "  node [shape=box, style=filled];", ""]
        for nid, node in self.nodes.items():
            if node.is_source:
                label = _dot_text(node.table) + "\\n" + _dot_text(node.column)
                color = "#f59e0b" if node.is_protected else "#22d3ee"
            else:
                label = _dot_text(node.operation)
                color = "#c084fc" if nid == self.root_id else "#4ade80"
            lines.append(f'  n{nid} [label="{label}", fillcolor="{color}"];')
        lines.append("")
        for edge in self.edges:
            lines.append(f"  n{edge.source_id} -> n{edge.target_id};")
        lines.append("}")
        return "\n".join(lines)


# ---- DAGTracker -------------------------------------------------------------------------------------

def _metadata_arg(metadata: Any) -> Dict[str, Any]:
    """The caller's metadata when it is a non-empty dict, else a new empty dict."""
    if metadata is None:
        return {}
    if not isinstance(metadata, dict):
        raise TypeError(f"metadata must be a dict or None, not {type(metadata).__name__}")
    return metadata if metadata else {}


def _id_list(ids: Any, name: str) -> List[int]:
    if not isinstance(ids, list):
        raise TypeError(f"{name} must be a list, not {type(ids).__name__}")
    return ids


_SOURCE, _UNARY, _BINARY = NodeType.SOURCE, NodeType.UNARY, NodeType.BINARY

_storage_records: Any = None


def _records() -> Any:
    """The persistence package's storage module, imported on first use (an ImportError each
    time it is missing; once found, it is kept)."""
    global _storage_records
    if _storage_records is None:
        from tallyra.utilities.persistence import storage

        _storage_records = storage
    return _storage_records


class DAGTracker(ProvenanceTracker):
    """Extended KORVAL-32 tracker with full DAG reconstruction.

    Keeps all KORVAL-32 functionality (taint propagation, depth tracking, gradient risk
    scoring) and adds complete operation logging, DAG reconstruction from any provenance value,
    export of the graphs, and optional persistence of the log as evidence.
    """

    def __init__(self, api_key: Optional[str] = None, tenant_id: Optional[str] = None,
                 service_url: str = "", pipeline_name: Optional[str] = None) -> None:
        """Create a tracker.

        Args:
            api_key: API key of the hosted service; required for persistence.
            tenant_id: Tenant of the hosted service; derived from the API key when omitted.
            service_url: Base address of the hosted service.
            pipeline_name: Name of this pipeline execution.
        """
        super().__init__()
        self._dag_lock = threading.Lock()
        self._nodes: Dict[int, DAGNode] = {}
        self._next_node_id = 0
        self._value_buffer: List[Any] = []
        self._value_buffer_lock = threading.Lock()
        self._value_flush_threshold = 5000
        self._nodes_persisted = False
        self._max_nodes = 500000
        self._prov_to_nodes: Dict[int, List[int]] = {}
        self._source_nodes: Dict[Tuple[str, str], int] = {}
        self._writer: Any = None
        self._storage: Any = None
        self._pipeline_id: Optional[int] = None
        self._pipeline_name = pipeline_name
        self._api_key = api_key
        self._tenant_id = tenant_id
        self._service_url = service_url
        self._dashboard_synced = False
        # The check and the creation of a source node happen under this lock, so that two
        # threads never make two source nodes for one column. It is taken before _dag_lock,
        # never while holding it.
        self._source_lock = threading.Lock()
        # Fingerprints and edges already handed to the writer in the current run: the storage
        # keeps one of each per run, so the writer needs each only once.
        self._handed_nodes: Set[int] = set()
        self._handed_edges: Set[Tuple[int, int, int]] = set()
        self._run_failed = False  # the current run ended in an exception and was marked failed
        if isinstance(api_key, str) and api_key:
            self.enable_persistence()

    # -- the log -------------------------------------------------------------------------------

    def _create_node(self, node_type: NodeType, operation: str, inputs: List[int], provenance: int,
                     **kwargs: Any) -> int:
        with self._dag_lock:
            node_id = self._next_node_id
            self._next_node_id = node_id + 1
            node = DAGNode(node_id, node_type, operation, inputs, provenance, **kwargs)
            # Every node derived from protected data is flagged, not only protected sources.
            if not node.is_protected and provenance and self.is_tainted(provenance):
                node.is_protected = True
            self._store_locked(node)
        return node_id

    def _store_locked(self, node: DAGNode) -> None:
        """Indexes, persists and stores a new node; the caller holds _dag_lock."""
        provenance = node.provenance
        self._nodes[node.node_id] = node
        ids = self._prov_to_nodes.get(provenance)
        if ids is None:
            self._prov_to_nodes[provenance] = [node.node_id]
        else:
            ids.append(node.node_id)
        if self._writer:
            self._persist_node(node)
        if len(self._nodes) > self._max_nodes:
            self._evict_oldest_nodes()

    def _log_steps(self, node_type: NodeType, op_name: str, inputs: List[Optional[List[int]]],
                   words: List[int]) -> List[int]:
        """One node per element, as log_unary or log_binary would make them one call at a time:
        element i gets a node with inputs[i] and words[i], or NO_NODE where inputs[i] is None.
        The lock is taken once for the whole column."""
        out: List[int] = []
        append = out.append
        nodes, by_word = self._nodes, self._prov_to_nodes
        handed_nodes, handed_edges = self._handed_nodes, self._handed_edges
        # Rows of one column step mostly share their word: one int object per distinct word
        # keeps every node from holding an int of its own.
        shared: Dict[int, int] = {}
        last: Any = None  # (inputs, word) of the last node whose persistence was settled
        with self._dag_lock:
            for element_inputs, word in zip(inputs, words):
                if element_inputs is None:
                    append(NO_NODE)
                    continue
                word = shared.setdefault(word, word)
                node_id = self._next_node_id
                self._next_node_id = node_id + 1
                # the taint bit, as is_tainted reads it (not overridden here: see _logs_plainly)
                node = DAGNode(node_id, node_type, op_name, element_inputs, word, {}, None, None,
                               None, bool(word >> 29 & 1))
                # what _store_locked does, with the containers at hand
                nodes[node_id] = node
                ids = by_word.get(word)
                if ids is None:
                    by_word[word] = [node_id]
                else:
                    ids.append(node_id)
                if self._writer and (element_inputs, word) != last:
                    # _persist_node hands over only what the run has not seen; most rows of a
                    # step have nothing new, which these look-ups tell without the call.
                    fresh = word not in handed_nodes
                    if not fresh:
                        for position, input_id in enumerate(element_inputs):
                            parent = nodes.get(input_id)
                            if parent is not None and \
                                    (parent.provenance, word, position) not in handed_edges:
                                fresh = True
                                break
                    if fresh:
                        self._persist_node(node)
                    if word in handed_nodes:  # a failed hand-over is tried again next time
                        last = (element_inputs, word)
                if len(nodes) > self._max_nodes:
                    self._evict_oldest_nodes()
                    last = None  # an input may be gone now
                append(node_id)
        return out

    def _records_rows(self) -> bool:
        """False when record_row_value is DAGTracker's own and returns at once (no API key):
        callers may then leave out its calls, which would have had no effect."""
        return bool(self._api_key) or type(self).record_row_value is not DAGTracker.record_row_value \
            or "record_row_value" in vars(self)

    def _logs_plainly(self) -> bool:
        """True when this tracker logs exactly as DAGTracker does and records no row values, so
        that a column step may log its nodes in one pass instead of one call per element."""
        cls = type(self)
        return (not self._records_rows()
                and cls.combine is ProvenanceTracker.combine
                and cls.update_chain is ProvenanceTracker.update_chain
                and cls.is_tainted is ProvenanceTracker.is_tainted
                and cls.log_binary is DAGTracker.log_binary
                and cls.log_unary is DAGTracker.log_unary
                and cls._create_node is DAGTracker._create_node
                and not {"combine", "update_chain", "is_tainted", "log_binary", "log_unary",
                         "_create_node"} & vars(self).keys())

    def _evict_oldest_nodes(self) -> None:
        """Remove the oldest 10% of non-source nodes to stay under memory bound."""
        evict_count = len(self._nodes) // 10
        if evict_count == 0:
            return
        gone: Dict[int, Set[int]] = {}  # provenance word -> ids evicted in this pass
        evicted = 0
        for node_id in list(self._nodes):
            if evicted >= evict_count:
                break
            node = self._nodes[node_id]
            if node.node_type == NodeType.SOURCE:
                continue
            del self._nodes[node_id]
            gone.setdefault(node.provenance, set()).add(node_id)
            evicted += 1
        # Each word's list is rebuilt once: removing ids one at a time would shift a list of
        # every node sharing the word (all the rows of one column step) once per id.
        for word, ids_gone in gone.items():
            ids = self._prov_to_nodes.get(word)
            if ids is None:
                continue
            kept = [i for i in ids if i not in ids_gone]
            if kept:
                ids[:] = kept
            else:
                del self._prov_to_nodes[word]

    def create_source_node(self, table: str, column: str, provenance: int) -> int:
        _text(table, "table")
        _text(column, "column")
        provenance = _int(provenance, "provenance")
        if not table or not column:
            raise ValueError("table and column must be non-empty strings")
        with self._source_lock:
            if self._dashboard_synced:
                self._start_new_pipeline()
            key = (table, column)
            existing = self._source_nodes.get(key)
            if existing is not None:
                return existing
            pair_id = self.get_id(table, column)
            is_prot = self.is_protected(table, column)
            node_id = self._create_node(NodeType.SOURCE, f"{table}.{column}", [], provenance,
                                        table=table, column=column, pair_id=pair_id,
                                        is_protected=is_prot)
            self._source_nodes[key] = node_id
            return node_id

    def log_unary(self, op_name: str, input_node: int, result_prov: int,
                  metadata: Optional[Dict[str, Any]] = None) -> int:
        return self._create_node(_UNARY, _text(op_name, "op_name"),
                                 [_int(input_node, "input_node")], _int(result_prov, "result_prov"),
                                 metadata=_metadata_arg(metadata))

    def log_binary(self, op_name: str, left_node: int, right_node: int, result_prov: int,
                   metadata: Optional[Dict[str, Any]] = None) -> int:
        return self._create_node(_BINARY, _text(op_name, "op_name"),
                                 [_int(left_node, "left_node"), _int(right_node, "right_node")],
                                 _int(result_prov, "result_prov"), metadata=_metadata_arg(metadata))

    def log_merge(self, left_nodes: List[int], right_nodes: List[int], result_prov: int,
                  merge_type: str = "inner", metadata: Optional[Dict[str, Any]] = None) -> int:
        inputs = _id_list(left_nodes, "left_nodes") + _id_list(right_nodes, "right_nodes")
        meta: Dict[str, Any] = {"merge_type": _text(merge_type, "merge_type")}
        meta.update(_metadata_arg(metadata))
        return self._create_node(NodeType.MERGE, "merge_" + merge_type, inputs,
                                 _int(result_prov, "result_prov"), metadata=meta)

    def log_aggregate(self, op_name: str, input_nodes: List[int], result_prov: int,
                      metadata: Optional[Dict[str, Any]] = None) -> int:
        return self._create_node(NodeType.AGGREGATE, _text(op_name, "op_name"),
                                 _id_list(input_nodes, "input_nodes"),
                                 _int(result_prov, "result_prov"), metadata=_metadata_arg(metadata))

    # -- queries -------------------------------------------------------------------------------

    def get_node(self, node_id: int) -> Optional[DAGNode]:
        return self._nodes.get(_int(node_id, "node_id"))

    def get_nodes_for_provenance(self, provenance: int) -> List[DAGNode]:
        return [self._nodes[i] for i in self._prov_to_nodes.get(_int(provenance, "provenance"), [])]

    def get_dag(self, root_node_id: int) -> ComputationDAG:
        root_node_id = _int(root_node_id, "root_node_id")
        visited: Set[int] = set()
        queue = deque([root_node_id])
        nodes: Dict[int, DAGNode] = {}
        edges: List[DAGEdge] = []
        while queue:
            node_id = queue.popleft()
            if node_id in visited:
                continue
            visited.add(node_id)
            node = self._nodes.get(node_id)
            if node is None:
                continue
            nodes[node_id] = node
            for i, input_id in enumerate(node.inputs):
                edges.append(DAGEdge(source_id=input_id, target_id=node_id, input_index=i))
                if input_id not in visited:
                    queue.append(input_id)
        return ComputationDAG(root_id=root_node_id, nodes=nodes, edges=edges)

    def get_dag_for_provenance(self, provenance: int) -> Optional[ComputationDAG]:
        nodes = self.get_nodes_for_provenance(provenance)
        if not nodes:
            return None
        return self.get_dag(max(n.node_id for n in nodes))

    def dag_stats(self) -> Dict[str, Any]:
        nodes = list(self._nodes.values())
        sources = sum(1 for n in nodes if n.is_source)
        counts: Dict[str, int] = {}
        for n in nodes:
            if not n.is_source:
                counts[n.operation] = counts.get(n.operation, 0) + 1
        return {
            "total_nodes": len(nodes),
            "source_nodes": sources,
            "protected_sources": sum(1 for n in nodes if n.is_protected),
            "operation_nodes": len(nodes) - sources,
            "operation_counts": counts,
            "unique_provenances": len(self._prov_to_nodes),
        }

    # -- context manager -------------------------------------------------------------------------

    def __enter__(self) -> "DAGTracker":
        return self

    def __exit__(self, exc_type: Any, exc_val: Any, exc_tb: Any) -> bool:
        if exc_type is not None:
            # A run ended by an exception is failed, and stays so: the dashboard record of the
            # flush below says so, and disable_persistence() does not complete it afterwards.
            self._run_failed = True
        self.flush()
        if exc_type is not None and self._storage and self._pipeline_id:
            self._storage.complete_pipeline(self._pipeline_id, status="failed")
        self.disable_persistence()
        return False

    def __del__(self) -> None:
        try:
            self.disable_persistence()
        except Exception:  # noqa: BLE001 - a finalizer must not raise
            pass

    # -- persistence -------------------------------------------------------------------------------

    def enable_persistence(self) -> None:
        """Open the hosted storage, start a pipeline run and the background writer."""
        from tallyra.utilities.persistence import AsyncWriter, HostedStorage, WriterConfig

        self._storage = HostedStorage(api_url=self._service_url, api_key=self._api_key,
                                      tenant_id=self._tenant_id or "default")
        try:
            self._storage.connect()
            self._pipeline_id = self._storage.create_pipeline(
                pipeline_name=self._pipeline_name or "unnamed_pipeline", config=None,
                git_commit=None, tenant_id=self._tenant_id)
            config = WriterConfig(batch_size=100, flush_interval=1.0, queue_size=10000)
            self._writer = AsyncWriter(self._storage, config)
            self._writer.start()
            self._handed_nodes.clear()
            self._handed_edges.clear()
            for (table, column), pair_id in self._name_to_id.items():
                self._writer.register_source(pair_id, table, column, self.is_protected(table, column))
        except Exception as e:  # noqa: BLE001 - reported as a warning; the log stays in memory
            if self._writer is not None:
                try:
                    self._writer.stop()
                except Exception:  # noqa: BLE001 - it is dropped either way
                    pass
            self._writer = None
            warnings.warn(f"Persistence initialization failed: {e}\nContinuing in memory-only mode.",
                          UserWarning, stacklevel=2)

    def disable_persistence(self) -> None:
        """Disable persistence and close connections."""
        writer = getattr(self, "_writer", None)
        if writer:
            # Buffered row values are written before the writer stops, not dropped with it.
            with self._value_buffer_lock:
                if self._value_buffer:
                    writer.write_row_values(list(self._value_buffer))
                    self._value_buffer.clear()
            writer.stop()  # writes everything queued, then ends the thread
            self._writer = None
        if getattr(self, "_storage", None):
            if self._pipeline_id is not None and not self._run_failed:
                self._storage.complete_pipeline(self._pipeline_id, status="completed")
            self._storage.disconnect()
            self._storage = None
        self._pipeline_id = None

    def _persist_node(self, node: DAGNode) -> None:
        """Hand a new node and its edges to the writer; called with _dag_lock held.

        Each fingerprint and each (parent word, child word, position) goes to the writer once
        per run: the rows of one column step share them, and the storage keeps one of each.
        """
        try:
            records = _storage_records or _records()
        except ImportError:
            logger.error("Persistence module unavailable — provenance data is NOT being saved to "
                         "storage. Install tallyra with persistence extras or check your "
                         "installation.")
            return
        word = node.provenance
        if word not in self._handed_nodes:
            info = self.decode_full(word)
            stored = records.StoredNode(fingerprint=word, node_type=node.node_type.name,
                                        operation=node.operation, table_name=node.table,
                                        column_name=node.column, pair_id=node.pair_id,
                                        is_protected=node.is_protected, entity_hash=info.entity,
                                        chain_hash=info.chain, metadata=node.metadata,
                                        pipeline_id=self._pipeline_id)
            try:
                self._writer.write_node(stored)
                self._handed_nodes.add(word)
            except Exception as e:  # noqa: BLE001 - the node stays in memory
                logger.warning("Failed to persist DAG node %d: %s", node.node_id, e)
        nodes, handed = self._nodes, self._handed_edges
        edges = None
        position = 0
        for input_id in node.inputs:
            parent = nodes.get(input_id)
            if parent is not None:  # not evicted
                key = (parent.provenance, word, position)
                if key not in handed:
                    handed.add(key)
                    if edges is None:
                        edges = []
                    edges.append(records.StoredEdge(parent_fingerprint=key[0],
                                                    child_fingerprint=word,
                                                    input_position=position))
            position += 1
        if edges:
            try:
                self._writer.write_edges(edges)
            except Exception as e:  # noqa: BLE001 - the node stays in memory
                handed.difference_update((e_.parent_fingerprint, e_.child_fingerprint,
                                          e_.input_position) for e_ in edges)
                logger.warning("Failed to persist DAG edges for node %d: %s", node.node_id, e)

    def record_row_value(self, row_index: int, fingerprint: int, operation: str, value: Any = None,
                         column_name: Optional[str] = None) -> None:
        """Buffer a per-row value for later persistence."""
        row_index = _int(row_index, "row_index")
        fingerprint = _int(fingerprint, "fingerprint")
        if not self._api_key:
            # Without an API key no writer can ever exist to take the values: keeping them would
            # only grow the buffer for the life of the tracker.
            return
        StoredRowValue = (_storage_records or _records()).StoredRowValue
        if value is None:
            number, text = None, None
        else:
            try:
                number, text = float(value), None
            except (ValueError, TypeError, OverflowError):
                number, text = None, str(value)
        # by position, in the order of the fields: pipeline_id, row_index, fingerprint,
        # node_operation, value, column_name, tenant_id, text_value
        record = StoredRowValue(self._pipeline_id or 0, row_index, fingerprint, operation, number,
                                column_name, self._tenant_id, text)
        with self._value_buffer_lock:
            self._value_buffer.append(record)
            if len(self._value_buffer) >= self._value_flush_threshold and self._writer:
                self._writer.write_row_values(list(self._value_buffer))
                self._value_buffer.clear()

    def flush(self, timeout: float = 30.0) -> bool:
        """Write what is buffered and queued, the run's log once, and sync the dashboard once.

        Returns False when the writer still had writes queued at the time-out, True otherwise.
        """
        if not isinstance(timeout, (int, float)) or isinstance(timeout, bool):
            raise TypeError(f"timeout must be a real number, not {type(timeout).__name__}")
        if not self._writer:
            return True
        with self._value_buffer_lock:
            if self._value_buffer:
                self._writer.write_row_values(list(self._value_buffer))
                self._value_buffer.clear()
        drained = self._writer.flush(timeout=float(timeout))
        if not self._nodes_persisted and self._storage and self._pipeline_id:
            self._persist_dag_to_storage()
            self._nodes_persisted = True
        if not self._dashboard_synced:
            self._sync_to_dashboard()
            self._dashboard_synced = True
        return drained is not False

    def get_persistence_stats(self) -> Dict[str, Any]:
        if self._writer:
            stats = self._writer.get_stats()
            if not isinstance(stats, dict):
                raise TypeError(f"writer statistics must be a dict, not {type(stats).__name__}")
            return stats
        return {"nodes_written": getattr(self, "_nodes_written", 0),
                "edges_written": getattr(self, "_edges_written", 0)}

    def _first_node_per_word(self) -> List[DAGNode]:
        """The first node logged for each provenance word, in creation order."""
        kept: Dict[int, DAGNode] = {}
        for node in self._nodes.values():
            kept.setdefault(node.provenance, node)
        return list(kept.values())

    def _resolved_edges(self, fingerprint_map: Any) -> List[Tuple[int, int, int]]:
        """One (parent id, child id, position) per distinct (parent word, child word, position),
        by the storage's ids; edges from evicted inputs or to words the map lacks are left out."""
        seen: Set[Tuple[int, int, int]] = set()
        edges: List[Tuple[int, int, int]] = []
        for node in self._nodes.values():
            for i, input_id in enumerate(node.inputs):
                parent = self._nodes.get(input_id)
                if parent is None:
                    continue
                key = (int(parent.provenance), int(node.provenance), i)
                if key in seen:
                    continue
                seen.add(key)
                parent_id = fingerprint_map.get(key[0])
                child_id = fingerprint_map.get(key[1])
                if parent_id is None or child_id is None:
                    continue
                edges.append((parent_id, child_id, i))
        return edges

    def _persist_dag_to_storage(self) -> None:
        """Persist deduplicated nodes and edges to storage."""
        from tallyra.utilities.persistence.storage import StoredNode

        stored = []
        for node in self._first_node_per_word():
            info = self.decode_full(node.provenance)
            stored.append(StoredNode(
                fingerprint=int(node.provenance), node_type=node.node_type.name,
                operation=node.operation, table_name=node.table, column_name=node.column,
                pair_id=None if node.pair_id is None else int(node.pair_id),
                is_protected=bool(node.is_protected), entity_hash=int(info.entity),
                chain_hash=int(info.chain), metadata=node.metadata, pipeline_id=self._pipeline_id))
        if stored:
            self._storage.store_nodes(stored)
            self._nodes_written = len(stored)
        edges = self._resolved_edges(self._storage.get_fingerprint_node_map(self._pipeline_id))
        if edges:
            self._storage.store_edges_resolved(edges)
            self._edges_written = len(edges)

    def _start_new_pipeline(self) -> None:
        """Start a new pipeline for the next run after a flush/sync cycle."""
        if not self._storage or not self._pipeline_id:
            return
        self._storage.complete_pipeline(self._pipeline_id, status="completed")
        self._pipeline_id = self._storage.create_pipeline(
            pipeline_name=self._pipeline_name or "unnamed_pipeline", config=None, git_commit=None,
            tenant_id=self._tenant_id)
        self._dashboard_synced = False
        self._nodes_persisted = False
        self._run_failed = False
        self._source_nodes.clear()
        self._handed_nodes.clear()
        self._handed_edges.clear()
        self._nodes_written = 0
        self._edges_written = 0

    # -- dashboard ---------------------------------------------------------------------------------

    def _sync_to_dashboard(self) -> None:
        """Sync pipeline results to dashboard tables via the API."""
        if not self._service_url or not self._api_key:
            return
        import urllib.error  # noqa: F401 - the errors the exchange may raise
        import urllib.request

        from tallyra.utilities.persistence._http import check_url, open_url

        node_count = getattr(self, "_nodes_written", 0)
        edge_count = getattr(self, "_edges_written", 0)
        name = self._pipeline_name
        pipeline = {
            "pipeline_name": name or "unnamed_pipeline",
            "status": "failed" if self._run_failed else "completed",
            "node_count": node_count,
            "edge_count": edge_count,
            "provenance_pipeline_id": self._pipeline_id,
        }
        model = {"model_id": name or "unnamed_pipeline", "name": name or "Unnamed Pipeline",
                 "version": "1.0", "status": "production", "domain": "credit"}
        protected_node = False
        columns = []
        for node in self._nodes.values():
            if node.is_protected:
                protected_node = True
                if node.table and node.column:
                    columns.append(node.table + "." + node.column)
        fairness = {
            "model_id": model["model_id"],
            "has_disparate_impact": protected_node,
            "protected_attributes": list(set(columns)),
            "details": {"node_count": node_count, "edge_count": edge_count,
                        "protected_sources": list(set(columns))},
        }
        url = check_url(self._service_url.rstrip("/") + "/v1/dashboard/sync")
        body = json.dumps({"pipeline": pipeline, "model": model, "fairness": fairness}).encode("utf-8")
        request = urllib.request.Request(url, data=body, method="POST", headers={
            "Authorization": "Bearer " + self._api_key, "Content-Type": "application/json"})
        try:
            with open_url(request, timeout=10) as response:  # no redirects: the key stays here
                response.read()
        except Exception as e:  # noqa: BLE001 - the sync is never fatal
            logger.warning("Dashboard sync failed (non-fatal): %s", e)

    # -- bulk route -----------------------------------------------------------------------------

    def persist_to_storage(self, storage: Any, pipeline_id: Optional[int] = None) -> int:
        """Persist all in-memory nodes and edges to storage in bulk.

        Call it after the pipeline completes: all tracking happens in memory during the
        pipeline, so the computation is not slowed by writes. Returns the run id used.
        """
        if pipeline_id is not None:
            pipeline_id = _int(pipeline_id, "pipeline_id")
        from tallyra.utilities.persistence.storage import StoredNode

        created = pipeline_id is None
        if created:
            pipeline_id = int(storage.create_pipeline(self._pipeline_name or "unnamed"))
        try:
            for pair_id, (table, column) in sorted(self._id_to_name.items()):
                storage.register_source(pair_id, table, column,
                                        is_protected=self.is_protected(table, column))
            storage.store_nodes([
                StoredNode(fingerprint=node.provenance, node_type=node.node_type.name,
                           operation=node.operation, table_name=node.table, column_name=node.column,
                           pair_id=node.pair_id, is_protected=node.is_protected,
                           pipeline_id=pipeline_id)
                for node in self._first_node_per_word()])
            storage.store_edges_resolved(
                self._resolved_edges(storage.get_fingerprint_node_map(pipeline_id)))
            storage.complete_pipeline(pipeline_id, "completed")
        except BaseException:
            if created:  # leave no run of ours open: it failed
                try:
                    storage.complete_pipeline(pipeline_id, "failed")
                except Exception:  # noqa: BLE001 - the original error is the one to report
                    pass
            raise
        return pipeline_id

    @staticmethod
    def persist_results(storage: Any, pipeline_id: int, row_keys: Iterable[Any],
                        outputs: Dict[str, "DAGTrackedSeries"], source_df: Optional[pd.DataFrame] = None) -> None:
        """Persist per-row output fingerprints to the pipeline_results table.

        Each result links a business key (an applicant id, say) to the fingerprint of the DAG
        that produced that row's output. With `source_df`, each row's SHA-256 hash is stored
        beside its results, so that the data can be rehashed later and compared.
        """
        pipeline_id = _int(pipeline_id, "pipeline_id")
        if type(outputs) is not dict:
            raise TypeError(f"outputs must be a dict, not {type(outputs).__name__}")
        keys = list(row_keys)
        hashes: List[Optional[str]] = []
        if source_df is not None:
            hashes = [hashlib.sha256(text.encode("utf-8")).hexdigest() if text is not None else None
                      for text in _row_json(source_df, len(keys))]
        texts = [str(key) for key in keys]
        results = []
        for name, series in outputs.items():
            words = np.asarray(series._prov).tolist()
            values = _elements(series.values)
            for i, key in enumerate(texts):
                results.append((key, name, int(words[i]) if i < len(words) else 0,
                                float(values[i]) if i < len(values) else None,
                                hashes[i] if hashes else None))
        storage.store_results(pipeline_id, results)


# ---- DAG-tracked Series -------------------------------------------------------------------------------

def _is_nan(value: Any) -> bool:
    return isinstance(value, (float, np.floating)) and value != value


def _padded(items: List[int], n: int, fill: int) -> List[int]:
    """The first n items, with `fill` for positions beyond the end."""
    return items[:n] + [fill] * (n - len(items)) if len(items) != n else items


def _padded_words(prov: np.ndarray, n: int) -> np.ndarray:
    """The words as a contiguous uint32 array of n entries, 0 past the end."""
    words = np.zeros(n, dtype=np.uint32)
    m = min(n, len(prov))
    words[:m] = prov[:m]
    return words


def _id_items(node_ids: np.ndarray, n: int, tracker: "DAGTracker") -> List[int]:
    """Node ids as Python ints, n of them (-1 past the end), each the very int object that its
    node holds as node_id: the inputs of the nodes logged from them then share those objects
    instead of holding a new int each. A column whose rows share one node, as every source
    column does, needs a single look-up."""
    nodes = tracker._nodes

    def canonical(i: int) -> int:
        node = nodes.get(i)
        return node.node_id if node is not None else i

    if len(node_ids) and (node_ids == node_ids[0]).all():
        return _padded([canonical(int(node_ids[0]))] * len(node_ids), n, NO_NODE)
    get = nodes.get
    return _padded([node.node_id if (node := get(i)) is not None else i
                    for i in node_ids.tolist()], n, NO_NODE)


def _elements(values: Any) -> List[Any]:
    """The values as a list, one Python object per element."""
    return values.tolist() if isinstance(values, np.ndarray) else list(values)


class DAGTrackedSeries(pd.Series):
    """Pandas Series with DAG-tracked provenance."""

    _metadata = ["_prov", "_tracker", "_node_ids"]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        prov = kwargs.pop("_prov", None)
        tracker = kwargs.pop("_tracker", None)
        node_ids = kwargs.pop("_node_ids", None)
        pd.Series.__init__(self, *args, **kwargs)
        self._prov = np.zeros(len(self), dtype=np.uint32) if prov is None else prov
        self._tracker = tracker
        self._node_ids = np.full(len(self), NO_NODE, dtype=np.int64) if node_ids is None else node_ids

    @property
    def _constructor(self) -> type:
        return DAGTrackedSeries

    def _carry(self, values: Any, index: Any) -> "DAGTrackedSeries":
        """A Series of new values that keeps this one's words and node ids, logging nothing."""
        return DAGTrackedSeries(values, index=index, _prov=self._prov.copy(), _tracker=self._tracker,
                                _node_ids=self._node_ids.copy())

    def _binop_dag(self, other: Any, np_op: Callable[[Any, Any], Any], op_name: str,
                   op_code: int) -> "DAGTrackedSeries":
        """Binary operation with DAG logging."""
        result_values = np_op(self.values, other.values if hasattr(other, "values") else other)
        tracker = self._tracker
        if not isinstance(other, DAGTrackedSeries) or not tracker:
            return self._carry(result_values, self.index)
        op_code = _int(op_code, "op_code")
        n = len(result_values)
        left_ids = _id_items(self._node_ids, n, tracker)
        right_ids = _id_items(other._node_ids, n, tracker)
        if tracker._logs_plainly():
            # The same words and nodes as the loop below, in one native call and one pass.
            words = combine_batch(tracker._native, _padded_words(self._prov, n),
                                  _padded_words(other._prov, n), op_code)
            inputs = [[left, right] if left >= 0 and right >= 0 else None
                      for left, right in zip(left_ids, right_ids)]
            nodes = tracker._log_steps(_BINARY, op_name, inputs, words.tolist())
            return DAGTrackedSeries(result_values, index=self.index, _prov=words, _tracker=tracker,
                                    _node_ids=np.array(nodes, dtype=np.int64))
        left_words = _padded(self._prov.tolist(), n, 0)
        right_words = _padded(other._prov.tolist(), n, 0)
        values = _elements(result_values)
        new_prov: List[int] = []
        new_nodes: List[int] = []
        combine, log_binary, record = tracker.combine, tracker.log_binary, tracker.record_row_value
        for i in range(n):
            combined = combine(left_words[i], right_words[i], op_code)
            new_prov.append(combined)
            left, right = left_ids[i], right_ids[i]
            new_nodes.append(log_binary(op_name, left, right, combined)
                             if left >= 0 and right >= 0 else NO_NODE)
            try:
                raw_val = values[i]
                if not _is_nan(raw_val):
                    record(i, combined, op_name, raw_val)
            except Exception:  # noqa: BLE001 - a value record never stops the operation
                pass
        return DAGTrackedSeries(result_values, index=self.index,
                                _prov=np.array(new_prov, dtype=np.uint32), _tracker=tracker,
                                _node_ids=np.array(new_nodes, dtype=np.int64))

    def _unop_dag(self, np_op: Callable[[Any], Any], op_name: str, op_code: int) -> "DAGTrackedSeries":
        """Unary operation with DAG logging."""
        return self._apply_tracked_unary(np_op(self.values), self.index, op_name, op_code)

    def _apply_tracked_unary(self, result_values: Any, result_index: Any, op_name: str,
                             op_code: int) -> "DAGTrackedSeries":
        """Advance every element's word by one step and log its node.

        Shared by fillna, replace and similar element-wise transforms.
        """
        tracker = self._tracker
        if not tracker:
            return self._carry(result_values, result_index)
        op_code = _int(op_code, "op_code")
        n = len(result_values)
        ids = _id_items(self._node_ids, n, tracker)
        if tracker._logs_plainly():
            new_words = update_chain_batch(tracker._native, _padded_words(self._prov, n), op_code)
            inputs = [[node] if node >= 0 else None for node in ids]
            nodes = tracker._log_steps(_UNARY, op_name, inputs, new_words.tolist())
            return DAGTrackedSeries(result_values, index=result_index, _prov=new_words,
                                    _tracker=tracker, _node_ids=np.array(nodes, dtype=np.int64))
        words = _padded(self._prov.tolist(), n, 0)
        values = _elements(result_values)
        new_prov: List[int] = []
        new_nodes: List[int] = []
        update_chain, log_unary, record = tracker.update_chain, tracker.log_unary, tracker.record_row_value
        for i in range(n):
            word = update_chain(words[i], op_code)
            new_prov.append(word)
            input_node = ids[i]
            new_nodes.append(log_unary(op_name, input_node, word) if input_node >= 0 else NO_NODE)
            try:
                raw_val = values[i]
                if not _is_nan(raw_val):
                    record(i, word, op_name, raw_val)
            except Exception:  # noqa: BLE001 - a value record never stops the operation
                pass
        return DAGTrackedSeries(result_values, index=result_index,
                                _prov=np.array(new_prov, dtype=np.uint32), _tracker=tracker,
                                _node_ids=np.array(new_nodes, dtype=np.int64))

    def __add__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, np.add, "add", OpCode.ADD)

    def __sub__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, np.subtract, "sub", OpCode.SUB)

    def __mul__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, np.multiply, "mul", OpCode.MUL)

    def __truediv__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, np.true_divide, "div", OpCode.DIV)

    def __floordiv__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, np.floor_divide, "floordiv", OpCode.DIV)

    def __pow__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, np.power, "pow", OpCode.MUL)

    def __radd__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, lambda a, b: np.add(b, a), "add", OpCode.ADD)

    def __rsub__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, lambda a, b: np.subtract(b, a), "sub", OpCode.SUB)

    def __rmul__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, lambda a, b: np.multiply(b, a), "mul", OpCode.MUL)

    def __rtruediv__(self, other: Any) -> "DAGTrackedSeries":
        return self._binop_dag(other, lambda a, b: np.true_divide(b, a), "div", OpCode.DIV)

    def __neg__(self) -> "DAGTrackedSeries":
        return self._unop_dag(_negate, "neg", OpCode.NEG)

    def __gt__(self, other: Any) -> "DAGTrackedSeries":  # type: ignore[override]
        return self._binop_dag(other, lambda a, b: a > b, "gt", OpCode.CMP)

    def __lt__(self, other: Any) -> "DAGTrackedSeries":  # type: ignore[override]
        return self._binop_dag(other, lambda a, b: a < b, "lt", OpCode.CMP)

    def __ge__(self, other: Any) -> "DAGTrackedSeries":  # type: ignore[override]
        return self._binop_dag(other, lambda a, b: a >= b, "ge", OpCode.CMP)

    def __le__(self, other: Any) -> "DAGTrackedSeries":  # type: ignore[override]
        return self._binop_dag(other, lambda a, b: a <= b, "le", OpCode.CMP)

    def clip(self, lower: Any = None, upper: Any = None) -> "DAGTrackedSeries":  # type: ignore[override]
        return self._unop_dag(lambda x: np.clip(x, lower, upper), "clip", OpCode.CLIP)

    def fillna(self, value: Any = 0, **kwargs: Any) -> Any:  # type: ignore[override]
        result = pd.Series.fillna(self, value, **kwargs)
        # pandas 3 returns the Series itself from an in-place fillna, pandas 2 returns None:
        # nothing new was made, so nothing is logged and pandas' answer is returned.
        if kwargs.get("inplace") or not isinstance(result, pd.Series):
            return result
        return self._apply_tracked_unary(result.values, result.index, "fillna", OpCode.FILL)

    def replace(self, *args: Any, **kwargs: Any) -> Any:  # type: ignore[override]
        result = pd.Series.replace(self, *args, **kwargs)
        if kwargs.get("inplace") or not isinstance(result, pd.Series):
            return result
        return self._apply_tracked_unary(result.values, result.index, "replace", OpCode.MAP)


# ---- DAG-tracked DataFrame -------------------------------------------------------------------------------

def _fit(array: np.ndarray, n: int, empty: int) -> np.ndarray:
    """The array itself when it has n entries, else n copies of its first entry (of `empty`)."""
    return array if len(array) == n else _broadcast_first(array, n, empty)


class DAGTrackedDataFrame(pd.DataFrame):
    """Pandas DataFrame with DAG-tracked provenance."""

    _metadata = ["_tracker", "_col_prov", "_col_nodes"]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        tracker = kwargs.pop("_tracker", None)
        col_prov = kwargs.pop("_col_prov", None)
        col_nodes = kwargs.pop("_col_nodes", None)
        pd.DataFrame.__init__(self, *args, **kwargs)
        self._tracker = tracker
        self._col_prov = col_prov if col_prov is not None else {}
        self._col_nodes = col_nodes if col_nodes is not None else {}

    @property
    def _constructor(self) -> type:
        return DAGTrackedDataFrame

    @property
    def _constructor_sliced(self) -> type:  # type: ignore[override]
        return DAGTrackedSeries

    def __getitem__(self, key: Any) -> Any:
        result = pd.DataFrame.__getitem__(self, key)
        if not isinstance(result, pd.Series):
            return result
        n = len(result)
        prov = self._col_prov.get(key)
        nodes = self._col_nodes.get(key)
        prov = np.zeros(n, dtype=np.uint32) if prov is None else _fit(prov, n, 0)
        nodes = np.full(n, NO_NODE, dtype=np.int64) if nodes is None else _fit(nodes, n, NO_NODE)
        return DAGTrackedSeries(result.values, index=result.index, _prov=prov.copy(),
                                _tracker=self._tracker, _node_ids=nodes.copy())

    def __setitem__(self, key: Any, value: Any) -> None:
        pd.DataFrame.__setitem__(self, key, value)
        if not isinstance(value, DAGTrackedSeries):
            return
        prov, nodes = value._prov, value._node_ids
        if not value.index.equals(self.index):
            # pandas aligned the values by label: move the words and node ids the same way
            n = len(value)
            prov = _aligned(value.index, _fit(prov, n, 0), self.index, 0)
            nodes = _aligned(value.index, _fit(nodes, n, NO_NODE), self.index, NO_NODE)
        # New dicts: frames that pandas derived from this one share its dicts, and must not see
        # this assignment (nor this frame theirs).
        self._col_prov = {**self._col_prov, key: prov}
        self._col_nodes = {**self._col_nodes, key: nodes}

    def merge(self, right: Any, *args: Any, **kwargs: Any) -> "DAGTrackedDataFrame":  # type: ignore[override]
        result = pd.DataFrame.merge(self, right, *args, **kwargs)
        n = len(result)
        cols = set(result.columns)
        new_prov: Dict[Any, np.ndarray] = {}
        new_nodes: Dict[Any, np.ndarray] = {}
        self._merge_col_provenance(self._col_prov, self._col_nodes, cols, n, new_prov, new_nodes)
        if isinstance(right, DAGTrackedDataFrame):
            self._merge_col_provenance(right._col_prov, right._col_nodes, cols, n, new_prov,
                                       new_nodes)
        return DAGTrackedDataFrame(result, _tracker=self._tracker, _col_prov=new_prov,
                                   _col_nodes=new_nodes)

    def _merge_col_provenance(self, col_prov: Dict[Any, np.ndarray], col_nodes: Dict[Any, np.ndarray],
                              result_columns: Set[Any], n: int, out_prov: Dict[Any, np.ndarray],
                              out_nodes: Dict[Any, np.ndarray]) -> None:
        """Propagate column provenance from one side of a merge into *out_prov*/*out_nodes*."""
        tracker = self._tracker
        for col, prov in col_prov.items():
            if col not in result_columns or col in out_prov:
                continue
            base_prov = int(prov[0]) if len(prov) else 0
            merged_prov = tracker.update_chain(base_prov, OpCode.MERGE) if tracker else base_prov
            out_prov[col] = np.full(n, merged_prov, dtype=np.uint32)
            if tracker and col in col_nodes:
                nodes = col_nodes[col]
                input_node = int(nodes[0]) if len(nodes) else NO_NODE
                if input_node >= 0:
                    node_id = tracker.log_unary("merge", input_node, merged_prov)
                    out_nodes[col] = np.full(n, node_id, dtype=np.int64)


def _row_json(df: pd.DataFrame, count: int) -> List[Optional[str]]:
    """df.iloc[i].to_json() for i below `count` (None past the frame's end). Cast to the common
    type of its rows, the frame writes every row exactly so in one call; a frame that cannot be
    written that way is written a row at a time."""
    m = min(count, len(df))
    head = df.iloc[:m]
    try:
        texts = [line for line in head.astype(head.values.dtype).to_json(
            orient="records", lines=True).split("\n") if line]
        if len(texts) != m:
            raise ValueError("one line per row expected")
    except Exception:  # noqa: BLE001 - the row-by-row form is the definition
        texts = [head.iloc[i].to_json() for i in range(m)]
    return texts + [None] * (count - m)


# ---- module functions ---------------------------------------------------------------------------------

def combine_provenances(tracker: DAGTracker, node_ids: Iterable[int],
                        op_code: Optional[int] = None) -> int:
    if op_code is None:
        op_code = OpCode.CUSTOM
    combined = 0
    for node_id in node_ids:
        node = tracker.get_node(node_id)
        if node is None:
            continue
        combined = node.provenance if combined == 0 else tracker.combine(combined, node.provenance,
                                                                         op_code)
    return combined


def wrap_dataframe_dag(df: pd.DataFrame, tracker: DAGTracker, table: str, protected: Any = False,
                       include_entity: Any = True) -> DAGTrackedDataFrame:
    """Wrap a DataFrame with DAG-tracked provenance.

    Creates source nodes for each column in the DAG, and records source values per row for
    value-level lineage.

    Args:
        df: The source data.
        tracker: The DAGTracker that registers the columns and logs their source nodes.
        table: Source table or file name.
        protected: True to mark the entire table, or a list of column names to mark specific
            columns.
        include_entity: Whether rows get entity bits from their index labels.
    """
    result = DAGTrackedDataFrame(df, _tracker=tracker)
    n = len(df)
    protected_cols = ({str(c) for c in protected} if isinstance(protected, (list, tuple, set))
                      else None)
    entities = (_row_entity_bits(tracker, df.index).tolist() if include_entity else [0] * n)
    # The tracker's own encode, unless it is ProvenanceTracker's, which gives for one pair
    # exactly the words that encode_source_column makes for a whole column at once.
    plain_encode = getattr(tracker.encode, "__func__", None) is ProvenanceTracker.encode
    record = tracker.record_row_value
    for position, col in enumerate(df.columns):
        col_protected = (str(col) in protected_cols) if protected_cols is not None else protected
        pair_id = tracker.register(table, str(col), col_protected)
        is_tainted = tracker.is_protected(table, str(col))
        if plain_encode and pair_id <= 1022:
            prov_array = np.asarray(encode_source_column(
                tracker._native, pair_id, np.asarray(entities, dtype=np.uint32), bool(is_tainted)),
                dtype=np.uint32)
        else:
            prov_array = np.array([tracker.encode({pair_id}, entity=e, chain=0, taint=is_tainted,
                                                  depth=0) for e in entities], dtype=np.uint32)
        node_array = np.full(n, NO_NODE, dtype=np.int64)
        if n:
            node_array[:] = tracker.create_source_node(table, str(col), int(prov_array[0]))
        if tracker._records_rows():
            operation = f"{table}.{col}"
            words = prov_array.tolist()
            # The column's own values, read once: a row read (df.iloc[i]) per cell would build
            # a whole row each time.
            for i, raw_val in enumerate(df.iloc[:, position].tolist()):
                try:
                    if raw_val is not None and not _is_nan(raw_val):
                        record(i, words[i], operation, raw_val, column_name=str(col))
                except Exception:  # noqa: BLE001 - a value record never stops the wrap
                    pass
        result._col_prov[col] = prov_array
        result._col_nodes[col] = node_array
    return result


def get_dag_for_series(series: Any, row_index: int = 0) -> Optional[ComputationDAG]:
    """Get the computation DAG for a specific row in a series."""
    tracker = getattr(series, "_tracker", None)
    node_ids = getattr(series, "_node_ids", None)
    if not tracker or node_ids is None:
        return None
    if row_index >= len(node_ids):
        return None
    node_id = int(node_ids[row_index])
    if node_id < 0:
        return None
    return tracker.get_dag(node_id)


def dag_audit(series: Any, row_index: int = 0) -> Dict[str, Any]:
    """Full audit of a series value including DAG reconstruction."""
    tracker = getattr(series, "_tracker", None)
    if not tracker or len(series) == 0 or getattr(series, "_prov", None) is None:
        return {"error": "No tracker or empty series"}
    prov = int(series._prov[row_index])
    info = tracker.decode_full(prov)
    dag = get_dag_for_series(series, row_index)
    result: Dict[str, Any] = {
        "provenance": "0x" + format(prov, "08X"),
        "mode": tracker.get_mode(prov),
        "pair_count": len(info.pairs),
        "pair_ids": sorted(info.pairs),
        "columns": tracker.explain(prov),
        "tables": tracker.explain_tables(prov),
        "entity": info.entity,
        "chain": info.chain,
        "taint": info.taint,
        "depth": info.depth,
        "risk": tracker.risk_score(prov),
        "has_protected": tracker.has_protected(prov),
    }
    if dag is not None:
        result["dag"] = {
            "depth": dag.depth,
            "node_count": len(dag.nodes),
            "operation_counts": dag.operation_counts,
            "sources": [(n.table, n.column) for n in dag.source_nodes],
            "protected_sources": [(n.table, n.column) for n in dag.protected_sources],
        }
    return result
