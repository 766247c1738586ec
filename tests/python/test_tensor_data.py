"""Tensor data: constants read by reference or by copy and written into the model
or the weight cache, per-configuration values, the defaults of optional inputs,
shapes and element types, models moved from FLOAT16 or DOUBLE to FLOAT, and
Constant nodes turned into initializers."""
import glob
import logging
import os
import re

import ml_dtypes
import numpy as np
import onnx
import pytest
from onnx import TensorProto as T
from onnx import helper, numpy_helper

from conftest import TESTDATA, backend_models, light_models, ort_session, reuse_freed_memory

F = T.FLOAT
NARROW = (T.FLOAT16, T.DOUBLE)
DATA_FIELDS = ("float_data", "int32_data", "string_data", "int64_data", "double_data",
               "uint64_data", "raw_data")


def data_path(*parts):
    return os.path.join(TESTDATA, *parts, "model.onnx")


def used_fields(tensor):
    return [f for f in DATA_FIELDS if len(getattr(tensor, f))]


def reference_inputs(path, model):
    """The inputs of test_data_set_0, as the declared element types."""
    files = sorted(glob.glob(os.path.join(os.path.dirname(path), "test_data_set_0", "input_*.pb")),
                   key=lambda f: int(re.search(r"(\d+)\.pb$", f).group(1)))
    inits = {t.name for t in model.graph.initializer}
    declared = [v for v in model.graph.input if v.name not in inits]
    feeds = {}
    for f, v in zip(files, declared):
        with open(f, "rb") as fh:
            arr = numpy_helper.to_array(T.FromString(fh.read()))
        feeds[v.name] = arr.astype(helper.tensor_dtype_to_np_dtype(v.type.tensor_type.elem_type))
    return feeds


def with_cached_weights(g):
    """The graph's model as an onnx message, with the cached weights put back."""
    import tarq.api.ir_graph as ir

    m = ir.to_onnx(g.model)
    for t in m.graph.initializer:
        if g.initializer_dat and t.name in g.initializer_dat:
            t.CopyFrom(numpy_helper.from_array(np.asarray(g.initializer_dat[t.name]), t.name))
    return m


def small_model():
    """A Conv and one Identity per constant: each constant keeps its storage field."""
    rng = np.random.default_rng(0)
    consts = [numpy_helper.from_array(rng.standard_normal((4, 3, 3, 3)).astype(np.float32), "w"),
              helper.make_tensor("b", F, [4], [1, 2, 3, 4]),
              numpy_helper.from_array(np.array(2.5, np.float32), "scalar"),
              helper.make_tensor("shape", T.INT64, [2], [1, 256]),
              helper.make_tensor("dbl", T.DOUBLE, [2, 2], [1, 2, 3, 4]),
              helper.make_tensor("half", T.FLOAT16, [3], np.array([1.5, -2, 3], np.float16))]
    nodes = [helper.make_node("Conv", ["x", "w", "b"], ["y"], name="conv", pads=[1, 1, 1, 1])]
    outputs = [helper.make_tensor_value_info("y", F, [1, 4, 8, 8])]
    for t in consts[2:]:
        nodes.append(helper.make_node("Identity", [t.name], ["o_" + t.name], name="id_" + t.name))
        outputs.append(helper.make_tensor_value_info("o_" + t.name, t.data_type, list(t.dims)))
    graph = helper.make_graph(nodes, "g", [helper.make_tensor_value_info("x", F, [1, 3, 8, 8])],
                              outputs, consts)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])


# ---------------------------------------------------------------- constants


def test_constant_reads_share_memory_only_read_only(ir):
    m = small_model()
    original = {t.name: numpy_helper.to_array(t) for t in m.graph.initializer}
    cache = {}
    g = ir.IRGraph(m, initializer_dat=cache)
    assert list(cache) == ["w", "b"], "the Conv's weight and bias"
    for name in cache:
        ref, copy = g.get_const(name), g.get_const(name, ref=False)
        assert not ref.flags.writeable and np.shares_memory(ref, cache[name])
        assert copy.flags.writeable and not np.shares_memory(copy, cache[name])
        np.testing.assert_array_equal(copy, original[name])
    placeholder = g.get_const("w", to_array=False)
    assert placeholder.name == "w" and list(placeholder.dims) == [4, 3, 3, 3]
    assert used_fields(placeholder) == []
    for name in ("scalar", "shape", "dbl", "half"):
        for arr in (g.get_const(name), g.get_const(name, ref=False)):
            assert arr.dtype == original[name].dtype and arr.shape == original[name].shape
            np.testing.assert_array_equal(arr, original[name])
    scalar = g.get_const("scalar")
    assert scalar.shape == () and scalar.flags.writeable, "a raw scalar always comes back a copy"
    scalar[()] = 7
    assert g.get_const("scalar") == 2.5
    view = g.get_const("shape", to_array=False)
    assert view == g.model.graph.initializer[g.consts["shape"]]
    view.int64_data[0] = 2  # the initializer itself, not a copy
    assert g.get_const("shape").tolist() == [2, 256]
    assert [g.get_const(n) for n in ("x", "y", "missing")] == [None, None, None]


@pytest.mark.parametrize("name, field, new", [
    ("b", "float_data", np.array([5, 6, 7, 8], np.float32)),
    ("shape", "int64_data", np.array([-1, 4], np.int64)),
    ("scalar", "raw_data", np.array(-1.25, np.float32)),
    ("dbl", "double_data", np.array([[0.5, 0.25], [-1, 1e-300]])),
    ("half", "int32_data", np.array([0.25, -65504, 1], np.float16)),
])
def test_set_array_writes_the_field_in_use(ir, name, field, new):
    g = ir.IRGraph(small_model())
    t = g.get_const(name, to_array=False)
    before = t.SerializeToString()
    other = np.float32 if new.dtype != np.float32 else np.float64
    for wrong in (new.astype(other), new.reshape(1, *new.shape)):
        assert g.set_array(t, wrong) is False
        assert t.SerializeToString() == before
    assert g.set_array(t, new) is True
    g.verify()
    assert used_fields(t) == [field]
    np.testing.assert_array_equal(numpy_helper.to_array(ir.to_onnx(t)), new)
    np.testing.assert_array_equal(g.get_const(name), new)


def test_set_array_of_a_cached_constant_changes_only_the_cache(ir):
    cache = {}
    g = ir.IRGraph(small_model(), initializer_dat=cache)
    t = g.get_const("w", to_array=False)
    before = g.model.SerializeToString()
    new = np.arange(108, dtype=np.float32).reshape(4, 3, 3, 3)
    assert g.set_array(t, new, ref=False)
    assert not cache["w"].flags.writeable and not np.shares_memory(cache["w"], new)
    np.testing.assert_array_equal(cache["w"], new)
    assert g.set_array(t, np.asfortranarray(new * 2))
    np.testing.assert_array_equal(g.get_const("w"), new * 2)
    # By reference the cache takes the caller's memory, which is then
    # read-only for the caller too: a write cannot change the weight behind
    # the graph's back.
    shared = new * 3
    assert g.set_array(t, shared, ref=True) and np.shares_memory(cache["w"], shared)
    with pytest.raises(ValueError):
        shared[0, 0, 0, 0] = 42
    assert g.model.SerializeToString() == before
    big = np.zeros((512, 1025), np.float32)
    g.set_const("big", big)
    assert not big.flags.writeable and np.shares_memory(cache["big"], big)
    g.verify()


@pytest.mark.parametrize("cached", [False, True], ids=["no cache", "cache"])
def test_set_const_of_new_names_and_the_cache_threshold(ir, cached):
    cache = {} if cached else None
    g = ir.IRGraph(small_model(), initializer_dat=cache)
    graph = g.model.graph
    big = np.arange(512 * 1025, dtype=np.float32).reshape(512, 1025)  # just over 2 MiB
    edge = np.ones(1 << 18, np.float32)  # exactly 1 MiB: stays in the model
    for name, arr in (("big", big), ("edge", edge), ("ints", np.array([3, 4], np.int64))):
        n_inits, n_inputs = len(graph.initializer), len(graph.input)
        g.set_const(name, arr)
        g.verify()
        assert (g.consts[name], g.inputs_with_const[name]) == (n_inits, n_inputs)
        assert graph.input[n_inputs] == helper.make_tensor_value_info(
            name, helper.np_dtype_to_tensor_dtype(arr.dtype), list(arr.shape))
        t = graph.initializer[n_inits]
        assert (t.name, list(t.dims)) == (name, list(arr.shape))
        in_cache = cached and name == "big"
        assert (cache is not None and name in cache) == in_cache
        if in_cache:
            assert used_fields(t) == [] and t.data_type == F
            assert not cache[name].flags.writeable
        else:
            np.testing.assert_array_equal(numpy_helper.to_array(ir.to_onnx(t)), arr)
        np.testing.assert_array_equal(g.get_const(name), arr)
    if cached:
        # A cached name stays cached, whatever its new size.
        g.set_const("big", np.ones((2, 2), np.float64), ref=False)
        g.verify()
        t = graph.initializer[g.consts["big"]]
        assert (list(t.dims), t.data_type, used_fields(t)) == ([2, 2], T.DOUBLE, [])
        assert cache["big"].dtype == np.float64 and not cache["big"].flags.writeable


def test_set_const_of_an_existing_constant_keeps_its_positions(ir, tmp_path):
    g = ir.IRGraph(small_model())
    graph = g.model.graph
    at, at_input = g.consts["b"], g.inputs_with_const["b"]
    declared = graph.input[at_input].SerializeToString()
    g.set_const("b", np.array([9, 8, 7, 6], np.float32))
    g.verify()
    assert graph.input[at_input].SerializeToString() == declared
    assert list(graph.initializer[at].float_data) == [9, 8, 7, 6]
    old_tensor, old_input = graph.initializer[at], graph.input[at_input]
    g.set_const("b", np.arange(6, dtype=np.float64).reshape(2, 3))
    g.verify()
    reuse_freed_memory()
    # Views of the replaced messages still read what they held.
    assert (old_tensor.name, list(old_tensor.float_data)) == ("b", [9, 8, 7, 6])
    assert old_input.SerializeToString() == declared
    assert (g.consts["b"], g.inputs_with_const["b"]) == (at, at_input)
    assert graph.initializer[at].name == "b" and graph.input[at_input] == \
        helper.make_tensor_value_info("b", T.DOUBLE, [2, 3])
    assert (g.get_dtype("b"), g.get_shape("b")) == (np.float64, [2, 3])
    # Into another model: only that one changes.
    path = str(tmp_path / "other.onnx")
    onnx.save(small_model(), path)
    other = ir.load_model(path)
    own = g.model.SerializeToString()
    g.set_const("extra", np.arange(3), model=other)
    assert other.graph.initializer[-1].name == "extra" and other.graph.input[-1].name == "extra"
    assert g.model.SerializeToString() == own and "extra" not in g.consts
    g.verify()


def test_a_selected_configuration_records_values_and_shapes_apart(ir):
    g = ir.IRGraph(small_model())
    g.n_dynamic, g.dynamic_idx = 2, 1
    g.dynamic_shapes = {"x": [[1, 3, 8, 8], [2, 3, 16, 16]]}
    g.dynamic_diff = {"shape": [np.array([1, 256]), np.array([2, 1024])]}
    model = g.model.SerializeToString()
    assert g.get_shape("x") == [2, 3, 16, 16]
    assert g.get_const("shape").tolist() == [2, 1024]
    assert g.get_const("shape") is g.dynamic_diff["shape"][1]  # as the table holds it
    assert g.get_shape("shape") == [2]
    g.set_const("b", np.arange(6, dtype=np.float32))
    g.set_shape("b", [2, 3])
    g.set_shape("x", [4, 3, 4, 4], dtype=np.float16)
    g.set_shape("y", [4, 4, 4, 4])
    g.verify()
    assert g.dynamic_diff_set["b"][0] is None
    for arr in (g.get_const("b"), g.get_const("b", to_array=False)):
        np.testing.assert_array_equal(arr, np.arange(6).reshape(2, 3))
    np.testing.assert_array_equal(g.get_const("b", from_set=False), [1, 2, 3, 4])
    assert (g.get_shape("b"), g.get_shape("b", from_set=False)) == ([2, 3], [4])
    assert (g.get_shape("x"), g.get_shape("x", False)) == ([4, 3, 4, 4], [2, 3, 16, 16])
    assert g.dynamic_shapes_set["x"] == [None, [4, 3, 4, 4]]
    assert g.dynamic_dtypes_set["x"] == [None, np.float16]
    assert g.get_shape("y") == [4, 4, 4, 4]
    assert g.model.SerializeToString() == model
    g.dynamic_idx = 0
    assert (g.get_shape("x"), g.get_shape("y")) == ([1, 3, 8, 8], [1, 4, 8, 8])
    assert g.get_const("shape").tolist() == [1, 256]
    np.testing.assert_array_equal(g.get_const("b"), [1, 2, 3, 4])
    g.dynamic_idx = None
    assert g.get_shape("x") == [1, 3, 8, 8] and g.get_const("shape").tolist() == [1, 256]


# ---------------------------------------------------------------- optional inputs


def test_optional_input_defaults_on_real_models(ir):
    def optional(folder, idx):
        g = ir.IRGraph(onnx.load(data_path("node", folder)))
        arr = g.get_const_optional(g.model.graph.node[0], idx)
        return None if arr is None else (arr.dtype, arr.tolist())

    i64, f64 = np.dtype(np.int64), np.dtype(np.float64)
    assert optional("test_slice_default_axes", 3) == (i64, [0, 1, 2])
    assert optional("test_slice_default_axes", 4) == (i64, [1, 1, 1])
    # A given input that is no constant gives the default all the same.
    assert optional("test_slice_default_steps", 3) == (i64, [0, 1, 2])
    assert optional("test_slice_default_axes", 0) is None
    assert optional("test_reduce_mean_default_axes_keepdims_example", 1) == (i64, [0, 1, 2])
    assert optional("test_constant_pad", 2) == (i64, 0)
    assert optional("test_constant_pad", 3) == (i64, [0, 1, 2, 3])
    assert optional("test_split_equal_parts_default_axis", 1) == (f64, [])
    assert optional("test_dropout_default", 1) == (f64, 0.5)
    assert optional("test_dropout_default", 2) == (np.dtype(bool), False)
    assert optional("test_clip_default_inbounds", 1) == (np.dtype(np.float32),
                                                         float(np.finfo(np.float32).min))
    assert optional("test_clip_default_int8_min", 2) == (np.dtype(np.int8), 127)


@pytest.mark.parametrize("opset, noop, expected", [
    (13, None, [0, 1, 2, 3]), (18, None, [0, 1, 2, 3]), (18, 0, [0, 1, 2, 3]), (18, 1, [])])
def test_reduction_axes_default_follows_noop_with_empty_axes(ir, opset, noop, expected):
    attrs = {} if noop is None else {"noop_with_empty_axes": noop}
    node = helper.make_node("ReduceMean", ["x"], ["y"], name="mean", **attrs)
    graph = helper.make_graph([node], "g", [helper.make_tensor_value_info("x", F, [2, 3, 4, 5])],
                              [helper.make_tensor_value_info("y", F, None)])
    g = ir.IRGraph(helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset)]))
    axes = g.get_const_optional(g.model.graph.node[0], 1)
    assert axes.tolist() == expected and axes.dtype == (np.int64 if expected else np.float64)


def test_optional_input_given_as_a_constant_comes_back_a_copy(ir):
    starts = numpy_helper.from_array(np.array([0, 0], np.int64), "starts")
    steps = numpy_helper.from_array(np.array([1, 2], np.int64), "steps")
    node = helper.make_node("Slice", ["x", "starts", "starts", "", "steps"], ["y"], name="s")
    graph = helper.make_graph([node], "g", [helper.make_tensor_value_info("x", F, [4, 4])],
                              [helper.make_tensor_value_info("y", F, None)], [starts, steps])
    g = ir.IRGraph(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]))
    n = g.model.graph.node[0]
    given = g.get_const_optional(n, 4)
    assert given.tolist() == [1, 2] and given.flags.writeable
    assert g.get_const_optional(n, 3).tolist() == [0, 1], "an empty name asks for the default"
    assert g.get_const_optional(n, 4, to_array=False) == steps


CLIP_TYPES = [np.float16, np.float32, np.float64, ml_dtypes.bfloat16, np.int8, np.uint8,
              np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]


@pytest.mark.parametrize("dtype", CLIP_TYPES, ids=lambda d: np.dtype(d).name)
def test_clip_limits_are_the_extremes_of_the_input_type(ir, dtype):
    elem = helper.np_dtype_to_tensor_dtype(np.dtype(dtype))
    node = helper.make_node("Clip", ["x"], ["y"], name="clip")
    graph = helper.make_graph([node], "g", [helper.make_tensor_value_info("x", elem, [2, 3])],
                              [helper.make_tensor_value_info("y", elem, [2, 3])])
    g = ir.IRGraph(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13)]),
                   initializer_dat={})
    info = (ml_dtypes.finfo(dtype) if np.dtype(dtype).kind in "fV" else np.iinfo(dtype))
    low, high = (g.get_const_optional(g.model.graph.node[0], i) for i in (1, 2))
    for arr, want in ((low, info.min), (high, info.max)):
        assert arr.dtype == np.dtype(dtype) and arr.shape == ()
        assert arr.tobytes() == np.array(want, dtype).tobytes()


# ---------------------------------------------------------------- shapes and element types


def _declared(vi):
    shape = vi.type.tensor_type.shape
    return [d.dim_value if d.HasField("dim_value") else d.dim_param if d.HasField("dim_param")
            else None for d in shape.dim]


def test_shapes_and_types_of_real_models_are_the_declared_ones(ir):
    checked = 0
    for path in backend_models() + light_models():
        g = ir.IRGraph(onnx.load(path))
        m = ir.to_onnx(g.model)
        inits = {t.name: t for t in m.graph.initializer}
        declared = {}  # a name declared twice keeps its last declaration
        for vi in (*m.graph.input, *m.graph.output, *m.graph.value_info):
            if vi.type.WhichOneof("value") == "tensor_type" and vi.name not in inits:
                declared[vi.name] = vi
        for name, t in inits.items():
            assert g.get_shape(name) == list(t.dims), (path, name)
            assert g.get_size(name) == int(np.prod(t.dims)), (path, name)
            assert g.get_dtype(name) == helper.tensor_dtype_to_np_dtype(t.data_type), (path, name)
        for name, vi in declared.items():
            shape = _declared(vi)
            fixed = all(isinstance(d, int) for d in shape)
            assert g.get_shape(name) == shape, (path, name)
            assert g.get_size(name) == (int(np.prod(shape)) if fixed else None), (path, name)
            elem = vi.type.tensor_type.elem_type
            if elem:
                assert g.get_dtype(name) == helper.tensor_dtype_to_np_dtype(elem), (path, name)
        checked += len(inits) + len(declared)
    assert checked > 10000
    assert g.get_shape("no such tensor") is None and g.get_size("no such tensor") is None


def shapes_model():
    w = numpy_helper.from_array(np.arange(64 * 27, dtype=np.float32).reshape(64, 3, 3, 3), "w")
    nodes = [helper.make_node("Relu", ["x"], ["a"], name="relu"),
             helper.make_node("Conv", ["a", "w"], ["y"], name="conv", pads=[1, 1, 1, 1])]
    graph = helper.make_graph(nodes, "g", [helper.make_tensor_value_info("x", F, [1, 3, 224, 224])],
                              [helper.make_tensor_value_info("y", F, [1, 64, 224, 224])], [w],
                              value_info=[helper.make_tensor_value_info("a", F, [1, 3, 224, 224])])
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])


def test_set_shape_writes_every_place_that_holds_the_shape(ir, caplog):
    cache = {}
    g = ir.IRGraph(shapes_model(), initializer_dat=cache)
    graph = g.model.graph
    with caplog.at_level(logging.DEBUG, logger="tarq"):
        assert g.set_shape("w", [64, -1]) is True
        g.verify()
        assert caplog.records == []
        assert list(graph.initializer[g.consts["w"]].dims) == [64, 27]
        assert _declared(graph.input[g.inputs_with_const["w"]]) == [64, 27]
        assert cache["w"].shape == (64, 27) and g.get_shape("w") == [64, 27]
        np.testing.assert_array_equal(cache["w"].ravel(), np.arange(64 * 27))

        model = g.model.SerializeToString()
        assert g.set_shape("a", [1, 3, 224, 224]) is True
        assert g.model.SerializeToString() == model and caplog.records == []

        assert g.set_shape("a", [1, 3, 112, 112]) is True
        g.verify()
        assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
            (logging.ERROR, "a: set shape = [1, 3, 112, 112] fail, ori_shape = [1, 3, 224, 224]")]
        assert _declared(graph.value_info[0]) == [1, 3, 112, 112]
        assert g.get_shape("a") == [1, 3, 112, 112]
        caplog.clear()

        assert g.set_shape("x", [1, 3, -1, 112]) and g.set_shape("y", [1, 64, -1])
        g.verify()
        assert (_declared(graph.input[0]), g.get_shape("x")) == ([1, 3, 448, 112],) * 2
        assert (_declared(graph.output[0]), g.get_shape("y")) == ([1, 64, 50176],) * 2
        assert caplog.records == []

        n_infos = len(graph.value_info)
        assert g.set_shape("fresh", [2, "N"], dtype=np.float16) is True
        g.verify()
        assert len(graph.value_info) == n_infos + 1
        assert graph.value_info[-1] == helper.make_tensor_value_info("fresh", T.FLOAT16, [2, "N"])


# ---------------------------------------------------------------- precision


def _retyped(model, elem):
    """The model with every FLOAT tensor, declaration and constant value made `elem`."""
    m = onnx.ModelProto()
    m.CopyFrom(model)
    dtype = helper.tensor_dtype_to_np_dtype(elem)

    def convert(t):
        t.CopyFrom(numpy_helper.from_array(numpy_helper.to_array(t).astype(dtype), t.name))

    for t in m.graph.initializer:
        if t.data_type == F:
            convert(t)
    for vi in (*m.graph.input, *m.graph.output, *m.graph.value_info):
        if vi.type.tensor_type.elem_type == F:
            vi.type.tensor_type.elem_type = elem
    for n in m.graph.node:
        for a in n.attribute:
            if a.type == onnx.AttributeProto.TENSOR and a.t.data_type == F:
                convert(a.t)
    return m


PRECISION_CASES = [
    ("pytorch-converted", "test_Conv2d_groups", T.FLOAT16),
    ("pytorch-converted", "test_ConvTranspose2d", T.FLOAT16),
    ("pytorch-converted", "test_Linear_no_bias", T.DOUBLE),
    ("pytorch-converted", "test_Embedding", T.DOUBLE),  # INT64 indices
    ("node", "test_cast_DOUBLE_to_FLOAT16", None),
    ("node", "test_cast_FLOAT16_to_DOUBLE", None),
]


def _value_tensors(model):
    return {n.name: a.t for n in model.graph.node for a in n.attribute
            if n.op_type in ("Constant", "ConstantOfShape") and a.name == "value"}


@pytest.mark.parametrize("cached", [False, True], ids=["no cache", "cache"])
@pytest.mark.parametrize("kind, folder, elem", PRECISION_CASES, ids=[c[1] for c in PRECISION_CASES])
def test_convert_to_fp32_computes_what_the_original_computed(ir, kind, folder, elem, cached):
    path = data_path(kind, folder)
    m = onnx.load(path)
    feeds = reference_inputs(path, m)
    if elem is not None:
        m = _retyped(m, elem)
    declared = {v.name: v.type.tensor_type.elem_type for v in m.graph.input}
    feeds = {k: v.astype(helper.tensor_dtype_to_np_dtype(declared[k])) for k, v in feeds.items()}
    want = ort_session(m).run(None, feeds)
    cache = {} if cached else None
    g = ir.IRGraph(m, initializer_dat=cache)
    before = ir.to_onnx(g.model)
    old_values = {t.name: np.asarray(cache[t.name]) if cache and t.name in cache
                  else numpy_helper.to_array(t) for t in before.graph.initializer}
    values = _value_tensors(before)
    narrow_nodes = {n.name for n in before.graph.node
                    if (n.op_type == "Cast" and g.get_attr(n, "to") in NARROW)
                    or (n.name in values and values[n.name].data_type in NARROW)}
    g.nodes_chg = {}
    g.convert_to_fp32()
    g.verify()
    assert set(g.nodes_chg) == narrow_nodes
    after = ir.to_onnx(g.model)
    for vi in (*after.graph.input, *after.graph.output, *after.graph.value_info):
        assert vi.type.tensor_type.elem_type not in NARROW, vi.name
    assert all(g.operands[n].dtype not in (np.float16, np.float64) for n in g.operands)
    for t in after.graph.initializer:
        was = old_values[t.name]
        if cache is not None and t.name in cache:
            assert used_fields(t) == [] and not cache[t.name].flags.writeable
        if was.dtype in (np.float16, np.float64):
            assert t.data_type == F
            np.testing.assert_array_equal(g.get_const(t.name), was.astype(np.float32))
        else:
            np.testing.assert_array_equal(g.get_const(t.name), was)
    for name, t in _value_tensors(after).items():
        old = values[name]
        expected = numpy_helper.to_array(old)
        if old.data_type in NARROW:
            assert t.data_type == F
            expected = expected.astype(np.float32)
        np.testing.assert_array_equal(numpy_helper.to_array(t), expected)
    got = ort_session(with_cached_weights(g)).run(None, {
        k: v.astype(np.float32) if v.dtype in (np.float16, np.float64) else v
        for k, v in feeds.items()})
    for w, o in zip(want, got):
        assert o.dtype != np.float16 and o.dtype != np.float64
        fp16 = T.FLOAT16 in (elem, *declared.values()) or w.dtype == np.float16
        tol = 2e-3 if fp16 else 1e-6
        np.testing.assert_allclose(o, w.astype(np.float32), rtol=tol,
                                   atol=tol * max(1.0, float(np.abs(w).max())))


def test_convert_to_fp32_rewrites_casts_and_constants_but_not_integers(ir):
    half = helper.make_tensor("kv", T.FLOAT16, [2], np.array([1.5, 2.25], np.float16))
    fill = numpy_helper.from_array(np.array([0.1]), "")  # DOUBLE
    nodes = [helper.make_node("Constant", [], ["k"], name="k", value=half),
             helper.make_node("Cast", ["x"], ["xh"], name="to_half", to=T.FLOAT16),
             helper.make_node("Add", ["xh", "k"], ["a"], name="add"),
             helper.make_node("Cast", ["a"], ["ai"], name="to_int", to=T.INT64),
             helper.make_node("Add", ["ai", "i"], ["s"], name="add_int"),
             helper.make_node("Cast", ["s"], ["sd"], name="to_double", to=T.DOUBLE),
             helper.make_node("ConstantOfShape", ["shape"], ["z"], name="fill", value=fill),
             helper.make_node("Add", ["sd", "z"], ["y"], name="add_fill")]
    ints = [numpy_helper.from_array(np.array([3, 4], np.int64), "i"),
            numpy_helper.from_array(np.array([2], np.int64), "shape")]
    graph = helper.make_graph(nodes, "g", [helper.make_tensor_value_info("x", F, [2])],
                              [helper.make_tensor_value_info("y", T.DOUBLE, [2])], ints)
    m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)], ir_version=8)
    g = ir.IRGraph(m)
    g.nodes_chg = {}
    g.convert_to_fp32()
    g.verify()
    assert list(g.nodes_chg) == ["k", "to_half", "to_double", "fill"]
    after = ir.to_onnx(g.model)
    assert [g.get_attr(n, "to") for n in after.graph.node if n.op_type == "Cast"] == [F, T.INT64, F]
    assert list(after.graph.initializer) == ints
    assert [g.get_dtype(n) for n in ("xh", "a", "ai", "s", "sd", "y")] == [np.float32] * 2 + [
        np.int64] * 2 + [np.float32] * 2
    values = _value_tensors(after)
    assert values["k"] == helper.make_tensor("kv", F, [2], [1.5, 2.25])
    assert values["fill"] == helper.make_tensor("", F, [1], [np.float32(0.1)])
    x = np.array([1.25, 2.5], np.float32)
    (y,) = ort_session(after).run(None, {"x": x})
    assert y.dtype == np.float32
    np.testing.assert_array_equal(y, (np.trunc(x + [1.5, 2.25]) + [3, 4]).astype(np.float32)
                                  + np.float32(0.1))


# ---------------------------------------------------------------- constant nodes


def _runnable_inputs(path, model):
    try:
        feeds = reference_inputs(path, model)
        return feeds, ort_session(model).run(None, feeds)
    except Exception:  # sequence inputs, or onnxruntime has no kernel for it
        return None, None


def test_constant_nodes_become_initializers_in_real_models(ir):
    runs = 0
    paths = [p for p in backend_models()
             if any(n.op_type == "Constant" for n in onnx.load(p).graph.node)]
    assert len(paths) > 100
    for path in paths:
        m = onnx.load(path)
        g = ir.IRGraph(m)
        consts = [n for n in ir.to_onnx(g.model).graph.node if n.op_type == "Constant"]
        tensor_valued = all(n.attribute[0].type == onnx.AttributeProto.TENSOR for n in consts)
        for n in consts:
            if n.attribute[0].type == onnx.AttributeProto.TENSOR:
                got, want = g.get_constant(n.output[0]), numpy_helper.to_array(n.attribute[0].t)
                assert got.dtype == want.dtype and got.shape == want.shape, path
                np.testing.assert_array_equal(got, want)
            else:
                with pytest.raises(ValueError):
                    g.get_constant(n.output[0])
        others = [v.name for v in g.model.graph.input] + [
            o for n in g.model.graph.node if n.op_type != "Constant" for o in n.output]
        assert all(g.get_constant(name) is None for name in others), path
        if not tensor_valued:
            model = g.model.SerializeToString()
            with pytest.raises(ValueError):
                g.constant_to_initializer()
            assert g.model.SerializeToString() == model
            g.verify()
            continue
        outputs = {o.name for o in g.model.graph.output}
        moved = [n.output[0] for n in consts if n.output[0] not in outputs]
        n_inits, n_inputs = len(g.model.graph.initializer), len(g.model.graph.input)
        g.constant_to_initializer()
        g.verify()
        after = ir.to_onnx(g.model)
        assert [n.output[0] for n in after.graph.node if n.op_type == "Constant"] == [
            n.output[0] for n in consts if n.output[0] in outputs], path
        assert [t.name for t in after.graph.initializer[n_inits:]] == moved, path
        assert [v.name for v in after.graph.input[n_inputs:]] == moved, path
        onnx.checker.check_model(after, full_check=True)
        feeds, want = _runnable_inputs(path, m)
        if feeds is not None:
            for w, o in zip(want, ort_session(after).run(None, feeds)):
                np.testing.assert_array_equal(o, w)
            runs += 1
    assert runs > 80


def test_quantization_annotations(ir):
    node = helper.make_node("Relu", ["x"], ["y"], name="relu")
    graph = helper.make_graph([node], "g", [helper.make_tensor_value_info("x", F, [2])],
                              [helper.make_tensor_value_info("y", F, [2])])
    for pairs in ([("scale", "y_scale"), ("zero_point", "y_zp"), ("scale", "later")],
                  [("bits", "8")]):
        ann = graph.quantization_annotation.add(tensor_name="y")
        for key, value in pairs:
            ann.quant_parameter_tensor_names.add(key=key, value=value)
    g = ir.IRGraph(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]))
    assert [g.get_quant_ann("y", k) for k in ("scale", "zero_point", "bits", "other")] == [
        "y_scale", "y_zp", "8", ""]
    assert g.get_quant_ann("x", "scale") == ""


def test_set_const_refuses_names_the_model_already_defines(ir):
    # A graph input or a node's output cannot also be a constant: the model
    # would define the name twice. Nothing changes.
    g = ir.IRGraph(small_model())
    before = g.model.SerializeToString()
    for name in ("x", "y"):
        with pytest.raises(ValueError, match="not a constant"):
            g.set_const(name, np.zeros(3, np.float32))
    assert g.model.SerializeToString() == before
    # The graph's own model passed explicitly is written as the graph's.
    g.set_const("extra", np.ones(2, np.float32), model=g.model)
    assert "extra" in g.consts
    g.verify()
    # Negative input positions count from the end, as Python lists do.
    conv = g.node[0]
    np.testing.assert_array_equal(g.get_const_optional(conv, -1), g.get_const("b"))
    with pytest.raises(IndexError):
        g.get_const_optional(conv, -4)


def test_large_constants_read_by_reference_are_the_models_own_bytes(ir):
    """A constant over 1 MiB read with ref=True views the tensor's bytes (no
    copy, read-only); every writer of the tensor, through views or through
    the graph, leaves those bytes to the arrays that view them."""
    from conftest import reuse_freed_memory
    values = np.arange(600 * 600, dtype=np.float64).reshape(600, 600)

    def graph():
        w = numpy_helper.from_array(values, "w")
        model = helper.make_model(helper.make_graph(
            [helper.make_node("MatMul", ["x", "w"], ["y"], name="mm")], "g",
            [helper.make_tensor_value_info("x", T.DOUBLE, [1, 600])],
            [helper.make_tensor_value_info("y", T.DOUBLE, [1, 600])], [w]),
            opset_imports=[helper.make_opsetid("", 17)])
        return ir.IRGraph(model)

    other = numpy_helper.from_array(np.zeros((600, 600)), "w")
    writers = {
        "field": lambda g: setattr(g.model.graph.initializer[0], "raw_data", other.raw_data),
        "ClearField": lambda g: g.model.graph.initializer[0].ClearField("raw_data"),
        "Clear": lambda g: g.model.graph.initializer[0].Clear(),
        "CopyFrom": lambda g: g.model.graph.initializer[0].CopyFrom(other),
        "ParseFromString": lambda g: g.model.graph.initializer[0].ParseFromString(
            other.SerializeToString()),
        "MergeFrom": lambda g: g.model.graph.initializer[0].MergeFrom(other),
        "item assignment": lambda g: g.model.graph.initializer.__setitem__(0, other),
        "del": lambda g: g.model.graph.initializer.__delitem__(0),
        "set_const": lambda g: g.set_const("w", np.ones((600, 600))),
        "set_array": lambda g: g.set_array(g.get_const("w", to_array=False), np.ones((600, 600))),
        "convert_to_fp32": lambda g: g.convert_to_fp32(),
        "weight cache": lambda g: (setattr(g, "initializer_dat", {}), g.rebuild()),
        "model replaced": lambda g: setattr(g, "model", onnx.ModelProto()),
    }
    for label, write in writers.items():
        g = graph()
        a, b = g.get_const("w"), g.get_const("w")
        assert np.shares_memory(a, b) and not a.flags.writeable, label
        assert g.get_const("w", ref=False).flags.writeable
        write(g)
        del g
        reuse_freed_memory()
        np.testing.assert_array_equal(a, values, err_msg=label)
