"""The default attribute table (IRGraph.def_attr, IRGraph.reduce_attr) and the
defaults that get_attr reads from it.

DEFAULTS below is written out here, apart from the module's own table: a
mistake has to be made twice, the same way, to pass unnoticed. A flat entry
maps names to values; a versioned entry maps opset versions to such maps.
"""
import copy
import glob
import os
import pickle
import struct

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper

from conftest import TESTDATA, light_models

F = TensorProto.FLOAT
EPS = 1e-5  # the double nearest 0.00001
EPS32 = float(np.float32(1e-5))  # float32(1e-5) widened: 9.999999747378752e-06
ZERO = object()  # ConstantOfShape's value: a FLOAT scalar array holding 0.0

_POOL = {"auto_pad": "NOTSET", "ceil_mode": 0, "count_include_pad": 0, "pads": [0, 0],
         "strides": [1]}
_CONV = {"auto_pad": "NOTSET", "dilations": [1], "group": 1, "pads": [0, 0], "strides": [1],
         "kernel_shape": None}
_LPPOOL = {"auto_pad": "NOTSET", "p": 2, "pads": [0, 0], "strides": [1]}
_ROI = {"mode": "avg", "output_height": 1, "output_width": 1, "sampling_ratio": 0,
        "spatial_scale": 1.0}
_REDUCE = {11: {"axes": [], "keepdims": 1}, 18: {"keepdims": 1, "noop_with_empty_axes": 0}}
REDUCE_TYPES = ["ReduceL1", "ReduceL2", "ReduceLogSum", "ReduceLogSumExp", "ReduceMax",
                "ReduceMean", "ReduceMin", "ReduceProd", "ReduceSumSquare"]

DEFAULTS = {
    "ArgMax": {"axis": 0, "keepdims": 1, "select_last_index": 0},
    "ArgMin": {"axis": 0, "keepdims": 1, "select_last_index": 0},
    "AveragePool": {11: _POOL, 19: {**_POOL, "dilations": [1]}},
    "BatchNormalization": {9: {"epsilon": EPS, "momentum": 0.9},
                           14: {"epsilon": EPS, "momentum": 0.9, "training_mode": 0}},
    "Cast": {19: {"saturate": 1}},
    "CastLike": {19: {"saturate": 1}},
    "Celu": {"alpha": 1.0},
    "ConcatFromSequence": {"new_axis": 0},
    "ConstantOfShape": {"value": ZERO},
    "Conv": _CONV,
    "exConvStreaming": {k: v for k, v in _CONV.items() if k != "auto_pad"},
    "ConvInteger": _CONV,
    "ConvTranspose": {"auto_pad": "NOTSET", "dilations": [1], "group": 1, "pads": [0, 0],
                      "strides": [1], "output_padding": [0], "kernel_shape": None},
    "exConvTransposePad": _CONV,
    "CumSum": {"exclusive": 0, "reverse": 0},
    "DeformConv": {"dilations": [1], "group": 1, "offset_group": 1},
    "DepthToSpace": {"mode": "DCR"},
    "Elu": {"alpha": 1.0},
    "exIRfftn": {"dim": [], "norm": "ortho"},
    "exLayerNorm": {"elementwise_affine": 1, "eps": EPS32, "normalized_shape": []},
    "exMeanVarianceNormalization": {"elementwise_affine": 0, "eps": EPS32},
    "exRMSNorm": {"eps": EPS32},
    "exNorm": {"eps": EPS32, "axes": [1]},
    "exRfftn": {"s": [], "dim": [], "norm": "ortho"},
    "EyeLike": {"k": 0},
    "Flatten": {"axis": 1},
    "Gather": {"axis": 0},
    "GatherElements": {"axis": 0},
    "GatherND": {"batch_dims": 0},
    "Gemm": {"alpha": 1.0, "beta": 1.0, "transA": 0, "transB": 0},
    "GlobalLpPool": {"p": 2},
    "GRU": {7: {"direction": "forward", "linear_before_reset": 0},
            14: {"direction": "forward", "linear_before_reset": 0, "layout": 0}},
    "exGRU": {"direction": "forward", "linear_before_reset": 0},
    "exGlu": {"axis": 0},
    "exSDPAttention": {"scale": 1.0},
    "Hardmax": {11: {"axis": 1}, 13: {"axis": -1}},
    "HardSigmoid": {"alpha": 0.2, "beta": 0.5},
    "InstanceNormalization": {"epsilon": EPS},
    "IsInf": {"detect_negative": 1, "detect_positive": 1},
    "LeakyRelu": {"alpha": 0.01},
    "LogSoftmax": {11: {"axis": 1}, 13: {"axis": -1}},
    "LpNormalization": {"axis": -1, "p": 2},
    "LpPool": {11: _LPPOOL, 18: {**_LPPOOL, "ceil_mode": 0, "dilations": [1]}},
    "LRN": {"alpha": 0.0001, "beta": 0.75, "bias": 1.0},
    "LSTM": {7: {"direction": "forward", "input_forget": 0},
             14: {"direction": "forward", "input_forget": 0, "layout": 0}},
    "exLSTM": {"direction": "forward", "input_forget": 0, "input_layout": "snc",
               "output_layout": "sbnc", "has_projections": 0, "proj_size": 0},
    "MaxPool": {"auto_pad": "NOTSET", "ceil_mode": 0, "dilations": [1], "pads": [0, 0],
                "storage_order": 0, "strides": [1]},
    "MaxRoiPool": {"spatial_scale": 1.0},
    "MaxUnpool": {"pads": [0, 0], "strides": [1]},
    "exMatMul": {"c_type": "add"},
    "MeanVarianceNormalization": {"axes": [0, 2, 3]},
    "Mod": {"fmod": 0},
    "Multinomial": {"dtype": 6, "sample_size": 1},
    "NegativeLogLikelihoodLoss": {"reduction": "mean"},
    "NonMaxSuppression": {"center_point_box": 0},
    "OneHot": {"axis": -1},
    "Pad": {11: {"mode": "constant"}, 18: {"mode": "constant", "axes": []}},
    "QLinearConv": _CONV,
    "QuantizeLinear": {19: {"saturate": 1}},
    "RandomNormal": {"dtype": 1, "mean": 0.0, "scale": 1.0},
    "RandomNormalLike": {"mean": 0.0, "scale": 1.0},
    "RandomUniform": {"dtype": 1, "high": 1.0, "low": 0.0},
    "RandomUniformLike": {"high": 1.0, "low": 0.0},
    **{t: _REDUCE for t in REDUCE_TYPES},
    "ReduceSum": {11: {"axes": [], "keepdims": 1}, 13: {"keepdims": 1, "noop_with_empty_axes": 0}},
    "Reshape": {19: {"allowzero": 0}},
    "Upsample": {"mode": "nearest"},
    "Resize": {"coordinate_transformation_mode": "half_pixel", "cubic_coeff_a": -0.75,
               "exclude_outside": 0, "extrapolation_value": 0, "mode": "nearest",
               "nearest_mode": "round_prefer_floor"},
    "ReverseSequence": {"batch_axis": 1, "time_axis": 0},
    "RNN": {7: {"activations": ["Tanh", "Tanh"], "direction": "forward"},
            14: {"activations": ["Tanh", "Tanh"], "direction": "forward", "layout": 0}},
    "RoiAlign": {10: _ROI, 16: {**_ROI, "coordinate_transformation_mode": "half_pixel"}},
    "ScatterElements": {"axis": 0},
    "ScatterND": {"reduction": "none"},
    "Selu": {"alpha": 1.67326, "gamma": 1.0507},
    "Shape": {15: {"start": 0}},
    "Shrink": {"bias": 0.0, "lambd": 0.5},
    "Softmax": {11: {"axis": 1}, 13: {"axis": -1}},
    "exSoftmax13": {"axis": -1},
    "SoftmaxCrossEntropyLoss": {"reduction": "mean"},
    "Split": {11: {"axis": 0, "split": []}, 13: {"axis": 0}, 18: {"axis": 0}},
    "SplitToSequence": {"axis": 0, "keepdims": 1},
    "StringNormalizer": {"case_change_action": "NONE", "is_case_sensitive": 0},
    "exSwish": {"beta": 1.0, "gamma": 0},
    "ThresholdedRelu": {"alpha": 1.0},
    "TopK": {"axis": -1, "largest": 1, "sorted": 1},
    "Transpose": {"perm": []},
    "Trilu": {14: {"upper": 1}},
    "Unique": {"sorted": 1},
}

# The order of definition, written once more by hand: DEFAULTS above is built
# with helpers, this list is not.
ORDER = """
ArgMax ArgMin AveragePool BatchNormalization Cast CastLike Celu ConcatFromSequence
ConstantOfShape Conv exConvStreaming ConvInteger ConvTranspose exConvTransposePad CumSum
DeformConv DepthToSpace Elu exIRfftn exLayerNorm exMeanVarianceNormalization exRMSNorm exNorm
exRfftn EyeLike Flatten Gather GatherElements GatherND Gemm GlobalLpPool GRU exGRU exGlu
exSDPAttention Hardmax HardSigmoid InstanceNormalization IsInf LeakyRelu LogSoftmax
LpNormalization LpPool LRN LSTM exLSTM MaxPool MaxRoiPool MaxUnpool exMatMul
MeanVarianceNormalization Mod Multinomial NegativeLogLikelihoodLoss NonMaxSuppression OneHot
Pad QLinearConv QuantizeLinear RandomNormal RandomNormalLike RandomUniform RandomUniformLike
ReduceL1 ReduceL2 ReduceLogSum ReduceLogSumExp ReduceMax ReduceMean ReduceMin ReduceProd
ReduceSumSquare ReduceSum Reshape Upsample Resize ReverseSequence RNN RoiAlign ScatterElements
ScatterND Selu Shape Shrink Softmax exSoftmax13 SoftmaxCrossEntropyLoss Split SplitToSequence
StringNormalizer exSwish ThresholdedRelu TopK Transpose Trilu Unique
""".split()

PER_AXIS = ("pads", "strides", "dilations", "output_padding")
SHAPE_DERIVED = PER_AXIS + ("kernel_shape", "perm")
RAISES = object()


def versioned(entry):
    return all(isinstance(k, int) for k in entry)


def names_of(op):
    entry = DEFAULTS[op]
    if not versioned(entry):
        return list(entry)
    return list(dict.fromkeys(n for v in entry.values() for n in v))


def expected(op, name, opset, in0, in1):
    """What get_attr should read for an attribute a node of `op` does not
    carry, in a model of `opset`, with input shapes `in0`, `in1` (None when
    the graph knows no such tensor). RAISES when it must fail."""
    entry = DEFAULTS[op]
    if versioned(entry):
        value = next((entry[v][name] for v in sorted(entry, reverse=True)
                      if v <= opset and name in entry[v]), None)
        if value is None:
            return None
    elif name in entry:
        value = entry[name]
    else:
        return None  # a name the type does not list: nothing to complete
    if name in PER_AXIS and in0:
        return value * (len(in0) - 2) if len(in0) > 2 else []
    if name == "kernel_shape" and in1:
        return list(in1[2:])
    if name == "perm":
        return RAISES if in0 is None else list(range(len(in0) - 1, -1, -1))
    return value


def same(got, want):
    """Equal, and of the same kind: an int default is not a float one."""
    if want is ZERO:
        return (isinstance(got, np.ndarray) and got.dtype == np.float32 and got.shape == ()
                and got == 0)
    if isinstance(want, float):
        return type(got) is float and struct.pack("<d", got) == struct.pack("<d", want)
    if isinstance(want, list):
        return isinstance(got, list) and len(got) == len(want) and all(map(same, got, want))
    return type(got) is type(want) and got == want


# ---- the class-level table

def test_table_order_kinds_and_exact_values(ir):
    table = ir.IRGraph.def_attr
    assert len(ORDER) == 96 and list(DEFAULTS) == ORDER
    assert list(table) == ORDER, "96 types in their order of definition"
    for op, entry in table.items():
        want = DEFAULTS[op]
        assert list(entry) == list(want), f"{op}: keys in order (names, or ascending versions)"
        maps = [entry[v] for v in want] if versioned(want) else [entry]
        wants = [want[v] for v in want] if versioned(want) else [want]
        for got, w in zip(maps, wants):
            assert list(got) == list(w), f"{op}: names in order"
            for name in w:
                assert same(got[name], w[name]), f"{op}.{name}: {got[name]!r} != {w[name]!r}"
    # Bits, not just equality: 1e-5 and float32(1e-5) differ in the 8th digit.
    bits = lambda x: struct.pack("<d", x).hex()
    assert bits(table["InstanceNormalization"]["epsilon"]) == bits(1e-5) == "f168e388b5f8e43e"
    assert bits(table["BatchNormalization"][14]["epsilon"]) == bits(1e-5)
    for op in ("exLayerNorm", "exMeanVarianceNormalization", "exRMSNorm", "exNorm"):
        assert bits(table[op]["eps"]) == "00000080b5f8e43e", op
        assert table[op]["eps"] == 9.999999747378752e-6 and table[op]["eps"] != 1e-5
    assert type(table["Resize"]["extrapolation_value"]) is int
    assert type(table["exSwish"]["gamma"]) is int and type(table["exSwish"]["beta"]) is float
    value = table["ConstantOfShape"]["value"]
    assert isinstance(value, np.ndarray) and value.dtype == np.float32 and value.shape == ()
    assert value == 0.0 and not value.flags.writeable


def test_reductions_share_one_entry_and_other_lists_are_distinct(ir):
    table, shared = ir.IRGraph.def_attr, ir.IRGraph.reduce_attr
    assert all(table[t] is shared for t in REDUCE_TYPES)
    assert [t for t in table if table[t] is shared] == REDUCE_TYPES
    assert dict(shared[11]) == {"axes": [], "keepdims": 1}
    assert dict(shared[18]) == {"keepdims": 1, "noop_with_empty_axes": 0}
    own = table["ReduceSum"]
    assert own is not shared and list(own) == [11, 13] and own[11]["axes"] is not shared[11]["axes"]
    assert dict(own[13]) == {"keepdims": 1, "noop_with_empty_axes": 0}
    # Apart from the shared entry, every list of the table is an object of its own.
    lists = [v for op, e in table.items() if e is not shared
             for m in (e.values() if versioned(DEFAULTS[op]) else [e])
             for v in m.values() if isinstance(v, list)]
    assert len(lists) > 40 and len({id(v) for v in lists}) == len(lists)
    # A graph reads the very table of its class.
    g = ir.IRGraph(helper.make_model(helper.make_graph([], "g", [], [])))
    assert g.def_attr is table and g.reduce_attr is shared


def test_table_is_read_only_and_copies_are_plain(ir):
    table = ir.IRGraph.def_attr
    shared = ir.IRGraph.reduce_attr
    for mapping in (table, table["Conv"], table["Split"], table["Split"][11], shared, shared[18]):
        with pytest.raises(TypeError):
            mapping["new"] = 1
        with pytest.raises(TypeError):
            del mapping[next(iter(mapping))]
    # Neither can the class be given another table.
    for field in ("def_attr", "reduce_attr"):
        with pytest.raises(AttributeError):
            setattr(ir.IRGraph, field, {})
    assert ir.IRGraph.def_attr is table
    pads, acts = table["Conv"]["pads"], table["RNN"][14]["activations"]
    assert pads == [0, 0] and isinstance(pads, list) and acts == ["Tanh", "Tanh"]
    mutations = [lambda l: l.__setitem__(0, 5), lambda l: l.__setitem__(slice(None), []),
                 lambda l: l.__delitem__(slice(None)), lambda l: l.__iadd__([1]),
                 lambda l: l.__imul__(2),
                 lambda l: l.append(1), lambda l: l.extend([1]), lambda l: l.insert(0, 1),
                 lambda l: l.pop(), lambda l: l.remove(0), lambda l: l.clear(),
                 lambda l: l.sort(), lambda l: l.reverse()]
    for lst in (pads, acts, shared[11]["axes"]):
        before = list(lst)
        for mutate in mutations:
            with pytest.raises(TypeError, match="the default attribute table is read-only"):
                mutate(lst)
        assert lst == before
    # Copies are ordinary lists the caller may change.
    for c in (copy.copy(acts), copy.deepcopy(acts), pickle.loads(pickle.dumps(acts)), list(acts),
              acts + [], acts[:]):
        assert type(c) is list and c == ["Tanh", "Tanh"]
        c.append("Relu")
    assert copy.deepcopy(dict(table["Conv"])) == dict(table["Conv"])
    assert acts == ["Tanh", "Tanh"]
    value = table["ConstantOfShape"]["value"]
    with pytest.raises(ValueError):
        value[...] = 1.0
    with pytest.raises(ValueError):
        value.flags.writeable = True
    assert value == 0.0 and copy.deepcopy(value).flags.writeable


# ---- defaults read through get_attr

OPSETS = (10, 11, 13, 17, 18, 19, 21)
# Input variants of a node: (input 0, input 1) and their shapes as the graph
# knows them. A tensor declared without a shape has the empty shape.
VARIANTS = {
    "rank4": ([1, 3, 8, 8], [4, 3, 5, 7]),
    "rank5": ([2, "N", 4, None, 6], [4, 3, 1, 2, 3]),
    "rank3": ([1, 3, 16], [4, 3, 2]),
    "rank2": ([2, 3], [4, 3]),
    "scalar": ([], []),
    "unknown": (None, None),
}


def sweep_model(opset):
    """One node of every type of the table per input variant, in a model whose
    first opset import is `opset`. The nodes carry no attributes and not the
    inputs their types call for, so they sit in a domain of their own, where
    the checker and shape inference leave them alone; their op_type is the
    table's."""
    inputs, nodes, outputs = [], [], []
    for v, (s0, s1) in VARIANTS.items():
        inputs += [helper.make_tensor_value_info(f"x_{v}", F, s0),
                   helper.make_tensor_value_info(f"w_{v}", F, s1)]
        for op in ORDER:
            out = f"{op}_{v}"
            nodes.append(helper.make_node(op, [f"x_{v}", f"w_{v}"], [out], name=out,
                                          domain="tarq.test"))
            outputs.append(helper.make_tensor_value_info(out, F, None))
    graph = helper.make_graph(nodes, f"defaults_{opset}", inputs, outputs)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", opset),
                                                   helper.make_opsetid("tarq.test", 1)])


def check_defaults(g, node, in0, in1):
    """Every default of the node's type that the node does not carry, and the
    shape-derived names that the type does not list (None)."""
    carried = {a.name for a in node.attribute}
    checked = 0
    for name in dict.fromkeys(names_of(node.op_type) + list(SHAPE_DERIVED)):
        if name in carried:
            continue
        want = expected(node.op_type, name, g.opset, in0, in1)
        where = f"{node.op_type}.{name} (node {node.name!r}, opset {g.opset}, inputs {in0}, {in1})"
        if want is RAISES:
            with pytest.raises(Exception):
                g.get_attr(node, name)
            continue
        got = g.get_attr(node, name)
        assert same(got, want), f"{where}: {got!r}, expected {want!r}"
        checked += 1
    return checked


@pytest.mark.parametrize("opset", OPSETS)
def test_every_default_through_get_attr(ir, opset):
    g = ir.IRGraph(sweep_model(opset))
    assert g.opset == opset and len(g.node) == 96 * len(VARIANTS)
    checked = 0
    for node in g.node:
        s0, s1 = VARIANTS[node.name.rsplit("_", 1)[1]]
        checked += check_defaults(g, node, s0 or [], s1 or [])
    assert checked > 200 * len(VARIANTS)


def test_versioned_lookup_and_completion_cases(ir):
    """Values written out, not computed by expected()."""
    graphs = {opset: ir.IRGraph(sweep_model(opset)) for opset in (10, 13, 17, 18, 19)}

    def read(opset, op, name, variant="rank4"):
        g = graphs[opset]
        return g.get_attr(g.node[ORDER.index(op) + 96 * list(VARIANTS).index(variant)], name)

    assert read(10, "AveragePool", "pads") is None, "below the first version: nothing"
    assert read(18, "AveragePool", "dilations") is None
    assert read(19, "AveragePool", "dilations") == [1, 1]
    assert read(13, "Split", "split") == [] and read(10, "Split", "split") is None
    assert read(18, "ReduceMean", "axes") == [], "a name the newest version lacks comes from older"
    assert read(17, "ReduceSum", "noop_with_empty_axes") == 0
    assert read(17, "ReduceMean", "noop_with_empty_axes") is None
    assert read(18, "ReduceMean", "noop_with_empty_axes") == 0
    for op, name in (("Cast", "saturate"), ("CastLike", "saturate"), ("QuantizeLinear", "saturate"),
                     ("Reshape", "allowzero")):
        assert read(18, op, name) is None and read(19, op, name) == 1 - (op == "Reshape")
    assert read(17, "Shape", "start") == 0 and read(13, "Shape", "start") is None
    assert read(17, "Trilu", "upper") == 1 and read(13, "Trilu", "upper") is None
    assert read(10, "Softmax", "axis") is None and read(13, "Softmax", "axis") == -1
    assert read(17, "LpPool", "dilations") is None and read(18, "LpPool", "ceil_mode") == 0
    assert read(13, "Conv", "pads") == [0, 0, 0, 0] and read(13, "Conv", "strides") == [1, 1]
    assert read(13, "Conv", "strides", "rank3") == [1]
    assert read(13, "Conv", "dilations", "rank5") == [1, 1, 1]
    assert read(13, "ConvTranspose", "output_padding", "rank5") == [0, 0, 0]
    assert read(13, "Conv", "pads", "unknown") == [0, 0] == read(13, "Conv", "pads", "scalar")
    assert read(13, "Conv", "pads", "rank2") == []
    assert read(13, "Conv", "kernel_shape") == [5, 7]
    assert read(13, "Conv", "kernel_shape", "rank2") == []
    assert read(13, "Conv", "kernel_shape", "unknown") is None
    assert read(13, "Transpose", "perm") == [3, 2, 1, 0]
    assert read(13, "Transpose", "perm", "rank2") == [1, 0]
    assert read(13, "MeanVarianceNormalization", "axes", "rank5") == [0, 2, 3], "not per axis"
    assert read(13, "Gemm", "alpha") == 1.0 and read(13, "Gemm", "transA") == 0


def test_get_attr_failures_flags_and_caller_copies(ir):
    x = helper.make_tensor_value_info("x", F, [1, 3, 8, 8])
    w = helper.make_tensor_value_info("w", F, [4, 3, 3, 3])
    nodes = [helper.make_node("Conv", ["x", "w"], ["c"], name="conv", pads=[1, 1, 1, 1],
                              auto_pad="SAME_UPPER"),
             helper.make_node("Split", ["c"], ["s0", "s1"], name="split", axis=1),
             helper.make_node("Transpose", ["s0"], ["t"], name="transpose"),
             helper.make_node("Relu", ["t"], ["r"], name="relu"),
             helper.make_node("ConstantOfShape", ["shape"], ["k"], name="cos"),
             helper.make_node("Mystery", ["x"], ["m"], name="mystery", domain="tarq.test")]
    shape = helper.make_tensor("shape", TensorProto.INT64, [1], [2])
    graph = helper.make_graph(nodes, "g", [x, w],
                              [helper.make_tensor_value_info(n, F, None) for n in "rs1km"],
                              [shape])
    g = ir.IRGraph(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 13),
                                                           helper.make_opsetid("tarq.test", 1)]))
    conv, split, transpose, relu, cos, mystery = g.node
    assert g.get_attr(conv, "pads") == [1, 1, 1, 1], "carried: exactly the node's list"
    assert g.get_attr(conv, "auto_pad") == "SAME_UPPER", "a STRING comes back as str"
    assert g.get_attr(conv, "kernel_shape") == [3, 3]
    assert g.get_attr(split, "axis") == 1 and g.get_attr(split, "split") == []
    assert g.get_attr(transpose, "perm") == [3, 2, 1, 0]
    # No default asked for: None, even for a type of the table and a name it lists.
    for node, name in ((conv, "strides"), (split, "split"), (relu, "alpha"), (mystery, "x")):
        assert g.get_attr(node, name, False) is None
        assert g.get_attr(node, name, ret_def_attr=False) is None
    assert g.get_attr(conv, "pads", False) == [1, 1, 1, 1]
    assert g.get_attr(conv, "nonesuch") is None, "a listed type without that name"
    for node in (relu, mystery):
        with pytest.raises(KeyError, match=node.op_type):
            g.get_attr(node, "alpha")
    value = g.get_attr(cos, "value")
    assert value.dtype == np.float32 and value.shape == () and value == 0.0
    # Whatever the caller does with a value, the next read is unchanged.
    for node, name, want in ((conv, "pads", [1, 1, 1, 1]), (conv, "strides", [1, 1]),
                             (conv, "kernel_shape", [3, 3]), (split, "split", []),
                             (transpose, "perm", [3, 2, 1, 0])):
        got = g.get_attr(node, name)
        try:
            got.append(99)
        except TypeError:
            pass
        assert g.get_attr(node, name) == want, f"{node.name}.{name}"
    try:
        value[...] = 5.0
    except ValueError:
        pass
    table = ir.IRGraph.def_attr
    assert g.get_attr(cos, "value") == 0.0 and table["ConstantOfShape"]["value"] == 0.0
    assert table["Split"][11]["split"] == [] and table["Conv"]["pads"] == [0, 0]
    # Inputs the completion needs but the node lacks, or the graph does not know.
    transpose.input[0] = conv.input[0] = "nowhere"
    assert g.get_attr(conv, "strides") == [1], "no shape: the list as the table has it"
    with pytest.raises(Exception):
        g.get_attr(transpose, "perm")
    conv.input.pop()
    with pytest.raises(IndexError):
        g.get_attr(conv, "kernel_shape")
    del transpose.input[:]
    with pytest.raises(IndexError):
        g.get_attr(transpose, "perm")
    assert g.get_attr(transpose, "strides") is None, "Transpose lists no strides: no completion"


# ---- real models nobody here wrote

def shapes_known(model):
    """Tensor name -> shape as the graph records it: value information of the
    graph's inputs, outputs and intermediates (empty when it has no shape),
    initializer dims."""
    graph = model.graph
    out = {}
    for vi in list(graph.input) + list(graph.value_info) + list(graph.output):
        t = vi.type.tensor_type
        if not vi.type.HasField("tensor_type"):
            continue
        dims = [d.dim_value if d.HasField("dim_value") else d.dim_param if d.HasField("dim_param")
                else None for d in t.shape.dim] if t.HasField("shape") else []
        out.setdefault(vi.name, dims)
    for c in graph.initializer:
        out.setdefault(c.name, list(c.dims))
    return out


def real_models():
    found = sorted(glob.glob(os.path.join(TESTDATA, "*", "*", "model.onnx")))
    return found + light_models()


def test_defaults_of_real_nodes(ir):
    """Nodes of the ONNX backend test models (opsets up to 17) and of the light
    architectures: every attribute a node of a type of the table leaves out
    reads the default for the model's opset, completed from the shapes the
    graph knows; every attribute it carries reads as the node holds it."""
    models = real_models()
    assert len(models) > 1000
    checked, carried, types, opsets, skipped = 0, 0, set(), set(), []
    for path in models:
        try:
            g = ir.IRGraph(onnx.load(path))
        except Exception as e:  # a model the graph refuses is another test's concern
            skipped.append((path, e))
            continue
        known = shapes_known(ir.to_onnx(g.model))
        shape = lambda node, i: known.get(node.input[i]) if len(node.input) > i else None
        for node in g.node:
            for a in node.attribute:
                want = helper.get_attribute_value(ir.to_onnx(a))
                if a.type == onnx.AttributeProto.STRING:
                    want = want.decode()
                got = g.get_attr(node, a.name)
                if a.type in (onnx.AttributeProto.TENSOR, onnx.AttributeProto.GRAPH):
                    assert got == want, f"{path}: {node.op_type}.{a.name}"
                else:
                    assert got == want or (isinstance(want, float) and np.isnan(want)), (
                        f"{path}: {node.op_type}.{a.name}: {got!r} != {want!r}")
                carried += 1
            if node.op_type not in DEFAULTS:
                continue
            n = check_defaults(g, node, shape(node, 0), shape(node, 1))
            if n:
                types.add(node.op_type)
                opsets.add(g.opset)
                checked += n
    assert len(skipped) < len(models) // 20, skipped[:5]
    assert checked > 1000 and carried > 1000 and len(types) > 50 and len(opsets) >= 5, (
        checked, carried, sorted(types), sorted(opsets))
