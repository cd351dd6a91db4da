// The report's fixed style and script. They are the only style and script the
// page runs: its Content-Security-Policy admits exactly these two texts by
// their SHA-256, so markup injected through some unescaped string could
// neither run a script nor load anything.
#pragma once

namespace gainscan::report_assets {

inline constexpr const char* kStyle = R"css(
:root { color: #111; background: #fff; font: 14px/1.45 system-ui, "DejaVu Sans", "Segoe UI", Roboto, Arial, sans-serif; }
body { margin: 0 auto; max-width: 1200px; padding: 12px 20px 48px; }
h1 { font-size: 1.55em; margin: .2em 0 .1em; }
h2 { font-size: 1.25em; border-bottom: 2px solid #111; padding-bottom: .15em; margin: 1.5em 0 .6em; }
h3 { font-size: 1.1em; margin: 0 0 .5em; overflow-wrap: break-word; }
h4 { font-size: 1em; margin: 1em 0 .3em; }
.sub { margin: 0; color: #333; }
code, .mono, pre { font-family: "DejaVu Sans Mono", Menlo, Consolas, monospace; font-size: .92em; }
.columns { display: flex; flex-wrap: wrap; gap: 0 3em; }
.tables { display: flex; flex-wrap: wrap; gap: 0 1.2em; align-items: flex-start; }
table.counts { margin: 0 0 .8em; }
dl.facts { display: grid; grid-template-columns: max-content minmax(0, 1fr); gap: .1em 1em; margin: .4em 0; }
dl.facts dt { font-weight: 600; }
dl.facts dd { margin: 0; overflow-wrap: anywhere; }
table { border-collapse: collapse; }
th, td { border: 1px solid #aaa; padding: .2em .45em; text-align: left; vertical-align: top; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
thead th { background: #e8e8e8; position: sticky; top: 0; }
th button { font: inherit; font-weight: 700; border: 0; padding: 0; background: none; color: inherit; cursor: pointer; text-align: inherit; }
th[aria-sort="ascending"] button::after { content: " \25B2"; }
th[aria-sort="descending"] button::after { content: " \25BC"; }
#files-table { width: 100%; }
#files-table td.name { overflow-wrap: break-word; min-width: 12em; }
tr.flagged td { font-weight: 700; background: #ededed; }
.filters { display: flex; flex-wrap: wrap; gap: .4em 1.4em; align-items: center; margin: .4em 0 .6em; }
.filters label { font-weight: 600; }
#shown { font-weight: 700; }
.notice { border-left: 5px solid #111; background: #f2f2f2; padding: .35em .8em; margin: .6em 0; }
section.evidence { border: 2px solid #111; padding: .6em 1em 1em; margin: 1.2em 0; break-inside: avoid; }
figure { margin: .6em 0; }
figcaption { max-width: 58em; }
svg.plot { display: block; width: 100%; max-width: 900px; height: auto; margin: .4em 0; }
pre.hex, pre.text { background: #f6f6f6; border: 1px solid #ccc; padding: .4em .6em; overflow-x: auto; margin: .3em 0; }
pre.text { white-space: pre-wrap; overflow-wrap: anywhere; }
ol.problems li { margin: .2em 0; }
@media print { thead th { position: static; } .filters select { border: 0; } }
)css";

inline constexpr const char* kScript = R"js(
(function () {
  'use strict';
  var table = document.getElementById('files-table');
  var shown = document.getElementById('shown');
  if (!table || !shown) return;
  var body = table.tBodies[0];
  var rows = Array.prototype.slice.call(body.rows);
  var filters = Array.prototype.slice.call(document.querySelectorAll('select[data-filter]'));
  var heads = Array.prototype.slice.call(table.tHead.rows[0].cells);

  // The first option of every filter is "all".
  function applyFilters() {
    var count = 0;
    rows.forEach(function (row) {
      var keep = filters.every(function (f) {
        return f.selectedIndex <= 0 || row.getAttribute('data-' + f.getAttribute('data-filter')) === f.value;
      });
      row.hidden = !keep;
      if (keep) count += 1;
    });
    shown.textContent = count + ' of ' + rows.length + ' files shown';
  }

  // Absent values go last in either direction; ties keep the report's order.
  function sortBy(column, descending) {
    var numeric = heads[column].getAttribute('data-type') === 'number';
    var keyed = rows.map(function (row) {
      var v = row.cells[column].getAttribute('data-v');
      if (v === null || v === '') v = null;
      else if (numeric) v = parseFloat(v);
      return { row: row, rank: Number(row.getAttribute('data-rank')), v: v };
    });
    keyed.sort(function (a, b) {
      if (a.v === null || b.v === null) {
        if (a.v !== b.v) return a.v === null ? 1 : -1;
      } else if (a.v < b.v) {
        return descending ? 1 : -1;
      } else if (a.v > b.v) {
        return descending ? -1 : 1;
      }
      return a.rank - b.rank;
    });
    keyed.forEach(function (k) { body.appendChild(k.row); });
    heads.forEach(function (h, i) {
      h.setAttribute('aria-sort', i === column ? (descending ? 'descending' : 'ascending') : 'none');
    });
  }

  filters.forEach(function (f) { f.addEventListener('change', applyFilters); });
  heads.forEach(function (head, column) {
    var button = head.querySelector('button');
    if (!button) return;
    button.addEventListener('click', function () {
      sortBy(column, head.getAttribute('aria-sort') === 'ascending');
    });
  });
  document.documentElement.setAttribute('data-script', 'ready');
  applyFilters();
})();
)js";

}  // namespace gainscan::report_assets
