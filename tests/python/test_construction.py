"""Constructing an IRGraph: fields, parameters, host objects, failures."""
import gc
import os
import subprocess
import sys

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper

from conftest import EXAMPLE


def tiny_model(opsets=(("", 17),)):
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 4])
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, [1, 4])
    w = helper.make_tensor("w", TensorProto.FLOAT, [1, 4], [1, 2, 3, 4])
    nodes = [helper.make_node("Add", ["x", "w"], ["t"], name="add"),
             helper.make_node("Relu", ["t"], ["y"], name="relu")]
    g = helper.make_graph(nodes, "tiny", [x], [y], [w])
    return helper.make_model(g, opset_imports=[helper.make_opsetid(d, v) for d, v in opsets])


def test_defaults_and_fields(ir):
    g = ir.IRGraph(tiny_model())
    assert (g.opt_level, g.check, g.verbose, g.qat, g.npu_target) == (3, False, False, False, "mini")
    assert (g.n_dynamic, g.expand_batch_size, g.unsqueeze_2d_mode, g.opset) == (0, 1, "1A1B", 17)
    assert g.weights_for_align == [] and g.dynamic_idx is None and g.initializer_dat is None
    assert g.dynamic_shapes is None and g.dynamic_diff is None and g.nodes_chg is None
    assert g.op_convert_history == {} and g.op_convert_stop == [] and g.const_share_tab == {}
    assert g.dynamic_diff_set == {} and g.dynamic_shapes_set == {} and g.dynamic_dtypes_set == {}
    assert g.do_quantization is None and g.quantize_dtype is None and g.act_quant_dtype is None
    assert list(g.node_swap_up) == [] and list(g.node_ban_swap_up) == []
    assert g.graph == g.model.graph and len(g.node) == 2
    assert g.n_bytes == 16 and not g.has_extend_op
    # Every container is the graph's own.
    h = ir.IRGraph(tiny_model())
    assert g.weights_for_align is not h.weights_for_align
    assert g.dynamic_diff_set is not g.dynamic_shapes_set
    # The toolkit's state fields take whatever its passes store.
    g.do_quantization = True
    g.op_convert_history["a"] = 1
    assert g.do_quantization is True and g.op_convert_history == {"a": 1}
    g.op_ruler_pause["x"] = 1
    g.rebuild()
    assert g.op_ruler_pause == {}, "every rebuild starts a new op_ruler_pause"


def test_parameters_by_position_and_name_share_host_objects(ir):
    cache, shapes, diff, target, share, align = {}, {"x": [[1, 4], [2, 4], [3, 4]]}, {}, {}, object(), ["w"]
    args = (tiny_model(), 1, True, True, True, "max", shapes, cache, None, "/tmp/m.onnx",
            target, share, diff, align)
    for g in (ir.IRGraph(*args),
              ir.IRGraph(onnx_model=args[0], opt_level=1, check=True, verbose=True, qat=True,
                         npu_target="max", dynamic_shapes=shapes, initializer_dat=cache,
                         edit_par=None, ori_model_path="/tmp/m.onnx", op_target=target,
                         share_weights=share, dynamic_diff=diff, weights_for_align=align)):
        assert g.initializer_dat is cache and g.dynamic_shapes is shapes
        assert g.dynamic_diff is diff and g.op_target is target and g.share_weights is share
        assert g.weights_for_align is align and g.ori_model_path == "/tmp/m.onnx"
        assert (g.opt_level, g.check, g.verbose, g.qat, g.npu_target, g.n_dynamic) == (
            1, True, True, True, "max", 3)
    g.weights_for_align.append("v")
    assert align == ["w", "v"]
    assert ir.IRGraph(tiny_model(), dynamic_shapes={}).n_dynamic == 0


def test_rejected_arguments(ir):
    m = tiny_model()
    with pytest.raises(TypeError):
        ir.IRGraph()
    with pytest.raises(TypeError):
        ir.IRGraph(m, 3, False, False, False, "mini", None, None, None, None, None, None, None, None, 1)
    with pytest.raises(TypeError):
        ir.IRGraph("not a model")
    with pytest.raises(TypeError):
        ir.IRGraph(m.graph)  # a graph is not a model
    with pytest.raises(TypeError):
        ir.IRGraph(m, opt_level="high")
    with pytest.raises(TypeError):
        ir.IRGraph(m, dynamic_shapes={"x": 3})  # the first value has no length
    no_opset = tiny_model()
    del no_opset.opset_import[:]
    with pytest.raises(ValueError, match="opset_import"):
        ir.IRGraph(no_opset)
    with pytest.raises(KeyError):
        ir.IRGraph(m, edit_par={"inputs": ["x"]})  # no "outputs" entry


def test_opset_is_the_first_entry_whatever_its_domain(ir):
    g = ir.IRGraph(tiny_model(opsets=(("com.example", 2), ("", 17))))
    assert g.opset == 2


def test_model_view_is_shared_and_onnx_model_copied(ir):
    view = ir.load_model(EXAMPLE)
    g1, g2 = ir.IRGraph(view), ir.IRGraph(view)
    g1.model.graph.node[0].name = "renamed"
    assert view.graph.node[0].name == "renamed" == g2.model.graph.node[0].name
    m = onnx.load(EXAMPLE)
    g3 = ir.IRGraph(m)
    g3.model.graph.node[0].name = "changed"
    assert m.graph.node[0].name == "block1/Conv"
    ir.IRGraph(m)  # the rebuild cleans the copy, never the caller's message
    assert m == onnx.load(EXAMPLE)


def test_views_outlive_graph_and_rebuilds(ir):
    g = ir.IRGraph(onnx.load(EXAMPLE))
    node = g.node[3]
    operand = g.operands["input"]
    consumers = g.next_nodes("input")
    nodes_table = g.nodes
    g.rebuild()
    assert g.operands["input"] is not operand, "a rebuild makes new records"
    assert operand.outputs[0].name == "block1/Conv" and len(consumers) == 1
    assert nodes_table["block1/Conv"] == 0
    del g
    gc.collect()
    assert node.op_type == "Conv" and operand.outputs[0].op_type == "Conv"
    assert list(nodes_table)[0] == "block1/Conv"


def test_weight_cache_arrays_are_numpy(ir):
    cache = {"w": np.ones((1, 4), np.float32)}
    g = ir.IRGraph(tiny_model(), initializer_dat=cache)
    assert g.initializer_dat is cache


def test_rebuild_step_times_on_request():
    # One line per completed rebuild on standard error, naming the steps that
    # ran; nothing without the variable (or with it set to 0).
    script = ("import tarq.api.ir_graph as ir, sys\n"
              f"g = ir.IRGraph(ir.load_model({EXAMPLE!r}), initializer_dat={{}})\n"
              "g.rebuild(sort_nodes=True)\n"
              "print(len(g.nodes))\n")

    def run(value):
        env = dict(os.environ)
        env.pop("TARQ_REBUILD_TIMES", None)
        if value is not None:
            env["TARQ_REBUILD_TIMES"] = value
        done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                              text=True, check=True)
        return int(done.stdout), [l for l in done.stderr.splitlines() if l.startswith("tarq rebuild:")]

    n, lines = run("1")
    assert len(lines) == 2
    first, second = (dict(zip(l.split()[5::2], map(float, l.split()[6::2]))) for l in lines)
    assert all(l.startswith(f"tarq rebuild: {n} nodes, ms:") for l in lines)
    assert "weights" in first and "sort" not in first
    assert "sort" in second and "weights" in second
    assert first["total"] >= first["clean"] >= 0
    assert run(None)[1] == [] and run("0")[1] == []
