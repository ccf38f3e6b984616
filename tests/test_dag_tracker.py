"""DAGTracker: node creation, indexes, eviction, graph rebuilding and the context manager."""

import threading

import pytest

from tallyra.utilities.korval32 import ProvenanceTracker
from tallyra.utilities.korval32_dag import DAGTracker, NodeType

TAINTED = 0x20010000


@pytest.fixture
def t():
    return DAGTracker()


def test_a_dag_tracker_is_a_provenance_tracker(t):
    assert isinstance(t, ProvenanceTracker)
    assert t.register("t", "c", True) == 0 and t.is_protected("t", "c")
    assert t._max_nodes == 500000 and t._value_flush_threshold == 5000
    assert t._writer is None and t._storage is None and t._pipeline_id is None


def test_ids_count_up_across_kinds(t):
    src = t.create_source_node("t", "a", 0x00010000)
    assert src == 0 and t.create_source_node("t", "a", 999) == 0  # same run: the same node
    assert t.log_unary("neg", 0, 5) == 1
    assert t.log_binary("add", 0, 1, 6) == 2
    assert t.log_aggregate("sum", [0, 1, 2], 7) == 3
    assert t.log_merge([1, 2], [3], 8, "left", {"k": "v"}) == 4
    merge = t.get_node(4)
    assert (merge.node_type, merge.operation, merge.inputs, merge.metadata) == (
        NodeType.MERGE, "merge_left", [1, 2, 3], {"merge_type": "left", "k": "v"})
    assert t.log_merge([0], [1], 9, "inner", {"merge_type": "mine"}).__eq__(5)
    assert t.get_node(5).metadata == {"merge_type": "mine"}
    assert t.get_node(0).provenance == 0x00010000


def test_source_nodes(t):
    t.register("loans", "age", True)
    n = t.get_node(t.create_source_node("loans", "age", TAINTED))
    assert (n.node_type, n.operation, n.table, n.column, n.pair_id, n.is_protected, n.inputs) == (
        NodeType.SOURCE, "loans.age", "loans", "age", 0, True, [])
    assert t.get_node(t.create_source_node("x", "y", 1)).pair_id is None
    for table, column in (("", "c"), ("t", "")):
        with pytest.raises(ValueError, match="^table and column must be non-empty strings$"):
            t.create_source_node(table, column, 1)


def test_tainted_words_flag_every_node(t):
    a = t.create_source_node("t", "a", 1)
    assert t.get_node(t.log_unary("neg", a, TAINTED)).is_protected
    assert not t.get_node(t.log_unary("neg", a, 0x00010000)).is_protected


@pytest.mark.parametrize("call", [
    lambda t: t.log_unary(5, 0, 1),
    lambda t: t.log_unary("neg", "0", 1),
    lambda t: t.log_binary("add", 0, 1, 2, metadata=[1]),
    lambda t: t.log_merge((0,), [1], 2),
    lambda t: t.log_aggregate("sum", (0, 1), 2),
    lambda t: t.create_source_node("t", None, 1),
    lambda t: t.create_source_node("t", "c", "1"),
])
def test_wrong_types_change_nothing(t, call):
    with pytest.raises(TypeError):
        call(t)
    assert t._nodes == {} and t._next_node_id == 0


def test_eviction_keeps_sources_and_the_indexes(t):
    t._max_nodes = 10
    t.create_source_node("t", "a", 1)
    t.create_source_node("t", "b", 2)
    ops = [t.log_unary("neg", 0, 100 + i) for i in range(8)]
    assert len(t._nodes) == 10
    t.log_unary("neg", 0, 100)  # the 11th node shares its word with the oldest operation
    assert len(t._nodes) == 10
    assert ops[0] not in t._nodes and all(i in t._nodes for i in ops[1:])
    assert t._prov_to_nodes[100] == [10]
    t.log_unary("neg", 0, 999)  # 11 again: evicts the next oldest, whose word then disappears
    assert 101 not in t._prov_to_nodes
    assert t._source_nodes == {("t", "a"): 0, ("t", "b"): 1}


def test_eviction_of_a_log_of_sources_removes_nothing(t):
    t._max_nodes = 5
    for i in range(6):
        t.create_source_node("t", f"c{i}", i + 1)
    assert len(t._nodes) == 6


def test_eviction_quota_counts_all_nodes():
    t = DAGTracker()
    t._max_nodes = 20
    for i in range(15):
        t.create_source_node("t", f"c{i}", i + 1)
    for i in range(6):
        t.log_unary("neg", 0, 1000 + i)
    # 21 nodes: the quota is 2, taken from the oldest operations
    assert sorted(i for i in t._nodes if i >= 15) == [17, 18, 19, 20]


def test_get_dag_walks_breadth_first(t):
    a = t.create_source_node("t", "a", 1)
    b = t.create_source_node("t", "b", 2)
    s = t.log_binary("add", a, b, 3)
    n = t.log_unary("neg", s, 4)
    r = t.log_binary("mul", n, a, 5)
    g = t.get_dag(r)
    assert list(g.nodes) == [r, n, a, s, b]
    assert [(e.source_id, e.target_id, e.input_index) for e in g.edges] == [
        (n, r, 0), (a, r, 1), (s, n, 0), (a, s, 0), (b, s, 1)]
    assert g.nodes[a] is t.get_node(a)
    assert g.depth == 3
    same = t.log_binary("sq", a, a, 6)
    assert len(t.get_dag(same).edges) == 2 and len(t.get_dag(same).nodes) == 2


def test_get_dag_of_unknown_and_evicted_nodes(t):
    g = t.get_dag(42)
    assert (g.root_id, g.nodes, g.edges) == (42, {}, [])
    t._max_nodes = 10
    a = t.create_source_node("t", "a", 1)
    first = t.log_unary("neg", a, 2)
    chain = first
    for i in range(9):
        chain = t.log_unary("neg", chain, 10 + i)
    g = t.get_dag(chain)
    assert first not in t._nodes and first not in g.nodes
    assert any(e.source_id == first for e in g.edges)
    with pytest.raises(KeyError):
        g.depth


def test_lookups_by_word(t):
    a = t.create_source_node("t", "a", 1)
    for i in range(3):
        t.log_unary("neg", a, 50 + i)
    x = t.log_unary("neg", a, 7)
    for i in range(4):
        t.log_unary("neg", a, 60 + i)
    y = t.log_unary("neg", a, 7)
    assert [n.node_id for n in t.get_nodes_for_provenance(7)] == [x, y]
    assert t.get_dag_for_provenance(7).root_id == y
    assert t.get_dag_for_provenance(12345) is None and t.get_nodes_for_provenance(12345) == []


def test_stats(t):
    assert t.dag_stats() == {"total_nodes": 0, "source_nodes": 0, "protected_sources": 0,
                             "operation_nodes": 0, "operation_counts": {}, "unique_provenances": 0}
    t.register("t", "a", True)
    a = t.create_source_node("t", "a", TAINTED)
    t.log_unary("neg", a, TAINTED | 1 << 26)
    t.log_unary("neg", a, 5)
    assert t.dag_stats() == {"total_nodes": 3, "source_nodes": 1, "protected_sources": 2,
                             "operation_nodes": 2, "operation_counts": {"neg": 2},
                             "unique_provenances": 3}


def test_source_nodes_are_created_once_across_threads():
    for _ in range(20):
        t = DAGTracker()
        barrier = threading.Barrier(8)
        ids = []

        def make():
            barrier.wait()
            ids.append(t.create_source_node("t", "c", 1))

        threads = [threading.Thread(target=make) for _ in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert len(set(ids)) == 1 and len(t._nodes) == 1


def test_many_threads_log_without_losing_nodes():
    t = DAGTracker()
    a = t.create_source_node("t", "a", 1)

    def log():
        for i in range(2000):
            t.log_unary("neg", a, i)

    threads = [threading.Thread(target=log) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert len(t._nodes) == 8001 and t._next_node_id == 8001
    assert sum(len(v) for v in t._prov_to_nodes.values()) == 8001


def test_context_manager(t):
    with t as inside:
        assert inside is t
    assert t.__exit__(None, None, None) is False
    with pytest.raises(RuntimeError):
        with DAGTracker():
            raise RuntimeError("boom")
    assert DAGTracker().flush() is True
    assert DAGTracker().get_persistence_stats() == {"nodes_written": 0, "edges_written": 0}
