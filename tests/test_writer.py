"""AsyncWriter: batching on its own thread, back-pressure, retries, flush and stop."""

import logging
import threading
import time

import pytest

from tallyra.utilities.persistence import AsyncWriter, SQLiteStorage, WriterConfig
from tallyra.utilities.persistence.storage import StoredEdge, StoredNode, StoredRowValue


class Slow(SQLiteStorage):
    """Takes its time over every write."""

    def __init__(self, delay):
        super().__init__(":memory:")
        self.delay = delay
        self.calls = []

    def store_row_values(self, values):
        self.calls.append(len(values))
        time.sleep(self.delay)
        super().store_row_values(values)


class Failing(SQLiteStorage):
    """Fails its first `failures` row-value writes."""

    def __init__(self, failures):
        super().__init__(":memory:")
        self.failures = failures

    def store_row_values(self, values):
        if self.failures > 0:
            self.failures -= 1
            raise OSError("disk unavailable")
        super().store_row_values(values)


def values(n, run=1, start=0):
    return [StoredRowValue(run, start + i, 7, "op", float(i)) for i in range(n)]


@pytest.fixture
def storage():
    s = SQLiteStorage(":memory:")
    s.connect()
    s.create_pipeline("r")
    yield s
    s.disconnect()


def test_writes_every_kind_and_counts_it(storage):
    writer = AsyncWriter(storage, WriterConfig(batch_size=10, flush_interval=0.05, queue_size=1000))
    writer.start()
    writer.register_source(0, "t", "a", True)
    writer.write_node(StoredNode(fingerprint=5, node_type="SOURCE", operation="t.a", pipeline_id=1))
    writer.write_node(StoredNode(fingerprint=6, node_type="UNARY", operation="neg", pipeline_id=1))
    writer.write_edges([StoredEdge(parent_fingerprint=5, child_fingerprint=6, input_position=0)])
    writer.write_row_values(values(25))
    assert writer.flush(timeout=10) is True
    assert storage.count("nodes") == 2 and storage.count("row_values") == 25
    assert storage.get_edges(1) == [{"parent_fingerprint": 5, "child_fingerprint": 6,
                                     "input_position": 0}]  # the edge took its child's run
    assert storage.get_sources(1) == [{"pair_id": 0, "table_name": "t", "column_name": "a",
                                       "is_protected": True}]
    stats = writer.get_stats()
    assert (stats["queued"], stats["nodes_written"], stats["edges_written"],
            stats["row_values_written"], stats["sources_written"], stats["failed"]) == (0, 2, 1, 25, 1, 0)
    assert stats["batches"] >= 4
    writer.stop()


def test_partial_batches_are_written_after_the_interval(storage):
    writer = AsyncWriter(storage, WriterConfig(batch_size=1000, flush_interval=0.05))
    writer.start()
    writer.write_row_values(values(3))
    deadline = time.monotonic() + 5
    while storage.count("row_values") < 3 and time.monotonic() < deadline:
        time.sleep(0.01)
    assert storage.count("row_values") == 3
    writer.stop()


def test_a_full_queue_makes_the_producer_wait_and_loses_nothing():
    storage = Slow(delay=0.02)
    storage.connect()
    writer = AsyncWriter(storage, WriterConfig(batch_size=50, flush_interval=0.01, queue_size=100))
    writer.start()
    t0 = time.monotonic()
    for k in range(20):
        writer.write_row_values(values(50, start=50 * k))
    waited = time.monotonic() - t0
    writer.stop()
    assert storage.count("row_values") == 1000
    assert waited > 0.1  # the producer was held back by the slow storage
    assert writer.get_stats()["queued"] == 0


def test_a_failed_write_is_retried_at_the_next_flush(caplog):
    storage = Failing(failures=1)
    storage.connect()
    writer = AsyncWriter(storage, WriterConfig(batch_size=10, flush_interval=10))
    writer.start()
    with caplog.at_level(logging.WARNING, logger="tallyra.utilities.persistence.writer"):
        writer.write_row_values(values(10))
        deadline = time.monotonic() + 5
        while writer.get_stats()["failed_writes"] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert storage.count("row_values") == 0 and writer.get_stats()["queued"] == 10
        assert writer.flush(timeout=10)
    assert storage.count("row_values") == 10
    stats = writer.get_stats()
    assert (stats["failed"], stats["failed_writes"], stats["queued"]) == (0, 1, 0)
    assert any("tried again" in r.getMessage() for r in caplog.records)
    writer.stop()


def test_records_that_fail_twice_are_counted_as_failed(caplog):
    storage = Failing(failures=2)
    storage.connect()
    writer = AsyncWriter(storage, WriterConfig(batch_size=5, flush_interval=10))
    writer.start()
    with caplog.at_level(logging.WARNING):
        writer.write_row_values(values(5))
        assert writer.flush(timeout=10)
    stats = writer.get_stats()
    assert (stats["failed"], stats["failed_writes"], stats["queued"]) == (5, 2, 0)
    assert any(r.levelno == logging.ERROR for r in caplog.records)
    writer.stop()


def test_flush_reports_a_time_out():
    storage = Slow(delay=0.5)
    storage.connect()
    writer = AsyncWriter(storage, WriterConfig(batch_size=1, flush_interval=10))
    writer.start()
    writer.write_row_values(values(1))
    assert writer.flush(timeout=0.05) is False
    assert writer.flush(timeout=10) is True
    writer.stop()


def test_stop_drains_and_returns(storage):
    writer = AsyncWriter(storage, WriterConfig(batch_size=1000, flush_interval=60))
    writer.start()
    writer.write_row_values(values(7))
    done = threading.Event()
    threading.Thread(target=lambda: (writer.stop(), done.set()), daemon=True).start()
    assert done.wait(10)
    assert storage.count("row_values") == 7
    writer.stop()  # twice is fine


def test_a_writer_that_was_never_started_writes_on_flush(storage):
    writer = AsyncWriter(storage, WriterConfig())
    writer.write_row_values(values(4))
    assert writer.flush(timeout=1) is True
    assert storage.count("row_values") == 4
