"""The ONNX helpers of tarq.api.ir_graph.companions against the `onnx`
package's own helpers, which serve as the oracle."""

import os
import pathlib

import ml_dtypes
import numpy as np
import onnx
import pytest
from onnx import TensorProto, external_data_helper, helper, numpy_helper

from tarq.api.ir_graph import companions as c

TEST_DATA = pathlib.Path("/usr/share/libonnx-testdata/data")

# Every element type the oracle knows, with its numpy dtype.
ELEM_TYPES = {
    code: helper.tensor_dtype_to_np_dtype(code)
    for code in helper.get_all_tensor_dtypes()
    if code != TensorProto.UNDEFINED
}
SHAPES = [(), (0,), (5,), (3, 1, 3), (2, 0, 3), (4, 4)]


def ser(msg):
    return msg.SerializeToString()


def assert_same_array(ours, ref):
    assert ours.dtype == ref.dtype
    assert ours.shape == ref.shape
    if ref.dtype == object:
        assert ours.tolist() == ref.tolist()
    else:
        # Byte equality: values, NaN payloads and signed zeros alike.
        assert ours.tobytes() == ref.tobytes()


def tensor_files():
    """(path, TensorProto) of every tensor file of the backend test data whose
    model declares a tensor there (not a sequence or an optional)."""
    for model_path in sorted(TEST_DATA.glob("*/*/model.onnx")):
        model = onnx.load(str(model_path), load_external_data=False)
        inits = {t.name for t in model.graph.initializer}
        inputs = [v for v in model.graph.input if v.name not in inits]
        outputs = list(model.graph.output)
        for pb in sorted(model_path.parent.glob("test_data_set_*/*.pb")):
            kind, _, index = pb.stem.partition("_")
            infos = inputs if kind == "input" else outputs
            if int(index) >= len(infos) or infos[int(index)].type.WhichOneof("value") != "tensor_type":
                continue
            yield pb, TensorProto.FromString(pb.read_bytes())


def sample(code, shape, rng):
    """Random values of an element type, covering its whole bit range."""
    np_dtype = ELEM_TYPES[code]
    n = int(np.prod(shape))
    if code == TensorProto.STRING:
        words = ["", "a", "bé", "日本", "x" * 40, "\u2603"]
        return np.array([words[i % len(words)] for i in rng.integers(0, 99, n)], dtype=object).reshape(shape)
    if code == TensorProto.BOOL:
        return rng.integers(0, 2, n).astype(bool).reshape(shape)
    if np_dtype.kind in "iu":
        info = np.iinfo(np_dtype)
        return rng.integers(info.min, info.max, n, dtype=np_dtype, endpoint=True).reshape(shape)
    if np_dtype.kind == "f" and np_dtype.itemsize > 1:
        vals = rng.standard_normal(n) * 10.0 ** rng.integers(-8, 8, n)
        vals[: min(n, 4)] = [np.nan, np.inf, -0.0, 1e30][: min(n, 4)]
        with np.errstate(over="ignore"):
            return vals.astype(np_dtype).reshape(shape)
    if np_dtype.kind == "c":
        return (rng.standard_normal(n) + 1j * rng.standard_normal(n)).astype(np_dtype).reshape(shape)
    # ml_dtypes types: random bit patterns in the bits the type uses.
    bits = {1: 0xFF, 2: 0xFFFF}[np_dtype.itemsize]
    if code in (TensorProto.INT4, TensorProto.UINT4, TensorProto.FLOAT4E2M1):
        bits = 0x0F
    elif code in (TensorProto.INT2, TensorProto.UINT2):
        bits = 0x03
    elif code in (TensorProto.FLOAT6E2M3, TensorProto.FLOAT6E3M2):
        bits = 0x3F
    storage = np.uint8 if np_dtype.itemsize == 1 else np.uint16
    return (rng.integers(0, bits, n, endpoint=True).astype(storage)).view(np_dtype).reshape(shape)


@pytest.mark.skipif(not TEST_DATA.exists(), reason="no backend test data")
def test_backend_tensor_files_match_numpy_helper():
    checked, types = 0, set()
    for path, tensor in tensor_files():
        ref = numpy_helper.to_array(tensor)
        ours = c.to_array(tensor)
        assert_same_array(ours, ref), path
        assert ours.flags.writeable
        for name in (None, tensor.name):
            assert ser(c.from_array(ref, name)) == ser(numpy_helper.from_array(ref, name)), path
        # A view works like an onnx message.
        assert_same_array(c.to_array(c.from_array(ref)), ref)
        checked += 1
        types.add(tensor.data_type)
    assert checked > 3000
    assert len(types) >= 13


def test_every_element_type_round_trips_like_numpy_helper():
    rng = np.random.default_rng(7)
    for code, np_dtype in ELEM_TYPES.items():
        for shape in SHAPES:
            arr = sample(code, shape, rng)
            ctx = f"{TensorProto.DataType.Name(code)} {shape}"
            ref_tensor = numpy_helper.from_array(arr, "t")
            ours_tensor = c.from_array(arr, name="t")
            assert ser(ours_tensor) == ser(ref_tensor), ctx
            back = c.to_array(ours_tensor)
            assert_same_array(back, numpy_helper.to_array(ref_tensor))
            assert_same_array(back, arr)
            dims = list(shape)
            # The typed fields.
            # (The oracle's FLOAT8E8M0 conversion fails on 0-d arrays; the
            # values are read flat anyway.)
            flat = arr.reshape(-1)
            typed_ref = helper.make_tensor("t", code, dims, flat)
            typed = c.make_tensor("t", code, dims, flat)
            assert ser(typed) == ser(typed_ref), ctx
            assert_same_array(c.to_array(typed), numpy_helper.to_array(typed_ref))
            if code != TensorProto.STRING:
                raw_ref = helper.make_tensor("t", code, dims, arr, raw=True)
                assert ser(c.make_tensor("t", code, dims, arr, raw=True)) == ser(raw_ref), ctx
                assert ser(c.make_tensor("t", code, dims, raw_ref.raw_data, raw=True)) == ser(raw_ref), ctx
            # Arrays that are not contiguous, or read-only, convert the same.
            if arr.ndim == 2 and arr.size:
                for odd in (arr[:, ::2], np.asfortranarray(arr), arr.T):
                    assert ser(c.from_array(odd)) == ser(numpy_helper.from_array(odd)), ctx
                ro = arr.copy()
                ro.flags.writeable = False
                assert ser(c.from_array(ro)) == ser(numpy_helper.from_array(ro)), ctx


def test_make_tensor_converts_python_values_like_the_helper():
    rng = np.random.default_rng(11)
    floats = list(rng.standard_normal(200) * 10.0 ** rng.integers(-10, 10, 200))
    floats += [0.0, -0.0, np.nan, np.inf, -np.inf, 1e300, -1e300, 5e-324, 448.0, 464.0, 480.0,
               1 + 2**-11, 1 + 2**-11 + 2**-40, 1 + 2**-8 + 2**-30, 65520.0, 57344.0, 61440.0]
    float_codes = [code for code, dt in ELEM_TYPES.items()
                   if dt.kind == "f" or (dt.kind == "V" and "int" not in dt.name)]
    for code in float_codes:
        ctx = TensorProto.DataType.Name(code)
        with np.errstate(all="ignore"):
            ref = helper.make_tensor("f", code, [len(floats)], floats)
        assert ser(c.make_tensor("f", code, [len(floats)], floats)) == ser(ref), ctx
    ints = [0, 1, -1, 7, -8, 100, -100, 2**31 - 1, -(2**31)]
    for code in (TensorProto.INT4, TensorProto.UINT4, TensorProto.INT2, TensorProto.UINT2,
                 TensorProto.FLOAT, TensorProto.FLOAT16, TensorProto.BFLOAT16, TensorProto.FLOAT8E4M3FN,
                 TensorProto.FLOAT8E8M0, TensorProto.INT64, TensorProto.DOUBLE, TensorProto.BOOL):
        vals = ints if ELEM_TYPES[code].kind not in "iu" or code == TensorProto.INT64 else [v for v in ints if -8 <= v <= 7]
        if code in (TensorProto.UINT4, TensorProto.UINT2):
            vals = [0, 1, 3]
        if code in (TensorProto.INT2,):
            vals = [0, 1, -1, -2]
        with np.errstate(all="ignore"):
            ref = helper.make_tensor("i", code, [len(vals)], vals)
        assert ser(c.make_tensor("i", code, [len(vals)], vals)) == ser(ref), TensorProto.DataType.Name(code)
    # Values of one type stored as another, nested lists, strings as str or bytes.
    assert ser(c.make_tensor("n", TensorProto.INT32, [2, 2], [[1.7, -2.5], [3, 4]])) == ser(
        helper.make_tensor("n", TensorProto.INT32, [2, 2], [[1.7, -2.5], [3, 4]]))
    for strings in (["a", "é", ""], [b"a", b"\xff", b""], np.array(["x", "yz", "é"])):
        assert ser(c.make_tensor("s", TensorProto.STRING, [3], strings)) == ser(
            helper.make_tensor("s", TensorProto.STRING, [3], strings))
    assert ser(c.make_tensor("s", TensorProto.STRING, [1], "abc")) == ser(
        helper.make_tensor("s", TensorProto.STRING, [1], "abc"))


def test_malformed_tensors_are_refused_like_the_helper():
    f32 = TensorProto.FLOAT
    for args in [("x", f32, [2, 2], [1.0, 2.0]),          # too few values
                 ("x", f32, [3], b"\0" * 8, True),         # raw size
                 ("x", TensorProto.INT4, [5], b"\0" * 2, True),
                 ("x", f32, [-2], [1.0, 2.0])]:
        with pytest.raises(ValueError):
            helper.make_tensor(*args)
        with pytest.raises(ValueError):
            c.make_tensor(*args)
    for args in [("x", TensorProto.STRING, [1], b"a", True), ("x", f32, [1], [1.0], True)]:
        with pytest.raises(TypeError):
            helper.make_tensor(*args)
        with pytest.raises(TypeError):
            c.make_tensor(*args)
    with pytest.raises(ValueError):
        c.make_tensor("x", 99, [1], [1.0])

    good = numpy_helper.from_array(np.arange(6, dtype=np.float32).reshape(2, 3))
    broken = []
    t = TensorProto(); t.CopyFrom(good); t.raw_data = t.raw_data[:-1]; broken.append(t)
    t = TensorProto(); t.CopyFrom(good); t.dims[0] = -2; t.dims[1] = -3; broken.append(t)
    t = TensorProto(); t.CopyFrom(good); t.dims[0] = 2**40; t.dims[1] = 2**40; broken.append(t)
    t = TensorProto(); t.CopyFrom(good); t.data_type = 0; broken.append(t)
    t = TensorProto(); t.CopyFrom(good); t.data_type = 123; broken.append(t)
    t = TensorProto(); t.CopyFrom(good); t.segment.begin = 0; broken.append(t)
    t = TensorProto(); t.CopyFrom(good); t.ClearField("raw_data"); t.float_data.extend([1.0]); broken.append(t)
    t = TensorProto(data_type=TensorProto.STRING, dims=[2], string_data=[b"a"]); broken.append(t)
    t = TensorProto(data_type=TensorProto.STRING, dims=[1], string_data=[b"\xff"]); broken.append(t)
    t = TensorProto(data_type=TensorProto.INT4, dims=[5], raw_data=b"ab"); broken.append(t)
    for t in broken:
        with pytest.raises(Exception):  # noqa: B017 -- the oracle's kinds vary
            numpy_helper.to_array(t)
        with pytest.raises(ValueError):
            c.to_array(t)
        view = c.from_array(np.zeros(1))
        view.ParseFromString(ser(t))
        with pytest.raises(ValueError):
            c.to_array(view)


def test_packed_data_may_run_past_the_last_element():
    for code, dims, raw in [(TensorProto.INT4, [3], b"\x12\x34\x56"), (TensorProto.UINT2, [5], b"\xff\x0f\xaa"),
                            (TensorProto.FLOAT6E3M2, [2], b"\x01\x02\x03\x04"),
                            (TensorProto.FLOAT4E2M1, [1, 3], b"\x21\x43\x65")]:
        t = TensorProto(data_type=code, dims=dims, raw_data=raw)
        assert_same_array(c.to_array(t), numpy_helper.to_array(t))
        if code != TensorProto.FLOAT6E3M2:  # stored one per entry outside raw_data
            t = TensorProto(data_type=code, dims=dims, int32_data=list(raw))
            assert_same_array(c.to_array(t), numpy_helper.to_array(t))


def test_attributes_match_make_attribute():
    tensor = numpy_helper.from_array(np.array([1, 2], dtype=np.int64), "t")
    graph = helper.make_graph([helper.make_node("Relu", ["x"], ["y"])], "g", [], [])
    type_proto = helper.make_tensor_type_proto(TensorProto.FLOAT, [1, "N"])
    sparse = helper.make_sparse_tensor(tensor, numpy_helper.from_array(np.array([0, 1])), [4])
    cases = [
        (3, {}), (True, {}), (np.int64(-5), {}), (2.5, {}), (np.float32(0.1), {}), (1e300, {}),
        ("héllo", {}), (b"\x00\xff", {}), (tensor, {}), (graph, {}), (type_proto, {}), (sparse, {}),
        ([1, 2, 3], {}), ([1, 2.5], {}), ((0.5, 1.5), {}), (["a", b"b"], {}), ([tensor, tensor], {}),
        ([graph], {}), ([type_proto], {}), ([sparse], {}), (np.array([1, 2]), {}),
        (np.array([0.5, 1.0], dtype=np.float32), {}), (range(4), {}),
        ([], {"attr_type": onnx.AttributeProto.INTS}), ([], {"attr_type": onnx.AttributeProto.STRINGS}),
        ([1, 2], {"attr_type": onnx.AttributeProto.FLOATS}), (7, {"doc_string": "seven"}),
        (7, {"doc_string": ""}),
    ]
    for value, kwargs in cases:
        ref = helper.make_attribute("a", value, **kwargs)
        ours = c.make_attribute("a", value, **kwargs)
        assert ser(ours) == ser(ref), (value, kwargs)
        ref_value, our_value = helper.get_attribute_value(ref), c.get_attribute_value(ours)
        if isinstance(ref_value, list) and ref_value and hasattr(ref_value[0], "SerializeToString"):
            assert [ser(v) for v in our_value] == [ser(v) for v in ref_value]
        elif hasattr(ref_value, "SerializeToString"):
            assert ser(our_value) == ser(ref_value)
        else:
            assert our_value == ref_value and type(our_value) is type(ref_value), value
            assert c.get_attribute_value(ref) == ref_value  # an onnx message argument

    for value, kwargs in [
        (None, {}), ([], {}), ([1, "a"], {}), ([[1], [2]], {}), (np.zeros((2, 2)), {}),
        (1, {"attr_type": onnx.AttributeProto.FLOAT}), ([1.5], {"attr_type": onnx.AttributeProto.INTS}),
        ("s", {"attr_type": onnx.AttributeProto.INT}), (helper.make_node("Relu", [], []), {}),
        (object(), {}),
    ]:
        with pytest.raises((TypeError, ValueError)):
            helper.make_attribute("a", value, **kwargs)
        with pytest.raises((TypeError, ValueError)):
            c.make_attribute("a", value, **kwargs)

    assert c.get_attribute_value(onnx.AttributeProto(name="u")) is None
    with pytest.raises(ValueError):
        c.get_attribute_value(helper.make_attribute_ref("alpha", onnx.AttributeProto.FLOAT))


def test_attribute_value_views_stay_valid():
    attr = c.make_attribute("ts", [numpy_helper.from_array(np.arange(3), "w")])
    tensors = c.get_attribute_value(attr)
    del attr
    np.testing.assert_array_equal(c.to_array(tensors[0]), np.arange(3))


def test_value_info_and_model_match_helper():
    for args, kwargs in [
        (("x", TensorProto.FLOAT, [1, "N", None]), {}),
        (("x", TensorProto.FLOAT, []), {}),
        (("x", TensorProto.FLOAT, None), {}),
        (("x", 0, None), {"doc_string": "d"}),
        (("x", TensorProto.INT64, [2, 3]), {"shape_denotation": ["BATCH", "CHANNEL"]}),
        (("x", TensorProto.INT64, [2, 3]), {"shape_denotation": []}),
        (("x", TensorProto.BOOL, (4, 0)), {}),
    ]:
        assert ser(c.make_tensor_value_info(*args, **kwargs)) == ser(
            helper.make_tensor_value_info(*args, **kwargs)), (args, kwargs)
    for args, kwargs in [(("x", 1, [1, 2]), {"shape_denotation": ["A"]}), (("x", 1, [1.5]), {}),
                         (("x", 1, [np.int64(4)]), {})]:
        with pytest.raises(ValueError):
            helper.make_tensor_value_info(*args, **kwargs)
        with pytest.raises(ValueError):
            c.make_tensor_value_info(*args, **kwargs)

    graph = helper.make_graph(
        [helper.make_node("Relu", ["x"], ["y"])], "g",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [1])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [1])])
    function = helper.make_function("custom", "F", ["a"], ["b"], [helper.make_node("Relu", ["a"], ["b"])],
                                    [helper.make_opsetid("", 18)])
    for kwargs in [
        {},
        {"ir_version": 8, "producer_name": "p", "producer_version": "1", "domain": "d",
         "model_version": 3, "doc_string": "doc"},
        {"opset_imports": [helper.make_opsetid("", 17), helper.make_opsetid("custom", 1)]},
        {"opset_imports": [onnx.OperatorSetIdProto(version=5)], "functions": [function]},
        {"opset_imports": []},
    ]:
        ours = c.make_model(graph, **kwargs)
        assert ser(ours) == ser(helper.make_model(graph, **kwargs)), kwargs
    onnx.checker.check_model(onnx.ModelProto.FromString(ser(c.make_model(graph))))
    with pytest.raises(AttributeError):
        c.make_model(graph, no_such_field=1)
    with pytest.raises(TypeError):
        c.make_model(numpy_helper.from_array(np.zeros(1)))


# ---- external data ----

@pytest.fixture
def data_dir(tmp_path):
    base = tmp_path / "model"
    (base / "sub").mkdir(parents=True)
    (tmp_path / "outside").mkdir()
    (base / "weights.bin").write_bytes(bytes(range(64)))
    (tmp_path / "outside" / "secret.bin").write_bytes(b"S" * 64)
    os.symlink("../outside/secret.bin", base / "link_out.bin")
    os.symlink("weights.bin", base / "link_in.bin")
    os.symlink("../outside", base / "dir_out")
    os.mkfifo(base / "fifo.bin")
    return base


def external_tensor(location, offset=None, length=None, dims=(4,), data_type=TensorProto.UINT8):
    t = TensorProto(name="w", data_type=data_type, dims=list(dims),
                    data_location=TensorProto.EXTERNAL)
    for key, value in (("location", location), ("offset", offset), ("length", length)):
        if value is not None:
            entry = t.external_data.add()
            entry.key, entry.value = key, str(value)
    return t


def test_external_data_reads_like_the_helper(data_dir):
    cases = [external_tensor("weights.bin", 8, 4), external_tensor("weights.bin", 60),
             external_tensor("sub/../weights.bin", None, 4), external_tensor("./weights.bin", 0, 16, (2, 2),
                                                                            TensorProto.FLOAT)]
    for t in cases:
        assert c.uses_external_data(t)
        assert_same_array(c.to_array(t, str(data_dir)), numpy_helper.to_array(t, str(data_dir)))
        ours, ref = TensorProto(), TensorProto()
        ours.CopyFrom(t), ref.CopyFrom(t)
        c.load_external_data_for_tensor(ours, str(data_dir))  # an onnx message is updated in place
        external_data_helper.load_external_data_for_tensor(ref, str(data_dir))
        assert ser(ours) == ser(ref)
        assert not c.uses_external_data(ours)

    # Through a view, the removed entries stay readable by views held on them.
    model = c.make_model(helper.make_graph([], "g", [], [], [external_tensor("weights.bin", 0, 4)]))
    init = model.graph.initializer[0]
    entry = init.external_data[0]
    c.load_external_data_for_tensor(init, str(data_dir))
    assert model.graph.initializer[0].raw_data == bytes(range(4))
    assert len(init.external_data) == 0
    assert entry.key == "location" and entry.value == "weights.bin"


def test_external_data_never_leaves_the_model_directory(data_dir):
    refused = [
        external_tensor(str(data_dir / "weights.bin")),  # absolute
        external_tensor("../outside/secret.bin"),
        external_tensor("sub/../../outside/secret.bin"),
        external_tensor("link_out.bin"),
        external_tensor("link_in.bin"),
        external_tensor("dir_out/secret.bin"),
        external_tensor("sub"),
        external_tensor("."),
        external_tensor("fifo.bin"),  # must not block either
        external_tensor("missing.bin"),
        external_tensor("weights.bin", 65),
        external_tensor("weights.bin", 60, 8),
        external_tensor("weights.bin", 0, 65),
    ]
    for t in refused:
        before = ser(t)
        with pytest.raises(OSError):
            c.load_external_data_for_tensor(t, str(data_dir))
        assert ser(t) == before
        with pytest.raises(OSError):
            c.to_array(t, str(data_dir))
        view = c.from_array(np.zeros(1))
        view.ParseFromString(before)
        with pytest.raises(OSError):
            c.load_external_data_for_tensor(view, str(data_dir))
        assert ser(view) == before
    # The oracle refuses them too (the FIFO is left out: it would block there).
    for t in refused[:8] + refused[9:]:
        with pytest.raises(Exception):
            external_data_helper.load_external_data_for_tensor(t, str(data_dir))
    with pytest.raises(ValueError):
        c.load_external_data_for_tensor(external_tensor("weights.bin", -1), str(data_dir))
    # The right file, a wrong size for the dims.
    with pytest.raises(ValueError):
        c.to_array(external_tensor("weights.bin", 0, 3), str(data_dir))
