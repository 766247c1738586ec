"""Shape configurations: recording a table of input shapes, deriving every
tensor's shape per configuration, and the selection protocol that records
constants and shapes per configuration and commits them.

The derived shapes are checked against what onnxruntime computes when the
model runs at each configuration's input shapes.
"""
import logging
import os

import numpy as np
import onnx
import pytest

from conftest import EXAMPLE, TESTDATA, ort_session


def _symbolic_inputs(model):
    """A copy whose graph inputs have free dimensions, so that onnxruntime
    accepts every configuration."""
    m = onnx.ModelProto()
    m.CopyFrom(model)
    init = {t.name for t in m.graph.initializer}
    for vi in m.graph.input:
        if vi.name in init:
            continue
        for k, d in enumerate(vi.type.tensor_type.shape.dim):
            d.Clear()
            d.dim_param = f"{vi.name}_{k}"
    return m


def _ort_shapes(model, feeds):
    """The shape of every tensor a node makes, as onnxruntime computes it."""
    m = _symbolic_inputs(model)
    del m.graph.value_info[:]
    made = [o for n in m.graph.node for o in n.output if o]
    outs = {o.name for o in m.graph.output}
    for name in made:
        if name not in outs:
            m.graph.output.add().name = name
    sess = ort_session(m)
    names = [o.name for o in sess.get_outputs()]
    return dict(zip(names, (list(r.shape) for r in sess.run(names, feeds))))


def test_derived_shapes_match_onnxruntime_per_configuration(ir, caplog):
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    inp = g.inputs[0]
    configs = [[1, 3, 32, 32], [2, 3, 48, 64]]
    table = {inp: configs}
    g.update_dynamic_shapes(table)
    assert g.n_dynamic == 2 and g.dynamic_shapes is table  # the caller's own table

    before = g.model.SerializeToString()
    with caplog.at_level(logging.DEBUG, logger="tarq"):
        g.update_dynamic_shapes(log=True)
    assert g.model.SerializeToString() == before  # the graph's model is untouched
    assert [r.getMessage() for r in caplog.records] == [
        "update dynamic_shapes ...", "  infer shape for [[1, 3, 32, 32]] ...",
        "  infer shape for [[2, 3, 48, 64]] ...", "update dynamic_shapes done.", ""]
    assert g.dynamic_shapes[inp] == configs

    model = onnx.load(EXAMPLE)
    for i, shape in enumerate(configs):
        feeds = {inp: np.random.default_rng(i).standard_normal(shape).astype(np.float32)}
        for name, got in _ort_shapes(model, feeds).items():
            assert g.dynamic_shapes[name][i] == got, (name, i)

    # Without a table, or with an empty one, the derivation runs again.
    caplog.clear()
    g.update_dynamic_shapes({})
    assert g.dynamic_shapes[inp] == configs and g.n_dynamic == 2


def test_a_reshape_follows_each_configuration_and_inference_goes_on_past_it(ir):
    # The example network with its Flatten written as a Reshape to [0, -1]:
    # a constant target that holds for every batch size.
    model = onnx.load(EXAMPLE)
    for n in model.graph.node:
        if n.op_type == "Flatten":
            n.op_type = "Reshape"
            del n.attribute[:]
            n.input.append("flat_shape")
    model.graph.initializer.append(
        onnx.numpy_helper.from_array(np.array([0, -1], np.int64), "flat_shape"))
    g = ir.IRGraph(model)
    inp = g.inputs[0]
    configs = [[1, 3, 32, 32], [5, 3, 40, 24]]
    g.update_dynamic_shapes({inp: configs})
    g.update_dynamic_shapes()
    assert any(n.op_type == "Reshape" for n in g.node)
    for i, shape in enumerate(configs):
        feeds = {inp: np.random.default_rng(i).standard_normal(shape).astype(np.float32)}
        for name, want in _ort_shapes(model, feeds).items():
            assert g.dynamic_shapes[name][i] == want, (name, i)


# The OCR models a package ships have a free batch axis and free image
# sizes: the configurations are sizes each model is used at.
OCR_CONFIGS = {
    "det": [[1, 3, 320, 320], [1, 3, 480, 640]],
    "cls": [[1, 3, 48, 192], [2, 3, 48, 160]],
    "rec": [[1, 3, 48, 320], [2, 3, 48, 160]],
}


def test_shapes_derived_for_shipped_models_with_free_axes_match_onnxruntime(ir, capsys):
    from test_packaged_models import MODELS

    for path in [p for p in MODELS if "rapidocr" in p]:
        configs = next(c for k, c in OCR_CONFIGS.items() if f"_{k}_" in os.path.basename(path))
        g = ir.IRGraph(ir.load_model(path), initializer_dat={})
        g.update_dynamic_shapes({"x": configs})
        g.update_dynamic_shapes()
        model = onnx.load(path)
        exact = unknown = 0
        for i, shape in enumerate(configs):
            feeds = {"x": np.random.default_rng(i).standard_normal(shape).astype(np.float32)}
            for name, want in _ort_shapes(model, feeds).items():
                got = g.dynamic_shapes.get(name, [None] * len(configs))[i]
                # Inference cannot follow some computed shapes (a Shape ->
                # Cast -> Slice chain at opset 11/12 has no data propagation):
                # past them a tensor has no entry, free dimensions, or no rank
                # (an empty list). Every shape it does derive must be right.
                if got is None or not all(isinstance(d, int) for d in got) or (not got and want):
                    unknown += 1
                    continue
                assert got == want, (path, name, i)
                exact += 1
        with capsys.disabled():
            print(f"\n{os.path.basename(path)}: {exact} shapes as onnxruntime computes them, "
                  f"{unknown} left unknown by inference")
        if "_det_" in path:
            assert unknown == 0


def test_a_failed_derivation_leaves_the_table_and_reshapes_stay(ir):
    path = os.path.join(TESTDATA, "node", "test_reshape_negative_dim", "model.onnx")
    if not os.path.exists(path):
        pytest.skip("backend test data missing")
    g = ir.IRGraph(ir.load_model(path))
    inp, shape = g.inputs  # the target shape is an input too
    g.update_dynamic_shapes({inp: [[2, 3, 4], [4, 3, 2]], shape: [[3], [3]]})
    g.update_dynamic_shapes()
    assert [n.op_type for n in g.node] == ["Reshape"]  # renamed only in the copy
    # The target shape is an input, not a constant: only the output's rank
    # is known, in either configuration.
    assert [[isinstance(d, int) for d in s] for s in g.dynamic_shapes[g.outputs[0]]] == \
        [[False] * 3] * 2

    table = {"not an input": [[1], [2]]}
    g.dynamic_shapes = table
    with pytest.raises(KeyError):
        g.update_dynamic_shapes()
    assert g.dynamic_shapes is table
    short = {inp: [[2, 3, 4]], shape: [[3]]}  # one shape for two configurations
    g.dynamic_shapes = short
    with pytest.raises(IndexError):
        g.update_dynamic_shapes()
    assert g.dynamic_shapes is short


def test_selection_records_and_the_commit_splits_equal_from_differing(ir):
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    g.update_dynamic_shapes({g.inputs[0]: [[1, 3, 32, 32], [1, 3, 64, 64]]})
    bias, scale, mean = "block1.conv.bias", "block1.bn.weight", "block1.bn.running_mean"
    b0 = g.get_const(bias).copy()
    g.set_dynamic_idx(2)
    assert g.dynamic_idx == 2 and g.dynamic_diff_set == {}  # selection alone records nothing

    for i in range(2):
        g.set_dynamic_idx(i)
        g.set_const(bias, b0 + i)               # differs between configurations
        g.set_const(scale, np.full(8, 2.0, np.float32))  # the same in both
        nan = np.zeros(8, np.float32)
        nan[3] = np.nan
        g.set_const(mean, nan)                  # NaN never equals itself
    assert g.dynamic_idx == 1
    np.testing.assert_array_equal(g.get_const(bias), b0 + 1)  # the selected configuration's

    g.dynamic_diff = {scale: [np.zeros(8, np.float32), np.ones(8, np.float32)]}
    g.set_dynamic_idx(None, update_set=True)
    assert g.dynamic_idx is None
    np.testing.assert_array_equal(g.get_const(bias), b0)  # the model takes configuration 0
    assert sorted(g.dynamic_diff) == sorted([bias, mean])  # equal values left dynamic_diff
    np.testing.assert_array_equal(g.dynamic_diff[bias][1], b0 + 1)
    np.testing.assert_array_equal(g.get_const(scale), np.full(8, 2.0, np.float32))
    assert g.dynamic_diff_set == {} and g.dynamic_shapes_set == {} and g.dynamic_dtypes_set == {}

    # Shapes recorded per configuration go to dynamic_shapes; the model takes
    # configuration 0's.
    name = "block1/relu_out"
    for i, shape in enumerate([[1, 8, 32, 32], [1, 8, 64, 64]]):
        g.set_dynamic_idx(i)
        g.set_shape(name, shape)
    g.set_dynamic_idx(None, True)
    assert g.dynamic_shapes[name] == [[1, 8, 32, 32], [1, 8, 64, 64]]
    assert g.get_shape(name) == [1, 8, 32, 32]

    # Lifting the selection without update_set discards the recordings.
    g.set_dynamic_idx(0)
    g.set_const(bias, b0 + 5)
    g.set_dynamic_idx(None)
    assert g.dynamic_diff_set == {}
    np.testing.assert_array_equal(g.get_const(bias), b0)
