"""Layer export, proved numerically: the small models create_ir_layers gives
(one per node, or a producer fused with its single consumer) are valid
models, and run one after the other with onnxruntime, each fed from the graph
inputs and the outputs of the layers before it, they compute what the whole
model computes. The tables beside them say which layers read each tensor and
which tensors a layer may free, and both agree with what the layers read.
"""
import collections
import logging
import os
import re

import numpy as np
import onnx
import pytest
from onnx import numpy_helper

from conftest import (EXAMPLE, backend_inputs, backend_models, light_models, ort_session,
                      random_inputs)

RTOL, ATOL = 1e-4, 1e-5


class _Reports(logging.Handler):
    """Collects the error reports of the "tarq" logger."""

    def __init__(self):
        super().__init__(logging.ERROR)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


def _layer_model(ir, g, view):
    """A layer as an onnx model, with the weights the cache holds put back."""
    model = ir.to_onnx(view)
    if g.initializer_dat:
        for t in model.graph.initializer:
            if t.name in g.initializer_dat:
                t.CopyFrom(numpy_helper.from_array(np.asarray(g.initializer_dat[t.name]), t.name))
    return model


def _fed(layer):
    """The tensors a layer is fed: its inputs that it does not hold."""
    held = {t.name for t in layer.graph.initializer}
    return [vi.name for vi in layer.graph.input if vi.name not in held]


def _same(name, got, want):
    if isinstance(want, list):  # a sequence
        assert isinstance(got, list) and len(got) == len(want), name
        for a, b in zip(got, want):
            _same(name, a, b)
        return
    if want is None:  # an empty optional
        assert got is None, name
        return
    got, want = np.asarray(got), np.asarray(want)
    assert (got.shape, got.dtype) == (want.shape, want.dtype), name
    if want.dtype.kind in "fc":
        np.testing.assert_allclose(got, want, rtol=RTOL, atol=ATOL, err_msg=name)
    else:
        np.testing.assert_array_equal(got, want, err_msg=name)


def _declared_dims_hold(k, layer, outs):
    """The fixed dimensions a layer states for its outputs are those computed."""
    for vi, value in zip(layer.graph.output, outs):
        if not vi.type.HasField("tensor_type") or not isinstance(value, np.ndarray):
            continue
        tt = vi.type.tensor_type
        if not tt.HasField("shape"):
            continue
        # A negative size, as some exporters write a free one, is free.
        dims = [d.dim_value if d.HasField("dim_value") and d.dim_value >= 0 else None
                for d in tt.shape.dim]
        assert len(dims) == value.ndim and all(
            d is None or d == v for d, v in zip(dims, value.shape)), (
            f"layer {k} ({layer.graph.name!r}) states {vi.name!r} as {dims}, computes "
            f"{list(value.shape)}")


def _prove(ir, g, original, feeds, want, fuse):
    """Creates the layers of `g` and proves them against `original`, which
    computes `want` from `feeds`: consistent tables, the same outputs, then
    every layer valid or reported. Returns the reports logged while the
    layers were made."""
    logger = logging.getLogger("tarq")
    reports = _Reports()
    logger.addHandler(reports)
    try:
        views, frees, next_ids = g.create_ir_layers(fuse_op=fuse, log=False)
    finally:
        logger.removeHandler(reports)
    layers = [_layer_model(ir, g, v) for v in views]
    assert len(frees) == len(layers)
    if not fuse:
        assert len(layers) == len(original.graph.node)
    invalid = {}
    for k, layer in enumerate(layers):
        try:
            onnx.checker.check_model(layer)
        except onnx.checker.ValidationError as e:
            invalid[k] = f"layer {k} ({layer.graph.name!r}) fails the checker: {e}"

    # Which layers read each tensor; what a layer frees, no later layer reads.
    fed = [_fed(layer) for layer in layers]
    readers = {}
    for k, names in enumerate(fed):
        for t in dict.fromkeys(names):
            readers.setdefault(t, []).append(k)
    assert dict(next_ids) == readers
    for k, names in enumerate(frees):
        for t in names:
            late = [j for j in readers.get(t, []) if j > k]
            assert not late, f"layer {k} frees {t!r}, which layer {late[0]} reads"

    # The layers in order compute the model's outputs.
    env = dict(feeds)
    for k, layer in enumerate(layers):
        missing = [t for t in fed[k] if t not in env]
        assert not missing, (f"layer {k} ({layer.graph.name!r}) reads {missing[0]!r}, "
                             "which neither a graph input nor an earlier layer gives")
        outs = ort_session(layer).run(None, {t: env[t] for t in fed[k]})
        _declared_dims_hold(k, layer, outs)
        env.update(zip([o.name for o in layer.graph.output], outs))
    held = {t.name: numpy_helper.to_array(t) for t in original.graph.initializer}
    for vi, value in zip(original.graph.output, want):
        _same(vi.name, env[vi.name] if vi.name in env else held[vi.name], value)

    # A layer that is not a valid model (where inference leaves a tensor
    # without a rank) is one the graph reported, and back.
    said = {int(m.group(1)) for m in
            (re.match(r"create_ir_layers: layer (\d+) ", r) for r in reports.messages) if m}
    unreported = sorted(set(invalid) - said)
    assert not unreported, f"not reported: {invalid[unreported[0]]}"
    assert not said - set(invalid), f"reported, but valid: layer {min(said - set(invalid))}"
    return reports.messages


def _reason(message):
    """A report with the model's names left out, so that like reports count together."""
    message = re.sub(r"layer \d+ \('[^']*'\)", "layer …", message)
    return re.sub(r"'[^']*'", "'…'", message)


# ---- the models

# The sizes the OCR models take their images at (their height and width are free).
IMAGE = {"ch_PP-OCRv4_det_infer.onnx": [1, 3, 320, 320],
         "ch_PP-OCRv4_rec_infer.onnx": [1, 3, 48, 320],
         "ch_ppocr_mobile_v2.0_cls_infer.onnx": [1, 3, 48, 192]}


def _random_feeds(name, model, seed=0):
    """Random inputs at the sizes the model is used at: a free dimension is
    1 (a batch) but the OCR images' sizes and a speech chunk of 512 samples."""
    def dims_of(vi, dims):
        if name in IMAGE:
            return IMAGE[name]
        if vi.name == "input" and dims == [0, 0]:
            return [1, 512]
        return [d if d > 0 else 1 for d in dims]

    return random_inputs(model, seed, dims_of)


def _prove_all(ir, cases, cache):
    """Proves each (name, model, feeds) case without and with fusion; returns
    the tally of outcomes and the faults found, (name, mode) -> error."""
    tally, faults = collections.Counter(), {}
    logger = logging.getLogger("tarq")
    propagate, logger.propagate = logger.propagate, False  # many reports need not be read
    try:
        for name, original, feeds in cases:
            try:
                g = ir.IRGraph(onnx.load_from_string(original.SerializeToString()),
                               initializer_dat={} if cache else None)
            except (ValueError, IndexError, KeyError, RuntimeError) as e:
                tally[f"graph not built: {type(e).__name__}"] += 1
                continue
            feeds = feeds(original)
            if feeds is None:
                tally["no test data"] += 1
                continue
            try:
                want = ort_session(original).run(None, feeds)
            except Exception:  # noqa: BLE001 - onnxruntime cannot run the original
                tally["original not runnable"] += 1
                continue
            outcome, said = "proved", set()
            for fuse in (False, True):
                mode = "fused" if fuse else "unfused"
                try:
                    said.update(_reason(r) for r in _prove(ir, g, original, feeds, want, fuse))
                except Exception as e:  # noqa: BLE001 - collected, reported by the caller
                    faults[name, mode] = f"{type(e).__name__}: {e}"
                    outcome = "FAULT"
            if outcome == "proved" and said:
                outcome += ", reported: " + "; ".join(sorted(said))
            tally[outcome] += 1
    finally:
        logger.propagate = propagate
    return tally, faults


def _print_tally(capsys, models, tally, faults):
    with capsys.disabled():
        print(f"\ncreate_ir_layers over {models}:")
        for outcome, count in tally.most_common():
            print(f"  {count:5d}  {outcome}")
        for (name, mode), error in faults.items():
            print(f"  FAULT {name} ({mode}): {error[:300]}")


def _judge(faults):
    """Every fault found fails the test, each named with its model and mode."""
    assert not faults, "\n".join(f"{n} ({m}): {e}" for (n, m), e in faults.items())


@pytest.mark.parametrize("path", [EXAMPLE] + light_models(), ids=os.path.basename)
def test_layers_of_real_cnns_compute_the_model(ir, path, capsys):
    """The example and the light models, weights in a cache as a conversion keeps them."""
    name = os.path.basename(path)
    tally, faults = _prove_all(
        ir, [(name, onnx.load(path), lambda m: _random_feeds(name, m))], cache=True)
    _print_tally(capsys, name, tally, faults)
    _judge(faults)
    assert list(tally) == [next(k for k in tally if k.startswith("proved"))]


def test_layers_of_shipped_models_compute_the_model(ir, capsys):
    """The OCR and speech models that packages ship (free dimensions, control
    flow, outer-scope reads, a half-precision variant), as shipped and pinned
    to batch 1 (fixed shapes, which onnxruntime holds each layer to), weights
    in a cache."""
    from test_expand_batch import _pinned
    from test_packaged_models import MODELS

    cases = []
    for p in MODELS:
        name = os.path.basename(p)
        feeds = lambda m, n=name: _random_feeds(n, m)  # noqa: E731
        cases += [(name, onnx.load(p), feeds), (name + " at batch 1", _pinned(p), feeds)]
    tally, faults = _prove_all(ir, cases, cache=True)
    _print_tally(capsys, "the shipped models", tally, faults)
    _judge(faults)


def test_layers_of_backend_models_compute_the_model(ir, capsys):
    """Every backend-test model on its own test data; the weights stay in the
    model, so that the graph checks each layer as it makes it."""
    cases = ((p.split("/")[-2], onnx.load(p), lambda m, p=p: backend_inputs(p, m))
             for p in backend_models())
    tally, faults = _prove_all(ir, cases, cache=False)
    _print_tally(capsys, "the backend test data", tally, faults)
    assert sum(n for k, n in tally.items() if k.startswith("proved")) > 900
    _judge(faults)
