"""tarq-ir report, as a person sees it: the page it writes opens in a headless
browser without script errors, draws its charts, needs nothing from the
network, and shows the model's own strings as text."""
import os
import re
import shutil
import struct
import subprocess
import zlib

import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper

from conftest import EXAMPLE, ROOT, light_models

# The colour of the bars (operator mix and multiply-accumulates).
BAR_RGB = (0x3A, 0x6F, 0xD8)


def tarq_ir():
    path = os.environ.get("TARQ_IR") or os.path.join(ROOT, "build", "tarq-ir")
    assert os.path.exists(path), (
        f"tarq-ir not found at {path}: set TARQ_IR to the built tool (scripts/test.sh does)")
    return path


def chromium():
    path = shutil.which("chromium")
    assert path, "chromium is missing: run scripts/bootstrap.sh, which installs it"
    return path


def browse(page, tmp_path, *args):
    profile = tmp_path / "profile"
    # The browser gets none of the sanitizer runtime a sanitized test run
    # preloads into this process.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    done = subprocess.run(
        [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
         "--hide-scrollbars", f"--user-data-dir={profile}", *args, page.as_uri()],
        capture_output=True, timeout=180, env=env)
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    return done.stdout.decode()


def read_png(path):
    """An 8-bit RGB or RGBA, non-interlaced PNG as an array (height, width, channels)."""
    blob = path.read_bytes()
    assert blob[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG file"
    pos, data = 8, []
    while pos < len(blob):
        length, kind = struct.unpack(">I4s", blob[pos:pos + 8])
        body = blob[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            data.append(body)
        elif kind == b"IEND":
            break
    assert depth == 8 and interlace == 0 and colour in (2, 6), (depth, colour, interlace)
    ch = 3 if colour == 2 else 4
    stride = width * ch
    raw = np.frombuffer(zlib.decompress(b"".join(data)), np.uint8).reshape(height, stride + 1)
    out = np.zeros((height, stride), np.uint8)
    prev = np.zeros(stride, np.int64)
    for y in range(height):
        kind, line = raw[y, 0], raw[y, 1:].astype(np.int64)
        if kind == 0:
            cur = line
        elif kind == 1:  # Sub: a running sum per channel
            cur = line.reshape(width, ch).cumsum(axis=0).reshape(-1) % 256
        elif kind == 2:  # Up
            cur = (line + prev) % 256
        else:  # Average and Paeth depend on the byte to the left: one byte at a time
            cur_l, up, ln = [0] * stride, prev.tolist(), line.tolist()
            for i in range(stride):
                a = cur_l[i - ch] if i >= ch else 0
                b = up[i]
                if kind == 3:
                    cur_l[i] = (ln[i] + (a + b) // 2) & 255
                else:
                    c = up[i - ch] if i >= ch else 0
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    pred = a if pa <= pb and pa <= pc else b if pb <= pc else c
                    cur_l[i] = (ln[i] + pred) & 255
            cur = np.array(cur_l, np.int64)
        out[y] = cur
        prev = cur
    return out.reshape(height, width, ch)[:, :, :3]


def render(html, tmp_path):
    """The page's DOM after its scripts ran, and a screenshot of it."""
    dom = browse(html, tmp_path, "--dump-dom")
    shot = tmp_path / "shot.png"
    browse(html, tmp_path, "--window-size=1100,1500", f"--screenshot={shot}")
    return dom, read_png(shot)


def check_page(html, dom, pixels, layers):
    text = html.read_text()
    # Self-contained: nothing to fetch (the SVG namespace is a name, not a fetch).
    for pattern in (r"\bsrc\s*=", r"<link\b", r"@import", r"url\(", r"https?://(?!www\.w3\.org/2000/svg)"):
        assert not re.search(pattern, text), pattern
    # The page's script drew everything and recorded no error.
    errors = re.search(r'<pre id="script-errors"[^>]*>(.*?)</pre>', dom, re.S)
    assert errors, "the page has no error list"
    assert errors.group(1) == "", f"script errors: {errors.group(1)}"
    assert re.search(r'<html[^>]*data-render="ok"', dom), "the script did not finish drawing"
    assert f", {layers} layers." in dom
    # Not blank, and the bars are there.
    grey = pixels.mean(axis=2)
    assert (grey < 240).mean() > 0.02 and grey.std() > 10
    bar = np.all(np.abs(pixels.astype(int) - BAR_RGB) <= 12, axis=2)
    assert bar.mean() > 0.003, f"bar colour covers {bar.mean():.4%} of the screenshot"


@pytest.mark.parametrize("model", [EXAMPLE] + [m for m in light_models() if "resnet50" in m],
                         ids=os.path.basename)
def test_report_page_draws_for_shipped_models(model, tmp_path):
    assert os.path.exists(model)
    html = tmp_path / "report.html"
    subprocess.run([tarq_ir(), "report", model, "-o", str(html)], check=True,
                   capture_output=True, timeout=300)
    dom, pixels = render(html, tmp_path)
    nodes = len(onnx.load(model).graph.node)
    check_page(html, dom, pixels, nodes)
    # Fused, the example has fewer layers than nodes, and the page says so.
    if model == EXAMPLE:
        subprocess.run([tarq_ir(), "report", model, "--fuse", "-o", str(html)], check=True,
                       capture_output=True, timeout=300)
        dom = browse(html, tmp_path, "--dump-dom")
        drawn = int(re.search(r", (\d+) layers\.", dom).group(1))
        assert 0 < drawn < nodes


def test_report_of_a_deep_model_with_hostile_names(tmp_path):
    """12,000 layers whose graph and node names hold markup: the page still
    draws, and the names show as text, not as elements."""
    count, prev, nodes = 12000, "x", []
    for i in range(count):
        op = ("Relu", "Add", "Sigmoid")[i % 3]
        inputs = [prev, "x"] if op == "Add" else [prev]
        nodes.append(helper.make_node(op, inputs, [f"t{i}"], name=f"n{i}</script><i>&amp;\"'"))
        prev = f"t{i}"
    shape = [1, 16, 8, 8]
    graph = helper.make_graph(nodes, "deep</script><b id=\"injected\">x</b>",
                              [helper.make_tensor_value_info("x", TensorProto.FLOAT, shape)],
                              [helper.make_tensor_value_info(prev, TensorProto.FLOAT, shape)])
    model = tmp_path / "deep.onnx"
    onnx.save(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]), model)
    html = tmp_path / "deep.html"
    subprocess.run([tarq_ir(), "report", str(model), "-o", str(html)], check=True,
                   capture_output=True, timeout=600)
    dom, pixels = render(html, tmp_path)
    check_page(html, dom, pixels, count)
    assert '<b id="injected"' not in dom and "<i>" not in dom
    assert "deep&lt;/script&gt;&lt;b id=" in dom
