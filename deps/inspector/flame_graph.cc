// A flame graph of a call tree as one HTML file: the page and its script
// below, the tree as JSON data inside it. A content security policy lets
// the page load nothing, so it opens the same offline. Uses the call tree
// and the JSON escaping.
#include "flame_graph.h"

#include <string.h>

#include <string>
#include <vector>

#include "json.h"

namespace {

// The page up to the title, between the title and the data, and after it.
const char kHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'">
<title>)";

const char kBody[] = R"(</title>
<style>
body { font: 13px sans-serif; margin: 10px; color: #222; }
h1 { font-size: 15px; margin: 0 0 8px; }
#bar { display: flex; gap: 10px; align-items: center; margin-bottom: 8px; }
#search { width: 22em; }
#graph { position: relative; width: 100%; }
.frame { position: absolute; height: 17px; line-height: 17px; box-sizing: border-box; border: 1px solid #fff;
  padding: 0 3px; overflow: hidden; white-space: nowrap; text-overflow: ellipsis; font-size: 11px; cursor: pointer; }
.frame.ancestor { opacity: 0.5; }
.frame.match { background: #d050e0 !important; }
#info { min-height: 18px; margin-top: 8px; font-family: monospace; white-space: pre; }
</style>
</head>
<body>
<h1 id="title"></h1>
<div id="bar">
<button id="reset" type="button">Reset zoom</button>
<input id="search" type="search" placeholder="Search: text, or /regular expression/">
<span id="matched"></span>
</div>
<div id="graph"></div>
<div id="info">Click a frame to zoom in; Esc zooms out.</div>
<script type="application/json" id="data">)";

const char kScript[] = R"(</script>
<script>
'use strict';
(function () {
  const data = JSON.parse(document.getElementById('data').textContent);
  const { names, wheres, fn, parent, self, unit } = data;
  const n = parent.length;
  // Totals from the leaves up: every node comes after its parent.
  const total = self.slice();
  for (let i = n - 1; i >= 0; i--) if (parent[i] >= 0) total[parent[i]] += total[i];
  const kids = Array.from({ length: n }, () => []);
  const roots = [];
  for (let i = 0; i < n; i++) (parent[i] >= 0 ? kids[parent[i]] : roots).push(i);
  let all = 0;
  for (const r of roots) all += total[r];
  const graph = document.getElementById('graph');
  const info = document.getElementById('info');
  const matched = document.getElementById('matched');
  document.getElementById('title').textContent = data.title;
  const ROW = 18;
  const NARROWEST = 0.05; // percent of the width; narrower frames are left out
  const SPECIAL = new Set(['(root)', '(idle)', '(program)', '(garbage collector)']);
  let zoom = -1;
  let pattern = null;

  const label = (i) => names[fn[i]] + (wheres[fn[i]] ? ' ' + wheres[fn[i]] : '');
  const share = (v) => (all > 0 ? (100 * v / all).toFixed(2) : '0.00') + '%';
  function color(name) {
    if (SPECIAL.has(name)) return 'hsl(0, 0%, 78%)';
    let h = 0;
    for (let k = 0; k < name.length; k++) h = (h * 31 + name.charCodeAt(k)) >>> 0;
    return 'hsl(' + (h % 55) + ', ' + (65 + (h >> 8) % 25) + '%, ' + (58 + (h >> 16) % 12) + '%)';
  }
  function matches(i) { return pattern !== null && pattern.test(label(i)); }

  function put(into, i, x, w, depth, ancestor) {
    const el = document.createElement('div');
    el.className = 'frame' + (ancestor ? ' ancestor' : '') + (matches(i) ? ' match' : '');
    el.style.left = x + '%';
    el.style.width = w + '%';
    el.style.top = depth * ROW + 'px';
    el.style.background = color(names[fn[i]]);
    el.textContent = names[fn[i]];
    el.title = label(i) + '\n' + total[i] + ' ' + unit + ' (' + share(total[i]) + '), self ' + self[i];
    el.dataset.node = i;
    into.appendChild(el);
  }

  function draw() {
    const into = document.createDocumentFragment();
    let start = roots;
    let top = 0;
    if (zoom >= 0) {
      const chain = [];
      for (let a = parent[zoom]; a >= 0; a = parent[a]) chain.push(a);
      chain.reverse().forEach((a, depth) => put(into, a, 0, 100, depth, true));
      start = [zoom];
      top = chain.length;
    }
    const base = zoom >= 0 ? total[zoom] : all;
    let deepest = top;
    const stack = [];
    let x = 0;
    for (const r of start) { stack.push([r, x, top]); x += base > 0 ? 100 * total[r] / base : 0; }
    while (stack.length > 0) {
      const [i, left, depth] = stack.pop();
      const w = base > 0 ? 100 * total[i] / base : 0;
      if (w < NARROWEST) continue;
      put(into, i, left, w, depth, false);
      if (depth > deepest) deepest = depth;
      let cx = left;
      for (const k of kids[i]) { stack.push([k, cx, depth + 1]); cx += 100 * total[k] / base; }
    }
    graph.textContent = '';
    graph.style.height = (deepest + 1) * ROW + 'px';
    graph.appendChild(into);
    showMatched();
  }

  // What the matching frames count, each sample once however many match.
  function showMatched() {
    if (pattern === null) { matched.textContent = ''; return; }
    const inside = new Uint8Array(n);
    let sum = 0;
    for (let i = 0; i < n; i++) {
      const above = parent[i] >= 0 && inside[parent[i]] === 1;
      if (!above && matches(i)) sum += total[i];
      inside[i] = above || matches(i) ? 1 : 0;
    }
    matched.textContent = 'Matched: ' + sum + ' ' + unit + ' (' + share(sum) + ')';
  }

  function search(text) {
    pattern = null;
    if (text === '') return;
    try {
      const regex = text.length > 2 && text.startsWith('/') && text.endsWith('/');
      pattern = new RegExp(regex ? text.slice(1, -1) : text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&'), 'i');
    } catch (err) {
      pattern = null;
    }
  }

  graph.addEventListener('click', (event) => {
    const node = event.target.dataset.node;
    if (node === undefined) return;
    zoom = Number(node) === zoom ? parent[zoom] : Number(node);
    draw();
  });
  graph.addEventListener('mouseover', (event) => { if (event.target.title) info.textContent = event.target.title; });
  document.getElementById('reset').addEventListener('click', () => { zoom = -1; draw(); });
  document.getElementById('search').addEventListener('input', (event) => { search(event.target.value); draw(); });
  document.addEventListener('keydown', (event) => { if (event.key === 'Escape') { zoom = -1; draw(); } });
  draw();
})();
</script>
</body>
</html>
)";

// A JSON string for inside a script element: no '<', so that no text of
// the profile can end the element.
void PutJsonString(const std::string& text, FILE* out) {
  std::vector<char> escaped(text.size() * 6 + 1);
  size_t len = JsonEscape(text.data(), text.size(), escaped.data(), escaped.size());
  fputc('"', out);
  for (size_t i = 0; i < len; i++) {
    if (escaped[i] == '<') {
      fputs("\\u003c", out);
    } else {
      fputc(escaped[i], out);
    }
  }
  fputc('"', out);
}

void PutNumbers(const char* name, const std::vector<long long>& values, FILE* out) {
  fprintf(out, ",\"%s\":[", name);
  for (size_t i = 0; i < values.size(); i++) fprintf(out, i == 0 ? "%lld" : ",%lld", values[i]);
  fputc(']', out);
}

// The tree as the script reads it: per function its name and place, per
// node its function, parent and own count.
void PutData(const CallTree& tree, const char* title, const char* unit, FILE* out) {
  fputs("{\"title\":", out);
  PutJsonString(title, out);
  fputs(",\"unit\":", out);
  PutJsonString(unit, out);
  std::vector<std::string> names, wheres;
  for (size_t i = 0; i < tree.functions.size(); i++) {
    char name[1024], where[2048];
    DescribeFunction(tree, static_cast<uint32_t>(i), name, sizeof(name), where, sizeof(where));
    names.emplace_back(name);
    wheres.emplace_back(where);
  }
  for (const auto* list : {&names, &wheres}) {
    fprintf(out, ",\"%s\":[", list == &names ? "names" : "wheres");
    for (size_t i = 0; i < list->size(); i++) {
      if (i > 0) fputc(',', out);
      PutJsonString((*list)[i], out);
    }
    fputc(']', out);
  }
  std::vector<long long> fn, parent, self;
  for (const CallNode& node : tree.nodes) {
    fn.push_back(node.function);
    parent.push_back(node.parent);
    self.push_back(node.self);
  }
  PutNumbers("fn", fn, out);
  PutNumbers("parent", parent, out);
  PutNumbers("self", self, out);
  fputc('}', out);
}

}  // namespace

bool WriteFlameGraph(const CallTree& tree, const char* title, const char* unit, FILE* out) {
  fputs(kHead, out);
  // The title is the tool's own text; only what HTML reads as markup is
  // replaced.
  for (const char* c = title; *c != '\0'; c++) {
    if (*c == '<') {
      fputs("&lt;", out);
    } else if (*c == '&') {
      fputs("&amp;", out);
    } else {
      fputc(*c, out);
    }
  }
  fputs(kBody, out);
  PutData(tree, title, unit, out);
  fputs(kScript, out);
  return fflush(out) == 0 && ferror(out) == 0;
}
