"""verify(): every table recomputed from the model, the first difference named."""
import numpy as np
import onnx
import pytest
from onnx import TensorProto as T
from onnx import helper as h

from conftest import EXAMPLE, light_models


def vi(name, shape=(2,), elem=T.FLOAT):
    return h.make_tensor_value_info(name, elem, list(shape))


def branchy_model():
    """Two readers of one tensor, a node reading a tensor twice, If branches
    that read outer tensors, a quantize/dequantize pair and a weight."""
    branch = h.make_graph([h.make_node("Add", ["r", "r"], ["bo"], name="b_add")], "br", [],
                          [vi("bo")])
    nodes = [h.make_node("Relu", ["x"], ["r"], name="relu"),
             h.make_node("Mul", ["r", "r"], ["m"], name="square"),
             h.make_node("Add", ["r", "w"], ["a"], name="add"),
             h.make_node("QuantizeLinear", ["a", "s"], ["q"], name="q"),
             h.make_node("DequantizeLinear", ["q", "s"], ["dq"], name="dq"),
             h.make_node("If", ["c"], ["io"], name="if", then_branch=branch, else_branch=branch)]
    inits = [onnx.numpy_helper.from_array(np.ones(2, np.float32), "w"),
             onnx.numpy_helper.from_array(np.float32(0.5), "s")]
    graph = h.make_graph(nodes, "g", [vi("x"), vi("c", [], T.BOOL)],
                         [vi("m"), vi("dq"), vi("io")], inits, value_info=[vi("r")])
    return h.make_model(graph, opset_imports=[h.make_opsetid("", 17)])


def expect_difference(g, table, key=None):
    with pytest.raises(ir_module().VerifyError) as info:
        g.verify()
    err = info.value
    assert isinstance(err, ValueError) and err.table == table, str(err)
    if key is not None:
        assert err.key == key, str(err)
    assert table in str(err) and err.expected and err.actual
    return err


def ir_module():
    import tarq.api.ir_graph as ir
    return ir


@pytest.mark.parametrize("path", [EXAMPLE] + light_models()[:3], ids=lambda p: p.split("/")[-1])
def test_fresh_graphs_verify(ir, path):
    for cache in (None, {}):
        g = ir.IRGraph(ir.load_model(path), initializer_dat=cache)
        g.verify()
        g.rebuild(clean_shape=True, sort_nodes=True)
        g.verify()


def test_every_table_is_checked(ir):
    # Each edit below leaves exactly one table stale; verify names it. A
    # fresh rebuild makes the tables right again.
    def fresh():
        g = ir.IRGraph(branchy_model(), initializer_dat={})
        g.verify()
        assert g.qat
        return g

    g = fresh()
    g.model.graph.node[1].name = "renamed"
    expect_difference(g, "nodes", "renamed")
    g.rebuild()
    g.verify()

    g = fresh()
    g.model.graph.initializer[0].name = "w2"
    expect_difference(g, "consts", "w2")

    g = fresh()
    g.model.graph.input.add().CopyFrom(vi("extra"))
    expect_difference(g, "inputs_with_const", "extra")

    g = fresh()
    g.model.graph.output[0].name = "dq"
    g.model.graph.output[1].name = "m"
    expect_difference(g, "outputs")

    g = fresh()
    g.model.graph.node[0].output[0] = "r2"  # the producer of "r" is gone
    err = expect_difference(g, "operands", "r2")

    g = fresh()
    consumers = g.operands["r"].outputs
    assert [n.name for n in consumers] == ["square", "add", "b_add"]  # once each, branch last
    consumers.append(g.node[0])
    err = expect_difference(g, "operands", "r")
    assert "relu" in err.actual

    g = fresh()
    g.operands["r"].outputs.remove(g.node[2])
    expect_difference(g, "operands", "r")

    g = fresh()
    g.operands["m"].input = g.node[0]
    err = expect_difference(g, "operands", "m")
    assert "square" in err.expected and "relu" in err.actual

    g = fresh()
    g.operands["r"].shape = [3]
    expect_difference(g, "operands", "r")

    g = fresh()
    g.operands["r"].dtype = np.dtype("float16")
    expect_difference(g, "operands", "r")

    g = fresh()
    g.n_bytes += 1
    expect_difference(g, "n_bytes")

    g = fresh()
    g.qat = False
    expect_difference(g, "qat", "q")

    g = fresh()
    g.model.graph.node[2].input[0] = "x"  # add now reads x: "r" lost a consumer
    expect_difference(g, "operands", "x")

    g = fresh()
    g.model = branchy_model()
    expect_difference(g, "graph")
    g.rebuild()
    g.verify()


def test_can_frees_and_dependencies_are_checked(ir):
    # The analyses can be rerun by hand on a model that differs for a moment:
    # afterwards only they disagree with the model.
    g = ir.IRGraph(branchy_model(), initializer_dat={})
    assert list(g.can_frees)[5] == ["c", "r"]  # the If node reads "r" last, in a branch
    g._create_can_frees()  # appends a second list per node
    expect_difference(g, "can_frees")

    g = ir.IRGraph(branchy_model(), initializer_dat={})
    square = g.model.graph.node[1]
    square.input[1] = "x"
    g.create_tensor_dependency_map()
    square.input[1] = "r"
    expect_difference(g, "tensor_dependency_map", "r")
    g.rebuild()
    g.verify()


def test_wide_and_renamed_graphs_verify(ir):
    # One tensor read by many nodes, and names the rebuild has to rename:
    # the consumer lists stay exact and verify agrees.
    n = 20_000
    nodes = [h.make_node("Relu", ["x"], [f"y{i}"], name="same" if i % 2 else f"n{i}")
             for i in range(n)]
    graph = h.make_graph(nodes, "wide", [vi("x")], [vi(f"y{i}") for i in range(n)])
    g = ir.IRGraph(h.make_model(graph, opset_imports=[h.make_opsetid("", 17)]),
                   initializer_dat={})
    assert len(g.next_nodes("x")) == n
    assert [n.name for n in g.next_nodes("x")[:4]] == ["n0", "same", "n2", "same_3"]
    g.verify()
