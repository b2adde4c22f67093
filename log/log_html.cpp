#include "log/log_html.h"

namespace monitor {

const char* HtmlLogStyle() {
  // A row's cells carry no classes but the decoded one: they are found by
  // position, from the end (arguments, result, duration, decoded) or from the
  // start (time, then the numbers: elapsed, process, thread, and the time
  // since the previous entry that the script adds after the elapsed time).
  // Borders are separate, each cell drawing its right and bottom one: the
  // same lines as collapsed borders, painted in half the time.
  return R"CSS(body{font-family:sans-serif;font-size:13px;margin:16px}
h1{font-size:18px}h2{font-size:15px;margin-top:24px}
table{border-collapse:separate;border-spacing:0;width:100%;border-left:1px solid #bbb;border-top:1px solid #bbb}
th,td{border-right:1px solid #bbb;border-bottom:1px solid #bbb;padding:2px 6px;vertical-align:top;text-align:left}
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
  // What reads the log's markup.
  function reader() {
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
    // Distinct texts, each known by its place in the list.
    function indexer() {
      var list = [], at = Object.create(null);
      return { list: list, of: function (text) {
        var i = at[text];
        if (i === undefined) {
          i = at[text] = list.length;
          list.push(text);
        }
        return i;
      } };
    }
    // A row's start (made up: the page's head holds no row of its own).
    var FAILED = /(^|\s)failed(\s|$)/, ROW = '<' + 'tr';
    // The sessions and (up to limit) rows of the log's markup T, as the writer
    // wrote it or as the browser gives its tables back: each session an <h2>
    // and the table after it. A row is kept as where it is in T (its start,
    // its third cell, its end), its session, function, link, ECUs and whether
    // it failed, in one array each; its time since the previous entry and its
    // text are read when needed.
    function read(T, limit) {
      var sessions = [], title = '', S = [], A = [], C = [], E = [], F = [], L = [], K = [], X = [];
      var fns = indexer(), links = indexer(), ecus = indexer();
      links.of('');
      ecus.of('');
      var h2 = T.indexOf('<h2>'), h1 = T.indexOf('<h1>');
      if (h1 >= 0 && (h2 < 0 || h1 < h2)) {
        var h1End = T.indexOf('<\/h1>', h1), stop = h2 < 0 ? T.length : h2;
        title = plain(T.slice(h1 + 4, h1End < 0 || h1End > stop ? stop : h1End));
      }
      while (h2 >= 0 && S.length < limit) {
        var next = T.indexOf('<h2>', h2 + 4), end = next < 0 ? T.length : next;
        var headEnd = T.indexOf('<\/h2>', h2);
        if (headEnd < 0 || headEnd > end) headEnd = end;
        var s = { index: sessions.length, head: plain(T.slice(h2 + 4, headEnd)), headRow: '', calls: {}, failures: {},
                  nrcs: {}, first: '', last: '', count: 0 };
        s.name = s.head.replace(/^Session /, '');
        sessions.push(s);
        var lastOpen = 0, lastClose = 0, at = T.indexOf(ROW, headEnd);
        while (at >= 0 && at < end && S.length < limit) {
          var rowAt = at, gt = T.indexOf('>', at);
          if (gt < 0 || gt >= end) break;
          var th = T.startsWith('<th', gt + 1), n = cells(T, gt + 1, end, th ? 'th' : 'td');
          var after = n ? close[n - 1] + 5 : gt + 1;
          if (T.startsWith('<\/tr>', after)) {
            // As the writer writes rows: the next one follows.
            at = after + 5;
            while (at < end && blank(T.charCodeAt(at))) at++;
            if (!T.startsWith(ROW, at)) at = T.indexOf(ROW, at);
          } else {
            // A row cut short (the file ends in it, or another writer's session
            // follows): only its cells before the next row count.
            at = T.indexOf(ROW, gt);
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
          var cls = tag ? attribute(tag, ' class="') : '', failed = cls !== '' && FAILED.test(cls);
          var fn = plain(T.slice(open[4], close[4])), phase = T.slice(open[5], close[5]);
          S.push(s.index);
          A.push(rowAt);
          C.push(begin[2]);
          E.push(close[n - 1] + 5);
          F.push(fns.of(fn));
          L.push(links.of(tag ? attribute(tag, ' data-link="') : ''));
          K.push(ecus.of(tag ? attribute(tag, ' data-ecu="') : ''));
          X.push(failed ? 1 : 0);
          if (!s.count++) s.first = plain(T.slice(open[0], close[0]));
          lastOpen = open[0];
          lastClose = close[0];
          if (phase !== 'entry' && phase !== 'note') s.calls[fn] = (s.calls[fn] || 0) + 1;
          if (failed) {
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
        }
        if (s.count) s.last = plain(T.slice(lastOpen, lastClose));
        h2 = next;
      }
      return { title: title, sessions: sessions, count: S.length, s: Int32Array.from(S), a: Int32Array.from(A),
               c: Int32Array.from(C), e: Int32Array.from(E), fn: Int32Array.from(F), link: Int32Array.from(L),
               ecu: Int32Array.from(K), failed: Uint8Array.from(X), fns: fns.list, links: links.list, ecus: ecus.list };
    }
    return { read: read, plain: plain };
  }
)JS"
         R"JS(  var R = reader(), plain = R.plain;
  function norm(s) { return s.toLowerCase().replace(/\s+/g, ' ').trim(); }
  function make(tag, text, cls) {
    var e = document.createElement(tag);
    if (text) e.textContent = text;
    if (cls) e.className = cls;
    return e;
  }
  function options(s, values) {
    values.forEach(function (v) {
      var option = make('option', v[1]);
      option.value = v[0];
      s.appendChild(option);
    });
  }
  function select(id, all) {
    var s = make('select');
    s.id = id;
    options(s, [['', all]]);
    return s;
  }
  function counted(map) {
    var keys = Object.keys(map).sort();
    if (!keys.length) return 'none';
    return keys.map(function (k) { return k + ': ' + map[k]; }).join(', ');
  }
  function summary(s) {
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
    return d;
  }
  // The page of the log T, read by the browser at readMs. The first page of
  // rows is shown at once; then the rest is read, and the summaries, the
  // filters and the count are added.
  function init(T, readMs) {
    var state = window.varrowLog = { ready: false, total: 0, shown: 0, readMs: readMs, loadMs: 0, filterMs: 0 };
    // At most PAGE rows are on the page at once: a browser lays out a table of
    // 100,000 rows in minutes, a page of them at once.
    var PAGE = 1000, page = 0, matches = [], texts = [], finished = false;
    var log = R.read(T, PAGE), body = document.body, views = [];
    var all = document.createDocumentFragment();
    all.appendChild(make('h1', log.title || document.title));
    var bar = make('div');
    bar.id = 'bar';
    var q = make('input');
    q.type = 'search';
    q.id = 'q';
    q.placeholder = 'Search text or hex bytes (7F 22 31)';
    var fn = select('fn', 'All functions');
    var failedBox = make('input');
    failedBox.type = 'checkbox';
    failedBox.id = 'failed';
    var failedLabel = make('label');
    failedLabel.appendChild(failedBox);
    failedLabel.appendChild(document.createTextNode(' Failed calls only'));
    var link = select('link', 'All channels / links');
    var ecu = select('ecu', 'All ECUs');
    var session = select('session', 'All sessions');
    var controls = [q, fn, failedBox, link, ecu, session];
    controls.forEach(function (c) { c.disabled = true; });
    var count = make('span', 'Reading the log...');
    count.id = 'count';
    var pager = make('span');
    pager.id = 'pager';
    pager.hidden = true;
    var previous = make('button', 'Previous');
    var next = make('button', 'Next');
    var pageText = make('span');
    pageText.id = 'page';
    [previous, pageText, next].forEach(function (e) { pager.appendChild(e); });
    var legend = make('span');
    [['failed', 'failed call'], ['neg', 'negative response'], ['pend', 'response pending'],
     ['note', 'dropped entries']].forEach(function (k) { legend.appendChild(make('span', k[1], 'k ' + k[0])); });
    [q, fn, failedLabel, link, ecu, session, count, pager, legend].forEach(function (e) { bar.appendChild(e); });
    all.appendChild(bar);
    // A session's heading and table.
    function view(s, where) {
      var v = { h2: make('h2', s.head), table: make('table'), summary: null, headRow: s.headRow };
      v.body = v.table.appendChild(make('tbody'));
      where.appendChild(v.h2);
      where.appendChild(v.table);
      views.push(v);
      return v;
    }
    log.sessions.forEach(function (s) { view(s, all); });

    // The time since the entry before in the same session (one with a time):
    // the elapsed time is the row's second cell, just before its third.
    function elapsed(i) {
      var end = log.c[i] - 5;
      return parseInt(T.slice(T.lastIndexOf('>', end - 1) + 1, end), 10);
    }
    function since(i) {
      var t = elapsed(i);
      if (isNaN(t)) return '';
      for (var j = i - 1; j >= 0 && j >= i - 100 && log.s[j] === log.s[i]; j--) {
        var before = elapsed(j);
        if (!isNaN(before)) return String(t - before);
      }
      return '';
    }
    function status() {
      var from = page * PAGE, to = Math.min(matches.length, from + PAGE);
      pager.hidden = matches.length <= PAGE;
      pageText.textContent = ' rows ' + (to > from ? from + 1 : 0) + '-' + to + ' of ' + matches.length + ' ';
      previous.disabled = page === 0;
      next.disabled = to >= matches.length;
      count.textContent = matches.length + ' of ' + log.count + ' entries shown';
      state.shown = matches.length;
    }
    // The page's rows, from the log's own markup with the time since the
    // previous entry added; set at once per table.
    function show() {
      var from = page * PAGE, to = Math.min(matches.length, from + PAGE);
      var parts = views.map(function (v) { return [v.headRow]; });
      for (var j = from; j < to; j++) {
        var i = matches[j];
        parts[log.s[i]].push(T.slice(log.a[i], log.c[i]) + '<td class="since">' + since(i) + '<\/td>' +
                             T.slice(log.c[i], log.e[i]) + '<\/tr>');
      }
      views.forEach(function (v, k) { v.body.innerHTML = parts[k].join('\n'); });
      if (finished) status();  // until then: "Reading the log..."
    }
    function apply() {
      var t = performance.now();
      var text = norm(q.value), compact = text.replace(/ /g, ''), alt = '';
      if (/^([0-9a-f]{2}){2,}$/.test(compact)) alt = compact.match(/../g).join(' ');
      var f = fn.value === '' ? -1 : log.fns.indexOf(fn.value), onlyFailed = failedBox.checked;
      var l = link.value === '' ? -1 : log.links.indexOf(link.value), e = ecu.value;
      var ecuIn = log.ecus.map(function (list) { return e === '' || list.split(';').indexOf(e) >= 0; });
      var ses = session.value === '' ? -1 : parseInt(session.value, 10);
      matches = [];
      for (var i = 0; i < log.count; i++) {
        var ok = (ses < 0 || log.s[i] === ses) && (f < 0 || log.fn[i] === f) && (!onlyFailed || log.failed[i]) &&
                 (l < 0 || log.link[i] === l) && ecuIn[log.ecu[i]];
        if (ok && text) {
          var row = texts[i];
          if (row === undefined) row = texts[i] = norm(plain(T.slice(log.a[i], log.e[i])));
          ok = row.indexOf(text) >= 0 || (alt !== '' && row.indexOf(alt) >= 0);
        }
        if (ok) matches.push(i);
      }
      page = 0;
      show();
      views.forEach(function (v, k) {
        var hide = ses >= 0 && ses !== k;
        v.table.hidden = hide;
        v.summary.hidden = hide;
        v.h2.hidden = hide;
      });
      state.filterMs = performance.now() - t;
    }
    for (var i = 0; i < log.count; i++) matches.push(i);
    show();
    body.appendChild(all);
    performance.mark('log-page');

    // The whole log read: its sessions get their summaries (and those past
    // the first page their tables), the filters their choices. The rows shown
    // are those already there.
    function complete(whole) {
      if (finished) return;
      finished = true;
      performance.mark('log-read');
      log = whole;
      whole.sessions.forEach(function (s, k) {
        var v = views[k] || view(s, body);
        if (!v.body.firstChild) v.body.innerHTML = v.headRow;
        v.summary = summary(s);
        body.insertBefore(v.summary, v.table);
      });
      function sorted(list) {
        return list.filter(function (x) { return x !== ''; }).sort().map(function (x) { return [x, x]; });
      }
      var names = {};
      whole.ecus.forEach(function (list) { list.split(';').forEach(function (x) { names[x] = 1; }); });
      options(fn, sorted(whole.fns));
      options(link, sorted(whole.links));
      options(ecu, sorted(Object.keys(names)));
      options(session, whole.sessions.map(function (s, k) { return [String(k), s.name]; }));
      matches = [];
      for (var i = 0; i < whole.count; i++) matches.push(i);
      status();
      controls.forEach(function (c) { c.disabled = false; });
      previous.addEventListener('click', function () { if (page > 0) { page--; show(); } });
      next.addEventListener('click', function () { if ((page + 1) * PAGE < matches.length) { page++; show(); } });
      q.addEventListener('input', apply);
      [fn, failedBox, link, ecu, session].forEach(function (e) { e.addEventListener('change', apply); });
      state.total = whole.count;
      state.loadMs = performance.now();
      state.ready = true;
      body.setAttribute('data-ready', '1');
    }
    if (log.count < PAGE) {
      complete(log);  // it was all on the first page
      return;
    }
    // The rest is read once the first page has been painted (or soon, where
    // the page is not painted, as in a tab in the background).
    function rest() {
      if (finished) return;
      state.pageMs = performance.now();
      complete(R.read(T, Infinity));
    }
    requestAnimationFrame(function () { setTimeout(rest, 0); });
    setTimeout(rest, 250);
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
