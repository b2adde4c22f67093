// The HTML log in a real browser: headless Chromium from the Debian packages,
// driven by playwright-core (which brings no browser of its own). Opens the
// log of a VciCheck session made by the monitoring end-to-end script, types
// into the search, ticks the filters and reads what the page shows; opens
// it again without script, and in a browser that refuses what the script
// writes; opens a log cut in the middle of a row (a crash while writing);
// opens a synthetic log of many entries made by the monitor's own renderers,
// checks the rows that stand out and the summary, and prints how long
// opening and filtering took (measured, not asserted). Every request that is not the file itself
// is refused and counted: the page must load nothing from elsewhere.
//   node html_log.mjs <vcicheck-log.html> <big-log.html> <work dir>
// Prints "N passed, N failed"; exits 1 on a failure.
import { chromium } from 'playwright-core';
import fs from 'node:fs';
import path from 'node:path';

const [vciLog, bigLog, work] = process.argv.slice(2);
let passed = 0, failed = 0;
function check(name, ok, detail) {
  if (ok) passed++;
  else {
    failed++;
    console.log(`FAILED: ${name}${detail !== undefined ? ` (${JSON.stringify(detail)})` : ''}`);
  }
}

fs.mkdirSync(work, { recursive: true });
const profile = fs.mkdtempSync(path.join(work, 'chromium-profile-'));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: '/usr/bin/chromium',
  headless: true,
  args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  viewport: { width: 1400, height: 1000 },
});
let foreign = [];
await context.route('**/*', (route) => {
  const url = route.request().url();
  if (url.startsWith('file:')) return route.continue();
  foreign.push(url);
  return route.abort();
});
const page = context.pages()[0] || await context.newPage();
// A step that throws (a page that never gets ready) is a failure too, reported as such.
process.on('unhandledRejection', (error) => {
  console.log(`FAILED: ${String(error).split('\n')[0]}`);
  console.log(`html log in a browser: ${passed} passed, ${failed + 1} failed`);
  process.exit(1);
});
const errors = [];
page.on('pageerror', (e) => errors.push(String(e)));

// A page that never gets ready ends the test, reported with its script errors.
async function ready(p, name) {
  try {
    await p.waitForFunction(() => window.varrowLog && window.varrowLog.ready, null, { timeout: 60000 });
  } catch (error) {
    console.log(`FAILED: ${name} never got ready (${String(error).split('\n')[0]}; script errors: ${JSON.stringify(errors)})`);
    console.log(`html log in a browser: ${passed} passed, ${failed + 1} failed`);
    process.exit(1);
  }
}
async function open(file) {
  await page.goto('file://' + path.resolve(file));
  await ready(page, path.basename(file));
}
// What is shown: the count line and the visible rows' function, link, ECU and text.
async function shown() {
  return page.evaluate(() => {
    // Rows a user sees: laid out, not only not hidden.
    const rows = [...document.querySelectorAll('body > table tr')].filter((tr) => tr.cells.length >= 10 &&
      tr.cells[0].tagName === 'TD' && tr.getClientRects().length > 0);
    return {
      count: document.getElementById('count').textContent,
      rows: rows.map((tr) => ({ fn: tr.cells[5].textContent, link: tr.dataset.link || '', ecu: tr.dataset.ecu || '',
                                cls: tr.className, text: tr.textContent })),
    };
  });
}
async function waitShown(n) {
  await page.waitForFunction((n) => window.varrowLog.shown === n, n, { timeout: 30000 }).catch(() => {});
}

// 1. The VciCheck session's log.
await open(vciLog);
let s = await shown();
const total = s.rows.length;
const rowTexts = s.rows.map((r) => r.text);
// What the filters below must find, counted on the unfiltered rows.
const readRows = s.rows.filter((r) => r.fn === 'PassThruReadMsgs').length;
const ecu1Rows = s.rows.filter((r) => r.ecu.split(';').includes('ECU 1')).length;
check('the VciCheck log opens with its entries and counts them', total >= 9 && s.count === `${total} of ${total} entries shown`, s.count);
check('the decoded column shows the VIN', s.rows.some((r) => r.text.includes('VIN = "WOVRA00SIM0000001"')));
check('a column of time since the previous entry', await page.locator('th', { hasText: 'Since previous (us)' }).count() === 1);
const summary = await page.locator('details.summary').first().textContent();
check('the summary counts calls per function', summary.includes('PassThruOpen: 1') && summary.includes(`PassThruReadMsgs: ${readRows}`), summary);
check('the summary names first and last time', /first 20\d\d-.* last 20\d\d-/.test(summary), summary);

await page.fill('#q', 'WOVRA00SIM');
await page.waitForFunction(() => window.varrowLog.shown < window.varrowLog.total);
s = await shown();
check('the search for text keeps only the rows that hold it', s.rows.length >= 1 && s.rows.every((r) => r.text.includes('WOVRA00SIM')), s.count);
const vinRows = s.rows.length;
await page.fill('#q', '49 02 01 57');
await waitShown(vinRows);
s = await shown();
check('the search for hex bytes finds the VIN answer', s.rows.length >= 1 && s.rows.every((r) => r.fn === 'PassThruReadMsgs'), s.rows.map((r) => r.fn));
const hexRows = s.rows.length;
await page.fill('#q', '49020157');
await page.waitForTimeout(0);
s = await shown();
check('hex bytes typed without blanks find the same rows', s.rows.length === hexRows, s.count);
await page.fill('#q', '');
await waitShown(total);

await page.selectOption('#fn', 'PassThruReadMsgs');
s = await shown();
check('the function filter shows that function only', readRows > 0 && s.rows.length === readRows && s.rows.every((r) => r.fn === 'PassThruReadMsgs'), s.rows.map((r) => r.fn));
await page.selectOption('#fn', '');
await page.selectOption('#link', 'channel 2');
s = await shown();
check('the channel filter hides the device calls', s.rows.length > 0 && s.rows.every((r) => r.link === 'channel 2') && s.rows.length < total, s.count);
await page.selectOption('#link', '');
await page.selectOption('#ecu', 'ECU 1');
s = await shown();
check('the ECU filter shows the conversation with ECU 1', ecu1Rows > 0 && ecu1Rows < total && s.rows.length === ecu1Rows && s.rows.every((r) => r.ecu.split(';').includes('ECU 1')), s.count);
await page.selectOption('#ecu', '');
await page.check('#failed');
s = await shown();
check('failed calls only: the good session shows none', s.rows.length === 0, s.count);
await page.uncheck('#failed');
await page.selectOption('#session', '0');
s = await shown();
check('the session filter keeps its session', s.rows.length === total, s.count);
check('the page ran without script errors', errors.length === 0, errors);
const vciHtml = fs.readFileSync(vciLog, 'utf8');

// The cells are styled by position: with the added column and, without
// script, in the tables as written (which then show every row).
const styles = (p) => p.evaluate(() => {
  const tr = [...document.querySelectorAll('body > table tr')].find((r) => r.cells.length >= 10 && r.cells[0].tagName === 'TD');
  return [...tr.cells].map((td) => { const c = getComputedStyle(td); return c.textAlign[0] + (c.whiteSpace === 'pre-wrap' ? 'w' : ''); }).join(' ');
});
check('with script the cells are styled by position', await styles(page) === 'l r r r r l l lw l r lw', await styles(page));
const bare = await context.newPage();
const cdp = await context.newCDPSession(bare);
await cdp.send('Emulation.setScriptExecutionDisabled', { value: true });
await bare.goto('file://' + path.resolve(vciLog));
const bareRows = await bare.evaluate(() => [...document.querySelectorAll('body > table tr')].filter((tr) => tr.cells.length >= 10 && tr.cells[0].tagName === 'TD').length);
check('without script the log reads as its tables, every row', bareRows === total && await bare.locator('#bar').count() === 0, bareRows);
check('without script the cells are styled by position', await styles(bare) === 'l r r r l l lw l r lw', await styles(bare));
await bare.close();
// A browser that does not take what the script writes while the page opens:
// the script reads the tables the browser built instead.
const refused = await context.newPage();
refused.on('pageerror', (e) => errors.push(String(e)));
await refused.addInitScript(() => { document.write = () => {}; });
await refused.goto('file://' + path.resolve(vciLog));
await ready(refused, 'the log where the comment is refused');
const refusedShown = await refused.evaluate(() => [document.getElementById('count').textContent,
  document.querySelector('details.summary')?.textContent, document.querySelectorAll('body > table').length]);
check('where the browser refuses the written comment the page reads its tables',
      refusedShown[0] === `${total} of ${total} entries shown` && refusedShown[1] === summary && refusedShown[2] === 1, refusedShown);
await refused.close();

// 2. Cut in the middle of a row, as after a crash while a batch was written.
const cutFile = path.join(work, 'cut-log.html');
const lastRow = vciHtml.lastIndexOf('<tr');
fs.writeFileSync(cutFile, vciHtml.slice(0, lastRow + 40));
await open(cutFile);
s = await shown();
check('a log cut inside a row still opens and shows the rows before the cut', s.rows.length >= total - 1, s.count);
// Cut anywhere after the head: in the heading, a tag, an attribute, a
// character reference, a cell. Every row written whole is shown, and the one
// cut short at most.
const body = vciHtml.indexOf('</head>');
const cuts = [];
for (const mark of ['<h2>', '</h2>', '<th>', '<tr ', 'data-link="', '&quot;', '</td><td>', '</td></tr>']) {
  const at = vciHtml.indexOf(mark, body);
  if (at > body) for (let k = 1; k < mark.length; k++) cuts.push(at + k);
}
for (let k = 1; k < 10; k++) cuts.push(body + Math.floor((vciHtml.length - body) * k / 10));
const wrong = [];
for (const at of cuts) {
  fs.writeFileSync(cutFile, vciHtml.slice(0, at));
  await open(cutFile);
  const whole = (vciHtml.slice(0, at).match(/<\/td><\/tr>/g) || []).length;
  const cutRows = (await shown()).rows.map((r) => r.text);
  if (cutRows.length < whole || cutRows.length > whole + 1 || cutRows.slice(0, whole).some((t, i) => t !== rowTexts[i]) ||
      (cutRows.length > whole && !rowTexts[whole].startsWith(cutRows[whole]))) {
    wrong.push({ at, whole, shown: cutRows.length });
  }
}
check('a log cut anywhere shows every row written whole, as it was', cuts.length >= 40 && wrong.length === 0, wrong);
check('a log cut anywhere opens without script errors', errors.length === 0, errors);
// After a crash inside a row, the next process appends a session of its own.
fs.writeFileSync(cutFile, vciHtml.slice(0, lastRow + 40) + vciHtml.slice(vciHtml.indexOf('<h2>')));
await open(cutFile);
const appended = (await shown()).rows.map((r) => r.text);
check('a session appended after a row cut short shows whole', appended.length >= 2 * total - 1 &&
      appended.slice(-total).every((t, i) => t === rowTexts[i]), appended.length);

// 3. Many entries: rows that stand out, the summary of failures and NRCs, the
// rows shown a page at a time, and the time taken (to the frame painted after).
const painted = () => page.evaluate(() => new Promise((done) =>
  requestAnimationFrame(() => requestAnimationFrame(() => done(performance.now())))));
await open(bigLog);
const openMs = await painted();
const big = await page.evaluate(() => ({ ...window.varrowLog }));
const kinds = await page.evaluate(() => {
  const colour = (sel) => { const td = document.querySelector(sel + ' td'); return td ? getComputedStyle(td).backgroundColor : ''; };
  return { failed: colour('tr.failed'), neg: colour('tr.neg'), pend: colour('tr.pend'), note: colour('tr.note'),
           plain: colour('body > table tr:not([class]):nth-child(3)') };
});
check('failed calls, negative responses, pending responses and dropped-entry notes each stand out',
      new Set(Object.values(kinds)).size === 5 && !Object.values(kinds).includes(''), kinds);
const bigSummary = await page.locator('details.summary').first().textContent();
check('the summary counts failures by return code and the NRCs seen',
      /ERR_TIMEOUT: \d+/.test(bigSummary) && /31 request out of range: \d+/.test(bigSummary) &&
      /78 response pending: \d+/.test(bigSummary), bigSummary.slice(0, 300));
s = await shown();
check('a large log shows a page of rows at a time', s.rows.length === 1000 &&
      (await page.textContent('#page')).includes('rows 1-1000 of ' + big.total), s.rows.length);
await page.click('#pager button:last-child');
s = await shown();
check('the next page shows the next rows', s.rows.length === 1000 && (await page.textContent('#page')).includes('rows 1001-2000'),
      await page.textContent('#page'));
const firstSince = await page.evaluate(() => document.querySelector('body > table tr:nth-child(2)').cells[2].textContent);
check('the time since the previous entry counts from the row before the page', firstSince === '1000', firstSince);
await page.fill('#q', `"<timeout> & 'retry'"`);
await waitShown(Math.floor(big.total / 5000));
s = await shown();
check('the search finds text that the writer escaped, shown as it was',
      s.rows.length === Math.floor(big.total / 5000) && s.rows.every((r) => r.text.includes(`ErrorDescription: "<timeout> & 'retry'"`)), s.count);
await page.fill('#q', '');
await page.selectOption('#session', '1');
const secondShown = await page.evaluate(() => [window.varrowLog.shown, [...document.querySelectorAll('body > table')].map((t) => t.hidden)]);
check('the session filter keeps the second session', secondShown[0] === Math.floor(big.total / 2) &&
      JSON.stringify(secondShown[1]) === '[true,false]', secondShown);
await page.selectOption('#session', '');
let t0 = await page.evaluate(() => performance.now());
await page.fill('#q', '7F 22 31');
const searchMs = (await painted()) - t0;
const negShown = await page.evaluate(() => window.varrowLog.shown);
s = await shown();
check('the search finds every negative response', Math.abs(negShown - big.total / 10) <= big.total / 5000 + 1 &&
      s.rows.every((r) => r.cls.includes('neg')), negShown);
await page.fill('#q', '');
t0 = await page.evaluate(() => performance.now());
await page.check('#failed');
const failedMs = (await painted()) - t0;
const failedShown = await page.evaluate(() => window.varrowLog.shown);
s = await shown();
check('failed calls only shows the failed calls', failedShown > 0 && s.rows.every((r) => r.cls.includes('failed')), failedShown);
// Opened twice more: when the file was read, the first page of rows painted,
// the script done (the whole log read) and the page painted after that.
const opened = [[big.readMs, big.pageMs, big.loadMs, openMs]];
for (let k = 0; k < 2; k++) {
  await open(bigLog);
  const ms = await painted();
  opened.push(await page.evaluate(() => [window.varrowLog.readMs, window.varrowLog.pageMs, window.varrowLog.loadMs]).then((m) => [...m, ms]));
}
check('the page ran without script errors', errors.length === 0, errors);
check('nothing was requested from elsewhere', foreign.length === 0, foreign);
const each = (i) => opened.map((o) => Math.round(o[i])).join(' / ');
console.log(`html log in a browser: ${big.total} entries (${(fs.statSync(bigLog).size / 1048576).toFixed(1)} MiB) opened 3 times: ` +
            `file read by ${each(0)} ms, first page of rows painted by ${each(1)} ms, script done ${each(2)} ms, ` +
            `page painted ${each(3)} ms after the start; ` +
            `search filtered and painted in ${Math.round(searchMs)} ms, failed-only in ${Math.round(failedMs)} ms`);
await context.close();
fs.rmSync(profile, { recursive: true, force: true });
console.log(`html log in a browser: ${passed} passed, ${failed} failed`);
process.exit(failed === 0 ? 0 : 1);
