#!/usr/bin/env python3
"""Benchmark: per-call cost of the reads passes make most, beside the same
reads written in plain Python over the `onnx` package, in one run.

On the BERT export of export_real_model.py (or --model PATH):

  get_attr   ours: g.get_attr(node, name) for every carried attribute
             ref:  helper.get_attribute_value of the first attribute of that
                   name in node.attribute
  get_shape  ours: g.get_shape(name) for every tensor with value information
             ref:  a dict name -> ValueInfoProto built beforehand, then the
                   dims read as ints / strings / None
  get_dtype  ours: g.get_dtype(name)
             ref:  the same dict, then helper.tensor_dtype_to_np_dtype
  get_const  ours: g.get_const(name) (ref=True) for every initializer, the
                   graph built with a weight cache (initializer_dat={});
                   and, on a graph without one, for every constant over
                   1 MiB (views of the model's own bytes)
             ref:  a dict name -> TensorProto, then numpy_helper.to_array

and get_const(ref=True) of one 100 MB cached weight: the per-call time and
the resident memory before and after 1,000 reads (no copy: it stays flat).

Prints microseconds per call and the ratio ref/ours (above 1: ours is
faster); targets are reported, never asserted. Writes JSON under
bench/results/.

    python bench/bench_tensor_reads.py [--model PATH] [--repeat 5]
"""
import argparse
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "build", "python"))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402
import onnx  # noqa: E402
from onnx import helper, numpy_helper  # noqa: E402


def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def per_call(fn, calls, repeat):
    """Best of `repeat` runs of fn(), in microseconds per call."""
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best / max(calls, 1) * 1e6


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--model", help="model file (default: the BERT export)")
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--results-dir", default=os.path.join(HERE, "results"))
    args = ap.parse_args(argv)

    from tarq.api.ir_graph import IRGraph, load_model

    path = args.model
    if not path:
        import export_real_model
        path = export_real_model.default_path()
        export_real_model.export(path)

    # Both sides read shapes from inferred value information.
    ref_model = onnx.shape_inference.infer_shapes(onnx.load(path))
    g = IRGraph(load_model(path), initializer_dat={}, ori_model_path=path)
    graph = ref_model.graph
    nodes = list(g.node)
    ref_nodes = list(graph.node)
    pairs = [(n, a.name) for n in nodes for a in n.attribute]
    ref_pairs = [(n, a.name) for n in ref_nodes for a in n.attribute]
    infos = {vi.name: vi for vi in list(graph.input) + list(graph.output) + list(graph.value_info)}
    names = [n for n in infos if n in g.operands]
    inits = {t.name: t for t in graph.initializer}

    def ref_attr():
        for node, name in ref_pairs:
            for a in node.attribute:
                if a.name == name:
                    helper.get_attribute_value(a)
                    break

    def ours_attr():
        for node, name in pairs:
            g.get_attr(node, name)

    def ref_shape():
        for name in names:
            [d.dim_value if d.HasField("dim_value") else (d.dim_param or None)
             for d in infos[name].type.tensor_type.shape.dim]

    def ours_shape():
        for name in names:
            g.get_shape(name)

    def ref_dtype():
        for name in names:
            helper.tensor_dtype_to_np_dtype(infos[name].type.tensor_type.elem_type)

    def ours_dtype():
        for name in names:
            g.get_dtype(name)

    const_names = list(g.consts)

    def ref_const():
        for name in const_names:
            numpy_helper.to_array(inits[name])

    def ours_const():
        for name in const_names:
            g.get_const(name)

    # Without a weight cache: the constants over 1 MiB, read in place.
    plain = IRGraph(load_model(path), ori_model_path=path)
    large = [n for n in plain.consts if inits[n].ByteSize() > 1 << 20]

    def ref_large():
        for name in large:
            numpy_helper.to_array(inits[name])

    def ours_large():
        for name in large:
            plain.get_const(name)

    rows = []
    for label, ours, ref, calls in [
            ("get_attr", ours_attr, ref_attr, len(pairs)),
            ("get_shape", ours_shape, ref_shape, len(names)),
            ("get_dtype", ours_dtype, ref_dtype, len(names)),
            ("get_const(ref=True)", ours_const, ref_const, len(const_names)),
            ("  no cache, > 1 MiB", ours_large, ref_large, len(large))]:
        t_ours = per_call(ours, calls, args.repeat)
        t_ref = per_call(ref, calls, args.repeat)
        rows.append({"read": label, "calls": calls, "ours_us": t_ours, "ref_us": t_ref,
                     "ratio": t_ref / t_ours, "target_met": t_ours <= t_ref})

    # One 100 MB cached weight, read by reference 1,000 times.
    cache = {}
    big_graph = IRGraph(onnx.helper.make_model(onnx.helper.make_graph(
        [], "big", [], [helper.make_tensor_value_info("w", onnx.TensorProto.FLOAT, [25, 1 << 20])])),
        initializer_dat=cache)
    big_graph.set_const("w", np.ones((25, 1 << 20), np.float32))
    before = rss_mib()
    t_big = per_call(lambda: [big_graph.get_const("w") for _ in range(1000)], 1000, args.repeat)
    after = rss_mib()
    big = {"bytes": int(cache["w"].nbytes), "us_per_call": t_big, "rss_before_mib": before,
           "rss_after_mib": after, "target_met": t_big < 10 and after - before < 50}

    print(f"model: {path} ({len(nodes)} nodes, {len(const_names)} constants)")
    print(f"{'read':<22}{'calls':>8}{'ours us':>10}{'ref us':>10}{'ref/ours':>10}  target")
    for r in rows:
        print(f"{r['read']:<22}{r['calls']:>8}{r['ours_us']:>10.2f}{r['ref_us']:>10.2f}"
              f"{r['ratio']:>10.2f}  {'met' if r['target_met'] else 'NOT met'} (ours <= ref)")
    print(f"get_const(ref=True) of a {big['bytes'] / 1e6:.0f} MB cached weight: "
          f"{t_big:.2f} us per call; RSS {before:.0f} -> {after:.0f} MiB over 1,000 reads  "
          f"{'met' if big['target_met'] else 'NOT met'} (< 10 us, no copy)")
    os.makedirs(args.results_dir, exist_ok=True)
    out = os.path.join(args.results_dir, "tensor_reads.json")
    with open(out, "w") as f:
        json.dump({"model": path, "reads": rows, "cached_100mb": big}, f, indent=2)
    print(f"results: {out}")


if __name__ == "__main__":
    main()
