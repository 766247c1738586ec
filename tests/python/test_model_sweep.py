"""Every real model the suite can reach: built, cleaned and sorted, reversed and sorted again.

The models are the ONNX backend test data, the light architectures of the onnx
wheel and the models that other packages ship. For each model and each step
(construction; ``rebuild(clean_shape=True, sort_nodes=True)``; the node list
reversed, then ``rebuild(sort_nodes=True)``):

- ``verify()`` finds every index table matching the model;
- the model passes the ONNX checker whenever the original did, and its nodes
  are in topological order whenever the original's were;
- onnxruntime computes the same outputs as on the original, on the same inputs.

Every model goes through the steps twice, without and with a weight cache
(with the cached weights put back for the checker and onnxruntime). Without
a cache every rebuild runs the checker, which rejects a reversed node list:
the rebuild sorts before it. A model whose outputs cannot be compared
(onnxruntime cannot run the original, random operators, no inputs) still goes
through every structural check and is then skipped with the reason. A
summary of the outcomes, with the models of each, ends the module's output.
"""
import collections
import ctypes
import glob
import os
import re

import numpy as np
import onnx
import onnxruntime as ort
import pytest
from onnx import numpy_helper, version_converter

from conftest import all_nodes, backend_models, light_models, order_fault, ort_session
from test_packaged_models import MODELS as PACKAGED, restore_weights

RTOL, ATOL = 1e-4, 1e-5
SEED = 20240611

# Operators whose results differ from run to run (or session to session).
RANDOM_OPS = {"RandomNormal", "RandomNormalLike", "RandomUniform", "RandomUniformLike",
              "Bernoulli", "Multinomial"}

# Sizes for the dimensions that inputs leave open (1 otherwise), and values
# that the declared types alone do not make meaningful: the speech models take
# 16 kHz audio in windows of 512 samples and the rate itself, the OCR models
# images whose sides their strides divide.
INPUT_HINTS = {
    "silero_vad": {"dims": {"input": [1, 512]}, "values": {"sr": np.array(16000, np.int64)}},
    "ch_PP-OCRv4_det": {"dims": {"x": [1, 3, 64, 64]}},
    "ch_PP-OCRv4_rec": {"dims": {"x": [1, 3, 48, 64]}},
    "ch_ppocr_mobile": {"dims": {"x": [1, 3, 48, 64]}},
}


def _cases():
    out = []
    for path in backend_models():
        parts = path.split(os.sep)
        out.append(pytest.param(path, "backend", id=f"{parts[-3]}/{parts[-2]}"))
    for path in light_models():
        out.append(pytest.param(path, "light", id="light/" + os.path.basename(path)[:-5]))
    for path in PACKAGED:
        package = os.path.basename(os.path.dirname(os.path.dirname(path)))
        out.append(pytest.param(path, "packaged", id=f"{package}/{os.path.basename(path)}"))
    return out


# Outcomes, for the summary at the end of the module.
SUMMARY = collections.defaultdict(list)
PASSED = "passed, outputs compared"


@pytest.fixture(scope="module", autouse=True)
def _summary(request):
    yield
    reporter = request.config.pluginmanager.get_plugin("terminalreporter")
    if reporter is None or not SUMMARY:
        return
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    with capture.global_and_fixture_disabled():
        reporter.write_line("")
        reporter.write_line("model sweep summary:")
        for group in sorted(SUMMARY, key=lambda k: (-len(SUMMARY[k]), k)):
            names = SUMMARY[group]
            listed = names if group != PASSED else []
            reporter.write_line(f"  {len(names):5d}  {group}" + (": " if listed else ""))
            for name in listed:
                reporter.write_line(f"           {name}")


def _note(group, name):
    SUMMARY[group].append(name)


# ---------------------------------------------------------------- the model itself

def _random_ops(model):
    nodes = list(all_nodes(model.graph))
    for f in model.functions:
        nodes.extend(f.node)
    found = {n.op_type for n in nodes if n.op_type in RANDOM_OPS}
    # Dropout in training mode: a third input that is given.
    if any(n.op_type == "Dropout" and len(n.input) > 2 and n.input[2] for n in nodes):
        found.add("Dropout (training mode)")
    return sorted(found)


def _passes_checker(model, full_check=False):
    try:
        onnx.checker.check_model(model, full_check=full_check)
    except (onnx.checker.ValidationError, onnx.shape_inference.InferenceError):
        return False
    return True


def _first_line(text, limit=90):
    line = text.strip().splitlines()[0] if text.strip() else ""
    return _clip(line, limit)


def _clip(text, limit):
    text = " ".join(text.split())
    return text if len(text) <= limit else text[:limit] + "..."


# ---------------------------------------------------------------- onnxruntime

def _run(session, feeds):
    """Runs a session; bfloat16 tensors go in and come out as their 16-bit patterns."""
    given = {}
    for i in session.get_inputs():
        value = feeds[i.name]
        if i.type == "tensor(bfloat16)":
            value = ort.OrtValue.ortvalue_from_numpy_with_onnx_type(
                np.ascontiguousarray(value).view(np.uint16), onnx.TensorProto.BFLOAT16)
        given[i.name] = value
    if all(o.type != "tensor(bfloat16)" for o in session.get_outputs()):
        return session.run(None, given)
    given = {k: v if isinstance(v, ort.OrtValue) else ort.OrtValue.ortvalue_from_numpy(v)
             for k, v in given.items()}
    return [_bits(v) for v in session.run_with_ort_values(None, given)]


def _bits(value):
    if value.data_type() != "tensor(bfloat16)":
        return value.numpy()
    size = value.tensor_size_in_bytes()
    data = (ctypes.c_uint8 * size).from_address(value.data_ptr()) if size else b""
    return np.frombuffer(bytes(data), np.uint16).reshape(value.shape())


def _ort_reason(what, error):
    text = str(error)
    m = re.search(r"\[ONNXRuntimeError\] : \d+ : (\w+) : (.*)", text, re.S)
    code, detail = (m.group(1), m.group(2)) if m else (type(error).__name__, text)
    # The innermost message, without the load prefix and the source location.
    detail = detail.split("Status Message: ")[-1].strip()
    detail = re.sub(r"^(Load model from \S+ failed:|Exception during initialization: )", "", detail)
    detail = re.sub(r"/onnxruntime_src/\S+:\d+ \S*\(.*?\)\S* ", "", detail)
    return f"onnxruntime cannot {what} the original: {code}", _first_line(detail, 110)


def _backend_inputs(path, graph):
    """The inputs of test_data_set_0, matched in order to the inputs that are not initializers."""
    folder = os.path.join(os.path.dirname(path), "test_data_set_0")
    files = sorted(glob.glob(os.path.join(folder, "input_*.pb")),
                   key=lambda f: int(re.search(r"input_(\d+)\.pb$", f).group(1)))
    inits = {t.name for t in graph.initializer}
    declared = [v for v in graph.input if v.name not in inits]
    if len(files) > len(declared):
        return None, f"{len(files)} input files for {len(declared)} inputs"
    feeds = {}
    for f, v in zip(files, declared):
        with open(f, "rb") as fh:
            data = fh.read()
        kind = v.type.WhichOneof("value")
        if kind == "tensor_type":
            feeds[v.name] = numpy_helper.to_array(onnx.TensorProto.FromString(data))
        elif kind == "sequence_type":
            feeds[v.name] = numpy_helper.to_list(onnx.SequenceProto.FromString(data))
        elif kind == "optional_type":
            feeds[v.name] = numpy_helper.to_optional(onnx.OptionalProto.FromString(data))
        else:
            return None, f"input {v.name!r} is a {kind}"
    return feeds, None


def _hints(path):
    base = os.path.basename(path)
    for prefix, hint in INPUT_HINTS.items():
        if base.startswith(prefix):
            return hint
    return {}


def _made_inputs(path, graph):
    """Inputs made from the declared types and shapes; unknown dimensions are 1."""
    rng = np.random.default_rng(SEED)
    hints = _hints(path)
    inits = {t.name for t in graph.initializer}
    feeds = {}
    for v in graph.input:
        if v.name in inits:
            continue
        if v.name in hints.get("values", {}):
            feeds[v.name] = hints["values"][v.name]
            continue
        if v.type.WhichOneof("value") != "tensor_type":
            return None, f"input {v.name!r} is not a tensor"
        t = v.type.tensor_type
        if not t.HasField("shape"):
            return None, f"input {v.name!r} has no shape"
        fill = hints.get("dims", {}).get(v.name) or [1] * len(t.shape.dim)
        shape = [d.dim_value if d.HasField("dim_value") and d.dim_value > 0 else fill[k]
                 for k, d in enumerate(t.shape.dim)]
        dtype = onnx.helper.tensor_dtype_to_np_dtype(t.elem_type)
        if np.issubdtype(dtype, np.floating):
            feeds[v.name] = rng.standard_normal(shape).astype(dtype)
        elif np.issubdtype(dtype, np.integer):
            feeds[v.name] = rng.integers(0, 4, shape).astype(dtype)
        elif dtype == np.bool_:
            feeds[v.name] = rng.random(shape) < 0.5
        else:
            return None, f"input {v.name!r} has element type {t.elem_type}"
    return feeds, None


def _default_opset(model):
    return next((o.version for o in model.opset_import if o.domain in ("", "ai.onnx")), 0)


class Reference:
    """The original under onnxruntime: its inputs and outputs, or why there are none.

    onnxruntime has no kernels for operator sets before 7; a model that needs
    them runs (like each of its rebuilds) as the version converter upgrades it.
    """

    UPGRADE = 7

    def __init__(self, path, kind, original):
        self.outputs = None
        self.reason = None  # (group, detail)
        self.upgrade = False
        random_ops = _random_ops(original)
        if random_ops:
            self.reason = ("random operators", ", ".join(random_ops))
            return
        if kind == "backend":
            self.feeds, why = _backend_inputs(path, original.graph)
        else:
            self.feeds, why = _made_inputs(path, original.graph)
        if self.feeds is None:
            self.reason = ("no inputs can be made", why)
            return
        try:
            session = ort_session(path)
        except Exception as e:  # noqa: BLE001 - any failure of onnxruntime on the original
            self.reason = _ort_reason("load", e)
            if "NOT_IMPLEMENTED" not in str(e) or _default_opset(original) >= self.UPGRADE:
                return
            try:
                self.upgrade = True
                session = ort_session(self._runnable(original))
            except Exception:  # noqa: BLE001 - the first reason stands
                return
        try:
            self.names = [o.name for o in session.get_outputs()]
            self.outputs = dict(zip(self.names, _run(session, self._feeds_for(session))))
            self.reason = None
        except Exception as e:  # noqa: BLE001
            if not self.upgrade:
                self.reason = _ort_reason("run", e)

    def _runnable(self, model):
        if not self.upgrade:
            return model
        return version_converter.convert_version(model, self.UPGRADE)

    def _feeds_for(self, session):
        declared = [i.name for i in session.get_inputs()]
        missing = [n for n in declared if n not in self.feeds]
        assert not missing, f"the model declares inputs the original did not take: {missing}"
        return {n: self.feeds[n] for n in declared}

    def compare(self, model):
        """Runs the model; returns the names of original outputs it no longer has."""
        session = ort_session(self._runnable(model))
        names = [o.name for o in session.get_outputs()]
        extra = [n for n in names if n not in self.outputs]
        assert not extra, f"outputs the original does not have: {extra}"
        got = dict(zip(names, _run(session, self._feeds_for(session))))
        for name in names:
            _same(self.outputs[name], got[name], name)
        return [n for n in self.names if n not in got]


def _same(want, got, where):
    if want is None or got is None:
        assert want is None and got is None, f"{where}: {want!r} != {got!r}"
    elif isinstance(want, list):
        assert isinstance(got, list) and len(got) == len(want), f"{where}: sequence lengths"
        for i, (w, g) in enumerate(zip(want, got)):
            _same(w, g, f"{where}[{i}]")
    elif isinstance(want, dict):
        assert isinstance(got, dict) and sorted(got) == sorted(want), f"{where}: map keys"
        for k in want:
            _same(want[k], got[k], f"{where}[{k!r}]")
    else:
        want, got = np.asarray(want), np.asarray(got)
        assert got.dtype == want.dtype and got.shape == want.shape, (
            f"{where}: {got.dtype}{got.shape} != {want.dtype}{want.shape}")
        if np.issubdtype(want.dtype, np.floating) or np.issubdtype(want.dtype, np.complexfloating):
            np.testing.assert_allclose(got, want, rtol=RTOL, atol=ATOL, equal_nan=True,
                                       err_msg=where)
        else:
            np.testing.assert_array_equal(got, want, err_msg=where)


# ---------------------------------------------------------------- the sweep

def _reverse_and_sort(g):
    g.model.graph.node.reverse()
    g.rebuild(sort_nodes=True)


STEPS = [("construction", lambda g: None),
         ("rebuild(clean_shape, sort_nodes)", lambda g: g.rebuild(clean_shape=True, sort_nodes=True)),
         ("reversed, rebuild(sort_nodes)", _reverse_and_sort)]


def _sweep(ir, path, original, ref, cache, facts):
    """Runs the steps with or without a weight cache; False if construction was refused."""
    kwargs = {} if cache is None else {"initializer_dat": cache}
    try:
        g = ir.IRGraph(ir.load_model(path), ori_model_path=path, **kwargs)
    except ir.ValidationError as e:
        if cache is None and not facts["valid"]:
            return False  # the checker rejects the original too
        raise AssertionError(f"construction: {type(e).__name__}: {_clip(str(e), 400)}") from e
    produced = {o for n in all_nodes(original.graph) for o in n.output}
    read = {i for n in all_nodes(original.graph) for i in n.input}
    for step, action in STEPS:
        try:
            action(g)
            g.verify()
            model = restore_weights(g) if cache is not None else ir.to_onnx(g.model)
            fault = order_fault(model.graph) if facts["sorted"] else None
            if fault:
                raise AssertionError(fault)
            if facts["valid"]:
                onnx.checker.check_model(model, full_check=facts["full_check"])
            if ref.outputs is not None:
                for name in ref.compare(model):
                    # Only an output that no node reads or writes may go.
                    if name in produced or name in read:
                        raise AssertionError(f"the computed output {name!r} is gone")
                    facts["dropped"].add(name)
        except Exception as e:
            raise AssertionError(f"{step}: {type(e).__name__}: {_clip(str(e), 400)}") from e
    return True


@pytest.mark.parametrize("path, kind", _cases())
def test_model(ir, path, kind, request):
    name = request.node.callspec.id
    original = onnx.load(path)
    valid = _passes_checker(original)
    facts = {"valid": valid, "full_check": valid and _passes_checker(original, True),
             "sorted": order_fault(original.graph) is None, "dropped": set()}
    ref = Reference(path, kind, original)

    failures, built = [], []
    for cache in (None, {}):
        mode = "without a weight cache" if cache is None else "with a weight cache"
        try:
            built.append(_sweep(ir, path, original, ref, cache, facts))
        except AssertionError as e:
            failures.append(f"{mode}, {e}")
    if failures:
        _note("FAILED", name)
        pytest.fail("\n".join(failures), pytrace=False)
    if not all(built):
        # The weight cache keeps the check a warning, so the steps ran with it.
        _note("built only with a weight cache, the checker rejects the original", name)
    if facts["dropped"]:
        _note("graph outputs dropped as read and written by no node", name)
    if ref.reason:
        group, detail = ref.reason
        _note(f"skipped, outputs not compared, {group}", name)
        pytest.skip(f"outputs not compared, {group}: {detail} [{name}]")
    _note(PASSED, name)
