"""The rebuild's index tables, on crafted corner cases and on every backend test model."""
import logging
import os

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper

from conftest import EXAMPLE, backend_models, light_models

F = TensorProto.FLOAT


def vi(name, shape=(1,), t=F):
    return helper.make_tensor_value_info(name, t, list(shape))


def model_of(nodes, inputs, outputs, inits=(), value_info=(), opset=17):
    g = helper.make_graph(nodes, "g", inputs, outputs, list(inits), value_info=list(value_info))
    return helper.make_model(g, opset_imports=[helper.make_opsetid("", opset)])


def test_names_links_and_operands(ir, caplog):
    nodes = [
        helper.make_node("Relu", ["x"], ["a"], name="a"),
        helper.make_node("Relu", ["a"], ["u"]),                    # unnamed: takes "u"
        helper.make_node("Add", ["u", "u"], ["s"], name="add"),    # reads u twice
        helper.make_node("Mul", ["s", "w"], ["m"], name="mul"),    # w: a constant
        helper.make_node("Split", ["m"], ["p", ""], name="split"), # empty output name
        helper.make_node("Relu", ["p"], ["y"], name="a"),          # duplicate of "a" at 5
    ]
    w = helper.make_tensor("w", F, [1], [2.0])
    m = model_of(nodes, [vi("x", ["N"])], [vi("y")], [w], [vi("s", [1, None])])
    with caplog.at_level(logging.DEBUG, logger="tarq"):
        g = ir.IRGraph(m, initializer_dat={})  # the checker would reject the renamed duplicate
    assert [n.name for n in g.node] == ["a", "u", "add", "mul", "split", "a_5"]
    assert dict(g.nodes.items()) == {"a": 0, "u": 1, "add": 2, "mul": 3, "split": 4, "a_5": 5}
    assert [n.name for n in g.operands["u"].outputs] == ["add"]
    assert "w" not in g.operands and g.consts["w"] == 0
    assert g.operands[""].input.name == "split"
    assert g.operands["x"].shape == ["N"] and g.operands["x"].dtype == "float32"
    assert g.operands["s"].shape == [1, None], "kept value information wins over inference"
    assert len(g.operands["m"].shape) == 2 and g.operands["m"].dtype == "float32"
    assert caplog.records == []
    g.verify()

    # A typeless value info makes the rebuild clean all value information; a
    # typeless graph input is reported.
    m.graph.value_info.append(onnx.ValueInfoProto(name="notype"))
    m.graph.input.append(onnx.ValueInfoProto(name="untyped"))
    m.graph.node[0].input[0] = "untyped"
    with caplog.at_level(logging.DEBUG, logger="tarq"):
        # A cache that is not empty keeps the model check (which would reject
        # the untyped input) from running.
        g = ir.IRGraph(m, initializer_dat={"w": np.array([2.0], np.float32)})
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("WARNING", "The type of 'notype' is wrong! Try clean it!"),
        ("ERROR", "Unknow elem_type for untyped!")]
    assert "s" not in [v.name for v in g.model.graph.value_info]
    g.verify()


def test_if_branches_are_linked_but_not_indexed(ir):
    then_g = helper.make_graph([helper.make_node("Relu", ["x"], ["t"], name="then_relu")],
                               "then", [], [vi("t")])
    else_g = helper.make_graph([helper.make_node("Neg", ["x"], ["e"], name="else_neg")],
                               "else", [], [vi("e")])
    nodes = [helper.make_node("Identity", ["c"], ["c2"], name="id"),
             helper.make_node("If", ["c2"], ["y"], name="if", then_branch=then_g, else_branch=else_g)]
    # "x" is read only in the branches, so the cleaning drops it from the
    # inputs; a weight cache keeps the checker, which would reject that, off.
    g = ir.IRGraph(model_of(nodes, [vi("x"), vi("c", t=TensorProto.BOOL)], [vi("y")]),
                   initializer_dat={})
    # Branches in attribute order (the helper sorts them: else_branch first).
    assert [n.name for n in g.next_nodes("x")] == ["else_neg", "then_relu"]
    assert g.pre_nodes("t")[0].name == "then_relu"
    assert "then_relu" not in g.nodes and g.index(g.operands["t"].input) == -1
    # The branch reads count for the If node in the free analysis.
    assert list(g.can_frees) == [["c"], ["c2", "x"]]
    g.verify()


def test_operator_scan(ir, caplog):
    q = [helper.make_node("Relu", ["x"], ["a"], name="r"),
         helper.make_node("exSwish", ["a"], ["b"], name="ex"),
         helper.make_node("QuantizeLinear", ["b", "s"], ["y"], name="q")]
    s = helper.make_tensor("s", F, [], [0.1])
    g = ir.IRGraph(model_of(q, [vi("x")], [vi("y", t=TensorProto.UINT8)], [s]))
    assert g.has_extend_op and not g.qat, "the scan stops at the first extended operator"
    q2 = [helper.make_node("DequantizeLinear", ["x", "s"], ["a"], name="dq"),
          helper.make_node("Reshape_", ["a"], ["y"], name="r")]
    # An unknown output shape keeps the checker (which knows no Reshape_) off.
    g = ir.IRGraph(model_of(q2, [vi("x", t=TensorProto.UINT8)], [vi("y", [None])], [s]))
    assert g.has_extend_op and g.qat
    seq = [helper.make_node("SequenceConstruct", ["x"], ["y"], name="sc")]
    yt = helper.make_tensor_sequence_value_info("y", F, None)
    with caplog.at_level(logging.ERROR, logger="tarq"):
        g = ir.IRGraph(model_of(seq, [vi("x")], [yt]))
    assert caplog.records[-1].getMessage() == (
        "The Op of 'SequenceConstruct' is not supported yet, please remove it and try again!")
    assert g.operands["y"].dtype == "float32", "a sequence's element type"


def test_byte_total_and_duplicate_initializers(ir):
    inits = [helper.make_tensor("a", F, [2, 3], [0] * 6),
             helper.make_tensor("b", TensorProto.INT64, [4], [0] * 4),
             helper.make_tensor("a", TensorProto.FLOAT16, [2], [0, 0])]
    nodes = [helper.make_node("Identity", ["x"], ["y"], name="i"),
             helper.make_node("Concat", ["a", "b"], ["ab"], name="c", axis=0)]
    g = ir.IRGraph(model_of(nodes, [vi("x")], [vi("y"), vi("ab", [None])], inits),
                   initializer_dat={})  # the checker rejects the duplicate
    assert g.n_bytes == 6 * 4 + 4 * 8 + 2 * 2
    assert dict(g.consts.items()) == {"a": 2, "b": 1}, "the later position wins"


def test_a_node_writing_an_initializer_name(ir):
    # Reads of the name stay constant reads (never linked), before and after
    # the node that writes it; the name becomes an operand with that producer.
    nodes = [helper.make_node("Add", ["x", "w"], ["a"], name="n0"),
             helper.make_node("Relu", ["a"], ["w"], name="n1"),
             helper.make_node("Mul", ["w", "a"], ["y"], name="n2")]
    w = helper.make_tensor("w", F, [1], [1.0])
    g = ir.IRGraph(model_of(nodes, [vi("x")], [vi("y")], [w]),
                   initializer_dat={})  # the checker rejects the second writer
    g.verify()
    assert g.operands["w"].input.name == "n1" and len(g.operands["w"].outputs) == 0
    assert [n.name for n in g.operands["a"].outputs] == ["n1", "n2"]
    assert list(g.can_frees) == [["x"], [], ["a"]]
    assert g.tensor_dependency_map["y"] == ("w", "a", "x")

    # The only way back from y to x is through the written constant.
    nodes = [helper.make_node("Relu", ["x"], ["w"], name="n0"),
             helper.make_node("Relu", ["w"], ["y"], name="n1")]
    g = ir.IRGraph(model_of(nodes, [vi("x")], [vi("y")], [w]), initializer_dat={})
    assert g.tensor_dependency_map["y"] == ("w", "x")


def test_dependency_maps(ir):
    nodes = [helper.make_node("Relu", ["x"], ["t1"], name="A"),
             helper.make_node("Add", ["t1", "w"], ["t2"], name="B"),
             helper.make_node("Resize", ["t2", "", "sc"], ["t3"], name="C"),
             helper.make_node("Relu", ["late"], ["t4"], name="D"),
             helper.make_node("Relu", ["t3"], ["late"], name="E")]
    w = helper.make_tensor("w", F, [1], [1.0])
    sc = helper.make_tensor("sc", F, [4], [1, 1, 2, 2])
    g = ir.IRGraph(model_of(nodes, [vi("x")], [vi("t4")], [w, sc]),
                   initializer_dat={})  # the checker rejects the unsorted nodes
    tdm, ndm = g.tensor_dependency_map, g.node_dependency_map
    assert list(tdm.keys())[:3] == ["x", "w", "sc"] and tdm["x"] == () and tdm["w"] == ()
    assert set(tdm["t2"]) == {"t1", "x", "w"} and set(ndm["B"]) == {"t1", "x", "w"}
    assert set(tdm["t3"]) == {"t2", "", "sc", "t1", "x", "w"}, "empty input names count"
    assert tdm["t4"] == ("late",), "a tensor produced later contributes only its name"
    assert set(tdm["late"]) == {"t3", "t2", "", "sc", "t1", "x", "w"}
    with pytest.raises(KeyError):
        tdm["nope"]

    # Recaptured after an edit that leaves two nodes named "A": the later one
    # wins, and the maps copy the names the model held then.
    g.node[1].name = "A"
    g.create_tensor_dependency_map()
    ndm = g.node_dependency_map
    assert list(ndm.keys()) == ["A", "C", "D", "E"] and set(ndm["A"]) == {"t1", "x", "w"}
    g.node[1].name = "B"
    assert "A" in ndm.keys() and "B" not in ndm.keys()


def test_long_chain_stays_linear_and_exact(ir):
    n = 20000
    nodes = [helper.make_node("Relu", [f"t{i}"], [f"t{i + 1}"], name=f"n{i}") for i in range(n)]
    g = ir.IRGraph(model_of(nodes, [vi("t0")], [vi(f"t{n}")]))
    assert len(g.tensor_dependency_map) == n + 1
    assert len(g.tensor_dependency_map[f"t{n}"]) == n
    assert g.can_frees[n - 1] == [f"t{n - 1}"]


@pytest.mark.parametrize("path", backend_models() + light_models(),
                         ids=lambda p: os.path.relpath(p, "/usr/share/libonnx-testdata/data")
                         if p.startswith("/usr") else os.path.basename(p))
def test_backend_models_keep_the_invariants(ir, path):
    m = onnx.load(path)
    g = ir.IRGraph(m)
    g.verify()
    assert len(g.node) == len(m.graph.node)
    # With a weight cache: weights move out, every value stays readable.
    cache = {}
    g = ir.IRGraph(m, initializer_dat=cache)
    g.verify()
    for t in m.graph.initializer:
        if t.name in g.consts and t.data_type != onnx.TensorProto.STRING:
            np.testing.assert_array_equal(g.get_array(g.model.graph.initializer[g.consts[t.name]]),
                                          onnx.numpy_helper.to_array(t))


def test_example_model(ir):
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    assert list(g.inputs) == ["input"] and list(g.outputs) == ["probabilities"]
    assert g.operands["probabilities"].shape == [1, 10]
    g.verify()
