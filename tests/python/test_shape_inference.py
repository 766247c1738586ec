"""Shape inference over a model: retry, rollback, the checker rule and stderr."""
import os
import subprocess
import sys
import textwrap

import onnx
import pytest
from onnx import TensorProto as T
from onnx import helper as h

from conftest import EXAMPLE, light_models

OPSET = [h.make_opsetid("", 17)]


def relu_chain(out_shape=(2, 3), inputs=True, value_info=()):
    nodes = [h.make_node("Relu", ["x"], ["y"], name="r1"), h.make_node("Relu", ["y"], ["z"], name="r2")]
    ins = [h.make_tensor_value_info("x", T.FLOAT, out_shape)] if inputs else []
    g = h.make_graph(nodes, "g", ins, [h.make_tensor_value_info("z", T.FLOAT, out_shape)],
                     value_info=list(value_info))
    return h.make_model(g, opset_imports=OPSET)


def output_clashing_with_initializer():
    """Inference fails on an output declared with the wrong rank of an initializer."""
    w = h.make_tensor("w", T.FLOAT, [2, 2], [1, 2, 3, 4])
    g = h.make_graph([h.make_node("Relu", ["x"], ["y"], name="r")], "g",
                     [h.make_tensor_value_info("x", T.FLOAT, [2, 3])],
                     [h.make_tensor_value_info("y", T.FLOAT, [2, 3]),
                      h.make_tensor_value_info("w", T.FLOAT, [3])], initializer=[w])
    return h.make_model(g, opset_imports=OPSET)


def test_successful_inference_fills_value_info_and_keeps_views(ir):
    src = relu_chain()
    g = ir.IRGraph(onnx.ModelProto.FromString(src.SerializeToString()))
    before = src.SerializeToString()
    out = g.infer_shapes(src)
    assert src.SerializeToString() == before  # an onnx message is copied in
    got = ir.to_onnx(out)
    assert [v.name for v in got.graph.value_info] == ["y"]
    assert got.graph.output[0] == h.make_tensor_value_info("z", T.FLOAT, [2, 3])

    # A view of the graph's own model is inferred in place: the root view sees
    # the result, an initializer view stays attached, an older node view stays
    # readable.
    path = light_models()[0] if light_models() else EXAMPLE
    g = ir.IRGraph(ir.load_model(path))
    model = g.model
    init = model.graph.initializer[0]
    name, data = init.name, bytes(init.raw_data) or list(init.float_data)
    node = model.graph.node[0]
    op = node.op_type
    del model.graph.value_info[:]
    res = g.infer_shapes(model, check=False)
    assert res == model and len(model.graph.value_info) > 0
    assert init.name == name and (bytes(init.raw_data) or list(init.float_data)) == data
    assert model.graph.initializer[0].name == name
    assert node.op_type == op
    assert g.infer_shapes(onnx.load(path), False, False).graph.value_info  # by position


def test_failed_attempt_is_rolled_back_and_output_shapes_cleared(ir):
    m = output_clashing_with_initializer()
    g = ir.IRGraph(relu_chain())
    g.model = m  # copied in, no rebuild: a view in which the clearing must show
    view = g.model
    init = view.graph.initializer[0]
    out = g.infer_shapes(view)
    assert out == view
    got = ir.to_onnx(view)
    # Every tensor output lost its shape, kept its element type; the retry ran.
    assert got.graph.output[1].type.tensor_type.elem_type == T.FLOAT
    assert not got.graph.output[1].type.tensor_type.HasField("shape")
    assert got.graph.output[0].type.tensor_type.HasField("shape")  # inferred again
    assert init.name == "w" and list(got.graph.initializer[0].float_data) == [1, 2, 3, 4]

    # Both attempts fail (the input clashes with its initializer): the model is
    # exactly the original with output shapes cleared, weights untouched.
    w = h.make_tensor("w", T.FLOAT, [2, 2], [1, 2, 3, 4])
    bad = h.make_model(h.make_graph(
        [h.make_node("Add", ["x", "w"], ["y"], name="a")], "g",
        [h.make_tensor_value_info("x", T.FLOAT, [2, 2]), h.make_tensor_value_info("w", T.FLOAT, [3])],
        [h.make_tensor_value_info("y", T.FLOAT, [2, 2])], initializer=[w]), opset_imports=OPSET)
    view = g.infer_shapes(bad)
    expected = onnx.ModelProto.FromString(bad.SerializeToString())
    expected.graph.output[0].type.tensor_type.ClearField("shape")
    assert ir.to_onnx(view) == expected

    # Inference gets through an If node (filling its branches in place) and
    # the value information before failing on a node of an undeclared
    # domain: every change is given back, branches included.
    def branch(name):
        return h.make_graph([h.make_node("Relu", ["x"], [name], name=name)], name, [],
                            [h.make_tensor_value_info(name, T.FLOAT, None)])
    late_failure = h.make_model(h.make_graph(
        [h.make_node("If", ["c"], ["y"], name="if", then_branch=branch("t"), else_branch=branch("e")),
         h.make_node("Relu", ["y"], ["z"], name="r"),
         h.make_node("Op", ["z"], ["out"], name="custom", domain="undeclared.domain")], "g",
        [h.make_tensor_value_info("c", T.BOOL, []), h.make_tensor_value_info("x", T.FLOAT, [2])],
        [h.make_tensor_value_info("out", T.FLOAT, [2])],
        value_info=[h.make_tensor_value_info("z", T.FLOAT, None)]), opset_imports=OPSET)
    g.model = late_failure
    view = g.model
    branch_node = view.graph.node[0].attribute[0].g.node[0]
    branch_out = view.graph.node[0].attribute[0].g.output[0].type.tensor_type
    z_type = view.graph.value_info[0].type.tensor_type
    assert g.infer_shapes(view) == view
    expected = onnx.ModelProto.FromString(late_failure.SerializeToString())
    expected.graph.output[0].type.tensor_type.ClearField("shape")
    assert ir.to_onnx(view) == expected
    # Views taken before the attempt are still attached to the model: the
    # types were undone in place, not replaced.
    assert not z_type.HasField("shape") and not branch_out.HasField("shape")
    branch_node.name = "t_renamed"
    z_type.elem_type = T.DOUBLE
    got = ir.to_onnx(view)
    assert got.graph.node[0].attribute[0].g.node[0].name == "t_renamed"
    assert got.graph.value_info[0].type.tensor_type.elem_type == T.DOUBLE
    # ...while the same graph with the domain declared is inferred, branches too.
    late_failure.opset_import.append(h.make_opsetid("undeclared.domain", 1))
    got = ir.to_onnx(g.infer_shapes(late_failure, check=False))
    assert {v.name for v in got.graph.value_info} >= {"y", "z"}
    then_out = got.graph.node[0].attribute[0].g.output[0]
    assert then_out.type.tensor_type.shape.dim[0].dim_value == 2


def test_checker_rule(ir):
    # Two nodes writing the same name: the checker rejects it, inference does not.
    def ssa_violation(out_shape=(2, 3), inputs=True):
        m = relu_chain(out_shape, inputs)
        m.graph.node[0].output[0] = "z"
        m.graph.node[1].input[0] = "z"
        if not inputs:
            m.graph.node.insert(0, h.make_node("Constant", [], ["x"], value=h.make_tensor(
                "c", T.FLOAT, [2, 3], [0.0] * 6)))
        return m

    g = ir.IRGraph(relu_chain())
    with pytest.raises(ir.ValidationError, match="SSA|single static"):
        g.infer_shapes(ssa_violation())
    with pytest.raises(ValueError):
        g.infer_shapes(ssa_violation(), check=True)
    # Each of these turns the check off.
    g.infer_shapes(ssa_violation(), check=False)
    g.infer_shapes(ssa_violation(out_shape=(2, "n")))
    g.infer_shapes(ssa_violation(out_shape=(2, None)))
    g.infer_shapes(ssa_violation(out_shape=()))
    g.infer_shapes(ssa_violation(inputs=False))
    cached = ir.IRGraph(relu_chain(), initializer_dat={})
    cached.infer_shapes(ssa_violation())
    # An extended operator (unknown to the checker) skips it whatever check says.
    ext = relu_chain()
    ext.graph.node[1].op_type = "exSwish"
    out = g.infer_shapes(ext, check=True)
    assert any(v.name == "y" for v in out.graph.value_info)


def _open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def test_stderr_restored_and_no_descriptor_leaked(ir):
    g = ir.IRGraph(relu_chain())
    fds = _open_fds()
    stat = os.fstat(2)
    g.infer_shapes(relu_chain())
    g.infer_shapes(output_clashing_with_initializer())
    bad = relu_chain()
    bad.graph.node[0].output[0] = "z"
    with pytest.raises(ir.ValidationError):
        g.infer_shapes(bad)
    assert _open_fds() == fds
    after = os.fstat(2)
    assert (after.st_dev, after.st_ino) == (stat.st_dev, stat.st_ino)

    # In a fresh process: text written to descriptor 2 after the call arrives.
    script = textwrap.dedent("""
        import os, onnx
        import tarq.api.ir_graph as ir
        m = onnx.load(%r)
        g = ir.IRGraph(m)
        before = sorted(os.listdir("/proc/self/fd"))
        g.infer_shapes(m)
        assert sorted(os.listdir("/proc/self/fd")) == before
        os.write(2, b"after-the-call")
    """ % EXAMPLE)
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, env=os.environ)
    assert r.returncode == 0, r.stderr
    assert r.stderr.endswith(b"after-the-call")


def test_bad_arguments(ir):
    g = ir.IRGraph(relu_chain())
    with pytest.raises(TypeError):
        g.infer_shapes(g.model.graph)
    with pytest.raises(TypeError):
        g.infer_shapes()
    assert g.infer_shapes(model=relu_chain(), dynamic=True, check=False) is not None
