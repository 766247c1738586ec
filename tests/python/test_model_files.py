"""Whole models in and out: make_model, save_onnx (with and without a weight
cache, atomic, with external data), load_model, deepcopy."""
import copy
import logging
import os
import subprocess
import sys
import textwrap

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

from conftest import EXAMPLE, backend_models
from test_packaged_models import MODELS as PACKAGED

F = TensorProto.FLOAT
DATA_FIELDS = ("float_data", "int32_data", "string_data", "int64_data", "raw_data", "double_data",
               "uint64_data", "external_data", "data_location")
# A model with real weights kept as initializers (1024 bytes and more).
SILERO = next(p for p in PACKAGED if p.endswith("silero_vad_op18_ifless.onnx"))


def with_cached_weights(ir, g):
    """What save_onnx writes for a graph with a weight cache: the model with
    each placeholder holding its cached array as from_array encodes it."""
    m = ir.to_onnx(g.model)
    for t in m.graph.initializer:
        if t.name in g.initializer_dat:
            encoded = numpy_helper.from_array(np.asarray(g.initializer_dat[t.name]), t.name)
            for f in DATA_FIELDS:
                t.ClearField(f)
            if encoded.HasField("raw_data"):
                t.raw_data = encoded.raw_data
            else:
                t.string_data.extend(encoded.string_data)
    return m


def values(t):
    """A tensor's values, for a bit-exact comparison."""
    a = numpy_helper.to_array(t)
    return a.tolist() if a.dtype == object else (a.dtype.str, a.shape, a.tobytes())


def assert_same_weights(saved, original):
    want = {}
    for t in original.graph.initializer:
        want.setdefault(t.name, values(t))
    for t in saved.graph.initializer:
        if t.name in want:
            assert values(t) == want[t.name], f"initializer {t.name!r} changed"


@pytest.mark.parametrize("path", backend_models(),
                         ids=lambda p: "/".join(p.split(os.sep)[-3:-1]))
def test_backend_model_round_trip(ir, path, tmp_path):
    original = onnx.load(path)
    out = str(tmp_path / "saved.onnx")
    # Without a cache the model is written as it is, byte for byte what its
    # serialization is. The checker may refuse the original (and so the graph).
    try:
        g = ir.IRGraph(ir.load_model(path), ori_model_path=path)
    except ir.ValidationError:
        g = None
    if g is not None:
        g.save_onnx(out)
        with open(out, "rb") as f:
            assert f.read() == g.model.SerializeToString()
        assert_same_weights(onnx.load(out), original)
    # With a cache the weights go back into their placeholders on the way out;
    # the graph's own model keeps the placeholders.
    cache = {}
    g = ir.IRGraph(ir.load_model(path), initializer_dat=cache, ori_model_path=path)
    before = g.model.SerializeToString()
    g.save_onnx(out)
    assert g.model.SerializeToString() == before
    saved = onnx.load(out)
    expected = with_cached_weights(ir, g)
    assert saved == expected
    with open(out, "rb") as f:
        assert f.read() == expected.SerializeToString(), "fields in protobuf's own order"
    assert_same_weights(saved, original)


def test_cached_weights_of_every_kind_are_written_bit_exact(ir, tmp_path):
    # The backend models hold few kinds of weights in the cache; here the
    # cache holds one of each kind it can hold (sub-byte, 16-bit floats,
    # strings, NaN payloads, a scalar) for placeholders, and one large
    # weight moves in by itself.
    import ml_dtypes

    rng = np.random.default_rng(1)
    arrays = {
        "f32": rng.standard_normal(300000).astype(np.float32),
        "nan": np.array([0x7FC00001, 0xFFA00000, 0x7F800001], np.uint32).view(np.float32),
        "f16": rng.standard_normal(7).astype(np.float16),
        "bf16": rng.standard_normal(5).astype(ml_dtypes.bfloat16),
        "i4": np.array([-8, 7, 3, -1, 0], ml_dtypes.int4),
        "u8": np.arange(9, dtype=np.uint8),
        "b": np.array([True, False, True]),
        "s": np.array(["a", "bc", ""], dtype=object),
        "scalar": np.array(2.5, np.float64),
    }
    inits, nodes, outs = [], [], []
    for i, (name, a) in enumerate(arrays.items()):
        full = numpy_helper.from_array(a, name)
        inits.append(full if name == "f32" else
                     TensorProto(name=name, data_type=full.data_type, dims=full.dims))
        nodes.append(helper.make_node("Identity", [name], [f"o{i}"], name=f"id{i}"))
        outs.append(helper.make_tensor_value_info(f"o{i}", full.data_type, list(full.dims)))
    m = helper.make_model(helper.make_graph(nodes, "kinds", [], outs, inits),
                          opset_imports=[helper.make_opsetid("", 21)])
    cache = {k: v for k, v in arrays.items() if k != "f32"}
    g = ir.IRGraph(m, initializer_dat=cache)
    assert set(cache) == set(arrays), "the large weight moved in, the others were given"
    out = str(tmp_path / "kinds.onnx")
    g.save_onnx(out)
    saved = {t.name: t for t in onnx.load(out).graph.initializer}
    for name, a in arrays.items():
        want = numpy_helper.to_array(numpy_helper.from_array(a, name))
        got = numpy_helper.to_array(saved[name])
        assert (got.dtype, got.shape) == (want.dtype, want.shape), name
        if a.dtype == object:
            assert got.tolist() == want.tolist()
        else:
            assert got.tobytes() == want.tobytes(), name
    assert saved["f32"].raw_data == arrays["f32"].tobytes()


def test_make_model_wraps_a_graph(ir):
    original = onnx.load(EXAMPLE)
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    m = g.make_model(original.graph)
    assert (m.ir_version, m.producer_name, len(m.opset_import)) == (8, "zq", 1)
    assert m.opset_import[0].version == 12 and not m.opset_import[0].HasField("domain")
    reference = helper.make_model(original.graph, producer_name="zq", ir_version=8,
                                  opset_imports=[onnx.OperatorSetIdProto(version=12)])
    assert ir.to_onnx(m) == onnx.shape_inference.infer_shapes(reference)
    assert g.make_model(g.graph, 13).opset_import[0].version == 13
    assert g.make_model(original.graph, opset=17, check=False).graph.node == original.graph.node
    # The check is the checker's: a node without its operator's required
    # attribute fails it.
    broken = copy.deepcopy(original.graph)
    del broken.node[0].input[1:]
    with pytest.raises(ir.ValidationError):
        g.make_model(broken, 17)


def test_the_weight_limit_decides_what_is_saved(ir, tmp_path, caplog):
    c = ir.companions
    path = backend_models()[0]
    for candidate in backend_models():
        if "test_operator_conv" in candidate or "test_Conv2d" in candidate:
            path = candidate
            break
    cache = {}
    g = ir.IRGraph(ir.load_model(path), initializer_dat=cache)
    assert cache, f"{path}: a model whose weights move into the cache"
    limit = c.get_max_onnx_weight()
    out = str(tmp_path / "m.onnx")
    try:
        # At the limit the weights are too large (the test is "less than").
        c.set_max_onnx_weight(g.n_bytes)
        with caplog.at_level(logging.WARNING, logger="tarq"):
            g.save_onnx(out)
        mib = int(g.n_bytes / 1024 / 1024)
        assert [r.getMessage() for r in caplog.records] == [
            f"The weight ({mib} MiB) of the model is too large, only the basic graph is saved "
            f"to '{out}'!"]
        assert onnx.load(out) == ir.to_onnx(g.model), "the placeholders as they are"
        caplog.clear()
        with caplog.at_level(logging.WARNING, logger="tarq"):
            g.save_onnx(out, True)  # save_large: the weights regardless
            c.set_max_onnx_weight(g.n_bytes + 1)
            g.save_onnx(str(tmp_path / "m2.onnx"))
        assert caplog.records == []
        assert onnx.load(out) == with_cached_weights(ir, g)
        assert onnx.load(str(tmp_path / "m2.onnx")) == with_cached_weights(ir, g)
        # 3 GiB of weights report as 3072 MiB.
        g.n_bytes = 3 * 1024 ** 3
        c.set_max_onnx_weight(1)
        with caplog.at_level(logging.WARNING, logger="tarq"):
            g.save_onnx(out)
        assert "(3072 MiB)" in caplog.records[-1].getMessage()
    finally:
        c.set_max_onnx_weight(limit)


def test_external_data_round_trip(ir, tmp_path):
    original = onnx.load(SILERO)
    folder = tmp_path / "out"
    folder.mkdir()
    path = str(folder / "vad.onnx")
    g = ir.IRGraph(ir.load_model(SILERO), initializer_dat={}, ori_model_path=SILERO)
    g.save_onnx(path, True, "vad.bin")
    head = onnx.load(path, load_external_data=False)
    moved = [t for t in head.graph.initializer if t.data_location == TensorProto.EXTERNAL]
    assert len(moved) == sum(len(t.raw_data) >= 1024 for t in g.model.graph.initializer) > 5
    offset = 0
    for t in moved:
        entries = {e.key: e.value for e in t.external_data}
        assert [e.key for e in t.external_data] == ["location", "offset", "length"]
        assert entries["location"] == "vad.bin" and int(entries["offset"]) == offset
        assert not t.HasField("raw_data")
        offset += int(entries["length"])
    assert os.path.getsize(folder / "vad.bin") == offset
    assert os.path.getsize(path) < os.path.getsize(SILERO) - offset // 2
    # Three ways back, each with the original weights.
    onnx.checker.check_model(path)
    assert_same_weights(onnx.load(path), original)
    full = ir.load_model(path, load_external_data=True)
    assert_same_weights(ir.to_onnx(full), original)
    assert all(t.data_location == TensorProto.DEFAULT for t in full.graph.initializer)
    back = ir.IRGraph(ir.load_model(path), ori_model_path=path, initializer_dat={})
    for t in original.graph.initializer:
        if t.name in back.consts:
            got = np.asarray(back.get_const(t.name))
            assert got.tobytes() == numpy_helper.to_array(t).tobytes(), t.name
    # Saving the graph that read them: the data moves into another file,
    # also inside a subfolder.
    (folder / "sub").mkdir()
    g2 = ir.IRGraph(ir.load_model(path), ori_model_path=path)  # external data not read in
    g2.save_onnx(str(folder / "again.onnx"), external_data="sub/w.bin")
    assert_same_weights(onnx.load(str(folder / "again.onnx")), original)
    # Without external data a saved file keeps the references as they are.
    g2.save_onnx(str(folder / "refs.onnx"))
    assert_same_weights(onnx.load(str(folder / "refs.onnx")), original)
    for bad in ("../vad.bin", "/tmp/vad.bin", "", "sub/..", "vad.onnx"):
        with pytest.raises(ValueError, match="external_data"):
            g.save_onnx(path, True, bad)
    assert_same_weights(onnx.load(path), original)


def test_weights_over_2gb_go_to_external_data(ir, tmp_path):
    # 2.1 GB of float32 weights that only touch three pages of memory: the
    # array is allocated zeroed, and the save streams it to disk.
    n = (2 ** 31 + 2 ** 26) // 4
    big = np.zeros(n, np.float32)
    big[0], big[n // 2], big[-1] = 1.5, 2.5, 3.5
    placeholder = TensorProto(name="w", data_type=F, dims=[n])
    graph = helper.make_graph([helper.make_node("Add", ["x", "w"], ["y"], name="add")], "big",
                              [helper.make_tensor_value_info("x", F, [n])],
                              [helper.make_tensor_value_info("y", F, [n])], [placeholder])
    g = ir.IRGraph(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]),
                   initializer_dat={"w": big})
    path = str(tmp_path / "big.onnx")
    with pytest.raises(ValueError, match="2 GB"):
        g.save_onnx(path, True)
    assert not os.listdir(tmp_path), "refused before anything was written"
    g.save_onnx(path, True, "big.bin")
    head = onnx.load(path, load_external_data=False)
    entries = {e.key: e.value for e in head.graph.initializer[0].external_data}
    assert (entries["offset"], entries["length"]) == ("0", str(4 * n))
    data = np.memmap(tmp_path / "big.bin", np.float32, "r")
    assert data.shape == (n,) and (data[0], data[n // 2], data[-1]) == (1.5, 2.5, 3.5)
    del data


def _temp_leftovers(folder):
    return [f for f in os.listdir(folder) if f.startswith(".")]


def test_save_is_atomic(ir, tmp_path):
    g = ir.IRGraph(ir.load_model(EXAMPLE), initializer_dat={})
    # An unwritable folder: nothing there to replace, and OSError.
    for target in (tmp_path / "missing" / "m.onnx", "/proc/m.onnx", tmp_path):
        with pytest.raises(OSError):
            g.save_onnx(str(target))
    if os.geteuid() != 0:  # root writes into read-only folders
        ro = tmp_path / "ro"
        ro.mkdir(mode=0o500)
        with pytest.raises(OSError):
            g.save_onnx(str(ro / "m.onnx"))
    # A write that fails half-way (the file-size limit stands in for a full
    # disk) leaves the existing file as it was, and no temporary file.
    folder = tmp_path / "full"
    folder.mkdir()
    old = b"the previous model"
    (folder / "m.onnx").write_bytes(old)
    (folder / "w.bin").write_bytes(old)
    script = textwrap.dedent("""
        import resource, signal, sys
        import tarq.api.ir_graph as ir
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        g = ir.IRGraph(ir.load_model(sys.argv[1]), initializer_dat={})
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
        for external in (None, "w.bin"):
            try:
                g.save_onnx(sys.argv[2], True, external)
            except OSError as e:
                print("OSError:", e)
        """)
    run = subprocess.run([sys.executable, "-c", script, EXAMPLE, str(folder / "m.onnx")],
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.count("OSError:") == 2 and "m.onnx" in run.stdout, run.stdout
    assert (folder / "m.onnx").read_bytes() == old and (folder / "w.bin").read_bytes() == old
    assert _temp_leftovers(folder) == []
    # A symbolic link is written through, and the file keeps its mode.
    real = tmp_path / "real.onnx"
    real.write_bytes(old)
    real.chmod(0o640)
    (tmp_path / "link.onnx").symlink_to(real)
    g.save_onnx(str(tmp_path / "link.onnx"))
    assert (tmp_path / "link.onnx").is_symlink()
    assert onnx.load(str(real)) == with_cached_weights(ir, g)
    assert real.stat().st_mode & 0o777 == 0o640
    assert _temp_leftovers(tmp_path) == []
    # A file that is not a regular one is written directly.
    g.save_onnx(os.devnull)


def test_deepcopy_is_independent(ir, tmp_path):
    shapes = {"input": [[1, 3, 32, 32], [2, 3, 32, 32]]}
    diff = {"block1.conv.bias": [np.zeros(8, np.float32), None]}
    target, share, align = {"conv": ["npu"]}, {"w": ["v"]}, ["block1.conv.weight"]
    cache = {}
    g = ir.IRGraph(ir.load_model(EXAMPLE), opt_level=1, check=True, verbose=True, qat=True,
                   npu_target="max", dynamic_shapes=shapes, initializer_dat=cache,
                   ori_model_path=EXAMPLE, op_target=target, share_weights=share,
                   dynamic_diff=diff, weights_for_align=align)
    g.expand_batch_size = 4
    c = g.deepcopy()
    c.verify()
    assert c.model == g.model and c.model is not g.model
    assert (c.opt_level, c.check, c.verbose, c.qat, c.npu_target, c.ori_model_path,
            c.expand_batch_size, c.n_dynamic) == (1, True, True, True, "max", EXAMPLE, 4, 2)
    # Copies that share nothing, but the cached arrays.
    for mine, theirs in ((c.dynamic_shapes, shapes), (c.op_target, target),
                         (c.share_weights, share), (c.weights_for_align, align),
                         (c.initializer_dat, cache)):
        assert mine == theirs if mine is not c.initializer_dat else set(mine) == set(theirs)
        assert mine is not theirs
    assert c.dynamic_diff is not diff and c.dynamic_diff["block1.conv.bias"][1] is None
    assert all(c.initializer_dat[k] is cache[k] for k in cache), "the arrays themselves shared"
    source = g.model.SerializeToString()
    c.dynamic_shapes["input"][0][0] = 8
    c.op_target["conv"].append("cpu")
    c.initializer_dat["block1.conv.weight"] = np.zeros(1)
    c.set_attr(c.model.graph.node[0], "pads", [0, 0, 0, 0])
    assert shapes["input"][0][0] == 1 and target == {"conv": ["npu"]}
    assert cache["block1.conv.weight"].shape != (1,)
    assert g.model.SerializeToString() == source
    g.verify()
    # The options.
    bare = g.deepcopy(keep_dynamic=False)
    assert bare.dynamic_shapes is None and bare.dynamic_diff is None and bare.n_dynamic == 0
    # Without the cache the copy's placeholders hold no data, which the
    # model check of its construction refuses.
    with pytest.raises(ir.ValidationError, match="block1.conv.weight"):
        g.deepcopy(share_initializer_dat=False)
    cut = g.deepcopy(edit_par={"inputs": [], "outputs": ["block2/relu_out"]})
    assert cut.outputs == ["block2/relu_out"]
    assert len(cut.model.graph.node) < len(g.model.graph.node)
    assert g.outputs == ["probabilities"]
    cut.verify()


def test_host_code_in_the_cache_cannot_break_a_save(ir, tmp_path):
    # A cache whose reads edit or replace the graph's model while the weights
    # are gathered: the save refuses a replaced model, and writes an edited
    # one as it then is.
    class Meddling(dict):
        action = None

        def __getitem__(self, key):
            if self.action:
                self.action()
            return super().__getitem__(key)

    cache = Meddling()
    g = ir.IRGraph(ir.load_model(EXAMPLE), initializer_dat=cache)
    out = str(tmp_path / "m.onnx")
    cache.action = lambda: setattr(g, "model", onnx.load(EXAMPLE))
    with pytest.raises(ValueError, match="replaced"):
        g.save_onnx(out)
    assert not os.path.exists(out)
    cache.action = None
    g = ir.IRGraph(ir.load_model(EXAMPLE), initializer_dat=cache)
    cache.action = lambda: g.model.graph.initializer.__delitem__(slice(None))
    g.save_onnx(out)
    assert len(onnx.load(out).graph.initializer) == 0
