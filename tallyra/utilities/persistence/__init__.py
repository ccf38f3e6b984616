"""Storage of computation DAGs, per-row values and per-row results.

- `SQLiteStorage`: the embedded store, one SQLite file;
- `HostedStorage`: the same operations against the hosted service's HTTP/JSON API;
- `AsyncWriter` and `WriterConfig`: a background thread that batches writes to a storage;
- `storage`: the records (`StoredNode`, `StoredEdge`, `StoredRowValue`) and the
  `StorageBackend` protocol.
"""

from .hosted import HostedStorage
from .sqlite import SQLiteStorage
from .storage import StorageBackend, StoredEdge, StoredNode, StoredRowValue
from .writer import AsyncWriter, WriterConfig

__all__ = ["AsyncWriter", "HostedStorage", "SQLiteStorage", "StorageBackend", "StoredEdge",
           "StoredNode", "StoredRowValue", "WriterConfig"]
