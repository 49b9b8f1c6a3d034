// The web updater in a real browser: Debian's Chromium, headless, driven by puppeteer-core, the
// built page served from a local server. navigator.hid is replaced before the page loads by the
// simulated device compiled to WebAssembly (web/sim-hid.js), so the page's own code and the real
// engine run end to end; each case is compared with the console tool run on the same files
// against its own simulated device.
//
// Usage: node run.mjs --site DIR --tool HIDIAP [--chromium PATH] [--screenshot PNG] [--figures]
import { spawnSync } from 'node:child_process';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
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
  '.wasm': 'application/wasm', '.png': 'image/png' };
// The page with a vendor's key built in, as scripts/build-web.sh --trust makes it, under /trusted/.
const trustedSite = path.join(work, 'trusted-site');
const server = http.createServer((req, res) => {
  let name = decodeURIComponent(new URL(req.url, 'http://x').pathname);
  let root = site;
  if (name.startsWith('/trusted/')) {
    root = trustedSite;
    name = name.slice('/trusted'.length);
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
  const test = { faults: [], choose: true, link: '', requests: 0, hid: null };
  window.__hidTest = test;
  const facade = new EventTarget();
  const real = import('/sim-hid.js').then((m) => {
    test.hid = new m.SimulatedHid({
      faults: () => test.faults, choose: () => test.choose, link: () => test.link,
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
    return (await real).requestDevice(options);
  };
  facade.getDevices = async () => (await real).getDevices();
  Object.defineProperty(Navigator.prototype, 'hid', { get: () => facade, configurable: true });
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
  const shown = await page.evaluate(async () => {
    const outcome = document.getElementById('outcome');
    const test = window.__hidTest;
    const device = test.hid && test.hid.device;
    let flash = null;
    if (device) {
      const digest = await crypto.subtle.digest('SHA-256', device.flash());
      flash = [...new Uint8Array(digest)].map((b) => b.toString(16).padStart(2, '0')).join('');
    }
    return {
      status: outcome.dataset.status ?? null,
      exit: outcome.dataset.exitStatus === undefined ? null : Number(outcome.dataset.exitStatus),
      outcome: outcome.textContent,
      log: document.getElementById('log').textContent,
      progressText: document.getElementById('progress-text').textContent,
      requests: test.requests,
      flash,
    };
  });
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

await check('a page with the vendor\'s key runs its signed packages only, as the tool with --trust', async (expect) => {
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

  await check('figures: an update under the usb-fs timing model against its theoretical time', async (expect) => {
    // The medium update of the tool's benchmarks: a 256 KiB image and 16 KiB of TTS data.
    const timedImage = file('timed.bin', bytes(256 * 1024, 6));
    const timedTts = file('timed-tts.bin', bytes(16 * 1024, 7));
    const shown = await runPage({ image: timedImage, tts: timedTts, link: 'usb-fs' });
    expect(shown.status === 'success', `status ${shown.status}: ${shown.outcome}`);
    const theory = await shown.page.evaluate(() => window.__hidTest.hid.device.core.ccall(
      'hidiap_sim_theoretical_seconds', 'number', ['string', 'number', 'number'],
      ['usb-fs', 256 * 1024 - 0x8000, 16 * 1024]));
    const seconds = Number(/in ([\d.]+) s/.exec(shown.outcome)[1]);
    const off = (100 * (seconds - theory)) / theory;
    console.log(`     usb-fs model, 256 KiB image + 16 KiB TTS: ${seconds.toFixed(2)} s in the page, ` +
      `${theory.toFixed(2)} s in theory (${off >= 0 ? '+' : ''}${off.toFixed(1)}%), ` +
      `${shown.cpu.toFixed(2)} s of main-thread CPU`);
    await shown.page.close();
  });
}

await browser.close();
server.close();
fs.rmSync(work, { recursive: true, force: true });
const failed = results.filter((r) => r.failures.length);
console.log(`${results.length - failed.length} of ${results.length} browser cases passed`);
process.exit(failed.length ? 1 : 0);
