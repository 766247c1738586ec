"""No view dangles: whatever replaces, clears, rebuilds or frees the messages
behind a view, the view stays readable and writable and shows what it showed."""
import gc
import os

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

from conftest import EXAMPLE, TESTDATA, reuse_freed_memory

F = TensorProto.FLOAT
RELU = os.path.join(TESTDATA, "node", "test_relu", "model.onnx")


def test_views_taken_after_the_model_is_replaced_show_the_old_graph(ir):
    relu = onnx.load(RELU)
    empty = onnx.ModelProto(ir_version=8, graph=onnx.GraphProto(name="empty"),
                            opset_import=[helper.make_opsetid("", 17)])
    for old in (onnx.load(EXAMPLE), empty):
        for new in (lambda: ir.load_model(RELU), lambda: onnx.load(RELU)):
            old_ops = [n.op_type for n in old.graph.node]
            g = ir.IRGraph(old)  # copied in: the graph is the old model's only holder
            g.model = new()
            gc.collect()
            graph, nodes = g.graph, g.node  # until the next rebuild: the old graph
            kept = list(nodes)
            reuse_freed_memory()
            assert graph.name == old.graph.name and [n.op_type for n in nodes] == old_ops
            graph.name = "edited"
            nodes.add(op_type="Neg", name="added")
            assert g.graph.name == "edited" and g.node[-1].name == "added"
            g.rebuild()
            g.verify()
            reuse_freed_memory()
            assert g.graph.name == relu.graph.name and [n.op_type for n in g.node] == ["Relu"]
            assert graph.name == "edited" and [n.op_type for n in nodes] == old_ops + ["Neg"]
            for n in kept:
                n.doc_string = "still mine"
            assert [(n.op_type, n.doc_string) for n in kept] == [(o, "still mine") for o in old_ops]


def _graph_with_leftovers(ir):
    """small_cnn plus what a cleaning removes: an unread input, a stale value
    info, an unused initializer and a node whose result nothing reads."""
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    graph = g.graph
    graph.input.append(helper.make_tensor_value_info("unused_in", F, [2]))
    graph.value_info.append(helper.make_tensor_value_info("stale", F, [3]))
    graph.initializer.append(numpy_helper.from_array(np.ones(3, np.float32), "unused_w"))
    graph.node.add(op_type="Relu", input=["unused_in"], output=["dead"], name="dead_node")
    g.rebuild()
    return g


TABLES = ("operands", "nodes", "consts", "inputs", "inputs_with_const", "outputs", "can_frees",
          "tensor_dependency_map", "node_dependency_map")


def _contents(tables):
    """What the index tables hold, as plain values (entries of the dependency
    maps are computed here, on first access)."""
    return {name: [(k, repr(t[k])) if hasattr(t, "keys") else repr(k) for k in t]
            for name, t in tables.items()}


def test_views_outlive_every_path_that_drops_or_replaces_messages(ir):
    reference = _graph_with_leftovers(ir)
    reference = _contents({t: getattr(reference, t) for t in TABLES})
    paths = {
        "cleaning rebuild": lambda g: g.rebuild(clean_shape=True, clean_node=True),
        "shape inference": lambda g: g.infer_shapes(g.model),
        "Clear": lambda g: g.model.Clear(),
        "CopyFrom": lambda g: g.model.CopyFrom(onnx.load(RELU)),
        "ParseFromString": lambda g: g.model.ParseFromString(open(RELU, "rb").read()),
        "graph dropped": None,
    }
    for path, act in paths.items():
        g = _graph_with_leftovers(ir)
        graph = g.graph
        dead = graph.node[g.nodes["dead_node"]]
        infos = [*graph.value_info, *graph.input, *graph.output]
        named = [graph, *graph.node, *graph.initializer, *infos]
        dims = [d for v in infos for d in v.type.tensor_type.shape.dim]
        before = ([m.name for m in named], [(d.dim_value, d.dim_param) for d in dims])
        records = [(op, op.input, list(op.outputs), op.outputs) for op in g.operands.values()]
        links = [(p and p.name, [c.name for c in cs]) for _, p, cs, _ in records]
        tables = {t: getattr(g, t) for t in TABLES}
        if act is None:
            del g
        else:
            act(g)
        reuse_freed_memory()
        assert ([m.name for m in named], [(d.dim_value, d.dim_param) for d in dims]) == before
        assert (dead.op_type, list(dead.input), list(dead.output)) == ("Relu", ["unused_in"],
                                                                       ["dead"]), path
        assert [(p and p.name, [c.name for c in cs]) for _, p, cs, _ in records] == links, path
        assert [[c.name for c in live] for *_, live in records] == [c for _, c in links], path
        assert _contents(tables) == reference, path
        for m in named:
            m.doc_string = path
        assert all(m.doc_string == path and m.SerializeToString() is not None for m in named)
        if act is not None:
            g.rebuild()
            g.verify()


def test_a_consumer_from_another_model_edits_and_parks_in_its_own_model(ir):
    edits = {
        "ClearField": lambda n: n.ClearField("attribute"),
        "Clear": lambda n: n.Clear(),
        "CopyFrom": lambda n: n.CopyFrom(onnx.NodeProto(name="replaced")),
        "attribute.add": lambda n: n.attribute.add(name="extra", type=onnx.AttributeProto.INT),
        "del input": lambda n: n.input.__delitem__(0),
    }
    for what, edit in edits.items():
        g = ir.IRGraph(onnx.load(EXAMPLE))
        other = ir.load_model(EXAMPLE)
        kept = other.graph.node[0].attribute[0]  # a view from the other model itself
        expected = ir.to_onnx(kept)
        tensor = g.node[0].output[0]
        g.operands[tensor].outputs.append(other.graph.node[0])
        fetched = g.operands[tensor].outputs[-1]
        assert fetched == other.graph.node[0]
        edit(fetched)
        assert other.graph.node[0] == fetched, "the edit went to the other model's node"
        del g, fetched, other
        gc.collect()
        reuse_freed_memory()
        assert kept == expected, what
        kept.name = "renamed"
        assert kept.name == "renamed"


def test_value_info_helpers_park_what_they_replace(ir, tmp_path):
    c = ir.companions
    # The extended operator's output takes input 0's complete type.
    m = helper.make_model(helper.make_graph(
        [helper.make_node("exSwish", ["x"], ["y"], name="swish")], "g",
        [helper.make_tensor_value_info("x", F, [1, 3, 4])],
        [helper.make_tensor_value_info("y", TensorProto.UNDEFINED, ["a", 5])]))
    for graph_arg in (None, ir.IRGraph(ir.load_model(EXAMPLE))):
        view = ir._core._parse_message("onnx.ModelProto", m.SerializeToString())
        old_type = view.graph.output[0].type
        tensor, shape = old_type.tensor_type, old_type.tensor_type.shape
        dims = list(shape.dim)
        assert c.update_model_value_info(graph_arg, view)[1] is True
        reuse_freed_memory()
        assert view.graph.output[0].type == m.graph.input[0].type
        assert tensor.elem_type == 0 and [d.dim_param or d.dim_value for d in shape.dim] == ["a", 5]
        assert [(d.dim_param, d.dim_value) for d in dims] == [("a", 0), ("", 5)]
        dims[0].dim_param = "b"

    # inf_shape_set over a tensor type, and over a sequence type it replaces.
    for sequence in (False, True):
        vi = ir.load_model(EXAMPLE).graph.value_info[0]
        if sequence:
            vi.type.sequence_type.elem_type.tensor_type.shape.dim.add().dim_value = 9
        old_type = vi.type
        seq = vi.type.sequence_type
        inner = seq.elem_type.tensor_type.shape.dim
        dims = list(vi.type.tensor_type.shape.dim)
        old_dims = [d.dim_value for d in dims]
        c.inf_shape_set(vi, [2, "n"])
        reuse_freed_memory()
        assert c.inf_shape(vi) == [2, "n"] and old_type.WhichOneof("value") == "tensor_type"
        assert [d.dim_value for d in dims] == old_dims
        assert [d.dim_value for d in inner] == ([9] if sequence else [])
        if sequence:
            inner[0].dim_value = 10

    # Random data replaces a missing external file; the entries are parked.
    w = numpy_helper.from_array(np.ones((2, 2, 1, 1), np.float32), "w")
    model = helper.make_model(helper.make_graph(
        [helper.make_node("Conv", ["x", "w"], ["y"], name="conv")], "g",
        [helper.make_tensor_value_info("x", F, [1, 2, 4, 4])],
        [helper.make_tensor_value_info("y", F, [1, 2, 4, 4])], [w]),
        opset_imports=[helper.make_opsetid("", 17)])
    path = str(tmp_path / "model.onnx")
    onnx.save_model(model, path, save_as_external_data=True, location="w.bin", size_threshold=0)
    os.remove(tmp_path / "w.bin")

    def entries_of(tensor):
        entries = list(tensor.external_data)
        return entries, [(e.key, e.value) for e in entries]

    def still_read(entries, expected):
        g.model.graph.initializer[0].external_data.add(key="location", value="later.bin")
        reuse_freed_memory()
        assert [(e.key, e.value) for e in entries] == expected
        assert cache["w"].shape == (2, 2, 1, 1)
        for e in entries:
            e.value = "still writable"

    view = ir.load_model(path)
    entries, expected = entries_of(view.graph.initializer[0])
    cache = {}
    g = ir.IRGraph(view, initializer_dat=cache, ori_model_path=path)
    still_read(entries, expected)
    init = g.model.graph.initializer[0]
    init.data_location = TensorProto.EXTERNAL
    del init.external_data[:]
    init.external_data.add(key="location", value="gone.bin")
    entries, expected = entries_of(init)
    cache.clear()
    g.rebuild()
    g.verify()
    still_read(entries, expected)


def test_query_results_and_indexes_that_run_python_code(ir):
    # Nodes found through the records belong to the model of the last
    # rebuild: they stay alive when the graph moves on to another model.
    g = ir.IRGraph(onnx.load(EXAMPLE))
    g.model = ir.load_model(EXAMPLE)
    conv = g.node[0]
    found = [g.pre_nodes(g.outputs[0]), g.pre_nodes(g.node[-1]), g.next_nodes(conv)]
    g.rebuild()
    del conv
    gc.collect()
    reuse_freed_memory()
    assert [n.op_type for n in found[0]] == ["Softmax"] and found[2][0].op_type == "BatchNormalization"

    # An index whose __index__ empties the very list it indexes.
    class Emptying:
        def __init__(self, empty):
            self.empty = empty

        def __index__(self):
            self.empty()
            return 0

    tensor = g.node[0].output[0]
    for lst, empty in ((lambda: g.operands[tensor].outputs,
                        lambda: setattr(g.operands[tensor], "outputs", [])),
                       (lambda: g.node_swap_up, lambda: setattr(g, "node_swap_up", []))):
        g.node_swap_up = ["a", "b"]
        g.rebuild()
        for key in (Emptying(empty), slice(Emptying(empty), None)):
            try:
                picked = lst()[key]
            except IndexError:
                continue
            assert picked == [] or len(picked) <= 2



def test_layer_views_outlive_their_export_and_follow_edits(ir):
    """The layers of one export share their memory. A view keeps its layer
    whole after the rest of the export is dropped, and edits that remove,
    reorder or put back a layer's messages (from views, or from a graph built
    over the layer) leave every view on the message it showed."""
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    layers = g.create_ir_layers(log=False)[0]
    layer = next(l for l in layers if len(l.graph.initializer) >= 2)
    before = ir.to_onnx(layer)
    node, first_in, out = layer.graph.node[0], layer.graph.input[0], layer.graph.output[0]
    del layers
    gc.collect()
    reuse_freed_memory()
    assert ir.to_onnx(layer) == before
    # A message added from Python joins the layer; building a graph over the
    # layer cleans it away again and takes the output list apart and back.
    extra = layer.graph.input.add()
    extra.CopyFrom(first_in)
    extra.name = "unused"
    lg = ir.IRGraph(layer)
    lg.rebuild(edit_par={"inputs": [], "shapes": [], "values": [], "outputs": [out.name]})
    assert [vi.name for vi in lg.model.graph.input] == [vi.name for vi in before.graph.input]
    assert extra.name == "unused"
    out.doc_string = first_in.doc_string = node.doc_string = "followed"
    graph = lg.model.graph
    assert (graph.output[0].doc_string, graph.input[0].doc_string, graph.node[0].doc_string) == \
        ("followed",) * 3
    # Views of what leaves the layer stay readable, whoever goes first.
    del graph.node[:]
    del graph.input[1:]
    del g, lg, graph
    gc.collect()
    reuse_freed_memory()
    assert node.op_type == before.graph.node[0].op_type and node.doc_string == "followed"
    assert extra.name == "unused" and first_in.name == before.graph.input[0].name
    del layer
    gc.collect()
    assert out.name == before.graph.output[0].name
