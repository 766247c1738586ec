"""Redefining the graph inputs and outputs through edit_par, at construction
and in rebuild: cuts of a real model, element types, node cleaning, initial
values, the reports and the refusals."""
import copy
import logging
import os

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

from conftest import light_models, ort_session

F, I32, I64 = TensorProto.FLOAT, TensorProto.INT32, TensorProto.INT64
RESNET = next(p for p in light_models() if os.path.basename(p) == "light_resnet50.onnx")


def edit(inputs=(), outputs=(), shapes=None, values=()):
    return {"inputs": list(inputs), "shapes": list(shapes or [None] * len(inputs)),
            "values": list(values), "outputs": list(outputs)}


def with_outputs(model, names):
    """The model with these tensors as its only outputs."""
    m = copy.deepcopy(model)
    del m.graph.output[:]
    m.graph.output.extend(helper.make_tensor_value_info(n, F, None) for n in names)
    return m


def test_cuts_of_a_real_model_compute_what_the_original_computes(ir, tmp_path):
    original = onnx.load(RESNET)
    x = np.random.default_rng(3).standard_normal([1, 3, 224, 224]).astype(np.float32)
    # Tensors between residual blocks, and the two branches of a
    # down-sampling block's sum (r43, r45) before its Relu (r47).
    inner = ["r15", "r25", "r35", "r43", "r45", "r47"]
    ref = dict(zip(inner, ort_session(with_outputs(original, inner)).run(inner, {
        "gpu_0/data_0": x})))
    cuts = [(["r15"], ["r35"]), (["r25"], ["r35", "r47"]), (["r43", "r45"], ["r47"])]
    for inputs, outputs in cuts:
        for cache in (None, {}):
            for reverse in (False, True):
                g = ir.IRGraph(ir.load_model(RESNET), initializer_dat=cache)
                if reverse:
                    # Sorting comes first, so the cut sees the nodes in order.
                    g.model.graph.node.reverse()
                g.rebuild(sort_nodes=reverse, edit_par=edit(
                    inputs, outputs, [g.get_shape(n) for n in inputs]))
                where = f"cut {inputs} -> {outputs}, cache {cache is not None}, reversed {reverse}"
                assert list(g.inputs) == inputs and list(g.outputs) == outputs, where
                declared = [v.name for v in g.model.graph.input]
                assert declared[:len(inputs)] == inputs, "the new inputs come first"
                assert all(n in g.consts for n in declared[len(inputs):]), where
                made = {o for n in g.model.graph.node for o in n.output}
                assert not made & set(inputs), "the nodes before the cut are gone"
                assert len(g.model.graph.node) < len(original.graph.node) // 4, where
                path = str(tmp_path / "cut.onnx")
                g.save_onnx(path)
                onnx.checker.check_model(path)
                got = ort_session(path).run(outputs, {n: ref[n] for n in inputs})
                for name, value in zip(outputs, got):
                    np.testing.assert_allclose(value, ref[name], rtol=1e-5, atol=1e-6,
                                               err_msg=f"{where}: {name}")


def typed_model():
    """x (int64) -> Cast -> a (int32) -> Neg -> b -> Cast -> c (float);
    c2 = c + w; y = c2 + float(x); and a dead Relu."""
    nodes = [helper.make_node("Cast", ["x"], ["a"], name="to_i32", to=I32),
             helper.make_node("Neg", ["a"], ["b"], name="neg"),
             helper.make_node("Cast", ["b"], ["c"], name="to_f", to=F),
             helper.make_node("Add", ["c", "w"], ["c2"], name="add_w"),
             helper.make_node("Cast", ["x"], ["xf"], name="x_to_f", to=F),
             helper.make_node("Add", ["c2", "xf"], ["y"], name="add_x"),
             helper.make_node("Relu", ["xf"], ["dead"], name="dead_relu")]
    graph = helper.make_graph(
        nodes, "typed", [helper.make_tensor_value_info("x", I64, [2, 3])],
        [helper.make_tensor_value_info("y", F, [2, 3]),
         helper.make_tensor_value_info("c2", F, [2, 3])],
        [numpy_helper.from_array(np.array([1, 2, 3], np.float32), "w")])
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])


def test_new_inputs_their_types_order_and_values(ir):
    g = ir.IRGraph(typed_model())
    # An inner tensor takes the type its value information gives (int32);
    # an existing input keeps its declared type but takes the new shape.
    g.rebuild(edit_par=edit(["b", "x"], [], [[2, 3], ["N", 3]]))
    assert [v.name for v in g.model.graph.input] == ["b", "x", "w"]
    assert g.get_dtype("b") == np.int32 and g.get_dtype("x") == np.int64
    assert g.get_shape("x") == ["N", 3] and g.get_shape("b") == [2, 3]
    assert [n.name for n in g.node] == ["to_f", "add_w", "x_to_f", "add_x"], (
        "naming an inner tensor removes what fed it (and the dead node)")
    assert g.outputs == ["y", "c2"]
    # An initial value makes the input a constant.
    g = ir.IRGraph(typed_model())
    value = np.array([[1, 2, 3], [4, 5, 6]], np.int32)
    g.rebuild(edit_par=edit(["b", "x"], [], [[2, 3], [2, 3]], [value, None]))
    assert "b" in g.consts and "b" not in g.inputs and g.inputs == ["x"]
    assert "b" in g.inputs_with_const
    np.testing.assert_array_equal(g.get_const("b"), value)
    assert g.get_dtype("b") == np.int32
    # Construction takes the same edit.
    g = ir.IRGraph(typed_model(), edit_par=edit(["c"], ["c2"], [[2, 3]]))
    assert g.inputs == ["c"] and g.outputs == ["c2"]
    assert [n.name for n in g.node] == ["add_w"]
    assert g.get_dtype("c") == np.float32


def test_outputs_and_when_nodes_are_cleaned(ir):
    g = ir.IRGraph(typed_model())
    kept = g.model.graph.output[1]
    # The same outputs in another order: no node cleaning, the dead node stays.
    g.rebuild(edit_par=edit([], ["c2", "y"]))
    assert g.outputs == ["c2", "y"] and "dead_relu" in g.nodes
    assert kept.name == "c2" and g.model.graph.output[0] == kept
    # One dropped: node cleaning, the dead node and y's own nodes go.
    g.rebuild(edit_par=edit([], ["c2"]))
    assert g.outputs == ["c2"]
    assert [n.name for n in g.node] == ["to_i32", "neg", "to_f", "add_w"]
    # An inner tensor as output, in place of one: node cleaning too, and the
    # new output is typed once inference has run.
    g = ir.IRGraph(typed_model())
    g.rebuild(edit_par=edit([], ["b", "y"]))
    assert g.outputs == ["b", "y"] and "dead_relu" not in g.nodes
    assert g.model.graph.output[0].type.tensor_type.elem_type == I32


def test_invalid_names_are_reported_and_the_rest_goes_on(ir, caplog):
    # With a weight cache the model check only warns: the rebuild gets
    # through a boundary this wrong.
    g = ir.IRGraph(typed_model(), initializer_dat={})
    with caplog.at_level(logging.ERROR, logger="tarq"):
        g.rebuild(edit_par=edit(["nope", "b", "w"], ["b", "y", "gone"],
                                [[1], [2, 3], [3]],
                                [np.zeros(1, np.float64), None, None]))
    assert [r.getMessage() for r in caplog.records] == [
        "The 'nope' in inputs=['nope', 'b', 'w'] is invalid!",
        "The dtype = 'float64' in input_initial_val[0] is invalid, expect 'float32'!",
        "The 'b' in inputs=['nope', 'b', 'w'] is invalid! it is also exist in "
        "outputs=['b', 'y', 'gone']!",
        # A constant is no tensor a new input may name.
        "The 'w' in inputs=['nope', 'b', 'w'] is invalid!",
        "The 'gone' in outputs=['b', 'y', 'gone'] is invalid!"]
    assert all(r.levelno == logging.ERROR for r in caplog.records)
    # The cleaning then drops what no node reads or writes (the unknown
    # input, its value, the unknown output) and outputs that are also
    # inputs; the tables match the model.
    assert g.inputs == ["b"] and g.outputs == ["y"] and "nope" not in g.consts
    g.verify()


def test_a_malformed_edit_fails_before_the_model_changes(ir):
    g = ir.IRGraph(typed_model())
    before = g.model.SerializeToString()
    with pytest.raises(KeyError, match="outputs"):
        g.rebuild(edit_par={"inputs": ["b"], "shapes": [[2, 3]], "values": []})
    with pytest.raises(KeyError, match="shapes"):
        g.rebuild(edit_par={"inputs": ["b"], "values": [], "outputs": []})
    with pytest.raises(KeyError, match="values"):
        ir.IRGraph(typed_model(), edit_par={"inputs": ["b"], "shapes": [[2, 3]], "outputs": []})
    with pytest.raises(IndexError, match="shapes.*input 1 .'x'."):
        g.rebuild(edit_par=edit(["b", "x"], [], [[2, 3]]))
    with pytest.raises(IndexError, match="values"):
        g.rebuild(edit_par=edit(["b", "x"], [], [[2, 3], [2, 3]], [np.zeros(1, np.int32)]))
    assert g.model.SerializeToString() == before
    g.verify()
    # Absent, None and {} change nothing; "shapes" and "values" are not read
    # without new inputs.
    for nothing in (None, {}, {"inputs": [], "outputs": []}):
        g.rebuild(edit_par=nothing)
        assert g.inputs == ["x"] and g.outputs == ["y", "c2"]
