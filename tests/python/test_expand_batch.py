"""Batch expansion, proved numerically: a model expanded to batch 4 and run
on four samples at once computes what the original computes on each sample
alone (onnxruntime, float tolerance), or it is refused with a reason and the
model and tables stay as they were.
"""
import logging
import os

import numpy as np
import onnx
import pytest
from onnx import helper, numpy_helper

from conftest import EXAMPLE, backend_inputs, light_models, ort_session, random_inputs

BATCH = 4


def _feeds(model, batch, seed):
    return random_inputs(model, seed, lambda vi, dims: [batch] + dims[1:])


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


def _expanded_run(ir, model, seed):
    """The model expanded to batch 4 (which must succeed), a batch of inputs,
    and its first output for them under onnxruntime."""
    g = ir.IRGraph(_copy(model))
    assert g.expand_batch(BATCH)
    feeds = _feeds(model, BATCH, seed)
    return g, feeds, ort_session(_copy(g.model)).run(None, feeds)[0]


def test_transposes_change_only_where_a_leading_dimension_appeared(ir):
    # [sequence, batch, hidden] swapped to [batch, sequence, hidden]: the
    # batch axis exists already, so the permutation keeps its meaning.
    x = helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [1, 5, 8])
    y = helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [5, 1, 8])
    graph = helper.make_graph(
        [helper.make_node("Transpose", ["x"], ["y"], name="t", perm=[1, 0, 2])], "g", [x], [y])
    g, feeds, out = _expanded_run(ir, _model(graph), 1)
    assert list(g.get_attr(g.node[0], "perm")) == [1, 0, 2]
    np.testing.assert_array_equal(out, feeds["x"].transpose(1, 0, 2))

    # A Reshape that adds a leading dimension ahead of a Transpose: the
    # permutation is shifted behind the new batch axis.
    x = helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [1, 6])
    y = helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [3, 2])
    graph = helper.make_graph(
        [helper.make_node("Reshape", ["x", "to"], ["r"], name="r"),
         helper.make_node("Transpose", ["r"], ["y"], name="t", perm=[1, 0])], "g", [x], [y],
        initializer=[numpy_helper.from_array(np.array([2, 3], np.int64), "to")])
    g, feeds, out = _expanded_run(ir, _model(graph), 2)
    assert list(g.get_attr(g.node[1], "perm")) == [0, 2, 1]
    np.testing.assert_array_equal(out, feeds["x"].reshape(BATCH, 2, 3).transpose(0, 2, 1))


def _sample(batched, single, i):
    """Sample i of a batched result: along a new leading axis, or along the
    one axis that grew (the batch need not come first)."""
    if batched.ndim == single.ndim + 1:
        return batched[i]
    axis = next(k for k in range(single.ndim) if batched.shape[k] != single.shape[k])
    n = single.shape[axis]
    return np.take(batched, range(i * n, (i + 1) * n), axis=axis)


def _samples(path, original):
    """Four samples from the model's own test data: the first as given, the
    others with float inputs scaled slightly, integer inputs kept."""
    base = backend_inputs(path, original)
    if base is None:
        return None
    return [{n: (a * (1 + 0.125 * k)).astype(a.dtype) if a.dtype.kind == "f" else a
             for n, a in base.items()} for k in range(BATCH)]


# Models the packages ship with free dimensions, pinned as a conversion at
# batch 1 would pin them (a free leading axis is the batch; the other free
# axes take a size the model is used at).
PINNED = {
    "ch_PP-OCRv4_det_infer.onnx": {"x": [1, 3, 320, 320]},
    "ch_PP-OCRv4_rec_infer.onnx": {"x": [1, 3, 48, 320]},
    "ch_ppocr_mobile_v2.0_cls_infer.onnx": {"x": [1, 3, 48, 192]},
    "silero_vad_16k_sequence.onnx": {"input": [1, 576]},
}


def _pinned(path):
    model = onnx.load(path)
    for vi in model.graph.input:
        free = [d for d in vi.type.tensor_type.shape.dim if not d.HasField("dim_value")]
        if not free:
            continue
        dims = PINNED.get(os.path.basename(path), {}).get(vi.name)
        if dims is None:  # the batch axis of a speech model's input and state
            dims = [1 if not d.HasField("dim_value") else d.dim_value
                    for d in vi.type.tensor_type.shape.dim]
            if vi.name == "input" and len(dims) == 2:
                dims[1] = 512
        for d, v in zip(vi.type.tensor_type.shape.dim, dims):
            d.Clear()
            d.dim_value = v
    return model


def _random_samples(model, seed):
    """Four samples at the model's batch-1 input shapes."""
    return [random_inputs(model, seed + k) for k in range(BATCH)]


def test_shipped_models_expanded_compute_each_sample_or_are_refused(ir, capsys):
    """The models that packages ship, as shipped (free batch axes, which are
    refused) and pinned to batch 1: expanded, each sample computes as alone."""
    from test_packaged_models import MODELS

    cases = [(os.path.basename(p), onnx.load(p), lambda: None) for p in MODELS]
    for p in MODELS:
        model = _pinned(p)
        cases.append((os.path.basename(p) + " at batch 1", model,
                      lambda m=model: _random_samples(m, 0)))
    tally, proved = _expand_all(ir, cases)
    _print_tally(capsys, "the shipped models", tally)
    # The OCR detector expands; the recogniser keeps a ReduceMean; the
    # silero state carries the batch on its second axis.
    assert "ch_PP-OCRv4_det_infer.onnx at batch 1" in proved
    assert not any(name in proved for name, _, _ in cases[:len(MODELS)])


def test_backend_models_expanded_compute_each_sample_or_are_refused(ir, capsys):
    """Every backend-test model: expanded to batch 4 and run on four samples,
    it computes what the original computes per sample; refusals are tallied
    by reason."""
    from conftest import backend_models

    def case(path):
        model = onnx.load(path)
        return path, model, lambda: _samples(path, model)

    cases = (case(p) for p in backend_models())
    tally, proved = _expand_all(ir, cases)
    _print_tally(capsys, "the backend test data", tally)
    assert len(proved) > 50


def _print_tally(capsys, models, tally):
    with capsys.disabled():
        print(f"\nexpand_batch over {models}:")
        for outcome, count in tally.most_common():
            print(f"  {count:5d}  {outcome}")


class _Reasons(logging.Handler):
    """Keeps the last warning of the "tarq" logger: the reason of a refusal."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.last = None

    def emit(self, record):
        self.last = record.getMessage()


def _reason(message):
    """A refusal reason with the model's own names and shapes left out, so
    that refusals for the same reason count together."""
    import re
    message = re.sub(r"^expand_batch\(\d+\): ", "", message or "no reason given")
    message = re.sub(r"'[^']*'", "'…'", message)
    message = re.sub(r"shape\[0\] of \S+ ", "shape[0] of … ", message)
    return "refused: " + re.sub(r"(?<!shape)\[[^\]]*\]", "[…]", message)


def _expand_all(ir, cases):
    """Expands each (name, model, samples) case to batch 4 and proves it on
    the samples (made on demand: None when there are none); returns the tally of outcomes and the names proved."""
    import collections

    tally, proved = collections.Counter(), []
    logger = logging.getLogger("tarq")
    reasons = _Reasons()
    logger.addHandler(reasons)
    propagate, logger.propagate = logger.propagate, False  # a thousand refusals need not be read
    try:
        for name, original, samples in cases:
            reasons.last = None
            try:
                g = ir.IRGraph(original, initializer_dat={})
                expanded = g.expand_batch(BATCH)
            except (ValueError, IndexError, KeyError) as e:
                tally[_reason(f"{type(e).__name__}: {e}")] += 1
                continue
            if not expanded:
                tally[_reason(reasons.last)] += 1
                continue
            try:
                alone = ort_session(original)
            except Exception:  # noqa: BLE001 - onnxruntime cannot run the original
                tally["expanded, original not runnable"] += 1
                continue
            samples = samples()
            if samples is None:
                tally["expanded, no test data"] += 1
                continue
            result = _copy(g.model)
            for t in result.graph.initializer:  # the cached weights go back in
                if t.name in g.initializer_dat:
                    t.CopyFrom(numpy_helper.from_array(np.asarray(g.initializer_dat[t.name]), t.name))
            together = ort_session(result).run(
                None, {n: np.concatenate([s[n] for s in samples]) for n in samples[0]})
            for i, s in enumerate(samples):
                one = alone.run(None, s)
                for a, b in zip(together, one):
                    np.testing.assert_allclose(_sample(a, b, i), b, rtol=1e-4, atol=1e-5,
                                               err_msg=f"{name} sample {i}")
            tally["expanded and proved"] += 1
            proved.append(name)
    finally:
        logger.removeHandler(reasons)
        logger.propagate = propagate
    return tally, proved
