"""Companion services: logger, value-information utilities, registries, settings, progress."""
import logging
import subprocess
import sys

import ml_dtypes
import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper


def test_log_goes_to_the_tarq_logger_verbatim(ir, caplog):
    with caplog.at_level(logging.DEBUG, logger="tarq"):
        for f, level in ((ir.tarqLog.e, "ERROR"), (ir.tarqLog.w, "WARNING"),
                         (ir.tarqLog.d, "DEBUG"), (ir.tarqLog.i, "INFO")):
            assert f("100% of {} ['a', 'b']") is None
            rec = caplog.records[-1]
            assert (rec.name, rec.levelname, rec.getMessage()) == (
                "tarq", level, "100% of {} ['a', 'b']")


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_a_failing_log_handler_does_not_end_the_operation(ir):
    class Boom(logging.Handler):
        def emit(self, record):
            raise RuntimeError("handler broke")

        def handleError(self, record):
            raise RuntimeError("and so did its error handling")

    logger = logging.getLogger("tarq")
    h = Boom()
    logger.addHandler(h)
    try:
        ir.tarqLog.e("still fine")
    finally:
        logger.removeHandler(h)


def test_inf_shape_and_set(ir):
    c = ir.companions
    v = helper.make_tensor_value_info("t", TensorProto.FLOAT, [1, "N", None])
    assert c.inf_shape(v) == [1, "N", None]
    assert c.inf_shape(v, none=True) == [1, None, None]
    assert c.inf_shape(helper.make_tensor_value_info("s", TensorProto.FLOAT, None)) == []
    m = ir.load_model(_example())
    out = m.graph.output[0]
    c.inf_shape_set(out, [2, "B", None])
    assert c.inf_shape(out) == [2, "B", None]
    assert ir.to_onnx(out).type.tensor_type.shape.dim[2] == onnx.TensorShapeProto.Dimension()
    with pytest.raises(TypeError):
        c.inf_shape_set(out, "NCHW")


def test_element_types_round_trip(ir):
    c = ir.companions
    expected = {TensorProto.FLOAT: np.float32, TensorProto.BOOL: np.bool_,
                TensorProto.STRING: np.object_, TensorProto.BFLOAT16: ml_dtypes.bfloat16,
                TensorProto.FLOAT8E4M3FN: ml_dtypes.float8_e4m3fn, TensorProto.INT4: ml_dtypes.int4,
                TensorProto.COMPLEX128: np.complex128, TensorProto.UINT64: np.uint64}
    for code, dt in expected.items():
        assert c.to_np_type(code) == np.dtype(dt)
    for code in range(1, 27):
        assert c.to_tensor_type(c.to_np_type(code)) == code
    assert c.to_np_type(0) is None
    with pytest.raises(ValueError):
        c.to_np_type(99)
    with pytest.raises(ValueError):
        c.to_tensor_type(np.dtype("datetime64[s]"))


def test_settings_are_process_wide_and_restorable(ir):
    c = ir.companions
    ops, swap, limit = c.get_extend_ops(), c.get_swap_ops(), c.get_max_onnx_weight()
    assert limit == 2_000_000_000 and "Reshape" in swap
    assert {"exSwish", "exLayerNorm", "exMatMul"} <= set(ops)
    assert ops["exSwish"] and not ops["exMatMul"]
    try:
        c.set_max_onnx_weight(10)
        c.set_swap_ops(["Relu"])
        c.set_extend_ops(["exFoo"])
        assert (c.get_max_onnx_weight(), c.get_swap_ops(), c.get_extend_ops()) == (
            10, ["Relu"], {"exFoo": False})
        with pytest.raises(ValueError):
            c.set_max_onnx_weight(-1)
    finally:
        c.set_max_onnx_weight(limit)
        c.set_swap_ops(swap)
        c.set_extend_ops(ops)
    assert c.get_extend_ops() == ops


def test_update_model_value_info_completes_extended_operators(ir):
    vi = helper.make_tensor_value_info
    nodes = [helper.make_node("exSwish", ["x"], ["a"], name="s"),        # like its input
             helper.make_node("exLayerNorm", ["a"], ["b"], name="ln"),   # chained
             helper.make_node("exMatMul", ["b", "x"], ["y"], name="mm")]  # not like its input
    g = helper.make_graph(nodes, "g", [vi("x", TensorProto.FLOAT16, [2, "N"])],
                          [vi("y", TensorProto.FLOAT16, None)])
    m = helper.make_model(g)
    out, uses = ir.companions.update_model_value_info(None, m, False)
    infos = {v.name: v for v in out.graph.value_info}
    assert uses and set(infos) == {"a", "b"}
    assert ir.companions.inf_shape(infos["b"]) == [2, "N"]
    assert infos["b"].type.tensor_type.elem_type == TensorProto.FLOAT16
    plain = helper.make_model(helper.make_graph(
        [helper.make_node("Relu", ["x"], ["y"])], "g",
        [vi("x", TensorProto.FLOAT, [1])], [vi("y", TensorProto.FLOAT, [1])]))
    assert ir.companions.update_model_value_info(None, plain, False)[1] is False


def test_progress_yields_unchanged_and_draws_only_when_asked(ir):
    c = ir.companions
    assert list(c.progress(range(5), "I Loading ")) == [0, 1, 2, 3, 4]
    code = ("import tarq.api.ir_graph as ir; c = ir.companions; c.set_progress_display(True);"
            "print(sum(c.progress(range(300), 'I Loading ', 100)))")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, check=True)
    assert r.stdout.decode().strip() == str(sum(range(300)))
    err = r.stderr.decode()
    assert err.startswith("\rI Loading [") and err.endswith("] 300/300\n")
    assert err.split("\r")[-1].count("#") == 100


def _example():
    from conftest import EXAMPLE
    return EXAMPLE
