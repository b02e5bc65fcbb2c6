#include "server/admin/assets.h"

// Chart.js, as the build copied it (VEXA_CHART_JS is its path).
asm(".section .rodata\n"
    ".balign 16\n"
    ".global vexa_chart_js_begin\n"
    ".hidden vexa_chart_js_begin\n"
    "vexa_chart_js_begin:\n"
    ".incbin \"" VEXA_CHART_JS "\"\n"
    ".global vexa_chart_js_end\n"
    ".hidden vexa_chart_js_end\n"
    "vexa_chart_js_end:\n"
    ".previous\n");
extern "C" const char vexa_chart_js_begin[];
extern "C" const char vexa_chart_js_end[];

namespace vexa::server::admin {

namespace {

constexpr std::string_view kStyle = R"css(
:root { --ink: #1f2937; --muted: #6b7280; --line: #e5e7eb; --bg: #f3f4f6; --card: #fff; --accent: #2563eb;
        --danger: #dc2626; --ok: #16a34a; }
* { box-sizing: border-box; }
body { margin: 0; background: var(--bg); color: var(--ink); font: 14px/1.45 "DejaVu Sans", "Noto Sans CJK SC",
       "Droid Sans Fallback", sans-serif; }
header { display: flex; align-items: center; gap: 24px; padding: 0 24px; height: 52px; background: #111827;
         color: #f9fafb; }
header .brand { font-weight: bold; font-size: 16px; letter-spacing: .02em; }
header .brand small { font-weight: normal; color: #9ca3af; margin-left: 8px; }
header nav { display: flex; gap: 4px; flex: 1; }
header nav a { color: #d1d5db; text-decoration: none; padding: 6px 12px; border-radius: 6px; }
header nav a:hover { background: #1f2937; color: #fff; }
header nav a.active { background: var(--accent); color: #fff; }
header form { margin: 0; }
header button { background: transparent; color: #d1d5db; border: 1px solid #374151; }
main { max-width: 1200px; margin: 0 auto; padding: 20px 24px 40px; }
h1 { font-size: 20px; margin: 0 0 16px; }
h2 { font-size: 15px; margin: 0 0 10px; }
.cards { display: grid; grid-template-columns: repeat(6, 1fr); gap: 12px; margin-bottom: 16px; }
.card { background: var(--card); border: 1px solid var(--line); border-radius: 10px; padding: 12px 14px; }
.card .label { color: var(--muted); font-size: 12px; text-transform: uppercase; letter-spacing: .04em; }
.card .value { font-size: 26px; font-weight: bold; margin-top: 2px; }
.card .sub { color: var(--muted); font-size: 12px; }
.panel { background: var(--card); border: 1px solid var(--line); border-radius: 10px; padding: 16px;
         margin-bottom: 16px; }
.chart { position: relative; height: 220px; }
a { color: var(--accent); }
.row { display: grid; grid-template-columns: 1fr 1fr; gap: 16px; }
table { width: 100%; border-collapse: collapse; }
th, td { text-align: left; padding: 7px 10px; border-bottom: 1px solid var(--line); vertical-align: middle; }
th { color: var(--muted); font-weight: normal; font-size: 12px; text-transform: uppercase; letter-spacing: .04em; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
tr:last-child td { border-bottom: none; }
.muted { color: var(--muted); }
.tag { display: inline-block; padding: 1px 8px; border-radius: 999px; font-size: 12px; background: #e0e7ff;
       color: #3730a3; }
.tag.off { background: #fee2e2; color: #991b1b; }
.tag.on { background: #dcfce7; color: #166534; }
form.inline { display: inline; margin: 0; }
form.stack { display: grid; grid-template-columns: 140px 1fr; gap: 8px 12px; align-items: center; max-width: 520px; }
form.stack .actions { grid-column: 2; }
input[type=text], input[type=password], input[type=search] { font: inherit; padding: 6px 9px; border: 1px solid #d1d5db;
       border-radius: 6px; width: 100%; }
button { font: inherit; padding: 6px 14px; border-radius: 6px; border: 1px solid var(--accent); background: var(--accent);
         color: #fff; cursor: pointer; }
button.secondary { background: #fff; color: var(--accent); }
button.danger { background: var(--danger); border-color: var(--danger); }
.search { display: flex; gap: 8px; max-width: 520px; margin-bottom: 12px; }
.flash { background: #ecfdf5; border: 1px solid #a7f3d0; color: #065f46; padding: 10px 14px; border-radius: 8px;
         margin-bottom: 16px; }
.flash.error { background: #fef2f2; border-color: #fecaca; color: #991b1b; }
.log { font: 12px/1.5 "DejaVu Sans Mono", "Droid Sans Fallback", monospace; white-space: pre-wrap; word-break: break-all; }
.log .ERROR { color: var(--danger); font-weight: bold; }
.log .WARN { color: #b45309; }
.log .DEBUG { color: var(--muted); }
.signin { max-width: 360px; margin: 12vh auto 0; background: #fff; border: 1px solid var(--line);
          border-radius: 12px; padding: 28px; }
.signin h1 { margin-bottom: 4px; }
.signin p { color: var(--muted); margin-top: 0; }
.signin input { margin: 6px 0 14px; }
.signin button { width: 100%; padding: 8px; }
dl.facts { display: grid; grid-template-columns: 140px 1fr; gap: 6px 12px; margin: 0; }
dl.facts dt { color: var(--muted); }
dl.facts dd { margin: 0; }
)css";

constexpr std::string_view kScript = R"js(
(function () {
  'use strict';
  var canvas = document.getElementById('rate-chart');
  if (!canvas) return;
  var palette = ['#2563eb', '#db2777', '#16a34a', '#ea580c', '#7c3aed', '#0891b2'];
  var chart = new Chart(canvas, {
    type: 'line',
    data: { datasets: [] },
    options: {
      animation: false, responsive: true, maintainAspectRatio: false, parsing: false,
      interaction: { mode: 'nearest', intersect: false },
      scales: {
        x: { type: 'linear', min: -600, max: 0,
             ticks: { stepSize: 60, callback: function (v) { return v === 0 ? 'now' : (-v / 60) + ' min ago'; } } },
        y: { beginAtZero: true, suggestedMax: 5, title: { display: true, text: 'messages per second' } }
      },
      plugins: { legend: { position: 'bottom' } }
    }
  });
  function text(id, value) {
    var e = document.getElementById(id);
    if (e) e.textContent = value;
  }
  function update(data) {
    chart.data.datasets = data.history.map(function (s, i) {
      var color = palette[i % palette.length];
      return { label: s.node, borderColor: color, backgroundColor: color + '22', borderWidth: 2, pointRadius: 0,
               tension: 0.25, fill: data.history.length === 1,
               data: s.points.map(function (p) { return { x: (p[0] - data.now) / 1000, y: p[1] }; }) };
    });
    chart.update();
    Object.keys(data.cards).forEach(function (k) { text('card-' + k, data.cards[k]); });
    var body = document.getElementById('node-rows');
    if (!body) return;
    while (body.firstChild) body.removeChild(body.firstChild);
    data.nodes.forEach(function (n) {
      var tr = document.createElement('tr');
      [n.node, n.online, n.connections, n.messagesPerSecond, n.loginsPerMinute, n.slowReaders, n.received,
       n.sent, n.seen].forEach(function (v, i) {
        var td = document.createElement('td');
        if (i > 0 && i < 8) td.className = 'num';
        td.textContent = i === 3 || i === 4 ? Number(v).toFixed(1) : v;
        tr.appendChild(td);
      });
      body.appendChild(tr);
    });
  }
  function poll() {
    // Marked as a poll, so an open tab does not keep its session alive.
    var marked = { credentials: 'same-origin', cache: 'no-store', headers: { 'X-Vexa-Poll': '1' } };
    fetch('/api/overview', marked).then(function (r) {
      if (r.status === 401) { location.href = '/login'; return null; }
      return r.ok ? r.json() : null;
    }).then(function (data) { if (data) update(data); }).catch(function () {});
  }
  poll();
  setInterval(poll, 2000);
})();
)js";

}  // namespace

std::optional<Asset> FindAsset(std::string_view path) {
    if (path == "/static/console.css") return Asset{kStyle, "text/css; charset=utf-8"};
    if (path == "/static/console.js") return Asset{kScript, "text/javascript; charset=utf-8"};
    if (path == "/static/chart.js")
        return Asset{std::string_view(vexa_chart_js_begin, static_cast<std::size_t>(vexa_chart_js_end - vexa_chart_js_begin)),
                     "text/javascript; charset=utf-8"};
    return std::nullopt;
}

}  // namespace vexa::server::admin
