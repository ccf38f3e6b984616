"""AsyncWriter: a background thread that batches queued writes to a storage."""

from __future__ import annotations

import logging
import threading
import time
from collections import deque
from dataclasses import dataclass
from typing import Any, Deque, Dict, List, Optional, Sequence, Tuple

from .storage import StoredEdge, StoredNode, StoredRowValue

logger = logging.getLogger(__name__)

# What the storage is called with for each kind of record.
_KINDS = {"nodes": "store_nodes", "edges": "store_edges", "row_values": "store_row_values"}


@dataclass
class WriterConfig:
    """batch_size: records that make a batch worth writing at once; flush_interval: seconds
    after which whatever is waiting is written anyway; queue_size: records that may wait before
    a producer has to wait for room."""

    batch_size: int = 100
    flush_interval: float = 1.0
    queue_size: int = 10000


class AsyncWriter:
    """Queues writes and hands them to `storage` from a thread of its own.

    The write_* and register_source calls only queue and return at once while the queue has
    room; when it is full they wait for room, so nothing is dropped. A storage write that fails
    is logged and counted, and its records are tried once more at the next flush; only then are
    they counted as failed.
    """

    def __init__(self, storage: Any, config: Optional[WriterConfig] = None) -> None:
        self._storage = storage
        self._config = config or WriterConfig()
        self._cond = threading.Condition()
        self._queue: Deque[Tuple[str, Any, int]] = deque()  # (kind, payload, records)
        self._waiting = 0  # records accepted and not yet written or failed
        self._thread: Optional[threading.Thread] = None
        self._stopping = False
        self._run_of_last_node: Optional[int] = None
        # touched by the writing thread only
        self._pending: Dict[str, List[Any]] = {kind: [] for kind in _KINDS}
        self._retry: List[Tuple[str, List[Any]]] = []
        self._stats = {"queued": 0, "nodes_written": 0, "edges_written": 0, "row_values_written": 0,
                       "sources_written": 0, "failed": 0, "failed_writes": 0, "batches": 0}

    # -- producer side ----------------------------------------------------------------------------

    def start(self) -> None:
        with self._cond:
            if self._thread is not None and self._thread.is_alive():
                return
            self._stopping = False
            self._thread = threading.Thread(target=self._run, name="tallyra-writer", daemon=True)
            self._thread.start()

    def register_source(self, pair_id: int, table: str, column: str, is_protected: bool) -> None:
        self._put("source", (pair_id, table, column, bool(is_protected)), 1)

    def write_node(self, node: StoredNode) -> None:
        self._run_of_last_node = node.pipeline_id
        self._put("nodes", [node], 1)

    def write_edges(self, edges: Sequence[StoredEdge]) -> None:
        # An edge without a run belongs to the run of its child, the node written before it.
        for edge in edges:
            if edge.pipeline_id is None:
                edge.pipeline_id = self._run_of_last_node
        self._put("edges", list(edges), len(edges))

    def write_row_values(self, values: Sequence[StoredRowValue]) -> None:
        self._put("row_values", values, len(values))

    def _put(self, kind: str, payload: Any, records: int) -> None:
        with self._cond:
            # Wait for room, but never for a queue that nobody empties, and let one oversized
            # item through an empty queue.
            while (self._waiting and self._waiting + records > self._config.queue_size
                   and self._alive()):
                self._cond.wait(0.1)
            self._queue.append((kind, payload, records))
            self._waiting += records
            self._cond.notify_all()

    def _alive(self) -> bool:
        return self._thread is not None and self._thread.is_alive() and not self._stopping

    def flush(self, timeout: float = 30.0) -> bool:
        """Waits until everything queued before this call has been written (or has failed), or
        until `timeout` seconds have passed. True when it was all handled in time."""
        done = threading.Event()
        with self._cond:
            running = self._thread is not None and self._thread.is_alive()
            self._queue.append(("flush", done, 0))
            self._cond.notify_all()
        if not running:  # nobody else would do it
            self._step(final=True)
        return done.wait(timeout)

    def stop(self, timeout: Optional[float] = None) -> None:
        """Writes everything queued, then ends the writing thread."""
        with self._cond:
            thread = self._thread
            self._stopping = True
            self._queue.append(("flush", threading.Event(), 0))
            self._cond.notify_all()
        if thread is not None and thread.is_alive():
            thread.join(timeout)
        else:
            self._step(final=True)

    def get_stats(self) -> Dict[str, int]:
        with self._cond:
            stats = dict(self._stats)
            stats["queued"] = self._waiting
            return stats

    # -- writing side ------------------------------------------------------------------------------

    def _run(self) -> None:
        interval = self._config.flush_interval
        next_due = time.monotonic() + interval  # when waiting partial batches are written anyway
        while True:
            with self._cond:
                while not self._queue and not self._stopping:
                    left = next_due - time.monotonic()
                    if left <= 0:
                        break
                    self._cond.wait(left)
                stopping = self._stopping and not self._queue
            due = time.monotonic() >= next_due
            self._step(final=stopping or due)
            if due:
                next_due = time.monotonic() + interval
            if stopping:
                with self._cond:
                    if not self._queue:
                        return

    def _step(self, final: bool) -> None:
        """Takes what is queued and writes full batches; on a flush marker, or when `final`,
        writes everything and tries the failed batches once more."""
        with self._cond:
            items = list(self._queue)
            self._queue.clear()
        flushes: List[threading.Event] = []
        for kind, payload, _records in items:
            if kind == "flush":
                flushes.append(payload)
                self._write_all()
                self._retry_failed()
                payload.set()
            elif kind == "source":
                self._write("sources", [payload])
            else:
                self._pending[kind].extend(payload)
        for kind, records in self._pending.items():
            if final or len(records) >= self._config.batch_size:
                self._write_pending(kind)
        if final:
            self._retry_failed()

    def _write_all(self) -> None:
        for kind in _KINDS:
            self._write_pending(kind)

    def _write_pending(self, kind: str) -> None:
        records = self._pending[kind]
        if records:
            self._pending[kind] = []
            self._write(kind, records)

    def _write(self, kind: str, records: List[Any], retrying: bool = False) -> bool:
        try:
            if kind == "sources":
                for pair_id, table, column, protected in records:
                    self._storage.register_source(pair_id, table, column, is_protected=protected)
            else:
                getattr(self._storage, _KINDS[kind])(records)
        except Exception as e:  # noqa: BLE001 - counted, retried once, never lost silently
            with self._cond:
                self._stats["failed_writes"] += 1
                if retrying:
                    self._stats["failed"] += len(records)
                    self._release(len(records))
            if retrying:
                logger.error("Writing %d %s failed again; they are dropped: %s", len(records), kind, e)
            else:
                logger.warning("Writing %d %s failed; they will be tried again at the next flush: %s",
                               len(records), kind, e)
                self._retry.append((kind, records))
            return False
        with self._cond:
            self._stats[f"{kind}_written"] += len(records)
            self._stats["batches"] += 1
            self._release(len(records))
        return True

    def _retry_failed(self) -> None:
        retry, self._retry = self._retry, []
        for kind, records in retry:
            self._write(kind, records, retrying=True)

    def _release(self, records: int) -> None:
        """Called with the lock held: these records are done, and their room is free again."""
        self._waiting -= records
        self._cond.notify_all()
