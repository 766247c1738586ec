"""The index invariants of an IRGraph, checked against its model alone."""
import onnx


def _branch_nodes(graph):
    out = []
    for n in graph.node:
        if n.op_type == "If":
            for a in n.attribute:
                if a.type == onnx.AttributeProto.GRAPH:
                    out.extend(a.g.node)
    return out


def check_invariants(g, ir):
    """Raises AssertionError naming the first table that disagrees with the model."""
    m = ir.to_onnx(g.model)
    graph = m.graph
    consts = {}
    for i, t in enumerate(graph.initializer):
        consts[t.name] = i
    assert dict(g.consts.items()) == consts, "consts"

    names = [n.name for n in graph.node]
    # A node without a name takes its first output's name, which may be empty.
    assert all(n.name or not n.output or not n.output[0] for n in graph.node), "empty node name"
    if len(set(names)) == len(names):
        assert dict(g.nodes.items()) == {n: i for i, n in enumerate(names)}, "nodes"
    assert len(g.nodes) <= len(names)

    inputs = [v.name for v in graph.input if v.name not in consts]
    assert list(g.inputs) == inputs, "inputs"
    assert dict(g.inputs_with_const.items()) == {v.name: i for i, v in enumerate(graph.input)}
    assert list(g.outputs) == [v.name for v in graph.output], "outputs"

    # Producers and consumers, computed the plain way.
    expected = {}
    input_set = set(inputs)
    for v in list(graph.input) + list(graph.output) + list(graph.value_info):
        if v.name not in consts:
            expected.setdefault(v.name, [None, []])
    for n in list(graph.node) + _branch_nodes(graph):
        for name in n.input:
            if not name or (name in consts and name not in input_set):
                continue
            entry = expected.setdefault(name, [None, []])
            if n not in entry[1]:
                entry[1].append(n)
        for name in n.output:
            expected.setdefault(name, [None, []])[0] = n
    assert set(g.operands.keys()) == set(expected), "operands keys"
    for name, (producer, consumers) in expected.items():
        op = g.operands[name]
        if producer is None:
            assert op.input is None, f"producer of {name!r}"
        else:
            assert op.input == producer, f"producer of {name!r}"
        assert len(op.outputs) == len(consumers), f"consumers of {name!r}"
        for got, want in zip(op.outputs, consumers):
            assert got == want, f"consumers of {name!r}"

    assert len(g.can_frees) == len(graph.node), "can_frees"
    assert g.graph == graph and len(g.node) == len(graph.node)
