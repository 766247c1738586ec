"""Bad input of every kind fails with an exception, never a crash."""
import gc

import onnx
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from google.protobuf.message import DecodeError

from conftest import EXAMPLE

EXAMPLE_BYTES = open(EXAMPLE, "rb").read()


def test_unreadable_model_files(ir, tmp_path):
    truncated = tmp_path / "truncated.onnx"
    truncated.write_bytes(EXAMPLE_BYTES[: len(EXAMPLE_BYTES) // 2])
    with pytest.raises(ValueError, match="truncated.onnx"):
        ir.load_model(truncated)
    with pytest.raises(OSError):
        ir.load_model(tmp_path / "missing.onnx")
    with pytest.raises(OSError):
        ir.load_model(tmp_path)  # a directory
    with pytest.raises(TypeError):
        ir.load_model(42)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(st.tuples(st.integers(0, len(EXAMPLE_BYTES) - 1), st.integers(0, 255)),
                min_size=1, max_size=8),
       st.integers(1, len(EXAMPLE_BYTES)))
def test_damaged_models_construct_or_raise(ir, flips, cut):
    data = bytearray(EXAMPLE_BYTES[:cut])
    for pos, value in flips:
        if pos < len(data):
            data[pos] = value
    model = ir.load_model(EXAMPLE)
    try:
        model.ParseFromString(bytes(data))
    except Exception:
        return
    try:
        g = ir.IRGraph(model)
    except (ValueError, KeyError, IndexError, TypeError, RuntimeError):
        return
    # Whatever was built is consistent with the model it was built from.
    # Names that are not UTF-8 cannot become Python strings: that is a
    # UnicodeDecodeError (a ValueError), or a DecodeError in the onnx package.
    try:
        g.verify()
    except (UnicodeDecodeError, DecodeError):
        return
    for name in list(g.operands)[:20]:
        g.next_nodes(name), g.pre_nodes(name), g.is_invalid(name)
    len(g.tensor_dependency_map) and g.tensor_dependency_map[list(g.tensor_dependency_map)[-1]]


def test_records_and_views_that_left_the_model(ir):
    # A weight cache keeps the model checker (which rejects the cut chain) off.
    g = ir.IRGraph(ir.load_model(EXAMPLE), initializer_dat={})
    relu = g.node[2]
    operand = g.operands["block1/Relu_output_0"] if "block1/Relu_output_0" in g.operands else \
        g.operands[relu.output[0]]
    del g.model.graph.node[2]
    gc.collect()
    assert relu.op_type == "Relu", "a removed node stays readable through its view"
    relu.name = "still editable"
    assert operand.input.name == "still editable", "the stale record still points at it"
    g.rebuild()
    assert relu.output[0] not in [o for n in g.node for o in n.output]
    g.model.ParseFromString(EXAMPLE_BYTES)
    g.rebuild()
    assert operand.input.op_type == "Relu" and len(g.node) == 14
    with pytest.raises(IndexError):
        g.node[99]
    with pytest.raises(KeyError):
        g.operands["no such tensor"]
    with pytest.raises(TypeError):
        g.next_nodes(3.5)
    with pytest.raises(TypeError):
        g.index("not a node")


def test_models_without_graph_or_with_empty_names(ir):
    empty = onnx.ModelProto(ir_version=8, opset_import=[onnx.helper.make_opsetid("", 17)])
    g = ir.IRGraph(empty)
    assert len(g.node) == 0 and list(g.can_frees) == [] and len(g.operands) == 0
    m = onnx.helper.make_model(onnx.helper.make_graph(
        [onnx.helper.make_node("Relu", [""], [""])], "g", [], []))
    g = ir.IRGraph(m)
    assert list(g.nodes) == [""] and g.operands[""].input.op_type == "Relu"
