// <hidiap-update package="fw.zip">: the whole update of a device as a customer meets it, for any
// vendor's page. It fetches the firmware package, has the tool's own code check its checksums
// and signature (against the keys built into the page), and only then offers one button. The
// button verifies the device first, as the tool's --verify: one that already holds the firmware
// is left alone; any other is updated as with --skip-unchanged, so that a second try after a
// failure is quick.
//
//   <script type="module" src="hidiap-update.js"></script>
//   <hidiap-update package="fw.zip" product-name="ACME X1" alternative-href="hidiap-win.zip">
//   </hidiap-update>
//
// Attributes: package (URL of the firmware package, same origin or CORS), button-text,
// product-name (when the manifest names no product), lang (forces a language of `catalogues`),
// alternative-href (offered where the browser cannot update). Styling: the custom properties
// --hidiap-accent, --hidiap-accent-text, --hidiap-background, --hidiap-text, --hidiap-error,
// --hidiap-success, --hidiap-radius, --hidiap-font, and ::part(button), ::part(dialog),
// ::part(progress), ::part(status). Events (bubbling, composed): hidiap-ready {product, version},
// hidiap-start {product, version}, hidiap-progress {percent}, hidiap-done {status, outcome,
// exitStatus}, hidiap-refused {reason, cause}.
import { Updater } from './hidiap.js';
import en from './hidiap-update.en.js';
import de from './hidiap-update.de.js';

// One catalogue per language, all with the same keys; the first of the browser's languages
// found here is used, unless the lang attribute names one.
export const catalogues = { en, de };

// The code a customer reads to support: the tool's exit status and a number for its cause.
// Support staff find the table in docs/web-updater.md.
const CAUSE_NUMBERS = {
  '': 0, not_answered: 1, refused: 2, crc_mismatch: 3, disconnected: 4, no_progress: 5,
  wrong_product: 6, 'no-permission': 7, differs: 8,
};

// What each of the tool's phases is called for a customer.
const PHASE_WORDS = {
  unlock: 'preparing', survey: 'preparing', erase: 'writing', write: 'writing',
  verify: 'checkingWrite', lock: 'checkingWrite', reboot: 'restarting',
};

const TIME_LEFT_AFTER_MS = 2000;   // of writing, before the rate says anything
const TIME_LEFT_EVERY_MS = 1000;
// The dialog is drawn a few times a second at most while the device is written: every draw
// takes the page's only thread away from the device's answers, and an answer read late costs
// the update a frame of the link. (The bar's own movement is the compositor's.)
const DRAW_EVERY_MS = 200;

// The last part of the URL's path as a file name (a malformed escape is kept as it stands).
function fileName(url) {
  const last = url.pathname.split('/').pop();
  try {
    return decodeURIComponent(last).replace(/[/\\]/g, '_');
  } catch (e) {
    return last;
  }
}

export function chooseLanguage(forced, languages = navigator.languages) {
  const wanted = forced ? [forced] : [...(languages || []), navigator.language];
  for (const tag of wanted) {
    const base = String(tag || '').toLowerCase().split('-')[0];
    if (Object.hasOwn(catalogues, base)) return base;
  }
  return 'en';
}

const STYLE = `
:host {
  display: block;
  font: var(--hidiap-font, inherit);
  --_accent: var(--hidiap-accent, #1a5fb4);
  --_accent-text: var(--hidiap-accent-text, #ffffff);
  --_background: var(--hidiap-background, #ffffff);
  --_text: var(--hidiap-text, #1b1b1b);
  --_error: var(--hidiap-error, #a51d2d);
  --_success: var(--hidiap-success, #1e6b1e);
  --_track: #d5d5d5;
  --_radius: var(--hidiap-radius, 0.4rem);
}
@media (prefers-color-scheme: dark) {
  :host {
    --_accent: var(--hidiap-accent, #99c1f1);
    --_accent-text: var(--hidiap-accent-text, #101010);
    --_background: var(--hidiap-background, #242424);
    --_text: var(--hidiap-text, #f0f0f0);
    --_error: var(--hidiap-error, #ff9b9b);
    --_success: var(--hidiap-success, #8ff0a4);
    --_track: #555555;
  }
}
:host([hidden]) { display: none; }
p { margin: 0.5rem 0; }
button {
  font: inherit; cursor: pointer; padding: 0.6em 1.4em; border-radius: var(--_radius);
  border: 2px solid var(--_accent); background: var(--_accent); color: var(--_accent-text);
}
button.secondary { background: var(--_background); color: var(--_text); }
button[disabled] { cursor: default; opacity: 0.6; }
:focus-visible { outline: 3px solid var(--_accent); outline-offset: 2px; }
.note { border-left: 0.3rem solid var(--_error); padding-left: 0.6rem; }
a { color: inherit; }
dialog {
  background: var(--_background); color: var(--_text); border: 1px solid var(--_track);
  border-radius: var(--_radius); padding: 1.25rem 1.5rem; width: min(34rem, calc(100vw - 3rem));
  box-sizing: border-box;
}
dialog::backdrop { background: rgb(0 0 0 / 0.55); }
h2 { font-size: 1.25rem; margin: 0 0 1rem; }
h2:focus { outline: none; }
.bar {
  height: 1.1rem; border-radius: var(--_radius); background: var(--_track); overflow: hidden;
  border: 1px solid var(--_text);
}
.fill {
  height: 100%; background: var(--_accent); transform: scaleX(0); transform-origin: left;
  transition: transform 0.2s ease-out;
}
.row { display: flex; justify-content: space-between; gap: 0 1rem; flex-wrap: wrap; }
.row p { margin: 0.4rem 0 0; }
.keep { font-weight: bold; }
.end { font-weight: bold; font-size: 1.1rem; }
.end[data-status="success"], .end[data-status="current"] { color: var(--_success); }
.end[data-status="failed"] { color: var(--_error); }
ul { padding-left: 1.25rem; margin: 0.5rem 0; }
details { margin: 0.75rem 0; }
summary { cursor: pointer; }
code { font-size: 0.85rem; overflow-wrap: anywhere; white-space: pre-wrap; }
.actions { display: flex; gap: 0.75rem; justify-content: flex-end; margin-top: 1rem; }
.visually-hidden {
  position: absolute; width: 1px; height: 1px; overflow: hidden; clip-path: inset(50%);
  white-space: nowrap;
}
@media (prefers-reduced-motion: reduce) {
  .fill { transition: none; }
}
`;

const TEMPLATE = `
<style>${STYLE}</style>
<div class="box" part="box">
  <p class="status" part="status" id="status" role="status" aria-live="polite"></p>
  <button type="button" part="button" id="start" hidden></button>
  <p id="alternative" hidden><a id="alternative-link"></a></p>
  <details id="refusal" hidden><summary data-text="details"></summary><code></code></details>
</div>
<dialog part="dialog" id="dialog" aria-labelledby="title">
  <h2 id="title" tabindex="-1"></h2>
  <div class="bar" part="progress" id="progress" role="progressbar" aria-valuemin="0"
       aria-valuemax="100" aria-valuenow="0"><div class="fill" id="fill"></div></div>
  <div class="row"><p id="phase"></p><p id="time"></p></div>
  <p id="live" role="status" aria-live="polite" class="visually-hidden"></p>
  <p class="keep" id="keep" data-text="keepOpen"></p>
  <p class="note" id="background" data-text="backgroundSlow" hidden></p>
  <div id="end" hidden>
    <p class="end" id="end-title"></p>
    <p id="end-next" hidden></p>
    <ul id="steps" hidden></ul>
  </div>
  <details id="details" hidden><summary data-text="details"></summary><code id="outcome"></code><p class="note" data-text="noRecords"></p></details>
  <div class="actions">
    <button type="button" id="retry" data-text="tryAgain" hidden></button>
    <button type="button" class="secondary" id="close" data-text="close" hidden></button>
  </div>
</dialog>
`;

export class HidiapUpdate extends HTMLElement {
  static observedAttributes = ['package', 'lang', 'button-text', 'product-name', 'alternative-href'];

  constructor() {
    super();
    this.attachShadow({ mode: 'open' }).innerHTML = TEMPLATE;
    this.$ = (id) => this.shadowRoot.getElementById(id);
    this.state = 'checking';
    this.updater = null;
    this.message = { key: 'checking' };  // what the box says, as the key of its text
    this.preparation = 0;
    this.run = null;  // the update under way or ended, while its dialog is up
    this.choosing = false;
    this.$('start').addEventListener('click', () => this.start());
    this.$('retry').addEventListener('click', () => { this.$('dialog').close(); this.start(); });
    this.$('close').addEventListener('click', () => this.$('dialog').close());
    // Escape must not hide an update that is still writing; a browser that closes the dialog
    // anyway gets it back.
    this.$('dialog').addEventListener('cancel', (e) => { if (this.running()) e.preventDefault(); });
    this.$('dialog').addEventListener('close', () => {
      if (this.running() && !this.$('dialog').open) this.$('dialog').showModal();
    });
    this.onVisibility = () => this.visibilityChanged();
    this.onBeforeUnload = (e) => { if (this.running()) e.preventDefault(); };
  }

  connectedCallback() {
    document.addEventListener('visibilitychange', this.onVisibility);
    window.addEventListener('beforeunload', this.onBeforeUnload);
    if (this.preparation === 0) this.prepare();
  }

  disconnectedCallback() {
    document.removeEventListener('visibilitychange', this.onVisibility);
    window.removeEventListener('beforeunload', this.onBeforeUnload);
  }

  attributeChangedCallback(name, before, after) {
    if (before === after || this.preparation === 0) return;
    if (name === 'package' && !this.running()) {
      this.prepare();
    } else {
      this.render();
    }
  }

  get language() {
    return chooseLanguage(this.getAttribute('lang'));
  }

  running() {
    return this.run !== null && !this.run.result;
  }

  // ---- texts ----

  t(key, values = {}) {
    let text = catalogues[this.language][key];
    if (text === undefined) {
      console.error(`hidiap-update: no text '${key}' in the '${this.language}' catalogue`);
      text = en[key] ?? key;
    }
    return text.replace(/\{(\w+)\}/g, (all, name) => (name in values ? values[name] : all));
  }

  product() {
    return (this.updater && this.updater.manifest.product) || this.getAttribute('product-name') ||
      this.t('yourDevice');
  }

  names() {
    return { product: this.product(), version: this.updater ? this.updater.manifest.version : '' };
  }

  duration(ms) {
    const seconds = ms / 1000;
    const [value, unit] = seconds >= 90 ? [Math.round(seconds / 60), 'minute']
      : [Math.max(5, Math.ceil(seconds / 5) * 5), 'second'];
    return new Intl.NumberFormat(this.language, { style: 'unit', unit, unitDisplay: 'long' })
      .format(value);
  }

  percentText(percent) {
    return new Intl.NumberFormat(this.language, { style: 'percent' }).format(percent / 100);
  }

  // Every text of the element, in the language chosen now.
  render() {
    const root = this.shadowRoot;
    root.querySelector('.box').lang = this.language;
    this.$('dialog').lang = this.language;
    for (const el of root.querySelectorAll('[data-text]')) el.textContent = this.t(el.dataset.text);
    this.$('status').textContent = this.message.key ? this.t(this.message.key, this.names()) : '';
    const names = this.names();
    this.$('start').textContent = this.getAttribute('button-text') ||
      this.t(names.version ? 'updateTo' : 'update', names);
    const alternative = this.getAttribute('alternative-href');
    const offer = alternative && (this.state === 'unsupported' || this.state === 'refused');
    this.$('alternative').hidden = !offer;
    if (offer) {
      this.$('alternative-link').href = alternative;
      this.$('alternative-link').textContent = this.t('alternative');
    }
    this.$('progress').setAttribute('aria-label', this.t('progressLabel'));
    if (this.run) this.renderRun();
  }

  say(key) {
    this.message = { key };
    this.$('status').textContent = key ? this.t(key, this.names()) : '';
    this.$('status').classList.toggle('note', ['unusable', 'unreachable', 'noUsb', 'insecure']
      .includes(key));
  }

  setState(state) {
    this.state = state;
    this.setAttribute('state', state);
  }

  emit(type, detail) {
    this.dispatchEvent(new CustomEvent(type, { detail, bubbles: true, composed: true }));
  }

  // ---- the package ----

  async prepare() {
    const preparation = ++this.preparation;
    this.updater = null;
    this.$('start').hidden = true;
    this.$('refusal').hidden = true;
    this.setState('checking');
    this.say('checking');
    this.render();
    // Without a secure origin the browser offers no WebHID at all: say why rather than "no USB".
    if (!window.isSecureContext) {
      this.refuse('unsupported', 'insecure', 'insecure-origin',
        'hidiap: the page is not from a secure origin (https:// or localhost), where alone ' +
        'the browser offers WebHID');
      return;
    }
    if (!('hid' in navigator)) {
      this.refuse('unsupported', 'noUsb', 'no-webhid', 'hidiap: this browser has no WebHID');
      return;
    }
    const url = new URL(this.getAttribute('package') || '', document.baseURI);
    let bytes;
    let updater;
    try {
      const response = await fetch(url);
      if (!response.ok) throw new Error(`HTTP ${response.status} ${response.statusText}`.trim());
      bytes = new Uint8Array(await response.arrayBuffer());
      updater = await Updater.create();
    } catch (e) {
      if (preparation === this.preparation) {
        this.refuse('refused', 'unreachable', 'unreachable',
          `hidiap: cannot fetch the firmware package '${url.href}': ${e.message || e}`);
      }
      return;
    }
    if (preparation !== this.preparation) return;
    // Named as the URL names it, so that the tool's words name the file the vendor published.
    const name = fileName(url) || 'package.zip';
    const refused = updater.load({ package: { name, bytes } });
    if (refused) {
      this.refuse('refused', 'unusable', 'bad-input', refused.reason);
      return;
    }
    this.updater = updater;
    this.setState('ready');
    this.say('');
    this.render();
    this.emit('hidiap-ready', this.names());
    this.$('start').hidden = false;
  }

  refuse(state, key, cause, reason) {
    this.setState(state);
    this.say(key);
    const details = this.$('refusal');
    details.querySelector('code').textContent = reason;
    details.hidden = false;
    this.render();
    this.emit('hidiap-refused', { reason, cause });
  }

  // ---- the update ----

  async start() {
    if (!this.updater || this.running() || this.choosing) return;
    const updater = this.updater;
    const hid = navigator.hid;
    let device;
    this.choosing = true;  // one chooser at a time, however often the button is pressed
    try {
      [device] = await hid.requestDevice({ filters: updater.filters });
    } catch (e) {
      device = undefined;
    } finally {
      this.choosing = false;
    }
    if (!device) {
      this.say('noDeviceChosen');
      return;
    }
    this.say('');
    this.run = {
      phase: 'preparing', percent: 0, result: null, hidden: document.hidden,
      writingSince: 0, writingFrom: 0, done: 0, total: 0, timeShown: 0, timeText: '',
      drawn: -Infinity, drawTimer: 0,
    };
    this.documentTitle = document.title;
    this.setState('running');
    this.$('start').disabled = true;
    this.renderRun();
    this.$('dialog').showModal();
    this.$('title').focus();
    this.emit('hidiap-start', this.names());

    let result;
    try {
      // The comparison is all "preparing" to a customer; its phases are the tool's checks.
      result = await updater.verify(device, { hid });
      if (result.cause === 'differs') {
        result = await updater.update(device, {
          hid,
          skipUnchanged: true,
          onPhase: (phase) => this.phase(phase),
          onProgress: (done, total) => this.progress(done, total),
        });
      }
    } catch (e) {
      // Nothing ends untold: the dialog says the update did not finish, and why under Details.
      result = { status: 'failed', exitStatus: 1, cause: '',
        outcome: `hidiap: the page failed: ${e.message || e}` };
    }
    try { await device.close(); } catch (e) { /* gone already */ }
    this.finish(result);
  }

  phase(phase) {
    const run = this.run;
    run.phase = PHASE_WORDS[phase] || run.phase;
    if (run.phase === 'writing' && !run.writingSince) {
      run.writingSince = performance.now();
      run.writingFrom = run.done;
    }
    this.renderSoon();
  }

  progress(done, total) {
    const run = this.run;
    run.done = done;
    run.total = total;
    // 100 is for the end: the last range's check and the restart still follow the last byte.
    const percent = total > 0 ? Math.min(99, Math.floor((100 * done) / total)) : 0;
    const now = performance.now();
    if (percent === run.percent && now - run.timeShown < TIME_LEFT_EVERY_MS) return;
    if (now - run.timeShown >= TIME_LEFT_EVERY_MS) {
      run.timeShown = now;
      run.timeText = this.timeLeft(now);
    }
    if (percent !== run.percent) {
      run.percent = percent;
      this.emit('hidiap-progress', { percent });
    }
    this.renderSoon();
  }

  renderSoon() {
    const run = this.run;
    if (run.drawTimer) return;
    const wait = Math.max(0, run.drawn + DRAW_EVERY_MS - performance.now());
    run.drawTimer = setTimeout(() => {
      run.drawTimer = 0;
      if (this.run === run) this.renderRun();
    }, wait);
  }

  timeLeft(now) {
    const run = this.run;
    const spent = now - run.writingSince;
    if (!run.writingSince || spent < TIME_LEFT_AFTER_MS || run.done <= run.writingFrom) return '';
    const rate = (run.done - run.writingFrom) / spent;
    return this.t('timeLeft', { time: this.duration((run.total - run.done) / rate) });
  }

  finish(result) {
    const run = this.run;
    clearTimeout(run.drawTimer);
    run.drawTimer = 0;
    run.result = result;
    if (run.hidden || document.hidden) document.title = this.documentTitle;
    this.setState(result.status);
    this.$('start').disabled = false;
    if (result.status === 'success' && run.percent !== 100) {
      run.percent = 100;
      this.emit('hidiap-progress', { percent: 100 });
    }
    this.renderRun();
    this.emit('hidiap-done', {
      status: result.status, outcome: result.outcome, exitStatus: result.exitStatus,
    });
    (result.status === 'failed' ? this.$('retry') : this.$('close')).focus();
  }

  // The dialog as the run stands; texts only change when what they say does.
  renderRun() {
    const run = this.run;
    run.drawn = performance.now();
    const names = this.names();
    const set = (id, text) => { const el = this.$(id); if (el.textContent !== text) el.textContent = text; };
    const result = run.result;
    // Once it has ended, the dialog is about the device, no longer about an update under way.
    set('title', result ? names.product
      : this.t(names.version ? 'dialogTitleTo' : 'dialogTitle', names));
    const progress = this.$('progress');
    progress.setAttribute('aria-valuenow', String(run.percent));
    progress.setAttribute('aria-valuetext', `${this.percentText(run.percent)}, ${this.t(run.phase)}`);
    this.$('fill').style.transform = `scaleX(${run.percent / 100})`;
    set('phase', result ? '' : `${this.percentText(run.percent)} · ${this.t(run.phase)}`);
    set('live', result ? '' : this.t(run.phase));
    set('time', result ? '' : (run.timeText || this.t('timeUnknown')));
    this.$('keep').hidden = Boolean(result);
    this.$('background').hidden = !run.hidden || Boolean(result);
    if (document.hidden && !result) {
      document.title = this.t('backgroundTitle', { percent: this.percentText(run.percent) });
    }
    this.$('end').hidden = !result;
    this.$('details').hidden = !result;
    this.$('retry').hidden = !result || result.status !== 'failed';
    this.$('close').hidden = !result;
    if (!result) return;
    const end = this.ending(result, names);
    const title = this.$('end-title');
    title.dataset.status = result.status;
    set('end-title', end.title);
    set('live', end.title);
    set('end-next', end.next || '');
    this.$('end-next').hidden = !end.next;
    const steps = this.$('steps');
    steps.replaceChildren(...end.steps.map((text) => {
      const li = document.createElement('li');
      li.textContent = text;
      return li;
    }));
    steps.hidden = end.steps.length === 0;
    set('outcome', result.outcome);
  }

  // What the customer is told at the end, and what to do after a failure.
  ending(result, names) {
    if (result.status === 'success') {
      return { title: this.t(names.version ? 'done' : 'doneNoVersion', names),
        next: this.t('doneNext'), steps: [] };
    }
    if (result.status === 'current') {
      return { title: this.t(names.version ? 'current' : 'currentNoVersion', names), steps: [] };
    }
    const code = `E${result.exitStatus}${String(CAUSE_NUMBERS[result.cause] ?? 99).padStart(2, '0')}`;
    const support = this.t('stepSupport', { code });
    const replug = [this.t('stepReplug'), this.t('stepCable'), support];
    switch (result.cause) {
      case 'disconnected':
        return { title: this.t('failedLost'), steps: replug };
      case 'not_answered':
      case 'no_progress':
      case 'refused':
        return { title: this.t('failedSilent'), steps: replug };
      case 'crc_mismatch':
        return { title: this.t('failedCheck'), steps: [this.t('stepReplug'), support] };
      case 'wrong_product':
        return { title: this.t('failedWrongDevice'), steps: [this.t('stepRightDevice', names)] };
      case 'no-permission':
        return { title: this.t('failedOpen'), steps: [this.t('stepOtherApps'), ...replug] };
      default:
        return { title: this.t('failedOther'), steps: replug };
    }
  }

  visibilityChanged() {
    if (!this.running()) return;
    if (document.hidden) {
      this.run.hidden = true;
    } else {
      document.title = this.documentTitle;
    }
    this.renderRun();
  }
}

if (!customElements.get('hidiap-update')) customElements.define('hidiap-update', HidiapUpdate);
