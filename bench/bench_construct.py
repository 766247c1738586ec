#!/usr/bin/env python3
"""Benchmark: constructing an IRGraph versus indexing the same model in plain Python.

For every model (synthetic graphs of the requested sizes, the largest model of
the ONNX backend test data, the largest architecture the onnx wheel ships) and
for each side, one subprocess loads the model and builds the index, best of
--repeat runs:

  tarq    load  = tarq.api.ir_graph.load_model(path)    (or onnx.load(path) when
                  the module has no load_model: the model is then copied in)
          index = IRGraph(model)                       (no weight cache)
  python  load  = onnx.load(path)
          index = the dicts a user would build over the onnx package: node by
                  name, producer and consumers of every tensor, initializers,
                  value_info, graph inputs and outputs by name

The tarq child also times g.verify() right after each construction (when the
module has it), against the index building of that construction.

Prints a table (index times, their ratio, growth per 10x nodes, verify time
over index building, peak RSS) and writes the full results as JSON under
bench/results/. Works without the extension (Python baseline only) until the
lead has built it; the module is looked up on the normal path, then under
<repo>/build/python.

    python bench/bench_construct.py [--sizes 10000,100000,1000000] [--repeat 3]
                                    [--skip-python-1m] [--model PATH ...]
"""
import argparse
import gc
import glob
import json
import math
import os
import platform
import random
import resource
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
DEFAULT_CACHE = os.path.join(HERE, ".cache")
DEFAULT_RESULTS = os.path.join(HERE, "results")
DEFAULT_TARQ_PATH = os.path.join(REPO, "build", "python")
TESTDATA_GLOB = "/usr/share/libonnx-testdata/data/*/*/model.onnx"

# Bump whenever the synthetic generator changes: the cache is keyed by it.
GENERATOR_VERSION = 1
WIDTH = 32            # every synthetic tensor is float [1, WIDTH]
OPSET = 17
IR_VERSION = 8
SMALL_MODEL_NODES = 5000   # below this, every side runs at least MIN_SMALL_REPEAT times
MIN_SMALL_REPEAT = 20
VERIFY_OVER_BUILD = 2.0    # target: verify() <= 2x the index building of a rebuild


# --------------------------------------------------------------------------
# Synthetic models, written straight in protobuf wire format.
#
# Building a million NodeProto objects through onnx.helper takes minutes; the
# messages here are a handful of fixed shapes, so each one is a few byte
# concatenations (a few seconds per million nodes). The constant parts (tensor
# type, attributes) are serialized once by the onnx package itself.
# --------------------------------------------------------------------------

def _varint(v):
    out = bytearray()
    while v >= 0x80:
        out.append((v & 0x7F) | 0x80)
        v >>= 7
    out.append(v)
    return bytes(out)


_SHORT_LEN = [bytes([i]) for i in range(128)]


def _ld(key, payload):
    """One length-delimited field: key byte(s), length, payload."""
    n = len(payload)
    return key + (_SHORT_LEN[n] if n < 128 else _varint(n)) + payload


# Field keys (field number << 3 | wire type 2) of the messages written here.
K_NODE_INPUT, K_NODE_OUTPUT, K_NODE_NAME, K_NODE_OP, K_NODE_ATTR = b"\x0a", b"\x12", b"\x1a", b"\x22", b"\x2a"
K_VI_NAME, K_VI_TYPE = b"\x0a", b"\x12"
K_G_NODE, K_G_NAME, K_G_INIT, K_G_INPUT, K_G_OUTPUT, K_G_VI = b"\x0a", b"\x12", b"\x2a", b"\x5a", b"\x62", b"\x6a"
K_T_NAME, K_T_RAW = b"\x42", b"\x4a"
K_M_PRODUCER, K_M_GRAPH, K_M_OPSET = b"\x12", b"\x3a", b"\x42"

# Unary operators with their relative frequency (roughly what exported
# networks contain) and attributes.
_UNARY = [
    ("Relu", 8, {}), ("Sigmoid", 2, {}), ("Tanh", 1, {}), ("Neg", 1, {}), ("Abs", 1, {}),
    ("LeakyRelu", 2, {"alpha": 0.01}), ("Elu", 1, {"alpha": 1.0}),
    ("HardSigmoid", 1, {"alpha": 0.2, "beta": 0.5}), ("Softmax", 2, {"axis": -1}),
    ("Identity", 1, {}), ("Erf", 1, {}),
]


def _constants():
    from onnx import TensorProto, helper
    type_bytes = helper.make_tensor_type_proto(TensorProto.FLOAT, [1, WIDTH]).SerializeToString()
    unary = []
    for op, weight, attrs in _UNARY:
        attr_bytes = b"".join(_ld(K_NODE_ATTR, helper.make_attribute(k, v).SerializeToString())
                              for k, v in attrs.items())
        unary += [(op, _ld(K_NODE_OP, op.encode()), attr_bytes)] * weight
    # dims [WIDTH], data_type FLOAT: the fixed head of every initializer.
    init_head = b"\x08" + _varint(WIDTH) + b"\x10" + _varint(TensorProto.FLOAT)
    return type_bytes, unary, init_head


def synthetic_model_bytes(n, seed=0):
    """Serialized ModelProto of an n-node graph.

    A chain of unary operators over [1, WIDTH] float tensors, grouped in named
    blocks of 32 nodes. Every 8th node is an Add or Mul of the running tensor
    and a tensor 2..64 nodes back (a skip connection); every 16th node, offset
    by 3, multiplies or adds a [WIDTH] initializer. Every intermediate tensor
    has a value_info entry; the last node writes the graph output "output".
    """
    import numpy as np

    type_bytes, unary, init_head = _constants()
    vi_type = _ld(K_VI_TYPE, type_bytes)
    op_add, op_mul = _ld(K_NODE_OP, b"Add"), _ld(K_NODE_OP, b"Mul")
    rng = random.Random(seed * 1000003 + n)
    n_inits = sum(1 for i in range(n) if i % 16 == 3)
    raw = np.random.default_rng(seed).standard_normal(n_inits * WIDTH).astype(np.float32).tobytes()
    row = WIDTH * 4

    tensors = [b"input"]       # tensor written by node i is tensors[i + 1]
    nodes, value_infos, inits = [], [], []
    for i in range(n):
        block, k = divmod(i, 32)
        prefix = f"/stage{block >> 6}/block{block}/"
        cur = tensors[-1]
        if i % 8 == 7:
            op, op_field = ("Add", op_add) if (i >> 3) & 1 else ("Mul", op_mul)
            back = tensors[max(0, len(tensors) - 1 - rng.randint(2, 64))]
            ins = _ld(K_NODE_INPUT, cur) + _ld(K_NODE_INPUT, back)
            attrs = b""
        elif i % 16 == 3:
            op, op_field = ("Mul", op_mul) if (i >> 4) & 1 else ("Add", op_add)
            wname = f"{prefix}{op}_{k}.weight".encode()
            j = len(inits)
            inits.append(_ld(K_G_INIT, init_head + _ld(K_T_NAME, wname)
                             + _ld(K_T_RAW, raw[j * row:(j + 1) * row])))
            ins = _ld(K_NODE_INPUT, cur) + _ld(K_NODE_INPUT, wname)
            attrs = b""
        else:
            op, op_field, attrs = rng.choice(unary)
            ins = _ld(K_NODE_INPUT, cur)
        name = f"{prefix}{op}_{k}"
        if i == n - 1:
            out = b"output"
        else:
            out = f"{name}_output_0".encode()
            value_infos.append(_ld(K_G_VI, _ld(K_VI_NAME, out) + vi_type))
        tensors.append(out)
        nodes.append(_ld(K_G_NODE, ins + _ld(K_NODE_OUTPUT, out) + _ld(K_NODE_NAME, name.encode())
                         + op_field + attrs))

    graph = b"".join([
        b"".join(nodes),
        _ld(K_G_NAME, f"synthetic_{n}".encode()),
        b"".join(inits),
        _ld(K_G_INPUT, _ld(K_VI_NAME, b"input") + vi_type),
        _ld(K_G_OUTPUT, _ld(K_VI_NAME, b"output") + vi_type),
        b"".join(value_infos),
    ])
    opset = _ld(b"\x0a", b"") + b"\x10" + _varint(OPSET)
    return b"".join([
        b"\x08" + _varint(IR_VERSION),
        _ld(K_M_PRODUCER, b"tarq-bench"),
        _ld(K_M_GRAPH, graph),
        _ld(K_M_OPSET, opset),
    ])


def synthetic_model_path(n, cache_dir, check=False):
    """Path of the cached n-node model, generating it on first use."""
    path = os.path.join(cache_dir, f"synthetic_n{n}_g{GENERATOR_VERSION}.onnx")
    if not os.path.exists(path):
        os.makedirs(cache_dir, exist_ok=True)
        t0 = time.perf_counter()
        data = synthetic_model_bytes(n)
        tmp = f"{path}.tmp{os.getpid()}"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
        _log(f"generated {path} ({len(data) / 2**20:.1f} MiB) in {time.perf_counter() - t0:.1f} s")
    if check:
        import onnx
        model = onnx.load(path)
        onnx.checker.check_model(model, full_check=True)
        if len(model.graph.node) != n:
            raise RuntimeError(f"{path}: {len(model.graph.node)} nodes, expected {n}")
        _log(f"checked {path}")
    return path


# --------------------------------------------------------------------------
# Real models.
# --------------------------------------------------------------------------

def _largest(paths):
    paths = [p for p in paths if os.path.isfile(p)]
    return max(paths, key=lambda p: (os.path.getsize(p), p)) if paths else None


def default_real_models():
    """(label, path) of the largest backend test model and the largest onnx wheel model."""
    found = []
    p = _largest(glob.glob(TESTDATA_GLOB))
    if p:
        found.append((os.path.basename(os.path.dirname(p)), p))
    try:
        import onnx
        light = os.path.join(os.path.dirname(onnx.__file__), "backend", "test", "data", "light", "*.onnx")
        p = _largest(glob.glob(light))
        if p:
            found.append((os.path.splitext(os.path.basename(p))[0], p))
    except ImportError:
        pass
    return found


# --------------------------------------------------------------------------
# Child processes: one per (model, side), so peak RSS belongs to one run.
# --------------------------------------------------------------------------

def _current_rss_mib():
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
    except OSError:
        return float("nan")


def _reset_peak():
    """Resets VmHWM to the current RSS (Linux >= 4.0); False when not possible."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _peak_rss_mib():
    # VmHWM belongs to this process image alone; ru_maxrss would carry the
    # parent's peak across fork and exec.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


def _import_tarq(tarq_path):
    """Imports tarq.api.ir_graph: from tarq_path if given, else the normal path,
    then the repository's build tree."""
    tries = [tarq_path] if tarq_path else [None, DEFAULT_TARQ_PATH]
    err = None
    for extra in tries:
        if extra is not None:
            if not os.path.isdir(extra):
                continue
            sys.path.insert(0, extra)
        for mod in [m for m in sys.modules if m == "tarq" or m.startswith("tarq.")]:
            del sys.modules[mod]
        try:
            import tarq.api.ir_graph as irg
            return irg
        except ImportError as e:
            err = e
            if extra is not None:
                sys.path.remove(extra)
    raise err if err else ImportError("tarq.api.ir_graph not found")


def python_index(model):
    """The straightforward indexing a user writes over the onnx package."""
    g = model.graph
    node_by_name = {}
    producer = {}
    consumers = {}
    for node in g.node:
        node_by_name[node.name] = node
        for t in node.input:
            if t:
                consumers.setdefault(t, []).append(node)
        for t in node.output:
            producer[t] = node
    initializers = {t.name: t for t in g.initializer}
    value_infos = {v.name: v for v in g.value_info}
    inputs = {v.name: v for v in g.input}
    outputs = {v.name: v for v in g.output}
    return node_by_name, producer, consumers, initializers, value_infos, inputs, outputs


def _run_child(args):
    side, path = args.child, args.path
    if side == "probe":
        try:
            irg = _import_tarq(args.tarq_path)
        except Exception as e:  # a broken build should not stop the baseline
            return {"available": False, "error": f"{type(e).__name__}: {e}"}
        return {"available": True, "module": getattr(irg, "__file__", None),
                "core": getattr(getattr(irg, "_core", None), "__file__", None),
                "load_model": hasattr(irg, "load_model"), "verify": hasattr(irg.IRGraph, "verify")}

    with open(path, "rb") as f:       # warm the page cache: loads are then parse-bound
        f.read()
    if side == "tarq":
        irg = _import_tarq(args.tarq_path)
        mode = args.tarq_mode
        if mode == "auto":
            mode = "view" if hasattr(irg, "load_model") else "copy"
        if mode == "view":
            load = irg.load_model
        else:
            import onnx
            load = onnx.load
        build = irg.IRGraph
    else:
        import onnx
        mode = None
        load, build = onnx.load, python_index

    base_rss = _current_rss_mib()
    verify = side == "tarq" and hasattr(build, "verify")
    loads, indexes, nodes = [], [], None
    verifies, peaks, verify_peaks, verify_error = [], [], [], None
    for _ in range(args.repeat):
        gc.collect()
        t0 = time.perf_counter()
        model = load(path)
        t1 = time.perf_counter()
        index = build(model)
        t2 = time.perf_counter()
        loads.append(t1 - t0)
        indexes.append(t2 - t1)
        if nodes is None:
            nodes = len(model.graph.node)
        if verify and verify_error is None:
            # The peak of construction is read before verify() and the peak
            # of verify() after it; then the mark is reset for the next run.
            peaks.append(_peak_rss_mib())
            print(VERIFY_BEGIN, file=sys.stderr, flush=True)
            try:
                t3 = time.perf_counter()
                index.verify()
                verifies.append(time.perf_counter() - t3)
            except Exception as e:  # a table that disagrees: reported, not fatal
                verify_error = f"{type(e).__name__}: {e}"
            print(VERIFY_END, file=sys.stderr, flush=True)
            verify_peaks.append(_peak_rss_mib())
            _reset_peak()
        del index, model
    res = {"side": side, "mode": mode, "nodes": nodes,
           "load_s": min(loads), "index_s": min(indexes), "load_all_s": loads, "index_all_s": indexes,
           "base_rss_mib": base_rss, "peak_rss_mib": max(peaks) if peaks else _peak_rss_mib()}
    if verify:
        res.update(verify_s=min(verifies, default=None), verify_all_s=verifies,
                   verify_peak_rss_mib=max(verify_peaks), verify_error=verify_error)
    return res


def _spawn(args, side, path=None, repeat=1):
    cmd = [sys.executable, os.path.abspath(__file__), "--child", side, "--repeat", str(repeat),
           "--tarq-mode", args.tarq_mode]
    if path:
        cmd += ["--path", path]
    if args.tarq_path:
        cmd += ["--tarq-path", args.tarq_path]
    env = dict(os.environ, TARQ_REBUILD_TIMES="1") if side == "tarq" else None
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or [f"exit code {proc.returncode}"])[-1]
        return {"side": side, "error": tail, "stderr": proc.stderr[-4000:]}
    res = json.loads(proc.stdout.strip().splitlines()[-1])
    if side == "tarq":
        steps = parse_step_times(proc.stderr)
        if steps:
            res["steps_ms"] = steps
            res["build_all_s"] = [index_building_ms(s) / 1e3 for s in steps]
            res["build_s"] = min(res["build_all_s"])
    return res


# Written by the tarq child to standard error around g.verify(): step lines in
# between are not constructions.
VERIFY_BEGIN, VERIFY_END = "tarq bench: verify begin", "tarq bench: verify end"

# The rebuild steps that build the index tables (scan and consts, operands,
# node index and links, freeable tensors and byte total, dependency capture),
# as opposed to checking the value information, cleaning (shape inference and
# the checker included) and the weight cache.
INDEX_STEPS = ("scan_consts", "operands", "sort", "links", "frees_bytes", "dependencies")


def parse_step_times(stderr):
    """Step times (ms) of every rebuild a tarq child reported with TARQ_REBUILD_TIMES=1."""
    runs, in_verify = [], False
    for line in stderr.splitlines():
        if line in (VERIFY_BEGIN, VERIFY_END):
            in_verify = line == VERIFY_BEGIN
        if in_verify or not line.startswith("tarq rebuild:"):
            continue
        words = line.split(" ms: ", 1)[1].split() if " ms: " in line else line.split("ms:", 1)[1].split()
        runs.append({k: float(v) for k, v in zip(words[0::2], words[1::2])})
    return runs


def index_building_ms(steps):
    return sum(v for k, v in steps.items() if k in INDEX_STEPS)


def _best_of_processes(args, side, path, repeat):
    """The best run over several child processes.

    Timings of the same work differ by tens of percent between processes on a
    shared machine (heap layout, neighbours), more than between runs within
    one; the best of several processes is what each side can do.
    """
    n_proc = max(1, args.processes)
    runs = [_spawn(args, side, path, repeat) for _ in range(n_proc)]
    good = [r for r in runs if "error" not in r]
    if not good:
        return runs[0]
    best = dict(min(good, key=lambda r: r["index_s"]))
    for key in ("load_s", "build_s", "verify_s"):
        vals = [r[key] for r in good if r.get(key) is not None]
        if vals:
            best[key] = min(vals)
    best["verify_error"] = next((r["verify_error"] for r in good if r.get("verify_error")), None)
    for key in ("load_all_s", "index_all_s", "build_all_s", "verify_all_s"):
        best[key] = [x for r in good for x in r.get(key, [])]
    best["processes"] = len(good)
    return best


# --------------------------------------------------------------------------
# Report.
# --------------------------------------------------------------------------

def _log(msg):
    print(msg, file=sys.stderr, flush=True)


def _fmt_time(s):
    if s is None:
        return "-"
    if s < 1e-3:
        return f"{s * 1e6:.0f} us"
    if s < 1:
        return f"{s * 1e3:.3g} ms"
    return f"{s:.3g} s"


def _size_label(n):
    for unit, suffix in ((1_000_000, "M"), (1000, "k")):
        if n % unit == 0:
            return f"{n // unit}{suffix}"
    return str(n)


def _fmt_x(x):
    return "-" if x is None else f"{x:.1f}x"


def _fmt_mib(x):
    return "-" if x is None else f"{x:.0f}"


def _growth(rows, side, key="index_s"):
    """Per-10x growth of a time between consecutive synthetic sizes."""
    out = {}
    prev = None
    for r in rows:
        if r["kind"] != "synthetic":
            continue
        t = (r.get(side) or {}).get(key)
        if t and prev:
            n0, t0 = prev
            out[r["label"]] = (t / t0) ** (1 / math.log10(r["nodes"] / n0))
        prev = (r["nodes"], t) if t else None
    return out


def _ratio(num, den):
    return num / den if num and den else None


def _table(rows):
    g_build, g_tarq, g_py = _growth(rows, "tarq", "build_s"), _growth(rows, "tarq"), _growth(rows, "python")
    head = ["model", "nodes", "tarq load", "tarq construct", "tarq index build", "py load", "py index",
            "py/construct", "py/build", "build /10x", "construct /10x", "py /10x", "verify", "verify/build",
            "tarq MiB", "py MiB"]
    lines = []
    for r in rows:
        t, p = r.get("tarq") or {}, r.get("python") or {}
        r["index_ratio"] = _ratio(p.get("index_s"), t.get("build_s"))
        r["construct_ratio"] = _ratio(p.get("index_s"), t.get("index_s"))
        r["tarq_build_growth_per_10x"] = g_build.get(r["label"])
        r["tarq_growth_per_10x"] = g_tarq.get(r["label"])
        r["python_growth_per_10x"] = g_py.get(r["label"])
        r["verify_ratio"] = _ratio(t.get("verify_s"), t.get("build_s"))
        failed = "error" in t
        lines.append([r["label"], f"{r['nodes']:,}", _fmt_time(t.get("load_s")),
                      "FAILED" if failed else _fmt_time(t.get("index_s")),
                      "FAILED" if failed else _fmt_time(t.get("build_s")),
                      _fmt_time(p.get("load_s")), "FAILED" if "error" in p else _fmt_time(p.get("index_s")),
                      _fmt_x(r["construct_ratio"]), _fmt_x(r["index_ratio"]),
                      _fmt_x(g_build.get(r["label"])), _fmt_x(g_tarq.get(r["label"])),
                      _fmt_x(g_py.get(r["label"])),
                      "FAILED" if t.get("verify_error") else _fmt_time(t.get("verify_s")),
                      "-" if r["verify_ratio"] is None else f"{r['verify_ratio']:.2f}x",
                      _fmt_mib(t.get("peak_rss_mib")), _fmt_mib(p.get("peak_rss_mib"))])
    widths = [max(len(str(x)) for x in col) for col in zip(head, *lines)]
    fmt = lambda cells: "  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))
    return "\n".join([fmt(head), fmt(["-" * w for w in widths])] + [fmt(l) for l in lines])


def _targets(rows):
    out = []
    by_n = {r["nodes"]: r for r in rows if r["kind"] == "synthetic"}
    r = by_n.get(100000)
    if r and r.get("index_ratio"):
        ok = r["index_ratio"] >= 10
        out.append(f"index building speedup at 100k nodes: {r['index_ratio']:.1f}x (target >= 10x): "
                   f"{'met' if ok else 'NOT met'}")
    if r and r.get("construct_ratio"):
        out.append(f"whole construction (cleaning and shape inference included) at 100k nodes: "
                   f"{r['construct_ratio']:.1f}x the Python index (for information)")
    for r in rows:
        g = r.get("tarq_build_growth_per_10x")
        if g is not None:
            out.append(f"tarq index building growth per 10x nodes up to {r['nodes']:,}: {g:.1f}x "
                       f"(target <= 12x): {'met' if g <= 12 else 'NOT met'}")
        g = r.get("tarq_growth_per_10x")
        if g is not None:
            out.append(f"tarq construction growth per 10x nodes up to {r['nodes']:,}: {g:.1f}x (for information)")
    for r in rows:
        t = r.get("tarq") or {}
        if t.get("verify_error"):
            out.append(f"verify() failed on {r['label']}: {t['verify_error']}")
        x = r.get("verify_ratio")
        if x is None or r["kind"] != "synthetic":
            continue
        what = (f"verify() at {r['nodes']:,} nodes: {_fmt_time(t['verify_s'])}, index building "
                f"{_fmt_time(t['build_s'])}, ratio {x:.2f}x")
        if r["nodes"] >= 100_000:
            out.append(f"{what} (target <= {VERIFY_OVER_BUILD:g}x): {'met' if x <= VERIFY_OVER_BUILD else 'NOT met'}")
        else:
            out.append(f"{what} (for information)")
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description="IRGraph construction against a plain Python index.")
    ap.add_argument("--sizes", default="10000,100000,1000000",
                    help="synthetic node counts, comma-separated (default: %(default)s)")
    ap.add_argument("--repeat", type=int, default=3, help="runs per process; the best is kept")
    ap.add_argument("--processes", type=int, default=3,
                    help="processes per model and side; the best run of all is kept "
                         "(default: %(default)s)")
    ap.add_argument("--skip-python-1m", action="store_true", help="no Python baseline at 1M nodes and above")
    ap.add_argument("--model", action="append", default=[], metavar="PATH", help="an extra model to measure")
    ap.add_argument("--no-real", action="store_true", help="leave out the default real models")
    ap.add_argument("--sides", default="tarq,python", help="which sides to run (default: %(default)s)")
    ap.add_argument("--tarq-mode", choices=["auto", "view", "copy"], default="auto",
                    help="view: load_model(path); copy: IRGraph(onnx.load(path)); auto: view if available")
    ap.add_argument("--tarq-path", help=f"directory holding the tarq package (else the normal path, "
                                        f"then {DEFAULT_TARQ_PATH})")
    ap.add_argument("--cache-dir", default=DEFAULT_CACHE, help="generated models (default: %(default)s)")
    ap.add_argument("--results-dir", default=DEFAULT_RESULTS, help="JSON results (default: %(default)s)")
    ap.add_argument("--check", action="store_true", help="run the full ONNX checker on the synthetic models")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--path", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.child:
        print(json.dumps(_run_child(args)), flush=True)
        return 0

    sizes = sorted({int(s.replace("_", "")) for s in args.sizes.split(",") if s.strip()})
    sides = [s.strip() for s in args.sides.split(",") if s.strip()]
    if args.repeat < 1 or any(n < 1 for n in sizes) or not set(sides) <= {"tarq", "python"}:
        ap.error("--repeat and --sizes must be positive; --sides takes tarq and/or python")

    probe = _spawn(args, "probe") if "tarq" in sides else {"available": False, "error": "not requested"}
    if probe.get("error") and "available" not in probe:
        probe = {"available": False, "error": probe["error"]}
    if probe["available"]:
        mode = args.tarq_mode if args.tarq_mode != "auto" else ("view" if probe["load_model"] else "copy")
        if mode == "view" and not probe["load_model"]:
            ap.error("--tarq-mode view: the module has no load_model")
        _log(f"tarq: {probe['core'] or probe['module']} (mode {mode})")
    else:
        mode = None
        _log(f"tarq not available ({probe['error']}): Python baseline only")

    models = [("synthetic", _size_label(n), synthetic_model_path(n, args.cache_dir, args.check), n)
              for n in sizes]
    real = [] if args.no_real else default_real_models()
    real += [(os.path.basename(p), p) for p in args.model]
    if real:
        import onnx
        for label, p in real:
            models.append(("real", label, os.path.abspath(p), len(onnx.load(p, load_external_data=False).graph.node)))

    rows = []
    for kind, label, path, n in models:
        row = {"kind": kind, "label": label, "path": path, "nodes": n, "file_bytes": os.path.getsize(path)}
        repeat = max(args.repeat, MIN_SMALL_REPEAT) if n < SMALL_MODEL_NODES else args.repeat
        for side in sides:
            if side == "tarq" and not probe["available"]:
                continue
            if side == "python" and args.skip_python_1m and n >= 1_000_000:
                continue
            res = _best_of_processes(args, side, path, repeat)
            row[side] = res
            if "error" in res:
                _log(f"[{label}] {side}: FAILED: {res['error']}")
            else:
                _log(f"[{label}] {side}: load {_fmt_time(res['load_s'])}, index {_fmt_time(res['index_s'])}, "
                     f"peak {res['peak_rss_mib']:.0f} MiB")
        rows.append(row)

    print(flush=True)
    print(_table(rows), flush=True)
    notes = _targets(rows)
    for r in rows:
        for side in sides:
            if "error" in (r.get(side) or {}):
                notes.append(f"{side} failed on {r['label']}: {r[side]['error']}")
    if not probe["available"]:
        notes.append(f"tarq not measured: {probe['error']}")
    else:
        if not probe.get("verify"):
            notes.append("verify() not available in this build: not measured")
        if mode == "copy":
            notes.append("tarq has no load_model: tarq load is onnx.load and tarq index includes copying the model in")
    if notes:
        print()
        print("\n".join(notes))

    import onnx
    write_results("construct", args.results_dir, rows, notes, onnx=onnx.__version__,
                  repeat=args.repeat, generator_version=GENERATOR_VERSION, tarq=probe,
                  tarq_mode=mode)
    return 0



def write_results(kind, results_dir, rows, notes, **extra):
    """Writes one JSON document of results, with the run's circumstances."""
    from google.protobuf.internal import api_implementation

    meta = {
        "benchmark": kind, "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "python": sys.version.split()[0], "protobuf_backend": api_implementation.Type(),
        "platform": platform.platform(), "cpus": os.cpu_count(), "loadavg": os.getloadavg(),
        **extra,
    }
    os.makedirs(results_dir, exist_ok=True)
    out = os.path.join(results_dir, f"{kind}_{time.strftime('%Y%m%d_%H%M%S')}.json")
    with open(out, "w") as f:
        json.dump({"meta": meta, "rows": rows, "targets": notes}, f, indent=1)
    print(f"\nresults: {out}")


if __name__ == "__main__":
    sys.exit(main())
