"""Random valid graphs with control flow, shuffled, built and rebuilt.

The graphs hold float [2, 3] tensors throughout: graph inputs (some read only
inside subgraphs, some by no node), initializers (likewise), Constant nodes,
nodes with several inputs (one tensor read twice included) and several
outputs, If nodes whose branches read outer-scope tensors, Loop and Scan
bodies that do the same, and subgraphs inside subgraphs. The node list is then
shuffled and the graph goes through construction and rebuilds with random
flags. After each rebuild the index tables match the model, everything any
node reads (at any depth) is still declared, and no node that feeds a graph
output is lost; after a sorting rebuild the model is in order, passes the full
ONNX check and onnxruntime computes what it computed for the original.
"""
import numpy as np
import onnx
from hypothesis import HealthCheck, given, note, settings
from hypothesis import strategies as st
from onnx import TensorProto, helper, numpy_helper

from conftest import order_fault, ort_session, reads
from test_packaged_models import restore_weights

F, I64, BOOL = TensorProto.FLOAT, TensorProto.INT64, TensorProto.BOOL
SHAPE = [2, 3]
OPSET = 17
MAX_DEPTH = 2  # subgraphs inside subgraphs

UNARY = ["Relu", "Neg", "Abs", "Sigmoid", "Identity", "Softsign"]
BINARY = ["Add", "Mul", "Sub"]
VARIADIC = ["Sum", "Max", "Min", "Mean"]


def vi(name, elem=F, shape=SHAPE):
    return helper.make_tensor_value_info(name, elem, shape)


def floats(draw, shape=SHAPE):
    values = draw(st.lists(st.sampled_from([-1.5, -0.5, 0.0, 0.25, 1.0, 2.0]),
                           min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))
    return np.array(values, np.float32).reshape(shape)


class Scope:
    """The nodes of one graph being made and the tensors its nodes may read."""

    def __init__(self, pool, conds, depth):
        self.nodes = []
        self.pool = list(pool)    # float [2, 3] tensors
        self.conds = list(conds)  # bool scalars
        self.made = []            # float [2, 3] tensors made here
        self.depth = depth


class GraphMaker:
    def __init__(self, draw):
        self.draw = draw
        self.count = 0
        self.inputs, self.inits = [], []
        self.hidden = []   # read only inside subgraphs
        self.unread = []   # read by nothing

    def name(self, prefix):
        self.count += 1
        return f"{prefix}{self.count}"

    def pick(self, scope):
        return self.draw(st.sampled_from(scope.pool))

    def node(self, scope, op, inputs, n_out=1, **attrs):
        outs = [self.name("t") for _ in range(n_out)]
        scope.nodes.append(helper.make_node(op, inputs, outs, name=self.name(op.lower()), **attrs))
        return outs

    def add(self, scope, tensor):
        scope.pool.append(tensor)
        scope.made.append(tensor)

    # ---- the boundary

    def boundary(self, scope):
        for _ in range(self.draw(st.integers(1, 3))):
            role = self.draw(st.sampled_from(["top", "top", "hidden", "unread"]))
            name = self.name("x")
            self.inputs.append(vi(name))
            self.place(scope, name, role)
        for _ in range(self.draw(st.integers(0, 3))):
            role = self.draw(st.sampled_from(["top", "hidden", "unread"]))
            name = self.name("w")
            self.inits.append(numpy_helper.from_array(floats(self.draw), name))
            self.place(scope, name, role)
        if not scope.pool:
            name = self.name("x")
            self.inputs.append(vi(name))
            scope.pool.append(name)
        source = self.draw(st.sampled_from(["input", "initializer", "computed", "none"]))
        if source == "input":
            name = self.name("c")
            self.inputs.append(vi(name, BOOL, []))
            scope.conds.append(name)
        elif source == "initializer":
            name = self.name("c")
            flag = self.draw(st.booleans())
            self.inits.append(numpy_helper.from_array(np.array(flag), name))
            scope.conds.append(name)

    def place(self, scope, name, role):
        {"top": scope.pool, "hidden": self.hidden, "unread": self.unread}[role].append(name)

    def cond(self, scope):
        if scope.conds and self.draw(st.booleans()):
            return self.draw(st.sampled_from(scope.conds))
        # A condition computed from the data: sum(t) > 0.
        (total,) = self.node(scope, "ReduceSum", [self.pick(scope)], keepdims=0)
        (zero,) = self.node(scope, "Constant", [],
                            value=numpy_helper.from_array(np.array(0.0, np.float32)))
        (c,) = self.node(scope, "Greater", [total, zero])
        scope.conds.append(c)
        return c

    # ---- nodes

    def nodes(self, scope, low, high):
        for _ in range(self.draw(st.integers(low, high))):
            self.one_node(scope)

    def one_node(self, scope):
        kinds = ["unary", "binary", "variadic", "split", "constant"]
        if scope.depth < MAX_DEPTH:
            kinds += ["if", "if", "loop", "scan"]
        kind = self.draw(st.sampled_from(kinds))
        if kind == "unary":
            op = self.draw(st.sampled_from(UNARY))
            self.add(scope, self.node(scope, op, [self.pick(scope)])[0])
        elif kind == "binary":
            a = self.pick(scope)
            b = a if self.draw(st.booleans()) else self.pick(scope)  # the same tensor twice
            self.add(scope, self.node(scope, self.draw(st.sampled_from(BINARY)), [a, b])[0])
        elif kind == "variadic":
            ins = [self.pick(scope) for _ in range(self.draw(st.integers(1, 4)))]
            self.add(scope, self.node(scope, self.draw(st.sampled_from(VARIADIC)), ins)[0])
        elif kind == "split":
            (joined,) = self.node(scope, "Concat", [self.pick(scope), self.pick(scope)], axis=0)
            for t in self.node(scope, "Split", [joined], n_out=2, axis=0):
                self.add(scope, t)
        elif kind == "constant":
            value = numpy_helper.from_array(floats(self.draw))
            self.add(scope, self.node(scope, "Constant", [], value=value)[0])
        elif kind == "if":
            self.if_node(scope)
        elif kind == "loop":
            self.loop_node(scope)
        else:
            self.scan_node(scope)

    def inner(self, scope, extra_pool=()):
        """A scope for a subgraph: the outer tensors, the hidden ones, its own inputs."""
        sub = Scope(scope.pool + self.hidden + list(extra_pool), scope.conds, scope.depth + 1)
        if self.hidden and self.draw(st.booleans()):
            # Make sure hidden tensors do get read, inside this subgraph.
            self.add(sub, self.node(sub, "Identity", [self.draw(st.sampled_from(self.hidden))])[0])
        return sub

    def result(self, sub):
        """A tensor made inside the subgraph, to be its output."""
        if sub.made and self.draw(st.booleans()):
            return self.draw(st.sampled_from(sub.made))
        (out,) = self.node(sub, "Identity", [self.pick(sub)])
        return out

    def if_node(self, scope):
        c = self.cond(scope)
        branches = []
        for label in ("then", "else"):
            sub = self.inner(scope)
            self.nodes(sub, 0, 3)
            out = self.result(sub)
            branches.append(helper.make_graph(sub.nodes, self.name(label), [], [vi(out)]))
        (y,) = self.node(scope, "If", [c], then_branch=branches[0], else_branch=branches[1])
        self.add(scope, y)

    def loop_node(self, scope):
        if self.draw(st.booleans()):
            trips = self.name("m")
            self.inits.append(numpy_helper.from_array(np.array(self.draw(st.integers(0, 3)),
                                                               np.int64), trips))
        else:
            (trips,) = self.node(scope, "Constant", [], value=numpy_helper.from_array(
                np.array(self.draw(st.integers(0, 3)), np.int64)))
        it, c_in, v_in = self.name("i"), self.name("cin"), self.name("v")
        sub = self.inner(scope, [v_in])
        self.nodes(sub, 0, 2)
        (v_out,) = self.node(sub, "Add", [v_in, self.pick(sub)])
        (c_out,) = self.node(sub, "Identity", [c_in])
        body = helper.make_graph(sub.nodes, self.name("body"),
                                 [vi(it, I64, []), vi(c_in, BOOL, []), vi(v_in)],
                                 [vi(c_out, BOOL, []), vi(v_out)])
        (y,) = self.node(scope, "Loop", [trips, "", self.pick(scope)], body=body)
        self.add(scope, y)

    def scan_node(self, scope):
        (s0,) = self.node(scope, "ReduceMean", [self.pick(scope)], axes=[0], keepdims=0)
        s_in, x_in = self.name("s"), self.name("xs")
        sub = self.inner(scope)
        self.nodes(sub, 0, 2)
        (r,) = self.node(sub, "ReduceMean", [self.pick(sub)], axes=[0], keepdims=0)
        (s_out,) = self.node(sub, "Add", [s_in, x_in])
        (y_out,) = self.node(sub, "Mul", [s_out, r])
        body = helper.make_graph(sub.nodes, self.name("body"), [vi(s_in, F, [3]), vi(x_in, F, [3])],
                                 [vi(s_out, F, [3]), vi(y_out, F, [3])])
        _, ys = self.node(scope, "Scan", [s0, self.pick(scope)], n_out=2, body=body,
                          num_scan_inputs=1)
        self.add(scope, ys)


@st.composite
def graphs(draw):
    maker = GraphMaker(draw)
    top = Scope([], [], 0)
    maker.boundary(top)
    maker.nodes(top, 1, 8)
    if not top.made:
        maker.add(top, maker.node(top, "Relu", [maker.pick(top)])[0])
    outs = draw(st.lists(st.sampled_from(top.made), min_size=0, max_size=2))
    outs = list(dict.fromkeys(outs + [top.made[-1]]))
    graph = helper.make_graph(top.nodes, "random", maker.inputs, [vi(o) for o in outs],
                              initializer=maker.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8
    if draw(st.booleans()):
        model = onnx.shape_inference.infer_shapes(model)  # value information to clean
    onnx.checker.check_model(model, full_check=True)
    order = draw(st.permutations(range(len(model.graph.node))))
    return model, order


# ---------------------------------------------------------------- model facts

def _live(graph):
    """Names of the top-level nodes that a graph output depends on."""
    producer = {o: n for n in graph.node for o in n.output}
    todo, live = [v.name for v in graph.output], set()
    while todo:
        n = producer.get(todo.pop())
        if n is not None and n.name not in live:
            live.add(n.name)
            todo.extend(reads(n))
    return live


def _run(model, feeds):
    s = ort_session(model)
    outs = s.run(None, {i.name: feeds[i.name] for i in s.get_inputs()})
    return dict(zip([o.name for o in s.get_outputs()], outs))


@settings(max_examples=100, deadline=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(graphs(), st.booleans(),
       st.lists(st.tuples(st.booleans(), st.booleans(), st.booleans()), min_size=1, max_size=3),
       st.booleans(), st.integers(0, 2**32 - 1))
def test_shuffled_graphs_rebuild_sort_and_compute_the_same(ir, graph_and_order, cached, flags,
                                                           compare, seed):
    original, order = graph_and_order
    note(onnx.printer.to_text(original.graph))
    note(f"node order: {list(order)}")
    nodes = list(original.graph.node)
    all_names = {n.name for n in nodes}
    live = _live(original.graph)
    rng = np.random.default_rng(seed)
    feeds = {}
    for v in original.graph.input:
        if v.type.tensor_type.elem_type == BOOL:
            feeds[v.name] = np.array(rng.random() < 0.5)
        else:
            feeds[v.name] = rng.standard_normal(SHAPE).astype(np.float32)
    want = _run(original, feeds) if compare else None

    if cached:
        # With a weight cache the model check only warns, so the shuffled
        # list goes in as it is.
        shuffled = onnx.ModelProto()
        shuffled.CopyFrom(original)
        del shuffled.graph.node[:]
        shuffled.graph.node.extend(nodes[i] for i in order)
        g = ir.IRGraph(shuffled, initializer_dat={})
    else:
        # Without one, construction (which does not sort) runs the checker,
        # which rejects an unsorted list: the list stays in order.
        g = ir.IRGraph(original)

    steps = [(False, False, False)] + list(flags) + [(False, True, False)]
    # The dead-node pass walks the node list backwards, so on a list out of
    # execution order it may drop a producer listed after its reader; with
    # sort_nodes the rebuild sorts first. After such a step only the tables
    # are checked.
    ordered, damaged = not cached, False
    for i, (clean_shape, sort_nodes, clean_node) in enumerate(steps):
        if i:
            g.rebuild(clean_shape=clean_shape, sort_nodes=sort_nodes, clean_node=clean_node)
        ordered = ordered or sort_nodes
        damaged = damaged or (clean_node and not ordered)
        g.verify()
        if damaged:
            continue
        model = restore_weights(g) if cached else ir.to_onnx(g.model)
        graph = model.graph
        declared = {v.name for v in graph.input} | {t.name for t in graph.initializer}
        made = {o for n in graph.node for o in n.output}
        read = set()
        for n in graph.node:
            read |= reads(n)
        assert read <= declared | made, (
            f"read, but neither declared nor made: {sorted(read - declared - made)}")
        names = {n.name for n in graph.node}
        assert live <= names, f"nodes that feed a graph output are gone: {sorted(live - names)}"
        assert names <= all_names
        assert [v.name for v in graph.output] == [v.name for v in original.graph.output]
        if sort_nodes or not cached:
            fault = order_fault(graph)
            assert fault is None, fault
            onnx.checker.check_model(model, full_check=True)
            if want is not None:
                got = _run(model, feeds)
                assert sorted(got) == sorted(want)
                for name, value in want.items():
                    np.testing.assert_allclose(got[name], value, rtol=1e-5, atol=1e-6,
                                               err_msg=name)
