"""Topological ordering of the top-level nodes by the rebuild."""
import logging

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper

from conftest import EXAMPLE

F = TensorProto.FLOAT


def vi(name):
    return helper.make_tensor_value_info(name, F, [1])


def graph_of(nodes, inputs, outputs, inits=()):
    g = helper.make_graph(nodes, "g", [vi(n) for n in inputs], [vi(n) for n in outputs], list(inits))
    return helper.make_model(g, opset_imports=[helper.make_opsetid("", 17)])


def sorted_names(ir, model):
    # A weight cache keeps the model check (which rejects unsorted graphs) a warning.
    g = ir.IRGraph(model, initializer_dat={"w": np.ones(1, np.float32)})
    g.rebuild(sort_nodes=True)
    return [n.name for n in g.node], g


def test_reverse_order_and_depth_first_placement(ir):
    nodes = [helper.make_node("Add", ["b1", "c1"], ["y"], name="join"),
             helper.make_node("Relu", ["a"], ["c1"], name="c"),
             helper.make_node("Relu", ["a"], ["b1"], name="b"),
             helper.make_node("Relu", ["x"], ["a"], name="a")]
    names, g = sorted_names(ir, graph_of(nodes, ["x"], ["y"]))
    # Consumers of a new tensor are tried in node order: c before b; join
    # waits for its last input.
    assert names == ["a", "c", "b", "join"]
    assert dict(g.nodes.items()) == {"a": 0, "c": 1, "b": 2, "join": 3}


def test_start_order_and_ties(ir):
    def model(first_x):
        nodes = [helper.make_node("Relu", ["p"], ["p1"], name="from_p"),
                 helper.make_node("Relu", ["q"], ["q1"], name="from_q"),
                 helper.make_node("Add", ["p1", "q1"], ["y"], name="join")]
        if first_x:
            nodes = nodes[1:2] + nodes[0:1] + nodes[2:]
        return graph_of(nodes[::-1], ["q", "p"], ["y"])
    # Reversed: join, from_q, from_p -> p's first consumer is position 2, q's 1.
    assert sorted_names(ir, model(False))[0] == ["from_q", "from_p", "join"]
    # Equal first consumers: the input whose name sorts first starts.
    n = [helper.make_node("Add", ["q", "p"], ["s"], name="both"),
         helper.make_node("Relu", ["s"], ["y"], name="r")]
    assert sorted_names(ir, graph_of(n[::-1], ["q", "p"], ["y"]))[0] == ["both", "r"]


def test_two_outputs_constants_and_empty_inputs_do_not_hold_back(ir):
    w = helper.make_tensor("w", F, [1], [1.0])
    nodes = [helper.make_node("Add", ["s1", "s2"], ["y"], name="join"),
             helper.make_node("Resize", ["x", "", "w"], ["r"], name="resize"),
             helper.make_node("Split", ["r"], ["s1", "s2"], name="split", num_outputs=2)]
    names, _ = sorted_names(ir, graph_of(nodes, ["x"], ["y"], [w]))
    assert names == ["resize", "split", "join"]


def test_constant_nodes_unread_inputs_and_subgraph_reads(ir):
    # Nodes that need nothing (a Constant node, a node over constants only)
    # start the order; a graph input nobody reads is skipped; what an If
    # branch reads from outside holds the If node back like an input.
    w = helper.make_tensor("w", F, [1], [1.0])
    branch = helper.make_graph([helper.make_node("Add", ["late", "k"], ["bo"], name="b_add")],
                               "br", [], [vi("bo")])
    nodes = [helper.make_node("If", ["c"], ["y"], name="if", then_branch=branch,
                              else_branch=branch),
             helper.make_node("Add", ["x", "k"], ["late"], name="add"),
             helper.make_node("Neg", ["w"], ["k2"], name="over_w"),
             helper.make_node("Add", ["k", "k2"], ["y2"], name="consts_only"),
             helper.make_node("Constant", [], ["k"], name="k",
                              value=helper.make_tensor("v", F, [1], [1.0]))]
    m = graph_of(nodes, ["x"], ["y", "y2"], [w])
    m.graph.input.extend([helper.make_tensor_value_info("c", TensorProto.BOOL, []), vi("unread")])
    names, g = sorted_names(ir, m)
    assert names == ["over_w", "k", "consts_only", "add", "if"]
    g.verify()
    onnx.checker.check_model(ir.to_onnx(g.model))


def test_sparse_initializers_are_constants(ir):
    sparse = helper.make_sparse_tensor(
        helper.make_tensor("sp", F, [1], [2.0]), helper.make_tensor("i", TensorProto.INT64, [1], [0]),
        [1])
    nodes = [helper.make_node("Add", ["a", "sp"], ["y"], name="second"),
             helper.make_node("Relu", ["x"], ["a"], name="first")]
    m = graph_of(nodes, ["x"], ["y"])
    m.graph.sparse_initializer.append(sparse)
    names, g = sorted_names(ir, m)
    assert names == ["first", "second"]
    g.verify()


def test_unorderable_or_sorted_graphs_stay_untouched(ir, caplog):
    # A tensor that nothing produces, or a cycle: the order stays, with a
    # warning that names the tensor or a node on the cycle.
    dangling = [helper.make_node("Relu", ["a"], ["y"], name="b"),
                helper.make_node("Add", ["x", "ghost"], ["a"], name="a")]
    cycle = [helper.make_node("Relu", ["c2"], ["y"], name="out"),
             helper.make_node("Add", ["x", "c2"], ["c1"], name="c1"),
             helper.make_node("Relu", ["c1"], ["c2"], name="c2")]
    for nodes, said in ((dangling, "'ghost'"), (cycle, "cycle through node 'c")):
        with caplog.at_level(logging.WARNING, logger="tarq"):
            caplog.clear()
            names, g = sorted_names(ir, graph_of(nodes, ["x"], ["y"]))
        assert names == [n.name for n in nodes]
        assert any(said in r.getMessage() for r in caplog.records), caplog.text
        g.verify()
    # Already sorted: the very same node objects stay in place.
    nodes = [helper.make_node("Relu", ["x"], ["a"], name="a"),
             helper.make_node("Relu", ["a"], ["y"], name="b")]
    g = ir.IRGraph(graph_of(nodes, ["x"], ["y"]))
    first = g.node[0]
    g.rebuild(sort_nodes=True)
    assert [n.name for n in g.node] == ["a", "b"]
    first.name = "renamed"
    assert g.node[0].name == "renamed"


def test_a_fully_shaped_model_sorts_without_a_weight_cache(ir):
    # Without a weight cache the cleaning runs the checker, which rejects an
    # unsorted graph: the rebuild sorts before it.
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    names = [n.name for n in g.node]
    reordered = [ir.to_onnx(n) for n in reversed(g.node)]
    del g.model.graph.node[:]
    g.model.graph.node.extend(reordered)
    with pytest.raises(ir.ValidationError):
        g.rebuild()
    g.rebuild(sort_nodes=True)
    assert [n.name for n in g.node] == names
    g.verify()
    onnx.checker.check_model(ir.to_onnx(g.model))


def test_a_long_reversed_chain_sorts(ir):
    n = 100_000
    nodes = [helper.make_node("Relu", [f"t{i}"], [f"t{i + 1}"], name=f"n{i}")
             for i in reversed(range(n))]
    names, g = sorted_names(ir, graph_of(nodes, ["t0"], [f"t{n}"]))
    assert names[0] == "n0" and names[-1] == f"n{n - 1}" and names[n // 2] == f"n{n // 2}"
    assert g.index(g.node[5]) == 5


def test_sorting_by_position_and_name_matches(ir):
    nodes = [helper.make_node("Relu", ["a"], ["y"], name="b"),
             helper.make_node("Relu", ["x"], ["a"], name="a")]
    m = graph_of(nodes, ["x"], ["y"])
    for call in (lambda g: g.rebuild(False, True), lambda g: g.rebuild(sort_nodes=True)):
        g = ir.IRGraph(m, initializer_dat={"w": np.ones(1, np.float32)})
        call(g)
        assert [n.name for n in g.node] == ["a", "b"]
        onnx.checker.check_model(ir.to_onnx(g.model))
