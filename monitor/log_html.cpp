#include "monitor/log_html.h"

namespace monitor {

const char* HtmlLogStyle() {
  // A row's cells carry no classes but the decoded one: they are found by
  // position, from the end (arguments, result, duration, decoded) or from the
  // start (time, then the numbers: elapsed, process, thread, and the time
  // since the previous entry that the script adds after the elapsed time).
  return R"CSS(body{font-family:sans-serif;font-size:13px;margin:16px}
h1{font-size:18px}h2{font-size:15px;margin-top:24px}
table{border-collapse:collapse;width:100%}
th,td{border:1px solid #bbb;padding:2px 6px;vertical-align:top;text-align:left}
th{background:#e8e8e8;position:sticky;top:0}
#bar~table th{top:38px}
td:nth-last-child(4),td.dec{font-family:monospace;white-space:pre-wrap;overflow-wrap:anywhere;min-width:20em}
td:nth-last-child(n+7),td:nth-last-child(2){text-align:right;font-family:monospace}
td:first-child{text-align:left;white-space:nowrap;font-family:monospace}
td.since{color:#555}
tr.failed td{background:#fdd}tr.failed td:nth-last-child(3){color:#a00;font-weight:bold}
tr.neg td{background:#fce4cc}tr.neg td.dec{color:#a40;font-weight:bold}
tr.pend td{background:#e3eeff}tr.pend td.dec{color:#235}
tr.note td{background:#ffd;font-style:italic}
#bar{position:sticky;top:0;z-index:2;background:#f4f4f4;border:1px solid #bbb;padding:6px;display:flex;flex-wrap:wrap;gap:6px;align-items:center}
#bar input[type=search]{width:22em}#bar select{max-width:24em}
#count{font-weight:bold;margin-left:8px}#pager[hidden]{display:none}
.k{padding:1px 6px;border:1px solid #bbb}.k.failed{background:#fdd}.k.neg{background:#fce4cc}.k.pend{background:#e3eeff}.k.note{background:#ffd}
details.summary{margin:6px 0;background:#fafafa;border:1px solid #ddd;padding:4px 8px}
details.summary dl{margin:4px 0;display:grid;grid-template-columns:max-content auto;gap:2px 12px}
details.summary dt{font-weight:bold}details.summary dd{margin:0}
html.loading body>table{display:none}html.loading body::after{content:"Opening the log...";font-style:italic}
)CSS";
}

const char* HtmlLogScript() {
  // The browser is spared building a table of every entry: while the page
  // opens, the script has the rest of the file read as one text (a comment
  // opened at this point), finds the rows in it by their tags and builds only
  // the shown page of them, from their own markup. A browser without script
  // reads the tables as they stand.
  return R"JS((function () {
  'use strict';
  function norm(s) { return s.toLowerCase().replace(/\s+/g, ' ').trim(); }
  var ENTITIES = { amp: '&', lt: '<', gt: '>', quot: '"', apos: "'", nbsp: '\u00a0' };
  function entity(all, name) {
    if (name.charAt(0) === '#') {
      var hex = name.charAt(1) === 'x' || name.charAt(1) === 'X';
      var code = hex ? parseInt(name.slice(2), 16) : parseInt(name.slice(1), 10);
      return code > 0 && code <= 0x10ffff ? String.fromCodePoint(code) : all;
    }
    name = name.toLowerCase();
    return Object.prototype.hasOwnProperty.call(ENTITIES, name) ? ENTITIES[name] : all;
  }
  // The text of a piece of the log's markup: tags dropped (a blank between
  // cells), character references read.
  function plain(m) {
    if (m.indexOf('<') >= 0) m = m.replace(/<\/t[dh]>/g, ' ').replace(/<[^>]*>?/g, '');
    if (m.indexOf('&') >= 0) m = m.replace(/&(#x[0-9a-f]+|#[0-9]+|[a-z]+);/gi, entity);
    return m;
  }
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
  // An attribute of a row's start tag (as the writer writes it: name="value").
  function attribute(tag, name) {
    var at = tag.indexOf(name);
    if (at < 0) return '';
    at += name.length;
    var end = tag.indexOf('"', at);
    return plain(tag.slice(at, end < 0 ? tag.length : end));
  }
  function blank(c) { return c === 32 || c === 10 || c === 13 || c === 9; }
  // The cells of the row T[from, to) with tags '<' + name, one after the
  // other: where each begins, where its content begins and ends. Only closed
  // cells count (a row cut short keeps the cells before the cut). Returns
  // their count.
  var MAX_CELLS = 32, begin = [], open = [], close = [];
  function cells(T, from, to, name) {
    var n = 0, start = '<' + name, end = '<\/' + name + '>';
    while (n < MAX_CELLS) {
      while (from < to && blank(T.charCodeAt(from))) from++;
      if (from >= to || !T.startsWith(start, from)) break;
      var o = T.charCodeAt(from + 3) === 62 ? from + 3 : T.indexOf('>', from + 3);
      if (o < 0 || o >= to) break;
      var c = T.indexOf(end, o);
      if (c < 0 || c + end.length > to) break;
      begin[n] = from;
      open[n] = o + 1;
      close[n] = c;
      n++;
      from = c + end.length;
    }
    return n;
  }
  var NONE = [], FAILED = /(^|\s)failed(\s|$)/;
  // The sessions and rows of the log's markup T (as the writer wrote it, or as
  // the browser gives its tables back): each session an <h2> and the table
  // after it. A row keeps where it is in T; its time since the previous
  // entry and its text are read when needed.
  function read(T) {
    var sessions = [], rows = [], fns = {}, links = {}, ecus = {}, title = '';
    var h2 = T.indexOf('<h2>'), h1 = T.indexOf('<h1>');
    if (h1 >= 0 && (h2 < 0 || h1 < h2)) {
      var h1End = T.indexOf('<\/h1>', h1), stop = h2 < 0 ? T.length : h2;
      title = plain(T.slice(h1 + 4, h1End < 0 || h1End > stop ? stop : h1End));
    }
    while (h2 >= 0) {
      var next = T.indexOf('<h2>', h2 + 4), end = next < 0 ? T.length : next;
      var headEnd = T.indexOf('<\/h2>', h2);
      if (headEnd < 0 || headEnd > end) headEnd = end;
      var s = { index: sessions.length, head: plain(T.slice(h2 + 4, headEnd)), headRow: '', calls: {}, failures: {},
                nrcs: {}, first: '', last: '', count: 0 };
      s.name = s.head.replace(/^Session /, '');
      sessions.push(s);
      var lastOpen = 0, lastClose = 0, at = T.indexOf('<tr', headEnd);
      while (at >= 0 && at < end) {
        var rowAt = at, gt = T.indexOf('>', at);
        if (gt < 0 || gt >= end) break;
        var th = T.startsWith('<th', gt + 1), n = cells(T, gt + 1, end, th ? 'th' : 'td');
        var stop = n ? close[n - 1] + 5 : gt + 1;
        if (T.startsWith('<\/tr>', stop)) {
          // As the writer writes rows: the next one follows.
          at = stop + 5;
          while (at < end && blank(T.charCodeAt(at))) at++;
          if (!T.startsWith('<tr', at)) at = T.indexOf('<tr', at);
        } else {
          // A row cut short (the file ends in it, or another writer's session
          // follows): only its cells before the next row count.
          at = T.indexOf('<tr', gt);
          if (at >= 0 && at < end) n = cells(T, gt + 1, at, th ? 'th' : 'td');
        }
        if (th) {
          if (!s.headRow && n > 0) {
            s.headRow = n > 2 ? T.slice(rowAt, begin[2]) + '<th>Since previous (us)<\/th>' + T.slice(begin[2], close[n - 1] + 5) + '<\/tr>'
                              : T.slice(rowAt, close[n - 1] + 5) + '<\/tr>';
          }
          continue;
        }
        if (n < 9) continue;
        var tag = gt - rowAt > 3 ? T.slice(rowAt, gt) : '';
        var cls = tag ? attribute(tag, ' class="') : '', ecu = tag ? attribute(tag, ' data-ecu="') : '';
        var fn = plain(T.slice(open[4], close[4])), phase = T.slice(open[5], close[5]);
        var r = { s: s.index, a: rowAt, c: begin[2], e: close[n - 1] + 5, fn: fn,
                  failed: cls !== '' && FAILED.test(cls), link: tag ? attribute(tag, ' data-link="') : '',
                  ecus: ecu ? ecu.split(';') : NONE, text: null };
        rows.push(r);
        if (!s.count++) s.first = plain(T.slice(open[0], close[0]));
        lastOpen = open[0];
        lastClose = close[0];
        if (phase !== 'entry' && phase !== 'note') s.calls[fn] = (s.calls[fn] || 0) + 1;
        if (r.failed) {
          var result = plain(T.slice(open[7], close[7]));
          s.failures[result] = (s.failures[result] || 0) + 1;
        }
        var nrc = tag ? attribute(tag, ' data-nrc="') : '';
        if (nrc) {
          var decoded = n > 9 ? plain(T.slice(open[9], close[9])) : '';
          nrc.split(' ').forEach(function (code) {
            var name = code === '78' ? 'response pending' : '';
            var m = code === '78' ? null : decoded.match(new RegExp(': ([^:\\n]*) \\(NRC ' + code + '\\)'));
            if (m) name = m[1];
            var key = code + (name ? ' ' + name : '');
            s.nrcs[key] = (s.nrcs[key] || 0) + 1;
          });
        }
        fns[fn] = 1;
        if (r.link) links[r.link] = 1;
        for (var k = 0; k < r.ecus.length; k++) if (r.ecus[k]) ecus[r.ecus[k]] = 1;
      }
      if (s.count) s.last = plain(T.slice(lastOpen, lastClose));
      h2 = next;
    }
    return { title: title, sessions: sessions, rows: rows, fns: fns, links: links, ecus: ecus };
  }
  // The elapsed time of a row (its second cell, just before its third).
  function elapsed(T, r) {
    var end = r.c - 5;
    return parseInt(T.slice(T.lastIndexOf('>', end - 1) + 1, end), 10);
  }
)JS"
  R"JS(
  // readMs: when the browser had read the file.
  function init(T, readMs) {
    var state = window.varrowLog = { ready: false, total: 0, shown: 0, readMs: readMs, loadMs: 0, filterMs: 0 };
    var log = read(T);
    performance.mark('log-read');
    var rows = log.rows, sessions = log.sessions, body = document.body;
    var all = document.createDocumentFragment();
    all.appendChild(make('h1', log.title || document.title));
    sessions.forEach(function (s) {
      s.h2 = make('h2', s.head);
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
      s.summary = d;
      s.table = make('table');
      s.body = s.table.appendChild(make('tbody'));
      [s.h2, d, s.table].forEach(function (e) { all.appendChild(e); });
    });
    function pairs(map) { return Object.keys(map).sort().map(function (k) { return [k, k]; }); }
    var bar = make('div');
    bar.id = 'bar';
    var q = make('input');
    q.type = 'search';
    q.id = 'q';
    q.placeholder = 'Search text or hex bytes (7F 22 31)';
    var fn = select('fn', 'All functions', pairs(log.fns));
    var failedBox = make('input');
    failedBox.type = 'checkbox';
    failedBox.id = 'failed';
    var failedLabel = make('label');
    failedLabel.appendChild(failedBox);
    failedLabel.appendChild(document.createTextNode(' Failed calls only'));
    var link = select('link', 'All channels / links', pairs(log.links));
    var ecu = select('ecu', 'All ECUs', pairs(log.ecus));
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
    all.insertBefore(bar, all.firstChild.nextSibling);

    // The time since the entry before in the same session (one with a time).
    function since(i) {
      var r = rows[i], t = elapsed(T, r);
      if (isNaN(t)) return '';
      for (var j = i - 1; j >= 0 && j >= i - 100 && rows[j].s === r.s; j--) {
        var before = elapsed(T, rows[j]);
        if (!isNaN(before)) return String(t - before);
      }
      return '';
    }
    // The page's rows, from the log's own markup with the time since the
    // previous entry added; set at once per table.
    function show() {
      var from = page * PAGE, to = Math.min(matches.length, from + PAGE);
      var parts = sessions.map(function (s) { return [s.headRow]; });
      for (var j = from; j < to; j++) {
        var r = rows[matches[j]];
        parts[r.s].push(T.slice(r.a, r.c) + '<td class="since">' + since(matches[j]) + '<\/td>' +
                        T.slice(r.c, r.e) + '<\/tr>');
      }
      sessions.forEach(function (s, i) { s.body.innerHTML = parts[i].join('\n'); });
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
          if (r.text === null) r.text = norm(plain(T.slice(r.a, r.e)));
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
        s.h2.hidden = hide;
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
    body.appendChild(all);
    state.total = rows.length;
    state.loadMs = performance.now();
    state.ready = true;
    body.setAttribute('data-ready', '1');
  }
  var root = document.documentElement, written = false;
  function start() {
    var readMs = performance.now();
    try {
      // The rest of the file as the text of one comment, or (where the
      // browser did not take the comment) the tables it read, given back as
      // markup.
      var body = document.body, T = null;
      for (var node = written ? body.firstChild : null; node; node = node.nextSibling) {
        if (node.nodeType === Node.COMMENT_NODE) {
          T = node.data;
          break;
        }
      }
      if (T === null) T = body.innerHTML;
      body.replaceChildren();
      performance.mark('log-text');
      init(T, readMs);
    } finally {
      root.classList.remove('loading');
    }
  }
  if (document.readyState === 'loading') {
    root.classList.add('loading');
    // The rest of the file becomes one comment: the writer escapes every ">"
    // in a text, so nothing in the log ends it. A browser reads a comment
    // several times faster than it builds the elements of a table. (Written
    // in two pieces: the script holds no comment opening of its own.)
    document.write('<body><!' + '--');
    written = true;
    document.addEventListener('DOMContentLoaded', start);
  } else {
    start();
  }
})();
)JS";
}

}  // namespace monitor
