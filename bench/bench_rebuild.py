#!/usr/bin/env python3
"""Benchmark: the stages of building an IRGraph, each against its reference.

On a real model (BERT-base with random weights, exported by
export_real_model.py, some 420 MiB) and on the synthetic 100k-node graph of
bench_construct.py, every measurement runs in its own subprocess, best of
--repeat:

  construct  IRGraph(load_model(path), initializer_dat={}, ori_model_path=path)
             in a fresh process (the weight cache starts empty), with the peak
             resident memory it adds (VmHWM after it minus VmHWM after imports)
             against the file size; one process per repeat
  infer      ours: g.infer_shapes(view, check=False) on a fresh model view
             (the graph g is built beforehand, outside the timed region)
             ref:  onnx.shape_inference.infer_shapes(onnx_model)
  check      ours: companions.check_model(view)
             ref:  onnx.checker.check_model(onnx_model)
  sort       the model's node order reversed first, then
             ours: g._sort_nodes()
             gs:   onnx-graphsurgeon's graph.toposort() after gs.import_onnx
             ir:   onnx_ir's graph.sort() after onnx_ir.from_proto
             (only the sort is timed; each result is checked, outside the
             timed region, to hold the same nodes in topological order)

Models are loaded outside the timed region in every stage but construct.
Prints a table of times and ratios and whether each target is met (it never
fails on them), and writes JSON under bench/results/.

    python bench/bench_rebuild.py [--repeat 3] [--sizes 100000] [--no-real]
                                  [--model PATH ...] [--stages construct,infer,check,sort]
"""
import argparse
import gc
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_construct as bc  # noqa: E402  (generator, cache, module lookup)

STAGES = ("construct", "infer", "check", "sort")
SIDES = {"construct": ("ours",), "infer": ("ours", "ref"), "check": ("ours", "ref"),
         "sort": ("ours", "gs", "ir")}
REF_NAMES = {"infer": {"ref": "onnx infer_shapes"}, "check": {"ref": "onnx checker"},
             "sort": {"gs": "gs toposort", "ir": "onnx_ir sort"}}

# Targets.
CONSTRUCT_OVER_INFER_CHECK = 2.0   # construction <= 2x (our inference + our checking)
PEAK_OVER_FILE = 1.3               # added peak memory <= 1.3x the file size


# --------------------------------------------------------------------------
# Child processes.
# --------------------------------------------------------------------------

def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return None


def _warm(path):
    """Reads the file into the page cache without keeping it in this process."""
    with open(path, "rb", buffering=0) as f:
        while f.read(1 << 24):
            pass


def _reverse_onnx(model):
    nodes = list(model.graph.node)
    del model.graph.node[:]
    model.graph.node.extend(reversed(nodes))


def _subgraphs(node):
    for a in node.attribute:
        if a.type == 5:      # GRAPH
            yield a.g
        elif a.type == 10:   # GRAPHS
            yield from a.graphs


def _reads(node):
    """The names a node reads: its inputs and what its subgraphs read from outside."""
    names = set(node.input)
    for sub in _subgraphs(node):
        defined = {v.name for v in sub.input} | {t.name for t in sub.initializer}
        for n in sub.node:
            names |= _reads(n) - defined
            defined.update(n.output)
    return names


def in_topological_order(graph, known=()):
    """True when every node (of subgraphs too) comes after the producers of what
    it reads; graph inputs, initializers and outer-scope names are known."""
    known = set(known) | {v.name for v in graph.input} | {t.name for t in graph.initializer} | {""}
    for n in graph.node:
        if not _reads(n) <= known or not all(in_topological_order(s, known) for s in _subgraphs(n)):
            return False
        known.update(n.output)
    return True


def _node_key(node):
    return node.name, tuple(node.output)


def _child_construct(args):
    irg = bc._import_tarq(args.tarq_path)
    # Pay what any process pays once, before its first graph, on the shipped
    # example: importing numpy (the weight cache holds numpy arrays) and
    # building ONNX's operator schema tables. Inference and checking are
    # measured after a construction too.
    example = os.path.join(bc.REPO, "examples", "small_cnn.onnx")
    irg.IRGraph(irg.load_model(example), initializer_dat={}, ori_model_path=example)
    _warm(args.path)
    gc.collect()
    reset = bc._reset_peak()
    base_kib = _status_kib("VmHWM") if reset else _status_kib("VmRSS")
    t0 = time.perf_counter()
    model = irg.load_model(args.path)
    t1 = time.perf_counter()
    g = irg.IRGraph(model, initializer_dat={}, ori_model_path=args.path)
    t2 = time.perf_counter()
    peak_kib = _status_kib("VmHWM")
    return {"load_s": t1 - t0, "construct_s": t2 - t1, "total_s": t2 - t0,
            "nodes": len(g.nodes), "cached_weights": len(g.initializer_dat),
            "base_mib": base_kib / 1024, "peak_mib": peak_kib / 1024,
            "added_peak_mib": (peak_kib - base_kib) / 1024, "peak_reset": reset}


def _child_infer(args):
    _warm(args.path)
    times = []
    if args.side == "ours":
        irg = bc._import_tarq(args.tarq_path)
        g = irg.IRGraph(irg.load_model(args.path), initializer_dat={}, ori_model_path=args.path)
        for _ in range(args.repeat):
            view = irg.load_model(args.path)
            gc.collect()
            t0 = time.perf_counter()
            g.infer_shapes(view, check=False)
            times.append(time.perf_counter() - t0)
            n_vi = len(view.graph.value_info)
            del view
    else:
        import onnx
        from onnx import shape_inference
        for _ in range(args.repeat):
            m = onnx.load(args.path)
            gc.collect()
            t0 = time.perf_counter()
            out = shape_inference.infer_shapes(m)
            times.append(time.perf_counter() - t0)
            n_vi = len(out.graph.value_info)
            del m, out
    return {"time_s": min(times), "all_s": times, "value_info": n_vi}


def _child_check(args):
    _warm(args.path)
    times = []
    if args.side == "ours":
        irg = bc._import_tarq(args.tarq_path)
        check = irg.companions.check_model
        load = irg.load_model
    else:
        import onnx
        check, load = onnx.checker.check_model, onnx.load
    for _ in range(args.repeat):
        m = load(args.path)
        gc.collect()
        t0 = time.perf_counter()
        check(m)
        times.append(time.perf_counter() - t0)
        del m
    return {"time_s": min(times), "all_s": times}


def _child_sort(args):
    """Sorts the reversed node list with one side's sort. The order is put back
    (and checked) before every run; the first result is checked to hold the
    same nodes in topological order, or to be the reversed order left as it was."""
    import onnx
    _warm(args.path)
    if args.side == "ours":
        irg = bc._import_tarq(args.tarq_path)
        g = irg.IRGraph(irg.load_model(args.path))
        nodes = g.graph.node
        nodes.reverse()
        start = [_node_key(n) for n in nodes]
        pos = {k: i for i, k in enumerate(start)}
        reset = lambda: nodes.sort(key=lambda n: pos[_node_key(n)])
        order = lambda: [_node_key(n) for n in nodes]
        sort, result = g._sort_nodes, lambda: g.graph
    else:
        m = onnx.load(args.path)
        _reverse_onnx(m)
        start = [_node_key(n) for n in m.graph.node]
        if args.side == "gs":
            import onnx_graphsurgeon as gs
            graph = gs.import_onnx(m)
            first = list(graph.nodes)
            reset = lambda: setattr(graph, "nodes", list(first))
            order = lambda: [(n.name, tuple(t.name for t in n.outputs)) for n in graph.nodes]
            sort, result = graph.toposort, lambda: gs.export_onnx(graph, do_type_check=False).graph
        else:
            import onnx_ir as ir
            model = ir.from_proto(m)
            graph = model.graph
            first = list(graph)
            reset = lambda: graph.extend(first)   # moves the nodes, in this order, to the end
            order = lambda: [(n.name, tuple(v.name for v in n.outputs)) for n in graph]
            sort, result = graph.sort, lambda: ir.to_proto(model).graph
        del m
    times = []
    for i in range(args.repeat):
        reset()
        if order() != start:
            raise RuntimeError("the reversed order could not be restored")
        gc.collect()
        t0 = time.perf_counter()
        sort()
        times.append(time.perf_counter() - t0)
        if i == 0:
            unchanged = order() == start
            out = result()
            same = sorted(_node_key(n) for n in out.node) == sorted(start)
            ok = same and in_topological_order(out)
            del out
    verdict = "valid" if ok else "unchanged" if unchanged else "INVALID"
    return {"time_s": min(times), "all_s": times, "topological": ok, "order": verdict,
            "nodes": len(start)}


def _run_child(args):
    run = {"construct": _child_construct, "infer": _child_infer, "check": _child_check,
           "sort": _child_sort}[args.child]
    if args.child != "sort" or args.side != "gs":
        return run(args)
    # onnx-graphsurgeon's toposort recurses once per node along a path: on a
    # long chain it needs a recursion limit and a stack far above the defaults.
    import threading
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 2_000_000))
    threading.stack_size(1 << 30)
    box = {}

    def target():
        try:
            box["result"] = run(args)
        except BaseException as e:  # re-raised in the main thread
            box["error"] = e

    t = threading.Thread(target=target)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box["result"]


def _spawn(args, stage, side, path, repeat):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", stage, "--side", side,
           "--path", path, "--repeat", str(repeat)]
    if args.tarq_path:
        cmd += ["--tarq-path", args.tarq_path]
    env = dict(os.environ, TARQ_REBUILD_TIMES="1") if stage == "construct" else None
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or [f"exit code {proc.returncode}"])[-1]
        return {"error": tail, "stderr": proc.stderr[-4000:]}
    res = json.loads(proc.stdout.strip().splitlines()[-1])
    steps = bc.parse_step_times(proc.stderr)
    if steps:
        res["steps_ms"] = steps[-1]  # the measured construction (after the warm-up)
    return res


def _measure(args, stage, side, path):
    if stage != "construct":
        return _spawn(args, stage, side, path, args.repeat)
    # The first construction of a process: one process per repeat.
    runs = [_spawn(args, stage, side, path, 1) for _ in range(args.repeat)]
    good = [r for r in runs if "error" not in r]
    if not good:
        return runs[0]
    best = dict(min(good, key=lambda r: r["construct_s"]))
    best.update({"time_s": best["construct_s"], "all_s": [r["construct_s"] for r in good],
                 "load_best_s": min(r["load_s"] for r in good),
                 "added_peak_mib": min(r["added_peak_mib"] for r in good),
                 "added_peak_all_mib": [r["added_peak_mib"] for r in good]})
    return best


# --------------------------------------------------------------------------
# Report.
# --------------------------------------------------------------------------

def _t(res):
    if not res:
        return "-"
    if "error" in res:
        return "FAILED"
    return res["order"] if res.get("order", "valid") != "valid" else bc._fmt_time(res.get("time_s"))


def _ratio(a, b):
    """a / b from two results, or None."""
    ta, tb = (a or {}).get("time_s"), (b or {}).get("time_s")
    return ta / tb if ta and tb else None


def _table(rows):
    head = ["model", "nodes", "MiB", "load", "construct", "+peak MiB", "peak/file", "infer", "onnx infer",
            "onnx/ours", "check", "onnx check", "onnx/ours", "sort", "gs sort", "gs/ours", "ir sort",
            "ir/ours", "constr/(inf+chk)"]
    lines = []
    for r in rows:
        s = r["stages"]
        c = s.get("construct", {}).get("ours")
        lines.append([
            r["label"], f"{r['nodes']:,}", f"{r['file_bytes'] / 2**20:.0f}",
            "-" if not c or "error" in c else bc._fmt_time(c.get("load_best_s")), _t(c),
            "-" if not c or "error" in c else f"{c['added_peak_mib']:.0f}",
            "-" if r.get("peak_over_file") is None else f"{r['peak_over_file']:.2f}x",
            _t(s.get("infer", {}).get("ours")), _t(s.get("infer", {}).get("ref")),
            bc._fmt_x(r.get("infer_speedup")),
            _t(s.get("check", {}).get("ours")), _t(s.get("check", {}).get("ref")),
            bc._fmt_x(r.get("check_speedup")),
            _t(s.get("sort", {}).get("ours")), _t(s.get("sort", {}).get("gs")),
            bc._fmt_x(r.get("sort_speedup_gs")), _t(s.get("sort", {}).get("ir")),
            bc._fmt_x(r.get("sort_speedup_ir")),
            "-" if r.get("construct_over_infer_check") is None else f"{r['construct_over_infer_check']:.2f}x",
        ])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *lines)]
    fmt = lambda cells: "  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                  for i, (c, w) in enumerate(zip(cells, widths)))
    return "\n".join([fmt(head), fmt(["-" * w for w in widths])] + [fmt(l) for l in lines])


def _derive(r):
    s = r["stages"]
    get = lambda st, side: (s.get(st) or {}).get(side)
    r["infer_speedup"] = _ratio(get("infer", "ref"), get("infer", "ours"))
    r["check_speedup"] = _ratio(get("check", "ref"), get("check", "ours"))
    sorted_ok = (get("sort", "ours") or {}).get("order") == "valid"
    for ref in SIDES["sort"][1:]:
        r[f"sort_speedup_{ref}"] = _ratio(get("sort", ref), get("sort", "ours")) if sorted_ok else None
    c, i, k = get("construct", "ours"), get("infer", "ours"), get("check", "ours")
    r["construct_over_infer_check"] = None
    r["peak_over_file"] = None
    if c and "error" not in c:
        r["peak_over_file"] = c["added_peak_mib"] * 2**20 / r["file_bytes"]
        if i and k and "error" not in i and "error" not in k:
            r["construct_over_infer_check"] = c["time_s"] / (i["time_s"] + k["time_s"])
            r["load_and_construct_over_infer_check"] = c["total_s"] / (i["time_s"] + k["time_s"])


def _targets(rows):
    out = []
    met = lambda ok: "met" if ok else "NOT met"
    for r in rows:
        lab = r["label"]
        x = r.get("construct_over_infer_check")
        if x is not None:
            out.append(f"[{lab}] construction / (our inference + our checking): {x:.2f}x "
                       f"(target <= {CONSTRUCT_OVER_INFER_CHECK:g}x): {met(x <= CONSTRUCT_OVER_INFER_CHECK)}")
            out.append(f"[{lab}] with loading the file counted in: "
                       f"{r['load_and_construct_over_infer_check']:.2f}x (for information)")
            steps = r["stages"]["construct"]["ours"].get("steps_ms")
            if steps:
                out.append(f"[{lab}] construction steps (ms): "
                           + ", ".join(f"{k} {v:.1f}" for k, v in steps.items()))
        for key, what in (("infer_speedup", "inference vs onnx.shape_inference"),
                          ("check_speedup", "checking vs onnx.checker"),
                          ("sort_speedup_gs", "sort vs onnx-graphsurgeon toposort"),
                          ("sort_speedup_ir", "sort vs onnx_ir sort")):
            x = r.get(key)
            if x is not None:
                out.append(f"[{lab}] {what}: ours {x:.2f}x faster (target > 1x): {met(x > 1)}")
        sort = r["stages"].get("sort")
        if sort:
            orders = ", ".join(f"{'ours' if side == 'ours' else REF_NAMES['sort'][side]} "
                               f"{'FAILED' if 'error' in res else res['order']}" for side, res in sort.items())
            out.append(f"[{lab}] sort of {r['nodes']:,} nodes ({r['constant_nodes']:,} Constant) in reversed "
                       f"order; resulting orders: {orders}")
            order = (sort.get("ours") or {}).get("order")
            if order == "unchanged":
                out.append(f"[{lab}] our sort left the order unchanged (it could not place every node): "
                           f"sort targets not measured")
            elif order == "INVALID":
                out.append(f"[{lab}] our sort gave an invalid order: sort targets NOT met")
        x = r.get("peak_over_file")
        if x is not None:
            out.append(f"[{lab}] peak memory added by construction / file size: {x:.2f}x "
                       f"(target <= {PEAK_OVER_FILE:g}x): {met(x <= PEAK_OVER_FILE)}")
        for st, sides in r["stages"].items():
            for side, res in sides.items():
                if "error" in res:
                    out.append(f"[{lab}] {st} ({side}) failed: {res['error']}")
    return out


def _real_model(args):
    try:
        import export_real_model as erm
    except ImportError as e:
        return None, f"export script not importable: {e}"
    path = erm.default_path(args.cache_dir)
    if not os.path.exists(path):
        bc._log(f"exporting the real model to {path} ...")
        proc = subprocess.run([sys.executable, os.path.join(HERE, "export_real_model.py"), "--out", path],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if proc.returncode != 0 or not os.path.exists(path):
            tail = (proc.stderr.strip().splitlines() or [f"exit code {proc.returncode}"])[-1]
            return None, f"real model export failed: {tail}"
    return path, None


def main(argv=None):
    ap = argparse.ArgumentParser(description="IRGraph construction stages against their references.")
    ap.add_argument("--repeat", type=int, default=3, help="runs per measurement; the best is kept")
    ap.add_argument("--sizes", default="100000", help="synthetic node counts (default: %(default)s)")
    ap.add_argument("--no-real", action="store_true", help="leave out the exported real model")
    ap.add_argument("--model", action="append", default=[], metavar="PATH", help="an extra model")
    ap.add_argument("--stages", default=",".join(STAGES), help="default: %(default)s")
    ap.add_argument("--tarq-path", help=f"directory holding the tarq package (else the normal path, "
                                        f"then {bc.DEFAULT_TARQ_PATH})")
    ap.add_argument("--cache-dir", default=bc.DEFAULT_CACHE, help="models (default: %(default)s)")
    ap.add_argument("--results-dir", default=bc.DEFAULT_RESULTS, help="JSON (default: %(default)s)")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--side", help=argparse.SUPPRESS)
    ap.add_argument("--path", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.child:
        print(json.dumps(_run_child(args)), flush=True)
        return 0

    stages = [s.strip() for s in args.stages.split(",") if s.strip()]
    if args.repeat < 1 or not set(stages) <= set(STAGES):
        ap.error(f"--repeat must be positive; --stages takes {', '.join(STAGES)}")

    notes = []
    models = []
    if not args.no_real:
        path, err = _real_model(args)
        if path:
            models.append(("real", "bert-base", path, stages))
        else:
            notes.append(err)
            bc._log(err)
    for n in sorted({int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()}):
        models.append(("synthetic", f"synthetic-{bc._size_label(n)}",
                       bc.synthetic_model_path(n, args.cache_dir), stages))
    models += [("extra", os.path.basename(p), os.path.abspath(p), stages) for p in args.model]

    import onnx
    rows = []
    for kind, label, path, model_stages in models:
        graph = onnx.load(path, load_external_data=False).graph
        row = {"kind": kind, "label": label, "path": path, "nodes": len(graph.node),
               "constant_nodes": sum(n.op_type == "Constant" for n in graph.node),
               "file_bytes": os.path.getsize(path), "stages": {}}
        del graph
        for stage in model_stages:
            row["stages"][stage] = {}
            for side in SIDES[stage]:
                res = _measure(args, stage, side, path)
                row["stages"][stage][side] = res
                what = "ours" if side == "ours" else REF_NAMES[stage][side]
                if "error" in res:
                    bc._log(f"[{label}] {stage} {what}: FAILED: {res['error']}")
                else:
                    extra = (f" (load {bc._fmt_time(res['load_best_s'])} before), +{res['added_peak_mib']:.0f} MiB peak"
                             if stage == "construct" else "")
                    if stage == "sort":
                        extra = f", order {res['order']}"
                    bc._log(f"[{label}] {stage} {what}: {bc._fmt_time(res['time_s'])}{extra}")
        _derive(row)
        rows.append(row)

    print(flush=True)
    print(_table(rows), flush=True)
    notes = _targets(rows) + notes
    print()
    print("\n".join(notes))

    from importlib import metadata
    versions = {"onnx": onnx.__version__}
    for dist in ("onnx-graphsurgeon", "onnx-ir", "torch", "transformers"):
        try:
            versions[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            versions[dist] = None
    bc.write_results("rebuild", args.results_dir, rows, notes, **versions, repeat=args.repeat,
                     generator_version=bc.GENERATOR_VERSION, stages=stages)
    return 0


if __name__ == "__main__":
    sys.exit(main())
