"""Attribute access: carried attributes as the onnx helper reads them, defaults
completed from tensor shapes, writes with their change record, and equality of
two nodes' configurations."""
import os

import numpy as np
import onnx
import pytest
from onnx import AttributeProto as A
from onnx import TensorProto, helper, numpy_helper

from conftest import TESTDATA, backend_models, light_models

F = TensorProto.FLOAT
CONV_STRIDED = os.path.join(TESTDATA, "pytorch-converted", "test_Conv2d_strided", "model.onnx")


def _same_kind(got, want):
    if isinstance(want, list):
        return isinstance(got, list) and [type(v) for v in got] == [type(v) for v in want]
    return type(got) is type(want)


def test_carried_attributes_read_as_the_onnx_helper_reads_them(ir):
    kinds = set()
    for path in backend_models() + light_models():
        g = ir.IRGraph(onnx.load(path))
        # The oracle reads the graph's own model: the construction may have
        # completed value information inside subgraphs.
        oracle = ir.to_onnx(g.model)
        for view, node in zip(g.model.graph.node, oracle.graph.node):
            for a in node.attribute:
                kinds.add(a.type)
                where = f"{path}: {node.name} {a.name}"
                got, want = g.get_attr(view, a.name), helper.get_attribute_value(a)
                if a.type in (A.TENSOR, A.GRAPH):
                    assert ir.to_onnx(got) == want, where
                elif a.type in (A.TENSORS, A.GRAPHS):
                    assert [ir.to_onnx(v) for v in got] == list(want), where
                else:
                    if a.type == A.STRING:
                        want = want.decode()
                    assert got == want and _same_kind(got, want), where
    assert kinds >= {A.FLOAT, A.INT, A.STRING, A.TENSOR, A.GRAPH, A.INTS, A.STRINGS}


def _shapes_model(ir, opset):
    nodes = [helper.make_node("Conv", ["x", "w"], ["c"], name="conv"),
             helper.make_node("Conv", ["u", "w"], ["c2"], name="conv_unknown"),
             helper.make_node("Conv", ["x1", "w1"], ["c3"], name="conv1d"),
             helper.make_node("Transpose", ["c"], ["t"], name="tr"),
             helper.make_node("Split", ["c"], ["s1", "s2"], name="split"),
             helper.make_node("Custom", ["c"], ["q"], name="custom", domain="my", s="é")]
    inits = [numpy_helper.from_array(np.ones(s, np.float32), n)
             for n, s in (("w", (64, 3, 7, 7)), ("w1", (4, 3, 3)))]
    graph = helper.make_graph(
        nodes, "g",
        [helper.make_tensor_value_info("x", F, [1, 3, 224, 224]),
         helper.make_tensor_value_info("u", F, None),
         helper.make_tensor_value_info("x1", F, [1, 3, 10])],
        [helper.make_tensor_value_info(n, F, None) for n in ("t", "c2", "c3", "s1", "s2", "q")],
        inits)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset),
                                                helper.make_opsetid("my", 1)])
    # A weight cache keeps the model check from rejecting the custom operator.
    return ir.IRGraph(m, initializer_dat={})


@pytest.mark.parametrize("opset, split_default", [(13, []), (10, None)])
def test_defaults_follow_the_opset_and_the_tensor_shapes(ir, opset, split_default):
    g = _shapes_model(ir, opset)
    n = {node.name: node for node in g.model.graph.node}
    assert g.get_attr(n["conv"], "pads") == [0, 0, 0, 0]
    assert g.get_attr(n["conv_unknown"], "pads") == [0, 0]
    assert g.get_attr(n["conv"], "kernel_shape") == [7, 7]
    assert g.get_attr(n["conv1d"], "strides") == [1]
    assert g.get_attr(n["tr"], "perm") == [3, 2, 1, 0]
    assert g.get_attr(n["conv"], "group") == 1 and g.get_attr(n["conv"], "auto_pad") == "NOTSET"
    assert g.get_attr(n["conv"], "pads", False) is None
    assert g.get_attr(n["custom"], "s") == "é"
    assert g.get_attr(n["split"], "split") == split_default
    if split_default is not None:
        g.get_attr(n["split"], "split").append(5)
        assert g.get_attr(n["split"], "split") == [], "a default handed out is not the table's"
    with pytest.raises(KeyError, match="Custom"):
        g.get_attr(n["custom"], "missing")
    assert g.get_attr(n["custom"], "missing", ret_def_attr=False) is None


def test_set_attr_moves_the_attribute_and_records_the_node_once(ir):
    g = ir.IRGraph(onnx.load(CONV_STRIDED))
    conv = g.model.graph.node[0]
    before = ir.to_onnx(conv)
    assert [a.name for a in conv.attribute] == [
        "dilations", "group", "kernel_shape", "pads", "strides"]
    g.set_attr(conv, "group", 1)  # no change record while nodes_chg is None
    assert g.nodes_chg is None
    chg = {}
    g.nodes_chg = chg
    assert g.nodes_chg is chg
    g.set_attr(conv, "dilations", [2, 2])
    g.verify()
    assert [a.name for a in conv.attribute] == [
        "kernel_shape", "pads", "strides", "group", "dilations"]
    assert conv.attribute[-1] == helper.make_attribute("dilations", [2, 2])
    g.set_attr(conv, "pads", None)
    g.set_attr(conv, "strides", [])
    g.set_attr(conv, "alpha", 0.5)
    g.remove_attr(conv, "kernel_shape")
    g.remove_attr(conv, "no_such")
    g.verify()
    assert [a.name for a in conv.attribute] == ["group", "dilations", "alpha"]
    assert list(chg) == [conv.name] and len(chg[conv.name]) == 2
    snapshot, live = chg[conv.name]
    group = next(a for a in before.attribute if a.name == "group")
    # The snapshot shows the node before its first recorded change (the
    # unrecorded group write moved that attribute to the end).
    expected = onnx.NodeProto()
    expected.CopyFrom(before)
    expected.attribute.remove(group)
    expected.attribute.append(group)
    assert snapshot == expected
    live.attribute.add(name="through_the_record", i=1, type=A.INT)
    assert conv.attribute[-1].name == "through_the_record", "the second element is the node"
    # A value that make_attribute cannot type fails and leaves the node as it was.
    state = ir.to_onnx(conv)
    for bad in (object(), [1, "a"], [[1, 2]], 1 + 2j, 2 ** 70):
        with pytest.raises((TypeError, ValueError)):
            g.set_attr(conv, "dilations", bad)
        assert conv == state
    g.verify()


def test_same_attr_compares_values_defaults_included(ir):
    g = ir.IRGraph(onnx.load(CONV_STRIDED))
    conv = g.model.graph.node[0]  # carries every attribute, group=1 and dilations included
    bare = ir.to_onnx(conv)
    del bare.attribute[:]
    assert not g.same_attr(conv, bare), "strides [2, 2] is not the default"
    bare.attribute.append(helper.make_attribute("strides", [2, 2]))
    assert g.same_attr(conv, bare) and g.same_attr(bare, conv)
    bare.attribute.append(helper.make_attribute("group", 1.0))
    assert g.same_attr(conv, bare), "1 equals 1.0"
    bare.attribute.append(helper.make_attribute("pads", [0, 0, 0, 1]))
    assert not g.same_attr(conv, bare)
    other = ir.to_onnx(conv)
    other.op_type = "ConvTranspose"
    assert not g.same_attr(conv, other)
    value = numpy_helper.from_array(np.arange(3, dtype=np.float32))
    k1 = helper.make_node("Constant", [], ["a"], value=value)
    k2 = helper.make_node("Constant", [], ["b"], value=value)
    assert g.same_attr(k1, k2)
    k2.attribute[0].t.float_data.append(1.0)
    assert not g.same_attr(k1, k2)
    u1 = helper.make_node("Custom", ["x"], ["y"], domain="my", p=1)
    u2 = helper.make_node("Custom", ["x"], ["y"], domain="my", q=1)
    with pytest.raises(KeyError, match="Custom"):
        g.same_attr(u1, u2)


def test_branch_edits_of_if_nodes_relink_the_branch_nodes(ir):
    """Branch nodes read outer names and write their own: replacing or
    removing a branch of a top-level If node changes the operand table as a
    rebuild would make it."""
    def branch(name, op, reads="x"):
        return helper.make_graph([helper.make_node(op, [reads], [name + "_o"], name=name + "_n")],
                                 name, [], [helper.make_tensor_value_info(name + "_o", F, [2])])

    ifs = [helper.make_node("If", ["c"], [f"o{i}"], name=f"if{i}", then_branch=branch(f"t{i}", "Relu"),
                            else_branch=branch(f"e{i}", "Neg")) for i in range(3)]
    model = helper.make_model(helper.make_graph(
        ifs, "g", [helper.make_tensor_value_info("c", TensorProto.BOOL, []),
                   helper.make_tensor_value_info("x", F, [2])],
        [helper.make_tensor_value_info(f"o{i}", F, [2]) for i in range(3)]),
        opset_imports=[helper.make_opsetid("", 17)])
    g = ir.IRGraph(model)
    middle = g.node[1]
    g.set_attr(middle, "then_branch", branch("u", "Sigmoid"))
    # In walk order: If nodes in turn, each one's branches in attribute order
    # (make_node sorts them by name; the replaced one moved to the end).
    assert [n.name for n in g.operands["x"].outputs] == ["e0_n", "t0_n", "e1_n", "u_n", "e2_n",
                                                          "t2_n"]
    assert "u_o" in g.operands and "t1_o" not in g.operands
    g.verify()
    g.remove_attr(middle, "else_branch")
    assert "e1_n" not in [n.name for n in g.operands["x"].outputs]
    g.verify()
    # A real model: the branches of test_if swapped.
    g = ir.IRGraph(ir.load_model(os.path.join(TESTDATA, "node", "test_if", "model.onnx")))
    node = g.node[0]
    then, other = g.get_attr(node, "then_branch"), g.get_attr(node, "else_branch")
    g.set_attr(node, "then_branch", ir.to_onnx(other))
    g.set_attr(node, "else_branch", ir.to_onnx(then))
    g.verify()
    assert g.operands["then_out"].input.name == g.get_attr(node, "else_branch").node[0].name
