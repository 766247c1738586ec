import gc
import glob
import os

import onnx
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TESTDATA = "/usr/share/libonnx-testdata/data"
EXAMPLE = os.path.join(ROOT, "examples", "small_cnn.onnx")


def backend_models():
    """Every model of the ONNX backend test data, sorted."""
    return sorted(glob.glob(os.path.join(TESTDATA, "*", "*", "model.onnx")))


def light_models():
    """The architectures that the onnx wheel ships under backend/test/data/light."""
    base = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light")
    return sorted(glob.glob(os.path.join(base, "*.onnx")))


def random_inputs(model, seed=0, dims_of=None):
    """Random values for the graph inputs that are not initializers: normal
    floats, integers (a sample rate) at 16000. `dims_of(vi, dims)` picks the
    dimensions; by default those the model states (a free one is 0)."""
    import numpy as np

    rng = np.random.default_rng(seed)
    init = {t.name for t in model.graph.initializer}
    feeds = {}
    for vi in model.graph.input:
        if vi.name in init:
            continue
        tt = vi.type.tensor_type
        dims = [d.dim_value for d in tt.shape.dim]
        if dims_of:
            dims = dims_of(vi, dims)
        dtype = onnx.helper.tensor_dtype_to_np_dtype(tt.elem_type)
        feeds[vi.name] = (rng.standard_normal(dims).astype(dtype) if dtype.kind == "f"
                          else np.full(dims, 16000, dtype))
    return feeds


def backend_inputs(path, model):
    """The inputs of a backend model's first test data set, by name, or None
    (also when an input is a sequence or an optional)."""
    from onnx import numpy_helper

    files = sorted(glob.glob(os.path.join(os.path.dirname(path), "test_data_set_0", "input_*.pb")))
    init = {t.name for t in model.graph.initializer}
    inputs = [vi for vi in model.graph.input if vi.name not in init]
    if not files or len(files) != len(inputs) or not all(
            vi.type.HasField("tensor_type") for vi in inputs):
        return None
    feeds = {}
    for vi, f in zip(inputs, files):
        t = onnx.TensorProto()
        with open(f, "rb") as fh:
            t.ParseFromString(fh.read())
        feeds[vi.name] = numpy_helper.to_array(t)
    return feeds


@pytest.fixture(scope="session")
def ir():
    import tarq.api.ir_graph as ir

    return ir


# ---- facts about a model, for tests that check a graph is still valid

def subgraphs(node):
    """The graphs a node holds in its attributes."""
    for a in node.attribute:
        if a.type == onnx.AttributeProto.GRAPH:
            yield a.g
        elif a.type == onnx.AttributeProto.GRAPHS:
            yield from a.graphs


def all_nodes(graph):
    """Every node of the graph and of its subgraphs, at any depth."""
    for n in graph.node:
        yield n
        for sub in subgraphs(n):
            yield from all_nodes(sub)


def defined(graph):
    """The names a graph defines: inputs, initializers, node outputs."""
    names = {v.name for v in graph.input} | {t.name for t in graph.initializer}
    names |= {t.values.name for t in graph.sparse_initializer}
    for n in graph.node:
        names.update(n.output)
    return names


def reads(node):
    """A node's inputs and the names its subgraphs (at any depth) read from outside."""
    names = {i for i in node.input if i}
    for sub in subgraphs(node):
        inner = set()
        for n in sub.node:
            inner |= reads(n)
        names |= inner - defined(sub)
    return names


def order_fault(graph):
    """Where the top-level nodes are not in topological order, or None."""
    known = {v.name for v in graph.input} | {t.name for t in graph.initializer}
    known |= {t.values.name for t in graph.sparse_initializer}
    made = {o for n in graph.node for o in n.output}
    for n in graph.node:
        late = sorted(reads(n) - known)
        if late:
            where = "before the node that makes it" if late[0] in made else (
                "which is neither made nor a graph input nor an initializer")
            return f"node {n.name or n.op_type!r} reads {late[0]!r} {where}"
        known.update(n.output)
    return None


def ort_session(model_or_path):
    """An onnxruntime session on one thread, without graph optimisations, quiet."""
    import onnxruntime as ort

    options = ort.SessionOptions()
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    options.intra_op_num_threads = 1
    options.inter_op_num_threads = 1
    options.log_severity_level = 3
    source = model_or_path if isinstance(model_or_path, str) else model_or_path.SerializeToString()
    return ort.InferenceSession(source, options, providers=["CPUExecutionProvider"])


def reuse_freed_memory():
    """Allocates and drops many small objects, so that a view of freed memory
    reads other bytes than its message's (or crashes) instead of passing by luck."""
    junk = [bytearray(48) for _ in range(20000)]
    del junk
    gc.collect()
