"""The compiler-facing analyses: which producer/consumer pairs run as one
layer (can_fuse), the layer export's structure (create_ir_layers; its
numerical proof is test_ir_layers.py), the cost figures and the swap-up
marks, on real models where they show a rule and on small graphs where a
rule needs a precise setup.
"""
import collections
import logging

import numpy as np
import onnx
import pytest
from onnx import TensorProto as T
from onnx import helper as h
from onnx import numpy_helper as nh

from conftest import EXAMPLE, TESTDATA, light_models, ort_session, reads

TARGETS = ["mini", "c1", "d5", "d6", "e7", "e8k1", "g9"]


def vi(name, shape, elem=T.FLOAT):
    return h.make_tensor_value_info(name, elem, shape)


def const(name, array):
    return nh.from_array(np.asarray(array), name)


def model(nodes, inputs, outputs, inits=(), extra_opsets=()):
    graph = h.make_graph(nodes, "g", inputs, outputs, list(inits))
    m = h.make_model(graph, opset_imports=[h.make_opsetid("", 17), *extra_opsets])
    m.ir_version = 8
    return m


def light(name):
    return next(p for p in light_models() if p.endswith(name))


def layers_of(ir, g, **kw):
    views, frees, next_ids = g.create_ir_layers(log=False, **kw)
    return [ir.to_onnx(v) for v in views], frees, next_ids


def ops(layer):
    return [n.op_type for n in layer.graph.node]


def names(values):
    return [v.name for v in values]


# ---- can_fuse

def test_fuse_table_rows_admit_their_pairs_on_their_targets(ir):
    tab = ir.compiler_fuse_tab
    assert len(tab) == 23
    assert all(len(row["ops"]) == 2 for row in tab.values())
    assert {n: row["target"] for n, row in tab.items() if row["target"] != TARGETS} == {
        "dwconv_add": ["d5", "d6", "e7", "e8k1", "g9"]}

    # One graph per producer kind: a plain and a depthwise Conv, Add, Mul and
    # a batch normalisation, each followed by a Relu.
    rng = np.random.default_rng(0)
    x = vi("x", [1, 4, 8, 8])
    w = const("w", rng.standard_normal((4, 4, 3, 3)).astype(np.float32))
    dw = const("dw", rng.standard_normal((4, 1, 3, 3)).astype(np.float32))
    k = const("k", np.float32(0.5))
    bn = [const(n, np.ones(4, np.float32)) for n in ("s", "b", "m", "v")]
    producers = {
        "Conv": (h.make_node("Conv", ["x", "w"], ["p"], name="p", pads=[1, 1, 1, 1]), [w]),
        "DwConv": (h.make_node("Conv", ["x", "dw"], ["p"], name="p", pads=[1, 1, 1, 1], group=4),
                   [dw]),
        "Add": (h.make_node("Add", ["x", "k"], ["p"], name="p"), [k]),
        "Mul": (h.make_node("Mul", ["x", "k"], ["p"], name="p"), [k]),
        "BatchNormalization": (h.make_node("BatchNormalization", ["x", "s", "b", "m", "v"], ["p"],
                                           name="p"), bn),
    }
    graphs = {}
    for kind, (node, inits) in producers.items():
        graphs[kind] = ir.IRGraph(model([node, h.make_node("Relu", ["p"], ["y"], name="c")], [x],
                                        [vi("y", [1, 4, 8, 8])], inits))
    consumers = {row["ops"][1] for row in tab.values()} | {"MaxPool", "Conv", "Softmax"}
    for target in TARGETS + ["zz"]:
        for kind, g in graphs.items():
            g.npu_target = target
            for op in sorted(consumers):
                want = any(row["ops"] == [kind, op] and target in row["target"]
                           for row in tab.values())
                node2 = h.make_node(op, ["p"], ["q"], name="q")
                assert g.can_fuse(g.node[0], node2) is want, (target, kind, op)
    # The depthwise Conv and an Add: from d5 on, not on mini and c1.
    g = graphs["DwConv"]
    add = h.make_node("Add", ["p", "k"], ["q"], name="q")
    for target in TARGETS:
        g.npu_target = target
        assert g.can_fuse(g.node[0], add) is (target not in ("mini", "c1")), target


def _conv_kind(g, conv):
    """The kind can_fuse sees in a Conv: a Tanh follows only a plain Conv, a
    Relu (without the rectifier rule) a plain or depthwise one."""
    tanh = h.make_node("Tanh", [conv.output[0]], ["t"])
    relu = h.make_node("Relu", [conv.output[0]], ["r"])
    if g.can_fuse(conv, tanh):
        return "Conv"
    return "DwConv" if g.can_fuse(conv, relu) else "GroupConv"


def test_convolutions_of_real_models_are_told_apart_by_their_channels(ir):
    # ShuffleNet has group convolutions and depthwise ones, AlexNet two-group
    # ones, the OCR detector depthwise ones (at a free image size).
    from test_packaged_models import MODELS

    det = next(p for p in MODELS if p.endswith("ch_PP-OCRv4_det_infer.onnx"))
    expected = {"light_shufflenet.onnx": {"Conv": 1, "DwConv": 16, "GroupConv": 32},
                "light_bvlc_alexnet.onnx": {"Conv": 2, "GroupConv": 3},
                "ch_PP-OCRv4_det_infer.onnx": {"Conv": 48, "DwConv": 14}}
    for path in (light("light_shufflenet.onnx"), light("light_bvlc_alexnet.onnx"), det):
        g = ir.IRGraph(ir.load_model(path), initializer_dat={})
        kinds = collections.Counter()
        for conv in (n for n in g.node if n.op_type == "Conv"):
            kind = _conv_kind(g, conv)
            group = g.get_attr(conv, "group")
            channels = (g.get_shape(conv.input[0])[1], g.get_shape(conv.output[0])[1],
                        g.get_shape(conv.input[1])[0])
            assert kind == ("Conv" if group == 1 else
                            "DwConv" if channels == (group,) * 3 else "GroupConv"), conv.name
            kinds[kind] += 1
            # A group convolution is in no row, but a rectifier may follow it.
            relu = h.make_node("Relu", [conv.output[0]], ["r"])
            assert g.can_fuse(conv, relu, relu=True)
        assert dict(kinds) == expected[path.rsplit("/", 1)[-1]]

    # One group per input channel but two outputs per group: a group convolution.
    x = vi("x", [1, 4, 8, 8])
    w = const("w", np.ones((8, 1, 3, 3), np.float32))
    g = ir.IRGraph(model([h.make_node("Conv", ["x", "w"], ["y"], name="c", group=4)], [x],
                         [vi("y", [1, 8, 6, 6])], [w]))
    assert _conv_kind(g, g.node[0]) == "GroupConv"


def test_rectifiers_follow_any_standard_producer_only_when_asked(ir):
    assert "exGelu" in ir.companions.get_extend_ops()  # an extended operator the graph knows
    w = const("w", np.ones((4, 4), np.float32))
    lo, hi = const("lo", np.float32(0)), const("hi", np.float32(6))
    m = model([h.make_node("MatMul", ["x", "w"], ["mm"], name="mm"),
               h.make_node("Clip", ["mm", "lo", "hi"], ["c"], name="clip"),
               h.make_node("exGelu", ["c"], ["gl"], name="gelu"),
               h.make_node("Relu", ["gl"], ["y"], name="relu")],
              [vi("x", [2, 4])], [vi("y", [2, 4])], [w, lo, hi])
    g = ir.IRGraph(m)
    mm, clip, gelu, relu = g.node
    assert not g.can_fuse(mm, clip) and g.can_fuse(mm, clip, relu=True)
    sigmoid = h.make_node("Sigmoid", ["mm"], ["s"])
    assert not g.can_fuse(mm, sigmoid, relu=True)  # the rule covers Relu and Clip only
    assert not g.can_fuse(gelu, relu, relu=True)  # never after an extended operator
    assert not g.can_fuse(gelu, h.make_node("Clip", ["gl"], ["q"]), relu=True)
    # An extended consumer from a table row: a Conv followed by exGelu.
    conv = h.make_node("Conv", ["x4", "k"], ["cv"], name="conv")
    m = model([conv, h.make_node("exGelu", ["cv"], ["y"], name="gelu")],
              [vi("x4", [1, 2, 4, 4])], [vi("y", [1, 2, 4, 4])],
              [const("k", np.ones((2, 2, 1, 1), np.float32))])
    g = ir.IRGraph(m)
    assert g.can_fuse(g.node[0], g.node[1])
    g.npu_target = "zz"  # a target no row names: only the rectifier rule is left
    assert not g.can_fuse(g.node[0], g.node[1], relu=True)
    assert g.can_fuse(g.node[0], h.make_node("Relu", ["cv"], ["r"]), relu=True)


def test_fake_converted_inputs_and_nodes_off_the_npu_veto_fusion(ir):
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    conv, relu = g.node[8], g.node[9]  # block3: Conv -> Relu
    t = conv.output[0]
    assert relu.input[0] == t and g.can_fuse(conv, relu)
    # quant_tab: a record of the consumer's input holding "fake_convert".
    for tab, want in (({t: {"fake_convert": True}}, False), ({t: {"fake_convert": None}}, False),
                      ({t: {"scale": 0.5}}, True), ({t: {}}, True), ({}, True), (None, True)):
        before = repr(tab)
        assert g.can_fuse(conv, relu, quant_tab=tab) is want, tab
        assert repr(tab) == before, "quant_tab is only read"
    with pytest.raises(KeyError):
        g.can_fuse(conv, relu, quant_tab={"other": {}})
    # A pair no rule admits is refused before quant_tab is read.
    assert not g.can_fuse(g.node[0], g.node[1], quant_tab={"other": {}})

    # op_target: either node's output 0 on the CPU or GPU.
    for target, want in (({t: "cpu"}, False), ({t: "gpu"}, False),
                         ({relu.output[0]: "cpu"}, False), ({t: "npu"}, True),
                         ({t: "CPU"}, True), ({"block2/conv_out": "cpu"}, True), ({}, True)):
        g.op_target = target
        assert g.can_fuse(conv, relu) is want, target
        layers, _, _ = layers_of(ir, g, fuse_op=True)
        assert (["Conv", "Relu"] in [ops(la) for la in layers]) is want, target
    g.op_target = None

    # The default quant_tab is one empty dict for every call: a fused export
    # (which reads it for every pair) leaves it empty.
    layers_of(ir, g, fuse_op=True)
    assert g.can_fuse(conv, relu) and g.can_fuse(conv, relu, quant_tab={})
    # Through the export: a veto keeps the pair apart; a table without the
    # consumer's input is a KeyError.
    tab = {n: {} for n in g.operands}
    tab[t] = {"fake_convert": 1}
    layers, _, _ = layers_of(ir, g, fuse_op=True, quant_tab=tab)
    assert ["Conv"] in [ops(la) for la in layers] and ["Conv", "Relu"] not in [
        ops(la) for la in layers]
    g.rebuild()
    with pytest.raises(KeyError):
        layers_of(ir, g, fuse_op=True, quant_tab={"input": {}})


# ---- create_ir_layers: structure

def test_layers_are_the_nodes_in_order_named_after_them(ir):
    lo = const("lo", np.float32(0))
    m = model([h.make_node("Relu", ["x"], ["r"], name=""),
               h.make_node("Neg", ["r"], ["n"], name=" \t"),
               h.make_node("Max", ["n", "lo"], ["y"], name="max")],
              [vi("x", [2, 3])], [vi("y", [2, 3])], [lo],
              [h.make_opsetid("ai.onnx.ml", 3)])
    g = ir.IRGraph(m)
    layers, frees, next_ids = layers_of(ir, g)
    assert [la.graph.name for la in layers] == ["r", "n", "max"]  # blank names: output 0
    for node, la in zip(g.node, layers):
        assert list(la.graph.node) == [onnx.NodeProto.FromString(node.SerializeToString())]
        assert {(o.domain, o.version) for o in la.opset_import} == {("", 17), ("ai.onnx.ml", 3)}
        onnx.checker.check_model(la)
    assert names(layers[0].graph.input) == ["x"] and names(layers[0].graph.output) == ["r"]
    assert names(layers[2].graph.input) == ["n", "lo"]  # a constant: input and initializer
    assert names(layers[2].graph.initializer) == ["lo"]
    assert [d.dim_value for d in layers[1].graph.input[0].type.tensor_type.shape.dim] == [2, 3]
    assert list(map(list, frees)) == list(map(list, g.can_frees))
    assert next_ids == {"x": [0], "r": [1], "n": [2]}


def test_fusion_joins_a_producer_and_its_only_consumer_and_extends_can_frees(ir):
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    before = [list(f) for f in g.can_frees]
    position = {n.name: i for i, n in enumerate(g.node)}
    layers, frees, next_ids = layers_of(ir, g, fuse_op=True)
    # Conv -> BatchNormalization has no row; BN -> Relu, Add -> Relu and
    # Conv -> Relu have; the BN before the Add has a consumer that reads two
    # computed tensors.
    assert [ops(la) for la in layers] == [
        ["Conv"], ["BatchNormalization", "Relu"], ["Conv"], ["BatchNormalization"],
        ["Add", "Relu"], ["MaxPool"], ["Conv", "Relu"], ["GlobalAveragePool"], ["Flatten"],
        ["Gemm"], ["Softmax"]]
    conv3 = layers[6]
    assert conv3.graph.name == "block3/Conv"
    assert names(conv3.graph.input) == ["pool/out", "block3.conv.weight", "block3.conv.bias"]
    assert names(conv3.graph.output) == ["block3/relu_out"]
    assert "block3/conv_out" not in next_ids
    # The fused layer frees what both nodes free, and so does the graph's own
    # list of the producer (until a rebuild recomputes it).
    c, r = position["block3/Conv"], position["block3/Relu"]
    assert list(frees[6]) == before[c] + before[r] == list(g.can_frees[c])
    assert list(frees[1]) == before[1] + before[2]
    g.rebuild()
    assert [list(f) for f in g.can_frees] == before
    g.verify()


def test_exporting_again_gives_the_same_free_lists(ir):
    # Layers made per shape configuration, fused: each export frees each
    # tensor once, as the first did.
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    g.update_dynamic_shapes({g.inputs[0]: [[1, 3, 32, 32], [2, 3, 32, 32]]})
    g.update_dynamic_shapes()
    _, first, _ = layers_of(ir, g, fuse_op=True, dynamic_idx=0)
    _, second, _ = layers_of(ir, g, fuse_op=True, dynamic_idx=1)
    assert [list(f) for f in second] == [list(f) for f in first]
    assert all(len(set(f)) == len(f) for f in second)


def test_exports_in_a_row_see_every_edit_made_between_them(ir):
    # Exports of an unchanged model reuse one shape inference; edits made
    # through views in between, which no table of the graph notices, and a
    # change of the extended-operator registry must still reach the layers.
    m = model([h.make_node("Reshape", ["x", "shape"], ["y"], name="reshape"),
               h.make_node("exSwish", ["y"], ["z"], name="swish")],
              [vi("x", ["n", 6])], [vi("z", None)], [const("shape", np.array([0, 2, 3]))])
    g = ir.IRGraph(m)

    def dims(value_info):
        return [d.dim_value or d.dim_param for d in value_info.type.tensor_type.shape.dim]

    def shapes():
        layers, _, _ = layers_of(ir, g)
        return dims(layers[0].graph.output[0]), dims(layers[1].graph.output[0])

    first, _, _ = layers_of(ir, g)
    again, _, _ = layers_of(ir, g)
    assert [la.SerializeToString() for la in again] == [la.SerializeToString() for la in first]
    assert shapes() == (["n", 2, 3], ["n", 2, 3])

    g.model.graph.input[0].type.tensor_type.shape.dim[0].dim_value = 5
    assert shapes()[0] == [5, 2, 3]
    for value_info in (g.model.graph.value_info[0], g.model.graph.output[0]):
        value_info.type.tensor_type.ClearField("shape")   # z is then completed as its input
    assert shapes() == ([5, 2, 3], [5, 2, 3])
    g.model.graph.initializer[0].raw_data = np.array([0, 3, 2], np.int64).tobytes()
    assert shapes() == ([5, 3, 2], [5, 3, 2])
    assert dims(first[0].graph.output[0]) == ["n", 2, 3]   # the first export's layers stay as made

    registry = ir.companions.get_extend_ops()
    try:
        ir.companions.set_extend_ops({**registry, "exSwish": False})   # no longer shaped like its input
        assert shapes() == ([5, 3, 2], [])
    finally:
        ir.companions.set_extend_ops(registry)
    assert shapes() == ([5, 3, 2], [5, 3, 2])


def test_fusion_needs_the_consumer_to_read_only_the_producer_through_input_0(ir):
    w = const("w", np.ones((4, 4, 1, 1), np.float32))
    k = const("k", np.ones((1, 4, 1, 1), np.float32))
    x = vi("x", [1, 4, 2, 2])
    y = vi("y", [1, 4, 2, 2])
    conv = h.make_node("Conv", ["x", "w"], ["c"], name="conv")

    def fused(nodes, outputs=(y,)):
        g = ir.IRGraph(model([conv, *nodes], [x], list(outputs), [w, k]))
        layers, _, _ = layers_of(ir, g, fuse_op=True)
        return [ops(la) for la in layers]

    assert fused([h.make_node("Add", ["c", "k"], ["y"], name="add")]) == [["Conv", "Add"]]
    # conv_add is a row, but the Add reads a second computed tensor,
    assert fused([h.make_node("Add", ["c", "x"], ["y"], name="add")]) == [["Conv"], ["Add"]]
    # or reads the Conv through its input 1,
    assert fused([h.make_node("Add", ["k", "c"], ["y"], name="add")]) == [["Conv"], ["Add"]]
    # or the Conv's output is a graph output too,
    assert fused([h.make_node("Relu", ["c"], ["y"], name="relu")],
                 [y, vi("c", [1, 4, 2, 2])]) == [["Conv"], ["Relu"]]
    # or the Conv has a second consumer.
    assert fused([h.make_node("Relu", ["c"], ["y"], name="relu"),
                  h.make_node("Neg", ["c"], ["z"], name="neg")],
                 [y, vi("z", [1, 4, 2, 2])]) == [["Conv"], ["Relu"], ["Neg"]]


def test_readers_of_each_tensor_are_listed_once_in_order(ir):
    w = const("w", np.ones((2, 3), np.float32))
    m = model([h.make_node("Relu", ["x"], ["r"], name="relu"),
               h.make_node("Add", ["x", "w"], ["a"], name="addw"),
               h.make_node("Mul", ["r", "r"], ["m"], name="square"),
               h.make_node("Sub", ["m", "w"], ["s"], name="subw"),
               h.make_node("Add", ["r", "s"], ["y"], name="add")],
              [vi("x", [2, 3])], [vi("y", [2, 3]), vi("a", [2, 3])], [w])
    g = ir.IRGraph(m)
    layers, frees, next_ids = layers_of(ir, g)
    # A graph input read by two nodes is an input of both layers; a tensor
    # read twice by one node is listed once; constants are held, not listed.
    assert next_ids == {"x": [0, 1], "r": [2, 4], "m": [3], "s": [4]}
    assert [names(la.graph.input) for la in layers] == [
        ["x"], ["x", "w"], ["r"], ["m", "w"], ["r", "s"]]
    assert [names(la.graph.initializer) for la in layers] == [[], ["w"], [], ["w"], []]
    assert [list(f) for f in frees] == [[], ["x"], [], ["m"], ["r", "s"]]
    x = np.arange(6, dtype=np.float32).reshape(2, 3) - 2
    env = {"x": x}
    for la in layers:
        fed = [n for n in names(la.graph.input) if n not in names(la.graph.initializer)]
        env.update(zip(names(la.graph.output), ort_session(la).run(None, {n: env[n] for n in fed})))
    r = np.maximum(x, 0)
    np.testing.assert_allclose(env["y"], r + (r * r - 1))


def test_a_layer_takes_the_shapes_of_the_chosen_configuration(ir):
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    inp = g.inputs[0]
    configs = [[1, 3, 32, 32], [2, 3, 64, 48]]
    g.update_dynamic_shapes({inp: configs})
    g.update_dynamic_shapes()
    before = g.model.SerializeToString()

    def dims(value_info):
        return [d.dim_value for d in value_info.type.tensor_type.shape.dim]

    for idx, (batch, height, width) in ((0, (1, 32, 32)), (1, (2, 64, 48))):
        layers, _, _ = layers_of(ir, g, dynamic_idx=idx)
        assert dims(layers[0].graph.input[0]) == [batch, 3, height, width]
        assert dims(layers[0].graph.output[0]) == [batch, 8, height, width]
        assert dims(layers[7].graph.output[0]) == [batch, 8, height // 2, width // 2]  # pool
        assert dims(layers[-1].graph.output[0]) == [batch, 10]
    assert g.model.SerializeToString() == before

    # The layers of configuration 1 compute the model at that size.
    original = onnx.load(EXAMPLE)
    for k, d in enumerate(original.graph.input[0].type.tensor_type.shape.dim):
        d.Clear()
        d.dim_param = f"d{k}"
    x = np.random.default_rng(1).standard_normal(configs[1]).astype(np.float32)
    want = ort_session(original).run(None, {inp: x})[0]
    env = {inp: x}
    for la in layers:
        onnx.checker.check_model(la)
        fed = [n for n in names(la.graph.input) if n not in names(la.graph.initializer)]
        outs = ort_session(la).run(None, {n: env[n] for n in fed})
        for vi_, out in zip(la.graph.output, outs):
            assert dims(vi_) == list(out.shape), vi_.name
        env.update(zip(names(la.graph.output), outs))
    np.testing.assert_allclose(env["probabilities"], want, rtol=1e-4, atol=1e-5)


def test_a_layer_with_subgraphs_takes_what_they_read_from_outside(ir):
    g = ir.IRGraph(_nested_if())
    layers, frees, next_ids = layers_of(ir, g)
    assert set(names(layers[1].graph.input)) == {"c", "x", "r", "w"}
    assert names(layers[1].graph.initializer) == ["w"]
    assert next_ids["r"] == [1, 2] and next_ids["x"] == [0, 1] and next_ids["c"] == [1]
    onnx.checker.check_model(layers[1])
    x = np.float32([-1, 2])
    for c, want in ((True, x + np.maximum(x, 0)), (False, np.maximum(x, 0) * [2, 3])):
        feeds = {"c": np.array(c), "x": x, "r": np.maximum(x, 0)}
        got = ort_session(layers[1]).run(None, feeds)[0]
        np.testing.assert_allclose(got, want)

    # Real control flow: the speech model's If and the range export's Loop.
    from test_packaged_models import MODELS

    for path in (MODELS[0], f"{TESTDATA}/node/test_range_float_type_positive_delta_expanded/"
                            "model.onnx"):
        original = onnx.load(path)
        g = ir.IRGraph(ir.load_model(path), initializer_dat={})
        layers, _, next_ids = layers_of(ir, g)
        flow = [k for k, n in enumerate(original.graph.node) if n.op_type in ("If", "Loop")]
        assert flow
        for k in flow:
            assert set(names(layers[k].graph.input)) == reads(original.graph.node[k]), path
            outer = reads(original.graph.node[k]) - set(original.graph.node[k].input)
            assert outer and all(k in next_ids[t] for t in outer
                                 if t not in names(layers[k].graph.initializer))


def _nested_if():
    """An If whose branches (one holding another If) read tensors of the
    graph around it: a computed one, a graph input and a constant."""
    inner = h.make_graph([h.make_node("Add", ["x", "r"], ["io"], name="inner_add")], "inner", [],
                         [vi("io", [2])])
    then = h.make_graph([h.make_node("If", ["c"], ["t"], name="nested", then_branch=inner,
                                     else_branch=inner)], "then", [], [vi("t", [2])])
    other = h.make_graph([h.make_node("Mul", ["r", "w"], ["e"], name="mul")], "else", [],
                         [vi("e", [2])])
    return model([h.make_node("Relu", ["x"], ["r"], name="relu"),
                  h.make_node("If", ["c"], ["y"], name="if", then_branch=then, else_branch=other),
                  h.make_node("Neg", ["r"], ["z"], name="neg")],
                 [vi("x", [2]), vi("c", [], T.BOOL)], [vi("y", [2]), vi("z", [2])],
                 [const("w", np.float32([2, 3]))])


def test_a_tensor_read_inside_a_subgraph_is_freed_no_earlier_than_its_reader(ir):
    path = f"{TESTDATA}/node/test_range_float_type_positive_delta_expanded/model.onnx"
    early = []
    for name, g in (("range", ir.IRGraph(ir.load_model(path))), ("nested If", ir.IRGraph(
            _nested_if()))):
        _, frees, next_ids = layers_of(ir, g)
        for k, names_ in enumerate(frees):
            early += [f"{name}: layer {k} frees {t!r}, layer {max(next_ids[t])} reads it"
                      for t in names_ if max(next_ids.get(t, [k])) > k]
    assert not early, early


def test_other_domains_keep_their_opset_imports(ir):
    m = model([h.make_node("Relu", ["x"], ["r"], name="relu"),
               h.make_node("Binarizer", ["r"], ["b"], name="bin", domain="ai.onnx.ml",
                           threshold=0.5),
               h.make_node("Neg", ["b"], ["y"], name="neg")],
              [vi("x", [2, 3])], [vi("y", [2, 3])], extra_opsets=[h.make_opsetid("ai.onnx.ml", 3)])
    x = np.random.default_rng(0).standard_normal((2, 3)).astype(np.float32)
    want = ort_session(m).run(None, {"x": x})[0]
    g = ir.IRGraph(m)
    for fuse in (False, True):
        layers, _, _ = layers_of(ir, g, fuse_op=fuse)
        env = {"x": x}
        for la in layers:
            assert {(o.domain, o.version) for o in la.opset_import} == {("", 17),
                                                                        ("ai.onnx.ml", 3)}
            onnx.checker.check_model(la)
            env.update(zip(names(la.graph.output),
                           ort_session(la).run(None, {la.graph.input[0].name:
                                                      env[la.graph.input[0].name]})))
        np.testing.assert_array_equal(env["y"], want)
    # A model of one other domain only: an optimiser step of the training preview.
    path = f"{TESTDATA}/node/test_adam/model.onnx"
    layers, _, _ = layers_of(ir, ir.IRGraph(ir.load_model(path)))
    assert {(o.domain, o.version) for o in layers[0].opset_import} == {
        (o.domain, o.version) for o in onnx.load(path).opset_import}
    onnx.checker.check_model(layers[0])


def test_a_layer_that_cannot_be_valid_is_reported(ir, caplog):
    # An operator of a domain nobody knows: its output has no value
    # information, so its reader's layer lacks an input.
    m = model([h.make_node("Foo", ["x"], ["a"], name="foo", domain="my.ops"),
               h.make_node("Relu", ["a"], ["y"], name="relu")],
              [vi("x", [1, 4])], [vi("y", [1, 4])], extra_opsets=[h.make_opsetid("my.ops", 1)])
    g = ir.IRGraph(m)
    with caplog.at_level(logging.ERROR, logger="tarq"):
        layers, _, _ = layers_of(ir, g)
    said = [(r.levelno, r.getMessage()) for r in caplog.records if r.name == "tarq"]
    assert said[:2] == [(logging.ERROR, "Should didnot run into this for 'a' ..."),
                        (logging.ERROR, "Can not find tensor value info for 'a'!")]
    assert len(said) == 3 and said[2][1].startswith(
        "create_ir_layers: layer 1 ('relu') is not a valid model: ")
    assert names(layers[0].graph.output) == [] and names(layers[1].graph.input) == []


def test_a_report_handler_that_edits_the_reported_node(ir):
    # Both outputs of a node nobody knows lack value information; the
    # handler of the first report takes the node's outputs away.
    m = model([h.make_node("Foo", ["x"], ["a", "b"], name="foo", domain="my.ops")],
              [vi("x", [1, 4])], [], extra_opsets=[h.make_opsetid("my.ops", 1)])
    g = ir.IRGraph(m)
    said = []

    class Editor(logging.Handler):
        def emit(self, record):
            said.append(record.getMessage())
            del g.node[0].output[:]

    logger = logging.getLogger("tarq")
    editor = Editor(logging.ERROR)
    logger.addHandler(editor)
    try:
        layers, _, _ = layers_of(ir, g)
    finally:
        logger.removeHandler(editor)
    assert said[0] == "Should didnot run into this for 'a' ..."
    assert said[1] == "Should didnot run into this for '' ..."
    assert len(layers) == 1 and names(layers[0].graph.output) == []


def test_reports_of_invalid_layers_do_not_depend_on_the_weight_cache(ir, caplog):
    # A Reshape to a target of unknown length leaves its output without a
    # rank: its layer is not valid, nor is that of the Shape that reads it.
    w = const("w", np.ones((2, 6), np.float32))
    m = model([h.make_node("Add", ["x", "w"], ["a"], name="add"),
               h.make_node("Reshape", ["a", "s"], ["r"], name="reshape"),
               h.make_node("Shape", ["r"], ["y"], name="shape")],
              [vi("x", [2, 6]), vi("s", ["n"], T.INT64)], [vi("y", [None], T.INT64)], [w])
    reported = {}
    for cache in (None, {}):
        g = ir.IRGraph(onnx.load_from_string(m.SerializeToString()), initializer_dat=cache)
        caplog.clear()
        with caplog.at_level(logging.ERROR, logger="tarq"):
            layers, _, _ = layers_of(ir, g)
        reported[cache is not None] = sorted(
            r.getMessage().split(" is not a valid model")[0] for r in caplog.records
            if "is not a valid model" in r.getMessage())
        invalid = []
        for k, la in enumerate(layers):
            for t in la.graph.initializer:
                if cache and t.name in cache:
                    t.CopyFrom(nh.from_array(np.asarray(cache[t.name]), t.name))
            try:
                onnx.checker.check_model(la)
            except onnx.checker.ValidationError:
                invalid.append(f"create_ir_layers: layer {k} ('{la.graph.name}')")
        assert reported[cache is not None] == invalid, f"cache: {cache is not None}"
    assert reported[False] == reported[True]


def test_a_node_of_blank_name_without_output_0_names_its_layer(ir):
    # A recurrent node that gives only its last state, as exporters write it.
    path = f"{TESTDATA}/node/test_lstm_defaults/model.onnx"
    original = onnx.load(path)
    assert original.graph.node[0].output[0] == "" and not original.graph.node[0].name
    layers, _, _ = layers_of(ir, ir.IRGraph(ir.load_model(path)))
    assert layers[0].graph.name.strip()
    onnx.checker.check_model(layers[0])


# ---- cost figures

def test_cost_figures_count_parameters_and_multiply_accumulates(ir):
    def figures(nodes, inputs, outputs, inits=()):
        return ir.IRGraph(model(nodes, inputs, outputs, inits)).calc_params_tflops()

    # Nothing to count; then one 1 MiB weight of a node counted as nothing.
    assert figures([h.make_node("Softmax", ["x"], ["y"], name="sm")], [vi("x", [2, 3])],
                   [vi("y", [2, 3])]) == (0.0, 0.0)
    big = const("big", np.zeros((256, 1024), np.float32))
    assert figures([h.make_node("Sub", ["x", "big"], ["y"], name="sub")], [vi("x", [256, 1024])],
                   [vi("y", [256, 1024])], [big]) == (1.0, 0.0)

    # A 3x3 Conv of 16 to 32 channels with a bias at 32x32: 32768 outputs of
    # 16*9 products and the bias each.
    w = const("w", np.ones((32, 16, 3, 3), np.float32))
    b = const("b", np.ones(32, np.float32))
    mib, tflops = figures([h.make_node("Conv", ["x", "w", "b"], ["y"], name="conv",
                                       pads=[1, 1, 1, 1])],
                          [vi("x", [1, 16, 32, 32])], [vi("y", [1, 32, 32, 32])], [w, b])
    assert tflops == 2 * 4751360 / 1e12 and 4751360 == 32768 * (16 * 9 + 1)
    assert mib == (32 * 16 * 9 + 32) * 4 / 2 ** 20

    # Depthwise (one input channel per group, no bias), a transposed
    # convolution, a batch normalisation, an Add that broadcasts (its first
    # input counts), a MatMul, a Relu and a Softmax (nothing).
    inits = [const("dw", np.ones((8, 1, 3, 3), np.float32)),
             const("ct", np.ones((8, 2, 3, 3), np.float32)),
             *[const(n, np.ones(2, np.float32)) for n in ("s", "bb", "m", "v")],
             const("row", np.ones((1, 2, 10, 10), np.float32)),
             const("mw", np.ones((10, 5), np.float32))]
    nodes = [h.make_node("Conv", ["x", "dw"], ["d"], name="dw", group=8, pads=[1, 1, 1, 1]),
             h.make_node("ConvTranspose", ["d", "ct"], ["t"], name="ct"),
             h.make_node("BatchNormalization", ["t", "s", "bb", "m", "v"], ["n"], name="bn"),
             h.make_node("Add", ["row", "n"], ["a"], name="add"),
             h.make_node("MatMul", ["a", "mw"], ["mm"], name="mm"),
             h.make_node("Relu", ["mm"], ["r"], name="relu"),
             h.make_node("Softmax", ["r"], ["y"], name="sm")]
    g = ir.IRGraph(model(nodes, [vi("x", [3, 8, 8, 8])], [vi("y", [3, 2, 10, 5])], inits))
    assert g.get_shape("a") == [3, 2, 10, 10]
    macs = (3 * 8 * 8 * 8 * 9            # depthwise
            + 3 * 2 * 10 * 10 * (8 * 9)  # transposed: 8 input channels, 3x3
            + 2 * 3 * 2 * 10 * 10        # batch normalisation of 5 inputs
            + 1 * 2 * 10 * 10            # the Add's first input, not its output
            + 600 * 50                   # MatMul: first input times the second's size
            + 3 * 2 * 10 * 5)            # Relu
    params = 8 * 9 + 8 * 2 * 9 + 4 * 2 + 200 + 50
    assert g.calc_params_tflops() == (params * 4 / 2 ** 20, 2 * macs / 1e12)

    # A free batch size is no fixed shape: the count needs one.
    g = ir.IRGraph(model([h.make_node("Relu", ["x"], ["y"], name="relu")], [vi("x", ["N", 3])],
                         [vi("y", ["N", 3])]))
    with pytest.raises(ValueError):
        g.calc_params_tflops()

    # The example network, by hand: three convolutions, two normalisations,
    # three Relu, an Add and the classifier.
    macs = (8192 * (3 * 9 + 1) + 2 * 8192 + 8192 + 8192 * (8 * 9 + 1) + 2 * 8192 + 8192 + 8192
            + 4096 * (8 * 9 + 1) + 4096 + 16 * 160)
    params = sum(int(np.prod(t.dims)) for t in onnx.load(EXAMPLE).graph.initializer)
    for cache in (None, {}):  # weights in a cache count as well
        g = ir.IRGraph(ir.load_model(EXAMPLE), initializer_dat=cache)
        assert g.calc_params_tflops() == (params * 4 / 2 ** 20, 2 * macs / 1e12)


def test_unknown_shapes_are_value_errors_where_they_are_needed(ir):
    # A tensor after an operator nobody knows has no shape: a counted node or
    # a grouped Conv reading it cannot be measured or classified; a Softmax
    # (counted as nothing) needs no shape.
    w = const("w", np.ones((8, 1, 3, 3), np.float32))
    foo = h.make_node("Foo", ["x"], ["f"], name="foo", domain="my.ops")
    for reader, fails in ((h.make_node("Softmax", ["f"], ["y"], name="r"), False),
                          (h.make_node("Relu", ["f"], ["y"], name="r"), True),
                          (h.make_node("Conv", ["f", "w"], ["y"], name="r", group=4), True)):
        m = model([foo, reader], [vi("x", [1, 4, 8, 8])], [vi("y", None)],
                  [w] if reader.op_type == "Conv" else [], [h.make_opsetid("my.ops", 1)])
        g = ir.IRGraph(m)
        if not fails:
            assert g.calc_params_tflops() == (0.0, 0.0)
            continue
        with pytest.raises(ValueError):
            g.calc_params_tflops()
        if reader.op_type == "Conv":
            with pytest.raises(ValueError):
                g.can_fuse(g.node[1], h.make_node("Relu", ["y"], ["q"]))
    # The OCR recogniser at batch 1 has tensors that inference leaves without
    # a rank (a Reshape to a computed target), a Conv among their readers.
    from test_expand_batch import _pinned
    from test_packaged_models import MODELS

    rec = next(p for p in MODELS if p.endswith("ch_PP-OCRv4_rec_infer.onnx"))
    g = ir.IRGraph(_pinned(rec), initializer_dat={})
    with pytest.raises(ValueError):
        g.calc_params_tflops()


def test_node_frequencies_count_each_operator_in_ascending_order(ir):
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    freq = g.calc_node_freq()
    assert freq == {"Add": 1, "BatchNormalization": 2, "Conv": 3, "Flatten": 1, "Gemm": 1,
                    "GlobalAveragePool": 1, "MaxPool": 1, "Relu": 3, "Softmax": 1}
    assert list(freq) == sorted(freq)
    for path in (light("light_shufflenet.onnx"), light("light_inception_v2.onnx")):
        freq = ir.IRGraph(ir.load_model(path), initializer_dat={}).calc_node_freq()
        assert freq == collections.Counter(n.op_type for n in onnx.load(path).graph.node)
        assert list(freq) == sorted(freq)
    # Extended operators (lower case first) sort after the standard ones.
    m = model([h.make_node("exGelu", ["x"], ["a"], name="gelu"),
               h.make_node("Relu", ["a"], ["b"], name="relu"),
               h.make_node("Abs", ["b"], ["y"], name="abs")], [vi("x", [2])], [vi("y", [2])])
    assert list(ir.IRGraph(m).calc_node_freq().items()) == [("Abs", 1), ("Relu", 1), ("exGelu", 1)]


# ---- swap-up marks

@pytest.fixture
def swap_ops(ir):
    """The process-wide swap-up operator list, restored afterwards."""
    c = ir.companions
    saved = list(c.get_swap_ops())
    yield c
    c.set_swap_ops(saved)


def marks(g):
    return {name: g.operands[name].swap_up for name in g.operands}


def _chains():
    shape = const("shape", np.array([3, 2], np.int64))
    return model([h.make_node("Relu", ["x"], ["r"], name="relu"),  # two consumers
                  h.make_node("Transpose", ["r"], ["t"], name="t1", perm=[1, 0]),
                  h.make_node("Identity", ["t"], ["i"], name="id"),  # the chain goes on
                  h.make_node("Reshape", ["r", "shape"], ["rs"], name="rs"),  # a constant shape
                  h.make_node("Sigmoid", ["x"], ["s"], name="sig"),
                  h.make_node("Transpose", ["s"], ["u"], name="t2", perm=[1, 0])],  # one consumer
                 [vi("x", [2, 3])], [vi("i", [3, 2]), vi("rs", [3, 2]), vi("u", [3, 2])], [shape])


def test_swap_up_lists_single_input_chains_off_a_shared_tensor(ir, swap_ops):
    assert {"Reshape", "Transpose", "Flatten", "Squeeze", "Unsqueeze", "Identity"} <= set(
        swap_ops.get_swap_ops())
    g = ir.IRGraph(_chains())
    g.update_swap_up()
    assert marks(g) == {"x": 0, "r": 1, "t": 1, "i": 1, "rs": 1, "s": 0, "u": 0}
    assert list(g.node_swap_up) == ["t1", "id", "rs"]


def test_swap_up_keeps_the_marks_it_does_not_touch(ir, swap_ops):
    # A recomputation overwrites only the marks it sets: a tensor marked 1
    # by an earlier call keeps it, and a swappable node reading it is listed.
    g = ir.IRGraph(_chains())
    g.update_swap_up()
    assert len(g.node_swap_up) == 3
    swap_ops.set_swap_ops(["Identity"])
    g.update_swap_up()
    fresh = ir.IRGraph(_chains())
    fresh.update_swap_up()
    assert fresh.node_swap_up == [] and marks(fresh)["t"] == 0
    assert list(g.node_swap_up) == ["id"] and marks(g)["t"] == 1


def test_swap_up_merges_block_marked_tensors(ir, swap_ops):
    def graph(merge_inputs, extra=()):
        nodes = [h.make_node("Relu", ["x"], ["r"], name="relu"),
                 h.make_node("Transpose", ["r"], ["a"], name="ta", perm=[1, 0]),
                 h.make_node("Transpose", ["r"], ["b"], name="tb", perm=[1, 0]),
                 h.make_node("Add", merge_inputs, ["y"], name="add"), *extra]
        outs = [vi("y", [3, 2])] + [vi(n.output[0], None) for n in extra]
        g = ir.IRGraph(model(nodes, [vi("x", [2, 3])], outs))
        g.update_swap_up()
        return g

    # The same tensor twice is one operand: nothing is blocked.
    same = graph(["a", "a"], [h.make_node("Neg", ["b"], ["nb"], name="neg")])
    assert marks(same) == {"x": 0, "r": 1, "a": 1, "b": 1, "y": 0, "nb": 0}
    # Two marked tensors are both blocked. Their producers stand before the
    # Add, which the single pass in model order has passed: they stay listed.
    two = graph(["a", "b"])
    assert marks(two) == {"x": 0, "r": 1, "a": 0, "b": 0, "y": 0}
    # A swappable node that is not listed (its shape is computed, so it reads
    # two operands) blocks what it reads.
    computed = graph(["a", "a"], [h.make_node("Shape", ["b"], ["n"], name="shape"),
                                  h.make_node("Reshape", ["r", "n"], ["rs"], name="rs")])
    assert (marks(computed)["r"], marks(computed)["n"], marks(computed)["rs"]) == (0, 0, 0)
    for g in (same, two, computed):  # ta and tb (test_swap_up_lists_... checks the names)
        assert len(g.node_swap_up) == 2


def test_set_and_ban_swap_up_append_each_name_once(ir):
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    g.set_swap_up(["a", "b", "a"])
    g.set_swap_up(["b", "c"])
    assert list(g.node_swap_up) == ["a", "b", "c"]
    g.ban_swap_up(["block1/Conv", "block1/Conv"])
    g.ban_swap_up(["pool", "block1/Conv"])
    assert list(g.node_ban_swap_up) == ["block1/Conv", "pool"]
    # A recomputation starts the list anew and leaves the bans.
    g.update_swap_up()
    assert list(g.node_swap_up) == [] and list(g.node_ban_swap_up) == ["block1/Conv", "pool"]
