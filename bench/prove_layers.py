#!/usr/bin/env python3
"""The layer export proved on the BERT export (or another model): every layer
model create_ir_layers gives, with and without fusion, passes the ONNX checker
(weights put back from the cache), and the layers run one after the other with
onnxruntime, each fed from the graph inputs and the outputs of the layers
before it (found through ir_next_ids), compute the whole model's outputs; no
tensor a layer may free is read by a later layer.

The proof is the one the test suite runs on the backend test data, the light
models and the shipped models (tests/python/test_ir_layers.py); BERT is too
large for the suite, so it runs here.

    python bench/prove_layers.py [--model PATH] [--tarq-path DIR] [--sequence 128]
"""
import argparse
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests", "python"))
import bench_construct as bc  # noqa: E402  (module lookup)
import bench_rebuild as br  # noqa: E402  (BERT lookup)


def bert_feeds(model, sequence, seed=0):
    """Token ids below 1000, a full attention mask, segment 0, at batch 1."""
    import numpy as np
    rng = np.random.default_rng(seed)
    shape = [1, sequence]
    feeds = {}
    for vi in model.graph.input:
        if vi.name == "input_ids":
            feeds[vi.name] = rng.integers(0, 1000, shape, dtype=np.int64)
        elif vi.name == "attention_mask":
            feeds[vi.name] = np.ones(shape, np.int64)
        else:
            feeds[vi.name] = np.zeros(shape, np.int64)
    return feeds


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--model", help="model file (default: the BERT export)")
    ap.add_argument("--tarq-path")
    ap.add_argument("--sequence", type=int, default=128)
    ap.add_argument("--cache-dir", default=os.path.join(HERE, ".cache"))
    args = ap.parse_args()
    ir = bc._import_tarq(args.tarq_path)
    path, err = (os.path.abspath(args.model), None) if args.model else br._real_model(args)
    if err:
        print(err)
        return 1
    import onnx
    import test_ir_layers as proof

    model = onnx.load(path)
    name = os.path.basename(path)
    start = time.perf_counter()
    tally, faults = proof._prove_all(
        ir, [(name, model, lambda m: bert_feeds(m, args.sequence))], cache=True)
    print(f"{name}: {len(model.graph.node)} nodes, layers with and without fusion, "
          f"{time.perf_counter() - start:.0f} s")
    for outcome, count in tally.most_common():
        print(f"  {count:5d}  {outcome}")
    for (model_name, mode), error in faults.items():
        print(f"  FAULT {model_name} ({mode}): {error[:500]}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
