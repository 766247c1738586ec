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


@pytest.fixture(scope="session")
def ir():
    import tarq.api.ir_graph as ir

    return ir
