"""Extreme shapes and half-made objects: models nested far deeper than any
file can hold, objects that were never initialised, and a tensor or a node
with a hundred thousand neighbours."""
import copy
import gc
import inspect
import os
import pickle

import onnx
from onnx import AttributeProto, TensorProto, helper

from conftest import EXAMPLE, TESTDATA

F = TensorProto.FLOAT


def attempt(call):
    try:
        return call()
    except Exception as e:  # noqa: BLE001 - raising is an answer; crashing is not
        return e


def model_of(nodes, inputs, outputs):
    return helper.make_model(helper.make_graph(nodes, "g", inputs, outputs),
                             opset_imports=[helper.make_opsetid("", 17)])


def nested_model(ir, depth):
    """A graph holding an If whose branch holds an If ... `depth` times, built
    through views (no parser takes it from bytes). Building may be refused
    past some depth, with a ValueError."""
    cond = helper.make_tensor_value_info("c", TensorProto.BOOL, [])
    model = ir._core._parse_message("onnx.ModelProto",
                                    model_of([], [cond], []).SerializeToString())
    graph = model.graph
    for i in range(depth):
        node = attempt(lambda: graph.node.add(op_type="If", input=["c"], output=[f"y{i}"]))
        if isinstance(node, ValueError):
            assert "nest" in str(node)
            break
        graph = node.attribute.add(name="then_branch", type=AttributeProto.GRAPH).g
        graph.name = f"branch{i}"
    return model


def test_models_nested_thousands_deep_raise_instead_of_overflowing(ir):
    plain = ir.IRGraph(ir.load_model(EXAMPLE))
    for depth in (8_000, 30_000):
        model, twin = nested_model(ir, depth), nested_model(ir, depth)
        for a, b in ((model, twin), (model.graph.node[0], twin.graph.node[0])):
            for op in (lambda: a == b, lambda: a == a, lambda: a != b,
                       lambda: a == onnx.ModelProto(), lambda: str(a), lambda: repr(a),
                       a.SerializeToString, a.ByteSize, a.IsInitialized,
                       lambda: copy.deepcopy(a), lambda: copy.copy(a),
                       lambda: pickle.dumps(a), lambda: ir.to_onnx(a),
                       lambda: ir._core._parse_message(a.type_name, b"").CopyFrom(a),
                       lambda: ir.IRGraph(model), lambda: ir.IRGraph(model, initializer_dat={})):
                outcome = attempt(op)
                assert not isinstance(outcome, Exception) or (
                    isinstance(outcome, ValueError) and "nest" in str(outcome)), outcome
        for op in (lambda: plain.infer_shapes(model), lambda: ir.companions.check_model(model),
                   lambda: ir.companions.update_model_value_info(None, model)):
            outcome = attempt(op)
            assert not isinstance(outcome, Exception) or isinstance(outcome, ValueError), outcome
        leaf = model.graph.node[0].attribute[0].g
        del model, twin, a, b
        gc.collect()
        leaf.name = "still here"
        del leaf
        gc.collect()

    # Real models with subgraphs still compare, print, copy and build.
    for name in ("test_if", "test_loop11", "test_scan9_sum",
                 "test_range_float_type_positive_delta_expanded"):
        path = os.path.join(TESTDATA, "node", name, "model.onnx")
        view, ref = ir.load_model(path), onnx.load(path)
        assert view == ref and view == ir.load_model(path) and str(view) == str(ref)
        assert copy.deepcopy(view) == ref and ir.to_onnx(view) == ref
        assert onnx.ModelProto.FromString(view.SerializeToString()) == ref
        g = ir.IRGraph(view)
        g.verify()
        assert len(g.node) == len(ref.graph.node)


def _reachable_classes(ir):
    """Every class of the extension (those of its modules, those nested in
    them, the types of what a real graph hands out) and those real objects."""
    found = {}

    def add(t):
        if (isinstance(t, type) and (t.__module__ or "").startswith("tarq")
                and not issubclass(t, BaseException) and t not in found.values()):
            found[t.__qualname__] = t
            for v in vars(t).values():
                add(v)

    for module in (ir, ir._core, ir.companions):
        for v in vars(module).values():
            add(v)
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    samples = [g, g.model, g.model.graph.node, g.operands["input"], g.operands["input"].outputs,
               g.model.DESCRIPTOR, ir.companions.progress(range(2), "L ")]
    samples += [getattr(g, name) for name in dir(g) if not name.startswith("_")]
    for s in samples:
        add(type(s))
        add(type(attempt(lambda: iter(s))))
    return found, samples


def _protocols(ir, obj, node):
    return [lambda: len(obj), lambda: list(iter(obj)), lambda: next(obj), lambda: obj[0],
            lambda: obj["input"], lambda: obj[0:1], lambda: repr(obj), lambda: str(obj),
            lambda: obj == obj, lambda: obj == node, lambda: obj != node, lambda: "x" in obj,
            lambda: bool(obj), lambda: hash(obj), lambda: copy.copy(obj),
            lambda: copy.deepcopy(obj), lambda: obj.__reduce__(), lambda: obj.__reduce_ex__(1),
            lambda: pickle.dumps(obj, 0), lambda: pickle.dumps(obj),
            # as arguments (real objects skip these)
            lambda: ir.to_onnx(obj), lambda: ir.IRGraph(obj),
            lambda: ir.load_model(EXAMPLE).graph.node.append(obj),
            lambda: ir.IRGraph(ir.load_model(EXAMPLE)).next_nodes(obj),
            lambda: ir.companions.inf_shape(obj)]


def test_objects_never_initialised_raise_on_every_use(ir):
    classes, samples = _reachable_classes(ir)
    assert {"IRGraph", "Operand", "tarqLog", "MessageView", "RepeatedView", "NameIndexView",
            "OperandsView", "DependencyMapView", "CanFreesView", "NameListView", "ConsumerList",
            "progress"} <= set(classes)
    node = ir.load_model(EXAMPLE).graph.node[0]
    arguments = [(), (0,), ("input",), (None,), (node,), ("x", 1), (0, node), (slice(None),),
                 ([1, 2],)]
    plumbing = set(dir(object)) | {"_pybind11_conduit_v1_"}
    for cls in classes.values():
        obj = attempt(lambda: cls.__new__(cls))
        if not isinstance(obj, cls):
            continue  # the class cannot be made this way: nothing to use
        bound = None
        for member in sorted(set(dir(cls)) - plumbing):
            if isinstance(inspect.getattr_static(cls, member, None), property):
                attempt(lambda: getattr(obj, member))
                attempt(lambda: setattr(obj, member, 1))
                attempt(lambda: setattr(obj, member, None))
                continue
            bound = attempt(lambda: getattr(obj, member))
            if callable(bound) and not isinstance(bound, type):
                for args in arguments:
                    attempt(lambda: bound(*args))
        for op in _protocols(ir, obj, node) + [lambda: obj.__eq__(node), lambda: obj.__ne__(0)]:
            attempt(op)
        del obj, bound
        gc.collect()
    # The same protocols on the real objects (pickling by protocol 0 included).
    for obj in samples:
        for op in _protocols(ir, obj, node)[:20]:
            attempt(op)


def test_a_hundred_thousand_neighbours(ir):
    n = 100_000
    for duplicate in (False, True):
        names = [f"r{i}" for i in range(n)]
        if duplicate:
            names[n // 2] = "r0"  # the rebuild renames the second one
        nodes = [helper.make_node("Relu", ["in"], ["x"], name="producer")]
        nodes += [helper.make_node("Relu", ["x"], [f"y{i}"], name=names[i]) for i in range(n)]
        g = ir.IRGraph(model_of(nodes, [helper.make_tensor_value_info("in", F, [2])],
                                [helper.make_tensor_value_info("y0", F, [2])]), initializer_dat={})
        g.verify()
        in_order = [node.name for node in g.node][1:]
        assert len(set(in_order)) == n and in_order[0] == "r0"
        assert in_order[n // 2] != "r0" and names[n // 2 + 1:] == in_order[n // 2 + 1:]
        assert [c.name for c in g.next_nodes("x")] == in_order
        assert [c.name for c in g.next_nodes(g.node[0])] == in_order
        assert [p.name for p in g.pre_nodes("x")] == ["producer"]
        assert [p.name for p in g.pre_nodes(g.node[n])] == ["producer"]
        del g, nodes
        gc.collect()

    # A chain whose every node also reads the one graph input, reversed: the
    # sort checks each read against the graph inputs once.
    nodes = [helper.make_node("Add", ["in", f"y{i - 1}" if i else "in"], [f"y{i}"], name=f"r{i}")
             for i in range(n)]
    g = ir.IRGraph(model_of(nodes[::-1], [helper.make_tensor_value_info("in", F, [2])],
                            [helper.make_tensor_value_info("y0", F, [2])]), initializer_dat={})
    g.rebuild(sort_nodes=True)
    assert [node.name for node in g.node][:3] == ["r0", "r1", "r2"]
    g.verify()

    # One node with n results, each read by its own node; one node reading n producers.
    nodes = [helper.make_node("Split", ["in"], [f"s{i}" for i in range(n)], name="split", axis=0)]
    nodes += [helper.make_node("Relu", [f"s{i}"], [f"y{i}"], name=f"r{i}") for i in range(n)]
    nodes.append(helper.make_node("Concat", [f"y{i}" for i in range(n)], ["out"], name="cat",
                                  axis=0))
    g = ir.IRGraph(model_of(nodes, [helper.make_tensor_value_info("in", F, [n])],
                            [helper.make_tensor_value_info("out", F, [n])]), initializer_dat={})
    g.verify()
    relus = [f"r{i}" for i in range(n)]
    assert [c.name for c in g.next_nodes(g.node[0])] == relus
    assert [p.name for p in g.pre_nodes(g.node[n + 1])] == relus
    assert [c.name for c in g.next_nodes(g.node[1])] == ["cat"]
