"""SQLiteStorage: the embedded storage, one SQLite file (or ":memory:") per store."""

from __future__ import annotations

import json
import sqlite3
import threading
from contextlib import contextmanager
from datetime import datetime, timezone
from itertools import chain, islice
from operator import attrgetter
from pathlib import Path
from typing import Any, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence, Union

from .storage import ResolvedEdge, ResultRow, StoredEdge, StoredNode, StoredRowValue

SCHEMA = """
CREATE TABLE IF NOT EXISTS pipelines (
    id           INTEGER PRIMARY KEY,
    name         TEXT NOT NULL,
    status       TEXT NOT NULL,
    config       TEXT,
    git_commit   TEXT,
    tenant_id    TEXT,
    created_at   TEXT NOT NULL,
    completed_at TEXT
);
CREATE TABLE IF NOT EXISTS sources (
    id           INTEGER PRIMARY KEY,
    pipeline_id  INTEGER REFERENCES pipelines(id),
    pair_id      INTEGER NOT NULL,
    table_name   TEXT NOT NULL,
    column_name  TEXT NOT NULL,
    is_protected INTEGER NOT NULL,
    UNIQUE (pipeline_id, pair_id, table_name, column_name)
);
CREATE TABLE IF NOT EXISTS nodes (
    id           INTEGER PRIMARY KEY,
    pipeline_id  INTEGER REFERENCES pipelines(id),
    fingerprint  INTEGER NOT NULL,
    node_type    TEXT NOT NULL,
    operation    TEXT NOT NULL,
    table_name   TEXT,
    column_name  TEXT,
    pair_id      INTEGER,
    is_protected INTEGER NOT NULL,
    entity_hash  INTEGER,
    chain_hash   INTEGER,
    metadata     TEXT,
    UNIQUE (pipeline_id, fingerprint)
);
CREATE TABLE IF NOT EXISTS edges (
    id                 INTEGER PRIMARY KEY,
    pipeline_id        INTEGER REFERENCES pipelines(id),
    parent_fingerprint INTEGER NOT NULL,
    child_fingerprint  INTEGER NOT NULL,
    input_position     INTEGER NOT NULL,
    UNIQUE (pipeline_id, parent_fingerprint, child_fingerprint, input_position)
);
CREATE TABLE IF NOT EXISTS row_values (
    id             INTEGER PRIMARY KEY,
    pipeline_id    INTEGER,
    row_index      INTEGER NOT NULL,
    fingerprint    INTEGER NOT NULL,
    node_operation TEXT NOT NULL,
    value          REAL,
    text_value     TEXT,
    column_name    TEXT,
    tenant_id      TEXT
);
CREATE TABLE IF NOT EXISTS pipeline_results (
    id           INTEGER PRIMARY KEY,
    pipeline_id  INTEGER REFERENCES pipelines(id),
    row_key      TEXT NOT NULL,
    output_name  TEXT NOT NULL,
    fingerprint  INTEGER NOT NULL,
    output_value REAL,
    input_hash   TEXT
);
CREATE INDEX IF NOT EXISTS results_by_row_key ON pipeline_results (row_key);
CREATE INDEX IF NOT EXISTS results_by_pipeline ON pipeline_results (pipeline_id);
"""


# The columns of a row value, in the order of the insert below, read in one C call per record.
_ROW_VALUE_COLUMNS = ("pipeline_id", "row_index", "fingerprint", "node_operation", "value",
                      "text_value", "column_name", "tenant_id")
_ROW_VALUE_FIELDS = attrgetter(*_ROW_VALUE_COLUMNS)
# Rows per insert statement: as many as the build's limit on parameters allows, up to 500
# (older SQLite builds allow 999 parameters, newer ones 32766).
_MAX_ROWS_PER_STATEMENT = 500


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="microseconds")


class SQLiteStorage:
    """A store in one SQLite file. The schema is created on connect; every batch is written in
    one transaction; files use write-ahead logging, so a reader can open the file while a
    pipeline writes it. One connection serves all threads, under a lock."""

    def __init__(self, path: Union[str, Path] = ":memory:") -> None:
        if not isinstance(path, (str, Path)):
            raise TypeError(f"path must be a str or a Path, not {type(path).__name__}")
        self.path = str(path)
        self._conn: Optional[sqlite3.Connection] = None
        self._lock = threading.Lock()
        self._current_pipeline: Optional[int] = None  # the run that sources are registered in
        self._max_parameters = 999

    # -- life cycle -----------------------------------------------------------------------------

    def connect(self) -> None:
        with self._lock:
            if self._conn is not None:
                return
            conn = sqlite3.connect(self.path, check_same_thread=False, isolation_level=None)
            try:
                if self.path != ":memory:":
                    conn.execute("PRAGMA journal_mode=WAL")
                    conn.execute("PRAGMA synchronous=NORMAL")
                conn.execute("PRAGMA foreign_keys=ON")
                conn.executescript(SCHEMA)
            except BaseException:
                conn.close()
                raise
            try:
                self._max_parameters = conn.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER)
            except AttributeError:  # Python before 3.11 cannot ask
                self._max_parameters = 999
            self._conn = conn

    def disconnect(self) -> None:
        with self._lock:
            if self._conn is not None:
                self._conn.close()
                self._conn = None

    def __enter__(self) -> "SQLiteStorage":
        self.connect()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.disconnect()

    def _db(self) -> sqlite3.Connection:
        if self._conn is None:
            raise RuntimeError("the storage is not connected: call connect() first")
        return self._conn

    @contextmanager
    def _transaction(self) -> Iterator[sqlite3.Connection]:
        """The connection, under the lock, inside one transaction: committed when the block
        ends, rolled back if it raises."""
        with self._lock:
            db = self._db()
            db.execute("BEGIN")
            try:
                yield db
            except BaseException:
                db.execute("ROLLBACK")
                raise
            db.execute("COMMIT")

    def _write(self, sql: str, rows: Iterable[Sequence[Any]]) -> None:
        """All rows in one transaction: all of them are written, or none."""
        with self._transaction() as db:
            db.executemany(sql, rows)

    def _insert_rows(self, table: str, columns: Sequence[str], rows: Iterable[Sequence[Any]]) -> None:
        """Plain inserts of many rows, several rows to a statement, all in one transaction. Each
        statement is one step of SQLite, which releases the interpreter lock; a statement per
        row would hand the lock back and forth with every other Python thread at every row."""
        width = len(columns)
        head = f"INSERT INTO {table} ({', '.join(columns)}) VALUES "
        group = "(" + ", ".join("?" * width) + ")"
        rows = iter(rows)
        with self._transaction() as db:
            per_statement = max(1, min(_MAX_ROWS_PER_STATEMENT, self._max_parameters // width))
            full_sql = head + ", ".join([group] * per_statement)
            while True:
                part = list(islice(rows, per_statement))
                if not part:
                    break
                sql = full_sql if len(part) == per_statement else \
                    head + ", ".join([group] * len(part))
                db.execute(sql, list(chain.from_iterable(part)))

    def _query(self, sql: str, args: Sequence[Any] = ()) -> List[sqlite3.Row]:
        with self._lock:
            db = self._db()
            cursor = db.execute(sql, args)
            names = [d[0] for d in cursor.description]
            return [dict(zip(names, row)) for row in cursor.fetchall()]  # type: ignore[misc]

    # -- runs and sources -------------------------------------------------------------------------

    def create_pipeline(self, pipeline_name: str = "unnamed", config: Optional[Dict[str, Any]] = None,
                        git_commit: Optional[str] = None, tenant_id: Optional[str] = None) -> int:
        if not isinstance(pipeline_name, str):
            raise TypeError(f"pipeline_name must be a str, not {type(pipeline_name).__name__}")
        config_text = None if config is None else json.dumps(config)
        with self._lock:
            cursor = self._db().execute(
                "INSERT INTO pipelines (name, status, config, git_commit, tenant_id, created_at)"
                " VALUES (?, 'running', ?, ?, ?, ?)",
                (pipeline_name, config_text, git_commit, tenant_id, _now()))
            pipeline_id = int(cursor.lastrowid)
            self._current_pipeline = pipeline_id
        return pipeline_id

    def complete_pipeline(self, pipeline_id: int, status: str = "completed") -> None:
        with self._lock:
            self._db().execute("UPDATE pipelines SET status = ?, completed_at = ? WHERE id = ?",
                               (str(status), _now(), int(pipeline_id)))

    def register_source(self, pair_id: int, table: str, column: str, is_protected: bool = False) -> None:
        self._write("INSERT OR REPLACE INTO sources (pipeline_id, pair_id, table_name, column_name,"
                    " is_protected) VALUES (?, ?, ?, ?, ?)",
                    [(self._current_pipeline, int(pair_id), str(table), str(column),
                      int(bool(is_protected)))])

    # -- writes ---------------------------------------------------------------------------------

    def store_nodes(self, nodes: Sequence[StoredNode]) -> None:
        # A run keeps one node per fingerprint: the first one written.
        self._write(
            "INSERT OR IGNORE INTO nodes (pipeline_id, fingerprint, node_type, operation, table_name,"
            " column_name, pair_id, is_protected, entity_hash, chain_hash, metadata)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            [(n.pipeline_id, int(n.fingerprint), n.node_type, n.operation, n.table_name,
              n.column_name, n.pair_id, int(bool(n.is_protected)), n.entity_hash, n.chain_hash,
              None if n.metadata is None else json.dumps(n.metadata, default=str))
             for n in nodes])

    def store_edges(self, edges: Sequence[StoredEdge]) -> None:
        self._write("INSERT OR IGNORE INTO edges (pipeline_id, parent_fingerprint, child_fingerprint,"
                    " input_position) VALUES (?, ?, ?, ?)",
                    [(e.pipeline_id, int(e.parent_fingerprint), int(e.child_fingerprint),
                      int(e.input_position)) for e in edges])

    def store_edges_resolved(self, edges: Sequence[ResolvedEdge]) -> None:
        # Node ids name their run and fingerprints; edges are kept by fingerprint.
        self._write(
            "INSERT OR IGNORE INTO edges (pipeline_id, parent_fingerprint, child_fingerprint,"
            " input_position) SELECT c.pipeline_id, p.fingerprint, c.fingerprint, ?"
            " FROM nodes p, nodes c WHERE p.id = ? AND c.id = ?",
            [(int(pos), int(parent), int(child)) for parent, child, pos in edges])

    def store_row_values(self, values: Sequence[StoredRowValue]) -> None:
        self._insert_rows("row_values", _ROW_VALUE_COLUMNS, map(_ROW_VALUE_FIELDS, values))

    def store_results(self, pipeline_id: int, results: Sequence[ResultRow]) -> None:
        run = int(pipeline_id)
        self._insert_rows("pipeline_results", ("pipeline_id", "row_key", "output_name", "fingerprint",
                                               "output_value", "input_hash"),
                          ((run, *result) for result in results))

    def get_fingerprint_node_map(self, pipeline_id: int) -> Mapping[int, int]:
        with self._lock:
            rows = self._db().execute("SELECT fingerprint, id FROM nodes WHERE pipeline_id = ?",
                                      (int(pipeline_id),)).fetchall()
        return dict(rows)

    # -- read-back --------------------------------------------------------------------------------

    def list_pipelines(self) -> List[Dict[str, Any]]:
        rows = self._query("SELECT id, name, status, config, git_commit, tenant_id, created_at,"
                           " completed_at FROM pipelines ORDER BY id")
        for row in rows:
            row["config"] = None if row["config"] is None else json.loads(row["config"])
        return rows

    def get_sources(self, pipeline_id: int) -> List[Dict[str, Any]]:
        rows = self._query("SELECT pair_id, table_name, column_name, is_protected FROM sources"
                           " WHERE pipeline_id = ? ORDER BY pair_id", (int(pipeline_id),))
        for row in rows:
            row["is_protected"] = bool(row["is_protected"])
        return rows

    def get_nodes(self, pipeline_id: int) -> List[Dict[str, Any]]:
        rows = self._query("SELECT id, fingerprint, node_type, operation, table_name, column_name,"
                           " pair_id, is_protected, entity_hash, chain_hash, metadata FROM nodes"
                           " WHERE pipeline_id = ? ORDER BY id", (int(pipeline_id),))
        for row in rows:
            row["is_protected"] = bool(row["is_protected"])
            row["metadata"] = None if row["metadata"] is None else json.loads(row["metadata"])
        return rows

    def get_edges(self, pipeline_id: int) -> List[Dict[str, Any]]:
        return self._query("SELECT parent_fingerprint, child_fingerprint, input_position FROM edges"
                           " WHERE pipeline_id = ? ORDER BY id", (int(pipeline_id),))

    def get_row_values(self, pipeline_id: int, row_index: Optional[int] = None) -> List[Dict[str, Any]]:
        # Row values are the bulk of a live run; their index is built when they are first read,
        # so that writing them stays one B-tree insert each.
        with self._lock:
            self._db().execute("CREATE INDEX IF NOT EXISTS row_values_by_row"
                               " ON row_values (pipeline_id, row_index)")
        sql = ("SELECT row_index, fingerprint, node_operation, value, text_value, column_name,"
               " tenant_id FROM row_values WHERE pipeline_id = ?")
        args: List[Any] = [int(pipeline_id)]
        if row_index is not None:
            sql += " AND row_index = ?"
            args.append(int(row_index))
        return self._query(sql + " ORDER BY id", args)

    def get_results(self, row_key: str) -> List[Dict[str, Any]]:
        return self._query("SELECT pipeline_id, row_key, output_name, fingerprint, output_value,"
                           " input_hash FROM pipeline_results WHERE row_key = ? ORDER BY id",
                           (str(row_key),))

    def count(self, table: str, pipeline_id: Optional[int] = None) -> int:
        """Rows of one of the store's tables, all of them or one run's."""
        if table not in {"pipelines", "sources", "nodes", "edges", "row_values", "pipeline_results"}:
            raise ValueError(f"no table named {table!r}")
        sql = f'SELECT COUNT(*) FROM "{table}"'
        args: List[Any] = []
        if pipeline_id is not None:
            sql += " WHERE pipeline_id = ?"
            args.append(int(pipeline_id))
        with self._lock:
            return int(self._db().execute(sql, args).fetchone()[0])
