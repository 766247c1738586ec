"""Topological ordering of the top-level nodes by the rebuild."""
import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper

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


def test_unorderable_or_sorted_graphs_stay_untouched(ir):
    # A node with no inputs cannot be reached from the graph inputs.
    nodes = [helper.make_node("Add", ["x", "k"], ["y"], name="add"),
             helper.make_node("Constant", [], ["k"], name="k",
                              value=helper.make_tensor("v", F, [1], [1.0]))]
    names, _ = sorted_names(ir, graph_of(nodes, ["x"], ["y"]))
    assert names == ["add", "k"]
    # Already sorted: the very same node objects stay in place.
    nodes = [helper.make_node("Relu", ["x"], ["a"], name="a"),
             helper.make_node("Relu", ["a"], ["y"], name="b")]
    g = ir.IRGraph(graph_of(nodes, ["x"], ["y"]))
    first = g.node[0]
    g.rebuild(sort_nodes=True)
    assert [n.name for n in g.node] == ["a", "b"]
    first.name = "renamed"
    assert g.node[0].name == "renamed"


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
