#include "monitor/log_html.h"

namespace monitor {

const char* HtmlLogStyle() {
  return R"CSS(body{font-family:sans-serif;font-size:13px;margin:16px}
h1{font-size:18px}h2{font-size:15px;margin-top:24px}
table{border-collapse:collapse;width:100%}
th,td{border:1px solid #bbb;padding:2px 6px;vertical-align:top;text-align:left}
th{background:#e8e8e8;position:sticky;top:0}
#bar~table th{top:38px}
td.args,td.dec{font-family:monospace;white-space:pre-wrap;overflow-wrap:anywhere}
td.num{text-align:right;font-family:monospace}td.time{white-space:nowrap;font-family:monospace}
td.since{color:#555}
tr.failed td{background:#fdd}tr.failed td.result{color:#a00;font-weight:bold}
tr.neg td{background:#fce4cc}tr.neg td.dec{color:#a40;font-weight:bold}
tr.pend td{background:#e3eeff}tr.pend td.dec{color:#235}
tr.note td{background:#ffd;font-style:italic}
#bar{position:sticky;top:0;z-index:2;background:#f4f4f4;border:1px solid #bbb;padding:6px;display:flex;flex-wrap:wrap;gap:6px;align-items:center}
#bar input[type=search]{width:22em}#bar select{max-width:24em}td.args{min-width:20em}td.dec{min-width:20em}
#count{font-weight:bold;margin-left:8px}#pager[hidden]{display:none}
.k{padding:1px 6px;border:1px solid #bbb}.k.failed{background:#fdd}.k.neg{background:#fce4cc}.k.pend{background:#e3eeff}.k.note{background:#ffd}
details.summary{margin:6px 0;background:#fafafa;border:1px solid #ddd;padding:4px 8px}
details.summary dl{margin:4px 0;display:grid;grid-template-columns:max-content auto;gap:2px 12px}
details.summary dt{font-weight:bold}details.summary dd{margin:0}
html.loading body>table{display:none}html.loading body::after{content:"Opening the log...";font-style:italic}
)CSS";
}

const char* HtmlLogScript() {
  return R"JS((function () {
  'use strict';
  function norm(s) { return s.toLowerCase().replace(/\s+/g, ' ').trim(); }
  function make(tag, text, cls) {
    var e = document.createElement(tag);
    if (text) e.textContent = text;
    if (cls) e.className = cls;
    return e;
  }
  function select(id, all, values) {
    var s = make('select');
    s.id = id;
    var o = make('option', all);
    o.value = '';
    s.appendChild(o);
    values.forEach(function (v) {
      var option = make('option', v[1]);
      option.value = v[0];
      s.appendChild(option);
    });
    return s;
  }
  function counted(map) {
    var keys = Object.keys(map).sort();
    if (!keys.length) return 'none';
    return keys.map(function (k) { return k + ': ' + map[k]; }).join(', ');
  }
  function init() {
    var tables = document.querySelectorAll('body > table');
    var state = window.varrowLog = { ready: false, total: 0, shown: 0, loadMs: 0, filterMs: 0 };
    var rows = [], sessions = [], fns = {}, links = {}, ecus = {};
    for (var si = 0; si < tables.length; si++) {
      var table = tables[si], h2 = table.previousElementSibling;
      var s = { table: table, head: h2 && h2.tagName === 'H2' ? h2 : null, calls: {}, failures: {}, nrcs: {},
                first: '', last: '', count: 0 };
      s.name = s.head ? s.head.textContent.replace(/^Session /, '') : 'Session ' + (si + 1);
      sessions.push(s);
      // A copy: the live list of rows would be searched anew after every cell added.
      var trs = Array.prototype.slice.call(table.rows), prev = null;
      for (var i = 0; i < trs.length; i++) {
        var tr = trs[i], c = tr.cells;
        if (!c.length) continue;
        if (c[0].tagName === 'TH') {
          if (c.length > 2) tr.insertBefore(make('th', 'Since previous (us)'), c[2]);
          if (!s.headRow) s.headRow = tr;
          continue;
        }
        if (c.length < 9) continue;
        var r = { tr: tr, s: si, fn: c[4].textContent, phase: c[5].textContent, result: c[7].textContent,
                  failed: tr.classList.contains('failed'), link: tr.getAttribute('data-link') || '',
                  ecus: (tr.getAttribute('data-ecu') || '').split(';'), nrc: tr.getAttribute('data-nrc') || '',
                  text: null };
        var decoded = c.length > 9 ? c[9].textContent : '';
        var elapsed = parseInt(c[1].textContent, 10);
        var since = make('td', prev !== null && !isNaN(elapsed) ? String(elapsed - prev) : '', 'num since');
        if (!isNaN(elapsed)) prev = elapsed;
        tr.insertBefore(since, c[2]);
        rows.push(r);
        s.count++;
        if (!s.first) s.first = c[0].textContent;
        s.last = c[0].textContent;
        if (r.phase !== 'entry' && r.phase !== 'note') s.calls[r.fn] = (s.calls[r.fn] || 0) + 1;
        if (r.failed) s.failures[r.result] = (s.failures[r.result] || 0) + 1;
        if (r.nrc) {
          r.nrc.split(' ').forEach(function (code) {
            var name = code === '78' ? 'response pending' : '';
            var m = code === '78' ? null : decoded.match(new RegExp(': ([^:\\n]*) \\(NRC ' + code + '\\)'));
            if (m) name = m[1];
            var key = code + (name ? ' ' + name : '');
            s.nrcs[key] = (s.nrcs[key] || 0) + 1;
          });
        }
        fns[r.fn] = 1;
        if (r.link) links[r.link] = 1;
        r.ecus.forEach(function (e) { if (e) ecus[e] = 1; });
      }
    }
    sessions.forEach(function (s) {
      var d = make('details', null, 'summary');
      d.open = true;
      d.appendChild(make('summary', 'Summary: ' + s.count + ' entries, first ' + (s.first || '-') +
                                    ', last ' + (s.last || '-')));
      var dl = make('dl');
      [['Calls per function', counted(s.calls)], ['Failures by return code', counted(s.failures)],
       ['NRCs seen', counted(s.nrcs)]].forEach(function (p) {
        dl.appendChild(make('dt', p[0]));
        dl.appendChild(make('dd', p[1]));
      });
      d.appendChild(dl);
      s.table.parentNode.insertBefore(d, s.table);
      s.summary = d;
    });
    function pairs(map) { return Object.keys(map).sort().map(function (k) { return [k, k]; }); }
    var bar = make('div');
    bar.id = 'bar';
    var q = make('input');
    q.type = 'search';
    q.id = 'q';
    q.placeholder = 'Search text or hex bytes (7F 22 31)';
    var fn = select('fn', 'All functions', pairs(fns));
    var failedBox = make('input');
    failedBox.type = 'checkbox';
    failedBox.id = 'failed';
    var failedLabel = make('label');
    failedLabel.appendChild(failedBox);
    failedLabel.appendChild(document.createTextNode(' Failed calls only'));
    var link = select('link', 'All channels / links', pairs(links));
    var ecu = select('ecu', 'All ECUs', pairs(ecus));
    var session = select('session', 'All sessions', sessions.map(function (s, i) { return [String(i), s.name]; }));
    var count = make('span');
    count.id = 'count';
    // At most PAGE rows are on the page at once: a browser lays out a table of
    // 100,000 rows in minutes, a page of them at once.
    var PAGE = 1000, page = 0, matches = [];
    var pager = make('span');
    pager.id = 'pager';
    var previous = make('button', 'Previous');
    var next = make('button', 'Next');
    var pageText = make('span');
    pageText.id = 'page';
    [previous, pageText, next].forEach(function (e) { pager.appendChild(e); });
    var legend = make('span');
    [['failed', 'failed call'], ['neg', 'negative response'], ['pend', 'response pending'],
     ['note', 'dropped entries']].forEach(function (k) { legend.appendChild(make('span', k[1], 'k ' + k[0])); });
    [q, fn, failedLabel, link, ecu, session, count, pager, legend].forEach(function (e) { bar.appendChild(e); });
    var h1 = document.querySelector('h1');
    document.body.insertBefore(bar, h1 ? h1.nextSibling : document.body.firstChild);

    // Only the page's rows stay in the document: the others wait outside it,
    // which spares the browser even their style.
    function show() {
      var from = page * PAGE, to = Math.min(matches.length, from + PAGE);
      sessions.forEach(function (s) { s.list = s.headRow ? [s.headRow] : []; });
      for (var j = from; j < to; j++) {
        var r = rows[matches[j]];
        sessions[r.s].list.push(r.tr);
      }
      sessions.forEach(function (s) {
        var body = s.table.tBodies[0] || s.table;
        body.replaceChildren.apply(body, s.list);
      });
      pager.hidden = matches.length <= PAGE;
      pageText.textContent = ' rows ' + (to > from ? from + 1 : 0) + '-' + to + ' of ' + matches.length + ' ';
      previous.disabled = page === 0;
      next.disabled = to >= matches.length;
    }
    function apply() {
      var t = performance.now();
      var text = norm(q.value), compact = text.replace(/ /g, ''), alt = '';
      if (/^([0-9a-f]{2}){2,}$/.test(compact)) alt = compact.match(/../g).join(' ');
      var f = fn.value, onlyFailed = failedBox.checked, l = link.value, e = ecu.value;
      var ses = session.value === '' ? -1 : parseInt(session.value, 10);
      matches = [];
      for (var i = 0; i < rows.length; i++) {
        var r = rows[i];
        var ok = (ses < 0 || r.s === ses) && (!f || r.fn === f) && (!onlyFailed || r.failed) &&
                 (!l || r.link === l) && (!e || r.ecus.indexOf(e) >= 0);
        if (ok && text) {
          if (r.text === null) r.text = norm(r.tr.textContent);
          ok = r.text.indexOf(text) >= 0 || (alt !== '' && r.text.indexOf(alt) >= 0);
        }
        if (ok) matches.push(i);
      }
      page = 0;
      show();
      sessions.forEach(function (s, i) {
        var hide = ses >= 0 && ses !== i;
        s.table.hidden = hide;
        s.summary.hidden = hide;
        if (s.head) s.head.hidden = hide;
      });
      count.textContent = matches.length + ' of ' + rows.length + ' entries shown';
      state.shown = matches.length;
      state.filterMs = performance.now() - t;
    }
    previous.addEventListener('click', function () { if (page > 0) { page--; show(); } });
    next.addEventListener('click', function () { if ((page + 1) * PAGE < matches.length) { page++; show(); } });
    q.addEventListener('input', apply);
    [fn, failedBox, link, ecu, session].forEach(function (e) { e.addEventListener('change', apply); });
    apply();
    state.total = rows.length;
    state.loadMs = performance.now();
    state.ready = true;
    document.body.setAttribute('data-ready', '1');
  }
  // The tables are laid out once, when the page has read the whole file, rather
  // than again and again while it reads (which costs minutes on a large log).
  var root = document.documentElement;
  function start() {
    try {
      init();
    } finally {
      root.classList.remove('loading');
    }
  }
  if (document.readyState === 'loading') {
    root.classList.add('loading');
    document.addEventListener('DOMContentLoaded', start);
  } else {
    start();
  }
})();
)JS";
}

}  // namespace monitor
