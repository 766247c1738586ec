"""Host code that runs in the middle of a rebuild (a weight cache's methods, a
logging handler, another thread) may edit or replace the model: the rebuild
then raises or completes, it never crashes and never loses a weight."""
import itertools
import logging
import os
import threading

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

from conftest import EXAMPLE, TESTDATA

F = TensorProto.FLOAT
EXAMPLE_BYTES = open(EXAMPLE, "rb").read()
RELU_BYTES = open(os.path.join(TESTDATA, "node", "test_relu", "model.onnx"), "rb").read()
EDITS = ["delete nodes", "delete initializers", "Clear", "replace", "ParseFromString", "rebuild"]


def edit(ir, g, what):
    graph = g.model.graph
    if what == "delete nodes":
        del graph.node[1:]
    elif what == "delete initializers":
        del graph.initializer[:]
    elif what == "Clear":
        g.model.Clear()
    elif what == "replace":
        g.model = ir.load_model(EXAMPLE)
    elif what == "ParseFromString":
        g.model.ParseFromString(RELU_BYTES)
    else:
        g.rebuild()


def attempt(call):
    try:
        call()
    except Exception:  # noqa: BLE001 - raising is an answer; crashing is not
        return False
    return True


def recovers(ir, g):
    """The graph still works: a fresh model rebuilds into matching tables."""
    g.model.ParseFromString(EXAMPLE_BYTES)
    g.initializer_dat = {}
    g.rebuild()
    g.verify()


class MeddlingCache(dict):
    """A weight cache whose `method` runs `action` on its `nth` call."""
    action, fired = None, set()

    def arm(self, method, nth, action):
        self.method, self.calls, self.nth, self.action = method, 0, nth, action

    def _call(self, method, *args):
        if self.action and method == self.method:
            self.calls += 1
            if self.calls == self.nth:
                action, self.action = self.action, None
                MeddlingCache.fired.add(method)
                action()
        return getattr(dict, method)(self, *args)

    def __contains__(self, k): return self._call("__contains__", k)  # noqa: E704
    def __setitem__(self, k, v): return self._call("__setitem__", k, v)  # noqa: E704
    def __getitem__(self, k): return self._call("__getitem__", k)  # noqa: E704
    def __delitem__(self, k): return self._call("__delitem__", k)  # noqa: E704
    def __len__(self): return self._call("__len__")  # noqa: E704
    def __iter__(self): return self._call("__iter__")  # noqa: E704
    def keys(self): return self._call("keys")  # noqa: E704


def test_a_weight_cache_that_edits_the_model_mid_rebuild(ir):
    flag_sets = [{}, {"clean_shape": True, "clean_node": True}, {"sort_nodes": True}]
    for method in ("__contains__", "__setitem__", "__len__", "__iter__", "keys", "__delitem__"):
        for what in EDITS:
            for flags in flag_sets:
                for nth in (1, 2):
                    cache = MeddlingCache()
                    g = ir.IRGraph(ir.load_model(EXAMPLE), initializer_dat=cache)
                    # The weights back in the model, and names the cleaning takes out.
                    g.model.ParseFromString(EXAMPLE_BYTES)
                    g.model.graph.initializer.append(numpy_helper.from_array(np.ones(3), "u"))
                    dict.clear(cache)
                    dict.update(cache, u=np.ones(3), stray=np.ones(1))
                    cache.arm(method, nth, lambda: edit(ir, g, what))
                    if attempt(lambda: g.rebuild(**flags)):
                        g.verify()
                    cache.action = None
                    recovers(ir, g)
    assert {"__contains__", "__setitem__"} <= MeddlingCache.fired

    # While the graph is being made, a callback can reach the model view.
    for view_edit in (lambda v: v.graph.node.__delitem__(slice(1, None)), lambda v: v.Clear(),
                      lambda v: v.ParseFromString(RELU_BYTES)):
        cache, view = MeddlingCache(), ir.load_model(EXAMPLE)
        cache.arm("__contains__", 2, lambda: view_edit(view))
        attempt(lambda: ir.IRGraph(view, initializer_dat=cache).verify())


def test_a_cache_that_refuses_a_weight_leaves_it_in_the_model(ir):
    original = {t.name: numpy_helper.to_array(t) for t in onnx.load(EXAMPLE).graph.initializer}

    class Refusing(dict):
        def __init__(self, accept):
            super().__init__()
            self.accept = accept

        def __setitem__(self, key, value):
            if len(self) >= self.accept:
                raise RuntimeError("cache full")
            super().__setitem__(key, value)

    for accept in (0, 2):
        cache, model = Refusing(accept), ir.load_model(EXAMPLE)
        with pytest.raises(RuntimeError, match="cache full"):
            ir.IRGraph(model, initializer_dat=cache)
        g = ir.IRGraph(ir.load_model(EXAMPLE))
        g.initializer_dat = Refusing(accept)
        with pytest.raises(RuntimeError, match="cache full"):
            g.rebuild()
        for m, c in ((model, cache), (g.model, g.initializer_dat)):
            assert len(c) == accept
            for t in ir.to_onnx(m).graph.initializer:
                value = c[t.name] if t.name in c else numpy_helper.to_array(t)
                np.testing.assert_array_equal(value, original[t.name])
        g.initializer_dat = dict(g.initializer_dat)  # the weights already moved stay cached
        g.rebuild()
        g.verify()


def _reporting_models():
    """Models whose rebuild (with the flags given) reports something."""
    def model(nodes, inputs=("x",), output="t5", shape=(2,), **kw):
        return helper.make_model(helper.make_graph(
            nodes, "g", [helper.make_tensor_value_info(i, F, shape) for i in inputs],
            [helper.make_tensor_value_info(output, F, shape)], **kw),
            opset_imports=[helper.make_opsetid("", 17)])

    chain = [helper.make_node("Relu", [f"t{i - 1}" if i else "x"], [f"t{i}"], name=f"r{i}")
             for i in range(6)]
    untyped = model(chain, value_info=[onnx.ValueInfoProto(name="t1"),
                                       onnx.ValueInfoProto(name="t2")])
    sequences = model(chain + [helper.make_node("SequenceConstruct", ["t5"], ["s"], name="s1"),
                               helper.make_node("SequenceConstruct", ["t3"], ["s2"], name="s2")])
    mapped = model(list(chain))
    for i in range(3):  # neither a tensor nor a sequence type
        mapped.graph.input.add(name=f"m{i}").type.map_type.key_type = TensorProto.INT64
        mapped.graph.node.add(op_type="Identity", input=[f"m{i}"], output=[f"o{i}"])
        mapped.graph.output.add(name=f"o{i}").type.map_type.key_type = TensorProto.INT64
    external = model([helper.make_node("Conv", [f"c{i - 1}" if i else "x", f"w{i}"], [f"c{i}"])
                      for i in range(4)], output="c3", shape=(1, 1, 4, 4))
    for i in range(4):
        t = external.graph.initializer.add(name=f"w{i}", data_type=F, dims=[1, 1, 1, 1])
        t.data_location = TensorProto.EXTERNAL
        t.external_data.add(key="location", value="missing.bin")
    unread = model(chain[::-1], inputs=("x", "u"))
    cycle = model([helper.make_node("Add", ["x", "b"], ["a"]),
                   helper.make_node("Relu", ["a"], ["b"]), helper.make_node("Relu", ["a"], ["t5"])])
    unprovided = model(chain[::-1] + [helper.make_node("Add", ["t5", "nowhere"], ["z"])])
    rejected = model(chain + [helper.make_node("Relu", ["t5"], ["q"], bogus=1)])
    sort = {"sort_nodes": True}
    return [(untyped, {}), (sequences, {}), (mapped, {}), (external, {}), (unread, sort),
            (cycle, sort), (unprovided, sort), (rejected, {})]


class MeddlingHandler(logging.Handler):
    def __init__(self, action):
        super().__init__()
        self.action, self.fired = action, False

    def emit(self, record):
        action, self.action = self.action, None
        if action:
            self.fired = True
            action()


def test_a_log_handler_that_edits_the_model_mid_rebuild(ir, tmp_path):
    logger = logging.getLogger("tarq")
    fired = 0
    for model, flags in _reporting_models():
        for what in EDITS:
            g = ir.IRGraph(ir.load_model(EXAMPLE), initializer_dat={},
                           ori_model_path=str(tmp_path / "model.onnx"))
            g.model.ParseFromString(model.SerializeToString())
            g.initializer_dat.clear()  # so that the model check runs and reports
            handler = MeddlingHandler(lambda: edit(ir, g, what))
            logger.addHandler(handler)
            try:
                completed = attempt(lambda: g.rebuild(**flags))
            finally:
                logger.removeHandler(handler)
            if completed:
                # Reports may come once the tables are made: an edit made then
                # leaves the tables behind the model, which verify() tells.
                try:
                    g.verify()
                except ir.VerifyError:
                    assert handler.fired and what != "rebuild"
            fired += handler.fired
            recovers(ir, g)
    assert fired >= 4 * len(EDITS), "the models report during their rebuild"


def test_another_thread_editing_the_model_while_rebuilds_log(ir, tmp_path, monkeypatch):
    logger = logging.getLogger("tarq")
    monkeypatch.setattr(logger, "propagate", False)  # no handler: logging's last resort
    nodes = [helper.make_node("Relu", [f"t{i - 1}" if i else "x"], [f"t{i}"], name=f"r{i}")
             for i in range(30)] + [helper.make_node("SequenceConstruct", ["t29"], ["s"])]
    data = helper.make_model(helper.make_graph(
        nodes, "g", [helper.make_tensor_value_info("x", F, [2])],
        [helper.make_tensor_value_info("t29", F, [2])],
        value_info=[onnx.ValueInfoProto(name="t3")]),  # untyped: reported
        opset_imports=[helper.make_opsetid("", 17)]).SerializeToString()

    def fresh():
        return ir._core._parse_message("onnx.ModelProto", data)

    for handler in (None, logging.StreamHandler(open(tmp_path / "log.txt", "w"))):
        if handler:
            logger.addHandler(handler)
        g = ir.IRGraph(fresh(), initializer_dat={})
        stop = threading.Event()

        def editor():
            for k in itertools.count():
                if stop.is_set():
                    return
                graph = g.model.graph
                attempt([lambda: graph.node.__delitem__(slice(len(graph.node) // 2)),
                         lambda: graph.node.add(op_type="Relu", input=["x"], output=[f"n{k}"]),
                         lambda: graph.value_info.add(name=f"v{k}"),
                         lambda: graph.value_info.__delitem__(slice(None)),
                         lambda: setattr(g, "model", fresh()),
                         lambda: g.model.ParseFromString(data)][k % 6])

        thread = threading.Thread(target=editor)
        thread.start()
        try:
            for i in range(150):  # each rebuild raises or completes
                attempt(lambda: g.rebuild(clean_shape=i % 3 == 0, sort_nodes=i % 2 == 0))
        finally:
            stop.set()
            thread.join()
            if handler:
                logger.removeHandler(handler)
                handler.stream.close()
        g.model.ParseFromString(data)
        g.rebuild()
        g.verify()


def test_a_cache_that_nests_the_model_deeply_mid_rebuild(ir):
    # Inference and the checker recurse over subgraphs: what host code nests
    # after the rebuild began is checked again before they run.
    for model in (ir.load_model(EXAMPLE), ir.load_model(EXAMPLE)):
        class Deepening(dict):
            def __contains__(self, key):
                g = model.graph
                for i in range(30_000):
                    node = g.node.add(op_type="If", input=["c"], output=[f"z{i}"])
                    g = node.attribute.add(name="then_branch", type=onnx.AttributeProto.GRAPH).g
                return dict.__contains__(self, key)

        with pytest.raises(ValueError, match="nests messages"):
            ir.IRGraph(model, initializer_dat=Deepening())



def test_host_code_inside_attribute_and_tensor_writes(ir, caplog):
    """The weight cache, nodes_chg and a log handler edit or replace the model
    in the middle of set_const, get_const, set_shape, convert_to_fp32 and
    set_attr: each call completes or raises, and the graph recovers."""
    weight, big = "block1.conv.weight", np.zeros((600, 600), np.float32)

    def to_fp16(g):
        g.model.ParseFromString(EXAMPLE_BYTES)
        for t in g.model.graph.initializer:
            t.CopyFrom(numpy_helper.from_array(numpy_helper.to_array(t).astype(np.float16), t.name))
        g.rebuild()

    calls = {
        "set_const": lambda g: g.set_const("big", big),
        "set_const again": lambda g: g.set_const(weight, np.ones((8, 3, 3, 3), np.float32)),
        "get_const": lambda g: g.get_const(weight),
        "convert_to_fp32": lambda g: g.convert_to_fp32(),
        "set_attr": lambda g: g.set_attr(g.node[0], "group", 1),
        "set_shape": lambda g: g.set_shape(weight, [8, 3, 3, 2]),  # logs a size mismatch
    }
    for (label, call), method, what in itertools.product(
            calls.items(), ("__contains__", "__setitem__", "__getitem__"), EDITS):
        cache = MeddlingCache()
        g = ir.IRGraph(ir.load_model(EXAMPLE), initializer_dat=cache)
        if label == "convert_to_fp32":
            to_fp16(g)
        g.nodes_chg = MeddlingCache()
        for container in (cache, g.nodes_chg):
            container.arm(method, 1, lambda: edit(ir, g, what))
        # Edits through views leave the tables stale until the next rebuild;
        # what matters is that the call returns or raises.
        attempt(lambda: call(g))
        cache.action = g.nodes_chg.action = None
        recovers(ir, g)

    class Meddler(logging.Handler):
        def emit(self, record):
            edit(ir, self.g, self.what)

    handler = Meddler()
    logging.getLogger("tarq").addHandler(handler)
    try:
        for what in EDITS:
            handler.g, handler.what = ir.IRGraph(ir.load_model(EXAMPLE)), what
            attempt(lambda: handler.g.set_shape(weight, [8, 3, 3, 2]))
            recovers(ir, handler.g)
    finally:
        logging.getLogger("tarq").removeHandler(handler)
