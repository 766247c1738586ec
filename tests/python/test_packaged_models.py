"""Models that other PyPI packages ship: a speech model with control flow, OCR models."""
import glob
import importlib.util
import os

import numpy as np
import onnx
import pytest



def shipped(package, pattern):
    spec = importlib.util.find_spec(package)  # locates without importing it
    assert spec is not None, f"{package} is missing: run scripts/bootstrap.sh"
    folder = spec.submodule_search_locations[0]
    return sorted(glob.glob(os.path.join(folder, pattern)))


MODELS = shipped("silero_vad", "data/*.onnx") + shipped("rapidocr_onnxruntime", "models/*.onnx")


def restore_weights(g):
    """The model with the cached weights put back, as a save would write it."""
    m = ir_to_onnx(g)
    for t in m.graph.initializer:
        if t.name in g.initializer_dat:
            t.CopyFrom(onnx.numpy_helper.from_array(np.asarray(g.initializer_dat[t.name]), t.name))
    return m


def ir_to_onnx(g):
    import tarq.api.ir_graph as ir
    return ir.to_onnx(g.model)


@pytest.mark.parametrize("path", MODELS, ids=os.path.basename)
def test_packaged_model_builds_cleans_and_stays_valid(ir, path):
    original = onnx.load(path)
    try:
        onnx.checker.check_model(original)
        valid = True
    except onnx.checker.ValidationError:
        valid = False
    cache = {}
    g = ir.IRGraph(ir.load_model(path), initializer_dat=cache, ori_model_path=path)
    g.verify()
    g.rebuild(clean_shape=True, sort_nodes=True)
    g.verify()
    # Inputs and initializers read only inside If branches or Loop bodies
    # stay, so the cleaned model is as valid as the original.
    if valid:
        onnx.checker.check_model(restore_weights(g))
    if any(n.op_type == "If" for n in original.graph.node):
        branch_reads = [n for n in g.operands.values()
                        if any(c.name not in g.nodes for c in n.outputs)]
        assert branch_reads, "nodes inside If branches are linked as consumers"
