// The report page. The data goes in as JSON inside a <script> element and
// the page's script draws from it: the operator mix as SVG (one bar per
// operator type), the per-layer charts on canvas, aggregated to one column
// per pixel so that a model of tens of thousands of layers draws as fast as
// a small one. The script writes model strings only as text (textContent),
// never as markup; the summary rows are escaped here.
#include "report_page.h"

namespace tarq::cli {

namespace {

const char* const kPage = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>@TITLE@</title>
<script>
window.reportErrors = [];
window.onerror = function (message, source, line) {
  window.reportErrors.push(String(message) + ' (line ' + line + ')');
  document.documentElement.setAttribute('data-render', 'error');
  var box = document.getElementById('script-errors');
  if (box) { box.hidden = false; box.textContent = window.reportErrors.join('\n'); }
};
</script>
<style>
:root { --ink: #1d2430; --muted: #5b6475; --line: #d8dce3; --bar: #3a6fd8; --bar2: #9db8ef;
        --warn: #b3261e; --bg: #ffffff; --panel: #f6f7f9; }
* { box-sizing: border-box; }
body { margin: 0; padding: 24px 32px 40px; font: 14px/1.45 "DejaVu Sans", "Segoe UI", Helvetica, Arial, sans-serif;
       color: var(--ink); background: var(--bg); }
h1 { font-size: 22px; margin: 0 0 4px; word-break: break-all; }
h2 { font-size: 17px; margin: 28px 0 6px; border-bottom: 1px solid var(--line); padding-bottom: 4px; }
h3 { font-size: 14px; margin: 16px 0 6px; }
.note { color: var(--muted); margin: 4px 0 8px; max-width: 70em; }
table { border-collapse: collapse; }
table.summary th { text-align: left; font-weight: normal; color: var(--muted); padding: 2px 18px 2px 0; vertical-align: top; }
table.summary td { padding: 2px 0; word-break: break-all; }
table.top th, table.top td { padding: 3px 10px 3px 0; text-align: left; border-bottom: 1px solid var(--line); }
table.top td.num, table.top th.num { text-align: right; }
.chart { position: relative; width: 100%; background: var(--panel); border: 1px solid var(--line); border-radius: 4px; }
canvas { display: block; }
#ops svg { display: block; width: 100%; max-width: 900px; }
#tip { position: fixed; pointer-events: none; background: #1d2430; color: #fff; padding: 6px 8px; border-radius: 4px;
       font-size: 12px; white-space: pre; max-width: 60em; overflow: hidden; z-index: 10; }
#script-errors { color: var(--warn); border: 1px solid var(--warn); padding: 8px; white-space: pre-wrap; }
label { color: var(--muted); user-select: none; }
</style>
</head>
<body>
<h1>@TITLE@</h1>
<p class="note">Written by tarq-ir report. Everything on this page is inside this one file.</p>
<pre id="script-errors" hidden></pre>
<noscript><p class="note">The charts are drawn by this page's script: allow scripts to see them.</p></noscript>

<h2>Model</h2>
<table class="summary">
@SUMMARY@
</table>

<h2>Operator mix</h2>
<p class="note">Nodes of the main graph per operator type, most frequent first.</p>
<div id="ops"></div>

<h2>Multiply-accumulates per layer</h2>
<p class="note">One bar per layer, in the order the layers run. A layer's count is the sum over its
nodes of the multiply-accumulates the parameter and TFLOPs figures count (Conv, ConvTranspose, Gemm,
MatMul, BatchNormalization, Relu and Add; other operators count 0). Where a pixel holds several
layers it shows the largest of them; hover for details.</p>
<label><input type="checkbox" id="macs-log"> logarithmic scale</label>
<div class="chart"><canvas id="macs"></canvas></div>
<p class="note" id="macs-note"></p>
<h3>Heaviest layers</h3>
<table class="top" id="top"></table>

<h2>Memory live over the layers</h2>
<p class="note">The bytes of activations held after each layer has run, with the layers run one at a
time in this order. Before the first layer the graph inputs are held. Each layer adds the tensors it
writes; then the tensors it may free (those it is the last reader of) are released, and so are the
tensors it writes that no later layer reads, unless they are graph outputs, which stay to the end.
Constants (weights) are not counted. A tensor's bytes are its element count times its element size;
a tensor whose shape is not fully known counts 0. The light band is the memory held while the layer
runs: what was held before it plus what it writes.</p>
<div class="chart"><canvas id="memory"></canvas></div>
<p class="note" id="memory-note"></p>

<div id="tip" hidden></div>
<p class="note" id="render-status">Drawing&hellip;</p>
<script type="application/json" id="report-data">@DATA@</script>
<script>
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var L = data.layers;
  var n = L.label.length;
  var tip = document.getElementById('tip');

  function si(v) {
    if (v === null || v === undefined) return 'n/a';
    var units = ['', ' k', ' M', ' G', ' T', ' P', ' E'];
    var u = 0;
    while (Math.abs(v) >= 1000 && u < units.length - 1) { v /= 1000; u++; }
    if (u === 0) return String(Math.round(v));
    return v.toFixed(v < 10 ? 2 : v < 100 ? 1 : 0) + units[u];
  }
  function bytes(v) {
    var units = ['B', 'KiB', 'MiB', 'GiB', 'TiB', 'PiB'];
    var u = 0;
    while (v >= 1024 && u < units.length - 1) { v /= 1024; u++; }
    return u === 0 ? Math.round(v) + ' B' : v.toFixed(1) + ' ' + units[u];
  }
  function el(tag, text, cls) {
    var e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    if (cls) e.className = cls;
    return e;
  }
  function svg(tag, attrs) {
    var e = document.createElementNS('http://www.w3.org/2000/svg', tag);
    for (var k in attrs) e.setAttribute(k, attrs[k]);
    return e;
  }

  // ---- operator mix: one SVG bar per type; beyond 30 types the rest are one bar.
  function drawOps() {
    var ops = data.ops.slice();
    var total = 0;
    ops.forEach(function (o) { total += o[1]; });
    var shown = 30;
    if (ops.length > shown) {
      var rest = ops.slice(shown - 1), sum = 0;
      rest.forEach(function (o) { sum += o[1]; });
      ops = ops.slice(0, shown - 1);
      ops.push(['(' + rest.length + ' other types)', sum]);
    }
    var box = document.getElementById('ops');
    if (!ops.length) { box.appendChild(el('p', 'The graph has no nodes.', 'note')); return; }
    var max = 0;
    ops.forEach(function (o) { max = Math.max(max, o[1]); });
    var row = 22, labelW = 230, barW = 520, W = labelW + barW + 120, H = ops.length * row + 6;
    var s = svg('svg', { viewBox: '0 0 ' + W + ' ' + H, role: 'img' });
    s.appendChild(svg('title', {})).textContent = 'Nodes per operator type';
    ops.forEach(function (o, i) {
      var y = 3 + i * row;
      var name = o[0].length > 32 ? o[0].slice(0, 31) + '\u2026' : o[0];
      var t = svg('text', { x: labelW - 8, y: y + 15, 'text-anchor': 'end', 'font-size': 13, fill: '#1d2430' });
      t.textContent = name;
      t.appendChild(svg('title', {})).textContent = o[0];
      s.appendChild(t);
      var w = Math.max(1, barW * o[1] / max);
      s.appendChild(svg('rect', { x: labelW, y: y + 3, width: w, height: row - 6, fill: '#3a6fd8', rx: 2 }));
      var c = svg('text', { x: labelW + w + 6, y: y + 15, 'font-size': 12, fill: '#5b6475' });
      c.textContent = o[1] + '  (' + (100 * o[1] / total).toFixed(1) + '%)';
      s.appendChild(c);
    });
    box.appendChild(s);
  }

  // ---- canvas charts: one column per pixel (or per layer when they fit).
  var PAD = { l: 78, r: 14, t: 12, b: 30 };
  function setup(canvas, height) {
    var dpr = window.devicePixelRatio || 1;
    var w = Math.max(320, canvas.parentNode.clientWidth || 800);
    canvas.style.width = w + 'px';
    canvas.style.height = height + 'px';
    canvas.width = Math.round(w * dpr);
    canvas.height = Math.round(height * dpr);
    var ctx = canvas.getContext('2d');
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, w, height);
    return { ctx: ctx, w: w, h: height, pw: w - PAD.l - PAD.r, ph: height - PAD.t - PAD.b };
  }
  function bins(pw) {
    var nb = Math.max(1, Math.min(n, Math.floor(pw)));
    var out = [];
    for (var b = 0; b < nb; b++) out.push([Math.floor(b * n / nb), Math.floor((b + 1) * n / nb) - 1]);
    return out;
  }
  function niceStep(max, parts) {
    var raw = max / parts, p = Math.pow(10, Math.floor(Math.log10(raw)));
    var m = raw / p;
    return (m <= 1 ? 1 : m <= 2 ? 2 : m <= 5 ? 5 : 10) * p;
  }
  // Axes, grid and layer ids; `scale` maps a value to a y offset in [0, ph].
  function axes(c, ticks, label) {
    var ctx = c.ctx;
    ctx.font = '11px "DejaVu Sans", sans-serif';
    ctx.fillStyle = '#5b6475';
    ctx.strokeStyle = '#d8dce3';
    ctx.lineWidth = 1;
    ctx.textAlign = 'right';
    ctx.textBaseline = 'middle';
    ticks.forEach(function (t) {
      var y = PAD.t + c.ph - t[0];
      ctx.beginPath(); ctx.moveTo(PAD.l, y + 0.5); ctx.lineTo(PAD.l + c.pw, y + 0.5); ctx.stroke();
      ctx.fillText(t[1], PAD.l - 6, y);
    });
    ctx.textAlign = 'center';
    ctx.textBaseline = 'top';
    var marks = Math.min(n, 6);
    for (var i = 0; i < marks; i++) {
      var id = marks === 1 ? 0 : Math.round(i * (n - 1) / (marks - 1));
      var half = ctx.measureText(String(id)).width / 2;
      var x = Math.min(PAD.l + (id + 0.5) * c.pw / n, c.w - half - 2);
      ctx.fillText(String(id), x, PAD.t + c.ph + 6);
    }
    ctx.textAlign = 'left';
    ctx.fillText(label, PAD.l, PAD.t + c.ph + 18);
  }
  function noLayers(c) {
    c.ctx.fillStyle = '#5b6475';
    c.ctx.font = '13px sans-serif';
    c.ctx.fillText('The model has no layers.', PAD.l, PAD.t + 20);
  }

  var macBins = [], memBins = [];
  function drawMacs() {
    var canvas = document.getElementById('macs');
    var c = setup(canvas, 260);
    if (!n) { noLayers(c); return; }
    var log = document.getElementById('macs-log').checked;
    var bs = bins(c.pw), max = 0;
    macBins = bs.map(function (b) {
      var best = -1, v = null, unknown = 0;
      for (var k = b[0]; k <= b[1]; k++) {
        var m = L.macs[k];
        if (m === null) { unknown++; continue; }
        if (v === null || m > v) { v = m; best = k; }
      }
      if (v !== null && v > max) max = v;
      return { first: b[0], last: b[1], top: best, value: v, unknown: unknown };
    });
    var scale, ticks = [];
    if (log) {
      var top = Math.max(1, Math.ceil(Math.log10(Math.max(max, 1) + 1)));
      scale = function (v) { return c.ph * Math.log10(v + 1) / top; };
      for (var e = 0; e <= top; e += Math.max(1, Math.ceil(top / 5))) ticks.push([c.ph * e / top, si(Math.pow(10, e))]);
    } else {
      var m = max > 0 ? max : 1, step = niceStep(m, 4), limit = Math.ceil(m / step) * step;
      scale = function (v) { return c.ph * v / limit; };
      for (var t = 0; t <= limit + step / 2; t += step) ticks.push([c.ph * t / limit, si(t)]);
    }
    axes(c, ticks, 'layer id');
    var ctx = c.ctx, bw = c.pw / macBins.length;
    macBins.forEach(function (b, i) {
      var x = PAD.l + i * bw;
      if (b.value !== null && b.value > 0) {
        var h = Math.max(1, scale(b.value));
        ctx.fillStyle = '#3a6fd8';
        ctx.fillRect(x + (bw > 3 ? 0.5 : 0), PAD.t + c.ph - h, Math.max(bw - (bw > 3 ? 1 : 0), 1), h);
      }
      if (b.unknown) {
        ctx.fillStyle = '#b3261e';
        ctx.fillRect(x, PAD.t + c.ph - 3, Math.max(bw, 1), 3);
      }
    });
  }

  function drawMemory() {
    var canvas = document.getElementById('memory');
    var c = setup(canvas, 260);
    if (!n) { noLayers(c); return; }
    var bs = bins(c.pw), max = 0;
    memBins = bs.map(function (b) {
      var live = 0, running = 0, at = b[0];
      for (var k = b[0]; k <= b[1]; k++) {
        if (L.live[k] >= live) { live = L.live[k]; at = k; }
        running = Math.max(running, L.running[k]);
      }
      max = Math.max(max, running, live);
      return { first: b[0], last: b[1], at: at, live: live, running: running };
    });
    // Steps of 1, 2 or 5 in the unit the largest value is shown in.
    var m = max > 0 ? max : 1, unit = 1;
    while (m / unit >= 1024 && unit < Math.pow(1024, 5)) unit *= 1024;
    var step = niceStep(m / unit, 4) * unit, limit = Math.ceil(m / step) * step, ticks = [];
    for (var t = 0; t <= limit + step / 2; t += step) ticks.push([c.ph * t / limit, bytes(t)]);
    axes(c, ticks, 'after layer id');
    var ctx = c.ctx, bw = c.pw / memBins.length;
    var y = function (v) { return PAD.t + c.ph - c.ph * v / limit; };
    ctx.fillStyle = 'rgba(157, 184, 239, 0.6)';
    ctx.beginPath();
    ctx.moveTo(PAD.l, y(0));
    memBins.forEach(function (b, i) { ctx.lineTo(PAD.l + i * bw, y(b.running)); ctx.lineTo(PAD.l + (i + 1) * bw, y(b.running)); });
    ctx.lineTo(PAD.l + c.pw, y(0));
    ctx.closePath();
    ctx.fill();
    ctx.strokeStyle = '#1f4fb0';
    ctx.lineWidth = 2;
    ctx.beginPath();
    memBins.forEach(function (b, i) {
      var x0 = PAD.l + i * bw, x1 = x0 + bw;
      if (i === 0) ctx.moveTo(x0, y(b.live)); else ctx.lineTo(x0, y(b.live));
      ctx.lineTo(x1, y(b.live));
    });
    ctx.stroke();
  }

  function layerText(k) {
    return 'layer ' + k + '  ' + L.ops[k] + '\n' + L.label[k];
  }
  function hover(canvas, list, describe) {
    canvas.addEventListener('mousemove', function (ev) {
      var r = canvas.getBoundingClientRect();
      var x = ev.clientX - r.left - PAD.l, pw = r.width - PAD.l - PAD.r;
      if (x < 0 || x >= pw || !list().length) { tip.hidden = true; return; }
      var b = list()[Math.min(list().length - 1, Math.floor(x * list().length / pw))];
      tip.textContent = describe(b);
      tip.hidden = false;
      tip.style.left = Math.min(ev.clientX + 14, window.innerWidth - tip.offsetWidth - 8) + 'px';
      tip.style.top = (ev.clientY + 14) + 'px';
    });
    canvas.addEventListener('mouseleave', function () { tip.hidden = true; });
  }

  function notes() {
    var total = 0, known = 0;
    L.macs.forEach(function (m) { if (m !== null) { total += m; known++; } });
    var text = 'Total: ' + si(total) + ' multiply-accumulates over ' + known + ' of ' + n + ' layers.';
    if (data.unknown_macs) {
      text += ' ' + data.unknown_macs + ' layers have no count (marked red at the bottom): ' + data.macs_reason;
    }
    document.getElementById('macs-note').textContent = text;
    var peak = 0, at = -1, peakRun = 0, atRun = -1;
    for (var k = 0; k < n; k++) {
      if (L.live[k] > peak) { peak = L.live[k]; at = k; }
      if (L.running[k] > peakRun) { peakRun = L.running[k]; atRun = k; }
    }
    var mem = 'Graph inputs before the first layer: ' + bytes(data.start_bytes) + '.';
    if (n) {
      mem += ' Largest after a layer: ' + bytes(peak) + (at >= 0 ? ' (after layer ' + at + ')' : '') +
        '; largest while a layer runs: ' + bytes(peakRun) + (atRun >= 0 ? ' (layer ' + atRun + ')' : '') +
        '; after the last layer: ' + bytes(L.live[n - 1]) + '.';
    }
    if (data.unknown_sizes) mem += ' ' + data.unknown_sizes + ' tensors have a shape that is not fully known and count 0.';
    document.getElementById('memory-note').textContent = mem;

    var order = [];
    for (var i = 0; i < n; i++) if (L.macs[i] !== null && L.macs[i] > 0) order.push(i);
    order.sort(function (a, b) { return L.macs[b] - L.macs[a] || a - b; });
    var table = document.getElementById('top');
    if (!order.length) { table.appendChild(el('caption', 'No layer has a multiply-accumulate count.', 'note')); return; }
    var head = el('tr');
    [['layer', 'num'], ['operators'], ['nodes'], ['multiply-accumulates', 'num'], ['share', 'num']].forEach(function (h) {
      head.appendChild(el('th', h[0], h[1]));
    });
    table.appendChild(head);
    order.slice(0, 10).forEach(function (k) {
      var tr = el('tr');
      tr.appendChild(el('td', String(k), 'num'));
      tr.appendChild(el('td', L.ops[k]));
      tr.appendChild(el('td', L.label[k]));
      tr.appendChild(el('td', si(L.macs[k]), 'num'));
      tr.appendChild(el('td', (total ? 100 * L.macs[k] / total : 0).toFixed(1) + '%', 'num'));
      table.appendChild(tr);
    });
  }

  function range(b) { return b.first === b.last ? '' : 'layers ' + b.first + '\u2013' + b.last + ', largest: '; }
  drawOps();
  drawMacs();
  drawMemory();
  notes();
  hover(document.getElementById('macs'), function () { return macBins; }, function (b) {
    if (b.top < 0) return range(b) + 'no count';
    return range(b) + layerText(b.top) + '\n' + si(b.value) + ' multiply-accumulates' +
      (b.unknown ? '\n' + b.unknown + ' without a count' : '');
  });
  hover(document.getElementById('memory'), function () { return memBins; }, function (b) {
    return range(b) + layerText(b.at) + '\nheld after it: ' + bytes(L.live[b.at]) +
      '\nheld while it runs: ' + bytes(L.running[b.at]);
  });
  document.getElementById('macs-log').addEventListener('change', drawMacs);
  var pending = null;
  window.addEventListener('resize', function () {
    clearTimeout(pending);
    pending = setTimeout(function () { drawMacs(); drawMemory(); }, 100);
  });
  document.getElementById('render-status').textContent =
    'Drawn: ' + data.ops.length + ' operator types, ' + n + ' layers.';
  if (!window.reportErrors.length) document.documentElement.setAttribute('data-render', 'ok');
})();
</script>
</body>
</html>
)PAGE";

// The template with each @MARK@ replaced, in one pass over the template
// only: text put in is never searched for marks.
std::string fill(const std::string& page,
                 const std::vector<std::pair<std::string, std::string>>& marks) {
  std::string out;
  size_t from = 0;
  while (true) {
    size_t at = std::string::npos;
    const std::pair<std::string, std::string>* found = nullptr;
    for (const auto& m : marks) {
      const size_t p = page.find(m.first, from);
      if (p < at) at = p, found = &m;
    }
    if (!found) break;
    out.append(page, from, at - from);
    out += found->second;
    from = at + found->first.size();
  }
  out.append(page, from, std::string::npos);
  return out;
}

}  // namespace

std::string html_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string script_safe_json(const nlohmann::ordered_json& data) {
  // Invalid UTF-8 in model strings becomes U+FFFD instead of failing.
  const std::string text =
      data.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    // These characters appear in JSON text only inside strings, where the
    // escapes read back as the same characters.
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else {
      out += c;
    }
  }
  return out;
}

std::string report_page(const std::string& title,
                        const std::vector<std::pair<std::string, std::string>>& summary,
                        const nlohmann::ordered_json& data) {
  std::string rows;
  for (const auto& [label, value] : summary) {
    rows += "<tr><th>" + html_escape(label) + "</th><td>" + html_escape(value) + "</td></tr>\n";
  }
  return fill(
      kPage,
      {{"@TITLE@", html_escape(title)}, {"@SUMMARY@", rows}, {"@DATA@", script_safe_json(data)}});
}

}  // namespace tarq::cli
