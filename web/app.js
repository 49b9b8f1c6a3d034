// The page: reads the chosen files, refuses what the tool refuses before any device is asked for,
// then asks the browser for the device and shows the update as the console tool would.
import { Updater } from './hidiap.js';
import { SimulatedHid } from './sim-hid.js';

const $ = (id) => document.getElementById(id);
const form = $('inputs');
const button = $('update');
const progress = $('progress');
const progressText = $('progress-text');
const outcome = $('outcome');
const notes = $('notes');
const log = $('log');

const hasWebHid = 'hid' in navigator;
$('no-webhid').hidden = hasWebHid;
if (!hasWebHid) $('simulate').checked = true;

let updater = null;
let simulatedHid = null;

async function fileInput(id) {
  const file = $(id).files[0];
  return file ? { name: file.name, bytes: new Uint8Array(await file.arrayBuffer()) } : null;
}

// What the update shows is drawn a few times a second, never per line or per answer: each draw
// of the growing console (and its scrolling, which forces a layout), and even the progress drawn
// in every animation frame, took the event loop away from the device's answers, each of which
// costs the update a frame of the link when it is read late.
const DRAW_EVERY_MS = 200;
let lastDraw = -Infinity;
let pendingText = '';
let progressView = null;  // makes the progress's value and text from the latest figures
let progressChanged = false;
let drawRequested = false;

function draw() {
  drawRequested = false;
  lastDraw = performance.now();
  if (pendingText) {
    // The tool's lines end in \r\n (or \n): each is one line here.
    log.append(pendingText.replace(/\r\n/g, '\n'));
    pendingText = '';
    log.scrollTop = log.scrollHeight;
  }
  if (progressChanged) {
    progressChanged = false;
    const { value, text } = progressView();
    progress.value = value;
    progressText.textContent = text;
  }
}

function requestDraw() {
  if (!drawRequested) {
    drawRequested = true;
    const wait = lastDraw + DRAW_EVERY_MS - performance.now();
    setTimeout(() => requestAnimationFrame(draw), Math.max(0, wait));
  }
}

function showText(text) {
  pendingText += text;
  requestDraw();
}

function showOutcome(text, status, exitStatus) {
  draw();  // everything before the outcome first (a background tab draws no frames)
  outcome.textContent = text;
  if (status) {
    outcome.dataset.status = status;
    outcome.dataset.exitStatus = String(exitStatus);
  }
}

function showNotes(lines) {
  notes.textContent = lines.join('\n');
  notes.hidden = lines.length === 0;
}

function ready(text) {
  progressText.textContent = text;
  button.disabled = false;
}

function formatSeconds(s) {
  return s >= 60 ? `${Math.floor(s / 60)} min ${Math.round(s % 60)} s` : `${Math.round(s)} s`;
}

async function update() {
  button.disabled = true;
  log.textContent = '';
  showNotes([]);
  outcome.textContent = '';
  delete outcome.dataset.status;
  delete outcome.dataset.exitStatus;
  progress.value = 0;
  progressText.textContent = 'Reading the files…';

  updater = updater || await Updater.create();
  const [image, tts, pkg] = await Promise.all(['image', 'tts', 'package'].map(fileInput));
  let refused;
  if (!pkg && (!image || !tts)) {
    refused = { exitStatus: 2, reason: 'Choose an image file and a TTS file, or a package.' };
  } else {
    // The size lines go to the console as the tool prints them.
    updater.core.hidiapHooks.console = showText;
    refused = updater.load(pkg ? { package: pkg } : { image, tts, token: $('token').value });
  }
  if (refused) {
    showOutcome(refused.reason, 'failed', refused.exitStatus);
    ready('Refused: nothing was sent to any device.');
    return;
  }
  showNotes(updater.notes);

  const hid = $('simulate').checked
    ? (simulatedHid = simulatedHid || new SimulatedHid())
    : navigator.hid;
  if (!hid) {
    ready('This browser has no WebHID: choose the simulated device, or use Chrome or Edge 89+.');
    return;
  }
  let device;
  try {
    [device] = await hid.requestDevice({ filters: updater.filters });
  } catch (e) {
    device = undefined;
  }
  if (!device) {
    ready('No device was chosen; nothing was sent.');
    return;
  }

  let phase = '';
  let done = 0;
  let total = 0;
  const started = performance.now();
  progressView = () => {
    const percent = total > 0 ? (100 * done) / total : 0;
    const seconds = (performance.now() - started) / 1000;
    const rate = seconds > 0 ? done / seconds : 0;
    const left = rate > 0 ? (total - done) / rate : 0;
    return { value: percent, text: `${phase}: ${percent.toFixed(0)}%, ` +
      `${(rate / 1024).toFixed(1)} KiB/s, ${formatSeconds(left)} left` };
  };
  const result = await updater.update(device, {
    hid,
    onText: showText,
    onPhase: (p, file) => { phase = `${p} ${file}`; },
    onProgress: (bytes, of) => {
      // Only the figures are kept here; the text is made when a frame is drawn.
      done = bytes;
      total = of;
      progressChanged = true;
      requestDraw();
    },
  });
  if (result.status === 'success') progress.value = 100;
  showOutcome(result.outcome, result.status, result.exitStatus);
  ready(result.status === 'success' ? 'Done.' : 'The update failed.');
  try { await device.close(); } catch (e) { /* gone already */ }
}

form.addEventListener('submit', (event) => {
  event.preventDefault();
  update().catch((e) => {
    showOutcome(`The page failed: ${e.message || e}`, 'failed', 1);
    ready('The page failed.');
  });
});
