#!/usr/bin/env python3
"""Fuzz target for the Python face of tarq.api.ir_graph.

The input bytes pick a seed model and then a sequence of operations: graphs
are constructed, rebuilt, sorted, cleaned and verified; their models are
edited through live views (nodes, names, graph lists, attributes and
subgraphs, Clear/CopyFrom/ParseFromString, a replaced model); operand records
are relinked; nodes are removed, inserted and rewired, boundaries cut, models
saved and graphs copied; index tables, queries and the companions are read; old views
are kept and used again after all of this. Weight caches and a handler on the
"tarq" logger run further operations from inside a rebuild. Every Python
exception is an accepted outcome; a crash, an abort or a sanitizer report is
a finding. See fuzz/README.md for running it under the sanitizers.
"""
import copy
import gc
import logging
import os
import sys
import tempfile

import atheris
import numpy as np
import onnx
from onnx import numpy_helper

import tarq.api.ir_graph as ir

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TESTDATA = "/usr/share/libonnx-testdata/data"
LIGHT = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light")
SEED_FILES = [os.path.join(ROOT, "examples", "small_cnn.onnx")] + [
    os.path.join(TESTDATA, d, "model.onnx") for d in (
        "node/test_if", "node/test_loop11", "node/test_scan9_sum", "node/test_constant",
        "node/test_split_variable_parts_1d", "pytorch-operator/test_operator_params",
        "simple/test_sequence_model3")] + [os.path.join(LIGHT, "light_bvlc_alexnet.onnx")]
SEEDS = [open(p, "rb").read() for p in SEED_FILES if os.path.exists(p)]
# An empty directory as the models' home: external data finds nothing to read.
MODEL_PATH = os.path.join(tempfile.mkdtemp(prefix="tarq-pyfuzz-"), "model.onnx")

MAX_OPS, MAX_HOOKS, MAX_DEPTH, MAX_KEPT, MAX_NODES = 30, 8, 2, 12, 200
OP_TYPES = ["Relu", "Add", "Identity", "Conv", "Constant", "If", "Loop", "Scan", "Split",
            "Reshape", "Concat", "exSwish", "NoSuchOp"]
NAMES = ["", "x", "y", "t0", "input", "cond", "a" * 70, "\u00e9\u00df"]
ATTR_NAMES = ["pads", "strides", "kernel_shape", "perm", "axis", "value", "to", "group", "axes",
              "noop_with_empty_axes", "then_branch", ""]
TABLES = ["operands", "nodes", "consts", "inputs", "inputs_with_const", "outputs", "can_frees",
          "tensor_dependency_map", "node_dependency_map"]
GRAPH_ATTR, GRAPHS_ATTR = onnx.AttributeProto.GRAPH, onnx.AttributeProto.GRAPHS
RUN = None  # the input being run; host callbacks reach it here
# 1: print each operation and how it ended; 2: also every choice and where it was made.
TRACE = int(os.environ.get("TARQ_PYFUZZ_TRACE", "0"))


def host_hook():
    """Called by the weight caches and the log handler: may run one more
    operation, or refuse by raising."""
    run = RUN
    if run is None or run.depth >= MAX_DEPTH or run.hooks >= MAX_HOOKS:
        return
    k = run.int(8)
    if k < 5:
        return
    run.hooks += 1
    if k == 7:
        raise RuntimeError("refused by the host")
    run.depth += 1
    try:
        run.step()
    finally:
        run.depth -= 1


class Cache(dict):
    """A weight cache whose methods may run a fuzz-chosen operation."""
    def __contains__(self, k): host_hook(); return dict.__contains__(self, k)  # noqa: E702,E704
    def __setitem__(self, k, v): host_hook(); dict.__setitem__(self, k, v)  # noqa: E702,E704
    def __getitem__(self, k): host_hook(); return dict.__getitem__(self, k)  # noqa: E702,E704
    def __delitem__(self, k): host_hook(); dict.__delitem__(self, k)  # noqa: E702,E704
    def __len__(self): host_hook(); return dict.__len__(self)  # noqa: E702,E704
    def __iter__(self): host_hook(); return dict.__iter__(self)  # noqa: E702,E704
    def keys(self): host_hook(); return dict.keys(self)  # noqa: E702,E704


class HookHandler(logging.Handler):
    def emit(self, record):
        host_hook()


def graphs_in(graph, depth=0):
    """The graph and its subgraphs (two levels deep, the first nodes only)."""
    yield graph
    if depth < 2:
        for node in list(graph.node)[:20]:
            for a in node.attribute:
                if a.type == GRAPH_ATTR:
                    yield from graphs_in(a.g, depth + 1)
                elif a.type == GRAPHS_ATTR:
                    for sub in a.graphs:
                        yield from graphs_in(sub, depth + 1)


def is_message(x, full_name=None):
    d = getattr(x, "DESCRIPTOR", None)
    return d is not None and (full_name is None or d.full_name == full_name)


class Run:
    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.graphs, self.models, self.kept = [], [], []
        self.depth = self.hooks = 0
        self.seed = self.pick(SEEDS)

    # --- choices -----------------------------------------------------------
    def int(self, n):
        value = self.fdp.ConsumeIntInRange(0, n - 1) if n > 1 else 0
        if TRACE > 1:
            caller = sys._getframe(1).f_code.co_name
            if caller in ("pick", "choose"):
                caller += f" < {sys._getframe(2).f_code.co_name}"
            print(f"{'  ' * self.depth}   {value} of {n} in {caller}", file=sys.stderr)
        return value

    def bool(self):
        value = self.fdp.ConsumeBool()
        if TRACE > 1:
            print(f"{'  ' * self.depth}   {value} in {sys._getframe(1).f_code.co_name}",
                  file=sys.stderr)
        return value

    def choose(self, *actions):
        return actions[self.int(len(actions))]()

    def pick(self, seq):
        return seq[self.int(len(seq))] if len(seq) else None

    def keep(self, x):
        """Holds x for later use, often in place of an older object, so that
        what nothing else holds does get freed."""
        i = self.int(len(self.kept) + 1)
        if x is None:
            return
        if i < len(self.kept) or len(self.kept) == MAX_KEPT:
            self.kept[i % MAX_KEPT] = x
        else:
            self.kept.append(x)

    def mutated(self, data):
        b = bytearray(data)
        for _ in range(1 + self.int(4)):
            b[self.int(len(b))] = self.int(256)
        return bytes(b[: len(b) - self.int(len(b) // 4 + 1)])

    def fresh_model(self, view=False):
        data = self.seed if self.bool() else self.pick(SEEDS)
        k = self.int(4)
        if k == 0 and not view:
            return onnx.load_model_from_string(data)  # copied in by the graph
        parse = ir._core._parse_message
        try:
            model = parse("onnx.ModelProto", self.mutated(data) if k == 1 else data)
        except ValueError:  # the damaged bytes do not parse
            model = parse("onnx.ModelProto", data)
        if self.bool():
            self.models.append(model)
        return model

    def model(self, view=False):
        """A graph's model (shared), an earlier model view or a new model."""
        return self.choose(lambda: self.graphs and self.pick(self.graphs).model,
                           lambda: self.pick(self.models), lambda: None) or self.fresh_model(view)

    def graph(self):
        if not self.graphs:
            self.op_construct()
        return self.pick(self.graphs)

    def kept_of(self, kind):
        return self.pick([x for x in self.kept if is_message(x, kind)])

    def some_graph(self):
        """A GraphProto view: a model's, a stale `g.graph`, a kept one, or a subgraph."""
        return self.choose(lambda: self.graphs and self.pick(self.graphs).graph,
                           lambda: self.kept_of("onnx.GraphProto"), lambda: None, lambda: None
                           ) or self.pick(list(graphs_in(self.model(view=True).graph)))

    def node(self, graph=None, view=False):
        """A node view (kept, or of a graph) or, unless `view`, an onnx.NodeProto."""
        node = self.choose(lambda: self.kept_of("onnx.NodeProto"), lambda: None, lambda: None,
                           lambda: None if view else onnx.NodeProto(op_type=self.pick(OP_TYPES)))
        if node is None:
            nodes = (graph or self.some_graph()).node
            node = self.pick(nodes) if len(nodes) else nodes.add(op_type="Relu")
        return node

    def value_info(self, graph=None):
        graph = graph or self.some_graph()
        lst = self.pick([graph.input, graph.output, graph.value_info])
        return self.pick(lst) if len(lst) else lst.add(name=self.pick(NAMES))

    def name(self, graph):
        if self.bool():
            return self.pick(NAMES)
        node = self.node(graph)
        return self.pick(list(node.input) + list(node.output) + [v.name for v in graph.input]) or ""

    def shape(self):
        return [self.pick([None, "n", 0, 1, 3, -1, 2 ** 40]) for _ in range(self.int(5))]

    def message(self):
        """A message view: a model, a graph, a value info, a node, an attribute or a kept one."""
        node = self.node(view=True)
        return self.choose(lambda: self.model(view=True), self.some_graph, self.value_info,
                           lambda: self.kept_of(None) or node,
                           lambda: self.pick(node.attribute) or node, lambda: node)

    def operand(self):
        ops = self.graph().operands if self.bool() else {}
        return self.choose(lambda: self.pick([x for x in self.kept if isinstance(x, ir.Operand)]),
                           lambda: ops and ops[self.pick(list(ops))]) or ir.Operand()

    # --- one operation -----------------------------------------------------
    def step(self):
        op = OPS[self.int(len(OPS))]
        if TRACE:
            print(f"{'  ' * self.depth}{op.__name__}", file=sys.stderr, flush=True)
        outcome = self.attempt(op, self)
        if TRACE:
            print(f"{'  ' * self.depth}-> {outcome!r}"[:300], file=sys.stderr, flush=True)

    @staticmethod
    def attempt(fn, *args):
        try:
            fn(*args)
        # Separate clauses give the fuzzer an edge per kind of outcome.
        except ir.VerifyError as e:  # the tables lag behind an edit until the next rebuild
            return e
        except (KeyError, IndexError) as e:
            return e
        except (TypeError, ValueError) as e:
            return e
        except Exception as e:  # noqa: BLE001 - any exception is an answer; crashing is not
            return e
        return "ok"

    def finish(self):
        """Drops the graphs and models, then the kept objects one at a time,
        reading all the others after each drop: what a view shows must live
        as long as the view, whoever else let go of it."""
        self.graphs.clear()
        self.models.clear()
        while self.kept:
            del self.kept[self.int(len(self.kept))]
            for x in self.kept:
                self.attempt(self.read, x, True)

    # graphs
    def op_construct(self):
        cache = self.choose(lambda: None, dict, Cache)
        self.graphs.append(ir.IRGraph(self.model(), initializer_dat=cache, qat=self.bool(),
                                      check=self.bool(), ori_model_path=MODEL_PATH))

    def op_rebuild(self):
        self.graph().rebuild(clean_shape=self.bool(), sort_nodes=self.bool(),
                             clean_node=self.bool())

    def op_pass(self):
        g = self.graph()
        self.choose(g._sort_nodes, g._create_can_frees, g.create_tensor_dependency_map, g.verify,
                    lambda: g._clean_model(self.bool(), clean_node=self.bool()),
                    lambda: self.keep(g.infer_shapes(g.model if self.bool() else self.model(),
                                                     check=self.bool(), dynamic=self.bool())))

    def op_replace(self):
        g = self.graph()
        if self.bool():
            g.model = self.model()
        else:
            g.initializer_dat = self.choose(lambda: None, dict, Cache)

    def op_drop_graph(self):
        if self.graphs:
            del self.graphs[self.int(len(self.graphs))]
        if self.bool():
            del self.kept[self.int(len(self.kept) + 1):]
            del self.models[self.int(len(self.models) + 1):]
        gc.collect()

    # edits through views
    def op_nodes(self):
        graph = self.some_graph()
        nodes, n = graph.node, len(graph.node)

        def new_node():
            kw = dict(op_type=self.pick(OP_TYPES), name=self.name(graph),
                      input=[self.name(graph) for _ in range(self.int(4))],
                      output=[self.name(graph) for _ in range(1 + self.int(2))])
            if self.bool():
                nodes.add(**kw)
            else:
                nodes.insert(self.int(n + 1), onnx.NodeProto(**kw))

        self.choose(lambda: n and nodes.__delitem__(slice(i := self.int(n), i + 1 + self.int(3))),
                    new_node, nodes.reverse,
                    lambda: n and nodes[self.int(n)].CopyFrom(nodes[self.int(n)]),
                    lambda: n < MAX_NODES and nodes.insert(self.int(n + 1), self.node()),
                    lambda: n < MAX_NODES and nodes.extend(list(nodes)[: self.int(4)]))

    def op_rename(self):
        graph = self.some_graph()
        k = self.int(5)
        if k == 3:
            self.value_info(graph).name = self.name(graph)
        elif k == 4 and len(graph.initializer):
            self.pick(graph.initializer).name = self.name(graph)
        elif k == 0:
            self.node(graph).name = self.name(graph)
        else:
            node = self.node(graph)
            slots, name = (node.output if k == 1 else node.input), self.name(graph)
            n = len(slots)
            self.choose(lambda: n and slots.__setitem__(self.int(n), name),
                        lambda: slots.append(name),
                        lambda: n and slots.__delitem__(self.int(n)))

    def op_graph_lists(self):
        graph = self.some_graph()
        field = self.pick(["input", "output", "value_info", "initializer"])
        lst = getattr(graph, field)

        def add():
            name = self.name(graph)
            shape = [d if isinstance(d, int) and 0 <= d < 8 else 1 for d in self.shape()]
            lst.append(numpy_helper.from_array(np.ones(shape, np.float32), name)
                       if field == "initializer" else
                       onnx.helper.make_tensor_value_info(name, onnx.TensorProto.FLOAT, shape))

        self.choose(lambda: len(lst) and lst.__delitem__(self.int(len(lst))), add,
                    lambda: len(lst) and lst.append(self.pick(lst)),
                    lambda: graph.ClearField(field))

    def op_whole_message(self):
        target = self.message()
        source = {"onnx.ModelProto": lambda: self.model(view=True), "onnx.NodeProto": self.node,
                  "onnx.GraphProto": self.some_graph}.get(target.DESCRIPTOR.full_name,
                                                          lambda: target)()
        small = source.ByteSize() < 1 << 16  # copying a graph into itself doubles it
        self.choose(target.Clear,
                    lambda: small and target.CopyFrom(self.choose(lambda: source,
                                                                  lambda: copy.deepcopy(source))),
                    lambda: target.ParseFromString(self.fdp.ConsumeBytes(self.int(64))),
                    lambda: target.ParseFromString(self.mutated(source.SerializeToString())),
                    lambda: target.ParseFromString(source.SerializeToString()),
                    lambda: small and target.MergeFrom(source),
                    lambda: target.ClearField(self.pick(target.DESCRIPTOR.fields).name),
                    target.ListFields)

    def op_attribute(self):
        node = self.node(view=True)
        attrs, n = node.attribute, len(node.attribute)

        def add_graph():
            sub = self.some_graph()
            if sub.ByteSize() < 1 << 14:
                name = self.pick(["then_branch", "else_branch", "body", "g"])
                attrs.add(name=name, type=GRAPH_ATTR).g.CopyFrom(sub)

        def retype():
            a = self.pick(attrs)
            a.type = self.pick([GRAPH_ATTR, GRAPHS_ATTR, onnx.AttributeProto.INT])
            if self.bool():
                a.graphs.add(name="g").node.add(op_type="Identity", input=["x"], output=["y"])

        def edit_subgraph():
            sub = [a for a in attrs if a.type == GRAPH_ATTR]
            if sub:
                g = self.pick(sub).g
                g.node.add(op_type=self.pick(OP_TYPES), input=[self.name(g)], output=[self.name(g)])

        def nest():  # subgraphs around the 100-level limit on nesting
            g = self.some_graph()
            for _ in range(self.int(130)):
                g = g.node.add(op_type="If").attribute.add(name="then_branch", type=GRAPH_ATTR).g

        self.choose(lambda: n and attrs.__delitem__(self.int(n)), add_graph, nest,
                    lambda: attrs.add(name=self.pick(["value", "axis", "split"]),
                                      type=onnx.AttributeProto.TENSOR,
                                      t=numpy_helper.from_array(np.arange(self.int(5)))),
                    lambda: n and retype(), edit_subgraph)

    # operand records
    def op_operand(self):
        op = self.operand()
        outs = op.outputs
        n = len(outs)

        def set_shape():
            op.shape, op.dtype = self.shape(), self.pick([None, np.float32, np.int64])

        self.choose(lambda: outs.append(self.node()),
                    lambda: outs.insert(self.int(5) - 2, self.node()),
                    lambda: outs.remove(self.node()), outs.clear,
                    lambda: n and outs.__setitem__(self.int(n), self.node()),
                    lambda: n and outs.__delitem__(self.int(n)),
                    lambda: setattr(op, "input", self.node() if self.bool() else None),
                    lambda: setattr(op, "outputs", [self.node() for _ in range(self.int(3))]),
                    set_shape)
        self.keep(op if self.bool() else outs)

    # queries and tables
    def op_query(self):
        g = self.graph()
        x = self.name(self.some_graph()) if self.bool() else self.node()
        inits = g.model.graph.initializer
        self.choose(lambda: self.keep(self.pick(list(g.next_nodes(x)))),
                    lambda: self.keep(self.pick(g.pre_nodes(x))),
                    lambda: g.index(self.node()),
                    lambda: g.is_invalid(self.name(self.some_graph())),
                    lambda: len(inits) and g.get_array(self.pick(inits), ref=self.bool()))

    def op_table(self):
        table = getattr(self.graph(), self.pick(TABLES))
        if self.bool():
            self.keep(table)
        self.read(table)

    def read(self, x, light=False):
        if isinstance(x, ir.Operand):
            x = {"": x}
        if hasattr(x, "items"):
            for _, value in list(x.items())[:40]:
                if isinstance(value, ir.Operand):
                    repr(value), value.shape, value.dtype
                    [n.name for n in value.outputs], value.input and value.input.op_type
        elif is_message(x):
            x.SerializeToString()
            if not light:
                str(x), x == x
        else:
            repr(list(x))

    # attributes, constants, shapes
    def op_tensor_data(self):
        g = self.graph()
        name = self.name(self.some_graph())
        node = self.node()
        arr = np.arange(self.int(8), dtype=self.pick([np.float32, np.float16, np.int64]))
        inits = g.model.graph.initializer

        def select_configuration():
            g.n_dynamic = self.int(3)
            g.dynamic_idx = self.pick([None, 0, 1, 5])
            if self.bool():
                g.dynamic_diff_set = self.choose(dict, Cache, lambda: {name: [arr, None]})

        def record_changes():  # a Cache runs further operations from inside set_attr
            g.nodes_chg = self.choose(dict, Cache, lambda: None, lambda: {"x": 1})

        self.choose(lambda: self.keep(g.get_attr(node, self.pick(ATTR_NAMES), self.bool())),
                    lambda: g.set_attr(node, self.pick(ATTR_NAMES),
                                       self.pick([None, [], 1, 2.5, "s", [1, 2], arr])),
                    lambda: g.remove_attr(node, self.pick(ATTR_NAMES)),
                    lambda: g.same_attr(node, self.node()),
                    lambda: self.keep(g.get_const(name, self.bool(), self.bool(), self.bool())),
                    lambda: g.get_const_optional(node, self.int(5) - 1, self.bool(), self.bool()),
                    lambda: len(inits) and g.set_array(self.pick(inits), arr, self.bool()),
                    lambda: g.set_const(name, arr, self.bool()),
                    lambda: g.set_shape(name, self.shape(), self.bool(), self.bool()),
                    lambda: (g.get_shape(name, self.bool()), g.get_size(name), g.get_dtype(name)),
                    lambda: g.get_constant(name), g.constant_to_initializer, g.convert_to_fp32,
                    select_configuration, record_changes)

    # node editing, boundary cuts, saving and copying
    def op_edit(self):
        g = self.graph()
        graph = self.some_graph()
        node = self.node()
        names = [self.name(graph) for _ in range(1 + self.int(2))]
        slot = self.int(4) - 1
        path = os.path.join(os.path.dirname(MODEL_PATH), "saved.onnx")
        self.choose(lambda: g.remove_node(node),
                    lambda: g.remove_nodes([self.node() for _ in range(self.int(3))]),
                    lambda: g.insert_node(self.int(len(g.node) + 3) - 1, node),
                    lambda: g.insert_nodes([self.node() for _ in range(1 + self.int(2))],
                                           [self.node() for _ in range(self.int(2))]),
                    lambda: g.set_input(node, slot, names[0]),
                    lambda: g.set_output(node, slot, names[0]),
                    lambda: g._add_operand(names[0], self.node() if self.bool() else None,
                                           [self.node() for _ in range(self.int(2))]),
                    lambda: g._add_new_operands(node),
                    lambda: g._add_new_operands2([node, self.node()], [self.node()]),
                    lambda: g.rebuild(edit_par={"inputs": names[:self.int(2)],
                                                "shapes": [self.shape() for _ in range(2)],
                                                "values": [], "outputs": names[self.int(2):]},
                                      sort_nodes=self.bool()),
                    lambda: g.save_onnx(path, self.bool(),
                                        "saved.bin" if self.bool() else None),
                    lambda: self.graphs.append(g.deepcopy(self.bool(), None, self.bool())),
                    lambda: self.keep(g.make_model(graph, 13, self.bool())))
        if self.bool():
            self.keep(node)

    # companions
    def op_companion(self):
        c = ir.companions

        def compare():
            a = self.message()
            b = self.message() if self.bool() else ir.to_onnx(a)
            return a == b, b == a

        self.choose(lambda: c.inf_shape_set(self.value_info(), self.shape()),
                    lambda: c.inf_shape(self.value_info(), none=self.bool()),
                    lambda: self.keep(c.update_model_value_info(
                        self.graph() if self.bool() else None, self.model(), self.bool())[0]),
                    lambda: ir.to_onnx(self.message()), compare, lambda: str(self.message()),
                    lambda: self.keep(copy.deepcopy(self.message())))

    # old views
    def op_keep(self):
        self.keep(self.choose(
            self.message, self.operand, lambda: self.graph().node,
            lambda: self.some_graph().value_info,
            lambda: self.pick(list(self.graph().next_nodes(self.name(self.some_graph()))))))

    def op_use_kept(self):
        x = self.pick(self.kept)
        if is_message(x) and self.bool():
            if "name" in x.DESCRIPTOR.fields_by_name:
                x.name = self.pick(NAMES)
            else:
                x.Clear()
        elif x is not None:
            self.read(x)


OPS = [f for name, f in sorted(vars(Run).items()) if name.startswith("op_")]


def TestOneInput(data):
    global RUN
    RUN = run = Run(data)
    try:
        for _ in range(MAX_OPS):
            if run.fdp.remaining_bytes() == 0:
                break
            run.step()
        run.finish()
    finally:
        RUN = None


def main():
    sys.unraisablehook = lambda unraisable: None  # a log handler that raises is reported so
    logger = logging.getLogger("tarq")
    logger.setLevel(logging.DEBUG)
    logger.propagate = False
    logger.addHandler(HookHandler())
    ir.companions.set_progress_display(False)
    for f in [host_hook, graphs_in, is_message, TestOneInput, *vars(Run).values(),
              *vars(Cache).values(), HookHandler.emit]:
        if callable(f) and hasattr(f, "__code__"):
            atheris.instrument_func(f)
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
