// The web updater in a real browser: Debian's Chromium, headless, driven by puppeteer-core, the
// built page served from a local server. navigator.hid is replaced before the page loads by the
// simulated device compiled to WebAssembly (web/sim-hid.js), so the page's own code and the real
// engine run end to end; each case is compared with the console tool run on the same files
// against its own simulated device.
//
// Usage: node run.mjs --site DIR --tool HIDIAP [--chromium PATH] [--screenshot PNG] [--figures]
//                    [--screenshots DIR]   (the customer's element, in English and German)
import { spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import puppeteer from 'puppeteer-core';

const args = Object.fromEntries(process.argv.slice(2).reduce((pairs, arg, i, all) => {
  if (arg.startsWith('--')) pairs.push([arg.slice(2), all[i + 1]?.startsWith('--') ? true : all[i + 1] ?? true]);
  return pairs;
}, []));
const repoRoot = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const site = path.resolve(args.site);
const tool = path.resolve(args.tool);
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'hidiap-web-'));
const CASE_MS = 120000;

// ---- inputs and the console tool ----

// Deterministic bytes, so that a failure can be repeated.
function bytes(length, seed) {
  const out = Buffer.alloc(length);
  let x = seed >>> 0 || 1;
  for (let i = 0; i < length; i++) {
    x ^= x << 13; x >>>= 0; x ^= x >>> 17; x ^= x << 5; x >>>= 0;
    out[i] = x & 0xff;
  }
  return out;
}
function file(name, content) {
  fs.writeFileSync(path.join(work, name), content);
  return name;
}
const sha256 = (data) => createHash('sha256').update(data).digest('hex');

// The tool on the same files, run where they are so that it names them as the page does.
function runTool(argv) {
  const flash = path.join(work, 'tool-flash.bin');
  fs.rmSync(flash, { force: true });
  const r = spawnSync(tool, ['--simulate', '--no-wait', '--sim-flash', flash, ...argv],
    { cwd: work, encoding: 'latin1', timeout: CASE_MS });
  return {
    // The tool's usage line, printed whenever it is given arguments, belongs to its command
    // line: the page has none and leaves it out.
    stdout: r.stdout.replace(/\r\n/g, '\n').replace(/^Usage: .*\n/, ''),
    stderr: r.stderr,
    status: r.status,
    flash: fs.existsSync(flash) ? sha256(fs.readFileSync(flash)) : null,
  };
}
const faultArgs = (faults) => faults.flatMap((f) => ['--sim-fault', f]);
// The outcome line without its timing figures, which differ from run to run.
const timeless = (line) => line.trim().replace(/in [\d.]+ s \([\d.]+ KiB\/s\)/, 'in T s (R KiB/s)');
const lastLine = (text) => text.trim().split('\n').pop();

// ---- the static server and the browser ----

const types = { '.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css',
  '.wasm': 'application/wasm', '.png': 'image/png', '.zip': 'application/zip' };
// The page with a vendor's key built in, as scripts/build-web.sh --trust makes it, under /trusted/.
const trustedSite = path.join(work, 'trusted-site');
// The ready page of a signed package with the vendor's key built in, under /customer/.
const customerSite = path.join(work, 'customer-site');
// The page with the vendor's key built in as trusted and as revoked, under /revoked/.
const revokedSite = path.join(work, 'revoked-site');
const server = http.createServer((req, res) => {
  let name = decodeURIComponent(new URL(req.url, 'http://x').pathname);
  let root = site;
  if (name.startsWith('/trusted/')) {
    root = trustedSite;
    name = name.slice('/trusted'.length);
  }
  for (const [prefix, dir] of [['/customer/', customerSite], ['/revoked/', revokedSite]]) {
    if (name.startsWith(prefix)) {
      root = dir;
      name = name.slice(prefix.length - 1);
    }
  }
  const target = path.join(root, name === '/' ? 'index.html' : name);
  if (!target.startsWith(root) || !fs.existsSync(target) || fs.statSync(target).isDirectory()) {
    res.writeHead(404).end();
    return;
  }
  res.writeHead(200, { 'Content-Type': types[path.extname(target)] || 'application/octet-stream' });
  fs.createReadStream(target).pipe(res);
});
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const url = `http://127.0.0.1:${server.address().port}/`;

const browser = await puppeteer.launch({
  executablePath: args.chromium || '/usr/bin/chromium',
  headless: true,
  userDataDir: fs.mkdtempSync(path.join(os.tmpdir(), 'hidiap-chromium-')),
  args: [
    ...(process.getuid && process.getuid() === 0 ? ['--no-sandbox'] : []),
    '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage',
  ],
});

// Runs in the page before its own scripts: navigator.hid becomes the simulated device's.
function installDouble() {
  const test = { faults: [], choose: true, link: '', keep: false, requests: 0, hid: null };
  window.__hidTest = test;
  const facade = new EventTarget();
  const real = import('/sim-hid.js').then((m) => {
    test.hid = new m.SimulatedHid({
      faults: () => test.faults, choose: () => test.choose, link: () => test.link,
      keep: () => test.keep,
    });
    test.hid.addEventListener('disconnect', (e) => {
      const copy = new Event('disconnect');
      Object.defineProperty(copy, 'device', { value: e.device });
      facade.dispatchEvent(copy);
    });
    return test.hid;
  });
  facade.requestDevice = async (options) => {
    test.requests++;
    test.filters = options.filters;
    return (await real).requestDevice(options);
  };
  facade.getDevices = async () => (await real).getDevices();
  Object.defineProperty(Navigator.prototype, 'hid', { get: () => facade, configurable: true });
}

// The SHA-256 of the simulated device's flash after the run, or null when none was chosen.
function flashOf(page) {
  return page.evaluate(async () => {
    const device = window.__hidTest.hid && window.__hidTest.hid.device;
    if (!device) return null;
    const digest = await crypto.subtle.digest('SHA-256', device.flash());
    return [...new Uint8Array(digest)].map((b) => b.toString(16).padStart(2, '0')).join('');
  });
}

// Runs the page with the given inputs; returns what it shows.
async function runPage({ image, tts, pkg, token = '1MB', faults = [], choose = true, link = '',
                         at = url }) {
  const page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(String(e)));
  await page.evaluateOnNewDocument(installDouble);
  await page.goto(at, { waitUntil: 'load' });
  await page.evaluate((f, c, l) => {
    Object.assign(window.__hidTest, { faults: f, choose: c, link: l });
  }, faults, choose, link);
  for (const [id, name] of [['image', image], ['tts', tts], ['package', pkg]]) {
    if (name) await (await page.$(`#${id}`)).uploadFile(path.join(work, name));
  }
  await page.$eval('#token', (el, v) => { el.value = v; }, token);
  const before = await page.metrics();
  const started = Date.now();
  await page.click('#update');
  await page.waitForFunction(() => document.getElementById('outcome').dataset.status ||
    !document.getElementById('update').disabled, { timeout: CASE_MS, polling: 50 });
  const wall = (Date.now() - started) / 1000;
  const after = await page.metrics();
  const flash = await flashOf(page);
  const shown = await page.evaluate(async () => {
    const outcome = document.getElementById('outcome');
    const test = window.__hidTest;
    return {
      status: outcome.dataset.status ?? null,
      exit: outcome.dataset.exitStatus === undefined ? null : Number(outcome.dataset.exitStatus),
      outcome: outcome.textContent,
      log: document.getElementById('log').textContent,
      progressText: document.getElementById('progress-text').textContent,
      requests: test.requests,
    };
  });
  shown.flash = flash;
  shown.wall = wall;
  shown.cpu = after.TaskDuration - before.TaskDuration;
  shown.problems = problems;
  shown.page = page;
  return shown;
}

// ---- the cases ----

const results = [];
async function check(name, body) {
  const started = Date.now();
  const failures = [];
  const expect = (ok, what) => { if (!ok) failures.push(what); };
  try {
    await body(expect);
  } catch (e) {
    failures.push(`threw: ${e.stack || e}`);
  }
  results.push({ name, failures, seconds: (Date.now() - started) / 1000 });
  console.log(`${failures.length ? 'FAIL' : 'ok  '} ${name} (${((Date.now() - started) / 1000).toFixed(1)} s)`);
  for (const f of failures) console.log(`     ${f}`);
}

// The page and the tool agree: console lines, outcome words, exit status, flash.
function sameAsTool(expect, shown, ran) {
  expect(shown.problems.length === 0, `page errors: ${shown.problems.join('; ')}`);
  expect(shown.log === ran.stdout, `console lines differ:\n--- page\n${shown.log}\n--- tool\n${ran.stdout}`);
  expect(timeless(shown.outcome) === timeless(lastLine(ran.stderr)),
    `outcome differs: page '${shown.outcome}', tool '${lastLine(ran.stderr)}'`);
  expect(shown.exit === ran.status, `exit status: page ${shown.exit}, tool ${ran.status}`);
  expect(shown.flash === ran.flash, 'the flash differs from the tool\'s');
}

const image = file('image.bin', bytes(0x8000 + 40 * 1024 + 100, 1));
const tts = file('tts.bin', bytes(9000, 2));

await check('a whole update: the same lines, outcome and flash as the tool', async (expect) => {
  const shown = await runPage({ image, tts });
  const ran = runTool([image, tts, '1MB']);
  expect(shown.status === 'success', `status ${shown.status}: ${shown.outcome}`);
  sameAsTool(expect, shown, ran);
  if (args.screenshot) {
    await shown.page.setViewport({ width: 900, height: 1000 });
    await shown.page.screenshot({ path: args.screenshot, fullPage: true });
  }
  await shown.page.close();
});

await check('a firmware package made by the tool updates as its files do', async (expect) => {
  const made = spawnSync(tool, ['--make-package', 'fw.zip', image, tts, '1MB'], { cwd: work });
  expect(made.status === 0, `--make-package: ${made.stderr}`);
  const shown = await runPage({ pkg: 'fw.zip', token: 'ignored' });
  const ran = runTool(['fw.zip']);
  expect(shown.status === 'success', `status ${shown.status}: ${shown.outcome}`);
  sameAsTool(expect, shown, ran);
  await shown.page.close();
});

await check('a package for another product leaves the device alone, as the tool does', async (expect) => {
  const made = spawnSync(tool, ['--make-package', 'other.zip', '--product', 'Other board', image,
    tts, '1MB'], { cwd: work });
  expect(made.status === 0, `--make-package: ${made.stderr}`);
  const shown = await runPage({ pkg: 'other.zip', token: 'ignored' });
  const ran = runTool(['other.zip']);
  expect(shown.status === 'failed' && shown.exit === 1, `status ${shown.status} ${shown.exit}`);
  expect(shown.outcome.includes('update failed (wrong product)'), shown.outcome);
  sameAsTool(expect, shown, ran);
  await shown.page.close();
});

await check('a page with the vendor\'s key runs its signed packages only, and none once the key is revoked, as the tool with --trust and --revoke', async (expect) => {
  const made = [
    spawnSync(tool, ['--make-key', 'vendor', '--unencrypted'], { cwd: work }),
    spawnSync(tool, ['--make-package', 'signed.zip', '--sign', 'vendor.key', image, tts, '1MB'],
      { cwd: work }),
    spawnSync(tool, ['--make-package', 'unsigned.zip', image, tts, '1MB'], { cwd: work }),
  ];
  for (const m of made) expect(m.status === 0, `making the key and packages: ${m.stderr}`);
  fs.cpSync(site, trustedSite, { recursive: true });
  const built = spawnSync(path.join(repoRoot, 'scripts/web-trusted-keys.sh'),
    [trustedSite, path.join(work, 'vendor.pub')]);
  expect(built.status === 0, `web-trusted-keys.sh: ${built.stderr}`);
  const trusted = `${url}trusted/`;
  const signed = await runPage({ pkg: 'signed.zip', token: 'ignored', at: trusted });
  const ranSigned = runTool(['--trust', path.join(work, 'vendor.pub'), 'signed.zip']);
  expect(signed.status === 'success', `signed: ${signed.status}: ${signed.outcome}`);
  sameAsTool(expect, signed, ranSigned);
  await signed.page.close();
  for (const [what, args] of [['unsigned.zip', { pkg: 'unsigned.zip', token: 'ignored' }],
    ['loose files', { image, tts }]]) {
    const refused = await runPage({ ...args, at: trusted });
    expect(refused.status === 'failed' && refused.exit === 2 && refused.requests === 0,
      `${what}: ${refused.status} ${refused.exit}, ${refused.requests} device requests`);
    expect(/refused: (unsigned|a key is trusted)/.test(refused.outcome), `${what}: ${refused.outcome}`);
    await refused.page.close();
  }
  // Revoked as well as trusted: the key's packages are refused, as by the tool.
  fs.cpSync(site, revokedSite, { recursive: true });
  const revoking = spawnSync(path.join(repoRoot, 'scripts/web-trusted-keys.sh'),
    [revokedSite, path.join(work, 'vendor.pub'), '--revoke', path.join(work, 'vendor.pub')]);
  expect(revoking.status === 0, `web-trusted-keys.sh --revoke: ${revoking.stderr}`);
  const revoked = await runPage({ pkg: 'signed.zip', token: 'ignored', at: `${url}revoked/` });
  expect(revoked.status === 'failed' && revoked.exit === 2 && revoked.requests === 0,
    `revoked: ${revoked.status} ${revoked.exit}, ${revoked.requests} device requests`);
  expect(revoked.outcome.includes('refused: revoked key: it is signed only by keys that were revoked'),
    `revoked: ${revoked.outcome}`);
  await revoked.page.close();
});

for (const [name, fault] of [
  ['a dropped answer ends in the time-out', 'drop:page:3'],
  ['a CRC mismatch fails the check', 'corrupt:page:5'],
]) {
  await check(`${name}, as the tool says it`, async (expect) => {
    const shown = await runPage({ image, tts, faults: [fault] });
    const ran = runTool([...faultArgs([fault]), image, tts, '1MB']);
    expect(shown.status === 'failed' && shown.exit === 1, `status ${shown.status} ${shown.exit}`);
    sameAsTool(expect, shown, ran);
    await shown.page.close();
  });
}

// The tool's simulated link never reports its device gone, so the tool waits for the engine's
// time-out there; a device that really disconnects (a HID device's failed read, the browser's
// disconnect event) ends the run at once, in the tool's words for it.
await check('a device unplugged mid-update ends the run at once', async (expect) => {
  const fault = 'unplug:page:10';
  const shown = await runPage({ image, tts, faults: [fault] });
  const ran = runTool([...faultArgs([fault]), image, tts, '1MB']);
  expect(shown.status === 'failed' && shown.exit === 1, `status ${shown.status} ${shown.exit}`);
  expect(shown.log === ran.stdout, `console lines differ:\n--- page\n${shown.log}\n--- tool\n${ran.stdout}`);
  expect(/^hidiap: update failed \(disconnected\): the device disconnected during the page write at 0x008100; 256 of 50432 bytes programmed/.test(shown.outcome),
    `outcome '${shown.outcome}'`);
  expect(shown.wall < 1, `took ${shown.wall} s`);
  expect(shown.flash === ran.flash, 'the flash differs from the tool\'s');
  await shown.page.close();
});

await check('a cancelled chooser ends nothing and sends nothing', async (expect) => {
  const shown = await runPage({ image, tts, choose: false });
  expect(shown.status === null && shown.exit === null, `outcome set: ${shown.status}`);
  expect(/no device was chosen/i.test(shown.progressText), `says '${shown.progressText}'`);
  expect(shown.requests === 1 && shown.flash === null, 'a device was made or asked for twice');
  await shown.page.close();
});

await check('refused inputs fail at once with the tool\'s reasons, no device asked for', async (expect) => {
  const empty = file('empty.bin', Buffer.alloc(0));
  const small = file('small.bin', bytes(0x8000, 3));
  for (const [img, t] of [[empty, tts], [image, empty], [small, tts]]) {
    const shown = await runPage({ image: img, tts: t });
    const ran = runTool([img, t, '1MB']);
    expect(shown.status === 'failed' && shown.exit === 2 && ran.status === 2,
      `${img} ${t}: page ${shown.status} ${shown.exit}, tool ${ran.status}`);
    expect(shown.outcome === ran.stderr.trim(), `${img} ${t}: page '${shown.outcome}', tool '${ran.stderr.trim()}'`);
    expect(shown.log === ran.stdout, `${img} ${t}: console lines differ`);
    expect(shown.requests === 0, `${img} ${t}: a device was asked for`);
    await shown.page.close();
  }
});

await check('without WebHID the page names the browsers that have it; the simulated device works, by keyboard, at 200%', async (expect) => {
  const page = await browser.newPage();
  await page.evaluateOnNewDocument(() => { delete Navigator.prototype.hid; });
  // A 1280-pixel window at 200% zoom: the page reflows rather than scrolling sideways.
  await page.setViewport({ width: 640, height: 900, deviceScaleFactor: 2 });
  await page.goto(url, { waitUntil: 'load' });
  const widths = await page.evaluate(() => [document.documentElement.scrollWidth, innerWidth]);
  expect(widths[0] <= widths[1], `scrolls sideways at 200%: ${widths}`);
  const told = await page.$eval('#no-webhid', (el) => (el.hidden ? '' : el.textContent));
  expect(/Chrome/.test(told) && /Edge/.test(told) && /89/.test(told), `says '${told}'`);
  expect(await page.$eval('#simulate', (el) => el.checked), 'the simulated device is not chosen');
  await (await page.$('#image')).uploadFile(path.join(work, image));
  await (await page.$('#tts')).uploadFile(path.join(work, tts));
  // Keyboard only: the Update button is reached with Tab and pressed with Enter.
  await page.focus('#simulate');
  await page.keyboard.press('Tab');
  expect(await page.evaluate(() => document.activeElement.id) === 'update', 'Tab does not reach Update');
  await page.keyboard.press('Enter');
  await page.waitForFunction(() => document.getElementById('outcome').dataset.status,
    { timeout: CASE_MS, polling: 50 });
  const status = await page.$eval('#outcome', (el) => el.dataset.status);
  expect(status === 'success', `status ${status}`);
  await page.close();
});

// ---- the customer's element: the ready page of a signed package ----

// Words a customer must never meet outside the element's <details>.
const ENGINEERS_WORDS = /\b(TTS|tokens?|CRC|frames?)\b/i;
const product = 'Simulated IAP device';  // the double's product string, named by the packages
const shots = args.screenshots ? path.resolve(args.screenshots) : null;
const axeScript = path.join(path.dirname(fileURLToPath(import.meta.url)),
  'node_modules/axe-core/axe.min.js');

function make(argv) {
  const r = spawnSync(tool, argv, { cwd: work, encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`hidiap ${argv.join(' ')}: ${r.stderr}`);
}
make(['--make-key', 'maker', '--unencrypted']);
make(['--make-key', 'stranger', '--unencrypted']);
const firmware = ['--product', product, '--fw-version', '2.1.0', image, tts, '1MB'];
make(['--make-package', 'fw.zip', '--sign', 'maker.key', ...firmware]);
make(['--make-package', 'stranger.zip', '--sign', 'stranger.key', ...firmware]);
make(['--make-package', 'plain.zip', ...firmware]);
// The image changed after the package was signed: its checksum no longer matches the manifest.
const changed = spawnSync('python3', ['-c', `
import sys, zipfile
with zipfile.ZipFile('fw.zip') as a, zipfile.ZipFile('changed.zip', 'w', zipfile.ZIP_DEFLATED) as b:
    for info in a.infolist():
        data = a.read(info)
        b.writestr(info, bytes([data[0] ^ 1]) + data[1:] if info.filename == '${image}' else data)
`], { cwd: work, encoding: 'utf8' });
if (changed.status !== 0) throw new Error(`changing the package: ${changed.stderr}`);
fs.cpSync(site, customerSite, { recursive: true });
for (const [command, argv] of [
  ['scripts/web-trusted-keys.sh', [customerSite, path.join(work, 'maker.pub')]],
  ['scripts/build-web.sh', ['--package', path.join(work, 'fw.zip'), '--alternative-href',
    'hidiap-windows.zip', '--ready-page-in', customerSite]],
]) {
  const r = spawnSync(path.join(repoRoot, command), argv, { encoding: 'utf8' });
  if (r.status !== 0) throw new Error(`${command}: ${r.stderr}`);
}
for (const name of ['stranger.zip', 'plain.zip', 'changed.zip']) {
  fs.copyFileSync(path.join(work, name), path.join(customerSite, name));
}
const trustMaker = ['--trust', path.join(work, 'maker.pub')];

// Opens the ready page with the double (or without WebHID, or from an insecure origin) and the
// browser's languages; the element's events are recorded as the document sees them.
async function openCustomer({ faults = [], link = '', keep = false, languages = null, hid = true,
                              secure = true } = {}) {
  const page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(String(e)));
  page.on('console', (m) => { if (m.type() === 'error') problems.push(m.text()); });
  await page.setViewport({ width: 640, height: 560 });
  await page.evaluateOnNewDocument(hid ? installDouble : () => { delete Navigator.prototype.hid; });
  await page.evaluateOnNewDocument((langs, isSecure) => {
    if (langs) {
      Object.defineProperty(Navigator.prototype, 'languages', { get: () => langs });
      Object.defineProperty(Navigator.prototype, 'language', { get: () => langs[0] });
    }
    if (!isSecure) Object.defineProperty(window, 'isSecureContext', { value: false });
    window.__events = [];
    for (const type of ['hidiap-ready', 'hidiap-start', 'hidiap-progress', 'hidiap-done',
      'hidiap-refused']) {
      document.addEventListener(type, (e) => window.__events.push({
        type, detail: e.detail, bubbles: e.bubbles, composed: e.composed,
        buttonShown: !e.target.shadowRoot.querySelector('[part~="button"]').hidden,
      }));
    }
  }, languages, secure);
  await page.goto(`${url}customer/update.html`, { waitUntil: 'load' });
  if (hid) {
    await page.evaluate((f, l, k) => Object.assign(window.__hidTest, { faults: f, link: l, keep: k }),
      faults, link, keep);
  }
  return { page, problems };
}

const events = (page, type) =>
  page.evaluate((t) => window.__events.filter((e) => !t || e.type === t), type);
const waitEvent = (page, type, count = 1) => page.waitForFunction((t, n) =>
  window.__events.filter((e) => e.type === t).length >= n, { timeout: CASE_MS, polling: 20 },
type, count);

// What the element shows: its texts outside any <details>, the dialog's parts, the Details line.
function view(page) {
  return page.evaluate(() => {
    const host = document.querySelector('hidiap-update');
    const root = host.shadowRoot;
    const $ = (id) => root.getElementById(id);
    const texts = [document.title];
    const walk = (node) => {
      for (const child of node.childNodes) {
        if (child.nodeName === 'DETAILS' || child.nodeName === 'STYLE') continue;
        if (child.nodeType === Node.TEXT_NODE) texts.push(child.textContent);
        else walk(child);
      }
    };
    walk(root);
    for (const el of root.querySelectorAll('[aria-label], [aria-valuetext]')) {
      texts.push(el.getAttribute('aria-label') || '', el.getAttribute('aria-valuetext') || '');
    }
    const bar = root.querySelector('[role="progressbar"]');
    return {
      state: host.getAttribute('state'),
      status: $('status').textContent,
      button: $('start').hidden ? null : $('start').textContent,
      alternative: $('alternative').hidden ? null : $('alternative-link').getAttribute('href'),
      dialogOpen: $('dialog').open,
      title: $('title').textContent,
      end: $('end').hidden ? null : $('end-title').textContent,
      steps: [...root.querySelectorAll('#steps li')].map((li) => li.textContent),
      details: $('details').hidden ? null : $('outcome').textContent,
      summary: root.querySelector('#details summary').textContent,
      refusal: $('refusal').hidden ? null : root.querySelector('#refusal code').textContent,
      progress: { now: bar.getAttribute('aria-valuenow'), text: bar.getAttribute('aria-valuetext') },
      focus: root.activeElement ? root.activeElement.id : null,
      text: texts.join(' '),
      commands: window.__hidTest && window.__hidTest.hid && window.__hidTest.hid.device
        ? window.__hidTest.hid.device.commands : null,
      requests: window.__hidTest ? window.__hidTest.requests : 0,
    };
  });
}

async function axeViolations(page) {
  await page.addScriptTag({ path: axeScript });
  return page.evaluate(async () => (await window.axe.run(document)).violations
    .map((v) => `${v.id} (${v.nodes.map((n) => n.target.join(' ')).join(', ')})`));
}

async function screenshot(page, name, { settled = true } = {}) {
  if (!shots) return;
  if (settled) await new Promise((resolve) => setTimeout(resolve, 300));  // the bar's last move
  await page.screenshot({ path: path.join(shots, `web-update-${name}.png`) });
}

const pressButton = (page) => page.click('hidiap-update >>> [part~="button"]');

// The run as the customer meets it, to its end: the button, the dialog in progress, the ending.
async function customerRun(page, lang, ending) {
  await pressButton(page);
  await page.waitForFunction(() => window.__events.some((e) => e.type === 'hidiap-progress' &&
    e.detail.percent >= 40) || window.__events.some((e) => e.type === 'hidiap-done'),
  { timeout: CASE_MS, polling: 10 });
  const during = await view(page);
  if (ending === 'done') await screenshot(page, `progress-${lang}`, { settled: false });
  await waitEvent(page, 'hidiap-done');
  const after = await view(page);
  if (ending === 'failed') await page.click('hidiap-update >>> #details summary');
  await screenshot(page, `${ending}-${lang}`);
  return { during, after };
}

function plainWords(expect, shown) {
  const found = ENGINEERS_WORDS.exec(shown.text);
  expect(!found, `the element says '${found && found[0]}' outside Details: ${shown.text}`);
}

await check('the ready page: a signed package checked, one button, the update as the tool\'s (flash, Details), events, axe-core clean', async (expect) => {
  const { page, problems } = await openCustomer({ link: 'usb-fs', keep: true });
  await waitEvent(page, 'hidiap-ready');
  const ready = await view(page);
  expect(ready.button === `Update ${product} to 2.1.0`, `button '${ready.button}'`);
  expect(await page.title() === product, `page title '${await page.title()}'`);
  const [readyEvent] = await events(page, 'hidiap-ready');
  expect(readyEvent.detail.product === product && readyEvent.detail.version === '2.1.0' &&
    !readyEvent.buttonShown, `hidiap-ready ${JSON.stringify(readyEvent)}`);
  expect((await axeViolations(page)).length === 0, `axe, ready: ${await axeViolations(page)}`);
  await screenshot(page, 'ready-en');

  const { during, after } = await customerRun(page, 'en', 'done');
  expect(during.dialogOpen && during.title === `Updating ${product} to 2.1.0` &&
    /\d+% · (Preparing|Writing the new firmware|Checking the new firmware)…/.test(during.text) &&
    /Keep this tab open and the device plugged in\./.test(during.text),
  `in progress: ${during.text}`);
  const ran = runTool([...trustMaker, '--skip-unchanged', 'fw.zip']);
  expect(after.state === 'success' && after.end === 'Updated to 2.1.0.', `ended ${after.state}: ${after.end}`);
  expect(after.summary === 'Details' && timeless(after.details) === timeless(lastLine(ran.stderr)),
    `Details '${after.details}', tool '${lastLine(ran.stderr)}'`);
  expect(await flashOf(page) === ran.flash, 'the flash differs from the tool\'s');
  expect(after.progress.now === '100' && after.focus === 'close', `bar ${after.progress.now}, focus ${after.focus}`);
  plainWords(expect, during);
  plainWords(expect, after);
  const all = await events(page);
  const percents = all.filter((e) => e.type === 'hidiap-progress').map((e) => e.detail.percent);
  expect(percents.every((p, i) => Number.isInteger(p) && p >= 0 && p <= 100 &&
    (i === 0 || p >= percents[i - 1])) && percents.at(-1) === 100, `progress ${percents}`);
  expect(all.map((e) => e.type).filter((t, i, a) => t !== a[i - 1]).join(' ') ===
    'hidiap-ready hidiap-start hidiap-progress hidiap-done', `events ${all.map((e) => e.type)}`);
  expect(all.every((e) => e.bubbles && e.composed), 'an event does not bubble or is not composed');
  const done = all.find((e) => e.type === 'hidiap-done').detail;
  expect(done.status === 'success' && done.outcome === after.details, `hidiap-done ${JSON.stringify(done)}`);
  expect((await axeViolations(page)).length === 0, `axe, done: ${await axeViolations(page)}`);

  // The same device again: it holds the firmware now, and is told so and left alone.
  fs.copyFileSync(path.join(work, 'tool-flash.bin'), path.join(work, 'current.bin'));
  await page.click('hidiap-update >>> #close');
  await page.evaluate(() => { window.__hidTest.hid.device.commands = {}; });
  await pressButton(page);
  await waitEvent(page, 'hidiap-done', 2);
  const again = await view(page);
  const verified = runTool([...trustMaker, '--verify', '--sim-flash-from', 'current.bin', 'fw.zip']);
  const second = (await events(page, 'hidiap-done'))[1].detail;
  expect(second.status === 'current' && again.end === `${product} already has 2.1.0. Nothing was changed.`,
    `again: ${second.status}, '${again.end}'`);
  expect(again.details === lastLine(verified.stderr) && second.outcome === again.details,
    `Details '${again.details}', tool '${lastLine(verified.stderr)}'`);
  const sent = Object.keys(again.commands).map(Number);
  expect(sent.length === 1 && sent[0] === 0x91, `commands sent to a current device: ${sent}`);
  expect(problems.length === 0, `page errors: ${problems.join('; ')}`);
  await page.close();
});

await check('a failure mid-update: the plain words and what to do, Details the tool\'s outcome line', async (expect) => {
  const fault = 'drop:page:3';
  const { page, problems } = await openCustomer({ faults: [fault] });
  await waitEvent(page, 'hidiap-ready');
  const { after } = await customerRun(page, 'en', 'failed');
  const ran = runTool([...trustMaker, '--skip-unchanged', '--sim-fault', fault, 'fw.zip']);
  expect(after.state === 'failed' && after.end === 'The update stopped: the device stopped responding.',
    `ended ${after.state}: '${after.end}'`);
  expect(after.steps.length === 3 && /another cable/.test(after.steps[1]) &&
    after.steps[2] === 'If it still fails, contact support with this code: E101.', `steps ${after.steps}`);
  expect(timeless(after.details) === timeless(lastLine(ran.stderr)),
    `Details '${after.details}', tool '${lastLine(ran.stderr)}'`);
  expect(after.focus === 'retry', `focus on '${after.focus}'`);
  plainWords(expect, after);
  expect((await axeViolations(page)).length === 0, `axe, failed: ${await axeViolations(page)}`);
  expect(problems.length === 0, `page errors: ${problems.join('; ')}`);
  await page.close();
});

await check('a package with a changed member, another maker\'s signature or none never shows the button', async (expect) => {
  const { page, problems } = await openCustomer();
  await waitEvent(page, 'hidiap-ready');
  for (const name of ['changed.zip', 'stranger.zip', 'plain.zip']) {
    await page.evaluate((n) => {
      window.__events.length = 0;
      document.querySelector('main').innerHTML = `<hidiap-update package="${n}"></hidiap-update>`;
    }, name);
    await waitEvent(page, 'hidiap-refused');
    const shown = await view(page);
    const ran = runTool([...trustMaker, name]);
    const [refused] = await events(page, 'hidiap-refused');
    expect(ran.status === 2 && refused.detail.reason === ran.stderr.trim() &&
      shown.refusal === ran.stderr.trim(), `${name}: '${refused.detail.reason}', tool '${ran.stderr.trim()}'`);
    expect(shown.button === null && (await events(page, 'hidiap-ready')).length === 0 &&
      !refused.buttonShown && shown.requests === 0, `${name}: a button was offered`);
    expect(shown.status.startsWith('This firmware cannot be used'), `${name}: '${shown.status}'`);
    plainWords(expect, shown);
  }
  expect(problems.length === 0, `page errors: ${problems.join('; ')}`);
  await page.close();
});

await check('the chooser lists only the package\'s IDs: no other device is offered', async (expect) => {
  make(['--make-package', 'ids.zip', '--sign', 'maker.key', '--vid', '1234', '--pid', '5678', ...firmware]);
  fs.copyFileSync(path.join(work, 'ids.zip'), path.join(customerSite, 'ids.zip'));
  const { page, problems } = await openCustomer();
  await page.evaluate(() => {
    window.__events.length = 0;
    document.querySelector('main').innerHTML = '<hidiap-update package="ids.zip"></hidiap-update>';
  });
  await waitEvent(page, 'hidiap-ready');
  await pressButton(page);
  await page.waitForFunction(() => document.querySelector('hidiap-update').shadowRoot
    .getElementById('status').textContent !== '', { timeout: CASE_MS, polling: 20 });
  const shown = await view(page);
  const filters = await page.evaluate(() => window.__hidTest.filters);
  expect(JSON.stringify(filters) === JSON.stringify([{ vendorId: 0x1234, productId: 0x5678 }]),
    `filters ${JSON.stringify(filters)}`);
  expect(shown.status.startsWith('No device was chosen') && !shown.dialogOpen &&
    (await events(page, 'hidiap-start')).length === 0, `'${shown.status}'`);
  expect(problems.length === 0, `page errors: ${problems.join('; ')}`);
  await page.close();
});

await check('without WebHID, or from an insecure origin, one sentence and the vendor\'s alternative', async (expect) => {
  for (const [what, options, cause, words] of [
    ['no WebHID', { hid: false }, 'no-webhid', /^This browser cannot reach USB devices\. .*Chrome or Edge/],
    ['insecure', { secure: false }, 'insecure-origin', /only pages opened over https:\/\//],
  ]) {
    const { page, problems } = await openCustomer(options);
    await waitEvent(page, 'hidiap-refused');
    const shown = await view(page);
    const [refused] = await events(page, 'hidiap-refused');
    expect(refused.detail.cause === cause && words.test(shown.status), `${what}: ${refused.detail.cause}, '${shown.status}'`);
    expect(shown.button === null && shown.alternative === 'hidiap-windows.zip', `${what}: button ${shown.button}, alternative ${shown.alternative}`);
    plainWords(expect, shown);
    expect(problems.length === 0, `${what}: page errors: ${problems.join('; ')}`);
    await page.close();
  }
});

await check('German from the browser\'s languages, Intl figures, lang forcing English; the catalogues have the same keys', async (expect) => {
  const catalogue = async (lang) => (await import(pathToFileURL(path.join(site, `hidiap-update.${lang}.js`)))).default;
  const [en, de] = [await catalogue('en'), await catalogue('de')];
  const missing = [...Object.keys(en).filter((k) => !(k in de)), ...Object.keys(de).filter((k) => !(k in en))];
  expect(missing.length === 0, `keys missing in a catalogue: ${missing}`);
  const { page, problems } = await openCustomer({ languages: ['de-DE', 'de', 'en'], link: 'usb-fs' });
  await waitEvent(page, 'hidiap-ready');
  const ready = await view(page);
  expect(ready.button === `${product} auf 2.1.0 aktualisieren`, `button '${ready.button}'`);
  await screenshot(page, 'ready-de');
  const { during, after } = await customerRun(page, 'de', 'done');
  expect(/^\d+\u00a0%, /.test(during.progress.text) && /Gerät angeschlossen/.test(during.text),
    `in progress: '${during.progress.text}', ${during.text}`);
  expect(after.end === 'Auf 2.1.0 aktualisiert.' && after.summary === 'Details', `ended '${after.end}'`);
  plainWords(expect, after);
  await page.evaluate(() => document.querySelector('hidiap-update').setAttribute('lang', 'en'));
  const forced = await view(page);
  expect(forced.button === `Update ${product} to 2.1.0` && forced.end === 'Updated to 2.1.0.',
    `lang="en": '${forced.button}', '${forced.end}'`);
  await page.close();
  const failing = await openCustomer({ languages: ['de'], faults: ['unplug:page:10'] });
  await waitEvent(failing.page, 'hidiap-ready');
  const failed = (await customerRun(failing.page, 'de', 'failed')).after;
  expect(failed.end === 'Die Aktualisierung wurde unterbrochen: Die Verbindung zum Gerät wurde getrennt.' &&
    failed.steps.at(-1).endsWith('E104.'), `German failure '${failed.end}', ${failed.steps}`);
  expect((await axeViolations(failing.page)).length === 0, `axe, German: ${await axeViolations(failing.page)}`);
  expect([...problems, ...failing.problems].length === 0, `page errors: ${[...problems, ...failing.problems].join('; ')}`);
  await failing.page.close();
});

await check('keyboard only: Tab to the button, Enter, Escape keeps the dialog, focus on Close, back on the button; a background tab is warned', async (expect) => {
  const { page, problems } = await openCustomer({ link: 'usb-fs' });
  await waitEvent(page, 'hidiap-ready');
  await page.keyboard.press('Tab');
  expect((await view(page)).focus === 'start', 'Tab does not reach the button');
  await page.keyboard.press('Enter');
  await waitEvent(page, 'hidiap-start');
  await page.keyboard.press('Escape');
  await page.evaluate(() => {
    for (const [name, value] of [['hidden', true], ['visibilityState', 'hidden']]) {
      Object.defineProperty(document, name, { value, configurable: true });
    }
    document.dispatchEvent(new Event('visibilitychange'));
  });
  const away = await page.title();
  await page.evaluate(() => {
    for (const [name, value] of [['hidden', false], ['visibilityState', 'visible']]) {
      Object.defineProperty(document, name, { value, configurable: true });
    }
    document.dispatchEvent(new Event('visibilitychange'));
  });
  const back = await view(page);
  expect(/^Keep this tab in front: updating, \d+%$/.test(away) && back.text.includes('This tab was in the background') &&
    (await page.title()) === product, `title away '${away}', back '${await page.title()}'`);
  expect(back.dialogOpen, 'Escape closed the dialog of an update under way');
  await waitEvent(page, 'hidiap-done');
  const after = await view(page);
  expect(after.state === 'success' && after.focus === 'close', `${after.state}, focus '${after.focus}'`);
  await page.keyboard.press('Enter');
  const closed = await view(page);
  expect(!closed.dialogOpen && closed.focus === 'start', `dialog open ${closed.dialogOpen}, focus '${closed.focus}'`);
  expect(problems.length === 0, `page errors: ${problems.join('; ')}`);
  await page.close();
});

await check('dark colour scheme and reduced motion: followed, axe-core clean', async (expect) => {
  const { page, problems } = await openCustomer({ faults: ['drop:page:3'] });
  await page.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'dark' },
    { name: 'prefers-reduced-motion', value: 'reduce' }]);
  await waitEvent(page, 'hidiap-ready');
  const style = (sel, prop) => page.$eval(`hidiap-update >>> ${sel}`, (el, p) => getComputedStyle(el)[p], prop);
  expect(await style('#start', 'backgroundColor') === 'rgb(153, 193, 241)', `dark button ${await style('#start', 'backgroundColor')}`);
  expect(await style('#fill', 'transitionDuration') === '0s', 'the bar moves under reduced motion');
  await pressButton(page);
  await waitEvent(page, 'hidiap-done');
  expect(await style('#dialog', 'backgroundColor') === 'rgb(36, 36, 36)', 'the dialog is not dark');
  expect((await axeViolations(page)).length === 0, `axe, dark: ${await axeViolations(page)}`);
  expect(problems.length === 0, `page errors: ${problems.join('; ')}`);
  await page.close();
});

if (args.figures) {
  await check('figures: the largest update in the page', async (expect) => {
    const big = file('big.bin', bytes(0x1FC000, 4));
    const bigTts = file('big-tts.bin', bytes(0x40000, 5));
    const shown = await runPage({ image: big, tts: bigTts, token: '2MB' });
    expect(shown.status === 'success', `status ${shown.status}: ${shown.outcome}`);
    console.log(`     largest update (2,080,768 + 262,144 bytes): ${shown.wall.toFixed(2)} s wall, ` +
      `${shown.cpu.toFixed(2)} s of the page's main-thread CPU`);
    console.log(`     ${shown.outcome}`);
    await shown.page.close();
  });

  // The medium update of the tool's benchmarks: a 256 KiB image and 16 KiB of TTS data.
  const timedImage = file('timed.bin', bytes(256 * 1024, 6));
  const timedTts = file('timed-tts.bin', bytes(16 * 1024, 7));
  await check('figures: an update under the usb-fs timing model against its theoretical time', async (expect) => {
    const shown = await runPage({ image: timedImage, tts: timedTts, link: 'usb-fs' });
    expect(shown.status === 'success', `status ${shown.status}: ${shown.outcome}`);
    const theory = await shown.page.evaluate(() => window.__hidTest.hid.device.core.ccall(
      'hidiap_sim_theoretical_seconds', 'number', ['string', 'number', 'number'],
      ['usb-fs', 256 * 1024 - 0x8000, 16 * 1024]));
    const seconds = Number(/in ([\d.]+) s/.exec(shown.outcome)[1]);
    const link = await shown.page.evaluate(() => window.__hidTest.hid.device.linkFigures());
    const off = (100 * (seconds - theory)) / theory;
    console.log(`     usb-fs model, 256 KiB image + 16 KiB TTS: ${seconds.toFixed(2)} s in the page, ` +
      `${theory.toFixed(2)} s in theory (${off >= 0 ? '+' : ''}${off.toFixed(1)}%), ` +
      `${shown.cpu.toFixed(2)} s of main-thread CPU`);
    console.log(`     ${link.answers} answers read ${(link.readLateMs / link.answers).toFixed(3)} ms late ` +
      `on average; ${link.replies} replies ${(link.reactionMs / link.replies).toFixed(3)} ms after ` +
      `their answer on average; ${link.framesLost} frames lost (${(link.framesLost / 1000).toFixed(2)} s)`);
    await shown.page.close();
  });

  await check('figures: the customer\'s update under the usb-fs model against the tool\'s same run', async (expect) => {
    make(['--make-package', 'timed.zip', '--sign', 'maker.key', '--product', product,
      '--fw-version', '2.1.0', timedImage, timedTts, '1MB']);
    fs.copyFileSync(path.join(work, 'timed.zip'), path.join(customerSite, 'timed.zip'));
    const { page } = await openCustomer({ link: 'usb-fs' });
    await page.evaluate(() => {
      window.__events.length = 0;
      document.querySelector('main').innerHTML = '<hidiap-update package="timed.zip"></hidiap-update>';
    });
    await waitEvent(page, 'hidiap-ready');
    const started = Date.now();
    await pressButton(page);
    await waitEvent(page, 'hidiap-done');
    const wall = (Date.now() - started) / 1000;
    const [{ detail: done }] = await events(page, 'hidiap-done');
    const link = await page.evaluate(() => window.__hidTest.hid.device.linkFigures());
    const r = spawnSync(tool, ['--simulate', '--no-wait', '--sim-timing', 'usb-fs', '--skip-unchanged',
      ...trustMaker, 'timed.zip'], { cwd: work, encoding: 'utf8', timeout: CASE_MS });
    expect(done.status === 'success' && r.status === 0, `page ${done.status}, tool ${r.status}`);
    const seconds = (line) => Number(/in ([\d.]+) s/.exec(line)[1]);
    const [inPage, inTool] = [seconds(done.outcome), seconds(lastLine(r.stderr))];
    const off = (100 * (inPage - inTool)) / inTool;
    console.log(`     customer's update (--skip-unchanged on an erased device), usb-fs: ${inPage.toFixed(2)} s ` +
      `in the page, ${inTool.toFixed(2)} s in the tool (${off >= 0 ? '+' : ''}${off.toFixed(1)}%); ` +
      `with the verify first ${wall.toFixed(2)} s wall; ${link.framesLost} frames lost`);
    await page.close();
  });
}

await browser.close();
server.close();
fs.rmSync(work, { recursive: true, force: true });
const failed = results.filter((r) => r.failures.length);
console.log(`${results.length - failed.length} of ${results.length} browser cases passed`);
process.exit(failed.length ? 1 : 0);
