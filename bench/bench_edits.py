#!/usr/bin/env python3
"""Benchmark: node removal and re-insertion on a live graph, and saving a model
with a weight cache, each beside what a user would otherwise run.

Edits, on the synthetic graph of bench_construct.py (100k nodes by default):
for each fraction (1% and 10% by default) the picked nodes (one drawn at
random, fixed seed, from each of k equal stretches of the node list, k the
fraction of the node count) are removed and re-inserted one at a time, at
the same position, in ascending order:

  tarq  g = IRGraph(load_model(path)); copies of the picked nodes taken
        beforehand as onnx.NodeProto; timed: for each picked position i,
        g.remove_node(g.node[i]); g.insert_node(i, copy)
        (afterwards, untimed: g.verify(), the node order is the original
        one, every re-inserted node equals its copy)
  gs    graph = gs.import_onnx(onnx.load(path)) (timed apart); timed: for
        each picked position i, the node leaves graph.nodes and its tensors
        (node.inputs.clear(), node.outputs.clear()), and a new gs.Node of
        the same name, op, attributes, domain, inputs and outputs goes in at
        i; then graph.cleanup() and graph.toposort() once
        (afterwards, untimed: the node order is the original one, every
        tensor has at most one producer and only live nodes as consumers)

Every (side, size, fraction) runs in a child process of its own, best of
--repeat runs, each run on a freshly built graph. One extra tarq run at the
smallest fraction times remove_node and insert_node apart.

Save, on the BERT export of export_real_model.py: one child process times,
in turn, best of --repeat:

  tarq   g.save_onnx(out) with g = IRGraph(load_model(path), initializer_dat={})
         (the large weights live in the cache, not in the model)
  onnx   onnx.save(onnx.load(path), out)
  plain  open(out, "wb").write(data), data being bytes of the size save_onnx
         writes (of onnx.save's when save_onnx is absent)

Every writer writes a new file (the old one is removed untimed) in the same
directory; with --fsync each timed region ends with an fsync of the written
file, for all three alike, and without it none does. Afterwards, untimed,
save_onnx's file is loaded with onnx.load and its initializers are compared
bit for bit with the original's.

Prints a table and whether each target is met (it never fails on them), and
writes bench/results/edits.json.

    python bench/bench_edits.py [--sizes 100000] [--fractions 0.01,0.1] [--repeat 3]
                                [--skip-gs] [--skip-save] [--fsync] [--tarq-path DIR]
"""
import argparse
import gc
import hashlib
import json
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, HERE)
import bench_construct as bc  # noqa: E402  (generator, cache, module lookup, memory readings)

DEFAULT_RESULTS = os.path.join(HERE, "results")
SEED = 20261207

# Targets.
LINEAR_SLACK = 1.2        # k times the edits cost at most 1.2k times the time (12x for 10x)
GS_OVER_TARQ = 10.0       # gs edits + cleanup + toposort >= 10x tarq's edits, at the smallest fraction
SAVE_OVER_PLAIN = 1.5     # save_onnx <= 1.5x a plain write of as many bytes


def picked_positions(n, fraction, seed=SEED):
    """k = round(fraction * n) positions, one drawn from each of k equal
    stretches of [0, n), ascending."""
    k = max(1, round(n * fraction))
    rng = random.Random(seed * 7919 + n * 31 + k)
    return [lo + rng.randrange(max(1, hi - lo))
            for lo, hi in ((j * n // k, (j + 1) * n // k) for j in range(k))]


# --------------------------------------------------------------------------
# Children.
# --------------------------------------------------------------------------

def _rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def _child_tarq_edits(args):
    import onnx
    irg = bc._import_tarq(args.tarq_path)
    runs = []
    split = None
    verify_s = []
    n = None
    for rep in range(args.repeat + (1 if args.split else 0)):
        timing_split = rep == args.repeat
        gc.collect()
        t0 = time.perf_counter()
        model = irg.load_model(args.path)
        t1 = time.perf_counter()
        g = irg.IRGraph(model)
        t2 = time.perf_counter()
        n = len(g.node)
        pos = picked_positions(n, args.fraction)
        names = [x.name for x in g.node]
        copies = [onnx.NodeProto.FromString(g.node[i].SerializeToString()) for i in pos]
        rss0 = _rss_mib()
        gc.collect()
        if not timing_split:
            t3 = time.perf_counter()
            for i, copy in zip(pos, copies):
                g.remove_node(g.node[i])
                g.insert_node(i, copy)
            t4 = time.perf_counter()
        else:
            # The same loop with each call timed: a few clock reads per edit.
            clock = time.perf_counter
            t_rm = t_ins = 0.0
            for i, copy in zip(pos, copies):
                a = clock()
                g.remove_node(g.node[i])
                b = clock()
                g.insert_node(i, copy)
                c = clock()
                t_rm += b - a
                t_ins += c - b
        rss1 = _rss_mib()
        # Checks, untimed.
        t5 = time.perf_counter()
        g.verify()
        verify_s.append(time.perf_counter() - t5)
        if [x.name for x in g.node] != names:
            raise RuntimeError("tarq: the node order after the edits is not the original one")
        for i, copy in zip(pos, copies):
            if not g.node[i] == copy or g.nodes[copy.name] != i:
                raise RuntimeError(f"tarq: node {i} ({copy.name}) is not its copy after re-insertion")
        if timing_split:
            split = {"remove_s": t_rm, "insert_s": t_ins, "edits": len(pos)}
        else:
            runs.append({"load_s": t1 - t0, "construct_s": t2 - t1, "edit_s": t4 - t3,
                         "rss_before_mib": rss0, "rss_after_mib": rss1})
        del g, model, copies
    best = min(runs, key=lambda r: r["edit_s"])
    return {"side": "tarq", "nodes": n, "edits": len(pos), "edit_s": best["edit_s"],
            "load_s": min(r["load_s"] for r in runs), "construct_s": min(r["construct_s"] for r in runs),
            "edit_rss_growth_mib": best["rss_after_mib"] - best["rss_before_mib"],
            "verify_s": min(verify_s), "split": split, "runs": runs,
            "peak_rss_mib": bc._peak_rss_mib(), "checked": True}


def _child_gs_edits(args):
    import onnx
    import onnx_graphsurgeon as gs
    runs = []
    n = k = None
    for _ in range(args.repeat):
        gc.collect()
        t0 = time.perf_counter()
        model = onnx.load(args.path)
        t1 = time.perf_counter()
        graph = gs.import_onnx(model)
        t2 = time.perf_counter()
        del model
        n = len(graph.nodes)
        pos = picked_positions(n, args.fraction)
        k = len(pos)
        names = [x.name for x in graph.nodes]
        rss0 = _rss_mib()
        gc.collect()
        t3 = time.perf_counter()
        nodes = graph.nodes
        fresh = []
        for i in pos:
            old = nodes.pop(i)
            inputs, outputs = list(old.inputs), list(old.outputs)
            # Disconnects the node: it leaves its tensors' consumer and
            # producer lists.
            old.inputs.clear()
            old.outputs.clear()
            node = gs.Node(op=old.op, name=old.name, attrs=dict(old.attrs), inputs=inputs,
                           outputs=outputs, domain=old.domain)
            nodes.insert(i, node)
            fresh.append(node)
        t4 = time.perf_counter()
        graph.cleanup()
        t5 = time.perf_counter()
        graph.toposort()
        t6 = time.perf_counter()
        rss1 = _rss_mib()
        # Checks, untimed.
        if [x.name for x in graph.nodes] != names:
            raise RuntimeError("gs: the node order after the edits is not the original one")
        live = {id(x) for x in graph.nodes}
        if any(graph.nodes[i] is not node for i, node in zip(pos, fresh)):
            raise RuntimeError("gs: a re-inserted node is not where it was put")
        for t in graph.tensors().values():
            if len(t.inputs) > 1 or any(id(x) not in live for x in list(t.inputs) + list(t.outputs)):
                raise RuntimeError(f"gs: tensor {t.name} is still linked to a removed node")
        runs.append({"load_s": t1 - t0, "import_s": t2 - t1, "edit_s": t4 - t3, "cleanup_s": t5 - t4,
                     "toposort_s": t6 - t5, "total_s": t6 - t3,
                     "rss_before_mib": rss0, "rss_after_mib": rss1})
        del graph, nodes, fresh
    best = min(runs, key=lambda r: r["total_s"])
    return {"side": "gs", "nodes": n, "edits": k, "total_s": best["total_s"],
            "edit_s": min(r["edit_s"] for r in runs), "cleanup_s": min(r["cleanup_s"] for r in runs),
            "toposort_s": min(r["toposort_s"] for r in runs),
            "load_s": min(r["load_s"] for r in runs), "import_s": min(r["import_s"] for r in runs),
            "runs": runs, "peak_rss_mib": bc._peak_rss_mib(), "checked": True}


def _fsync_file(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _same_weights(original, saved):
    """(None, initializers, bytes) when every initializer of `original` is in
    `saved` with the same type, dims and bytes and the node lists match; else
    (what differs, None, None)."""
    from onnx import numpy_helper
    out = {t.name: t for t in saved.graph.initializer}
    n_bytes = 0
    for t in original.graph.initializer:
        s = out.get(t.name)
        if s is None:
            return f"initializer {t.name} is missing", None, None
        if s.data_type != t.data_type or list(s.dims) != list(t.dims):
            return f"initializer {t.name}: type or dims differ", None, None
        a, b = numpy_helper.to_array(t), numpy_helper.to_array(s)
        if a.dtype != b.dtype or a.tobytes() != b.tobytes():
            return f"initializer {t.name}: the bytes differ", None, None
        n_bytes += a.nbytes
    ops = lambda m: [(x.op_type, list(x.input), list(x.output)) for x in m.graph.node]
    if ops(original) != ops(saved):
        return "the node list differs", None, None
    return None, len(original.graph.initializer), n_bytes


def _child_save(args):
    import onnx
    irg = bc._import_tarq(args.tarq_path)
    has_save = hasattr(irg.IRGraph, "save_onnx")
    with open(args.path, "rb", buffering=0) as f:   # into the page cache
        while f.read(1 << 24):
            pass
    out_dir = tempfile.mkdtemp(prefix="bench-edits-save-", dir=args.cache_dir)
    paths = {w: os.path.join(out_dir, f"{w}.onnx") for w in ("tarq", "onnx", "plain")}
    try:
        t0 = time.perf_counter()
        reference = onnx.load(args.path)
        onnx_load_s = time.perf_counter() - t0
        g = None
        if has_save:
            t0 = time.perf_counter()
            g = irg.IRGraph(irg.load_model(args.path), initializer_dat={})
            construct_s = time.perf_counter() - t0
        writers = {"onnx": lambda p: onnx.save(reference, p)}
        if has_save:
            writers["tarq"] = lambda p: g.save_onnx(p)
        # One untimed write each: the plain write then writes as many bytes
        # as save_onnx does (as onnx.save does without it).
        for w, fn in writers.items():
            fn(paths[w])
        with open(paths["tarq" if has_save else "onnx"], "rb") as f:
            data = f.read()

        def plain(p):
            with open(p, "wb") as f:
                f.write(data)
        writers["plain"] = plain

        order = [w for w in ("tarq", "onnx", "plain") if w in writers]
        times = {w: [] for w in order}
        for rep in range(args.repeat):
            for w in order[rep % len(order):] + order[:rep % len(order)]:
                if os.path.exists(paths[w]):
                    os.remove(paths[w])
                gc.collect()
                t0 = time.perf_counter()
                writers[w](paths[w])
                if args.fsync:
                    _fsync_file(paths[w])
                times[w].append(time.perf_counter() - t0)
        sizes = {w: os.path.getsize(paths[w]) for w in order}
        res = {"model": args.path, "file_bytes": os.path.getsize(args.path), "fsync": args.fsync,
               "save_onnx": has_save, "onnx_load_s": onnx_load_s, "plain_bytes": len(data),
               "sizes": sizes, "best_s": {w: min(v) for w, v in times.items()}, "all_s": times}
        data = None   # frees the bytes (the plain writer still refers to the name)
        if has_save:
            res["construct_s"] = construct_s
            res["cached_weights"] = len(g.initializer_dat)
            del g
            gc.collect()
            error, count, n_bytes = _same_weights(reference, onnx.load(paths["tarq"]))
            if error:
                res["weights_error"] = error
            else:
                res["weights_equal"] = {"initializers": count, "bytes": n_bytes}
        res["peak_rss_mib"] = bc._peak_rss_mib()
        return res
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


def _run_child(args):
    if args.child == "tarq":
        return _child_tarq_edits(args)
    if args.child == "save":
        return _child_save(args)
    # onnx-graphsurgeon's toposort recurses once per node along a path: on a
    # long chain it needs a recursion limit and a stack far above the defaults.
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 2_000_000))
    threading.stack_size(1 << 30)
    box = {}

    def target():
        try:
            box["result"] = _child_gs_edits(args)
        except BaseException as e:  # re-raised in the main thread
            box["error"] = e

    t = threading.Thread(target=target)
    t.start()
    t.join()
    if "error" in box:
        raise box["error"]
    return box["result"]


def _spawn(args, child, path, fraction=None, split=False):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", child, "--path", path,
           "--repeat", str(args.repeat), "--cache-dir", args.cache_dir]
    if fraction is not None:
        cmd += ["--fraction", repr(fraction)]
    if split:
        cmd.append("--split")
    if args.fsync:
        cmd.append("--fsync")
    if args.tarq_path:
        cmd += ["--tarq-path", args.tarq_path]
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or [f"exit code {proc.returncode}"])[-1]
        return {"error": tail, "stderr": proc.stderr[-4000:]}
    return json.loads(proc.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# Report.
# --------------------------------------------------------------------------

_t = bc._fmt_time


def _x(v):
    return "-" if v is None else f"{v:.1f}x"


def _mib(v):
    return "-" if v is None else f"{v:.0f}"


def _per_edit(s, k):
    return None if s is None or not k else s / k


def _columns(head, lines):
    widths = [max(len(str(c)) for c in col) for col in zip(head, *lines)]
    fmt = lambda cells: "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                                  for i, (c, w) in enumerate(zip(cells, widths)))
    return "\n".join([fmt(head), fmt(["-" * w for w in widths])] + [fmt(l) for l in lines])


def _edit_table(rows):
    head = ["nodes", "edits", "tarq construct", "tarq edits", "per edit", "remove / insert per edit",
            "gs import", "gs edits", "gs cleanup", "gs toposort", "gs total", "gs/tarq", "tarq MiB", "gs MiB"]
    lines = []
    for r in rows:
        t, s = r.get("tarq") or {}, r.get("gs") or {}
        sp = t.get("split")
        split = (f"{_t(sp['remove_s'] / sp['edits'])} / {_t(sp['insert_s'] / sp['edits'])}"
                 if sp else "-")
        lines.append([f"{r['nodes']:,}", f"{r['edits']:,} ({r['fraction']:.3g})",
                      "FAILED" if "error" in t else _t(t.get("construct_s")),
                      "FAILED" if "error" in t else _t(t.get("edit_s")),
                      _t(_per_edit(t.get("edit_s"), r["edits"])), split,
                      "FAILED" if "error" in s else _t(s.get("import_s")),
                      _t(s.get("edit_s")), _t(s.get("cleanup_s")), _t(s.get("toposort_s")),
                      "FAILED" if "error" in s else _t(s.get("total_s")), _x(r.get("gs_over_tarq")),
                      _mib(t.get("peak_rss_mib")), _mib(s.get("peak_rss_mib"))])
    return _columns(head, lines)


def _save_table(save):
    best, sizes = save["best_s"], save["sizes"]
    plain = best.get("plain")
    head = ["writer", "time", "MB/s", "/ plain write", "file"]
    lines = []
    names = {"tarq": "g.save_onnx", "onnx": "onnx.save", "plain": "plain write"}
    if not save["save_onnx"]:
        lines.append(["g.save_onnx", "not available", "-", "-", "-"])
    for w in ("tarq", "onnx", "plain"):
        if w not in best:
            continue
        lines.append([names[w], _t(best[w]), f"{sizes[w] / best[w] / 1e6:.0f}",
                      _x(best[w] / plain) if plain else "-", f"{sizes[w] / 2**20:.1f} MiB"])
    return _columns(head, lines)


def _targets(rows, save, sizes):
    out = []
    for n in sizes:
        mine = sorted((r for r in rows if r["nodes"] == n), key=lambda r: r["edits"])
        tarq = [r for r in mine if (r.get("tarq") or {}).get("edit_s")]
        if len(tarq) >= 2:
            lo, hi = tarq[0], tarq[-1]
            count = hi["edits"] / lo["edits"]
            ratio = hi["tarq"]["edit_s"] / lo["tarq"]["edit_s"]
            limit = LINEAR_SLACK * count
            out.append(f"tarq edits at {n:,} nodes: {hi['edits']:,} edits take {ratio:.1f}x the time of "
                       f"{lo['edits']:,} ({count:.3g}x the edits; target <= {limit:.3g}x): "
                       f"{'met' if ratio <= limit else 'NOT met'}")
        first = next((r for r in mine if r.get("gs_over_tarq")), None)
        if first:
            x = first["gs_over_tarq"]
            out.append(f"gs edits + cleanup + toposort over tarq's edits at {n:,} nodes, "
                       f"{first['edits']:,} edits: {x:.1f}x (target >= {GS_OVER_TARQ:g}x): "
                       f"{'met' if x >= GS_OVER_TARQ else 'NOT met'}")
        for r in mine:
            t, s = r.get("tarq") or {}, r.get("gs") or {}
            if t.get("edit_s") and s.get("edit_s"):
                out.append(f"  for information, {r['edits']:,} edits: gs's edits alone (no cleanup, no "
                           f"toposort) take {s['edit_s'] / t['edit_s']:.2f}x tarq's edits")
    if save and "best_s" in save:
        best = save["best_s"]
        if "tarq" in best and "plain" in best:
            x = best["tarq"] / best["plain"]
            out.append(f"save_onnx over a plain write of {save['plain_bytes'] / 2**20:.0f} MiB"
                       f"{' (fsync included)' if save['fsync'] else ' (no fsync)'}: {x:.2f}x "
                       f"(target <= {SAVE_OVER_PLAIN:g}x): {'met' if x <= SAVE_OVER_PLAIN else 'NOT met'}")
        if not save["save_onnx"]:
            out.append("save_onnx: not available in this build of the extension; not measured "
                       "(onnx.save and the plain write were)")
        if save.get("weights_error"):
            out.append(f"save_onnx's file does NOT hold the original weights: {save['weights_error']}")
        elif save.get("weights_equal"):
            we = save["weights_equal"]
            out.append(f"save_onnx's file loads with onnx.load; its {we['initializers']} initializers "
                       f"({we['bytes'] / 2**20:.0f} MiB) equal the original's bit for bit")
    return out


def _machine():
    from google.protobuf.internal import api_implementation
    import onnx
    info = {"python": sys.version.split()[0], "onnx": onnx.__version__,
            "protobuf_backend": api_implementation.Type(), "platform": platform.platform(),
            "cpus": os.cpu_count()}
    try:
        import numpy
        info["numpy"] = numpy.__version__
    except ImportError:
        pass
    try:
        import onnx_graphsurgeon
        info["onnx_graphsurgeon"] = onnx_graphsurgeon.__version__
    except ImportError:
        info["onnx_graphsurgeon"] = None
    try:
        with open("/proc/cpuinfo") as f:
            info["cpu"] = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), None)
        with open("/proc/meminfo") as f:
            info["mem_total_mib"] = int(f.readline().split()[1]) // 1024
    except OSError:
        pass
    try:
        # The checkout's commit when the benchmark ran; the extension measured
        # may have been built from another one (see tarq_module).
        info["repo_head_at_run"] = subprocess.run(["git", "-C", REPO, "rev-parse", "--short", "HEAD"],
                                           capture_output=True, text=True).stdout.strip() or None
    except OSError:
        info["repo_head_at_run"] = None
    return info


def main(argv=None):
    ap = argparse.ArgumentParser(description="Node removal and re-insertion, and saving, against "
                                             "onnx-graphsurgeon and the onnx package.")
    ap.add_argument("--sizes", default="100000", help="synthetic node counts (default: %(default)s)")
    ap.add_argument("--fractions", default="0.01,0.1",
                    help="fractions of the nodes removed and re-inserted (default: %(default)s)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per measurement; the best is kept")
    ap.add_argument("--skip-gs", action="store_true", help="no onnx-graphsurgeon side")
    ap.add_argument("--gs-fractions", help="fractions the gs side runs at (default: all of --fractions)")
    ap.add_argument("--skip-save", action="store_true", help="no save measurement")
    ap.add_argument("--save-model", help="model saved (default: the BERT export of export_real_model.py)")
    ap.add_argument("--fsync", action="store_true",
                    help="end every timed write with an fsync of the file (all three writers alike)")
    ap.add_argument("--tarq-path", help=f"directory holding the tarq package (else the normal path, "
                                        f"then {bc.DEFAULT_TARQ_PATH})")
    ap.add_argument("--cache-dir", default=bc.DEFAULT_CACHE,
                    help="generated models; saved files are written there too (default: %(default)s)")
    ap.add_argument("--results-dir", default=DEFAULT_RESULTS, help="edits.json goes there")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--path", help=argparse.SUPPRESS)
    ap.add_argument("--fraction", type=float, help=argparse.SUPPRESS)
    ap.add_argument("--split", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.child:
        print(json.dumps(_run_child(args)), flush=True)
        return 0

    sizes = sorted({int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()})
    fractions = sorted({float(f) for f in args.fractions.split(",") if f.strip()})
    gs_fractions = (fractions if args.gs_fractions is None
                    else sorted({float(f) for f in args.gs_fractions.split(",") if f.strip()}))
    if args.repeat < 1 or any(n < 1 for n in sizes) or any(not 0 < f <= 1 for f in fractions + gs_fractions):
        ap.error("--repeat and --sizes must be positive, fractions in (0, 1]")

    started = time.time()
    meta = {"benchmark": "edits", "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
            "loadavg_start": os.getloadavg(), "repeat": args.repeat, "seed": SEED, **_machine()}
    try:
        irg = bc._import_tarq(args.tarq_path)
        meta["tarq_module"] = irg._core.__file__
        meta["tarq_module_mtime"] = time.strftime("%Y-%m-%dT%H:%M:%S",
                                                  time.localtime(os.path.getmtime(irg._core.__file__)))
        with open(irg._core.__file__, "rb") as f:
            meta["tarq_module_sha256"] = hashlib.sha256(f.read()).hexdigest()[:16]
        meta["save_onnx"] = hasattr(irg.IRGraph, "save_onnx")
        bc._log(f"tarq: {irg._core.__file__}")
    except Exception as e:
        ap.error(f"tarq.api.ir_graph not found ({e}); build it or pass --tarq-path")
    if not args.skip_gs and meta["onnx_graphsurgeon"] is None:
        bc._log("onnx-graphsurgeon is not installed (pip install -r bench/requirements.txt): no gs side")
        args.skip_gs = True

    rows = []
    for n in sizes:
        path = bc.synthetic_model_path(n, args.cache_dir)
        for f in fractions:
            k = len(picked_positions(n, f))
            row = {"nodes": n, "fraction": f, "edits": k, "path": path}
            row["tarq"] = res = _spawn(args, "tarq", path, f, split=f == fractions[0])
            if "error" in res:
                bc._log(f"[{n:,} nodes, {k:,} edits] tarq FAILED: {res['error']}")
            else:
                bc._log(f"[{n:,} nodes, {k:,} edits] tarq: edits {_t(res['edit_s'])} "
                        f"({_t(res['edit_s'] / k)} each), construct {_t(res['construct_s'])}, "
                        f"verify {_t(res['verify_s'])}")
            if not args.skip_gs and f in gs_fractions:
                row["gs"] = res = _spawn(args, "gs", path, f)
                if "error" in res:
                    bc._log(f"[{n:,} nodes, {k:,} edits] gs FAILED: {res['error']}")
                else:
                    bc._log(f"[{n:,} nodes, {k:,} edits] gs: edits {_t(res['edit_s'])}, cleanup "
                            f"{_t(res['cleanup_s'])}, toposort {_t(res['toposort_s'])}, import "
                            f"{_t(res['import_s'])}")
            t, s = row.get("tarq") or {}, row.get("gs") or {}
            if t.get("edit_s") and s.get("total_s"):
                row["gs_over_tarq"] = s["total_s"] / t["edit_s"]
            rows.append(row)

    save = None
    if not args.skip_save:
        path = args.save_model
        if not path:
            import export_real_model
            path = export_real_model.export(export_real_model.default_path(args.cache_dir))
        save = _spawn(args, "save", os.path.abspath(path))
        if "error" in save:
            bc._log(f"save FAILED: {save['error']}")

    print(flush=True)
    print(f"Node removal and re-insertion, synthetic graphs, best of {args.repeat}:")
    print(_edit_table(rows))
    if save and "best_s" in save:
        print()
        print(f"Saving {os.path.basename(save['model'])} ({save['file_bytes'] / 2**20:.0f} MiB), best of "
              f"{args.repeat}, {'each write followed by fsync' if save['fsync'] else 'no fsync'}:")
        print(_save_table(save))
    notes = _targets(rows, save, sizes)
    for r in rows:
        for side in ("tarq", "gs"):
            if "error" in (r.get(side) or {}):
                notes.append(f"{side} failed at {r['nodes']:,} nodes, {r['edits']:,} edits: {r[side]['error']}")
        if not args.skip_gs and "gs" not in r:
            notes.append(f"gs not measured at {r['nodes']:,} nodes, {r['edits']:,} edits (--gs-fractions)")
    if args.skip_gs:
        notes.append("gs side skipped")
    if save is None:
        notes.append("save skipped (--skip-save)")
    elif "error" in save:
        notes.append(f"save failed: {save['error']}")
    print()
    print("\n".join(notes))

    meta["loadavg_end"] = os.getloadavg()
    meta["wall_s"] = time.time() - started
    os.makedirs(args.results_dir, exist_ok=True)
    out = os.path.join(args.results_dir, "edits.json")
    with open(out, "w") as f:
        json.dump({"meta": meta, "edits": rows, "save": save, "targets": notes}, f, indent=1)
    print(f"\nresults: {out} ({meta['wall_s']:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
