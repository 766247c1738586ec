"""Message views: protobuf behaviour over the C++ messages, checked against the
`onnx` package's own messages as the oracle."""
import copy
import gc
import math
import os
import pickle
import subprocess
import sys

import numpy as np
import onnx
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from onnx import helper

from conftest import TESTDATA, backend_models, light_models


def model_path(name):
    return os.path.join(TESTDATA, "node", name, "model.onnx")


def new(ir, type_name, data=b""):
    return ir._core._parse_message(type_name, data)


def same_structure(view, ref, where="model"):
    """Walks `ref` (an onnx message) field by field and compares every value read
    through the view: scalars of each kind, bytes, enums, lists, sub-messages."""
    assert view.type_name == ref.DESCRIPTOR.full_name, where
    assert [f.name for f, _ in view.ListFields()] == [f.name for f, _ in ref.ListFields()], where
    for fd, value in ref.ListFields():
        got = getattr(view, fd.name)
        if fd.message_type is None:
            if fd.is_repeated:
                assert len(got) == len(value), where
                got, value = list(got), list(value)
            nan = isinstance(value, float) and math.isnan(value)
            same = got == value or (nan and math.isnan(got))
            if not same and isinstance(value, list):
                same = all(a == b or (a != a and b != b) for a, b in zip(got, value))
            assert same, f"{where}.{fd.name}"
        elif fd.is_repeated:
            assert len(got) == len(value), f"{where}.{fd.name}"
            for i, (g, r) in enumerate(zip(got, value)):
                same_structure(g, r, f"{where}.{fd.name}[{i}]")
        else:
            same_structure(got, value, f"{where}.{fd.name}")


def test_every_backend_model_reads_like_onnx(ir):
    paths = backend_models()
    assert len(paths) > 1000
    for p in paths:
        view, ref = ir.load_model(p), onnx.load(p)
        same_structure(view, ref)
        assert view == ref and not (view != ref)
        assert view.ByteSize() == ref.ByteSize()
        assert onnx.ModelProto.FromString(view.SerializeToString()) == ref
        assert ir.to_onnx(view) == ref


def test_editing_a_real_model_matches_the_same_edits_on_onnx(ir):
    path = model_path("test_if")  # a model with subgraphs: If's branches
    view, ref = ir.load_model(path), onnx.load(path)
    for m in (view, ref):
        g = m.graph
        g.name = "edited"
        g.doc_string = "d\u00e9j\u00e0 vu"
        node = g.node[0]
        node.name = "the_if"
        node.input.append("extra")
        node.output[0] = "renamed"
        branch = node.attribute[0].g
        branch.node[0].op_type = "Identity"
        branch.node.add(op_type="Relu", input=["a"], output=["b"], name="r")
        branch.output[0].type.tensor_type.shape.dim.add().dim_param = "N"
        t = g.initializer.add(name="w", data_type=onnx.TensorProto.FLOAT, dims=[2])
        t.raw_data = np.array([1.5, -2], np.float32).tobytes()
        a = node.attribute.add(name="alpha", type=onnx.AttributeProto.FLOAT)
        a.f = 0.1
        a.floats.extend([1, 2.5])
        m.opset_import[0].version = 17
        m.metadata_props.add(key="k", value="v")
        del g.input[0]
    assert view == ref and str(view) == str(ref)
    assert ir.to_onnx(view) == ref
    assert onnx.ModelProto.FromString(view.SerializeToString()) == ref


@pytest.mark.filterwarnings("ignore:Field onnx:DeprecationWarning")  # True as an int
def test_scalar_assignment_accepts_and_refuses_like_onnx(ir):
    values = [0, -1, 7, 2**31, -(2**31) - 1, 2**32, 2**63, -(2**63), 2**64, True, 1.5, 1e300,
              float("nan"), np.int64(3), np.float32(0.25), "x", "INT", "\u00e9", b"abc",
              b"\xff", None, [1]]
    checked = 0
    for type_name in ["onnx.AttributeProto", "onnx.TensorProto", "onnx.NodeProto",
                      "onnx.TensorShapeProto.Dimension", "onnx.OperatorSetIdProto"]:
        view = new(ir, type_name)
        ref = ir.to_onnx(view)
        for fd in ref.DESCRIPTOR.fields:
            if fd.is_repeated or fd.message_type is not None:
                continue
            for v in values:
                expected = got = None
                try:
                    setattr(ref, fd.name, v)
                    expected = getattr(ref, fd.name)
                except Exception as e:  # noqa: BLE001 - the oracle decides
                    expected = type(e)
                try:
                    setattr(view, fd.name, v)
                    got = getattr(view, fd.name)
                except Exception as e:  # noqa: BLE001
                    got = type(e)
                if isinstance(expected, float) and math.isnan(expected):
                    assert math.isnan(got), (type_name, fd.name, v)
                else:
                    assert got == expected and type(got) is type(expected), (type_name, fd.name, v)
                checked += 1
        assert view == ref
    assert checked > 300


def test_field_kinds_and_attribute_errors(ir):
    m = ir.load_model(model_path("test_relu"))
    with pytest.raises(AttributeError):
        m.graph = new(ir, "onnx.GraphProto")
    with pytest.raises(AttributeError):
        m.opset_import = []
    with pytest.raises(AttributeError):
        m.no_such_field
    with pytest.raises(AttributeError):
        m.no_such_field = 1
    with pytest.raises(AttributeError):
        del m.ir_version
    with pytest.raises(TypeError):
        hash(m)
    with pytest.raises(TypeError):
        hash(m.graph.node)
    with pytest.raises(ValueError):
        m.HasField("opset_import")  # a list has no presence
    for call in (m.HasField, m.ClearField, m.WhichOneof):
        with pytest.raises(ValueError):
            call("nope")
    assert "graph" in dir(m) and "CopyFrom" in dir(m)
    assert m.DESCRIPTOR.full_name == "onnx.ModelProto" and m.graph.type_name == "onnx.GraphProto"
    assert isinstance(m.graph.name, str) and isinstance(m.graph.node[0].op_type, str)
    t = new(ir, "onnx.TensorProto")
    t.raw_data = bytearray(b"\x01\x02")  # bytes-like objects are taken as bytes
    assert t.raw_data == b"\x01\x02"
    # A model string that is not UTF-8 reads back (escaped) and writes back unchanged.
    n = new(ir, "onnx.NodeProto", b"\x22\x02\xff\xfe")  # op_type = b"\xff\xfe"
    n.op_type = n.op_type
    assert n.SerializeToString() == b"\x22\x02\xff\xfe"


def test_lazy_presence_follows_protobuf(ir):
    view, ref = new(ir, "onnx.ModelProto"), onnx.ModelProto()
    for m in (view, ref):
        dims = m.graph.input.add(name="x").type.tensor_type.shape.dim
        assert len(dims) == 0 and len(m.graph.node) == 0
        assert m.graph.name == "" and m.graph.HasField("name") is False
        assert not m.graph.input[0].HasField("type")  # read, not created
        assert len(m.training_info) == 0
        unset = m.functions.add().attribute_proto.add().t.segment
        assert not m.functions[0].attribute_proto[0].HasField("t")
        unset.begin = 3  # first write creates the whole chain
        assert m.functions[0].attribute_proto[0].t.HasField("segment")
    assert view == ref and not view.HasField("ir_version")

    view, ref = new(ir, "onnx.ModelProto"), onnx.ModelProto()
    for m in (view, ref):
        a, b = m.graph, m.graph  # two lazy views of one field
        b.name = "g"
        assert a.name == "g" and m.HasField("graph")
        a.name = "h"
        assert m.graph.name == "h"
        # Clear or ClearField through an unset sub-message creates it.
        m.training_info.add().algorithm.Clear()
        m.training_info[0].initialization.ClearField("name")
        m.training_info[0].initialization_binding.add()
        info = m.training_info[0]
        assert info.HasField("algorithm") and info.HasField("initialization")
    assert view == ref

    # Reading a lazy view does not make other members of a oneof go away.
    t = new(ir, "onnx.TypeProto")
    t.tensor_type.elem_type = 1
    seq = t.sequence_type
    assert t.WhichOneof("value") == "tensor_type" and seq.HasField("elem_type") is False
    tensor = t.tensor_type
    seq.elem_type.tensor_type.elem_type = 7  # switches the oneof: tensor_type is parked
    gc.collect()
    assert t.WhichOneof("value") == "sequence_type" and tensor.elem_type == 1
    tensor.elem_type = 2  # a detached message: no effect on t
    assert not t.HasField("tensor_type") and t.sequence_type.elem_type.tensor_type.elem_type == 7


def test_views_of_removed_messages_stay_usable(ir):
    path = model_path("test_if")
    m = ir.load_model(path)
    g = m.graph
    node = g.node[0]
    branch = node.attribute[0].g
    inner = branch.node[0]
    ref = onnx.load(path)
    del g.node[0]
    gc.collect()
    assert node == ref.graph.node[0]
    assert inner.op_type == ref.graph.node[0].attribute[0].g.node[0].op_type
    node.name = "still writable"
    assert len(g.node) == 0

    # Every path that drops sub-messages parks them.
    victims = []
    m = ir.load_model(path)
    victims.append(m.graph.node[0].attribute[0])
    m.graph.node[0].ClearField("attribute")
    victims.append(m.graph.output[0].type)
    m.graph.output[0].Clear()
    victims.append(m.graph.input[0])
    m.graph.CopyFrom(onnx.GraphProto(name="replaced"))
    victims.append(m.graph)
    m.ParseFromString(onnx.ModelProto(ir_version=3).SerializeToString())
    victims.append(m.graph)  # an unset graph, read lazily
    m.MergeFrom(ref)
    m.graph.node.pop().attribute[1].g.node[0].op_type = "Neg"
    victims.append(m.opset_import[0])
    m.opset_import.remove(m.opset_import[0])
    del m
    gc.collect()
    assert [v.type_name for v in victims] == ["onnx.AttributeProto", "onnx.TypeProto",
                                              "onnx.ValueInfoProto", "onnx.GraphProto",
                                              "onnx.GraphProto", "onnx.OperatorSetIdProto"]
    assert victims[0].g.node[0].op_type
    assert victims[1].tensor_type.elem_type == ref.graph.output[0].type.tensor_type.elem_type
    assert victims[3].name == "replaced" and victims[4].name == ref.graph.name
    assert victims[5] == ref.opset_import[0]
    for v in victims:
        v.SerializeToString()
        copy.deepcopy(v)

    # A view keeps the whole model alive once everything else is gone.
    dim = ir.load_model(light_models()[0]).graph.input[0].type.tensor_type.shape.dim[0]
    gc.collect()
    assert dim.dim_value > 0 or dim.dim_param


def test_equality_is_by_content_not_bytes(ir):
    ref = onnx.NodeProto(op_type="Relu", input=["x"])
    canonical = ref.SerializeToString()
    reordered = b"\x22\x04Relu\x0a\x01x"  # op_type (4) before input (1)
    assert reordered != canonical
    view = new(ir, "onnx.NodeProto", reordered)
    assert view == ref and ref == view and view == new(ir, "onnx.NodeProto", canonical)
    assert not (view != ref)
    assert view != onnx.NodeProto(op_type="Relu", input=["y"])
    assert view != onnx.GraphProto() and view != new(ir, "onnx.GraphProto")
    assert view != 3 and view != "Relu" and not (view == None)  # noqa: E711
    # unset and default-valued fields differ, as in protobuf
    assert new(ir, "onnx.AttributeProto") != onnx.AttributeProto(i=0)
    assert view.input == ["x"] and view.input == ("x",) and view.input != ["y"]
    assert view.input == ref.input and list(new(ir, "onnx.GraphProto").node) == []
    g = helper.make_graph([ref, ref], "g", [], [])
    gv = new(ir, "onnx.GraphProto", g.SerializeToString())
    assert gv.node == [ref, ref] and gv.node == g.node and gv.node.count(ref) == 2
    assert ref in gv.node and gv.node.index(view) == 0


def test_message_arguments_are_views_or_onnx_messages(ir):
    node = new(ir, "onnx.NodeProto")
    attr = onnx.helper.make_attribute("k", [1, 2])
    node.attribute.append(attr)
    node.attribute.append(node.attribute[0])  # copied, not aliased
    node.attribute.insert(0, onnx.AttributeProto(name="first"))
    node.attribute[1].ints.append(3)
    assert [a.name for a in node.attribute] == ["first", "k", "k"]
    assert list(node.attribute[2].ints) == [1, 2]
    node.attribute[2] = node.attribute[1]  # item assignment copies into the element
    kept = node.attribute[0]
    node.attribute[0] = attr
    assert kept.name == "k" and node.attribute[2].ints == [1, 2, 3]
    for bad in (onnx.NodeProto(), new(ir, "onnx.NodeProto"), 3, "k", None):
        with pytest.raises(TypeError):
            node.attribute.append(bad)
    for bad in (onnx.GraphProto(), new(ir, "onnx.GraphProto"), 3, "k", None):
        with pytest.raises(TypeError):
            node.CopyFrom(bad)
    with pytest.raises(TypeError):
        node.attribute.extend([attr, 3])  # checked before anything is added
    with pytest.raises(ValueError):
        node.attribute.add(name="x", nope=1)
    assert len(node.attribute) == 3
    added = node.attribute.add(name="t", t={"dims": [2], "data_type": 1}, ints=[4])
    assert added.t.dims == [2] and node.attribute[-1].ints == [4]
    with pytest.raises(AttributeError):
        node.input.add()
    # an unset sub-message as an argument is an empty message and stays unset
    graph = new(ir, "onnx.GraphProto")
    graph.initializer.append(node.attribute[0].t)
    assert graph.initializer[0] == onnx.TensorProto() and not node.attribute[0].HasField("t")
    m = ir.load_model(model_path("test_if"))
    assert ir.IRGraph(m).model.graph.node[0] == m.graph.node[0]


def test_methods_agree_with_onnx(ir):
    path = model_path("test_if")
    view, ref = ir.load_model(path), onnx.load(path)
    other = onnx.ModelProto(producer_name="p", graph=onnx.GraphProto(name="other"))
    for m in (view, ref):
        m.MergeFrom(other)
        # a graph copied into its own subgraph (onnx's own messages need a copy for that)
        source = m.graph if m is view else copy.deepcopy(m.graph)
        m.graph.node[0].attribute[1].g.CopyFrom(source)
        m.graph.node.MergeFrom([m.graph.node[0]])
        m.graph.input.extend(m.graph.output)
        m.graph.value_info.add().MergeFromString(m.graph.output[0].SerializeToString())
    assert view == ref
    assert [(f.name, f.number) for f, _ in view.ListFields()] == \
        [(f.name, f.number) for f, _ in ref.ListFields()]
    assert view.IsInitialized() and view.ByteSize() == ref.ByteSize()
    assert view.SerializeToString(deterministic=True) == ref.SerializeToString(deterministic=True)
    assert repr(view.graph) == str(ref.graph)

    t = new(ir, "onnx.TypeProto")
    t.tensor_type.elem_type = 1
    t.MergeFrom(onnx.TypeProto(sequence_type=onnx.TypeProto.Sequence()))
    assert t.WhichOneof("value") == "sequence_type"

    node = view.graph.node[0]
    before = node.SerializeToString()
    with pytest.raises(ValueError):
        node.ParseFromString(before[:-3])  # truncated: unchanged
    with pytest.raises(TypeError):
        node.ParseFromString("text")
    assert node.SerializeToString() == before
    assert node.ParseFromString(memoryview(before)) == len(before)
    node.CopyFrom(node)
    assert node.SerializeToString() == before

    clone = copy.deepcopy(view)
    clone.graph.name = "clone"
    assert view.graph.name == ref.graph.name and copy.copy(view) == view
    assert pickle.loads(pickle.dumps(view)) == ref
    assert new(ir, "onnx.NodeProto") == onnx.NodeProto()
    with pytest.raises(ValueError):
        new(ir, "onnx.NoSuchProto")

    nested = view.graph.output[0].type.tensor_type.shape.dim
    for v in (view.graph.node[0].attribute[0], nested.add(), view.graph.output[0].type.tensor_type):
        o = ir.to_onnx(v)
        assert o.DESCRIPTOR.full_name == v.type_name and o == v
    assert ir.to_onnx(ref) is ref
    with pytest.raises(TypeError):
        ir.to_onnx(3)


def test_python_callbacks_that_edit_the_list_mid_call_do_not_crash(ir):
    """__index__, __eq__, __float__ and an onnx-like SerializeToString run inside
    list operations; here they empty the list under the operation's feet."""
    graph, tensor = new(ir, "onnx.GraphProto"), new(ir, "onnx.TensorProto")

    class Hostile:
        DESCRIPTOR = onnx.NodeProto.DESCRIPTOR

        def __init__(self, effect):
            self.effect = effect

        def __index__(self):
            self.effect()
            return 3

        def __eq__(self, other):
            self.effect()
            return True

        def __float__(self):
            self.effect()
            return 1.0

        def SerializeToString(self):
            self.effect()
            return onnx.NodeProto(name="h").SerializeToString()

    def wipe():
        del graph.node[:]
        del tensor.dims[:]
        tensor.ClearField("float_data")

    node_ops = [lambda h: graph.node[h], lambda h: graph.node.pop(h),
                lambda h: graph.node.insert(h, h),
                lambda h: graph.node.__setitem__(h, h), lambda h: graph.node.__setitem__(4, h),
                lambda h: graph.node.__delitem__(slice(h, None)), lambda h: graph.node[0:h],
                lambda h: graph.node.remove(h), lambda h: graph.node[0].CopyFrom(h)]
    dim_ops = [lambda h: tensor.dims.__setitem__(h, 1), lambda h: tensor.dims.__setitem__(0, h),
               lambda h: tensor.dims.remove(h), lambda h: tensor.dims.count(h),
               lambda h: tensor.dims.insert(0, h), lambda h: tensor.float_data.append(h),
               lambda h: tensor.dims.sort(key=lambda x: h.__index__() and x)]
    for op in node_ops + dim_ops:
        graph.node.extend([onnx.NodeProto(name=str(i)) for i in range(5)])
        tensor.dims.extend([1, 2, 3, 4, 5])
        try:
            op(Hostile(wipe))
        except (IndexError, ValueError):
            pass
        assert len(graph.node) <= 6 and len(tensor.dims) <= 6
        wipe()


def test_onnx_and_tarq_import_in_either_order(tmp_path):
    model = model_path("test_if")
    script = f"""
import {{first}}, {{second}}
import onnx, tarq.api.ir_graph as ir
view, ref = ir.load_model({model!r}), onnx.load({model!r})
assert view == ref
view.graph.node[0].name = "n"
ref.CopyFrom(ir.to_onnx(view))
onnx.checker.check_model(ref)
onnx.shape_inference.infer_shapes(ref)
view.graph.CopyFrom(ref.graph)
assert view == ref and ir.IRGraph(ref).model == view
print("ok")
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for first, second in (("onnx", "tarq.api.ir_graph"), ("tarq.api.ir_graph", "onnx")):
        code = script.replace("{first}", first).replace("{second}", second)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
        assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr


# ---- lists against a Python list oracle ----

def _apply(target, op, args):
    try:
        if op == "setitem":
            target[args[0]] = args[1]
        elif op == "delitem":
            del target[args[0]]
        elif op == "getitem":
            return ("value", target[args[0]])
        else:
            return ("value", getattr(target, op)(*args))
    except Exception as e:  # noqa: BLE001 - compared with the oracle's outcome
        return ("error", type(e))
    return ("value", None)


indexes = st.integers(-6, 6)
slices = st.builds(slice, st.none() | indexes, st.none() | indexes,
                   st.none() | st.sampled_from([-2, -1, 1, 2, 3]))
scalars = st.integers(-3, 3)
scalar_ops = st.one_of(
    st.tuples(st.just("append"), st.tuples(scalars)),
    st.tuples(st.just("extend"), st.tuples(st.lists(scalars, max_size=3))),
    st.tuples(st.just("insert"), st.tuples(st.integers(-8, 8), scalars)),
    st.tuples(st.just("pop"), st.tuples(indexes) | st.just(())),
    st.tuples(st.just("remove"), st.tuples(scalars)),
    st.tuples(st.just("index"), st.tuples(scalars)),
    st.tuples(st.just("count"), st.tuples(scalars)),
    st.tuples(st.just("reverse"), st.just(())),
    st.tuples(st.just("sort"), st.just(())),
    st.tuples(st.just("getitem"), st.tuples(indexes | slices)),
    st.tuples(st.just("setitem"), st.tuples(indexes, scalars)),
    st.tuples(st.just("setitem"), st.tuples(slices, st.lists(scalars, max_size=4))),
    st.tuples(st.just("delitem"), st.tuples(indexes | slices)),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(scalars, max_size=6), st.lists(scalar_ops, max_size=12))
def test_scalar_list_behaves_like_a_python_list(ir, start, ops):
    tensor = new(ir, "onnx.TensorProto")
    dims = tensor.dims
    dims.extend(start)
    oracle = list(start)
    for op, args in ops:
        assert _apply(dims, op, args) == _apply(oracle, op, args), (op, args)
        assert dims == oracle and list(tensor.dims) == oracle and len(dims) == len(oracle)
    assert tensor == onnx.TensorProto(dims=oracle)


names = st.sampled_from("abcde")
message_ops = st.one_of(
    st.tuples(st.just("append"), st.tuples(names)),
    st.tuples(st.just("extend"), st.tuples(st.lists(names, max_size=3))),
    st.tuples(st.just("insert"), st.tuples(st.integers(-8, 8), names)),
    st.tuples(st.just("pop"), st.tuples(indexes) | st.just(())),
    st.tuples(st.just("remove"), st.tuples(names)),
    st.tuples(st.just("reverse"), st.just(())),
    st.tuples(st.just("sort"), st.just(())),
    st.tuples(st.just("setitem"), st.tuples(indexes, names)),
    st.tuples(st.just("delitem"), st.tuples(indexes | slices)),
)


@settings(max_examples=120, deadline=None)
@given(st.lists(names, max_size=5), st.lists(message_ops, max_size=10))
def test_message_list_behaves_like_a_python_list(ir, start, ops):
    """Elements are NodeProtos named by letters; the oracle is the list of names.
    Views taken along the way must keep following their element."""
    graph = new(ir, "onnx.GraphProto")
    for n in start:
        graph.node.add(name=n)
    oracle = list(start)
    followers = []
    for op, args in ops:
        as_msgs = tuple([onnx.NodeProto(name=x) for x in a] if isinstance(a, list)
                        else onnx.NodeProto(name=a) if isinstance(a, str) else a for a in args)
        kwargs = {"key": lambda n: n.name} if op == "sort" else {}
        if op == "sort":
            got = ("value", graph.node.sort(**kwargs))
            want = ("value", oracle.sort())
        else:
            got = _apply(graph.node, op, as_msgs)
            want = _apply(oracle, op, args)
        if got[0] == "value" and op == "pop":
            got = ("value", got[1].name)
        assert got == want, (op, args)
        assert [n.name for n in graph.node] == oracle
        if op != "setitem":  # which copies into the element in place
            for view, name in followers:
                assert view.name == name  # moved or parked, never dangling
        followers = [(v, v.name) for v, _ in followers] + [(v, v.name) for v in graph.node[:2]]
    del graph
    gc.collect()
    assert all(view.name == name for view, name in followers)
