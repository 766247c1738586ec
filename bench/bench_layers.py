#!/usr/bin/env python3
"""Benchmark: the layer export (create_ir_layers) against the same export in plain Python.

On the 10k- and 100k-node synthetic graphs of bench_construct.py and on the
BERT export of export_real_model.py, one child process per (model, side):

  tarq    g = IRGraph(load_model(path), initializer_dat={}) (untimed), then
          g.create_ir_layers(fuse_op=False, log=False), best of --repeat runs
          and of more, up to 20, while all take under 3 s; the same with
          fuse_op=True, once with log=True, and after an edit (the model's
          doc_string set before each call: where the model does not state
          every shape, the whole-model inference, kept between exports of
          the same content, runs again). Split through the API:
          g.infer_shapes(view, check=False, data_prop=True) of the file (the
          up-front inference), g.infer_shapes(layer, check=False) over every layer.
  python  onnx.load(path) (untimed), then python_layers(model), best of
          --py-repeat alike (a run estimated over 5 minutes runs
          on a 30k-node prefix and is scaled): see python_layers. "same"
          content (the target): initializers over 2^18 elements keep only
          name, type and dims, as tarq's weight cache leaves them; on BERT
          also "inline", the weights in as onnx.load gives them.

A check child runs both sides on the 10k graph and on BERT, untimed: layer
count, reader table, freeable lists, layer graphs equal byte for byte (or but
for the names inference gives unknown dims). --profile runs the tarq child on
one model under `perf record` and sorts the samples into categories. Peak memory:
VmHWM reset before each call. Targets are printed as met / NOT met and never
fail the run; results go to bench/results/layers.json. See bench/README.md.

    python bench/bench_layers.py [--repeat 3] [--py-repeat 3] [--tarq-path DIR]
                                 [--models 10k,100k,bert] [--profile 100k]
"""
import argparse
import collections
import json
import math
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_construct as bc  # noqa: E402  (generator, cache, module lookup, formatting)
import bench_rebuild as br  # noqa: E402  (BERT lookup, /proc/self/status, page cache warm-up)
from bench_batch_shapes import _timed  # noqa: E402  (time and added peak of one call)
from bench_edits import _machine  # noqa: E402

LINEAR = 12.0            # tarq at 100k nodes <= 12x tarq at 10k
SPEEDUP = 10.0           # the Python export >= 10x tarq's, per model
CACHED_ELEMENTS = 1 << 18  # initializers over this many elements go to tarq's weight cache
MORE_RUNS_S = 3.0        # runs go on (up to 20) while they take less than this in all
PY_BUDGET_S, PREFIX = 300, 30000   # a Python run estimated longer runs on a 30k-node prefix


def strip_cached(model):
    """Drops the data of the initializers tarq's weight cache takes; returns their count."""
    big = [t for t in model.graph.initializer if math.prod(t.dims) > CACHED_ELEMENTS]
    for t in big:
        for f in ("raw_data", "float_data", "int32_data", "int64_data", "double_data"):
            t.ClearField(f)
    return len(big)


def python_layers(model, limit=None):
    """The layer export over the onnx package: one infer_shapes(model, data_prop=True)
    up front; per node, in model order, make_graph (the node, value infos of
    its inputs from graph inputs, initializers or earlier layers' outputs, its
    initializers, value infos of its outputs), make_model importing the
    model's opsets, infer_shapes of the layer; the reader table (tensor ->
    layer ids) and freeable lists (last reader per tensor). Returns (layers,
    can_frees, next_ids, {step: seconds}); the first `limit` nodes only with a
    limit. Nodes with subgraphs get no outer-scope inputs (none here)."""
    from onnx import helper, shape_inference
    clock = time.perf_counter
    t0 = clock()
    g = model.graph
    inferred = shape_inference.infer_shapes(model, data_prop=True)
    t1 = clock()
    outputs_info = {vi.name: vi for vi in inferred.graph.output}
    values_info = {vi.name: vi for vi in inferred.graph.value_info}
    graph_inputs = {vi.name: vi for vi in g.input}
    inits = {t.name: t for t in g.initializer}
    made, opsets, nodes = {}, list(model.opset_import), g.node[:limit] if limit else g.node

    def input_info(name):
        vi = graph_inputs.get(name)
        if vi is None and name in inits:
            vi = made.get(name)
            if vi is None:
                t = inits[name]
                vi = made[name] = helper.make_tensor_value_info(name, t.data_type, list(t.dims))
        return vi if vi is not None else outputs_info.get(name)

    layers, reads, next_ids, last, assemble, infer = [], [], {}, {}, 0.0, 0.0
    for i, node in enumerate(nodes):
        a = clock()
        names = list(dict.fromkeys(x for x in node.input if x))
        reads.append(names)
        for x in names:
            if x not in inits:
                last[x] = i
                next_ids.setdefault(x, []).append(i)
        ins = [vi for vi in map(input_info, names) if vi is not None]
        outs = [outputs_info.get(o) or values_info.get(o) for o in node.output if o]
        lg = helper.make_graph([node], node.name if node.name.strip() else node.output[0], ins,
                               [vi for vi in outs if vi is not None], [inits[x] for x in names if x in inits])
        lm = helper.make_model(lg, opset_imports=opsets, ir_version=bc.IR_VERSION)
        b = clock()
        lm = shape_inference.infer_shapes(lm)
        c = clock()
        outputs_info.update((vi.name, vi) for vi in lm.graph.output)
        layers.append(lm)
        assemble, infer = assemble + b - a, infer + c - b
    t2 = clock()
    frees = [[x for x in names if last.get(x) == i] for i, names in enumerate(reads)]
    return layers, frees, next_ids, {"infer_model_s": t1 - t0, "assemble_s": assemble,
                                     "infer_layers_s": infer, "tables_s": clock() - t2}


def _runs(call, repeat, budget_s=MORE_RUNS_S, about=lambda out: {}):
    """(last result, [{time_s, added_peak_mib, **about(result)}]): `repeat` runs,
    then more, up to bench_construct's small-model count, while under `budget_s` in all."""
    runs, out = [], None
    while len(runs) < repeat or (len(runs) < bc.MIN_SMALL_REPEAT
                                 and sum(r["time_s"] for r in runs) < budget_s):
        out = None   # the previous result goes first
        out, t, added = _timed(call)
        runs.append({"time_s": t, "added_peak_mib": added, **about(out)})
    return out, runs


def _child_tarq(args):
    irg = bc._import_tarq(args.tarq_path)
    br._warm(args.path)
    g = irg.IRGraph(irg.load_model(args.path), initializer_dat={})
    res = {"nodes": len(g.model.graph.node), "cached_weights": len(g.initializer_dat)}
    edits = iter(range(1 << 30))

    def edit():   # a change of content the layers do not carry: inference runs again
        g.model.doc_string = f"edit {next(edits)}"
    modes = [("plain", False, False, args.repeat, None)]
    if not args.plain_only:
        modes += [("fused", True, False, args.repeat, None), ("logged", False, True, 1, None),
                  ("edited", False, False, args.repeat, edit)]
    for mode, fuse, log, repeat, before in modes:   # one logged run: its progress bar is not what is measured
        out = None
        out, runs = _runs(lambda: (before and before(), g.create_ir_layers(fuse_op=fuse, log=log))[1],
                          repeat, MORE_RUNS_S if repeat > 1 else 0)
        res[mode] = {"time_s": min(r["time_s"] for r in runs), "first_s": runs[0]["time_s"],
                     "layers": len(out[0]), "runs": runs}
    if args.plain_only:
        return res
    res["peak_mib"] = br._status_kib("VmHWM") / 1024
    res["added_peak_mib"] = max(r["added_peak_mib"] for r in res["plain"]["runs"])

    def infer_model():   # on a fresh view of the file, loaded untimed
        view = irg.load_model(args.path)
        return _timed(lambda: g.infer_shapes(view, check=False, data_prop=True))[1]

    def infer_layers():
        for layer in out[0]:
            g.infer_shapes(layer, check=False)
    _, passes = _runs(infer_layers, args.repeat)
    res["api_split_s"] = {"infer_model": min(infer_model() for _ in range(max(args.repeat, 5))),
                          "infer_layers": min(r["time_s"] for r in passes)}
    return res


def _child_python(args):
    import onnx
    model = onnx.load(args.path)
    res = {"nodes": len(model.graph.node), "content": args.content, "prefix": args.prefix or None,
           "stripped": strip_cached(model) if args.content == "same" else 0}
    br._warm(args.path)
    _, runs = _runs(lambda: python_layers(model, args.prefix or None), args.repeat,
                    about=lambda out: {"layers": len(out[0]), **out[3]})
    best = min(runs, key=lambda r: r["time_s"])
    res.update(best, first_s=runs[0]["time_s"], runs=runs, peak_mib=br._status_kib("VmHWM") / 1024,
               added_peak_mib=max(r["added_peak_mib"] for r in runs))
    if args.prefix:   # the per-layer time scaled to the whole model
        per = (best["time_s"] - best["infer_model_s"]) / best["layers"]
        res.update(measured_s=best["time_s"], time_s=best["infer_model_s"] + per * res["nodes"])
    return res


def _child_check(args):
    import onnx
    irg = bc._import_tarq(args.tarq_path)
    g = irg.IRGraph(irg.load_model(args.path), initializer_dat={})
    tl, tf, tn = g.create_ir_layers(fuse_op=False, log=False)
    model = onnx.load(args.path)
    strip_cached(model)
    pl, pf, pn, _ = python_layers(model)
    differ = [(a, b) for a, b in zip(tl, pl) if a.graph.SerializeToString() != b.graph.SerializeToString()]
    unk = lambda m: re.sub(r"unk__\d+", "unk__", str(m.graph))   # inference's names for unknown dims
    return {"layers": [len(tl), len(pl)], "next_ids_equal": dict(tn) == pn and list(tn) == list(pn),
            "frees_equal": [list(x) for x in tf] == pf, "equal_layer_graphs": min(len(tl), len(pl)) - len(differ),
            "equal_but_unknown_dim_names": sum(unk(a) == unk(b) for a, b in differ)}


def _spawn(args, child, path, extra=(), prefix=()):
    cmd = list(prefix) + [sys.executable, os.path.abspath(__file__), "--child", child, "--path", path]
    cmd += list(extra) + (["--tarq-path", args.tarq_path] if args.tarq_path else [])
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or [f"exit code {proc.returncode}"])[-1]
        return {"error": tail, "stderr": proc.stderr[-4000:]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


# The category of a perf sample, by its frames (leaf first). glibc's malloc
# often does not unwind: those samples go by their leaf.
INSIDE = (("LayerSources", "name table of the model's tensors (inputs, constants, value information)"),
          ("infer_shapes", "shape inference (up front, and of layers whose shapes are not all known)"),
          ("shape_copy", "shape inference (up front, and of layers whose shapes are not all known)"),
          ("LayerCheckQueue", "handing layers to the checks"),
          ("MergeImpl", "copies of nodes, value information and constants into the layers"),
          ("operator=", "copies of nodes, value information and constants into the layers"))


def _category(frames):
    s = " | ".join(frames)
    if "LayerCheckQueue::run" in s or "LayerChecker::invalid_reason" in s:
        return "layer checks (ONNX checker; on a second thread from 64 layers on)"
    if "create_ir_layers" in s:
        inner = s.split("create_ir_layers")[0]
        return next((label for key, label in INSIDE if key in inner), "layer assembly, other")
    if "bind_compiler_tables" in s:
        return "Python conversion of the result"
    if any(k in frames[0] for k in ("malloc", "free", "unlink_chunk", "tcache")):
        return "malloc/free (caller not unwound)"
    return "freeing earlier results" if "dealloc" in s else "outside (imports, construction, interpreter)"


def _profile(args, path):
    with tempfile.TemporaryDirectory(prefix="bench_layers_") as tmp:
        out = os.path.join(tmp, "perf.data")
        res = _spawn(args, "tarq", path, ["--repeat", "5", "--plain-only"],
                     ["perf", "record", "-q", "-F", "499", "--call-graph", "dwarf,32768", "-o", out])
        text = subprocess.run(["perf", "script", "-i", out, "-F", "ip,sym"], stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True).stdout
    blocks = ([(l.split(None, 1) + ["?"])[1] for l in b.strip().splitlines()] for b in text.split("\n\n"))
    shares = collections.Counter(_category(frames) for frames in blocks if frames)
    n = sum(shares.values()) or 1
    return {"run": res, "samples": n, "shares": {k: v / n for k, v in shares.most_common()}}


def _report(rows, check, profile):
    t, met, out = bc._fmt_time, (lambda ok: "met" if ok else "NOT met"), []
    us = lambda s, n: f"{s / n * 1e6:.1f} us/layer" if s and n else "-"
    for r in rows:
        tq, py = r.get("tarq", {}), r.get("python", {})
        if "error" in tq or "error" in py:
            out.append(f"[{r['label']}] FAILED: {tq.get('error') or py.get('error')}")
            continue
        p, f, n = tq["plain"], tq["fused"], tq["plain"]["layers"]
        out.append(f"[{r['label']}] {r['nodes']:,} nodes: tarq {t(p['time_s'])} ({us(p['time_s'], n)}, "
                   f"{n:,} layers; first call {t(p['first_s'])}); fuse_op=True {t(f['time_s'])} ({f['layers']:,} layers); log=True "
                   f"{t(tq['logged']['time_s'])}; after an edit {t(tq['edited']['time_s'])}; peak "
                   f"+{tq['added_peak_mib']:.0f} MiB, {tq['peak_mib']:.0f} MiB process")
        a = tq["api_split_s"]
        out.append(f"  tarq through the API: up-front inference {t(a['infer_model'])}, per-layer inference "
                   f"{t(a['infer_layers'])} ({us(a['infer_layers'], n)})")
        for side in ("python", "python_inline"):
            q = r.get(side)
            if not q or "error" in q:
                continue
            how = f", first {q['prefix']:,} nodes, {t(q['measured_s'])}, scaled" if q.get("prefix") else ""
            out.append(f"  {side} ({q['content']} content{how}): {t(q['time_s'])} ({us(q['time_s'], r['nodes'])}; "
                       f"first run {t(q['first_s'])}): "
                       f"up-front inference {t(q['infer_model_s'])}, assembly {t(q['assemble_s'])}, per-layer "
                       f"inference {t(q['infer_layers_s'])}; peak +{q['added_peak_mib']:.0f} MiB, "
                       f"{q['peak_mib']:.0f} MiB process; python / tarq {q['time_s'] / p['time_s']:.1f}x")
        r["speedup"] = py["time_s"] / p["time_s"]
        out.append(f"  tarq speedup on {r['label']}: {r['speedup']:.1f}x (target >= {SPEEDUP:g}x): "
                   f"{met(r['speedup'] >= SPEEDUP)}; after an edit {py['time_s'] / tq['edited']['time_s']:.1f}x; "
                   f"first call against first run {py['first_s'] / p['first_s']:.1f}x")
    by = {r["label"]: r["tarq"]["plain"]["time_s"] for r in rows if "plain" in r.get("tarq", {})}
    if "10k" in by and "100k" in by:
        x = by["100k"] / by["10k"]
        out.append(f"tarq 100k / 10k: {x:.1f}x (target <= {LINEAR:g}x): {met(x <= LINEAR)}")
    for label, c in check.items():
        out.append(f"check on {label}: " + (c["error"] if "error" in c else
                   f"layers tarq {c['layers'][0]:,} / python {c['layers'][1]:,}, reader table "
                   f"{'equal' if c['next_ids_equal'] else 'DIFFERENT'}, freeable lists "
                   f"{'equal' if c['frees_equal'] else 'DIFFERENT'}, {c['equal_layer_graphs']:,} layer graphs "
                   f"equal byte for byte, {c['equal_but_unknown_dim_names']:,} more equal but for the names "
                   f"inference gives unknown dims"))
    if profile:
        outside = ("outside (imports, construction, interpreter)", "freeing earlier results")
        inside = {k: v for k, v in profile["shares"].items() if k not in outside}
        out.append(f"profile of tarq on {profile['label']}: {profile['samples']} samples, "
                   f"{sum(inside.values()) * 100:.0f}% in the calls; their shares:")
        out += [f"  {v / sum(inside.values()) * 100:5.1f}%  {k}" for k, v in inside.items()]
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description="create_ir_layers against the same export in plain Python.")
    ap.add_argument("--repeat", type=int, default=3, help="tarq runs per mode; the best is kept")
    ap.add_argument("--py-repeat", type=int, default=3, help="Python runs; the best is kept")
    ap.add_argument("--models", default="10k,100k,bert", help="of 10k, 100k, bert (default: %(default)s)")
    ap.add_argument("--profile", metavar="MODEL", help="also profile tarq on this model with perf")
    ap.add_argument("--no-check", action="store_true", help="skip the equality check")
    ap.add_argument("--tarq-path", help=f"directory holding the tarq package (else the normal path, "
                                        f"then {bc.DEFAULT_TARQ_PATH})")
    ap.add_argument("--cache-dir", default=bc.DEFAULT_CACHE, help="models (default: %(default)s)")
    ap.add_argument("--results-dir", default=bc.DEFAULT_RESULTS, help="layers.json goes there")
    ap.add_argument("--plain-only", action="store_true", help=argparse.SUPPRESS)
    for hidden in ("--child", "--path", "--content", "--prefix"):
        ap.add_argument(hidden, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        args.prefix = int(args.prefix or 0)
        print(json.dumps({"tarq": _child_tarq, "python": _child_python, "check": _child_check}[args.child](args)))
        return 0
    irg = bc._import_tarq(args.tarq_path)
    core, started = irg._core.__file__, time.time()
    paths = {"10k": bc.synthetic_model_path(10000, args.cache_dir),
             "100k": bc.synthetic_model_path(100000, args.cache_dir)}
    if "bert" in args.models or args.profile == "bert":
        paths["bert"], err = br._real_model(args)
        if err:
            ap.error(err)
    meta = {"benchmark": "layers", "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"), "repeat": args.repeat,
            "py_repeat": args.py_repeat, "loadavg_start": os.getloadavg(), "tarq_module": core,
            "tarq_module_mtime": time.ctime(os.path.getmtime(core)), **_machine()}
    bc._log(f"tarq: {core}")
    rows, per_layer = [], None
    for label in [m.strip() for m in args.models.split(",") if m.strip()]:
        path = paths[label]
        row = {"label": label, "path": path, "file_bytes": os.path.getsize(path)}
        row["tarq"] = _spawn(args, "tarq", path, ["--repeat", str(args.repeat)])
        row["nodes"] = row["tarq"].get("nodes")
        bc._log(f"[{label}] tarq: {bc._fmt_time(row['tarq'].get('plain', {}).get('time_s'))}")
        variants = [("python", "same")] + ([("python_inline", "inline")] if label == "bert" else [])
        for side, content in variants:
            extra = ["--content", content, "--repeat", str(args.py_repeat)]
            if label == "100k" and per_layer and per_layer * row["nodes"] > PY_BUDGET_S:
                extra += ["--prefix", str(PREFIX)]
            row[side] = _spawn(args, "python", path, extra)
            if label == "10k" and side == "python" and "time_s" in row[side]:
                per_layer = row[side]["time_s"] / row[side]["nodes"]
            bc._log(f"[{label}] {side}: {bc._fmt_time(row[side].get('time_s'))}")
        rows.append(row)
    check = {} if args.no_check else {k: _spawn(args, "check", paths[k]) for k in ("10k", "bert") if k in paths}
    profile = dict(_profile(args, paths[args.profile]), label=args.profile) if args.profile else None
    notes = _report(rows, check, profile)
    print("\n".join(notes))
    meta.update(loadavg_end=os.getloadavg(), wall_s=time.time() - started)
    os.makedirs(args.results_dir, exist_ok=True)
    out = os.path.join(args.results_dir, "layers.json")
    with open(out, "w") as f:
        json.dump({"meta": meta, "rows": rows, "check": check, "profile": profile, "targets": notes}, f, indent=1)
    print(f"\nresults: {out} ({meta['wall_s']:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
