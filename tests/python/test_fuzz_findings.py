"""Cases that fuzz/python_ops_fuzzer.py found, each built directly from the
operations that led to it. They crash (or report under AddressSanitizer)
where the fault is back, and pass quietly otherwise."""
import gc
import os

import onnx
import pytest

from conftest import EXAMPLE, reuse_freed_memory

LIGHT_ALEXNET = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light",
                             "light_bvlc_alexnet.onnx")


def test_nodes_found_after_the_model_was_replaced_outlive_the_graph(ir):
    # The fuzzer's case: a graph over a model view, `graph.model` replaced by
    # another view of the same file, a consumer found through a node of the
    # old graph, then the graph dropped without a rebuild and the last view of
    # the old model (its node list) let go; reading the consumer read a freed
    # node. The queries answer from the old model's tables until the next
    # rebuild, so what they return must keep that model alive.
    queries = {
        "next_nodes(node)": lambda g, nodes: g.next_nodes(nodes[0]),
        "pre_nodes(node)": lambda g, nodes: g.pre_nodes(nodes[-1]),
        "pre_nodes(name)": lambda g, nodes: g.pre_nodes(nodes[-1].input[0]),
        "next_nodes(name)": lambda g, nodes: list(g.next_nodes(nodes[0].output[0])),
    }
    for path in (LIGHT_ALEXNET, EXAMPLE):
        for what, query in queries.items():
            for copied_in in (False, True):
                g = ir.IRGraph(onnx.load(path) if copied_in else ir.load_model(path))
                g.model = ir.load_model(path)
                old_nodes = g.node  # the previous model's graph until the next rebuild
                found = query(g, old_nodes)
                assert found, what
                expected = [ir.to_onnx(n) for n in found]
                del g
                gc.collect()
                del old_nodes
                reuse_freed_memory()
                assert [ir.to_onnx(n) for n in found] == expected, (path, what)
                for n in found:
                    n.doc_string = "still writable"
                assert all(n.doc_string == "still writable" for n in found)


def test_tensor_reads_through_stale_positions_fail_cleanly(ir):
    # The fuzzer's case: `graph.model` replaced by a model with fewer
    # initializers, then shape, type and constant reads of a constant whose
    # position the tables of the last rebuild still hold.
    g = ir.IRGraph(ir.load_model(EXAMPLE))
    weight = "block3.conv.weight"
    assert g.consts[weight] >= 1
    g.model = onnx.helper.make_model(onnx.helper.make_graph([], "empty", [], []))
    for read in (lambda: g.get_shape(weight), lambda: g.get_dtype(weight),
                 lambda: g.get_const(weight), lambda: g.get_const(weight, to_array=False),
                 lambda: g.set_shape(weight, [1]), lambda: g.set_const(weight, [1.0])):
        with pytest.raises(IndexError, match="rebuild"):
            read()
    g.rebuild()
    assert g.get_shape(weight) is None
    g.verify()
