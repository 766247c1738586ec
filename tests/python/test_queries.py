"""Producers, consumers, positions and dead tensors."""
import onnx
from onnx import TensorProto, helper

F = TensorProto.FLOAT


def build(ir):
    vi = lambda n: helper.make_tensor_value_info(n, F, [1])
    nodes = [helper.make_node("Split", ["x"], ["a", "b"], name="split", num_outputs=2),
             helper.make_node("Add", ["a", "b"], ["c"], name="add"),
             helper.make_node("Relu", ["c"], ["d"], name="relu"),
             helper.make_node("Neg", ["c"], ["e"], name="neg")]
    g = helper.make_graph(nodes, "q", [vi("x")], [vi("d"), vi("e")])
    return ir.IRGraph(helper.make_model(g, opset_imports=[helper.make_opsetid("", 18)]))


def test_consumers_and_producers(ir):
    g = build(ir)
    split, add, relu, neg = list(g.node)
    assert [n.name for n in g.next_nodes(split)] == ["add"], "one consumer of two outputs, once"
    assert [n.name for n in g.next_nodes("c")] == ["relu", "neg"]
    assert [n.name for n in g.pre_nodes(add)] == ["split"], "one producer of two inputs, once"
    assert g.pre_nodes("x") == [] and g.pre_nodes("nope") == []
    assert [n.name for n in g.pre_nodes("d")] == ["relu"]
    # Node arguments may be onnx package messages too.
    assert [n.name for n in g.next_nodes(ir.to_onnx(add))] == ["relu", "neg"]
    assert g.index(neg) == 3 and g.index(onnx.NodeProto(name="nope")) == -1


def test_next_nodes_of_a_name_is_the_operands_own_list(ir):
    g = build(ir)
    live = g.next_nodes("c")
    neg = g.node[3]
    live.remove(neg)
    assert [n.name for n in g.operands["c"].outputs] == ["relu"], "a change reaches the operand"
    g.operands["c"].outputs.append(neg)
    assert [n.name for n in live] == ["relu", "neg"], "and the operand's changes reach the view"
    unknown = g.next_nodes("nope")
    assert unknown == [] and unknown is not g.next_nodes("nope")
    unknown.append(1)
    assert g.next_nodes("nope") == []


def test_is_invalid(ir):
    g = build(ir)
    assert not g.is_invalid("d"), "a graph output nothing consumes"
    assert not g.is_invalid("c") and g.is_invalid("nope")
    g.next_nodes("a").clear()
    assert g.is_invalid("a")
