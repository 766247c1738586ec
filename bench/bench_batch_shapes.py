#!/usr/bin/env python3
"""Benchmark: shape configurations and batch expansion on the BERT export.

derive  tarq child: with g = IRGraph(load_model(path), initializer_dat={}) and
        CONFIGS recorded by g.update_dynamic_shapes(table), g.update_dynamic_shapes()
        best of --repeat, with the peak memory it adds (VmHWM reset first), against
        g.infer_shapes(view, data_prop=True) of the file's model fixed at CONFIGS[0] (the
        inference the derivation runs per configuration; plain inference shown too); one logged run
        splits its time; the derived shapes are held against onnx's inference.
expand  one child per side, symbolic dims fixed (axis 0 to 1) before timing: tarq's
        g.expand_batch(batch) against python_expand_batch over the onnx package;
        tarq's result (weights put back) must pass onnx.checker afterwards. The
        python child also times onnx.shape_inference.infer_shapes of the model.

Prints the figures and whether each target is met (never fails on them); writes
bench/results/batch_shapes.json. See bench/README.md.

    python bench/bench_batch_shapes.py [--repeat 20] [--expand-repeat 5] [--batch 8]
                                       [--model PATH] [--tarq-path DIR]
"""
import argparse
import gc
import json
import logging
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_construct as bc  # noqa: E402  (module lookup, peak memory, formatting)
import bench_rebuild as br  # noqa: E402  (BERT lookup, /proc/self/status, page cache warm-up)
from bench_edits import _machine  # noqa: E402

_kib = br._status_kib

CONFIGS = ([1, 128], [2, 128], [4, 256], [8, 384])
DERIVE_OVER_INFER = 5.0   # the derivation of all CONFIGS <= 5x tarq's inference at one of them
PEAK_OVER_FILE = 0.1      # the peak memory the derivation adds <= 0.1x the model file
REDUCE_OPS = ("ReduceSum", "ReduceMean", "ReduceMax", "ReduceMin", "ReduceProd", "ReduceL1",
              "ReduceL2", "ReduceLogSum", "ReduceLogSumExp", "ReduceSumSquare")


def fix_dims(model, lead=1, rest=128):
    """Symbolic dims of the graph inputs and outputs become `lead` (axis 0) or `rest`."""
    for vi in list(model.graph.input) + list(model.graph.output):
        for k, d in enumerate(vi.type.tensor_type.shape.dim):
            if not d.HasField("dim_value"):
                d.dim_value = lead if k == 0 else rest


def _dims(vi):
    t = vi.type.tensor_type
    return [d.dim_value if d.HasField("dim_value") else (d.dim_param or None)
            for d in t.shape.dim] if t.HasField("shape") else None


def _shapes(graph):
    return {vi.name: vi for part in (graph.input, graph.output, graph.value_info) for vi in part}


def _full(d):
    return d is not None and all(isinstance(x, int) and x >= 0 for x in d)


def _infer(m):
    from onnx import shape_inference
    del m.graph.value_info[:]
    for vi in m.graph.output:   # outputs are inferred afresh, their element types kept
        vi.type.tensor_type.ClearField("shape")
    return shape_inference.infer_shapes(m, data_prop=True)


def python_expand_batch(model, before, batch):
    """expand_batch's rules over the onnx package (of its refusals, only the input
    and reduction ones); `model` stays as it is, `before` maps names to the dims
    inferred before. Returns (model or None, why refused, {step: seconds})."""
    import numpy as np
    import onnx
    from onnx import numpy_helper
    clock, t0 = time.perf_counter, time.perf_counter()
    inits = {t.name for t in model.graph.initializer}
    inputs = {vi.name for vi in model.graph.input if vi.name not in inits}
    why = next((f"the shape[0] of {vi.name} is not equal to 1" for vi in model.graph.input
                if vi.name in inputs and (_dims(vi) or [None])[0] != 1), None) or next(
        (f"there is an OP of type {n.op_type}" for n in model.graph.node if n.op_type in REDUCE_OPS), None)
    if why:
        return None, why, {}
    m = onnx.ModelProto()
    m.CopyFrom(model)
    t1 = clock()
    g = m.graph
    for vi in g.input:
        if vi.name in inputs and vi.type.tensor_type.shape.dim:
            vi.type.tensor_type.shape.dim[0].dim_value = batch
    values = {t.name: t for t in g.initializer}   # constants: initializers and Constant nodes
    values.update((n.output[0], n.attribute[0].t) for n in g.node
                  if n.op_type == "Constant" and n.attribute and n.attribute[0].name == "value")
    get = lambda name: numpy_helper.to_array(values[name]) if name in values else None
    done = set()

    def put(name, arr):
        t = values[name]
        t.CopyFrom(numpy_helper.from_array(np.asarray(arr).astype(get(name).dtype), t.name))
        done.add(name)

    varying, grew = set(inputs), True   # what the graph inputs feed
    while grew:
        grew = False
        for n in g.node:
            if any(i in varying for i in n.input) and not varying.issuperset(n.output):
                varying.update(n.output)
                grew = True
    for n in g.node if batch > 1 else ():
        op, ins = n.op_type, list(n.input)
        if op == "Reshape" and len(ins) > 1 and ins[0] in varying and ins[1] in inits and ins[1] not in done:
            v = [int(x) for x in get(ins[1])]
            put(ins[1], [batch] + v[1:] if v and v[0] == 1 else [batch] + v)
        elif op == "Resize" and len(ins) > 3 and ins[3] in inits and ins[3] not in done:
            v = get(ins[3])
            if v.size and v.flat[0] == 1:
                put(ins[3], [batch] + [int(x) for x in v.flat[1:]])
        elif op == "Slice" and len(ins) > 2:   # starts 0, ends 1, axes 0, steps 1: ends[0] = batch
            parts = [get(x) if x else None for x in ins[1:5]] + [None] * (5 - len(ins))
            if parts[1] is not None and ins[2] not in done and all(
                    a is None or (a.size and a.flat[0] == want) for a, want in zip(parts, (0, 1, 0, 1))):
                put(ins[2], [batch] + [int(x) for x in parts[1].flat[1:]])
        elif op == "LSTM":
            for name in (x for x in ins if "initial" in x and x not in done and x in values):
                v = get(name)
                if v.ndim != 3 or v.shape[1] != 1:
                    return None, f"the LSTM state '{name}' does not hold one sample", {}
                put(name, np.repeat(v, batch, axis=1))
    t2 = clock()
    m = _infer(m)
    after, changed = _shapes(m.graph), False
    for n in m.graph.node if batch > 1 else ():   # a Transpose whose input gained a leading axis
        if n.op_type != "Transpose" or not n.input or n.input[0] not in after:
            continue
        was, now = before.get(n.input[0]), _dims(after[n.input[0]])
        perm = next((a for a in n.attribute if a.name == "perm"), None)
        if was is not None and now and len(now) == len(was) + 1 and perm and perm.ints and perm.ints[0]:
            perm.ints[:] = [0] + [p + 1 for p in perm.ints]
            changed = True
    m = _infer(m) if changed else m
    t3 = clock()
    shapes, read = _shapes(m.graph), {i for n in m.graph.node for i in n.input}

    def incomplete(name):
        vi = shapes.get(name)
        if not name or name in inits or (vi is not None and not vi.type.HasField("tensor_type")):
            return None
        d = None if vi is None else _dims(vi)
        return None if _full(d) else f"'{name}' has {f'the shape {d}' if d else 'no shape'} after inference"
    names = [vi.name for vi in m.graph.input] + [o for n in m.graph.node for o in n.output if o in read]
    why = next(filter(None, map(incomplete, names + [vi.name for vi in m.graph.output])), None)
    for vi in m.graph.output if why is None else ():   # the output batch times along one axis
        old, got = before.get(vi.name), _dims(vi)
        grown = [k for k, (o, x) in enumerate(zip(old or [], got)) if isinstance(o, int) and o != x]
        if old is not None and not (len(got) == len(old) + 1 and got[0] == batch and got[1:] == old) \
                and not (len(got) == len(old) and len(grown) == (batch > 1)
                         and all(got[k] == old[k] * batch for k in grown)):
            why = f"the output '{vi.name}' would have the shape {got} for {old} per sample"
            break
    return (None if why else m), why, {"copy_s": t1 - t0, "rewrite_s": t2 - t1, "infer_s": t3 - t2,
                                       "complete_s": clock() - t3}


def _timed(fn):
    """(result, seconds, MiB of peak memory added), VmHWM reset first."""
    gc.collect()
    base = _kib("VmHWM") if bc._reset_peak() else _kib("VmRSS")
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0, (_kib("VmHWM") - base) / 1024


def _capture(level):
    """The messages of the "tarq" logger from `level` on, stamped as they arrive."""
    got, handler, log = [], logging.Handler(level), logging.getLogger("tarq")
    handler.emit = lambda rec: got.append((time.perf_counter(), rec.getMessage().strip()))
    log.addHandler(handler)
    log.setLevel(min(level, log.getEffectiveLevel()))
    return got


def _child_derive(args):
    import onnx
    irg = bc._import_tarq(args.tarq_path)
    br._warm(args.path)
    g = irg.IRGraph(irg.load_model(args.path), initializer_dat={})
    table = {name: [list(c) for c in CONFIGS] for name in g.inputs}
    runs, infer, infer_plain = [], [], []
    for _ in range(args.repeat):   # the derivation and its yardstick take turns, alike in the noise
        g.update_dynamic_shapes(table)
        _, t, added = _timed(g.update_dynamic_shapes)
        runs.append({"time_s": t, "added_peak_mib": added, "peak_mib": _kib("VmHWM") / 1024})
        # tarq's inference at one configuration, of the kind the derivation
        # runs per configuration (data propagation on), and plain.
        for data_prop, into in ((True, infer), (False, infer_plain)):
            view = irg.load_model(args.path)
            fix_dims(view, *CONFIGS[0])
            into.append(_timed(lambda: g.infer_shapes(view, check=False, data_prop=data_prop))[1])
            view = None
    stamps = _capture(logging.DEBUG)   # one more run, split by its debug messages
    g.update_dynamic_shapes(table)
    marks = [(time.perf_counter(), "call")]
    g.update_dynamic_shapes(log=True)
    marks += [s for s in stamps if s[1]] + [(time.perf_counter(), "return")]
    derived, onnx_s, agree = dict(g.dynamic_shapes), [], []
    plain = irg.to_onnx(g.model)   # the weights are in the cache: a model of some 0.3 MB
    for i, cfg in enumerate(CONFIGS):   # [] in the table is a scalar or no shape at all
        m = onnx.ModelProto()
        m.CopyFrom(plain)
        fix_dims(m, *cfg)
        m, t, _ = _timed(lambda: _infer(m))
        onnx_s.append(t)
        ref = {n: _dims(vi) for n, vi in _shapes(m.graph).items()}
        mine, known = {n: s[i] for n, s in derived.items()}, [n for n, d in ref.items() if _full(d)]
        agree.append({"config": cfg, "known_to_onnx": len(known),
                      "same": sum(mine.get(n) == ref[n] for n in known),
                      "conflicting": [n for n in known if _full(mine.get(n) or None) and mine[n] != ref[n]]})
    return {"runs": runs, "time_s": min(r["time_s"] for r in runs), "tensors": len(derived),
            "added_peak_mib": max(r["added_peak_mib"] for r in runs),
            "peak_mib": max(r["peak_mib"] for r in runs),
            "split_ms": [{"until": m, "ms": (t - p) * 1e3} for (p, _), (t, m) in zip(marks, marks[1:])],
            "infer_s": min(infer), "infer_all_s": infer, "infer_plain_s": min(infer_plain), "onnx_weightless_data_prop_s": min(onnx_s),
            "cached_weights": len(g.initializer_dat), "agreement": agree}


def _child_expand(args):
    import numpy as np
    import onnx
    from onnx import numpy_helper
    res, runs = {"side": args.side}, []
    if args.side == "python":
        model = onnx.load(args.path)
        fix_dims(model)   # at CONFIGS[0]: onnx's inference of the model with its weights, for information
        for _ in range(args.repeat):
            inferred, t, _ = _timed(lambda: onnx.shape_inference.infer_shapes(model))
            res["onnx_infer_s"] = min(t, res.get("onnx_infer_s", t))
        before = {n: _dims(vi) for n, vi in _shapes(inferred.graph).items()}
        del inferred
        for _ in range(args.repeat):
            (out, why, parts), t, added = _timed(lambda: python_expand_batch(model, before, args.batch))
            runs.append({"time_s": t, "added_peak_mib": added, **parts})
        res.update(accepted=out is not None, reason=why, peak_mib=_kib("VmHWM") / 1024)
        if out is not None:
            onnx.checker.check_model(out)
    else:
        irg = bc._import_tarq(args.tarq_path)
        warnings = _capture(logging.WARNING)
        for _ in range(args.repeat):
            g = cache = None   # the previous graph and its weights go before the next model comes in
            view, cache = irg.load_model(args.path), {}
            fix_dims(view)
            g = irg.IRGraph(view, initializer_dat=cache)
            was, view = g.model.SerializeToString(), None
            warnings.clear()
            ok, t, added = _timed(lambda: g.expand_batch(args.batch))
            runs.append({"time_s": t, "added_peak_mib": added})
        res.update(accepted=ok, reason=" / ".join(w for _, w in warnings) or None,
                   peak_mib=_kib("VmHWM") / 1024,
                   unchanged_after_refusal=None if ok else g.model.SerializeToString() == was)
        out = irg.to_onnx(g.model)   # a copy; the cached weights go back in
        for t in out.graph.initializer:
            if t.name in cache:
                t.CopyFrom(numpy_helper.from_array(np.asarray(cache[t.name]), t.name))
        onnx.checker.check_model(out)
    res.update(checked=res["accepted"] or args.side == "tarq", time_s=min(r["time_s"] for r in runs),
               added_peak_mib=max(r["added_peak_mib"] for r in runs), runs=runs)
    return res


def _spawn(args, child, path, side=None):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", child, "--path", path, "--repeat",
           str(args.expand_repeat if child == "expand" else args.repeat), "--batch", str(args.batch)]
    cmd += ["--side", side] if side else []
    cmd += ["--tarq-path", args.tarq_path] if args.tarq_path else []
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or [f"exit code {proc.returncode}"])[-1]
        return {"error": tail, "stderr": proc.stderr[-4000:]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def _report(derive, expand, file_mib, batch):
    t, met = bc._fmt_time, lambda ok: "met" if ok else "NOT met"
    out = [f"derivation FAILED: {derive['error']}"] if "error" in derive else []
    if "error" not in derive:
        x, y = derive["time_s"] / derive["infer_s"], derive["added_peak_mib"] / file_mib
        out += [f"update_dynamic_shapes(), {len(CONFIGS)} configurations, {derive['tensors']} tensors: "
                f"{t(derive['time_s'])}; tarq's inference at {CONFIGS[0]}: {t(derive['infer_s'])} "
                f"with data propagation, {t(derive['infer_plain_s'])} without",
                f"  derivation / tarq's inference: {x:.2f}x (target <= {DERIVE_OVER_INFER:g}x): "
                f"{met(x <= DERIVE_OVER_INFER)}",
                "  one logged run, ms: " + ", ".join(f"{s['ms']:.2f} to '{s['until'][:22]}'"
                                                    for s in derive["split_ms"]),
                f"  peak memory: +{derive['added_peak_mib']:.1f} MiB during the derivation "
                f"({derive['peak_mib']:.0f} MiB in all), model file {file_mib:.0f} MiB: {y:.3f}x the file "
                f"(target <= {PEAK_OVER_FILE:g}x): {met(y <= PEAK_OVER_FILE)}",
                f"  for information, onnx's inference (data_prop) of the weight-less model: "
                f"{t(derive['onnx_weightless_data_prop_s'])}"]
        if "onnx_infer_s" in expand.get("python", {}):
            out.append(f"  for information, onnx.shape_inference.infer_shapes of the model with its "
                       f"weights: {t(expand['python']['onnx_infer_s'])}")
        for a in derive["agreement"]:
            out.append(f"  at {a['config']}: of {a['known_to_onnx']} shapes onnx knows, {a['same']} derived "
                       f"alike, {len(a['conflicting'])} conflicting {a['conflicting'][:3]}, the rest missing")
    tq, py = expand.get("tarq", {}), expand.get("python", {})
    for side, r in (("tarq", tq), ("python", py)):
        out.append(f"expand_batch({batch}) {side} FAILED: {r['error']}" if "error" in r else
                   f"expand_batch({batch}) {side}: {t(r['time_s'])}, "
                   f"{'accepted' if r['accepted'] else 'refused: ' + str(r['reason'])}; "
                   f"peak +{r['added_peak_mib']:.0f} MiB during it, {r['peak_mib']:.0f} MiB in all")
    if "time_s" in tq and "time_s" in py:
        best = min(py["runs"], key=lambda r: r["time_s"])
        out += [f"  python / tarq: {py['time_s'] / tq['time_s']:.1f}x",
                "  python, best run: " + ", ".join(f"{k[:-2]} {t(v)}" for k, v in best.items()
                                                  if k.endswith("_s") and k != "time_s")]
    if tq.get("checked"):
        out.append("  tarq's model with the cached weights back passes onnx.checker" + (
            "" if tq["accepted"] else f"; unchanged by the refusal: {tq['unchanged_after_refusal']}"))
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description="update_dynamic_shapes and expand_batch on the BERT export.")
    ap.add_argument("--repeat", type=int, default=20, help="runs of the derivation and of each inference")
    ap.add_argument("--expand-repeat", type=int, default=5, help="runs of each expand_batch side")
    ap.add_argument("--batch", type=int, default=8)
    ap.add_argument("--model", help="model (default: the BERT export of export_real_model.py)")
    ap.add_argument("--tarq-path", help=f"directory holding the tarq package (else the normal path, "
                                        f"then {bc.DEFAULT_TARQ_PATH})")
    ap.add_argument("--cache-dir", default=bc.DEFAULT_CACHE, help="models (default: %(default)s)")
    ap.add_argument("--results-dir", default=bc.DEFAULT_RESULTS, help="batch_shapes.json goes there")
    for hidden in ("--child", "--side", "--path"):
        ap.add_argument(hidden, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        print(json.dumps((_child_derive if args.child == "derive" else _child_expand)(args)), flush=True)
        return 0
    if min(args.repeat, args.expand_repeat, args.batch) < 1:
        ap.error("--repeat, --expand-repeat and --batch must be positive")
    path, err = (os.path.abspath(args.model), None) if args.model else br._real_model(args)
    if err:
        ap.error(err)
    try:
        irg = bc._import_tarq(args.tarq_path)
    except ImportError as e:
        ap.error(f"tarq.api.ir_graph not found ({e}); build it or pass --tarq-path")
    started, core = time.time(), irg._core.__file__
    meta = {"benchmark": "batch_shapes", "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "model": path,
            "file_bytes": os.path.getsize(path), "configs": CONFIGS, "batch": args.batch,
            "repeat": args.repeat, "expand_repeat": args.expand_repeat, "loadavg_start": os.getloadavg(),
            "tarq_module": core, "tarq_module_mtime": time.ctime(os.path.getmtime(core)), **_machine()}
    bc._log(f"tarq: {core}; model {path}")
    res = {"derive": _spawn(args, "derive", path),
           "expand": {side: _spawn(args, "expand", path, side) for side in ("tarq", "python")}}
    notes = _report(res["derive"], res["expand"], meta["file_bytes"] / 2**20, args.batch)
    print("\n".join(notes))
    meta.update(loadavg_end=os.getloadavg(), wall_s=time.time() - started)
    os.makedirs(args.results_dir, exist_ok=True)
    out = os.path.join(args.results_dir, "batch_shapes.json")
    with open(out, "w") as f:
        json.dump({"meta": meta, **res, "targets": notes}, f, indent=1)
    print(f"\nresults: {out} ({meta['wall_s']:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
