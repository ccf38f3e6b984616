"""DAGNode, DAGEdge and ComputationDAG: summaries and the dict, JSON and DOT exports."""

import dataclasses
import json
import shutil
import subprocess

import pytest

from tallyra.utilities.korval32_dag import ComputationDAG, DAGEdge, DAGNode, NodeType


def source(node_id, table, column, word=0, protected=False):
    return DAGNode(node_id, NodeType.SOURCE, f"{table}.{column}", [], word, table=table,
                   column=column, pair_id=node_id, is_protected=protected)


def op(node_id, name, inputs, word=0):
    return DAGNode(node_id, NodeType.BINARY, name, inputs, word)


def graph(root, *nodes):
    by_id = {n.node_id: n for n in nodes}
    edges = [DAGEdge(i, n.node_id, k) for n in nodes for k, i in enumerate(n.inputs)]
    return ComputationDAG(root, by_id, edges)


@pytest.fixture
def mul():
    """The worked example: loans.amount (0) and loans.rate (1) multiplied in node 2."""
    return graph(2, op(2, "mul", [0, 1]), source(0, "loans", "amount"), source(1, "loans", "rate"))


def test_node_types():
    assert [m.name for m in NodeType] == ["SOURCE", "CONSTANT", "UNARY", "BINARY", "AGGREGATE",
                                          "MERGE", "FILTER", "CUSTOM"]
    assert [m.value for m in NodeType] == list(range(1, 9))


@pytest.mark.parametrize("cls", [DAGNode, DAGEdge, ComputationDAG])
def test_records_are_dataclasses_that_compare_by_field_and_cannot_be_hashed(cls):
    assert dataclasses.is_dataclass(cls)
    with pytest.raises(TypeError):
        hash(cls(*[0] * len([f for f in dataclasses.fields(cls) if f.default is dataclasses.MISSING
                             and f.default_factory is dataclasses.MISSING])))


def test_node_fields_and_defaults():
    assert [f.name for f in dataclasses.fields(DAGNode)] == [
        "node_id", "node_type", "operation", "inputs", "provenance", "metadata", "table", "column",
        "pair_id", "is_protected"]
    a, b = op(1, "add", [0]), op(1, "add", [0])
    assert a == b and a.metadata == {} and a.metadata is not b.metadata
    assert "DAGNode(node_id=1" in repr(a)
    assert not a.is_source and not a.is_leaf
    assert source(0, "t", "c").is_leaf and DAGNode(3, NodeType.CUSTOM, "x", [], 0).is_leaf
    assert [f.name for f in dataclasses.fields(DAGEdge)] == ["source_id", "target_id", "input_index"]
    assert [f.name for f in dataclasses.fields(ComputationDAG)] == ["root_id", "nodes", "edges"]


def test_dot_export_of_the_worked_example(mul):
    assert mul.to_graphviz() == "\n".join([
        "digraph ComputationDAG {",
        "  rankdir=BT;",
        "  node [shape=box, style=filled];",
        "",
        '  n2 [label="mul", fillcolor="#c084fc"];',
        '  n0 [label="loans\\namount", fillcolor="#22d3ee"];',
        '  n1 [label="loans\\nrate", fillcolor="#22d3ee"];',
        "",
        "  n0 -> n2;",
        "  n1 -> n2;",
        "}"])


def test_dot_colours():
    g = graph(3, op(3, "add", [0, 2]), source(0, "t", "age", protected=True), op(2, "neg", [1]))
    text = g.to_graphviz()
    assert '  n3 [label="add", fillcolor="#c084fc"];' in text
    assert '  n0 [label="t\\nage", fillcolor="#f59e0b"];' in text
    assert '  n2 [label="neg", fillcolor="#4ade80"];' in text
    lone = graph(0, source(0, "t", "c", protected=True))
    assert 'fillcolor="#f59e0b"' in lone.to_graphviz() and "#c084fc" not in lone.to_graphviz()
    assert len(lone.to_graphviz().split("\n")) == 7


def test_empty_graph():
    g = ComputationDAG(5, {}, [])
    assert g.to_graphviz() == "digraph ComputationDAG {\n  rankdir=BT;\n  node [shape=box, style=filled];\n\n\n}"
    for call in (lambda: g.depth, g.to_dict, g.to_json):
        with pytest.raises(KeyError):
            call()


def test_names_with_quotes_and_backslashes_are_escaped():
    g = graph(1, op(1, 'say "hi" \\ bye', [0]), source(0, 'ta"ble', "co\\l"))
    text = g.to_graphviz()
    assert '  n1 [label="say \\"hi\\" \\\\ bye", fillcolor="#c084fc"];' in text
    assert '  n0 [label="ta\\"ble\\nco\\\\l", fillcolor="#22d3ee"];' in text


@pytest.mark.skipif(shutil.which("dot") is None, reason="Graphviz's dot is not installed")
def test_graphviz_parses_names_with_quotes():
    evil = 'x"]; n99 [label="injected'
    g = graph(1, op(1, evil, [0]), source(0, 'ta"ble', 'c\\"ol'))
    proc = subprocess.run(["dot", "-Tplain"], input=g.to_graphviz(), capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    nodes = [line.split()[1] for line in proc.stdout.splitlines() if line.startswith("node ")]
    assert sorted(nodes) == ["n0", "n1"]  # nothing injected


def test_depth():
    assert graph(0, source(0, "t", "c")).depth == 0
    chain = [source(0, "t", "c")] + [op(i, "neg", [i - 1]) for i in range(1, 5000)]
    assert graph(4999, *chain).depth == 4999  # far past the recursion limit
    diamond = graph(4, op(4, "add", [3, 1]), op(3, "neg", [2]), op(2, "neg", [1]), op(1, "neg", [0]),
                    source(0, "t", "c"))
    assert diamond.depth == 4


def test_depth_of_a_graph_missing_an_input():
    g = graph(2, op(2, "add", [0, 9]), source(0, "t", "c"))
    with pytest.raises(KeyError):
        g.depth
    assert g.to_graphviz().count("->") == 2  # the export does not need the input


def test_summaries():
    g = graph(4, op(4, "add", [2, 3]), source(2, "a", "age", 0x20000000, protected=True),
              source(3, "b", "age", 0x28000000, protected=True), source(5, "b", "x"))
    assert [n.node_id for n in g.source_nodes] == [2, 3, 5]
    assert [n.node_id for n in g.protected_sources] == [2, 3] and g.has_protected
    assert g.operation_counts == {"add": 1, "a.age": 1, "b.age": 1, "b.x": 1}
    assert g.column_taint_risks() == {"age": 1.0}
    assert graph(0, source(0, "t", "c", 0x2C000000)).column_taint_risks() == {"c": 0.25}


def test_dicts(mul):
    node = DAGNode(7, NodeType.CUSTOM, "", [1], 255)
    d = node.to_dict()
    assert list(d) == ["id", "name", "type", "operation", "inputs", "provenance", "table", "column",
                       "pair_id", "is_protected", "metadata"]
    assert (d["name"], d["type"], d["provenance"]) == ("node_7", "CUSTOM", "0x000000FF")
    assert source(0, "t", "c", 0xF2A0004B).to_dict()["provenance"] == "0xF2A0004B"
    assert source(0, "t", "c").to_dict()["name"] == "t.c"
    assert mul.edges[0].to_dict() == {"source": 0, "target": 2, "input_index": 0}
    g = mul.to_dict()
    assert list(g) == ["root_id", "depth", "node_count", "edge_count", "has_protected",
                       "taint_risks", "sources", "protected_sources", "operation_counts", "nodes",
                       "edges"]
    assert list(g["nodes"]) == ["2", "0", "1"] and g["depth"] == 1 and g["edge_count"] == 2


def test_json(mul):
    assert json.loads(mul.to_json()) == mul.to_dict()
    assert mul.to_json().splitlines()[1].startswith('  "root_id"')
    assert mul.to_json(indent=0).splitlines()[1] == '"root_id": 2,'
    assert mul.to_json(indent=2.9) == mul.to_json(indent=2)
    with pytest.raises(TypeError):
        mul.to_json(indent=None)
    mul.nodes[2].metadata["obj"] = object()
    with pytest.raises(TypeError):
        mul.to_json()
