"""Batch expansion, proved numerically: a model expanded to batch 4 and run
on four samples at once computes what the original computes on each sample
alone (onnxruntime, float tolerance), or it is refused with a reason and the
model and tables stay as they were.
"""
import logging

import numpy as np
import onnx
import pytest
from onnx import helper, numpy_helper

from conftest import EXAMPLE, light_models, ort_session

BATCH = 4


def _feeds(model, batch, seed):
    rng = np.random.default_rng(seed)
    init = {t.name for t in model.graph.initializer}
    feeds = {}
    for vi in model.graph.input:
        if vi.name in init:
            continue
        dims = [d.dim_value for d in vi.type.tensor_type.shape.dim]
        dims[0] = batch
        feeds[vi.name] = rng.standard_normal(dims).astype(np.float32)
    return feeds


def _model(graph):
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return model


def _copy(model):
    m = onnx.ModelProto()
    m.ParseFromString(model.SerializeToString())
    return m


@pytest.mark.parametrize("path", [EXAMPLE] + light_models(),
                         ids=lambda p: p.rsplit("/", 1)[-1])
def test_expanded_real_cnns_compute_each_sample_as_before(ir, path):
    original = onnx.load(path)
    g = ir.IRGraph(ir.load_model(path), initializer_dat={})
    assert g.expand_batch(BATCH)
    assert g.expand_batch_size == BATCH
    g.verify()
    expanded = _copy(g.model)
    for t in expanded.graph.initializer:  # the weights the cache holds go back in
        if t.name in g.initializer_dat:
            t.CopyFrom(numpy_helper.from_array(np.asarray(g.initializer_dat[t.name]), t.name))
    onnx.checker.check_model(expanded)
    feeds = _feeds(original, BATCH, 0)
    together = ort_session(expanded).run(None, feeds)
    alone = ort_session(original)
    for i in range(BATCH):
        one = alone.run(None, {k: v[i:i + 1] for k, v in feeds.items()})
        for a, b in zip(together, one):
            np.testing.assert_allclose(a[i:i + 1], b, rtol=1e-4, atol=1e-5)


def test_refusals_leave_the_model_and_say_why(ir, caplog):
    x = helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [1, 6])
    y = helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [1, 1])
    graph = helper.make_graph([helper.make_node("ReduceMean", ["x"], ["y"], name="mean")], "g",
                              [x], [y])
    g = ir.IRGraph(_model(graph))
    before = g.model.SerializeToString()
    with caplog.at_level(logging.WARNING, logger="tarq"):
        assert not g.expand_batch(BATCH)
    assert ("This model does not support expand batch, because there is an OP of type "
            "ReduceMean!") in caplog.text
    assert g.model.SerializeToString() == before

    caplog.clear()
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    g.set_shape(g.inputs[0], [3, 3, 32, 32], check_size=False)
    with caplog.at_level(logging.WARNING, logger="tarq"):
        assert not g.expand_batch(BATCH)
    assert (f"This model does not support expand batch, because the shape[0] of {g.inputs[0]} "
            "is not equal to 1!") in caplog.text

    # A Reshape whose target fixes the element count cannot follow the batch:
    # inference leaves a shape unknown, and the model stays as it was.
    x = helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [1, 6])
    y = helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [1, 6])
    graph = helper.make_graph(
        [helper.make_node("Shape", ["x"], ["s"], name="shape"),
         helper.make_node("Reshape", ["x", "fixed"], ["r"], name="r"),
         helper.make_node("Relu", ["r"], ["y"], name="relu")], "g", [x], [y],
        initializer=[numpy_helper.from_array(np.array([6], np.int64), "fixed")])
    g = ir.IRGraph(_model(graph))
    before = g.model.SerializeToString()
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="tarq"):
        result = g.expand_batch(BATCH)
    if not result:
        assert "This model does not support expand batch!" in caplog.text
        assert g.model.SerializeToString() == before
        g.verify()


def test_transposes_change_only_where_a_leading_dimension_appeared(ir):
    # [sequence, batch, hidden] swapped to [batch, sequence, hidden]: the
    # batch axis exists already, so the permutation keeps its meaning.
    x = helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [1, 5, 8])
    y = helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [5, 1, 8])
    graph = helper.make_graph(
        [helper.make_node("Transpose", ["x"], ["y"], name="t", perm=[1, 0, 2])], "g", [x], [y])
    model = _model(graph)
    g = ir.IRGraph(_copy(model))
    assert g.expand_batch(BATCH)
    assert list(g.get_attr(g.node[0], "perm")) == [1, 0, 2]
    feeds = _feeds(model, BATCH, 1)
    out = ort_session(_copy(g.model)).run(None, feeds)[0]
    np.testing.assert_array_equal(out, feeds["x"].transpose(1, 0, 2))

    # A Reshape that adds a leading dimension ahead of a Transpose: the
    # permutation is shifted behind the new batch axis.
    x = helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [1, 6])
    y = helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [3, 2])
    graph = helper.make_graph(
        [helper.make_node("Reshape", ["x", "to"], ["r"], name="r"),
         helper.make_node("Transpose", ["r"], ["y"], name="t", perm=[1, 0])], "g", [x], [y],
        initializer=[numpy_helper.from_array(np.array([2, 3], np.int64), "to")])
    model = _model(graph)
    g = ir.IRGraph(_copy(model))
    assert g.expand_batch(BATCH)
    assert list(g.get_attr(g.node[1], "perm")) == [0, 2, 1]
    feeds = _feeds(model, BATCH, 2)
    out = ort_session(_copy(g.model)).run(None, feeds)[0]
    np.testing.assert_array_equal(out, feeds["x"].reshape(BATCH, 2, 3).transpose(0, 2, 1))


def _sample(batched, single, i):
    """Sample i of a batched result: along a new leading axis, or along the
    one axis that grew (the batch need not come first)."""
    if batched.ndim == single.ndim + 1:
        return batched[i]
    axis = next(k for k in range(single.ndim) if batched.shape[k] != single.shape[k])
    n = single.shape[axis]
    return np.take(batched, range(i * n, (i + 1) * n), axis=axis)


def _samples(model_dir, original):
    """Four samples from the model's own test data: the first as given, the
    others with float inputs scaled slightly, integer inputs kept."""
    import glob
    import os
    files = sorted(glob.glob(os.path.join(model_dir, "test_data_set_0", "input_*.pb")))
    init = {t.name for t in original.graph.initializer}
    names = [vi.name for vi in original.graph.input if vi.name not in init]
    if len(files) != len(names):
        return None
    base = {}
    for name, f in zip(names, files):
        t = onnx.TensorProto()
        with open(f, "rb") as fh:
            t.ParseFromString(fh.read())
        base[name] = numpy_helper.to_array(t)
    out = []
    for k in range(BATCH):
        out.append({n: (a * (1 + 0.125 * k)).astype(a.dtype) if a.dtype.kind == "f" else a
                    for n, a in base.items()})
    return out


def test_backend_models_expanded_compute_each_sample_or_are_refused(ir, capsys):
    """Every backend-test model: expanded to batch 4 and run on four samples,
    it computes what the original computes per sample; refusals are tallied."""
    from conftest import backend_models

    logger = logging.getLogger("tarq")
    level = logger.level
    logger.setLevel(logging.CRITICAL)  # a thousand refusals need not be read
    try:
        tally = _expand_all(ir, backend_models())
    finally:
        logger.setLevel(level)
    with capsys.disabled():
        print("\nexpand_batch over the backend test data:", dict(sorted(tally.items())))
    assert tally["expanded and proved"] > 50


def _expand_all(ir, paths):
    import collections
    import os

    tally = collections.Counter()
    for path in paths:
        try:
            g = ir.IRGraph(ir.load_model(path))
            expanded = g.expand_batch(BATCH)
        except (ValueError, IndexError, KeyError) as e:
            tally[f"refused: {type(e).__name__}"] += 1
            continue
        if not expanded:
            tally["refused"] += 1
            continue
        original = onnx.load(path)
        samples = _samples(os.path.dirname(path), original)
        try:
            alone = ort_session(original)
        except Exception:  # noqa: BLE001 - onnxruntime cannot run the original
            tally["expanded, original not runnable"] += 1
            continue
        if samples is None:
            tally["expanded, no test data"] += 1
            continue
        together = ort_session(_copy(g.model)).run(
            None, {n: np.concatenate([s[n] for s in samples]) for n in samples[0]})
        for i, s in enumerate(samples):
            one = alone.run(None, s)
            for a, b in zip(together, one):
                np.testing.assert_allclose(_sample(a, b, i), b, rtol=1e-4, atol=1e-5,
                                           err_msg=f"{path} sample {i}")
        tally["expanded and proved"] += 1
    return tally
