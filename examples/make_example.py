#!/usr/bin/env python3
"""Writes examples/small_cnn.onnx, the small model that tarq-ir and the docs use.

A residual CNN on a 1x3x32x32 image:

    Conv(8, 3x3, pad 1) + BatchNormalization + Relu          -> block1
    Conv(8, 3x3, pad 1) + BatchNormalization                  -> block2
    Add(block2, block1) + Relu + MaxPool 2x2
    Conv(16, 3x3, pad 1) + Relu
    GlobalAveragePool + Flatten + Gemm(10) + Softmax           -> probabilities

Weights come from a fixed seed, so every run writes the same bytes. The model
carries shape-inferred value_info for every intermediate tensor, passes the
full checker, and is run once with onnxruntime (compared against the onnx
reference evaluator) before it is written.

    python examples/make_example.py [--output PATH]
"""
import argparse
import os
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
IR_VERSION = 8
SEED = 20261206
HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUTPUT = os.path.join(HERE, "small_cnn.onnx")


def _conv_weight(rng, out_ch, in_ch, k):
    fan_in = in_ch * k * k
    return (rng.standard_normal((out_ch, in_ch, k, k)) * np.sqrt(2.0 / fan_in)).astype(np.float32)


def _bn_params(rng, ch, prefix):
    return [
        numpy_helper.from_array(rng.uniform(0.8, 1.2, ch).astype(np.float32), f"{prefix}.weight"),
        numpy_helper.from_array(rng.uniform(-0.1, 0.1, ch).astype(np.float32), f"{prefix}.bias"),
        numpy_helper.from_array(rng.uniform(-0.2, 0.2, ch).astype(np.float32), f"{prefix}.running_mean"),
        numpy_helper.from_array(rng.uniform(0.5, 1.5, ch).astype(np.float32), f"{prefix}.running_var"),
    ]


def build_model():
    rng = np.random.default_rng(SEED)
    inits = []

    def add_init(array, name):
        inits.append(numpy_helper.from_array(array, name))
        return name

    conv_attrs = dict(kernel_shape=[3, 3], pads=[1, 1, 1, 1], strides=[1, 1], dilations=[1, 1], group=1)
    nodes = []

    # Block 1: Conv + BN + Relu.
    add_init(_conv_weight(rng, 8, 3, 3), "block1.conv.weight")
    add_init(np.zeros(8, np.float32), "block1.conv.bias")
    nodes.append(helper.make_node("Conv", ["input", "block1.conv.weight", "block1.conv.bias"],
                                  ["block1/conv_out"], name="block1/Conv", **conv_attrs))
    inits += _bn_params(rng, 8, "block1.bn")
    nodes.append(helper.make_node(
        "BatchNormalization",
        ["block1/conv_out", "block1.bn.weight", "block1.bn.bias", "block1.bn.running_mean", "block1.bn.running_var"],
        ["block1/bn_out"], name="block1/BatchNormalization", epsilon=1e-5, momentum=0.9))
    nodes.append(helper.make_node("Relu", ["block1/bn_out"], ["block1/relu_out"], name="block1/Relu"))

    # Block 2: Conv + BN, residual Add with block 1, Relu, MaxPool.
    add_init(_conv_weight(rng, 8, 8, 3), "block2.conv.weight")
    add_init(np.zeros(8, np.float32), "block2.conv.bias")
    nodes.append(helper.make_node("Conv", ["block1/relu_out", "block2.conv.weight", "block2.conv.bias"],
                                  ["block2/conv_out"], name="block2/Conv", **conv_attrs))
    inits += _bn_params(rng, 8, "block2.bn")
    nodes.append(helper.make_node(
        "BatchNormalization",
        ["block2/conv_out", "block2.bn.weight", "block2.bn.bias", "block2.bn.running_mean", "block2.bn.running_var"],
        ["block2/bn_out"], name="block2/BatchNormalization", epsilon=1e-5, momentum=0.9))
    nodes.append(helper.make_node("Add", ["block2/bn_out", "block1/relu_out"], ["block2/add_out"],
                                  name="block2/residual/Add"))
    nodes.append(helper.make_node("Relu", ["block2/add_out"], ["block2/relu_out"], name="block2/Relu"))
    nodes.append(helper.make_node("MaxPool", ["block2/relu_out"], ["pool/out"], name="pool/MaxPool",
                                  kernel_shape=[2, 2], strides=[2, 2]))

    # Block 3: Conv(16) + Relu.
    add_init(_conv_weight(rng, 16, 8, 3), "block3.conv.weight")
    add_init((rng.standard_normal(16) * 0.05).astype(np.float32), "block3.conv.bias")
    nodes.append(helper.make_node("Conv", ["pool/out", "block3.conv.weight", "block3.conv.bias"],
                                  ["block3/conv_out"], name="block3/Conv", **conv_attrs))
    nodes.append(helper.make_node("Relu", ["block3/conv_out"], ["block3/relu_out"], name="block3/Relu"))

    # Head: GlobalAveragePool, Flatten, Gemm, Softmax.
    nodes.append(helper.make_node("GlobalAveragePool", ["block3/relu_out"], ["head/gap_out"],
                                  name="head/GlobalAveragePool"))
    nodes.append(helper.make_node("Flatten", ["head/gap_out"], ["head/flat_out"], name="head/Flatten", axis=1))
    add_init((rng.standard_normal((10, 16)) * np.sqrt(1.0 / 16)).astype(np.float32), "head.fc.weight")
    add_init((rng.standard_normal(10) * 0.05).astype(np.float32), "head.fc.bias")
    nodes.append(helper.make_node("Gemm", ["head/flat_out", "head.fc.weight", "head.fc.bias"], ["head/logits"],
                                  name="head/Gemm", alpha=1.0, beta=1.0, transB=1))
    nodes.append(helper.make_node("Softmax", ["head/logits"], ["probabilities"], name="head/Softmax", axis=1))

    graph = helper.make_graph(
        nodes,
        "small_cnn",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, 32, 32])],
        [helper.make_tensor_value_info("probabilities", TensorProto.FLOAT, [1, 10])],
        initializer=inits,
        doc_string="Residual CNN, 3x32x32 image to 10 class probabilities.",
    )
    model = helper.make_model(
        graph,
        opset_imports=[helper.make_opsetid("", OPSET)],
        producer_name="tarq-examples",
        producer_version="1",
        doc_string="Small example model of the tarq repository (deterministic weights).",
    )
    model.ir_version = IR_VERSION
    model = onnx.shape_inference.infer_shapes(model, check_type=True, strict_mode=True, data_prop=True)
    onnx.checker.check_model(model, full_check=True)
    return model


def verify(model):
    """Runs the model with onnxruntime and with the onnx reference evaluator."""
    import onnxruntime as ort
    from onnx.reference import ReferenceEvaluator

    inferred = {vi.name for vi in model.graph.value_info}
    produced = {out for node in model.graph.node for out in node.output} - {"probabilities"}
    missing = produced - inferred
    if missing:
        raise RuntimeError(f"value_info missing for {sorted(missing)}")

    x = np.random.default_rng(SEED + 1).standard_normal((1, 3, 32, 32)).astype(np.float32)
    data = model.SerializeToString()
    sess = ort.InferenceSession(data, providers=["CPUExecutionProvider"])
    (probs,) = sess.run(["probabilities"], {"input": x})
    (ref,) = ReferenceEvaluator(model).run(["probabilities"], {"input": x})
    if probs.shape != (1, 10) or not np.all(np.isfinite(probs)):
        raise RuntimeError(f"unexpected output {probs!r}")
    if abs(float(probs.sum()) - 1.0) > 1e-5:
        raise RuntimeError(f"probabilities sum to {probs.sum()}")
    if not np.allclose(probs, ref, rtol=1e-4, atol=1e-6):
        raise RuntimeError(f"onnxruntime and the reference evaluator disagree:\n{probs}\n{ref}")
    return probs


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--output", default=DEFAULT_OUTPUT, help="where to write the model (default: %(default)s)")
    args = ap.parse_args(argv)

    model = build_model()
    probs = verify(model)
    data = model.SerializeToString()
    with open(args.output, "wb") as f:
        f.write(data)
    print(f"wrote {args.output}: {len(data)} bytes, {len(model.graph.node)} nodes, "
          f"{len(model.graph.initializer)} initializers, {len(model.graph.value_info)} value_info; "
          f"top class {int(probs.argmax())} (p={float(probs.max()):.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
